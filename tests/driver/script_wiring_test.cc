// The real program reads and parses the script given on its command line
// and reports parse failures as "Cannot parse {0}, {1}".

#include "script/script_fixture.h"

namespace kestrel::test {
namespace {

class DriverWiringTest : public ScriptTest {
protected:
    ProcessResult Run(const std::string& script) {
        ProcessOptions options;
        options.workingDirectory = dir.path();
        return RunProcess({KestrelBinary(), "--automated", script}, options);
    }
};

TEST_F(DriverWiringTest, AScriptThatParsesGoesOnToTheJobs) {
    Write("build.txt", "data d\n  value\n    v = 1\nmachine m\n  path\n    kv://h\n");
    const ProcessResult result = Run("build.txt");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out,
              PrintedLines("Scheduling jobs\nCannot start the client, error The job main cannot be found\n"));
}

TEST_F(DriverWiringTest, ParseFailuresNameTheArgumentAndThePlace) {
    Write("sub/build.txt", "data d\n  value\n    = 3\n");
    ProcessResult result = Run("sub/build.txt");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, PrintedLines("Cannot parse sub/build.txt, Data has no name" + At(3, "sub/build.txt") + "\n"));

    Write("a.txt", "x\n");
    Write("main.txt", "import a.txt\n");
    result = Run(dir / "main.txt");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, PrintedLines("Cannot parse " + (dir / "main.txt") + ", Unrecognized line x" + At(1, "a.txt") +
                                       ",\nimported from" + At(1, "main.txt") + "\n"));

    result = Run("missing.txt");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out,
              PrintedLines("Cannot parse missing.txt, Cannot open script " + (dir / "missing.txt") + ", error 2\n"));
}

}  // namespace
}  // namespace kestrel::test
