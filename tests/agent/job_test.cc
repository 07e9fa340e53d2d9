// A whole job on a real agent, in both text encodings: set-up, environment,
// inputs, commands, outputs and the end, and the statuses of the requests
// the agent refuses.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

class JobFlow : public AgentTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        WriteFile(temp / "toolchain.env", "# the tool chain\nDEV_NAME=from-dev-env\nSEARCH=base\n");
        StartAgent({"--encoding", GetParam(), "--dev-env", "toolchain=" + (temp / "toolchain.env")});
    }
};

INSTANTIATE_TEST_SUITE_P(Encodings, JobFlow, ::testing::Values("UTF-8", "UTF-16LE"),
                         [](const auto& info) { return std::string(info.param[4] == '1' ? "Utf16" : "Utf8"); });

TEST_P(JobFlow, RunsAJobFromStartToEndAndReturnsItsOutputs) {
    const std::string inputs = temp / "inputs";
    const std::string blob = NoiseBytes(300000, 7);
    WriteFile(inputs + "/src/main.txt", "int main() { return 0; }\n");
    WriteFile(inputs + "/src/data/blob.bin", blob);
    WriteFile(inputs + "/empty.txt", "");
    WriteFile(inputs + "/na\xC3\xAFve.txt", "accents\n");
    ASSERT_EQ(mkdir((inputs + "/docs").c_str(), 0755), 0);

    auto client = OpenClient();
    EXPECT_EQ(client->utf16(), std::string(GetParam()) == "UTF-16LE");
    EXPECT_EQ(client->encodingName(), GetParam());
    EXPECT_EQ(client->separator(), Encoded("/", client->utf16()));

    Checked started = StartJob(*client, 1, 25);
    ASSERT_EQ(started.fault, "");
    ASSERT_EQ(started.status(), 0u);
    ASSERT_EQ(WorkAreas().size(), 1u);

    EXPECT_EQ(SetDevelopmentEnvironment(*client, 1, "toolchain").status(), 0u);
    EXPECT_EQ(EditEnvironment(*client, MessageType::ReplaceEnvironment, 1, "GREETING", "hello").status(), 0u);
    EXPECT_EQ(EditEnvironment(*client, MessageType::PrefixEnvironment, 1, "SEARCH", "a").status(), 0u);
    EXPECT_EQ(EditEnvironment(*client, MessageType::SuffixEnvironment, 1, "SEARCH", "z").status(), 0u);
    EXPECT_EQ(EditEnvironment(*client, MessageType::SuffixEnvironment, 1, "FRESH", "only").status(), 0u);

    const InputResult input =
        SendInputs(*client, 1, inputs, {"src/", "src/main.txt", "src/data/blob.bin", "empty.txt", "na\xC3\xAFve.txt", "docs/"});
    ASSERT_EQ(input.failure, "");
    ASSERT_EQ(input.last.fault, "");
    ASSERT_EQ(input.last.status(), 0u);
    EXPECT_GE(input.pieces, 1u);
    EXPECT_EQ(StepStart(*client, 1).status(), 0u);

    const CommandResult both = RunCommand(*client, 1, "", {"sh", "-c", "cat src/main.txt; echo to-stderr >&2"});
    ASSERT_EQ(both.failure, "");
    EXPECT_EQ(both.execute.status(), 0u);
    EXPECT_EQ(both.out, "int main() { return 0; }\n");
    EXPECT_EQ(both.err, "to-stderr\n");
    EXPECT_TRUE(both.returned);
    EXPECT_EQ(both.value, 0);
    EXPECT_TRUE(both.elapsedOrdered);

    const CommandResult failing = RunCommand(*client, 1, "src", {"sh", "-c", "ls data; exit 3"});
    ASSERT_EQ(failing.failure, "");
    EXPECT_EQ(failing.out, "blob.bin\n") << "runs in the working directory it was given";
    EXPECT_TRUE(failing.returned);
    EXPECT_EQ(failing.value, 3);

    // The variable travels by name in the bitmap, the shell reads the edits.
    const CommandResult variable = RunCommand(*client, 1, "", {"echo", "GREETING"}, {1});
    ASSERT_EQ(variable.failure, "");
    EXPECT_EQ(variable.out, "hello\n");
    const CommandResult edits =
        RunCommand(*client, 1, "", {"sh", "-c", "echo \"$GREETING|$SEARCH|$DEV_NAME|$FRESH\"; cat empty.txt na*.txt"});
    EXPECT_EQ(edits.out, "hello|a:base:z|from-dev-env|only\naccents\n");

    const CommandResult make = RunCommand(
        *client, 1, "", {"sh", "-c", "mkdir -p out/sub && cp src/data/blob.bin out/sub/copy.bin && printf x > out/x.txt"});
    ASSERT_EQ(make.value, 0) << make.err;

    const Checked added = AddOutputs(*client, 1, {"out", "out/sub", "out/sub/copy.bin", "out/x.txt", "docs", "src/main.txt"});
    ASSERT_EQ(added.fault, "");
    ASSERT_EQ(added.status(), 0u) << added.text;
    const std::string fetched = temp / "fetched";
    ASSERT_EQ(mkdir(fetched.c_str(), 0755), 0);
    const OutputResult output = FetchOutputs(*client, 1, fetched);
    ASSERT_EQ(output.failure, "");
    EXPECT_EQ(ReadFile(fetched + "/out/sub/copy.bin"), blob);
    EXPECT_EQ(ReadFile(fetched + "/out/x.txt"), "x");
    EXPECT_EQ(ReadFile(fetched + "/src/main.txt"), "int main() { return 0; }\n");
    struct stat status;
    ASSERT_EQ(stat((fetched + "/docs").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    // After the last piece there is nothing more to fetch.
    EXPECT_EQ(CheckStatus(MessageType::OutputTransfer, client->Request([](PayloadWriter& w) {
                  BuildJobRequest(w, MessageType::OutputTransfer, 1);
              })).status(),
              4u);

    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
    EXPECT_TRUE(WorkAreas().empty());
    EXPECT_FALSE(client->protocolFailureSeen());
}

TEST_P(JobFlow, RefusedRequestsGetTheirStatuses) {
    auto client = OpenClient();
    const bool utf16 = client->utf16();
    ASSERT_EQ(StartJob(*client, 4, 1).status(), 0u);

    struct Case {
        const char* what;
        MessageType type;
        std::function<Answer()> send;
        uint32_t status;
    };
    const auto raw = [&](const std::string& payload) { return [&client, payload] { return client->Raw(payload); }; };
    const std::string t = utf16 ? std::string("\0\0", 2) : std::string("\0", 1);
    const auto text = [&](const std::string& s) { return Encoded(s, utf16) + t; };
    // Execute's head without a bitmap: the UTF-16 strings start at an even offset.
    const auto exec = [&](char job) { return std::string{'\x0d', job, '\0'} + (utf16 ? std::string(1, '\0') : ""); };
    const std::vector<Case> beforeStep = {
        {"job ID in use", MessageType::StartJob, raw(std::string("\x00\x04\x01", 3)), 2},
        {"StartJob too short", MessageType::StartJob, raw(std::string("\x00\x05", 2)), 7},
        {"unknown development environment", MessageType::SetDevelopmentEnvironment,
         raw(std::string("\x08\x04", 2) + "nosuch" + std::string(1, '\0')), 2},
        {"development environment without its 0", MessageType::SetDevelopmentEnvironment,
         raw(std::string("\x08\x04", 2) + "toolchain"), 3},
        {"development environment of no job", MessageType::SetDevelopmentEnvironment,
         raw(std::string("\x08\x09", 2) + "toolchain" + std::string(1, '\0')), 1},
        {"edit of no job", MessageType::ReplaceEnvironment, raw(std::string("\x03\x09", 2) + text("A") + text("B")), 1},
        {"edit without its value", MessageType::PrefixEnvironment, raw(std::string("\x01\x04", 2) + text("A")), 3},
        {"edit with an empty name", MessageType::SuffixEnvironment, raw(std::string("\x02\x04", 2) + text("") + text("B")), 3},
        {"Execute before StepStart", MessageType::Execute, raw(exec(4) + text("") + text("true")), 2},
        {"input of no job", MessageType::InputWrite, raw(std::string("\x0c\x09xyz", 5)), 1},
        {"StepStart of no job", MessageType::StepStart, raw(std::string("\x07\x09", 2)), 1},
        {"StepStart too long", MessageType::StepStart, raw(std::string("\x07\x04\x00", 3)), 5},
        {"AddOutput without a path", MessageType::AddOutput, raw(std::string("\x09\x04", 2)), 2},
        {"AddOutput of no job", MessageType::AddOutput, raw(std::string("\x09\x09", 2) + text("a")), 1},
        {"OutputReset too long", MessageType::OutputReset, raw(std::string("\x0a\x04\x00", 3)), 2},
        {"OutputTransfer of no job", MessageType::OutputTransfer, raw(std::string("\x0b\x09", 2)), 2},
        {"OutputTransfer too long", MessageType::OutputTransfer, raw(std::string("\x0b\x04\x00", 3)), 3},
        {"EndJob of no job", MessageType::EndJob, raw(std::string("\x05\x09", 2)), 1},
        {"EndJob too long", MessageType::EndJob, raw(std::string("\x05\x04\x00", 3)), 2},
    };
    for (const Case& c : beforeStep) {
        SCOPED_TRACE(c.what);
        const Checked checked = CheckStatus(c.type, c.send());
        EXPECT_EQ(checked.fault, "");
        EXPECT_EQ(checked.status(), c.status);
    }

    // Bytes that are no archive: a transfer error with a code and a text.
    const Checked garbage = CheckStatus(MessageType::InputWrite, client->Raw(std::string("\x0c\x04", 2) + "not gzip at all"));
    EXPECT_EQ(garbage.status(), 5u);
    EXPECT_EQ(garbage.text, Encoded("decompression failed: incorrect header check", utf16));
    EXPECT_EQ(StepStart(*client, 4).status(), 3u) << "a failed input does not start the step";
    EXPECT_EQ(EndJob(*client, 4).status(), 0u);

    ASSERT_EQ(StartJob(*client, 5, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 5).status(), 0u);
    ASSERT_EQ(WorkAreas().size(), 1u);
    ASSERT_EQ(symlink("/etc", (workDir + "/" + WorkAreas()[0] + "/outside").c_str()), 0);
    const std::vector<Case> afterStep = {
        {"edit after StepStart", MessageType::ReplaceEnvironment, raw(std::string("\x03\x05", 2) + text("A") + text("B")), 4},
        {"input after StepStart", MessageType::InputWrite, raw(std::string("\x0c\x05xyz", 5)), 2},
        {"a flag byte of 2", MessageType::Execute, raw(std::string("\x0d\x05\x02\x00", 4) + text("") + text("true")), 3},
        {"no program", MessageType::Execute, raw(exec(5) + text("")), 3},
        {"unterminated string", MessageType::Execute, raw(exec(5) + text("") + Encoded("true", utf16)), 3},
        {"variable not set", MessageType::Execute,
         raw(std::string("\x0d\x05\x01\x02\x01\x00", 6) + text("") + text("NOT_SET_ANYWHERE")), 7},
        {"missing output", MessageType::AddOutput, raw(std::string("\x09\x05", 2) + text("not/there.o")), 6},
        {"output above the area", MessageType::AddOutput, raw(std::string("\x09\x05", 2) + text("../x")), 7},
        {"absolute output", MessageType::AddOutput, raw(std::string("\x09\x05", 2) + text("/etc/passwd")), 7},
        {"output through a link", MessageType::AddOutput, raw(std::string("\x09\x05", 2) + text("outside/passwd")), 7},
        {"output that is a link", MessageType::AddOutput, raw(std::string("\x09\x05", 2) + text("outside")), 7},
    };
    for (const Case& c : afterStep) {
        SCOPED_TRACE(c.what);
        const Checked checked = CheckStatus(c.type, c.send());
        EXPECT_EQ(checked.fault, "");
        EXPECT_EQ(checked.status(), c.status);
    }
    const Checked missing = AddOutputs(*client, 5, {"not/there.o"});
    EXPECT_EQ(missing.text, Encoded("not/there.o", utf16)) << "the missing path is named";

    // A program that is not there is a process that could not be started.
    const CommandResult unknown = RunCommand(*client, 5, "", {"no-such-program-anywhere"});
    EXPECT_EQ(unknown.execute.status(), 0u);
    EXPECT_EQ(unknown.failure, "");
    EXPECT_TRUE(unknown.startFailed);
    EXPECT_EQ(unknown.startError, static_cast<uint32_t>(ENOENT));
    ASSERT_EQ(RunCommand(*client, 5, "", {"sh", "-c", "echo plain > script.sh"}).value, 0);
    const CommandResult notExecutable = RunCommand(*client, 5, "", {"./script.sh"});
    EXPECT_TRUE(notExecutable.startFailed);
    EXPECT_EQ(notExecutable.startError, static_cast<uint32_t>(EACCES));
    const CommandResult escape = RunCommand(*client, 5, "../..", {"true"});
    EXPECT_EQ(escape.execute.status(), 6u);
    EXPECT_EQ(escape.execute.text, Encoded("The working directory ../.. leaves the work area", utf16));
    const CommandResult absent = RunCommand(*client, 5, "no/such/dir", {"true"});
    EXPECT_EQ(absent.execute.status(), 6u);
    EXPECT_EQ(absent.execute.response.errorCode, static_cast<uint32_t>(ENOENT));

    // A second Execute while the first command runs.
    const Answer first = client->Request([](PayloadWriter& w) {
        BeginExecute(w, 5, nullptr, 0);
        AddExecuteString(w, "", 0);
        AddExecuteString(w, "sleep", 5);
        AddExecuteString(w, "30", 2);
    });
    ASSERT_EQ(CheckStatus(MessageType::Execute, first).status(), 0u);
    const Checked second = CheckStatus(MessageType::Execute, client->Raw(exec(5) + text("") + text("true")));
    EXPECT_EQ(second.status(), 5u);
    EXPECT_EQ(AddOutputs(*client, 5, {"outside"}).status(), 3u) << "outputs wait for the command";
    // Ending the job ends the command and removes the area.
    EXPECT_EQ(EndJob(*client, 5).status(), 0u);
    EXPECT_TRUE(WorkAreas().empty());
    EXPECT_FALSE(client->protocolFailureSeen());
}

TEST_P(JobFlow, ReportsSignalsThrottlingAndResetOutputs) {
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 9, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 9).status(), 0u);

    const CommandResult killed = RunCommand(*client, 9, "", {"sh", "-c", "echo before; kill -KILL $$"});
    ASSERT_EQ(killed.failure, "");
    EXPECT_TRUE(killed.signalled);
    EXPECT_EQ(killed.signal, 9u);
    EXPECT_EQ(killed.out, "before\n");

    // Far more than a pipe holds: the stream is drained over many Polls.
    const size_t size = 8 << 20;
    const CommandResult flood = RunCommand(*client, 9, "", {"head", "-c", std::to_string(size), "/dev/zero"});
    ASSERT_EQ(flood.failure, "");
    EXPECT_EQ(flood.out, std::string(size, '\0'));
    EXPECT_EQ(flood.value, 0);
    EXPECT_GT(flood.throttled, 0u);

    // An empty list after a reset: the archive holds nothing.
    ASSERT_EQ(RunCommand(*client, 9, "", {"sh", "-c", "echo data > kept.txt"}).value, 0);
    ASSERT_EQ(AddOutputs(*client, 9, {"kept.txt"}).status(), 0u);
    ASSERT_EQ(CheckStatus(MessageType::OutputReset, client->Request([](PayloadWriter& w) {
                  BuildJobRequest(w, MessageType::OutputReset, 9);
              })).status(),
              0u);
    const std::string fetched = temp / "fetched";
    ASSERT_EQ(mkdir(fetched.c_str(), 0755), 0);
    const OutputResult output = FetchOutputs(*client, 9, fetched);
    ASSERT_EQ(output.failure, "");
    EXPECT_EQ(output.pieces, 1u);
    EXPECT_FALSE(FileExists(fetched + "/kept.txt"));
    EXPECT_EQ(EndJob(*client, 9).status(), 0u);
}

TEST_P(JobFlow, BuildsTheHelloExample) {
    // What the client sends for examples/hello: its sources, two commands, one output.
    const std::string sources = SourceDir() + "/examples/hello";
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 25).status(), 0u);
    const InputResult input = SendInputs(*client, 1, sources, {"src/", "src/hello.c", "src/greeting.c", "src/greeting.h"});
    ASSERT_EQ(input.last.status(), 0u) << input.failure;
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);
    ASSERT_EQ(RunCommand(*client, 1, "", {"mkdir", "-p", "out"}).value, 0);
    const CommandResult compiled =
        RunCommand(*client, 1, "", {"cc", "-O2", "-Wall", "-o", "out/hello", "src/hello.c", "src/greeting.c"});
    ASSERT_TRUE(compiled.returned) << compiled.failure << compiled.execute.text;
    ASSERT_EQ(compiled.value, 0) << compiled.err;
    ASSERT_EQ(AddOutputs(*client, 1, {"out", "out/hello"}).status(), 0u);
    const OutputResult output = FetchOutputs(*client, 1, temp.path());
    ASSERT_EQ(output.failure, "");
    EXPECT_TRUE(FileExists(temp / "out/hello"));
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
}

TEST_P(JobFlow, AnOutputArchiveCutShortEndsWithItsJobOrItsConnection) {
    // 3 MB of noise is about fifty pieces: the archive is still being made
    // when the job or the connection ends after the first one.
    const auto startOutputs = [&](WireClient& client, uint8_t job) {
        ASSERT_EQ(StartJob(client, job, 1).status(), 0u);
        ASSERT_EQ(StepStart(client, job).status(), 0u);
        ASSERT_EQ(RunCommand(client, job, "", {"sh", "-c", "head -c 3000000 /dev/urandom > big.bin"}).value, 0);
        ASSERT_EQ(AddOutputs(client, job, {"big.bin"}).status(), 0u);
        const Checked first = CheckStatus(MessageType::OutputTransfer, client.Request([&](PayloadWriter& w) {
            BuildJobRequest(w, MessageType::OutputTransfer, job);
        }));
        ASSERT_EQ(first.fault, "");
        ASSERT_EQ(first.status(), 0u) << "more pieces follow";
    };

    auto client = OpenClient();
    ASSERT_NO_FATAL_FAILURE(startOutputs(*client, 1));
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
    EXPECT_TRUE(WorkAreas().empty());

    ASSERT_NO_FATAL_FAILURE(startOutputs(*client, 2));
    client.reset();
    EXPECT_TRUE(WaitUntil([&] { return WorkAreas().empty(); }));

    // An output that went away after AddOutput fails the transfer, and every
    // later request says so again.
    client = OpenClient();
    ASSERT_EQ(StartJob(*client, 3, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 3).status(), 0u);
    ASSERT_EQ(RunCommand(*client, 3, "", {"sh", "-c", "echo a > a.txt; echo b > b.txt"}).value, 0);
    ASSERT_EQ(AddOutputs(*client, 3, {"a.txt", "b.txt"}).status(), 0u);
    ASSERT_EQ(RunCommand(*client, 3, "", {"rm", "b.txt"}).value, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Checked failed = CheckStatus(MessageType::OutputTransfer, client->Request([](PayloadWriter& w) {
            BuildJobRequest(w, MessageType::OutputTransfer, 3);
        }));
        EXPECT_EQ(failed.status(), 5u) << attempt;
        EXPECT_NE(failed.text.find(Encoded("(b.txt)", client->utf16())), std::string::npos) << failed.text;
    }
    EXPECT_EQ(EndJob(*client, 3).status(), 0u);
    EXPECT_TRUE(WorkAreas().empty());
}

TEST_P(JobFlow, APollAfterAPauseWaitsForTheCommandsEnd) {
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 4, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 4).status(), 0u);
    const Checked started = CheckStatus(MessageType::Execute, client->Request([](PayloadWriter& w) {
        BeginExecute(w, 4, nullptr, 0);
        AddExecuteString(w, "", 0);
        for (const char* argument : {"sleep", "0.4"}) AddExecuteString(w, argument, static_cast<uint32_t>(std::strlen(argument)));
    }));
    ASSERT_EQ(started.status(), 0u);
    const auto onlyStillRunning = [](const PollResult& poll) {
        return poll.events.size() == 1 && poll.events[0].code == kPollStillRunning;
    };
    // Without a pause before it, a Poll waits only briefly.
    const PollResult first = Poll(*client, {4});
    ASSERT_EQ(first.fault, nullptr);
    EXPECT_TRUE(onlyStillRunning(first));
    // After a pause of 100 ms it is held for up to a second, and the
    // command's end, some 250 ms later, is its answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const PollResult second = Poll(*client, {4});
    ASSERT_EQ(second.fault, nullptr);
    EXPECT_FALSE(onlyStillRunning(second));
    bool ended = false;
    for (const PolledEvent& event : second.events)
        ended |= event.code == kPollStdoutEnd || event.code == kPollStderrEnd || event.code == kPollReturned;
    EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace kestrel::test
