#include "round_trip_support.h"

#include <filesystem>

namespace kestrel::test {
namespace {

bool IsBuildOutput(const std::filesystem::path& path) {
    return path.extension() == ".o" || path.extension() == ".a";
}

}  // namespace

ProcessResult RunTool(const std::vector<std::string>& argv, const std::string& directory, int timeoutSeconds) {
    ProcessOptions options;
    options.workingDirectory = directory;
    options.timeoutSeconds = timeoutSeconds;
    ProcessResult result = RunProcess(argv, options);
    EXPECT_EQ(result.exitCode, 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << "\n" << result.out << result.err;
    return result;
}

ProcessResult RunImporter(const std::vector<std::string>& arguments, const std::string& directory) {
    std::vector<std::string> argv = {KESTREL_IMPORT_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunTool(argv, directory, 120);
}

std::map<std::string, std::string> ObjectFiles(const std::string& directory) {
    std::map<std::string, std::string> objects;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.path().extension() == ".o") {
            objects[std::filesystem::relative(entry.path(), directory).string()] = ReadFile(entry.path().string());
        }
    }
    return objects;
}

void RemoveBuildOutputs(const std::string& directory, const std::vector<std::string>& programs) {
    std::vector<std::filesystem::path> doomed;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file() && IsBuildOutput(entry.path())) doomed.push_back(entry.path());
    }
    for (const std::string& program : programs) doomed.push_back(std::filesystem::path(directory) / program);
    for (const std::filesystem::path& path : doomed) std::filesystem::remove(path);
}

}  // namespace kestrel::test
