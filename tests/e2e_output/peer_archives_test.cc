// Output archives that another machine could send, served by a scripted
// peer to the real kestrel: hostile ones are refused with their message, the
// job fails, EndJob still goes out and nothing appears outside the job's
// directory; ordinary pax archives of other writers are unpacked whole, in
// pieces of any size.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "archive/archive_test_support.h"
#include "client/wire.h"
#include "e2e_output/output_fixture.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Entry(const std::string& name, const std::string& data, char type = '0', const std::string& link = "") {
    return TarHeader(name, type, data.size(), "", link) + PadToBlock(data);
}

std::string Archive(const std::string& entries) { return Gzip(entries + ZeroBlocks(2)); }

bool SawRequest(const ScriptedPeer& peer, MessageType type) {
    return !peer.requestsOfType(static_cast<uint8_t>(type)).empty();
}

class PeerArchivesTest : public OutputE2eTest {
protected:
    std::string outside;

    void SetUp() override {
        OutputE2eTest::SetUp();
        outside = temp / "outside";
        WriteFile(outside + "/sentinel", "untouched\n");
    }

    // Everything in the test's directory but the project.
    Tree Around() const {
        Tree tree = Snapshot(temp.path());
        for (auto it = tree.begin(); it != tree.end();) {
            it = it->first == "project" || it->first.rfind("project/", 0) == 0 ? tree.erase(it) : std::next(it);
        }
        return tree;
    }
};

struct HostileCase {
    const char* what;
    std::string entries;      // tar entries before the trailer
    const char* description;  // the reader's error kind, as the message shows it
    const char* detail;       // the chain's detail in the build log ("" for none)
};

// The output archive failure as the build log shows it.
void ExpectArchiveFailureInBuildLog(const std::string& document, const std::string& reason, const std::string& detail) {
    ASSERT_TRUE(FileExists(document));
    const std::string xml = ReadFile(document);
    EXPECT_TRUE(Contains(xml, "ErrorReason=\"" + reason + "\"")) << xml;
    const bool shown = Contains(xml, "<kv:ClientOutputError>" + detail + "</kv:ClientOutputError>");
    EXPECT_EQ(shown || (detail.empty() && !Contains(xml, "<kv:ClientOutputError>")), true) << xml;
}

TEST_F(PeerArchivesTest, HostileArchivesAreRefusedAndNothingLeavesTheJobDirectory) {
    const std::string abs = outside + "/absolute.txt";
    const std::string valid = Entry("out/fine.txt", "fine\n");
    std::string badChecksum = Entry("out/damaged.txt", "data\n");
    badChecksum[148] = badChecksum[148] == '1' ? '2' : '1';
    const char* const headers = "parsing paxgz headers failed";
    const HostileCase cases[] = {
        {"climbing name", valid + Entry("../escape.txt", "evil\n"), headers, "entry path climbs above the extraction root"},
        {"climbing path record",
         PaxHeader('x', PaxRecord("path", "out/../../outside/escape.txt")) + Entry("placeholder", "evil\n"), headers,
         "entry path climbs above the extraction root"},
        {"absolute name", Entry(abs, "evil\n"), headers, "entry path is absolute"},
        {"absolute path record", PaxHeader('x', PaxRecord("path", abs)) + Entry("placeholder", "evil\n"), headers,
         "entry path is absolute"},
        {"drive name", Entry("C:/evil.txt", "evil\n"), headers, "entry path has a drive root"},
        {"UNC name", Entry("\\\\server\\share\\evil.txt", "evil\n"), headers, "entry path has a UNC root"},
        {"symbolic link", Entry("out/link", "", '2', outside) + Entry("out/link/through.txt", "evil\n"),
         "file create failed", ""},
        {"hard link", Entry("out/hard", "", '1', outside + "/sentinel"), "file create failed", ""},
        {"FIFO", Entry("out/fifo", "", '6'), "file create failed", ""},
        {"file under a planted link", Entry("out/planted/through.txt", "evil\n"), "file create failed", ""},
        {"damaged checksum", badChecksum, headers, "corrupt trailer read"},
        // A header record far beyond any path is refused, not held in memory.
        {"oversized header record", PaxHeader('x', PaxRecord("comment", std::string(2 << 20, 'x'))) + valid, headers,
         "corrupt pax extended header read"},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        // kNoLinuxSpecialFilesUnderWine: the planted link is a plain directory to the client there.
        if (kClientUnderWine && std::string(c.what) == "file under a planted link") continue;
        RemoveTree(ProjectPath("out"));
        fs::create_directories(ProjectPath("out"));
        // A link already on disk in the job's directory, toward the outside.
        fs::create_directory_symlink(outside, ProjectPath("out/planted"));
        const Tree before = Around();
        PeerScript script;
        script.archive = Archive(c.entries);
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out/fine.txt"};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(Contains(result.out, std::string("Failed to extract the output archive for job main, ") +
                                             c.description + "\n"))
            << result.out;
        EXPECT_TRUE(Contains(result.out, "The job main failed")) << result.out;
        EXPECT_TRUE(SawRequest(peer, MessageType::EndJob));
        ExpectArchiveFailureInBuildLog(ProjectPath("build_log.xml"), c.description, c.detail);
        EXPECT_EQ(Around(), before);
        // Nothing but the planted link is a link, and nothing was made through it.
        for (const auto& [path, item] : Snapshot(project)) EXPECT_TRUE(item.kind != 'l' || path == "out/planted") << path;
    }
}

TEST_F(PeerArchivesTest, ATruncatedArchiveFailsTheJob) {
    const std::string whole = Archive(Entry("out/big.bin", RandomBytes(200000, 3)));
    const std::string cuts[] = {whole.substr(0, whole.size() / 2), whole.substr(0, 10)};
    for (const std::string& cut : cuts) {
        SCOPED_TRACE(cut.size());
        PeerScript script;
        script.archive = cut;
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out/big.bin"};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, "Failed to extract the output archive for job main, unexpected end of file\n"))
            << result.out;
        EXPECT_TRUE(Contains(result.out, "The job main failed")) << result.out;
        EXPECT_TRUE(SawRequest(peer, MessageType::EndJob));
        ExpectArchiveFailureInBuildLog(ProjectPath("build_log.xml"), "unexpected end of file", "");
    }
}

TEST_F(PeerArchivesTest, AMachineLostInTheMiddleOfTheArchiveFailsTheJob) {
    PeerScript script;
    script.archive = Archive(Entry("out/big.bin", RandomBytes(300000, 9)));
    script.hangUpAtTransfer = 3;
    ScriptedPeer peer(script);
    JobSpec job;
    job.outputs = {"out/big.bin"};
    const ProcessResult result = RunOnPeer(peer, job);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "immediately terminated the connection")) << result.out;
    EXPECT_TRUE(Contains(result.out, "At least one job failed")) << result.out;
    EXPECT_FALSE(SawRequest(peer, MessageType::EndJob));
}

// The tree the other writers pack: nested directories, an empty file, a
// non-ASCII name, a file larger than one piece.
void WriteWritersTree(const std::string& root) {
    WriteFile(root + "/out/top.txt", "top\n");
    WriteFile(root + "/out/tool.sh", "#!/bin/sh\n");
    fs::permissions(root + "/out/tool.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(root + "/out/top.txt", fs::perms::owner_read | fs::perms::owner_write);
    WriteFile(root + "/out/empty", "");
    WriteFile(root + "/out/nested/deeper/deepest/blob.bin", RandomBytes(300000, 11));
    WriteFile(root + "/out/nested/\xC3\xA4.txt", "\xC3\xA4\n");
    fs::create_directories(root + "/out/nested/hollow");
    int64_t seconds = 1600000000;
    for (const auto& item : fs::recursive_directory_iterator(root + "/out"))
        if (item.is_regular_file()) SetModificationTime(item.path().string(), seconds++, 0);
}

struct Writer {
    const char* name;
    std::string command;  // {SRC} and {ARCHIVE} are replaced
    uint32_t pieceSize;
    bool emptyLastPiece;
};

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

TEST_F(PeerArchivesTest, ArchivesOfOtherWritersAreUnpackedWhole) {
    const std::string source = temp / "writers";
    WriteWritersTree(source);
    const Writer writers[] = {
        {"python tarfile, pax",
         "python3 -c \"import sys, tarfile; t = tarfile.open(sys.argv[2], 'w:gz', format=tarfile.PAX_FORMAT); "
         "t.add(sys.argv[1] + '/out', arcname='out'); t.close()\" {SRC} {ARCHIVE}",
         65523, false},
        {"GNU tar pax and gzip, small pieces",
         "tar --format=pax -C {SRC} -cf - out | gzip -9 > {ARCHIVE}", 1000, true},
        {"GNU tar pax with -z", "tar --format=pax -C {SRC} -czf {ARCHIVE} out", 65523, false},
    };
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        RemoveTree(ProjectPath("out"));
        const std::string archive = temp / "writer.tgz";
        const std::string command = Replace(Replace(writer.command, "{SRC}", source), "{ARCHIVE}", archive);
        ASSERT_EQ(RunProcess({"/bin/sh", "-c", command}).exitCode, 0) << command;
        PeerScript script;
        script.archive = ReadFile(archive);
        script.pieceSize = writer.pieceSize;
        script.emptyLastPiece = writer.emptyLastPiece;
        const uint64_t pieces = (script.archive.size() + writer.pieceSize - 1) / writer.pieceSize +
                                (writer.emptyLastPiece ? 1 : 0);
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out"};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, "The job main succeeded")) << result.out;
        EXPECT_EQ(Snapshot(project + "/out"), Snapshot(source + "/out"));
        // The archive's permission bits arrive (less the creation mask).
        const auto mode = [](const std::string& path) { return fs::status(path).permissions(); };
        if (kClientSetsPermissions) {
            EXPECT_NE(mode(project + "/out/tool.sh") & fs::perms::owner_exec, fs::perms::none);
            EXPECT_EQ(mode(project + "/out/top.txt") & (fs::perms::owner_exec | fs::perms::others_read),
                      fs::perms::none);
        } else {
            const fs::perms execute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
            EXPECT_EQ(mode(project + "/out/tool.sh") & execute, fs::perms::none);
        }
        // Every piece was asked for, up to the last, even past the tar trailer.
        EXPECT_EQ(peer.requestsOfType(static_cast<uint8_t>(MessageType::OutputTransfer)).size(), pieces);
        ASSERT_FALSE(peer.requests().empty());
        EXPECT_EQ(peer.requests()[peer.requests().size() - 2].type, static_cast<uint8_t>(MessageType::EndJob));
    }
}

}  // namespace
}  // namespace kestrel::test
