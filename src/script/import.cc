#include "script/import.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "script/line_text.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr const char* kImportMemory = "Insufficient memory for import";

struct ImportRecord {
    static constexpr uint32_t kReaderInitialised = 1;
    static constexpr uint32_t kAlreadyImported = 4;
    static constexpr uint32_t kNestedFailure = 8;

    ScriptReader reader;       // reads the imported file
    char* pathText = nullptr;  // normalized absolute path of the imported file
    char* identity = nullptr;  // null when the file could not be opened on the import line
    BlockMessage message;
    uint32_t flags = 0;

    ImportRecord() = default;
    ImportRecord(const ImportRecord&) = delete;
    ImportRecord& operator=(const ImportRecord&) = delete;
    ~ImportRecord() {
        if ((flags & kReaderInitialised) != 0) reader.release();
        std::free(pathText);
        std::free(identity);
    }
};

ImportRecord& RecordOf(ScriptReader& reader) { return *static_cast<ImportRecord*>(reader.top->object); }

bool Fail(ImportRecord& record, const char* pattern, std::initializer_list<FormatArg> args = {}) {
    record.message.format(kImportMemory, pattern, args);
    return false;
}

bool OutOfMemory(ImportRecord& record) {
    record.message.setStatic(kImportMemory);
    return false;
}

void FreeIdentityKey(NameTableEntry* entry) { std::free(const_cast<char*>(entry->key)); }

bool ImportContent(ScriptReader& reader) { return Fail(RecordOf(reader), "The import block cannot have content"); }

// Reads the file when the import line's block closes, so its blocks are
// registered before the importing file's next line is dispatched.
bool ReadImportedFile(ScriptReader& reader) {
    ImportRecord& record = RecordOf(reader);
    if ((record.flags & ImportRecord::kAlreadyImported) != 0) return true;
    if (record.identity != nullptr && reader.context->imports.Find(record.identity) == nullptr &&
        !InsertIdentity(reader.context->imports, record.identity)) {
        return OutOfMemory(record);
    }
    if (!record.reader.init(*reader.context)) return OutOfMemory(record);
    record.flags |= ImportRecord::kReaderInitialised;
    // The path text is absolute, so the base directory is never consulted.
    if (record.reader.open(record.pathText, reader.directory) && record.reader.finish()) return true;
    record.flags |= ImportRecord::kNestedFailure;
    record.message.format(kImportMemory, "{0},\nimported from", {{FormatString, record.reader.errorText()}});
    // The imported file's top-level message now lives in that text; left in
    // the shared context it would be shown a second time for this file.
    reader.context->setMessage(nullptr, false);
    return false;
}

void ReleaseImport(ScriptReader& reader) { delete static_cast<ImportRecord*>(reader.top->object); }

const char* DescribeImport(void* object) {
    if (object == nullptr) return kImportMemory;
    return static_cast<ImportRecord*>(object)->message.text;
}

constinit const BlockHandler kImportHandler{{}, ImportContent, ReadImportedFile, ReleaseImport, DescribeImport};

// Opens the file only to learn its identity; a file that does not open has
// none and fails later, when it is read.
bool ReadIdentity(ImportRecord& record) {
    platform::FileHandle file;
    int error = 0;
    if (!platform::OpenSequentialFile(record.pathText, file, error)) return true;
    platform::FileIdentity identity{};
    const bool known = platform::ReadFileIdentity(file, identity, error);
    platform::CloseFile(file);
    if (!known) {
        const int32_t code = error;
        return Fail(record, "Could not get file information for {0}, error {1}",
                    {{FormatString, record.pathText}, {FormatI32, &code}});
    }
    char key[kIdentityTextSize];
    FormatIdentity(identity, key);
    record.identity = CopyText(key, static_cast<uint32_t>(std::strlen(key)));
    return record.identity != nullptr || OutOfMemory(record);
}

}  // namespace

void FormatIdentity(const platform::FileIdentity& identity, char (&text)[kIdentityTextSize]) {
    FormatText(text, kIdentityTextSize, "{0}:{1}", {{FormatU64, &identity.device}, {FormatU64, &identity.inode}});
}

bool InsertIdentity(NameTable& imports, const char* key) {
    char* copy = CopyText(key, static_cast<uint32_t>(std::strlen(key)));
    if (copy == nullptr) return false;
    // The table needs a non-null value; the key itself serves.
    if (!imports.Insert(copy, copy, FreeIdentityKey)) {
        std::free(copy);
        return false;
    }
    return true;
}

bool OpenImport(ScriptReader& reader) {
    auto* record = new (std::nothrow) ImportRecord();
    if (!pushBlock(reader, kImportHandler, record)) return false;
    if (record == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(*record, "No file specified to import");
    // Always relative to the importing file's directory.
    const CountedString directory = reader.directoryText();
    Path path;
    if (!JoinScriptPath(directory.bytes, directory.length, reader.line + start, end - start, path)) {
        return OutOfMemory(*record);
    }
    const bool normalized = path.Normalize() && path.last != nullptr;
    uint32_t length = 0;
    record->pathText = normalized ? RenderPath(path, length) : nullptr;
    path.Release();
    if (!normalized) {
        const CountedString text = LineSpan(reader, start, end);
        return Fail(*record, "Attempted to import the invalid path {0}", {{FormatCountedString, &text}});
    }
    if (record->pathText == nullptr) return OutOfMemory(*record);
    if (!ReadIdentity(*record)) return false;
    if (record->identity != nullptr && reader.context->imports.Find(record->identity) != nullptr) {
        record->flags |= ImportRecord::kAlreadyImported;
    }
    return true;
}

}  // namespace kestrel
