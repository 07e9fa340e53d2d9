// What the real kestrel asks a machine for a job's outputs, recorded by a
// scripted peer: the paths of each list with every directory sent once
// before the paths below it, requests filled to their limit, OutputReset and
// the failed-output list after a failure on the output list, resumption
// after a missing failed output, and the machine's refusals.
#include <set>

#include "archive/archive_test_support.h"
#include "client/wire.h"
#include "e2e_output/output_fixture.h"

namespace kestrel::test {
namespace {

constexpr uint8_t kAddOutput = static_cast<uint8_t>(MessageType::AddOutput);
constexpr uint8_t kOutputReset = static_cast<uint8_t>(MessageType::OutputReset);
constexpr uint8_t kOutputTransfer = static_cast<uint8_t>(MessageType::OutputTransfer);
constexpr uint8_t kEndJob = static_cast<uint8_t>(MessageType::EndJob);
constexpr uint32_t kAddOutputLimit = 65526;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string EmptyArchive() { return Gzip(ZeroBlocks(2)); }

std::string OneFileArchive(const std::string& name, const std::string& data) {
    return Gzip(TarHeader(name, '0', data.size()) + PadToBlock(data) + ZeroBlocks(2));
}

// The output requests in order, from the first AddOutput on.
std::vector<uint8_t> OutputRequestTypes(const ScriptedPeer& peer) {
    std::vector<uint8_t> types;
    for (const PeerRequest& request : peer.requests()) {
        const uint8_t t = request.type;
        if (t == kAddOutput || t == kOutputReset || t == kOutputTransfer || t == kEndJob) {
            if (types.empty() && t != kAddOutput) continue;
            // One entry for a run of OutputTransfer requests.
            if (t == kOutputTransfer && !types.empty() && types.back() == kOutputTransfer) continue;
            types.push_back(t);
        }
    }
    return types;
}

std::vector<std::vector<std::string>> AddOutputLists(const ScriptedPeer& peer, bool utf16 = false) {
    std::vector<std::vector<std::string>> lists;
    for (const PeerRequest& request : peer.requestsOfType(kAddOutput)) lists.push_back(RequestStrings(request.payload, utf16));
    return lists;
}

using Lists = std::vector<std::vector<std::string>>;

class PeerRequestsTest : public OutputE2eTest {};

TEST_F(PeerRequestsTest, EachDirectoryGoesOnceBeforeThePathsBelowIt) {
    struct Machine {
        const char* encoding;
        const char* separator;
    };
    for (const Machine machine : {Machine{"UTF-8", "/"}, Machine{"UTF-16LE", "\\"}}) {
        SCOPED_TRACE(machine.encoding);
        const bool utf16 = std::string(machine.encoding) == "UTF-16LE";
        PeerScript script;
        script.encoding = machine.encoding;
        script.separator = machine.separator;
        script.archive = EmptyArchive();
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"d", "a/c", "a/b/y", "a/b/x"};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, "The job main succeeded")) << result.out;
        const std::string s = machine.separator;
        EXPECT_EQ(AddOutputLists(peer, utf16), (Lists{{"a", "a" + s + "b", "a" + s + "b" + s + "x",
                                                       "a" + s + "b" + s + "y", "a" + s + "c", "d"}}));
        // Type, job ID, then the texts with their terminators in the machine's encoding.
        const std::string payload = peer.requestsOfType(kAddOutput).at(0).payload;
        const size_t characters = 1 + 3 + 5 + 5 + 3 + 1;
        EXPECT_EQ(payload.size(), 2 + (characters + 6) * (utf16 ? 2 : 1));
        EXPECT_EQ(OutputRequestTypes(peer), (std::vector<uint8_t>{kAddOutput, kOutputTransfer, kEndJob}));
    }
}

TEST_F(PeerRequestsTest, LongListsFillEveryRequest) {
    std::vector<std::string> outputs;
    for (int i = 0; i < 1800; ++i)
        outputs.push_back("out/directory_of_outputs_number_" + std::to_string(i % 30) +
                          "/an_output_file_whose_name_is_long_enough_to_fill_requests_" + std::to_string(i) + ".txt");
    PeerScript script;
    script.archive = EmptyArchive();
    ScriptedPeer peer(script);
    JobSpec job;
    job.outputs = outputs;
    RunOnPeer(peer, job);
    const std::vector<PeerRequest> requests = peer.requestsOfType(kAddOutput);
    ASSERT_GE(requests.size(), 3u);
    const Lists lists = AddOutputLists(peer);
    for (size_t r = 0; r < requests.size(); ++r) {
        EXPECT_LE(requests[r].payload.size(), kAddOutputLimit) << r;
        // The first path of the next request did not fit into this one.
        if (r + 1 < requests.size()) {
            EXPECT_GT(requests[r].payload.size() + lists[r + 1].front().size() + 1, kAddOutputLimit) << r;
        }
    }
    // The stream: each path in the order sent, after those of its directories
    // that had not been sent yet; every output exactly once.
    const std::set<std::string> wanted(outputs.begin(), outputs.end());
    std::vector<std::string> sent;
    for (const auto& list : lists) sent.insert(sent.end(), list.begin(), list.end());
    std::vector<std::string> expected;
    std::set<std::string> directories;
    std::set<std::string> seen;
    for (const std::string& path : sent) {
        if (!wanted.count(path)) continue;
        EXPECT_TRUE(seen.insert(path).second) << path;
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
            if (directories.insert(path.substr(0, at)).second) expected.push_back(path.substr(0, at));
        expected.push_back(path);
    }
    EXPECT_EQ(seen, wanted);
    EXPECT_EQ(sent, expected);
}

TEST_F(PeerRequestsTest, AFailureOnTheOutputListResetsItAndFetchesTheFailedOutputs) {
    for (const uint32_t status : {6u, 7u}) {
        SCOPED_TRACE(status);
        RemoveTree(ProjectPath("logs"));
        PeerScript script;
        script.archive = OneFileArchive("logs/why.txt", "why\n");
        script.addOutput = [status](uint32_t n, const std::string&) {
            return n == 0 ? StatusAndText(status, "out/r2") : StatusPayload(0);
        };
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out/r1", "out/r2", "out/r3"};
        job.failedOutputs = {"logs/why.txt"};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, "The job main failed")) << result.out;
        EXPECT_EQ(OutputRequestTypes(peer),
                  (std::vector<uint8_t>{kAddOutput, kOutputReset, kAddOutput, kOutputTransfer, kEndJob}));
        EXPECT_EQ(AddOutputLists(peer), (Lists{{"out", "out/r1", "out/r2", "out/r3"}, {"logs", "logs/why.txt"}}));
        EXPECT_EQ(ReadFile(ProjectPath("logs/why.txt")), "why\n");
    }
}

TEST_F(PeerRequestsTest, AFailedJobResumesItsListAfterThePathTheMachineNames) {
    struct Case {
        const char* what;
        uint32_t status;
        std::vector<std::string> failedOutputs;
        std::string named;
        Lists expected;
    };
    const Case cases[] = {
        {"missing file", 6, {"logs/f1", "logs/f2", "logs/f3", "logs/f4"}, "logs/f2",
         {{"logs", "logs/f1", "logs/f2", "logs/f3", "logs/f4"}, {"logs/f3", "logs/f4"}}},
        {"unacceptable file", 7, {"logs/f1", "logs/f2", "logs/f3"}, "logs/f1",
         {{"logs", "logs/f1", "logs/f2", "logs/f3"}, {"logs/f2", "logs/f3"}}},
        // A missing directory: what came after it is sent again, its own directory too.
        {"missing directory", 6, {"d1/x", "d2/y"}, "d1", {{"d1", "d1/x", "d2", "d2/y"}, {"d1/x", "d2", "d2/y"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PeerScript script;
        script.commandExit = 1;
        script.archive = EmptyArchive();
        const std::string named = c.named;
        const uint32_t status = c.status;
        script.addOutput = [named, status](uint32_t n, const std::string&) {
            return n == 0 ? StatusAndText(status, named) : StatusPayload(0);
        };
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out/result"};
        job.failedOutputs = c.failedOutputs;
        job.commands = {Shell("exit 1")};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, "The job main failed")) << result.out;
        // Failed before its outputs: only the failed-output list, no reset.
        EXPECT_EQ(OutputRequestTypes(peer), (std::vector<uint8_t>{kAddOutput, kAddOutput, kOutputTransfer, kEndJob}));
        EXPECT_EQ(AddOutputLists(peer), c.expected);
    }
}

TEST_F(PeerRequestsTest, JobsWithNothingToFetchEndAtOnce) {
    struct Case {
        const char* what;
        uint32_t exit;
        std::vector<std::string> outputs;
        const char* result;
    };
    const Case cases[] = {
        {"no outputs", 0, {}, "The job main succeeded"},
        {"failed without failed outputs", 1, {"out/result"}, "The job main failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PeerScript script;
        script.commandExit = c.exit;
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = c.outputs;
        job.commands = {Shell("true")};
        const ProcessResult result = RunOnPeer(peer, job);
        EXPECT_TRUE(Contains(result.out, c.result)) << result.out;
        EXPECT_TRUE(OutputRequestTypes(peer).empty());
        EXPECT_FALSE(peer.requestsOfType(kEndJob).empty());
    }
}

TEST_F(PeerRequestsTest, RefusalsAndFaultsOfTheMachineEndTheJob) {
    const std::string code = StatusPayload(13);  // an error code before the text
    struct Case {
        const char* what;
        std::string addOutput;
        std::string transfer;
        std::vector<uint8_t> types;
        const char* message;
        bool connectionFails;
    };
    const Case cases[] = {
        {"AddOutput wrong state", StatusPayload(3), "", {kAddOutput, kEndJob}, "The job main failed", false},
        {"AddOutput error", StatusAndText(8, code + "cannot look"), "", {kAddOutput, kEndJob}, "The job main failed",
         false},
        {"OutputTransfer error", StatusPayload(0), StatusAndText(5, code + "cannot pack"),
         {kAddOutput, kOutputTransfer, kEndJob}, "The job main failed", false},
        // The connection fails at once (and the run ends in a panic report).
        {"corrupt AddOutput answer", StatusPayload(0) + "x", "", {kAddOutput}, "Running jobs\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PeerScript script;
        script.archive = EmptyArchive();
        const std::string answer = c.addOutput;
        script.addOutput = [answer](uint32_t, const std::string&) { return answer; };
        script.transferAnswer = c.transfer;
        ScriptedPeer peer(script);
        JobSpec job;
        job.outputs = {"out/result"};
        const ProcessResult result = RunOnPeer(peer, job, c.connectionFails);
        EXPECT_TRUE(Contains(result.out, c.message)) << result.out;
        EXPECT_FALSE(Contains(result.out, "The job main succeeded")) << result.out;
        EXPECT_EQ(OutputRequestTypes(peer), c.types);
    }
}

}  // namespace
}  // namespace kestrel::test
