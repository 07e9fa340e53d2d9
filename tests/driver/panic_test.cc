#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/panic_map.h"
#include "panic_report.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST_F(PanicReport, CrashedRunLeavesOneArchiveWithTheMessageAndEveryLog) {
    const test::ProcessResult result = Run({"3"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, test::PrintedLines("Panicking...\n" + kNotice));
    EXPECT_FALSE(test::FileExists(temp / "panic.map.bin"));
    EXPECT_FALSE(test::FileExists(temp / "panic.message.txt")) << "collected files are deleted once packed";
    EXPECT_TRUE(KvlogFiles(temp / "tmp").empty()) << "the relaunch deletes the crashed run's logs";

    const std::map<std::string, std::string> tree = Extract();
    ASSERT_EQ(tree.size(), 4u);
    ASSERT_TRUE(tree.count("panic.message.txt"));
    const std::string& message = tree.at("panic.message.txt");
    const std::string firstLine = Utf16Line("exercise panic\tmessage\tpanic.message.txt\n");
    EXPECT_EQ(message.substr(0, firstLine.size()), firstLine);
    int logs = 0;
    for (const auto& [name, content] : tree) {
        if (name == "panic.message.txt") continue;
        ++logs;
        EXPECT_EQ(name.rfind("KVLOG.", 0), 0u) << name;
        // Each log is complete: the panic flushed what was still buffered, and
        // the message file names it with its description, kind and path.
        const std::string number = content.substr(std::string("content of log ").size(), 1);
        EXPECT_EQ(content, "content of log " + number + "\n");
        const std::string kind = std::stoi(number) % 2 ? "stdout" : "connlog";
        const std::string line = Utf16Line("log number " + number + "\t" + kind + "\t" + (temp / "tmp/") + name + "\n");
        EXPECT_NE(message.find(line), std::string::npos) << name;
    }
    EXPECT_EQ(logs, 3);
}

TEST_F(PanicReport, CorruptConnectionLogEndsTheRunInAReport) {
    const test::ProcessResult result = Run({"--corrupt-build-log"});
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_NE(result.out.find("The connection log is corrupt"), std::string::npos) << result.out;
    EXPECT_TRUE(test::FileExists(temp / "build_log.xml"));
    const std::map<std::string, std::string> tree = Extract();
    ASSERT_TRUE(tree.count("panic.message.txt"));
    const std::string firstLine = Utf16Line("connection log corrupt\tmessage\tpanic.message.txt\n");
    EXPECT_EQ(tree.at("panic.message.txt").substr(0, firstLine.size()), firstLine);
    // The corrupt log itself travels with the report.
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_TRUE(KvlogFiles(temp / "tmp").empty());
}

TEST_F(PanicReport, AMissingLogIsReportedAndTheOthersArePacked) {
    const test::ProcessResult result = Run({"3", "2"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("Cannot add " + (temp / "tmp/KVLOG.")), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(test::PrintedLines("to panic.bin, error 2\n")), std::string::npos) << result.err;
    const std::map<std::string, std::string> tree = Extract();
    EXPECT_EQ(tree.size(), 3u) << "the message and the two logs that still exist";
    for (const auto& [name, content] : tree) EXPECT_NE(content, "content of log 2\n");
}

TEST_F(PanicReport, WithoutLogsTheArchiveHoldsOnlyTheMessage) {
    const test::ProcessResult result = Run({"0"});
    EXPECT_EQ(result.exitCode, 2);
    const std::map<std::string, std::string> tree = Extract();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.begin()->first, "panic.message.txt");
    EXPECT_EQ(tree.begin()->second, Utf16Line("exercise panic\tmessage\tpanic.message.txt\n"));
}

TEST_F(PanicReport, TwoThreadsPanickingAtOnceMakeOneReport) {
    for (int round = 0; round < 5; ++round) {
        const test::ProcessResult result = Run({"2", "0", "2"});
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err, test::PrintedLines("Panicking...\n" + kNotice))
            << "exactly one relaunch, and it found a complete map";
        EXPECT_EQ(Extract().size(), 3u);
        test::RemoveTree(temp / "out");
        fs::remove(test::PathOf(temp / "panic.bin"));
    }
}

TEST_F(PanicReport, RelaunchWithoutAMapStillEndsWithTheNotice) {
    test::ProcessOptions options;
    options.workingDirectory = temp.path();
    const test::ProcessResult result = test::RunProcess({test::KestrelBinary(), "--panic"}, options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, test::PrintedLines("Panicking...\nCannot open the panic file mapping, error 2\n" + kNotice));
    EXPECT_FALSE(test::FileExists(temp / "panic.bin"));
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

std::string MapString(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
    return bytes;
}

TEST(PanicMap, RecordsAcrossPieceBoundariesAndTheCorruptionRecord) {
    test::TempDir temp;
    // The first description is long enough that the kind after it straddles
    // the 4096-byte pieces the map is read in.
    const std::u16string longText(2040, u'x');
    std::string map = MapString(longText) + MapString(u"message") + MapString(u"");
    map += MapString(u"job log") + MapString(u"joblog") + MapString(u"/tmp/KVLOG.1.tmp");
    map += MapString(u"") + MapString(u"message") + MapString(u"");
    test::WriteFile(temp / "map", map);

    std::FILE* mapFile = std::fopen((temp / "map").c_str(), "rb");
    std::FILE* messageFile = std::fopen((temp / "message").c_str(), "wb");
    ASSERT_NE(mapFile, nullptr);
    ASSERT_NE(messageFile, nullptr);
    PanicRecord* collected = nullptr;
    ConvertPanicMap(mapFile, messageFile, collected);
    std::fclose(mapFile);
    std::fclose(messageFile);

    std::string expected = MapString(longText);
    expected.resize(expected.size() - 2);
    expected += test::Utf16("\tmessage\tpanic.message.txt\njob log\tjoblog\t/tmp/KVLOG.1.tmp\n") +
                test::Utf16("Memory corruption truncated mapping\tmessage\t\n");
    EXPECT_EQ(test::ReadFile(temp / "message"), expected);

    // Most recent first; texts cut to 255 units.
    ASSERT_NE(collected, nullptr);
    EXPECT_EQ(collected->path, u"");
    ASSERT_NE(collected->next, nullptr);
    EXPECT_EQ(collected->next->path, u"/tmp/KVLOG.1.tmp");
    ASSERT_NE(collected->next->next, nullptr);
    EXPECT_EQ(collected->next->next->description.size(), 255u);
    EXPECT_EQ(collected->next->next->path, u"panic.message.txt");
    EXPECT_EQ(collected->next->next->next, nullptr);
    FreePanicRecords(collected);
}

}  // namespace
}  // namespace kestrel
