// The reference example (examples/reference/build.kv): a script that uses a
// data block, a file list, a machine with two paths, a parameterised step
// and a job that includes all of them, checked object by object.

#include "script/prepare_job.h"
#include "script_fixture.h"

namespace kestrel::test {
namespace {

// The example as it must stay: its lines are referred to below.
constexpr const char* kReferenceScript =
    "# tools and sources\n"
    "data tools\n"
    "    value\n"
    "        compiler = cl\n"
    "file list sources\n"
    "    file\n"
    "        src/main.c\n"
    "        src/util.c\n"
    "machine builder\n"
    "    path\n"
    "        kv://gateway:6000\n"
    "        kvi://builder1\n"
    "    path list\n"
    "        kv://builder2\n"
    "step compile\n"
    "    parameter\n"
    "        files\n"
    "        compiler\n"
    "    command break on error\n"
    "        <compiler> /c <<enumerate>files>\n"
    "            /Fo<<enumerate along, file name, base name>files>.obj\n"
    "job main\n"
    "    machine\n"
    "        builder\n"
    "    include data\n"
    "        tools\n"
    "    include data with name srcfiles\n"
    "        sources\n"
    "    include input\n"
    "        sources\n"
    "    output\n"
    "        out/main.obj\n"
    "        out/util.obj\n"
    "    concurrency high\n"
    "    include step compile\n"
    "        srcfiles\n"
    "        compiler\n";

class ReferenceExampleTest : public ScriptTest {
protected:
    void SetUp() override {
        ScriptTest::SetUp();
        const std::string example = ReadFile(SourceDir() + "/examples/reference/build.kv");
        ASSERT_EQ(example, kReferenceScript) << "examples/reference/build.kv changed";
        Write("build.kv", example);
        std::string error;
        ASSERT_TRUE(Parse("build.kv", &error)) << error;
    }
};

TEST_F(ReferenceExampleTest, DataFileListAndMachine) {
    ASSERT_NE(Data("tools"), nullptr);
    EXPECT_EQ(Values(Data("tools")->members.Find("compiler")), (std::vector<std::string>{"cl"}));
    ASSERT_NE(Files("sources"), nullptr);
    EXPECT_EQ(Entries(*Files("sources")), (std::vector<std::string>{dir / "src/main.c", dir / "src/util.c"}));

    const Machine* builder = FindMachine("builder");
    ASSERT_NE(builder, nullptr);
    ASSERT_EQ(builder->pathCount(), 2u);
    const Hop* gateway = builder->first[0].hops;
    EXPECT_STREQ(gateway->url, "kv://gateway:6000");
    EXPECT_EQ(gateway->port, 6000);
    EXPECT_EQ(gateway->protocol, HopProtocol::Direct);
    ASSERT_NE(gateway->next, nullptr);
    EXPECT_STREQ(gateway->next->host, "builder1");
    EXPECT_EQ(gateway->next->protocol, HopProtocol::Agent);
    EXPECT_EQ(gateway->next->port, 0);
    EXPECT_EQ(gateway->next->next, nullptr);
    EXPECT_STREQ(builder->first[1].hops->url, "kv://builder2");
    EXPECT_EQ(builder->first[1].hops->port, kDefaultMachinePort);
    EXPECT_EQ(builder->first[1].hops->next, nullptr);
    EXPECT_EQ(builder->first[1].index, 1u);
}

TEST_F(ReferenceExampleTest, TheStepDeclaresTwoParametersAndOneEnumeratingCommand) {
    const Step* compile = FindStep("compile");
    ASSERT_NE(compile, nullptr);
    ASSERT_NE(compile->firstParameter(), nullptr);
    EXPECT_STREQ(compile->firstParameter(), "files");
    ASSERT_NE(NextParameter(compile->firstParameter()), nullptr);
    EXPECT_STREQ(NextParameter(compile->firstParameter()), "compiler");
    EXPECT_EQ(NextParameter(NextParameter(compile->firstParameter())), nullptr);
    EXPECT_EQ(Commands(compile->commands), (std::vector<std::string>{"<compiler> /c <files#1> | /Fo<files#115>.obj"}));
    // Step parts refer to the step's own parameter names.
    const ArgumentPart* parts = compile->commands.commands[0].parts;
    EXPECT_EQ(parts[0].reference, NextParameter(compile->firstParameter()));
    EXPECT_EQ(parts[1].reference, compile->firstParameter());
}

TEST_F(ReferenceExampleTest, TheJobGetsEverythingItNames) {
    Job* job = FindJob("main");
    ASSERT_NE(job, nullptr);
    EXPECT_STREQ(job->name, "main");
    ASSERT_EQ(job->machineCount(), 1u);
    EXPECT_EQ(job->machines[0].machine, FindMachine("builder"));
    EXPECT_EQ(job->concurrencyFactor, kConcurrencyHigh);
    EXPECT_EQ(job->developmentEnvironment, nullptr);

    EXPECT_EQ(Values(job->data.members.Find("compiler")), (std::vector<std::string>{"cl"}));
    EXPECT_EQ(Paths(job->data.members.Find("srcfiles")),
              (std::vector<std::string>{"base:" + dir.path(), dir / "src/main.c", dir / "src/util.c"}));
    EXPECT_EQ(Entries(job->inputs), (std::vector<std::string>{dir / "src/main.c", dir / "src/util.c"}));
    EXPECT_EQ(Entries(job->outputs), (std::vector<std::string>{dir / "out/main.obj", dir / "out/util.obj"}));
    EXPECT_EQ(job->failedOutputs.count, 0u);
    EXPECT_STREQ(job->directoryText, dir.path().c_str());
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
}

TEST_F(ReferenceExampleTest, TheJobHoldsTheStepsCommandWithItsParametersBound) {
    Job* job = FindJob("main");
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(job->commands.count(), 1u);
    const Command& command = job->commands.commands[0];
    EXPECT_EQ(Describe(command), "<compiler> /c <srcfiles#1> | /Fo<srcfiles#115>.obj");
    EXPECT_EQ(command.flags, kCommandBreakOnError | kCommandEnumerates | kCommandLastOfBlock);
    EXPECT_EQ(command.environmentCount, 0u);
    EXPECT_EQ(command.environmentMapSize, 1u);
    ASSERT_EQ(command.partCount(), 4u);
    const ArgumentPart* parts = command.parts;
    // Two arguments: the first line, and the line under it.
    EXPECT_EQ(parts[0].flags & kPartArgumentStart, 0u);
    EXPECT_EQ(parts[2].flags & kPartArgumentStart, kPartArgumentStart);
    // The along part follows the copy of the plain enumeration, not the step's part.
    EXPECT_EQ(parts[2].alongPartner, &parts[1]);
    EXPECT_EQ(parts[1].alongPartner, nullptr);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(parts[i].innerEnumeration, nullptr) << i;
        EXPECT_EQ(parts[i].outerEnumeration, nullptr) << i;
    }
    // The references are the job's own strings.
    const Step* compile = FindStep("compile");
    ASSERT_NE(compile, nullptr);
    EXPECT_NE(parts[1].reference, compile->firstParameter());
    EXPECT_EQ(parts[1].reference, parts[2].reference);
    EXPECT_EQ(parts[3].reference, nullptr);
    EXPECT_NE(parts[1].literal, compile->commands.commands[0].parts[1].literal);
}

TEST_F(ReferenceExampleTest, PreparationRootsTheJobInTheScriptDirectory) {
    Job* job = FindJob("main");
    ASSERT_NE(job, nullptr);
    BlockMessage message;
    ASSERT_TRUE(prepareJob(*job, message)) << message.text;
    ASSERT_EQ(job->preparedInputCount, 2u);
    EXPECT_EQ(Render(job->preparedInputs[0]), NativePath("src/main.c"));
    EXPECT_EQ(Render(job->preparedInputs[1]), NativePath("src/util.c"));
    ASSERT_EQ(job->preparedOutputCount, 2u);
    EXPECT_EQ(Render(job->preparedOutputs[0]), NativePath("out/main.obj"));
    EXPECT_EQ(Render(job->relativeDirectory), "");
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    const auto* sources = static_cast<const PathList*>(job->data.members.Find("srcfiles"));
    ASSERT_EQ(sources->preparedEnd - sources->prepared, 3);
    EXPECT_EQ(Render(*sources->prepared[0]), ".");
    EXPECT_NE(sources->prepared[0]->flags & kPathBaseEntry, 0u);
    EXPECT_EQ(Render(*sources->prepared[1]), NativePath("src/main.c"));
}

}  // namespace
}  // namespace kestrel::test
