// A job's input files reach the machine byte for byte with their
// modification times, as one archive whose entries come in path order with
// each missing directory first, in pieces of 65525 bytes but the last.

#include <algorithm>
#include <string>
#include <vector>

#include "agent/agent_fixture.h"
#include "e2e/input_checks.h"

namespace kestrel::test {
namespace {

constexpr int kInputWrite = 12;
constexpr int kStepStart = 7;
constexpr int kExecute = 13;

class InputTransferTest : public EndToEndTest {
protected:
    struct Expected {
        std::string path;
        uint64_t size;
        std::string time;
    };

    // A file below the working directory with its modification time, listed as an input.
    void Input(const std::string& path, const std::string& bytes, int64_t seconds, long nanoseconds) {
        Write(path, bytes);
        SetModificationTime(At(path), seconds, nanoseconds);
        job.inputs.push_back(path);
        files.push_back(path);
        expected.push_back({path, bytes.size(), FindTime(seconds, ClientFileTime(nanoseconds))});
    }

    // The manifest of every file so far, itself an input; the job checks it.
    void Manifest() {
        WriteManifest(work.path(), files);
        job.inputs.push_back("manifest.sha256");
        job.commands = {CheckingCommand(results.path())};
    }

    // The job succeeded, every file is intact with its time, and `directories`
    // (and nothing else) exist besides.
    void ExpectArrived(const ProcessResult& run, const std::vector<std::string>& directories) {
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
        EXPECT_EQ(Result("check.rc"), "0\n") << Result("check.txt");
        const AgentTree tree = ParseTree(Result("tree.txt"));
        for (const Expected& file : expected) {
            const auto found = tree.find(file.path);
            ASSERT_NE(found, tree.end()) << file.path;
            EXPECT_EQ(found->second.type, 'f') << file.path;
            EXPECT_EQ(found->second.size, file.size) << file.path;
            EXPECT_EQ(found->second.time, file.time) << file.path;
        }
        for (const std::string& directory : directories) {
            const auto found = tree.find(directory);
            ASSERT_NE(found, tree.end()) << directory;
            EXPECT_EQ(found->second.type, 'd') << directory;
        }
        EXPECT_EQ(tree.size(), expected.size() + directories.size() + 1);  // and the manifest
    }

    JobSpec job;
    std::vector<std::string> files;
    std::vector<Expected> expected;
};

TEST_F(InputTransferTest, FilesArriveIntactInPathOrderWithTheirDirectoriesFirst) {
    StartAgent();
    WireRelay& wire = NewRelay();
    StartRelay();
    const std::string name100(100, 'n');
    const std::string name101(101, 'o');
    const std::string longDirectory(160, 'q');
    int64_t second = 1600000000;
    Input("a/b/c/deep.txt", "deep\n", ++second, 123456789);
    Input("holder/inside.txt", "inside\n", ++second, 1);
    Input(name100, "a name of exactly 100 bytes\n", ++second, 0);
    Input("noise.bin", NoiseBytes(300000, 7), ++second, 500000000);
    Input("one", "1", ++second, 999999999);
    Input(name101, "a name of 101 bytes\n", ++second, 42);
    Input("pair/x.txt", "x\n", ++second, 0);
    Input("pair/y.txt", "y\n", ++second, 250000000);
    Input(longDirectory + "/f.txt", "below a directory part of 160 bytes\n", ++second, 7);
    Input("zero", "", ++second, 0);
    Input("ünïcødé/日本語.txt", "non-ASCII names\n", ++second, 10);
    Input("ün😀.bin", std::string(5000, '\0'), ++second, 20);
    // Listed directories: one empty, one with a listed file below it.
    ASSERT_EQ(RunProcess({"/bin/mkdir", "-p", At("emptydir"), At("holder")}).exitCode, 0);
    job.inputs.push_back("emptydir");
    job.inputs.push_back("holder");
    // A directory that is not listed: its file is not sent.
    Write("unlisted/skipped.txt", "not an input\n");
    Manifest();

    const ProcessResult run = RunJobs({job});
    ExpectArrived(run, {"a", "a/b", "a/b/c", "emptydir", "holder", "pair", longDirectory, "ünïcødé"});

    const std::vector<std::string> entries = {"a",
                                              "a/b",
                                              "a/b/c",
                                              "a/b/c/deep.txt",
                                              "emptydir",
                                              "holder",
                                              "holder/inside.txt",
                                              "manifest.sha256",
                                              name100,
                                              "noise.bin",
                                              "one",
                                              name101,
                                              "pair",
                                              "pair/x.txt",
                                              "pair/y.txt",
                                              longDirectory,
                                              longDirectory + "/f.txt",
                                              "zero",
                                              "ünïcødé",
                                              "ünïcødé/日本語.txt",
                                              "ün😀.bin"};
    EXPECT_EQ(TarNames(Inflate(SentArchive(wire))), entries);
    ExpectPieceRule(wire);
    // Piece after piece with nothing else to poll for, then StepStart and the command.
    const std::vector<int> types = wire.RequestTypes();
    std::vector<int> expectedTypes(PieceSizes(wire).size(), kInputWrite);
    expectedTypes.push_back(kStepStart);
    expectedTypes.push_back(kExecute);
    const auto first = std::find(types.begin(), types.end(), kInputWrite);
    ASSERT_GE(types.end() - first, static_cast<long>(expectedTypes.size()));
    EXPECT_EQ(std::vector<int>(first, first + static_cast<long>(expectedTypes.size())), expectedTypes);
}

TEST_F(InputTransferTest, TwoThousandFilesInFortyDirectories) {
    StartAgent();
    for (int d = 0; d < 40; ++d) {
        for (int f = 0; f < 50; ++f) {
            const int n = d * 50 + f;
            const std::string path = "tree" + std::to_string(d) + "/file" + std::to_string(f) + ".dat";
            Input(path, NoiseBytes(static_cast<size_t>(n % 300), static_cast<uint32_t>(n)), 1500000000 + n, n * 1000L);
        }
    }
    Manifest();
    std::vector<std::string> directories;
    for (int d = 0; d < 40; ++d) directories.push_back("tree" + std::to_string(d));
    ExpectArrived(RunJobs({job}), directories);
}

TEST_F(InputTransferTest, LargeInputInFullPieces) {
    StartAgent();
    WireRelay& wire = NewRelay();
    wire.keepPayloads = false;
    StartRelay();
    // Mostly text that compresses well, so that the suite stays quick, and
    // enough noise for a few dozen pieces.
    std::string text;
    text.reserve(48u << 20);
    for (uint64_t line = 0; text.size() < (48u << 20); ++line)
        text += "line " + std::to_string(line) + " of the large input, " + std::to_string(line * 7919 % 104729) + "\n";
    Input("large/text.log", text, 1700000000, 5);
    Input("large/noise.bin", NoiseBytes(3u << 20, 99), 1700000001, 6);
    Manifest();
    ExpectArrived(RunJobs({job}), {"large"});
    ExpectPieceRule(wire);
    EXPECT_GT(PieceSizes(wire).size(), 50u);
}

TEST_F(InputTransferTest, Utf16MachineGetsUtf16NamesAndItsSeparator) {
    StartAgent({"--encoding", "UTF-16LE"});
    WireRelay& wire = NewRelay();
    StartRelay();
    Input("wide/ünï/日本語.txt", "through UTF-16\n", 1650000000, 123);
    Input("wide/😀/astral.bin", NoiseBytes(70000, 3), 1650000001, 0);
    Input(std::string(120, 'w'), "long name\n", 1650000002, 9);
    Manifest();
    ExpectArrived(RunJobs({job}), {"wide", "wide/ünï", "wide/😀"});
    ExpectPieceRule(wire);

    // The global header names the encoding and carries the separator as two bytes.
    const std::string tar = Inflate(SentArchive(wire));
    ASSERT_GE(tar.size(), 1024u);
    EXPECT_EQ(tar[156], 'g');
    const std::string records = tar.substr(512, 512);
    const std::string global("23 hdrcharset=UTF-16LE\n23 x-path-separator=/\0\n", 46);
    EXPECT_EQ(records, global + std::string(512 - global.size(), '\0'));
}

TEST_F(InputTransferTest, DirectoryPartsUseTheMachinesSeparator) {
    StartAgent({"--separator", "\\"});
    WireRelay& wire = NewRelay();
    StartRelay();
    Input("outer/inner/file.txt", "joined with a backslash\n", 1660000000, 0);
    Manifest();
    ExpectArrived(RunJobs({job}), {"outer", "outer/inner"});
    // GNU tar joins the ustar prefix and name with '/'; the prefix is ours.
    const std::vector<std::string> names = TarNames(Inflate(SentArchive(wire)));
    EXPECT_EQ(names, (std::vector<std::string>{"manifest.sha256", "outer", "outer/inner", "outer\\inner/file.txt"}));
}

}  // namespace
}  // namespace kestrel::test
