#include "runtime/temp_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/system_errors.h"
#include "support/test_support.h"

namespace kestrel {
namespace {

std::vector<std::string> KvlogFiles(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(test::PathOf(directory))) {
        const std::string name = test::TextOf(item.path().filename());
        if (name.rfind("KVLOG.", 0) == 0) names.push_back(name);
    }
    return names;
}

std::string Upper16(const void* address) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

std::string NameOf(const std::string& path) { return test::TextOf(test::PathOf(path).filename()); }

// Each test gets its own temporary directory (through $TMPDIR, or TMP on
// Windows) and its own table.
struct TempFilesFixture : ::testing::Test {
    test::TempDir temp;
    test::EnvironmentOverride temporaryDirectory{test::kTemporaryDirectoryVariable, temp.path()};
    std::unique_ptr<TempFileTable> table = std::make_unique<TempFileTable>();

    void TearDown() override { table->DeleteAll(); }

    // What Create posts, and its result. A `directory` is the temporary
    // directory for the call only: the capture's own file needs a usable one
    // where it is made in the same place (Windows).
    TempLog* CreateCapturing(const char* description, const char* kind, std::string& posted,
                             const std::string& directory = "") {
        testing::internal::CaptureStdout();
        if (!directory.empty()) test::SetEnvironment(test::kTemporaryDirectoryVariable, directory);
        TempLog* entry = table->Create(description, kind);
        test::SetEnvironment(test::kTemporaryDirectoryVariable, temp.path());
        posted = testing::internal::GetCapturedStdout();
        return entry;
    }
};

TEST_F(TempFilesFixture, CreateMakesAnEmptyReadWriteFileNamedAfterItsEntry) {
    TempLog* entry = table->Create("job \xC3\xA9t\xC3\xA9", "connlog");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->flags, kTempLogExists | kTempLogOpen);
    EXPECT_EQ(std::u16string(entry->description), u"job \u00E9t\u00E9");
    EXPECT_EQ(std::u16string(entry->kind), u"connlog");
    EXPECT_EQ(std::string(entry->path), temp / ("KVLOG." + Upper16(entry) + ".1.tmp"));
    EXPECT_TRUE(std::regex_match(NameOf(entry->path), std::regex(R"(KVLOG\.[0-9A-F]{16}\.1\.tmp)")));

    EXPECT_EQ(std::filesystem::file_size(test::PathOf(entry->path)), 0u);
    ASSERT_EQ(std::fwrite("record", 1, 6, entry->stream), 6u);
    std::rewind(entry->stream);
    char back[7] = {};
    ASSERT_EQ(std::fread(back, 1, 6, entry->stream), 6u);
    EXPECT_STREQ(back, "record");
}

TEST_F(TempFilesFixture, The63rdFileOpensASecondBlockAndDeleteAllRemovesEveryFile) {
    std::vector<TempLog*> entries;
    for (int i = 0; i < 63; ++i) {
        entries.push_back(table->Create(("log " + std::to_string(i)).c_str(), "stdout"));
        ASSERT_NE(entries.back(), nullptr) << i;
    }
    const TempFileBlock* first = table->FirstBlock();
    EXPECT_EQ(first->count, kTempLogsPerBlock);
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->previous, first);
    EXPECT_EQ(first->next->count, 1u);
    EXPECT_EQ(entries.back(), &first->next->entries[0]);
    EXPECT_EQ(KvlogFiles(temp.path()).size(), 63u);

    table->DeleteAll();
    EXPECT_TRUE(KvlogFiles(temp.path()).empty());
    for (TempLog* entry : entries) EXPECT_EQ(entry->flags, 0u);
}

TEST_F(TempFilesFixture, ALeftoverFileIsSkippedAndKept) {
    const TempLog* next = &table->FirstBlock()->entries[0];
    const std::string leftover = temp / ("KVLOG." + Upper16(next) + ".1.tmp");
    test::WriteFile(leftover, "earlier run");

    TempLog* entry = table->Create("job", "joblog");
    ASSERT_EQ(entry, next);
    EXPECT_EQ(std::string(entry->path), temp / ("KVLOG." + Upper16(next) + ".2.tmp"));
    table->DeleteAll();
    EXPECT_EQ(test::ReadFile(leftover), "earlier run");
    EXPECT_EQ(KvlogFiles(temp.path()).size(), 1u);
}

TEST_F(TempFilesFixture, ADeletedFileIsNotDeletedAgain) {
    TempLog* entry = table->Create("job", "stderr");
    ASSERT_NE(entry, nullptr);
    const std::string path = entry->path;
    TempFileTable::Delete(entry);
    EXPECT_FALSE(test::FileExists(path));
    EXPECT_EQ(entry->flags, 0u);

    // Someone else now has a file of that name: neither a second Delete nor
    // DeleteAll may remove it, and the entry cannot be reopened.
    test::WriteFile(path, "not ours");
    TempFileTable::Delete(entry);
    table->DeleteAll();
    int error = 0;
    EXPECT_FALSE(TempFileTable::Reopen(entry, error));
    EXPECT_EQ(error, platform::kErrorNotFound);
    EXPECT_EQ(test::ReadFile(path), "not ours");
}

TEST_F(TempFilesFixture, ReopenAppendsAfterWhatWasWritten) {
    TempLog* entry = table->Create("job", "joblog");
    ASSERT_NE(entry, nullptr);
    std::fputs("abc", entry->stream);
    TempFileTable::Close(entry);
    EXPECT_EQ(entry->flags, kTempLogExists);

    int error = 0;
    ASSERT_TRUE(TempFileTable::Reopen(entry, error));
    EXPECT_EQ(entry->flags, kTempLogExists | kTempLogOpen);
    std::fputs("def", entry->stream);
    // Reopening an open entry does not leak its stream (LeakSanitizer would tell).
    ASSERT_TRUE(TempFileTable::Reopen(entry, error));
    std::fputs("g", entry->stream);
    std::rewind(entry->stream);
    char back[8] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back - 1, entry->stream), 7u);
    EXPECT_STREQ(back, "abcdefg");
}

TEST_F(TempFilesFixture, FailedReopenReportsTheErrno) {
    TempLog* entry = table->Create("job", "joblog");
    ASSERT_NE(entry, nullptr);
    TempFileTable::Close(entry);
    // Replaced behind the table's back by something that cannot be opened as a file.
    ASSERT_EQ(std::remove(entry->path), 0);
    ASSERT_TRUE(std::filesystem::create_directory(test::PathOf(entry->path)));
    int error = 0;
    EXPECT_FALSE(TempFileTable::Reopen(entry, error));
    EXPECT_EQ(error, test::kErrnoOpeningDirectory);
    EXPECT_EQ(entry->flags, kTempLogExists);
    ASSERT_TRUE(std::filesystem::remove(test::PathOf(entry->path)));
}

TEST_F(TempFilesFixture, FlushAllWritesBufferedRecordsToDisk) {
    TempLog* open = table->Create("open", "connlog");
    TempLog* closed = table->Create("closed", "connlog");
    ASSERT_NE(open, nullptr);
    ASSERT_NE(closed, nullptr);
    std::fputs("pending", open->stream);
    TempFileTable::Close(closed);
    EXPECT_EQ(test::ReadFile(open->path), "");
    table->FlushAll();
    EXPECT_EQ(test::ReadFile(open->path), "pending");
}

TEST_F(TempFilesFixture, DescriptionsMustBeValidAndFitIn255Units) {
    std::string posted;
    EXPECT_EQ(CreateCapturing("bad \xFF here", "connlog", posted), nullptr);
    EXPECT_EQ(posted, "Cannot convert bad \xEF\xBF\xBD here to UTF-16, error " +
                          std::to_string(platform::kErrorIllegalSequence) + "\n");
    // The entry is used up without a file.
    EXPECT_EQ(table->FirstBlock()->count, 1u);
    EXPECT_EQ(table->FirstBlock()->entries[0].flags, 0u);
    EXPECT_TRUE(KvlogFiles(temp.path()).empty());

    const std::string longest(255, 'x');
    EXPECT_NE(table->Create(longest.c_str(), "stdout"), nullptr);
    EXPECT_EQ(CreateCapturing((longest + "x").c_str(), "stdout", posted), nullptr);
    EXPECT_NE(posted.find("to UTF-16, error " + std::to_string(platform::kErrorBufferTooSmall)), std::string::npos)
        << posted;
    // A character outside the basic plane takes two units.
    const std::string withEmoji = std::string(254, 'x') + "\xF0\x9F\x98\x80";
    EXPECT_EQ(CreateCapturing(withEmoji.c_str(), "stdout", posted), nullptr);
    const std::string fits = std::string(253, 'x') + "\xF0\x9F\x98\x80";
    TempLog* entry = table->Create(fits.c_str(), "stdout");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->description[253], 0xD83D);
    EXPECT_EQ(entry->description[254], 0xDE00);
    EXPECT_EQ(entry->description[255], 0);
}

TEST_F(TempFilesFixture, UnusableTemporaryDirectoriesArePosted) {
    std::string posted;
    EXPECT_EQ(CreateCapturing("job", "connlog", posted, temp / "missing"), nullptr);
    EXPECT_EQ(posted, "Cannot create temporary file, error " + std::to_string(test::kErrorDirectoryMissing) + "\n");

    // A directory whose file names would not fit is refused rather than cut.
    EXPECT_EQ(CreateCapturing("job", "connlog", posted, temp / std::string(480, 'd')), nullptr);
    EXPECT_EQ(posted, "Cannot get temporary path, error " + std::to_string(platform::kErrorNameTooLong) + "\n");
    EXPECT_EQ(table->FirstBlock()->count, 2u);
}

}  // namespace
}  // namespace kestrel
