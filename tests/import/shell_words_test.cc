// How build systems' command lines are read as /bin/sh would, and what is
// refused because a job runs its commands without a shell.

#include <gtest/gtest.h>

#include "import/shell_words.h"

namespace kestrel::importer {
namespace {

struct ChainCase {
    const char* line;
    std::vector<Words> commands;  // empty: refused
    const char* problem;          // part of the message when refused
};

TEST(ShellWords, ChainsSplitQuotesRemovedAndShellOnlyConstructsRefused) {
    const std::vector<ChainCase> cases = {
        {": && /usr/bin/c++ -o a a.o && :", {{"/usr/bin/c++", "-o", "a", "a.o"}}, ""},
        {"rm -f lib.a && gcc-ar csrDT lib.a x.o", {{"rm", "-f", "lib.a"}, {"gcc-ar", "csrDT", "lib.a", "x.o"}}, ""},
        {"cc '-DNAME=\"a b\"' -c x.c", {{"cc", "-DNAME=\"a b\"", "-c", "x.c"}}, ""},
        {"cc \"-DQ=\\\"q\\\"\" a\\ b.c", {{"cc", "-DQ=\"q\"", "a b.c"}}, ""},
        {"cd /b &&  tool\t-x", {{"cd", "/b"}, {"tool", "-x"}}, ""},
        {"echo a#b '' x", {{"echo", "a#b", "", "x"}}, ""},
        {"cc -DX=1 -c x.c", {{"cc", "-DX=1", "-c", "x.c"}}, ""},
        {"cat a | tr a b", {}, "a pipe"},
        {"a || b", {}, "a pipe or '||'"},
        {"a ; b", {}, "';'"},
        {"cc -c x.c > log", {}, "redirection"},
        {"echo $(date)", {}, "($)"},
        {"echo \"$HOME\"", {}, "($)"},
        {"echo `date`", {}, "command substitution"},
        {"FOO=1 cc -c x.c", {}, "variable assignment"},
        {"cc 'open", {}, "unterminated quote"},
        {"cc &&", {}, "'&&' at the end"},
        {"&& cc", {}, "empty command"},
        {"cc *.c", {}, "file name pattern"},
        {"echo #note", {}, "comment"},
        {"sleep 1 &", {}, "background"},
        {": && :", {}, "no command"},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<Words> commands;
        std::string problem;
        const bool split = SplitShellChain(c.line, commands, problem);
        EXPECT_EQ(split, !c.commands.empty()) << problem;
        if (c.commands.empty()) {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            EXPECT_TRUE(commands.empty());
        } else {
            EXPECT_EQ(commands, c.commands);
        }
    }
}

}  // namespace
}  // namespace kestrel::importer
