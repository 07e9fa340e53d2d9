#include "platform/file_time_reader.h"

namespace kestrel::platform {

// Windows looks a whole path up in one call, so the kept directories of the
// POSIX reader would save little here: every read goes by the whole path,
// and the directory table stays unused.
FileTimeReader::~FileTimeReader() = default;

FileTimeResult FileTimeReader::Read(const char* path, int64_t& fileTime, int& error) {
    return ReadModificationTime(path, fileTime, error);
}

}  // namespace kestrel::platform
