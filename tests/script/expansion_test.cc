// Command-line expansions: the syntax of names and options, how each lands in
// its argument part, the checks made when a command is complete, and every
// message. Steps resolve names to their parameters; jobs take any name.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class ExpansionTest : public ScriptTest {
protected:
    // A step with the parameters a, b, c, src, inc, obj and HOME whose one
    // command is `line` (further lines may follow after a newline).
    std::string StepWith(const std::string& line) {
        return "step s\n"
               "  parameter\n"
               "    a\n"
               "    b\n"
               "    c\n"
               "    src\n"
               "    inc\n"
               "    obj\n"
               "  command break on error\n"
               "    " +
               line + "\n";
    }
    // The parsed command of StepWith, or the error text.
    std::string Parsed(const std::string& line) {
        const std::string error = ErrorOf(StepWith(line));
        if (!error.empty()) return error;
        const Step* step = FindStep("s");
        if (step == nullptr || step->commands.count() != 1) return "<no command>";
        return Describe(step->commands.commands[0]);
    }
    const Command& TheCommand() const { return FindStep("s")->commands.commands[0]; }
};

constexpr int kCommandLine = 10;

TEST_F(ExpansionTest, NamesAndLiteralsSplitIntoParts) {
    EXPECT_EQ(Parsed("-I<inc>"), "-I<inc>");
    ASSERT_EQ(TheCommand().partCount(), 1u);
    EXPECT_STREQ(TheCommand().parts[0].literal, "-I");

    EXPECT_EQ(Parsed("<src>.o"), "<src>.o");
    ASSERT_EQ(TheCommand().partCount(), 2u);
    EXPECT_STREQ(TheCommand().parts[0].literal, "");
    EXPECT_STREQ(TheCommand().parts[1].literal, ".o");
    EXPECT_EQ(TheCommand().parts[1].reference, nullptr);

    EXPECT_EQ(Parsed("<  src  >x>y"), "<src>x>y");
    EXPECT_EQ(Parsed("<a><b>"), "<a><b>");
    EXPECT_EQ(TheCommand().partCount(), 2u);
}

TEST_F(ExpansionTest, OptionsSetTheirFlags) {
    EXPECT_EQ(Parsed("<<file name, enumerate>src>"), "<src#11>");
    EXPECT_EQ(Parsed("<<  base names  >src>"), "<src#4>");
    EXPECT_EQ(Parsed("< < directory names,required > src >"), "<src#a>");
    EXPECT_EQ(Parsed("<<file names>src>"), "<src#10>");
    EXPECT_EQ(Parsed("<<enumerates>src> <<enumerates   along,base name>src>"), "<src#1> <src#105>");
    EXPECT_EQ(Parsed("x\n      <<environment>HOME>"), "x | <HOME#80>");
    EXPECT_EQ(TheCommand().environmentCount, 1u);
    // Option keywords, like block keywords, match runs of spaces.
    EXPECT_EQ(Parsed("<<file    name>src>"), "<src#10>");
}

TEST_F(ExpansionTest, EnvironmentNamesNeedNotBeParametersAndCountTowardsTheMap) {
    std::string line = "x";
    for (int i = 0; i < 9; ++i) line += "\n      <<environment>VAR" + std::to_string(i) + ">";
    EXPECT_EQ(Parsed(line),
              "x | <VAR0#80> | <VAR1#80> | <VAR2#80> | <VAR3#80> | <VAR4#80> | <VAR5#80> | "
              "<VAR6#80> | <VAR7#80> | <VAR8#80>");
    EXPECT_EQ(TheCommand().environmentCount, 9u);
    // The last environment part has index 9: two bytes of bit map.
    EXPECT_EQ(TheCommand().environmentMapSize, 2u);
    EXPECT_EQ(Parsed("<<environment>HOME>"), "<HOME#80>");
    EXPECT_EQ(TheCommand().environmentMapSize, 1u);
}

TEST_F(ExpansionTest, EnumerationsWithinEachOtherFormOneChain) {
    EXPECT_EQ(Parsed("<<enumerate>a> <<enumerate within a>b> <<enumerate within b>c>"), "<a#1> <b#1> <c#1>");
    const Command& command = TheCommand();
    EXPECT_EQ(command.flags & kCommandEnumerates, kCommandEnumerates);
    const ArgumentPart* p = command.parts;
    EXPECT_EQ(p[0].innerEnumeration, &p[1]);
    EXPECT_EQ(p[1].innerEnumeration, &p[2]);
    EXPECT_EQ(p[2].innerEnumeration, nullptr);
    EXPECT_EQ(p[0].outerEnumeration, nullptr);
    EXPECT_EQ(p[1].outerEnumeration, &p[0]);
    EXPECT_EQ(p[2].outerEnumeration, &p[1]);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(p[i].flags & kPartVisited, 0u);

    // Declared before the enumeration it names, and across argument lines.
    EXPECT_EQ(Parsed("<<enumerate within b>a>\n      <<enumerate>b>\n      <<enumerate along>a>"),
              "<a#1> | <b#1> | <a#101>");
    EXPECT_EQ(TheCommand().parts[1].innerEnumeration, &TheCommand().parts[0]);
    EXPECT_EQ(TheCommand().parts[2].alongPartner, &TheCommand().parts[0]);

    EXPECT_EQ(Parsed("plain <a>"), "plain <a>");
    EXPECT_EQ(TheCommand().flags & kCommandEnumerates, 0u);
}

TEST_F(ExpansionTest, SyntaxMessages) {
    struct Case {
        std::string line;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"<src", "Expansion not terminated"},
        {"x <", "Empty parameter expansion"},
        {"<>", "Empty parameter expansion"},
        {"<  >", "Empty parameter expansion"},
        {"<<enumerate>>", "Empty parameter expansion"},
        {"<<enumerate> >", "Empty parameter expansion"},
        {"<<>src>", "Empty expansion option"},
        {"<<enumerate, >src>", "Empty expansion option"},
        {"<<bogus>src>", "Invalid expansion option bogus"},
        {"<<enumerate, bogus stuff >src>", "Invalid expansion option bogus stuff "},
        {"<<requireds>src>", "Invalid expansion option requireds"},
        {"<<enumeratex>src>", "Invalid expansion option enumeratex"},
        {"<<enumerate alongside>src>", "Invalid expansion option enumerate alongside"},
        {"<<enumerate", "Invalid expansion option enumerate"},
        {"<<", "Expansion not terminated"},
        {"<<enumerate within a", "Expansion not terminated"},
        {"<<enumerate within >src>", "No parameter specified for within"},
        {"<<enumerate within   ,required>src>", "No parameter specified for within"},
        {"<<enumerate within zz>src>", "Cannot find parameter zz for within"},
        {"<zz>", "Parameter zz cannot be found"},
        {"<<required>zz>", "Parameter zz cannot be found"},
    };
    for (const Case& c : cases) EXPECT_EQ(Parsed(c.line), c.error + At(kCommandLine)) << c.line;
}

TEST_F(ExpansionTest, CommandCheckMessages) {
    struct Case {
        std::string line;
        std::string error;
        int at;
    };
    const std::string lastLine = At(kCommandLine + 1);
    const std::vector<Case> cases = {
        {"<<directory name, file name>src>", "The directory and file name expansion options were both specified",
         kCommandLine},
        {"x\n      <<environment, file name>HOME>",
         "The environment expansion cannot be used with expansion options that change the value", kCommandLine + 1},
        {"x\n      <<required,environment>HOME>",
         "The environment expansion cannot be used with expansion options that change the value", kCommandLine + 1},
        {"x\n      <<environment,enumerate>HOME>",
         "The environment expansion cannot be used with expansion options that change the value", kCommandLine + 1},
        {"x -<<environment>HOME>", "The environment expansion must be alone within the argument", kCommandLine},
        {"x\n      <<environment>HOME>/bin", "The environment expansion must be alone within the argument",
         kCommandLine + 1},
        {"x\n      <<environment>HOME><a>", "The environment expansion must be alone within the argument",
         kCommandLine + 1},
        {"<<enumerate along>obj>", "An enumerate along expansion option not paired with an enumerate", kCommandLine},
        {"<<enumerate>a> <<enumerate along>b>", "An enumerate along expansion option not paired with an enumerate",
         kCommandLine},
        {"<<enumerate>a> <<enumerate>b>", "Incorrect enumeration order in command line", kCommandLine},
        {"<<enumerate within c>a> <<enumerate>b>", "Incorrect enumeration order in command line", kCommandLine},
        {"<<enumerate within a>a>", "Incorrect enumeration order in command line", kCommandLine},
        {"<<enumerate within b>a> <<enumerate within a>b>", "Incorrect enumeration order in command line",
         kCommandLine},
        {"<<enumerate>a> <<enumerate within a>b> <<enumerate within a>c>",
         "Incorrect enumeration order in command line", kCommandLine},
        {"<<enumerate>a> <<enumerate>a>", "Incorrect enumeration order in command line", kCommandLine},
    };
    for (const Case& c : cases) {
        // The check runs when the command closes: at the next line, or the end of the file.
        EXPECT_EQ(Parsed(c.line), c.error + At(c.at)) << c.line;
        EXPECT_EQ(ErrorOf(StepWith(c.line) + "    next\n"), c.error + At(c.at)) << c.line;
    }
}

TEST_F(ExpansionTest, JobsKeepEveryNameInTheirOwnStrings) {
    ASSERT_EQ(ErrorOf("job j\n"
                      "  machine\n"
                      "    m:1\n"
                      "  command ignore error\n"
                      "    cc <anything> <<enumerate>src> <<enumerate within src>inc> <anything>\n"
                      "      <<environment>anything>\n"),
              "");
    Job* job = FindJob("j");
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(job->commands.count(), 1u);
    const Command& command = job->commands.commands[0];
    EXPECT_EQ(Describe(command), "cc <anything> <src#1> <inc#1> <anything> | <anything#80>");
    // One copy per name, whatever uses it.
    EXPECT_EQ(command.parts[0].reference, command.parts[3].reference);
    EXPECT_EQ(command.parts[0].reference, command.parts[4].reference);
    EXPECT_EQ(command.parts[1].innerEnumeration, &command.parts[2]);
    EXPECT_EQ(ErrorOf("job j\n  machine\n    m:1\n  command ignore error\n    <<enumerate>a> <<enumerate>b>\n"),
              "Incorrect enumeration order in command line" + At(5));
}

}  // namespace
}  // namespace kestrel::test
