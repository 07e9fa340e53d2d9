// kestrel's own tree, configured with CMake, built by ninja here, imported
// (headers from ninja's deps log) and built again by kestrel on a local
// agent: the kestrel it built runs, and every object is the one ninja made.
// Only what `kestrel` needs is built, with no build type (-O0). Both builds
// use -ffile-prefix-map=<test directory>/=, so that the source path an
// assert records is the same relative path whether the compile names it as
// CMake does (absolute) or as the script does (relative to the script,
// which lies in the test directory).

#include <gtest/gtest.h>

#include <filesystem>

#include "round_trip_support.h"

namespace kestrel::test {
namespace {

class SelfBuild : public EndToEndTest {
protected:
    // The parts of the tree the configuration reads.
    void CopySources() {
        for (const char* part : {"CMakeLists.txt", "cmake", "src", "agent", "report", "import"}) {
            std::filesystem::copy(std::filesystem::path(SourceDir()) / part, std::filesystem::path(At("source")) / part,
                                  std::filesystem::copy_options::recursive);
        }
    }
};

TEST_F(SelfBuild, KestrelBuildsItselfWithTheSameObjectsAsNinja) {
    std::filesystem::create_directories(At("source"));
    CopySources();
    const std::string prefixMap = "-ffile-prefix-map=" + work.path() + "/=";
    RunTool({"/usr/bin/cmake", "-S", "source", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=None", "-DKESTREL_TESTS=OFF",
             "-DKESTREL_BENCH=OFF", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DCMAKE_CXX_FLAGS=" + prefixMap,
             "-DCMAKE_C_FLAGS=" + prefixMap},
            work.path());
    RunTool({"/usr/bin/ninja", "-C", "build", "kestrel"}, work.path(), 900);
    const std::map<std::string, std::string> local = ObjectFiles(At("build"));
    ASSERT_GT(local.size(), 50u);

    StartAgent();
    RunImporter({"--ninja", "build", "kestrel", "--machine", "local=kv://127.0.0.1:" + std::to_string(MachinePort()),
                 "--output", "build.kv"},
                work.path());
    RemoveBuildOutputs(At("build"), {"kestrel"});
    ProcessResult run = RunKestrel({}, "build.kv", 900);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("All jobs successfully completed"), std::string::npos) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);

    ProcessOptions options;
    const ProcessResult usage = RunProcess({At("build/kestrel")}, options);
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_NE(usage.err.find("USAGE: kestrel [options] script"), std::string::npos) << usage.out << usage.err;

    const std::map<std::string, std::string> remote = ObjectFiles(At("build"));
    EXPECT_EQ(remote.size(), local.size());
    for (const auto& [path, bytes] : local) {
        const auto built = remote.find(path);
        ASSERT_NE(built, remote.end()) << path;
        EXPECT_TRUE(built->second == bytes) << path << " differs";
    }

    run = RunKestrel({}, "build.kv");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("All output is already made"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kestrel::test
