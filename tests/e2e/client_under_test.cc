#include "e2e/client_under_test.h"

#include <gtest/gtest.h>

#ifdef KESTREL_CLIENT_UNDER_WINE
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace kestrel::test {

#ifdef KESTREL_CLIENT_UNDER_WINE
namespace {

constexpr char kPrefix[] = KESTREL_WINE_PREFIX;
// What TMP and TEMP expand to in the prefix.
constexpr char kTemporaryVariable[] = "KESTREL_TEST_TEMP";

// Wine keeps its server this many seconds after its last program ends:
// longer than ctest takes from one case (a program run of its own) to the
// next, and no test has to stop it. Stopping it after each program instead
// made every case start Wine cold, about three seconds each.
constexpr char kServerLinger[] = " -p15";

// The first Wine program after a fresh server starts Wine's services, which
// inherit its standard streams and would hold the test's pipes open: they
// are started here with nothing to inherit, before any case. Programs that
// ctest runs at once make the prefix one at a time, under a lock.
class WineServer : public ::testing::Environment {
public:
    void SetUp() override {
        const int lock = open((std::string(kPrefix) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(lock, 0) << kPrefix;
        flock(lock, LOCK_EX);
        ProcessOptions options = ClientOptions({});
        // Making the prefix takes a while, once.
        options.timeoutSeconds = 300;
        const std::string quiet = " </dev/null >/dev/null 2>&1";
        const std::string wine = std::string(KESTREL_WINE);
        // Wine takes the temporary directory from the registry, never from
        // the Linux environment: a new prefix names a variable there that
        // ClientOptions sets for each run.
        std::string newPrefix = wine + " wineboot --init" + quiet;
        for (const char* name : {"TMP", "TEMP"})
            newPrefix += " && " + wine + " reg add 'HKCU\\Environment' /v " + name + " /t REG_EXPAND_SZ /d '%" +
                         kTemporaryVariable + "%' /f" + quiet;
        const ProcessResult started = RunProcess(
            {"/bin/sh", "-c",
             "mkdir -p '" + std::string(kPrefix) + "' && " + KESTREL_WINESERVER + kServerLinger + quiet +
                 "; if [ -d '" + kPrefix + "/drive_c' ]; then " + wine + " wineboot" + quiet + "; else " + newPrefix +
                 "; fi"},
            options);
        close(lock);
        ASSERT_EQ(started.exitCode, 0) << "Wine did not start in " << kPrefix;
    }
};

::testing::Environment* const kWineServer = ::testing::AddGlobalTestEnvironment(new WineServer);

}  // namespace

std::vector<std::string> ClientCommand(const std::vector<std::string>& arguments, const std::string& program) {
    const bool quick = program == KESTREL_QUICK_TIMEOUTS_BINARY;
    std::vector<std::string> argv{KESTREL_WINE, quick ? KESTREL_WINDOWS_QUICK_TIMEOUTS : KESTREL_WINDOWS_CLIENT};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

ProcessOptions ClientOptions(ProcessOptions options, const std::string& temporaryDirectory) {
    options.environment["WINEPREFIX"] = kPrefix;
    options.environment["WINEDEBUG"] = "-all";
    options.environment["WINEDLLOVERRIDES"] = "mscoree,mshtml=";
    std::string directory = temporaryDirectory;
    if (directory.empty()) {
        const char* inherited = std::getenv("TMPDIR");
        directory = inherited != nullptr && *inherited != '\0' ? inherited : "/tmp";
    }
    options.environment[kTemporaryVariable] = ClientPath(directory);
    return options;
}

ProcessResult ConsoleText(ProcessResult run) {
    for (std::string* stream : {&run.out, &run.err}) {
        std::string lines;
        for (size_t i = 0; i < stream->size(); ++i) {
            if ((*stream)[i] == '\r' && i + 1 < stream->size() && (*stream)[i + 1] == '\n') continue;
            if ((*stream)[i] == '\n' && (i == 0 || (*stream)[i - 1] != '\r')) {
                ADD_FAILURE() << "a line ended without \\r: " << Hex(stream->substr(0, i + 1));
            }
            lines += (*stream)[i];
        }
        *stream = lines;
    }
    return run;
}

std::string ClientPath(const std::string& path) { return path.empty() ? "" : "Z:" + ClientRelativePath(path); }

int64_t ClientFileTime(int64_t nanoseconds) { return nanoseconds - nanoseconds % 100; }

std::string ClientRelativePath(const std::string& path) {
    std::string windows = path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

#else

std::vector<std::string> ClientCommand(const std::vector<std::string>& arguments, const std::string& program) {
    std::vector<std::string> argv{program.empty() ? KestrelBinary() : program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

ProcessOptions ClientOptions(ProcessOptions options, const std::string& temporaryDirectory) {
    if (!temporaryDirectory.empty()) options.environment["TMPDIR"] = temporaryDirectory;
    return options;
}

ProcessResult ConsoleText(ProcessResult run) { return run; }

std::string ClientPath(const std::string& path) { return path; }

std::string ClientRelativePath(const std::string& path) { return path; }

int64_t ClientFileTime(int64_t nanoseconds) { return nanoseconds; }

#endif

}  // namespace kestrel::test
