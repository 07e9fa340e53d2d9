// The client the end-to-end programs run: build/kestrel, or, in the programs
// built with KESTREL_CLIENT_UNDER_WINE (wine_e2e_*), the kestrel.exe of a
// Windows build under Wine, against the same Linux agents. What the Windows
// client shows differently is written here once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kestrel::test {

#ifdef KESTREL_CLIENT_UNDER_WINE
inline constexpr bool kClientUnderWine = true;
#else
inline constexpr bool kClientUnderWine = false;
#endif

// The argument vector that runs `program` (empty: the client of this test
// program) with `arguments`. Under Wine a Linux client named is replaced by
// its Windows sibling: kestrel_quick_timeouts by the Windows build's
// kestrel_quick_timeouts.exe, any other by kestrel.exe.
std::vector<std::string> ClientCommand(const std::vector<std::string>& arguments, const std::string& program = "");

// `options` for a run of the client: its temporary directory (empty: the
// inherited one) and, under Wine, the prefix and quiet Wine.
ProcessOptions ClientOptions(ProcessOptions options, const std::string& temporaryDirectory = "");

// The client's standard streams as the tests compare them, with "\n" ending
// lines. The Windows client's runtime writes "\r\n": a line ended otherwise
// is a failure of the run.
ProcessResult ConsoleText(ProcessResult run);

// A path of this machine as the client writes it in its messages and build
// log: unchanged, or under Wine on the drive mapped to the root
// ("/tmp/a/b" is "Z:\tmp\a\b"); "" stays "".
std::string ClientPath(const std::string& path);

// A path relative to the job's directory as the client writes it ('\'
// between the parts under Wine).
std::string ClientRelativePath(const std::string& path);

// A file time as the client keeps it, in nanoseconds since 1970: Windows
// counts in 100 ns, so a time is sent, or set, truncated to that.
int64_t ClientFileTime(int64_t nanoseconds);

// The system code the client logs for a failed read, such as a file that
// changed size while it was read: EIO, or ERROR_IO_DEVICE on Windows.
inline constexpr uint32_t kClientInputOutputError = kClientUnderWine ? 1117 : 5;

// Whether the client gives the files it writes the archive's permission
// bits. Windows files have none: under Wine they get the creation mask's.
inline constexpr bool kClientSetsPermissions = !kClientUnderWine;

// Why the cases with a FIFO, or a symbolic link planted in the job's
// directory, do not run under Wine: Windows has no FIFOs, and Wine 8 shows a
// Linux symbolic link to a Windows program as the file it points to.
inline constexpr char kNoLinuxSpecialFilesUnderWine[] =
    "Wine shows no FIFO, and a Linux symbolic link as its target, to the Windows client";

}  // namespace kestrel::test
