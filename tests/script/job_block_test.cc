// Job blocks: machines, files, data, environment edits, the single-line
// settings, commands and included steps, the shared block namespace, and
// every message of the block.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class JobBlockTest : public ScriptTest {};

const std::string kMachine = "machine m\n  path\n    kv://h\n";

TEST_F(JobBlockTest, AJobCollectsEverythingItsLinesDeclare) {
    ASSERT_EQ(ErrorOf(kMachine + "file list extra\n"
                                 "  file\n"
                                 "    x.c\n"
                                 "data settings\n"
                                 "  value\n"
                                 "    mode = fast\n"
                                 "job main\n"
                                 "  machines\n"
                                 "    m\n"
                                 "    builder7:6001\n"
                                 "  inputs\n"
                                 "    a.c\n"
                                 "    ../b.c\n"
                                 "  include   inputs\n"
                                 "    extra\n"
                                 "  outputs  \n"
                                 "    a.o\n"
                                 "  include output\n"
                                 "    extra\n"
                                 "  failed outputs\n"
                                 "    log.txt\n"
                                 "  include failed output\n"
                                 "    extra\n"
                                 "  values\n"
                                 "    cc = gcc\n"
                                 "  path\n"
                                 "    src = a.c\n"
                                 "  includes datas\n"
                                 "    settings\n"
                                 "  environment prefix\n"
                                 "    PATH = /opt/bin:\n"
                                 "  environment suffix\n"
                                 "    PATH=:/usr/local/bin\n"
                                 "  environment replace\n"
                                 "    LANG = C\n"
                                 "    UNSET\n"
                                 "    KV thing = allowed here\n"
                                 "  development environment   vs 2022  \n"
                                 "  command ignore error\n"
                                 "    <cc> -c <src>\n"),
              "");
    Job* job = FindJob("main");
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(job->machineCount(), 2u);
    EXPECT_EQ(job->machines[0].machine, FindMachine("m"));
    const Machine* address = FindMachine("builder7:6001");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(job->machines[1].machine, address);
    EXPECT_STREQ(address->first[0].hops->host, "builder7");
    EXPECT_EQ(address->first[0].hops->port, 6001);
    EXPECT_STREQ(address->first[0].machineName, "builder7:6001");

    EXPECT_EQ(Entries(job->inputs), (std::vector<std::string>{dir / "a.c", dir / "../b.c", dir / "x.c"}));
    EXPECT_EQ(Entries(job->outputs), (std::vector<std::string>{dir / "a.o", dir / "x.c"}));
    EXPECT_EQ(Entries(job->failedOutputs), (std::vector<std::string>{dir / "log.txt", dir / "x.c"}));

    EXPECT_EQ(Values(job->data.members.Find("cc")), (std::vector<std::string>{"gcc"}));
    EXPECT_EQ(Values(job->data.members.Find("mode")), (std::vector<std::string>{"fast"}));
    EXPECT_EQ(Paths(job->data.members.Find("src")), (std::vector<std::string>{"base:" + dir.path(), dir / "a.c"}));
    EXPECT_EQ(Values(job->environmentPrefix.members.Find("PATH")), (std::vector<std::string>{"/opt/bin:"}));
    EXPECT_EQ(Values(job->environmentSuffix.members.Find("PATH")), (std::vector<std::string>{":/usr/local/bin"}));
    EXPECT_EQ(Values(job->environmentReplace.members.Find("LANG")), (std::vector<std::string>{"C"}));
    EXPECT_EQ(Values(job->environmentReplace.members.Find("UNSET")), std::vector<std::string>{});
    EXPECT_EQ(Values(job->environmentReplace.members.Find("KV thing")), (std::vector<std::string>{"allowed here"}));
    EXPECT_EQ(job->data.members.Find("PATH"), nullptr);

    ASSERT_NE(job->developmentEnvironment, nullptr);
    EXPECT_STREQ(job->developmentEnvironment, "vs 2022  ");
    EXPECT_EQ(job->developmentEnvironmentSize, 10u);
    EXPECT_EQ(job->concurrencyFactor, kConcurrencyMedium);
    EXPECT_EQ(Commands(job->commands), (std::vector<std::string>{"<cc> -c <src>"}));
    EXPECT_EQ(job->commands.commands[0].flags, kCommandIgnoreError | kCommandLastOfBlock);
    EXPECT_STREQ(job->directoryText, dir.path().c_str());
}

TEST_F(JobBlockTest, AnAddressMachineIsSharedByEveryJobThatWritesIt) {
    ASSERT_EQ(ErrorOf("job a\n  machine\n    builder:6001\njob b\n  machine\n    builder:6001\n    other\n"), "");
    const Machine* shared = FindMachine("builder:6001");
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(FindJob("a")->machines[0].machine, shared);
    EXPECT_EQ(FindJob("b")->machines[0].machine, shared);
    const Machine* other = FindMachine("other");
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(other->first[0].hops->url, "kv://other/");
    EXPECT_EQ(other->first[0].hops->port, kDefaultMachinePort);
}

TEST_F(JobBlockTest, ConcurrencyLevels) {
    const std::pair<const char*, uint8_t> levels[] = {
        {"minimum", 0}, {"maximum", 1}, {"high", 10}, {"medium", 25}, {"low", 128},
    };
    for (const auto& [word, factor] : levels) {
        ASSERT_EQ(ErrorOf(kMachine + "job j\n  machine\n    m\n  concurrency   " + word + "  \n"), "") << word;
        EXPECT_EQ(FindJob("j")->concurrencyFactor, factor) << word;
    }
    ASSERT_EQ(ErrorOf(kMachine + "job j\n  machine\n    m\n"), "");
    EXPECT_EQ(FindJob("j")->concurrencyFactor, 25);
}

TEST_F(JobBlockTest, IncludedStepsAreCopiedWithDataMemberNames) {
    ASSERT_EQ(ErrorOf(kMachine + "step compile\n"
                                 "  parameter\n"
                                 "    files\n"
                                 "    flags\n"
                                 "  command break on error\n"
                                 "    cc <flags> <<enumerate>files>\n"
                                 "      <<environment>CC>\n"
                                 "job j\n"
                                 "  machine\n"
                                 "    m\n"
                                 "  command complete with error\n"
                                 "    mkdir out\n"
                                 "  include steps compile\n"
                                 "    sources\n"
                                 "    options\n"
                                 "  command ignore error\n"
                                 "    echo <options>\n"),
              "");
    Job* job = FindJob("j");
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(Commands(job->commands),
              (std::vector<std::string>{"mkdir out", "cc <options> <sources#1> | <CC#80>", "echo <options>"}));
    const Command* commands = job->commands.commands;
    EXPECT_EQ(commands[1].flags, kCommandBreakOnError | kCommandEnumerates | kCommandLastOfBlock);
    EXPECT_EQ(commands[1].parts[0].reference, commands[2].parts[0].reference);
    EXPECT_EQ(commands[1].environmentCount, 1u);
}

TEST_F(JobBlockTest, NamesAreSharedWithEveryOtherBlockKind) {
    struct Case {
        std::string script;
        std::string error;
    };
    const std::string job = "job x\n  machine\n    m:1\n";
    const std::vector<Case> cases = {
        {"data x\njob x\n", "Job name x already in use" + At(2)},
        {"file list x\njob   x  \n", "Job name x already in use" + At(2)},
        {"step x\njob x\n", "Job name x already in use" + At(2)},
        {job + "job x\n", "Job name x already in use" + At(4)},
        {job + "step x\n", "Step block name x already used" + At(4)},
        {job + "data x\n", "Data block name x already used" + At(4)},
        {job + "file list x\n", "File list name x already used" + At(4)},
        {job + "job y\n  machine\n    m:1\n  include data\n    x\n", "Cannot include block x as data" + At(8)},
        {job + "job y\n  machine\n    m:1\n  include step x\n", "x must be a step" + At(7)},
        {job + "job y\n  machine\n    m:1\n  include input\n    x\n", "x not a file list" + At(8)},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
}

TEST_F(JobBlockTest, NameLength) {
    const std::string longest(kMaxJobNameLength, 'j');
    EXPECT_EQ(ErrorOf("job " + longest + "\n  machine\n    m:1\n"), "");
    EXPECT_NE(FindJob(longest.c_str()), nullptr);
    EXPECT_EQ(ErrorOf("job " + longest + "j\n"), "Job name is too long" + At(1));
    // Trailing spaces count.
    EXPECT_EQ(ErrorOf("job " + longest + " \n"), "Job name is too long" + At(1));
}

TEST_F(JobBlockTest, LineMessages) {
    struct Case {
        std::string line;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"bogus", "Unknown line in job: bogus"},
        {"command", "No parameters provided for command block"},
        {"commandx", "Unknown line in job: commandx"},
        {"machine x", "No parameters allowed for machine block"},
        {"machinex", "Unknown line in job: machinex"},
        {"machinesx", "Unknown line in job: machinesx"},
        {"input files", "No parameters allowed for input block"},
        {"inputx", "Unknown line in job: inputx"},
        {"outputs x", "No parameters allowed for output block"},
        {"failed output x", "No parameters allowed for failed output block"},
        {"failed   outputx", "Unknown line in job: failed   outputx"},
        {"value x", "No parameters allowed for value block"},
        {"path x", "No parameters allowed for path block"},
        {"environment prefix x", "No parameters allowed for environment prefix block"},
        {"environment suffix x", "No parameters allowed for environment suffix block"},
        {"environment replaces x", "No parameters allowed for environment replace block"},
        {"environment replacex", "Unknown line in job: environment replacex"},
        {"include", "Missing job include parameter"},
        {"includes   ", "Missing job include parameter"},
        {"includex", "Unknown line in job: includex"},
        {"include data x", "Unknown job include parameter: x"},
        {"include datas  x", "Unknown job include parameter: x"},
        {"include datax", "Unknown job include parameter: x"},
        {"include data with name", "Unknown job include parameter: with name"},
        {"include step", "A step name must be specified within the include step line"},
        {"include steps", "A step name must be specified within the include step line"},
        {"include step  ", "A step name must be specified within the include line"},
        {"include step nope", "The step nope could not be found"},
        {"include bogus", "Unknown job include parameter: bogus"},
        {"include input x", "No parameters allowed for including input"},
        {"include outputs x", "No parameters allowed for including output"},
        {"include failed output x", "No parameters allowed for including failed output"},
        {"include inputx", "Unknown line in job: include inputx"},
        {"development environment", "Missing development environment name"},
        {"development environment   ", "Missing development environment name"},
        {"development environmentx", "Unknown line in job: development environmentx"},
        {"concurrency", "A parameter for the concurrency factor is required"},
        {"concurrency   ", "A parameter for the concurrency factor is required"},
        {"concurrency high now", "No additional parameters allowed for the concurrency factor"},
        {"concurrency highs", "No additional parameters allowed for the concurrency factor"},
        {"concurrency fast", "Unknown concurrency factor parameter: fast"},
        {"concurrency hig", "Unknown concurrency factor parameter: hig"},
        {"persistent", "Persistent builds are disabled in the beta"},
        {"persistent  ", "Persistent builds are disabled in the beta"},
        {"persistent yes", "No parameters allowed for the persistent block"},
        {"persistently", "Unknown line in job: persistently"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf("job j\n  machine\n    m:1\n  " + c.line + "\n"), c.error + At(4)) << c.line;
    }
}

TEST_F(JobBlockTest, BlockMessages) {
    struct Case {
        std::string lines;
        std::string error;
        int line;
    };
    const std::vector<Case> cases = {
        {"  development environment a\n  development environment b\n",
         "Only one development environment may be specified", 5},
        {"  concurrency low\n  concurrency high\n", "Only one concurrency factor may be specified", 5},
        {"  machine\n    a/b\n", "Invalid machine path", 5},
        {"  machine\n    a:1:2\n", "Invalid machine path", 5},
        {"  machine\n    a:0\n", "Invalid machine path", 5},
        {"  input\n    /etc/passwd\n", "Files in a file list cannot have absolute paths", 5},
        {"  include input\n    nope\n", "Unknown file list nope", 5},
        {"  include data\n    nope\n", "Cannot find block nope", 5},
        {"  include data with name  \n", "Empty name in include with name block", 4},
        {"  value\n    x\n", "Data x has no value", 5},
        {"  value\n    KV x = 1\n", "Names beginning with 'KV ' are reserved", 5},
        {"  path\n    p = /abs\n", "Files in a data path values cannot have absolute paths", 5},
        {"  command ignore error\n  concurrency low\n", "Command block cannot be empty", 4},
        {"  include step s\n    a\n    b\n", "Too many parameters passed to included step", 6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf("step s\n  parameter\n    p\njob j\n  machine\n    m:1\n" + c.lines),
                  c.error + At(c.line + 3))
            << c.lines;
    }
}

TEST_F(JobBlockTest, AJobNeedsAMachine) {
    EXPECT_EQ(ErrorOf("job j\n  input\n    a.c\n"), "At least one machine must be specified for each job" + At(3));
    EXPECT_EQ(ErrorOf("job j\ndata d\n"), "At least one machine must be specified for each job" + At(1));
    EXPECT_EQ(ErrorOf("job j\n  machine\n"), "At least one machine must be specified for each job" + At(2));
    // A machine line naming a machine defined later is an address of its own.
    ASSERT_EQ(ErrorOf("job j\n  machine\n    later\n" + std::string("machine later2\n  path\n    kv://h\n")), "");
    EXPECT_EQ(FindJob("j")->machines[0].machine, FindMachine("later"));
    EXPECT_EQ(ErrorOf("job j\n  machine\n    later\nmachine later\n  path\n    kv://h\n"),
              "The machine name later is already in use" + At(4));
}

}  // namespace
}  // namespace kestrel::test
