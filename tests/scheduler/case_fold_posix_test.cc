// File keys fold letter case as the reference interpreter does, code point
// by code point. The interpreter is a program of the build machine: POSIX only.

#include "scheduler/case_fold.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace kestrel::test {
namespace {

// Every code point against the lower case of the reference interpreter,
// which knows Unicode independently of our generated runs and their lookup.
TEST(CaseFoldTest, EveryCodePointMatchesTheReference) {
    TempDir dir;
    WriteFile(dir / "lower.py",
              "import unicodedata\n"
              "print(unicodedata.unidata_version)\n"
              "for cp in range(0x110000):\n"
              "    if 0xD800 <= cp <= 0xDFFF: continue\n"
              "    low = chr(cp).lower()\n"
              "    if cp == 0x130: low = 'i'\n"
              "    if len(low) == 1 and low != chr(cp): print(cp, ord(low))\n");
    const ProcessResult result = RunProcess({"/usr/bin/env", "python3", dir / "lower.py"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::istringstream in(result.out);
    std::string version;
    in >> version;
    if (version != CaseTableUnicodeVersion()) {
        GTEST_SKIP() << "the interpreter knows Unicode " << version << ", the table was made from "
                     << CaseTableUnicodeVersion() << " (run make_case_table.py)";
    }
    std::map<uint32_t, uint32_t> expected;
    uint32_t from = 0;
    uint32_t to = 0;
    while (in >> from >> to) expected[from] = to;
    ASSERT_GT(expected.size(), 1000u);
    uint32_t mismatches = 0;
    for (uint32_t cp = 0; cp < 0x110000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const auto found = expected.find(cp);
        const uint32_t want = found == expected.end() ? cp : found->second;
        if (LowerCodePoint(cp) != want && ++mismatches <= 10) ADD_FAILURE() << std::hex << "U+" << cp;
    }
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace kestrel::test
