// The importer's parts on the texts ninja and compilers print, and the
// rewriting of command lines to the script's directory.

#include <gtest/gtest.h>

#include "import/command_rewrite.h"
#include "import/header_scan.h"
#include "import/imported_build.h"
#include "import/ninja_build.h"
#include "import/script_writer.h"

namespace kestrel::importer {
namespace {

TEST(DependencyRules, PrerequisitesWithEscapesAndContinuedLines) {
    EXPECT_EQ(RulePrerequisites("obj/a.o: ../a.c b\\ c.h \\\n /usr/include/x.h $$d.h\n"),
              (std::vector<std::string>{"../a.c", "b c.h", "/usr/include/x.h", "$d.h"}));
    EXPECT_EQ(RulePrerequisites("a.o:\n"), std::vector<std::string>{});
    // The compile without its outputs, asking for the rule instead.
    EXPECT_EQ(DependencyCommand({"cc", "-MD", "-MT", "x.o", "-MF", "x.o.d", "-o", "x.o", "-Ia", "-c", "a.c"}),
              (Words{"cc", "-Ia", "-c", "a.c", "-M", "-MG"}));
    EXPECT_EQ(DependencyCommand({"cc", "-MMD", "-MFx.d", "-c", "a.c"}), (Words{"cc", "-c", "a.c", "-M", "-MG"}));
}

TEST(NinjaTools, QueryAndDepsOutputRead) {
    const std::map<std::string, QueriedNode> nodes = ParseQuery(
        "app:\n  input: LINK\n    main.o\n    | lib.a\n    || gen\n  outputs:\n    all\n"
        "main.o:\n  input: CC\n    ../main.c\n  outputs:\n    app\n");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes.at("app").rule, "LINK");
    EXPECT_EQ(nodes.at("app").explicitInputs, std::vector<std::string>{"main.o"});
    EXPECT_EQ(nodes.at("app").implicitInputs, std::vector<std::string>{"lib.a"});
    EXPECT_EQ(nodes.at("app").orderOnlyInputs, std::vector<std::string>{"gen"});
    EXPECT_EQ(nodes.at("main.o").explicitInputs, std::vector<std::string>{"../main.c"});

    const auto deps = ParseDeps(
        "a.o: #deps 2, deps mtime 5 (VALID)\n    ../a.c\n    ../a.h\n\n"
        "b.o: #deps 1, deps mtime 3 (STALE)\n    ../b.c\n\n"
        "c.o: deps not found\n");
    EXPECT_EQ(deps.size(), 1u);
    EXPECT_EQ(deps.at("a.o"), (std::vector<std::string>{"../a.c", "../a.h"}));
}

TEST(NinjaTools, OutputsOfOneEdgeGroupedByTheirCommand) {
    std::map<std::string, QueriedNode> nodes;
    nodes["gen.c"] = {"GEN", {"../schema.txt"}, {}, {}};
    nodes["gen.h"] = {"GEN", {"../schema.txt"}, {}, {}};
    nodes["one.txt"] = {"CUSTOM", {}, {}, {}};
    nodes["two.txt"] = {"CUSTOM", {}, {}, {}};
    nodes["all"] = {"phony", {"gen.c", "one.txt"}, {}, {}};
    const NinjaGraph graph = GroupEdges(nodes, {{"gen.c", "gen ../schema.txt"}, {"one.txt", "touch one.txt"},
                                                {"two.txt", "touch two.txt"}, {"all", ""}});
    ASSERT_EQ(graph.edges.size(), 4u);
    const NinjaEdge& generator = graph.edges[graph.producers.at("gen.h")];
    EXPECT_EQ(generator.outputs, (std::vector<std::string>{"gen.c", "gen.h"}));
    EXPECT_EQ(generator.command, "gen ../schema.txt");
    EXPECT_NE(graph.producers.at("one.txt"), graph.producers.at("two.txt"));
    EXPECT_TRUE(graph.edges[graph.producers.at("all")].phony());
}

struct RewriteCase {
    std::vector<Words> chain;
    Words expected;  // the last command; empty: refused
    std::vector<std::string> reads;
};

TEST(CommandRewrite, ProjectPathsRelativeToTheScriptAndTheMachinesOwnUntouched) {
    Project project;
    project.AddRoot("/p/build");
    project.AddRoot("/p/src");
    CommandPlace place{"/p/build", "/p", &project, [](const std::string& path) { return path == "/p/build/lib.a"; }};
    const std::vector<RewriteCase> cases = {
        {{{"/usr/bin/c++", "-I/p/src", "-isystem", "/usr/include/x", "-MF", "obj/a.o.d", "-o", "obj/a.o", "-c",
           "/p/src/a.c"}},
         {"/usr/bin/c++", "-Isrc", "-isystem", "/usr/include/x", "-MF", "build/obj/a.o.d", "-o", "build/obj/a.o", "-c",
          "src/a.c"},
         {}},
        {{{"gcc-ar", "csrDT", "lib.a", "obj/a.o"}}, {"gcc-ar", "csrDT", "build/lib.a", "obj/a.o"}, {}},
        {{{"cc", "-Wl,-rpath,/p/build/lib,--as-needed", "-ffile-prefix-map=/p/=", "-DDIR=/p/src", "--sysroot=/p/src/root"}},
         {"cc", "-Wl,-rpath,build/lib,--as-needed", "-ffile-prefix-map=/p/=", "-DDIR=/p/src", "--sysroot=src/root"},
         {}},
        {{{"cc", "@/p/build/link.rsp"}}, {"cc", "@build/link.rsp"}, {"/p/build/link.rsp"}},
        {{{"cd", "/p/src"}, {"tool", "-o", "../build/out.txt", "-I", "."}}, {"tool", "-o", "build/out.txt", "-I", "src"}, {}},
        {{{"/p/build/gen", "-o", "x.c"}}, {"build/gen", "-o", "build/x.c"}, {"/p/build/gen"}},
        {{{"cc", "-o", "../../elsewhere/a.o"}}, {}, {}},
        {{{"cc", "@/tmp/flags.rsp"}}, {}, {}},
        {{{"cd", "a", "b"}}, {}, {}},
    };
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(c.chain.back().back());
        std::vector<Words> rewritten;
        std::vector<std::string> reads;
        std::string problem;
        const bool done = RewriteChain(c.chain, place, rewritten, reads, problem);
        ASSERT_EQ(done, !c.expected.empty()) << problem;
        if (!done) continue;
        EXPECT_EQ(rewritten.back(), c.expected);
        EXPECT_EQ(reads, c.reads);
    }
}

TEST(JobKinds, JudgedByTheProgramsRun) {
    EXPECT_EQ(KindOf({{"/usr/bin/x86_64-linux-gnu-g++-12", "-c", "a.cc"}}), JobKind::kCompile);
    EXPECT_EQ(KindOf({{"rm", "-f", "l.a"}, {"/usr/bin/ar", "qc", "l.a", "a.o"}}), JobKind::kArchive);
    EXPECT_EQ(KindOf({{"clang++-14", "-o", "app", "a.o"}}), JobKind::kLink);
    EXPECT_EQ(KindOf({{"/usr/bin/cp", "a", "b"}}), JobKind::kOther);
    EXPECT_EQ(KindOf({{"python3", "-c", "x"}}), JobKind::kOther);
    const std::string longName = JobName(JobKind::kLink, std::string(300, 'x'));
    EXPECT_EQ(longName.size(), 249u);
    EXPECT_NE(longName, JobName(JobKind::kLink, std::string(301, 'x')));
}

TEST(ScriptLines, WhatALineCannotHold) {
    std::string what;
    EXPECT_TRUE(FitsOnScriptLine("-DX=\"a b\"\t", what));
    for (const std::string& text : {std::string(), std::string(" x"), std::string("#x"), std::string("a\nb"),
                                    std::string("a\rb"), std::string("a\xC2\x85" "b"), std::string("\xFF"),
                                    std::string("a\xEF\xBB\xBF")}) {
        EXPECT_FALSE(FitsOnScriptLine(text, what)) << text;
    }
}

TEST(ScriptWriter, JobsMachinesAndTheProjectInOrder) {
    ImportedBuild build;
    build.source = "the test";
    build.leftHere = {"pkg: tar cf pkg app"};
    ImportedJob compile{"compile a.o", JobKind::kCompile, {"/p/src/a.c", "/p/src/a.h", "/p/src/a.c"}, {"/p/build/a.o"},
                        {{"cc", "-o", "build/a.o", "-c", "src/a.c"}}};
    ImportedJob link{"link app", JobKind::kLink, {"/p/build/a.o"}, {"/p/app"}, {{"cc", "-o", "app", "build/a.o"}}};
    build.jobs = {compile, link};
    ScriptSettings settings{{{"one", "kv://a:1"}, {"two", "kv://b:2"}}, "high", "", "/p", "/p/build.kv"};
    std::string script;
    std::vector<std::string> problems;
    ASSERT_TRUE(WriteScript(build, settings, script, problems));
    EXPECT_EQ(script,
              "# Made by kestrel-import from the test.\n"
              "# Paths are relative to this script's directory, /p.\n"
              "# Left to run here: pkg: tar cf pkg app\n"
              "\nmachine one\n    path\n        kv://a:1\n"
              "\nmachine two\n    path\n        kv://b:2\n"
              "\njob compile a.o\n    machine\n        one\n        two\n"
              "    input\n        src/a.c\n        src/a.h\n    output\n        build/a.o\n"
              "    concurrency high\n    command break on error\n"
              "        mkdir\n            -p\n            build\n"
              "        cc\n            -o\n            build/a.o\n            -c\n            src/a.c\n"
              "\njob link app\n    machine\n        one\n    input\n        build/a.o\n    output\n        app\n"
              "    command break on error\n        cc\n            -o\n            app\n            build/a.o\n"
              "\nproject main\n    build\n        compile a.o\n        link app\n");

    // A job with no input below the script's directory has the script sent
    // along, so that the directory its commands run in exists; without a
    // file name that cannot be.
    build.jobs[0].inputs = {"/q/a.c"};
    ASSERT_TRUE(WriteScript(build, settings, script, problems));
    EXPECT_NE(script.find("    input\n        ../q/a.c\n        build.kv\n"), std::string::npos) << script;
    settings.scriptFile.clear();
    EXPECT_FALSE(WriteScript(build, settings, script, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "1 jobs (compile a.o the first) would run in /p, which holds none of their inputs: "
                           "give --output FILE, and the script goes with them");
    settings.scriptFile = "/p/build.kv";
    build.jobs[0].inputs = {"/p/src/a.c"};
    problems.clear();

    build.jobs[1].commands[0].push_back("-DX=<y>");
    build.jobs[0].inputs.push_back("/p/src/back\\slash.h");
    EXPECT_FALSE(WriteScript(build, settings, script, problems));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("compile a.o: the file name src/back\\slash.h"), std::string::npos) << problems[0];
    EXPECT_NE(problems[1].find("link app: the argument \"-DX=<y>\" holds a '<'"), std::string::npos) << problems[1];
}

}  // namespace
}  // namespace kestrel::importer
