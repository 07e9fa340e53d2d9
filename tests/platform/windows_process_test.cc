// What the process units promise on every system, written for the places
// where the Windows build does the work itself: arguments that travel
// through a command line and back (quoting, UTF-16), environment values
// converted per name, address texts made by hand, aligned regions placed by
// hand, and the clocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/clock.h"
#include "platform/large_region.h"
#include "platform/process.h"
#include "platform/socket_address.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

constexpr char kEchoOption[] = "--echo-arguments-to";

std::string Joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text.append(argument).push_back('\n');
    return text;
}

// Runs only as the child of the round trip below: writes down the arguments
// it was given, then a mark that they are complete.
TEST(ProgramArguments, DISABLED_EchoForTheRoundTrip) {
    std::vector<std::string> given = testing::internal::GetArgvs();
    std::vector<char*> pointers;
    for (std::string& argument : given) pointers.push_back(argument.data());
    const std::vector<std::string> arguments = ProgramArguments(static_cast<int>(pointers.size()), pointers.data());
    const auto option = std::find(arguments.begin(), arguments.end(), kEchoOption);
    ASSERT_TRUE(option != arguments.end() && option + 1 != arguments.end());
    const std::string directory = option[1];
    test::WriteFile(directory + test::kNativeSeparator + "arguments", Joined(arguments));
    test::WriteFile(directory + test::kNativeSeparator + "done", "");
}

TEST(ProgramArguments, ArriveUnchangedInAStartedProgram) {
    const std::vector<std::string> awkward = {
        "two words", "", "tab\there", "quote\"inside", "\"", "\\", "ends in a backslash\\", "two at the end\\\\",
        "\\\"", "a\\\\\"b", "C:\\Program Files\\", "\\\\server\\share\\", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac",
        "\xf0\x9f\x98\x80", "   ", "\"\"", "100% ^&|<>", "-c"};
    test::TempDir directory;
    std::vector<std::string> argv = {ExecutablePath(), "--gtest_filter=ProgramArguments.DISABLED_EchoForTheRoundTrip",
                                     "--gtest_also_run_disabled_tests", kEchoOption, directory.path()};
    argv.insert(argv.end(), awkward.begin(), awkward.end());
    int error = 0;
    ASSERT_TRUE(SpawnDetached(argv, &error)) << error;
    const int64_t deadline = MonotonicTicks() + 60 * kTicksPerSecond;
    while (!test::FileExists(directory / "done") && MonotonicTicks() < deadline) SleepMilliseconds(20);
    ASSERT_TRUE(test::FileExists(directory / "done")) << "the child did not answer";
    EXPECT_EQ(test::ReadFile(directory / "arguments"), Joined(argv));
}

TEST(EnvironmentVariables, ValuesOfDifferentNamesCanBeUsedTogether) {
    const std::string longValue(3000, 'x');
    test::EnvironmentOverride first("KESTREL_TEST_FIRST", "caf\xc3\xa9 one");
    test::EnvironmentOverride second("KESTREL_TEST_SECOND", longValue);
    test::EnvironmentOverride empty("KESTREL_TEST_EMPTY", "");
    test::UnsetEnvironment("KESTREL_TEST_ABSENT");
    const char* one = EnvironmentVariable("KESTREL_TEST_FIRST");
    const char* two = EnvironmentVariable("KESTREL_TEST_SECOND");
    const char* none = EnvironmentVariable("KESTREL_TEST_EMPTY");
    EXPECT_EQ(EnvironmentVariable("KESTREL_TEST_ABSENT"), nullptr);
    ASSERT_TRUE(one != nullptr && two != nullptr && none != nullptr);
    EXPECT_STREQ(one, "caf\xc3\xa9 one");
    EXPECT_EQ(two, longValue);
    EXPECT_STREQ(none, "");
}

TEST(SocketAddressText, StandardFormsOnEverySystem) {
    struct Case {
        const char* address;
        uint16_t port;
        const char* text;  // null: refused
    };
    const Case cases[] = {
        {"192.0.2.10", 5017, "192.0.2.10:5017"},
        {"192.0.2.10", 0, "192.0.2.10"},
        {"2001:db8::1", 5017, "[2001:db8::1]:5017"},
        {"2001:db8::1", 0, "2001:db8::1"},
        {"2001:DB8:0:0:1:0:0:1", 0, "2001:db8::1:0:0:1"},  // the first of equal zero runs
        {"1:0:0:2:0:0:0:3", 0, "1:0:0:2::3"},              // the longest zero run
        {"2001:db8:0:1:1:1:1:1", 0, "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"::", 5017, "[::]:5017"},
        {"1::", 0, "1::"},
        {"::ffff:192.0.2.1", 0, "::ffff:192.0.2.1"},
        {"::ffff:0:1.2.3.4", 0, "::ffff:0:102:304"},
        {"01.2.3.4", 0, nullptr},
        {"1.2.3", 0, nullptr},
        {"1.2.3.256", 0, nullptr},
        {"fe80::1%2", 0, nullptr},
        {"[::1]", 0, nullptr},
        {"1::2::3", 0, nullptr},
        {"12345::", 0, nullptr},
        {"1:2:3:4:5:6:7:8:9", 0, nullptr},
        {":1::", 0, nullptr},
        {"", 0, nullptr},
    };
    for (const Case& c : cases) {
        uint8_t bytes[kSocketAddressMaxBytes];
        uint32_t length = 0;
        const bool made = MakeSocketAddress(c.address, c.port, bytes, length);
        EXPECT_EQ(made, c.text != nullptr) << c.address;
        if (!made || c.text == nullptr) continue;
        char text[kSocketAddressTextRoom];
        ASSERT_TRUE(FormatSocketAddress(bytes, length, text, sizeof text)) << c.address;
        EXPECT_STREQ(text, c.text) << c.address;
    }
    uint8_t bytes[kSocketAddressMaxBytes];
    uint32_t length = 0;
    ASSERT_TRUE(MakeSocketAddress("192.0.2.10", 5017, bytes, length));
    char text[kSocketAddressTextRoom];
    EXPECT_FALSE(FormatSocketAddress(bytes, length, text, 15)) << "no room for the NUL";
    EXPECT_TRUE(FormatSocketAddress(bytes, length, text, 16));
    EXPECT_FALSE(FormatSocketAddress(bytes, length - 1, text, sizeof text)) << "cut short";
}

TEST(SystemMemory, LargeRegionsAreAlignedZeroFilledAndWritable) {
    std::vector<void*> regions;
    for (int i = 0; i < 8; ++i) {
        void* region = MapLargeRegion();
        ASSERT_NE(region, nullptr);
        regions.push_back(region);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(region) % kLargeRegionSize, 0u);
        const auto* bytes = static_cast<const unsigned char*>(region);
        EXPECT_TRUE(std::all_of(bytes, bytes + kLargeRegionSize, [](unsigned char b) { return b == 0; }));
        std::memset(region, 0x5a, kLargeRegionSize);
    }
    for (void* region : regions) UnmapLargeRegion(region);
}

TEST(Clock, TicksFollowASleepAndLocalTimeIsUniversalTimeShiftedByTheZone) {
    const int64_t before = MonotonicTicks();
    SleepMilliseconds(30);
    const int64_t slept = MonotonicTicks() - before;
    EXPECT_GE(slept, kTicksPerSecond / 50);
    EXPECT_LT(slept, 5 * kTicksPerSecond);

    // Local time is universal time minus the bias, and an hour more in
    // daylight saving time.
    const int64_t universal = UnixToFileTime(static_cast<int64_t>(std::time(nullptr)), 0);
    const int64_t standard = universal - int64_t{TimeZoneBiasMinutes()} * 60 * kTicksPerSecond;
    const int64_t shift = LocalFileTimeNow() - standard;
    const bool inStandardTime = shift > -5 * kTicksPerSecond && shift < 5 * kTicksPerSecond;
    const bool inDaylightTime = shift > 3595 * kTicksPerSecond && shift < 3605 * kTicksPerSecond;
    EXPECT_TRUE(inStandardTime || inDaylightTime) << shift;
}

}  // namespace
}  // namespace kestrel::platform
