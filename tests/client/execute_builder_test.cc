// Execute payloads built from real scripts: every expansion form, both text
// encodings, the working directory, and the limits of one message.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/execute_builder.h"
#include "script/prepare_job.h"
#include "script/script_paths.h"
#include "script/script_reader.h"
#include "support/test_support.h"
#include "wire_bytes.h"

namespace kestrel::test {
namespace {

constexpr uint8_t kJobId = 7;
const char* const kSkipped = "skipped";

// The script text of one command: its line, then one indented line per further argument.
std::string CommandText(const std::vector<std::string>& arguments) {
    std::string text = "    " + arguments[0] + "\n";
    for (size_t i = 1; i < arguments.size(); ++i) text += "      " + arguments[i] + "\n";
    return text;
}

class ExecuteBuilderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(context.init()); }
    void TearDown() override {
        ReleaseCommandWork(work);
        context.release();
    }

    // Writes the script at `name`, parses it and prepares the job j.
    void Load(const std::string& name, const std::string& script) {
        WriteFile(dir / name, script);
        Path base;
        ASSERT_TRUE(SplitNativePath(base, dir.path().data(), static_cast<uint32_t>(dir.path().size())));
        auto reader = std::make_unique<ScriptReader>();
        ASSERT_TRUE(reader->init(context));
        const bool parsed = reader->open(name.c_str(), base) && reader->finish();
        const std::string error = parsed ? "" : reader->errorText();
        reader->release();
        base.Release();
        ASSERT_TRUE(parsed) << error;
        job = static_cast<Job*>(context.blocks.Find("j"));
        BlockMessage message;
        ASSERT_TRUE(prepareJob(*job, message)) << message.text;
    }

    // Every payload of command `index`, in order; {kSkipped} for a skipped
    // command. A failure other than Skip ends the list and is left in `failure`.
    std::vector<std::string> Payloads(uint32_t index, bool utf16 = false, const std::string& separator = "/") {
        std::vector<std::string> payloads;
        failure = BeginCommand(work, *job, job->commands.commands[index]);
        if (failure == CommandBuild::Skip) {
            EXPECT_NE(work.flags & kCommandDone, 0u);
            return {kSkipped};
        }
        while (failure == CommandBuild::Ready) {
            PayloadWriter writer = BeginPayload(message.data(), utf16);
            failure = WriteExecute(work, *job, kJobId, separator.data(), static_cast<uint32_t>(separator.size()),
                                   writer);
            if (failure != CommandBuild::Ready) break;
            payloads.emplace_back(reinterpret_cast<const char*>(writer.payload), writer.length);
            if (!NextCombination(work) || payloads.size() > 100) break;
        }
        return payloads;
    }

    TempDir dir;
    ParserContext context{};
    Job* job = nullptr;
    CommandWork work;
    CommandBuild failure = CommandBuild::Ready;
    std::vector<uint8_t> message = std::vector<uint8_t>(kMessageBufferSize, 0xAA);
};

// A UTF-8 payload: head with the bitmap (none when empty), then the strings.
std::string Utf8Payload(const std::vector<uint8_t>& bitmap, const std::vector<std::string>& strings) {
    Bytes bytes;
    bytes.u8(13).u8(kJobId).u8(bitmap.empty() ? 0 : 1);
    if (!bitmap.empty()) bytes.u8(static_cast<uint32_t>(bitmap.size()));
    for (uint8_t b : bitmap) bytes.u8(b);
    for (const std::string& s : strings) bytes.str(s);
    return bytes.s();
}

const std::string kJobHead =
    "file list nofiles\n"
    "job j\n"
    "  machine\n"
    "    m:1\n"
    "  value\n"
    "    one = v1\n"
    "    two = x\n"
    "    two = y\n"
    "    three = 1\n"
    "    three = 2\n"
    "    three = 3\n"
    "  path\n"
    "    p = sub/dir/t.c\n"
    "    arch = lib/b.tar.gz\n"
    "    hidden = sub/.hidden\n"
    "    flat = f.c\n"
    "    src = src/a.c\n"
    "    src = lib/b.tar.gz\n"
    "  include data with name empty\n"
    "    nofiles\n"
    "  command ignore error\n";

struct ExpansionCase {
    const char* what;
    std::vector<std::string> arguments;
    std::vector<uint8_t> bitmap;
    // The strings of each payload after the (empty) working directory.
    std::vector<std::vector<std::string>> payloads;  // {{kSkipped}}: no Execute
};

const std::vector<ExpansionCase> kExpansionCases = {
    {"value", {"cc", "-D<one>"}, {}, {{"cc", "-Dv1"}}},
    {"path", {"cc", "<p>"}, {}, {{"cc", "sub/dir/t.c"}}},
    {"file name", {"cc", "<<file name>p>"}, {}, {{"cc", "t.c"}}},
    {"directory name", {"cc", "<<directory name>p>"}, {}, {{"cc", "sub/dir"}}},
    {"base name", {"cc", "<<base name>p>"}, {}, {{"cc", "sub/dir/t"}}},
    {"base name cuts at the last dot", {"cc", "<<file name, base name>arch>"}, {}, {{"cc", "b.tar"}}},
    {"base name keeps a leading dot", {"cc", "<<base name>hidden>"}, {}, {{"cc", "sub/.hidden"}}},
    {"directory name in the working directory", {"cc", "-I<<directory name>flat>"}, {}, {{"cc", "-I."}}},
    {"required and missing", {"cc", "<<required>nothing>"}, {}, {{kSkipped}}},
    {"enumerated and missing", {"cc", "<<enumerate>nothing>"}, {}, {{kSkipped}}},
    {"required without values", {"cc", "<<required>empty>"}, {}, {{kSkipped}}},
    {"missing parts", {"cc", "<nothing>", "-I<nothing>", "a<nothing>b", "<nothing>-x<one>", "<empty>"}, {},
     {{"cc", "-I", "ab", "-xv1"}}},
    {"executable of missing parts only", {"<tool>", "x"}, {}, {{"", "x"}}},
    {"repeating argument", {"cc", "-<two>=<three>/<one>"}, {},
     {{"cc", "-x=1/v1", "-x=2/v1", "-x=3/v1", "-y=1/v1", "-y=2/v1", "-y=3/v1"}}},
    {"repeating path", {"cc", "<<file name>src>"}, {}, {{"cc", "a.c", "b.tar.gz"}}},
    {"enumeration", {"cc", "<<enumerate>three>"}, {}, {{"cc", "1"}, {"cc", "2"}, {"cc", "3"}}},
    {"enumerate within",
     {"cc", "<<enumerate within two>three>", "<<enumerate>two>"},
     {},
     {{"cc", "1", "x"}, {"cc", "2", "x"}, {"cc", "3", "x"}, {"cc", "1", "y"}, {"cc", "2", "y"}, {"cc", "3", "y"}}},
    {"enumerate along",
     {"cc", "<<enumerate>src>", "-o", "<<enumerate along, file name, base name>src>.o"},
     {},
     {{"cc", "src/a.c", "-o", "a.o"}, {"cc", "lib/b.tar.gz", "-o", "b.tar.o"}}},
    {"enumeration beside a repeating argument",
     {"cc", "<<enumerate>two>", "-<three>"},
     {},
     {{"cc", "x", "-1", "-2", "-3"}, {"cc", "y", "-1", "-2", "-3"}}},
    {"environment", {"cc", "<<environment>HOME>"}, {0x02}, {{"cc", "HOME"}}},
    {"environment executable", {"<<environment>CC>", "x"}, {0x01}, {{"CC", "x"}}},
    // Bits count parts, not strings: the environment expansion is part 8.
    {"environment as part 8",
     {"cc", "a<one>b<one>c<one>d", "e<one>f<one>g<one>", "<<environment>PATH>"},
     {0x00, 0x01},
     {{"cc", "av1bv1cv1d", "ev1fv1gv1", "PATH"}}},
};

TEST_F(ExecuteBuilderTest, EveryExpansionForm) {
    std::string script = kJobHead;
    for (const ExpansionCase& c : kExpansionCases) script += CommandText(c.arguments);
    Load("build.txt", script);
    ASSERT_EQ(job->commands.count(), kExpansionCases.size());
    // One work area serves every command in turn.
    for (uint32_t i = 0; i < kExpansionCases.size(); ++i) {
        const ExpansionCase& c = kExpansionCases[i];
        std::vector<std::string> expected;
        if (c.payloads[0][0] == kSkipped) {
            expected.push_back(kSkipped);
        } else {
            for (std::vector<std::string> strings : c.payloads) {
                strings.insert(strings.begin(), "");
                expected.push_back(Utf8Payload(c.bitmap, strings));
            }
        }
        const std::vector<std::string> payloads = Payloads(i);
        EXPECT_EQ(failure == CommandBuild::Skip ? CommandBuild::Ready : failure, CommandBuild::Ready) << c.what;
        ASSERT_EQ(payloads.size(), expected.size()) << c.what;
        for (size_t k = 0; k < payloads.size(); ++k) EXPECT_EQ(Hex(payloads[k]), Hex(expected[k])) << c.what;
        EXPECT_NE(work.flags & kCommandDone, 0u) << c.what;
    }
}

struct EncodingCase {
    const char* what;
    uint32_t command;
    bool utf16;
    std::string separator;
    std::string payload;
};

// UTF-16LE bytes of a 0-terminated ASCII string.
std::string W(const std::string& ascii) { return Bytes().wstr(ascii).s(); }

TEST_F(ExecuteBuilderTest, BothEncodingsAndTheWorkingDirectory) {
    // The input two levels up makes the job root the temporary directory, so
    // the commands run in a/b.
    Load("a/b/build.txt",
         "job j\n  machine\n    m:1\n  input\n    ../../x.c\n"
         "  value\n    clef = \xF0\x9D\x84\x9Ex\n"
         "  path\n    p = sub/t.c\n"
         "  command ignore error\n" +
             CommandText({"cc", "<p>"}) + CommandText({"cc", "<<environment>HOME>"}) +
             CommandText({"cc", "1", "2", "3", "4", "5", "6", "7", "<<environment>PATH>"}) +
             CommandText({"cc", "\xC3\xA9<clef>"}));
    const std::string u8head = Bytes().u8(13).u8(kJobId).u8(0).s();
    const std::string u16head = Bytes().u8(13).u8(kJobId).u8(0).u8(0).s();
    const std::string numbers = W("1") + W("2") + W("3") + W("4") + W("5") + W("6") + W("7");
    const std::vector<EncodingCase> cases = {
        {"UTF-8", 0, false, "/", u8head + Bytes().str("a/b").str("cc").str("sub/t.c").s()},
        {"UTF-8, two-byte separator", 0, false, "\xC2\xA5",
         u8head + Bytes().str("a\xC2\xA5" "b").str("cc").str("sub\xC2\xA5t.c").s()},
        {"UTF-16, pad byte", 0, true, "\\", u16head + W("a\\b") + W("cc") + W("sub\\t.c")},
        {"UTF-16, two-byte separator", 0, true, "\xC2\xA5",
         u16head + Bytes().u16('a').u16(0xA5).u16('b').u16(0).s() + W("cc") +
             Bytes().u16('s').u16('u').u16('b').u16(0xA5).u16('t').u16('.').u16('c').u16(0).s()},
        {"UTF-16, odd bitmap padded", 1, true, "/",
         Bytes().u8(13).u8(kJobId).u8(1).u8(2).u8(0x02).u8(0).s() + W("a/b") + W("cc") + W("HOME")},
        {"UTF-16, even bitmap", 2, true, "/",
         Bytes().u8(13).u8(kJobId).u8(1).u8(2).u8(0x00).u8(0x01).s() + W("a/b") + W("cc") + numbers + W("PATH")},
        {"UTF-8, non-ASCII", 3, false, "/",
         u8head + Bytes().str("a/b").str("cc").str("\xC3\xA9\xF0\x9D\x84\x9Ex").s()},
        {"UTF-16, non-ASCII", 3, true, "/",
         u16head + W("a/b") + W("cc") + Bytes().u16(0xE9).u16(0xD834).u16(0xDD1E).u16('x').u16(0).s()},
    };
    for (const EncodingCase& c : cases) {
        const std::vector<std::string> payloads = Payloads(c.command, c.utf16, c.separator);
        ASSERT_EQ(failure, CommandBuild::Ready) << c.what;
        ASSERT_EQ(payloads.size(), 1u) << c.what;
        EXPECT_EQ(Hex(payloads[0]), Hex(c.payload)) << c.what;
        EXPECT_EQ(work.stringsOffset, c.payload[2] == 0 ? (c.utf16 ? 4u : 3u) : 4u + uint8_t(c.payload[3])) << c.what;
    }
}

TEST_F(ExecuteBuilderTest, AMessageHoldsAtMostItsPayloadAndOnlyWritablePaths) {
    // Head 3, working directory 1, "cc" 3, then the value and its 0: 65527 exactly.
    const std::string fits(kMaxRequestPayload - 8, 'v');
    Load("build.txt", "job j\n  machine\n    m:1\n  value\n    fits = " + fits + "\n    over = " + fits +
                          "w\n  path\n    p = t.c\n  command ignore error\n" + CommandText({"cc", "<fits>"}) +
                          CommandText({"cc", "<over>"}) + CommandText({"cc", "<p>"}));
    std::vector<std::string> payloads = Payloads(0);
    ASSERT_EQ(failure, CommandBuild::Ready);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].size(), kMaxRequestPayload);
    EXPECT_EQ(payloads[0], Utf8Payload({}, {"", "cc", fits}));

    Payloads(1);
    EXPECT_EQ(failure, CommandBuild::TooLong);
    // Twice the bytes in UTF-16.
    Payloads(0, true);
    EXPECT_EQ(failure, CommandBuild::TooLong);

    // A path value that is not a relative UTF-8 path cannot be written.
    auto* list = static_cast<PathList*>(job->data.members.Find("p"));
    ASSERT_NE(list, nullptr);
    Path& value = *list->prepared[1];
    value.flags |= kPathAbsolute;
    Payloads(2);
    EXPECT_EQ(failure, CommandBuild::InvalidPath);
    value.flags &= ~kPathAbsolute;
    payloads = Payloads(2);
    ASSERT_EQ(failure, CommandBuild::Ready);
    EXPECT_EQ(payloads, std::vector<std::string>{Utf8Payload({}, {"", "cc", "t.c"})});
}

struct LogHeadCase {
    const char* what;
    std::vector<std::string> arguments;
    bool utf16;
    std::string wireHead;  // the payload's head: its bitmap counts parts
    std::string logHead;   // the log record's head: its bitmap counts strings
};

// The log record of an Execute is the payload with a bitmap over strings,
// which is all its reader sees.
TEST_F(ExecuteBuilderTest, TheLogsBitmapMarksStringsWhereTheWiresMarksParts) {
    const auto head = [](std::vector<uint32_t> bytes) {
        Bytes b;
        b.u8(13).u8(kJobId);
        for (uint32_t byte : bytes) b.u8(byte);
        return b.s();
    };
    std::vector<std::string> nine = {"cc", "<one>.o"};
    for (int i = 2; i <= 8; ++i) nine.push_back("p" + std::to_string(i));
    nine.push_back("<<environment>HOME>");
    const std::vector<LogHeadCase> cases = {
        // Parts cc, <one>, ".o", HOME: strings cc, v1.o, HOME.
        {"an argument of two parts before", {"cc", "<one>.o", "<<environment>HOME>"}, false, head({1, 1, 0x08}),
         head({1, 1, 0x04})},
        {"the same, UTF-16 padded", {"cc", "<one>.o", "<<environment>HOME>"}, true, head({1, 2, 0x08, 0}),
         head({1, 2, 0x04, 0})},
        {"parameter 9", nine, false, head({1, 2, 0x00, 0x04}), head({1, 2, 0x00, 0x02})},
        {"a repeating argument before", {"cc", "-<three>", "<<environment>HOME>"}, false, head({1, 1, 0x04}),
         head({1, 1, 0x10})},
        {"a dropped argument before", {"cc", "<nothing>", "<<environment>HOME>"}, false, head({1, 1, 0x04}),
         head({1, 1, 0x02})},
        {"the executable", {"<<environment>CC>", "-<three>", "<<environment>HOME>"}, false, head({1, 1, 0x05}),
         head({1, 1, 0x11})},
        {"none", {"cc", "-<three>"}, true, head({0, 0}), head({0, 0})},
    };
    std::string script = kJobHead;
    for (const LogHeadCase& c : cases) script += CommandText(c.arguments);
    Load("build.txt", script);
    for (uint32_t i = 0; i < cases.size(); ++i) {
        const LogHeadCase& c = cases[i];
        const std::vector<std::string> payloads = Payloads(i, c.utf16);
        ASSERT_EQ(failure, CommandBuild::Ready) << c.what;
        ASSERT_EQ(payloads.size(), 1u) << c.what;
        EXPECT_EQ(Hex(payloads[0].substr(0, work.stringsOffset)), Hex(c.wireHead)) << c.what;
        std::vector<uint8_t> buffer(kExecuteLogHeadBuffer);
        const PayloadWriter log = WriteExecuteLogHead(work, kJobId, c.utf16, buffer.data());
        EXPECT_EQ(Hex(std::string(reinterpret_cast<const char*>(log.payload), log.length)), Hex(c.logHead)) << c.what;
    }
}

// The log's bitmap has a count byte as the payload's has: an environment
// expansion after string 2039 (2038 in UTF-16, which pads 255 bytes to 256)
// cannot be marked, and the command is refused as too long.
TEST_F(ExecuteBuilderTest, AnEnvironmentStringBeyondTheLogsBitmapIsRefused) {
    std::string values = "  value\n";
    for (int i = 0; i < 2039; ++i) values += "    many = x\n";
    Load("build.txt", "job j\n  machine\n    m:1\n" + values + "  command ignore error\n" +
                          CommandText({"cc", "<many>", "<<environment>HOME>"}));
    // 2039 strings before HOME (cc and 2038 values) fit in UTF-8 only.
    auto* many = static_cast<ValueList*>(job->data.members.Find("many"));
    ASSERT_NE(many, nullptr);
    char* const last = many->end - 2;  // the last value "x" and its NUL
    many->end = last;
    std::vector<std::string> payloads = Payloads(0);
    ASSERT_EQ(failure, CommandBuild::Ready);
    ASSERT_EQ(payloads.size(), 1u);
    std::vector<uint8_t> buffer(kExecuteLogHeadBuffer);
    PayloadWriter log = WriteExecuteLogHead(work, kJobId, false, buffer.data());
    ASSERT_EQ(log.length, 4u + 255u);
    EXPECT_EQ(log.payload[3], 255);
    EXPECT_EQ(log.payload[4 + 254], 0x80);
    Payloads(0, true);
    EXPECT_EQ(failure, CommandBuild::TooLong);
    // One value more puts HOME at string 2040.
    many->end = last + 2;
    Payloads(0);
    EXPECT_EQ(failure, CommandBuild::TooLong);
}

}  // namespace
}  // namespace kestrel::test
