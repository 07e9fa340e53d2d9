// Step blocks: parameters, command blocks and their error modes, argument
// lines, include-step blocks that copy commands with parameters bound, and
// every message of the block.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class StepBlockTest : public ScriptTest {
protected:
    std::vector<std::string> StepCommands(const char* name) const {
        const Step* step = FindStep(name);
        if (step == nullptr) return {"<no step>"};
        return Commands(step->commands);
    }
    std::vector<uint32_t> Flags(const char* name) const {
        std::vector<uint32_t> flags;
        const Step* step = FindStep(name);
        if (step == nullptr) return flags;
        for (const Command* c = step->commands.commands; c != step->commands.commandsEnd; ++c)
            flags.push_back(c->flags);
        return flags;
    }
    std::vector<std::string> Parameters(const char* name) const {
        std::vector<std::string> names;
        const Step* step = FindStep(name);
        if (step == nullptr) return {"<no step>"};
        for (const char* p = step->firstParameter(); p != nullptr; p = NextParameter(p)) names.push_back(p);
        return names;
    }
};

TEST_F(StepBlockTest, CommandBlocksSetTheirModeOnEveryCommand) {
    ASSERT_EQ(ErrorOf("step s\n"
                      "    command ignore errors\n"
                      "        first\n"
                      "        second\n"
                      "    commands   complete   with error  \n"
                      "        third\n"
                      "    command break on error\n"
                      "        fourth\n"),
              "");
    EXPECT_EQ(StepCommands("s"), (std::vector<std::string>{"first", "second", "third", "fourth"}));
    EXPECT_EQ(Flags("s"), (std::vector<uint32_t>{kCommandIgnoreError, kCommandIgnoreError | kCommandLastOfBlock,
                                                 kCommandCompleteWithError | kCommandLastOfBlock,
                                                 kCommandBreakOnError | kCommandLastOfBlock}));
    EXPECT_EQ(Parameters("s"), std::vector<std::string>{});
}

TEST_F(StepBlockTest, ArgumentLinesAddArgumentsAndTextStaysLiteral) {
    ASSERT_EQ(ErrorOf("step s\n"
                      "  command break on error\n"
                      "    cc -c \"a b\" c:\\x\\y 'q' a>b\n"
                      "      -o\n"
                      "      out/a.o  \n"
                      "    ls\n"),
              "");
    EXPECT_EQ(StepCommands("s"), (std::vector<std::string>{"cc -c \"a b\" c:\\x\\y 'q' a>b | -o | out/a.o  ", "ls"}));
    const Command& cc = FindStep("s")->commands.commands[0];
    ASSERT_EQ(cc.partCount(), 3u);
    EXPECT_EQ(cc.parts[0].flags, 0u);
    EXPECT_EQ(cc.parts[1].flags, kPartArgumentStart);
    EXPECT_EQ(cc.parts[2].flags, kPartArgumentStart);
    EXPECT_EQ(cc.environmentMapSize, 1u);
}

TEST_F(StepBlockTest, ParametersAreDeclaredInOrderAndResolvedToTheStepsCopies) {
    ASSERT_EQ(ErrorOf("step s\n"
                      "    parameters\n"
                      "        source file\n"
                      "        flags\n"
                      "    command break on error\n"
                      "        cc <flags> <source file >\n"),
              "");
    EXPECT_EQ(Parameters("s"), (std::vector<std::string>{"source file", "flags"}));
    const Step* step = FindStep("s");
    const ArgumentPart* parts = step->commands.commands[0].parts;
    EXPECT_EQ(parts[0].reference, NextParameter(step->firstParameter()));
    EXPECT_EQ(parts[1].reference, step->firstParameter());
    EXPECT_EQ(ErrorOf("step s\n  parameter\n"), "");
    EXPECT_EQ(Parameters("s"), std::vector<std::string>{});
}

TEST_F(StepBlockTest, IncludesCopyCommandsWithArgumentsBoundInParameterOrder) {
    ASSERT_EQ(ErrorOf("step link\n"
                      "    parameter\n"
                      "        objects\n"
                      "        output\n"
                      "    command break on error\n"
                      "        ld -o <output> <<enumerate>objects>\n"
                      "        echo\n"
                      "            <<environment>PATH>\n"
                      "step clean\n"
                      "    command ignore error\n"
                      "        rm -rf out\n"
                      "step build\n"
                      "    parameter\n"
                      "        objs\n"
                      "        exe\n"
                      "        lib\n"
                      "    include step clean\n"
                      "    include   steps   link   \n"
                      "        objs\n"
                      "        exe\n"
                      "    includes step link\n"
                      "        objs\n"
                      "        lib\n"
                      "    command complete with error\n"
                      "        strip <exe>\n"),
              "");
    EXPECT_EQ(StepCommands("build"),
              (std::vector<std::string>{"rm -rf out", "ld -o <exe> <objs#1>", "echo | <PATH#80>",
                                        "ld -o <lib> <objs#1>", "echo | <PATH#80>", "strip <exe>"}));
    EXPECT_EQ(Flags("build"),
              (std::vector<uint32_t>{
                  kCommandIgnoreError | kCommandLastOfBlock, kCommandBreakOnError | kCommandEnumerates,
                  kCommandBreakOnError | kCommandLastOfBlock, kCommandBreakOnError | kCommandEnumerates,
                  kCommandBreakOnError | kCommandLastOfBlock, kCommandCompleteWithError | kCommandLastOfBlock}));
    const Step* build = FindStep("build");
    const Step* link = FindStep("link");
    const char* objs = build->firstParameter();
    const Command* commands = build->commands.commands;
    EXPECT_EQ(commands[1].parts[1].reference, objs);
    EXPECT_EQ(commands[3].parts[1].reference, objs);
    // Environment names are kept by the including step itself.
    EXPECT_NE(commands[2].parts[1].reference, link->commands.commands[1].parts[1].reference);
    EXPECT_EQ(commands[2].parts[1].reference, commands[4].parts[1].reference);
    EXPECT_EQ(commands[2].environmentCount, 1u);
    // Each copy has parts and literals of its own.
    EXPECT_NE(commands[1].parts, commands[3].parts);
    EXPECT_NE(commands[1].parts[0].literal, link->commands.commands[0].parts[0].literal);
}

TEST_F(StepBlockTest, IncludedEnumerationLinksPointIntoTheCopy) {
    ASSERT_EQ(ErrorOf("step inner\n"
                      "    parameter\n"
                      "        a\n"
                      "        b\n"
                      "    command break on error\n"
                      "        x <<enumerate>a> <<enumerate within a>b> <<enumerate along>b>\n"
                      "step outer\n"
                      "    parameter\n"
                      "        p\n"
                      "        q\n"
                      "    include step inner\n"
                      "        q\n"
                      "        p\n"),
              "");
    EXPECT_EQ(StepCommands("outer"), (std::vector<std::string>{"x <q#1> <p#1> <p#101>"}));
    const Command& source = FindStep("inner")->commands.commands[0];
    const Command& copy = FindStep("outer")->commands.commands[0];
    ASSERT_EQ(copy.partCount(), 3u);
    EXPECT_EQ(copy.parts[0].innerEnumeration, &copy.parts[1]);
    EXPECT_EQ(copy.parts[1].outerEnumeration, &copy.parts[0]);
    EXPECT_EQ(copy.parts[2].alongPartner, &copy.parts[1]);
    EXPECT_EQ(copy.parts[0].outerEnumeration, nullptr);
    EXPECT_EQ(copy.parts[1].innerEnumeration, nullptr);
    EXPECT_EQ(source.parts[0].innerEnumeration, &source.parts[1]);
}

TEST_F(StepBlockTest, AnIncludeOfAStepWithoutParametersClosesAtTheEndOfTheFile) {
    ASSERT_EQ(ErrorOf("step a\n  command ignore error\n    one\nstep b\n  include step a\n"), "");
    EXPECT_EQ(StepCommands("b"), (std::vector<std::string>{"one"}));
}

TEST_F(StepBlockTest, StepAndCommandMessages) {
    struct Case {
        std::string script;
        std::string error;
    };
    const std::string step = "step s\n";
    const std::string params = "step s\n  parameter\n    x\n";
    const std::vector<Case> cases = {
        {"data s\nstep s\n", "Step block name s already used" + At(2)},
        {"step s\nstep s\n", "Step block name s already used" + At(2)},
        {step + "  command\n", "No parameters provided for command block" + At(2)},
        {step + "  command   \n", "No parameters provided for command block" + At(2)},
        {step + "  include\n", "No parameters provided for include block" + At(2)},
        {step + "  include step\n", "A step name must be specified within the include line" + At(2)},
        {step + "  include step   \n", "A step name must be specified within the include line" + At(2)},
        {step + "  include foo bar\n", "Unknown include block parameter: foo bar" + At(2)},
        {step + "  commandx\n", "Unknown line in step block: commandx" + At(2)},
        {step + "  bogus\n", "Unknown line in step block: bogus" + At(2)},
        {step + "  parameter x\n", "No parameters allowed for parameter block" + At(2)},
        {step + "  parametersx\n", "No parameters allowed for parameter block" + At(2)},
        {params + "  parameters\n", "Additional parameter blocks not permitted" + At(4)},
        {params + "    x\n", "Duplicate parameter name x" + At(4)},
        {params + "    a<b\n", "A parameter may not contain a < or >" + At(4)},
        {params + "    a>b\n", "A parameter may not contain a < or >" + At(4)},
        {step + "  command ignore errors now\n", "Unknown command block parameter: now" + At(2)},
        {step + "  command ignore errorx\n", "Unknown command block parameter: x" + At(2)},
        {step + "  command   sometimes\n", "Unknown command block parameter: sometimes" + At(2)},
        {step + "  command ignore\n", "Unknown command block parameter: ignore" + At(2)},
        {step + "  command ignore error\n  command break on error\n    x\n", "Command block cannot be empty" + At(2)},
        {step + "  command ignore error\n", "Command block cannot be empty" + At(2)},
        {step + "  command ignore error\n    <x>\n", "Parameter x cannot be found" + At(3)},
        {step + "  command ignore error\n    x\n      y\n        z\n",
         "Invalid indention file " + dir / "build.txt" + ", line 5"},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
}

TEST_F(StepBlockTest, IncludeMessages) {
    const std::string two = "step two\n  parameter\n    a\n    b\n  command ignore error\n    <a> <b>\n";
    struct Case {
        std::string script;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"step s\n  include step nope\n", "The step nope could not be found" + At(2)},
        {"data d\nstep s\n  include step d\n", "d must be a step" + At(3)},
        {"step s\n  include step s\n", "Step cannot include itself" + At(2)},
        {two + "step s\n  parameter\n    x\n  include step two\n    x\n",
         "Incomplete parameter list passed to included step" + At(11)},
        {two + "step s\n  parameter\n    x\n  include step two\n    x\n    x\n    x\n",
         "Too many parameters passed to included step" + At(13)},
        {two + "step s\n  parameter\n    x\n  include step two\n    x\n    y\n",
         "Cannot find step include parameter y" + At(12)},
        {two + "step s\n  include step two\n", "Incomplete parameter list passed to included step" + At(8)},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
}

}  // namespace
}  // namespace kestrel::test
