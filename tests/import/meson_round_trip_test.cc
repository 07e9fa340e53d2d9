// A small Meson project made here, imported before it was ever built (so
// the compiler lists the headers, and a generated header comes from the step
// that makes it), built by kestrel on a local agent, then by ninja: the
// program runs, the objects are the same, and a second run has nothing to do.

#include <gtest/gtest.h>

#include "round_trip_support.h"

namespace kestrel::test {
namespace {

class MesonRoundTrip : public EndToEndTest {
protected:
    void WriteProject() {
        Write("source/meson.build",
              "project('greet', 'c')\n"
              "version = custom_target('version', input: 'version.h.in', output: 'version.h',\n"
              "                        command: ['cp', '@INPUT@', '@OUTPUT@'])\n"
              "greeting = static_library('greeting', 'greeting.c', version)\n"
              "executable('hello', 'hello.c', version, link_with: greeting)\n");
        Write("source/version.h.in", "#define GREETING_VERSION \"1.2\"\n");
        Write("source/greeting.h", "const char* greeting(void);\n");
        Write("source/greeting.c",
              "#include \"greeting.h\"\n#include \"version.h\"\n"
              "const char* greeting(void) { return \"hello from version \" GREETING_VERSION; }\n");
        // assert() writes the source's path into the object as the compile names it.
        Write("source/hello.c",
              "#include <assert.h>\n#include <stdio.h>\n#include \"greeting.h\"\n"
              "int main(void) { assert(greeting()[0] == 'h'); puts(greeting()); return 0; }\n");
    }
};

TEST_F(MesonRoundTrip, KestrelBuildsWhatNinjaBuildsByteForByte) {
    WriteProject();
    StartAgent();
    // No debug information: it would hold the directory each build ran in.
    RunTool({"/usr/bin/meson", "setup", "--buildtype=plain", "build", "source"}, work.path());
    // The script in the build directory: its commands are ninja's own.
    RunImporter({"--ninja", "build", "--machine", "here=kv://127.0.0.1:" + std::to_string(MachinePort()),
                 "--compile-concurrency", "high", "--output", "build/build.kv"},
                work.path());
    const std::string script = ReadFile(At("build/build.kv"));
    // The step that makes the header reads only the source tree: the script
    // goes with it, so that its directory exists on the machine.
    EXPECT_NE(script.find("job make version.h\n    machine\n        here\n    input\n        ../source/version.h.in\n"
                          "        build.kv\n"),
              std::string::npos)
        << script;
    EXPECT_NE(script.find("    input\n        ../source/greeting.c\n        ../source/greeting.h\n        version.h\n"),
              std::string::npos)
        << script;

    ProcessResult run = RunKestrel({}, "build/build.kv");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("All jobs successfully completed"), std::string::npos) << run.out;
    EXPECT_EQ(RunTool({At("build/hello")}, work.path()).out, "hello from version 1.2\n");

    run = RunKestrel({}, "build/build.kv");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("All output is already made"), std::string::npos) << run.out;

    const std::map<std::string, std::string> remote = ObjectFiles(At("build"));
    EXPECT_EQ(remote.size(), 2u);
    RemoveBuildOutputs(At("build"), {"hello", "version.h"});
    RunTool({"/usr/bin/ninja", "-C", "build"}, work.path());
    EXPECT_EQ(ObjectFiles(At("build")), remote);

    // The same import again gives the same bytes, now with the headers from
    // ninja's deps log.
    RunImporter({"--ninja", "build", "--machine", "here=kv://127.0.0.1:" + std::to_string(MachinePort()),
                 "--compile-concurrency", "high", "--output", "build/build.kv"},
                work.path());
    EXPECT_EQ(ReadFile(At("build/build.kv")), script);

    // Meson's compilation database: the two compiles alone, with the same
    // headers, the generated one now made.
    RunImporter({"--compdb", "build/compile_commands.json", "--output", "build/compiles.kv"}, work.path());
    const std::string compiles = ReadFile(At("build/compiles.kv"));
    EXPECT_NE(compiles.find("job compile libgreeting.a.p/greeting.c.o\n    machine\n        local\n    input\n"
                            "        ../source/greeting.c\n        ../source/greeting.h\n        version.h\n"),
              std::string::npos)
        << compiles;
    EXPECT_NE(compiles.find("job compile hello.p/hello.c.o\n"), std::string::npos) << compiles;
    EXPECT_EQ(compiles.find("job link"), std::string::npos) << compiles;
    EXPECT_EQ(compiles.find("job archive"), std::string::npos) << compiles;
}

}  // namespace
}  // namespace kestrel::test
