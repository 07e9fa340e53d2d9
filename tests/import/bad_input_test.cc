// Input kestrel-import refuses: each gets a message naming what is wrong,
// exit status 1, and no script.

#include <gtest/gtest.h>

#include <functional>

#include "support/test_support.h"

namespace kestrel::test {
namespace {

const char kCopyRule[] = "rule cp\n  command = cp $in $out\n";

struct BadInput {
    const char* name;
    std::function<void(const TempDir&)> prepare;
    std::vector<std::string> arguments;  // "DIR" stands for the temporary directory
    const char* message;  // "{dir}" stands for the temporary directory
};

TEST(ImportBadInput, EachRefusedWithAMessageAndNoScript) {
    const std::vector<BadInput> cases = {
        {"no build.ninja", [](const TempDir&) {}, {"--ninja", "DIR"}, "{dir} is not a ninja build directory: it has no build.ninja"},
        {"unknown target",
         [](const TempDir& dir) {
             WriteFile(dir / "build.ninja", std::string(kCopyRule) + "build out.txt: cp in.txt\n");
             WriteFile(dir / "in.txt", "x");
         },
         {"--ninja", "DIR", "out.txt", "nosuch"},
         "ninja knows no target nosuch in {dir}"},
        {"edge writing outside",
         [](const TempDir& dir) {
             WriteFile(dir / "build.ninja", std::string(kCopyRule) + "build ../outside.txt: cp in.txt\n");
             WriteFile(dir / "in.txt", "x");
         },
         {"--ninja", "DIR", "../outside.txt"},
         "the step making ../outside.txt: it writes ../outside.txt outside the project"},
        {"shell pipeline",
         [](const TempDir& dir) {
             WriteFile(dir / "build.ninja", "rule up\n  command = tr a-z A-Z < $in | tee $out\nbuild up.txt: up in.txt\n");
             WriteFile(dir / "in.txt", "x");
         },
         {"--ninja", "DIR"},
         "the step making up.txt: the command line needs a redirection of the shell"},
        {"JSON that is not a list",
         [](const TempDir& dir) { WriteFile(dir / "compile_commands.json", "{\"directory\": \"/\"}"); },
         {"--compdb", "DIR/compile_commands.json"},
         "{dir}/compile_commands.json is not a compilation database: it is not a list of compiles"},
        {"not JSON",
         [](const TempDir& dir) { WriteFile(dir / "compile_commands.json", "build.o: build.c\n"); },
         {"--compdb", "DIR/compile_commands.json"},
         "{dir}/compile_commands.json is not a compilation database: it is not JSON"},
        {"entry without a command",
         [](const TempDir& dir) { WriteFile(dir / "compile_commands.json", "[{\"directory\": \"/\", \"file\": \"a.c\"}]"); },
         {"--compdb", "DIR/compile_commands.json"},
         "is not a compilation database: entry 1 lacks its directory, file or command"},
        {"no way in", [](const TempDir&) {}, {"--output", "DIR/x.kv"}, "give either --ninja DIR or --compdb FILE"},
        {"bad machine", [](const TempDir&) {}, {"--ninja", "DIR", "--machine", "m=http://x"}, "starts with kv:// or kvs://"},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.prepare(dir);
        std::vector<std::string> argv = {KESTREL_IMPORT_BINARY};
        for (std::string argument : c.arguments) {
            if (argument.compare(0, 3, "DIR") == 0) argument = dir.path() + argument.substr(3);
            argv.push_back(argument);
        }
        argv.push_back("--output");
        argv.push_back(dir / "build.kv");
        const ProcessResult run = RunProcess(argv);
        std::string message = c.message;
        if (message.find("{dir}") != std::string::npos) message.replace(message.find("{dir}"), 5, dir.path());
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(FileExists(dir / "build.kv"));
        EXPECT_FALSE(FileExists(dir / "build.kv.new"));
    }
}

}  // namespace
}  // namespace kestrel::test

namespace kestrel::test {
namespace {

// A step left to run here is listed, not imported; a step that reads what
// it makes cannot be imported at all.
TEST(ImportLocal, LocalStepsListedAndTheirReadersRefused) {
    TempDir dir;
    WriteFile(dir / "build.ninja", std::string(kCopyRule) + "build a.txt: cp in.txt\nbuild pkg.txt: cp a.txt\n");
    WriteFile(dir / "in.txt", "x");
    ProcessOptions here;
    here.workingDirectory = dir.path();
    // To standard output: paths relative to the current directory.
    const ProcessResult kept = RunProcess({KESTREL_IMPORT_BINARY, "--ninja", ".", "--local", "pkg.txt"}, here);
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_NE(kept.out.find("# Left to run here: pkg.txt: cp a.txt pkg.txt\n"), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("job make a.txt\n    machine\n        local\n    input\n        in.txt\n    output\n"
                            "        a.txt\n    command break on error\n        cp\n            in.txt\n            a.txt\n"),
              std::string::npos)
        << kept.out;
    EXPECT_EQ(kept.out.find("job make pkg.txt"), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("project main\n    build\n        make a.txt\n"), std::string::npos) << kept.out;

    const ProcessResult refused = RunProcess({KESTREL_IMPORT_BINARY, "--ninja", ".", "pkg.txt", "--local", "a.txt"}, here);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("the step making pkg.txt: it reads a.txt, which a --local step makes here"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");

    const ProcessResult unknown = RunProcess({KESTREL_IMPORT_BINARY, "--ninja", ".", "--local", "b.txt"}, here);
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("--local b.txt: no step of the build makes it"), std::string::npos) << unknown.err;
}

}  // namespace
}  // namespace kestrel::test
