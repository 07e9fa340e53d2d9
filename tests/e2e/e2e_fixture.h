// End-to-end runs: build/kestrel --automated in a temporary working directory
// against a real kestrel-agent on loopback (optionally through a WireRelay).
// Commands on the agent leave what they find in `results`, a directory the
// test reads afterwards (agent and client share this machine).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "e2e/client_under_test.h"
#include "e2e/wire_relay.h"
#include "support/test_support.h"

namespace kestrel::test {

// One argument vector per command of a command block.
using CommandLines = std::vector<std::vector<std::string>>;

// A job block. Inputs and outputs are written as the script's lines.
struct JobSpec {
    std::string name = "main";
    std::vector<std::string> machines = {"m"};
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::string mode = "break on error";
    CommandLines commands;
};
std::string JobBlock(const JobSpec& job);

// "machine NAME" with the one path kv://127.0.0.1:PORT.
std::string MachineBlock(const std::string& name, uint16_t port);

// /bin/sh -c `script`.
std::vector<std::string> Shell(const std::string& script);

// `text` quoted for the shell.
std::string ShellQuote(const std::string& text);

class EndToEndTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the agent in its own work directory; `extra` are more options.
    void StartAgent(const std::vector<std::string>& extra = {});
    // A fresh relay (the previous one, if any, is stopped): configure it,
    // then StartRelay puts it in front of the agent and machines name it. A
    // relay carries one run.
    WireRelay& NewRelay();
    void StartRelay();
    // The port a machine block should name: the relay's when one runs.
    uint16_t MachinePort() const;
    // MachineBlock(name, MachinePort()).
    std::string Machine(const std::string& name = "m") const;

    // Writes a file below the working directory, parents created.
    void Write(const std::string& relative, const std::string& bytes);
    // The working directory joined with `relative`.
    std::string At(const std::string& relative) const { return work / relative; }
    // What a command left in the results directory ("" when nothing).
    std::string Result(const std::string& name) const;
    std::string ResultPath(const std::string& name) const { return results / name; }

    // build/kestrel --automated OPTIONS SCRIPT in the working directory.
    ProcessResult RunKestrel(const std::vector<std::string>& options = {}, const std::string& script = "build.txt",
                             int timeoutSeconds = 240);
    // Writes build.txt (the machine block first) and runs it.
    ProcessResult RunJobs(const std::vector<JobSpec>& jobs, const std::vector<std::string>& options = {});

    TempDir work;
    TempDir results;
    TempDir agentWork;
    TempDir temporary;  // the client's TMPDIR
    std::string binary;  // the client program; empty: build/kestrel
    AgentProcess agent;
    std::unique_ptr<WireRelay> relay;
};

// "Scheduling jobs", "Running jobs", then `lines`, each ended by a newline,
// with "Generating the build log" before the last when it is the outcome line.
std::string PlainOutput(const std::vector<std::string>& lines);

// What xmllint says against the schema of build_log.xml; "" when valid.
std::string SchemaErrors(const std::string& document);
// KVLOG temporary files in `directory`.
std::vector<std::string> TemporaryLogs(const std::string& directory);

}  // namespace kestrel::test
