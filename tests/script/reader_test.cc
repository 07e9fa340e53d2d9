// The byte layer of the reader: UTF-8 validation, the byte table with its
// held bytes, line terminators and numbers, comments, and the file itself.
// Lines are collected by a base handler that records every dispatched line.

#include <string>
#include <vector>

#include "script_fixture.h"

namespace kestrel::test {
namespace {

struct Line {
    std::string text;
    uint32_t number;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) { *out << "{" << Hex(line.text) << ", " << line.number << "}"; }

std::vector<Line>* gLines = nullptr;

bool RecordLine(ScriptReader& reader) {
    gLines->push_back({std::string(reader.line, reader.lineLength), reader.dispatchLineNumber});
    return true;
}

const BlockHandler kRecorder{{}, RecordLine, nullptr, nullptr, nullptr};

class ReaderTest : public ScriptTest {
protected:
    void SetUp() override {
        ScriptTest::SetUp();
        gLines = &lines;
    }
    void TearDown() override {
        gLines = nullptr;
        ScriptTest::TearDown();
    }

    // The recorded lines of `bytes`, or the error text as a single line 0.
    std::vector<Line> Read(const std::string& bytes) {
        lines.clear();
        Write("s.txt", bytes);
        std::string error;
        if (!Parse("s.txt", &error, &kRecorder)) return {{error, 0}};
        return lines;
    }
    std::string FailureOf(const std::string& bytes) {
        const std::vector<Line> result = Read(bytes);
        return result.size() == 1 && result[0].number == 0 ? result[0].text : "(parsed)";
    }

    std::vector<Line> lines;
};

TEST_F(ReaderTest, EveryTerminatorEndsALineAndCrLfCountsOnce) {
    struct Case {
        std::string bytes;
        std::vector<Line> lines;
    };
    const std::vector<Case> cases = {
        {"a\nb", {{"a", 1}, {"b", 2}}},
        {"a\r\nb", {{"a", 1}, {"b", 2}}},
        {"a\rb", {{"a", 1}, {"b", 2}}},
        {"a\r\rb", {{"a", 1}, {"b", 3}}},
        {"a\n\rb", {{"a", 1}, {"b", 3}}},
        {"a\r\n\nb", {{"a", 1}, {"b", 3}}},
        {"x\ry\nz", {{"x", 1}, {"y", 2}, {"z", 3}}},
        {"a\vb\fc", {{"a", 1}, {"b", 2}, {"c", 3}}},
        {"a\xC2\x85"
         "b",
         {{"a", 1}, {"b", 2}}},
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9"
         "c",
         {{"a", 1}, {"b", 2}, {"c", 3}}},
        // A CR directly before another line end does not swallow it.
        {"a\r\xC2\x85"
         "b",
         {{"a", 1}, {"b", 3}}},
        // SUB between CR and LF breaks the pair.
        {"a\r\x1A\nb", {{"a", 1}, {"b", 3}}},
    };
    for (const Case& c : cases) EXPECT_EQ(Read(c.bytes), c.lines) << Hex(c.bytes);
}

TEST_F(ReaderTest, ByteOrderMarkAndSubDisappearWherever) {
    EXPECT_EQ(Read("\xEF\xBB\xBF"
                   "a\x1A"
                   "b\xEF\xBB\xBF"
                   "c\n\x1A\n"),
              (std::vector<Line>{{"abc", 1}}));
    EXPECT_TRUE(Read("").empty());
    EXPECT_TRUE(Read("\xEF\xBB\xBF").empty());
    // Neither counts as content: a mark before '#' still makes a comment line.
    EXPECT_TRUE(Read("\xEF\xBB\xBF# note\n\x1A#x").empty());
}

TEST_F(ReaderTest, HeldBytesThatStartNoEntryStayContent) {
    const std::vector<std::string> texts = {
        "\xC2\xA0",           // no-break space
        "\xE2\x80\x94",       // em dash shares E2 80 with the separators
        "\xE2\x80\xA7",       // one below U+2028
        "\xE2\x81\x80",       // E2 followed by something other than 80
        "\xEF\xBB\x80",       // shares EF BB with the byte-order mark
        "\xEF\xBC\x81",       // fullwidth exclamation mark
        "\xC3\xA9t\xC3\xA9",  // ordinary two-byte sequences around ASCII
        "\xF0\x9F\x98\x80",   // four bytes
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(Read("x" + text + "y\n"), (std::vector<Line>{{"x" + text + "y", 1}})) << Hex(text);
    }
}

TEST_F(ReaderTest, MalformedUtf8NamesTheLineThatHoldsIt) {
    const std::vector<std::string> sequences = {
        "\xC0\x80",          // overlong NUL
        "\xC1\xBF",          // overlong
        "\xE0\x80\x80",      // overlong three-byte
        "\xF0\x80\x80\x80",  // overlong four-byte
        "\xED\xA0\x80",      // surrogate
        "\xED\xBF\xBF",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80",
        "\xFF",
        "\x80",  // continuation without a lead
        "\xC2"
        "A",             // lead followed by ASCII
        "\xE2\xC2\xA0",  // lead inside a sequence
        "\xE2\x80"
        "\n",  // a line end cannot end a sequence
    };
    for (const std::string& bad : sequences) {
        EXPECT_EQ(FailureOf("first\nsecond " + bad + " rest\nthird\n"),
                  "Non-UTF-8 character in file " + (dir / "s.txt") + ", line 2")
            << Hex(bad);
    }
}

TEST_F(ReaderTest, FileEndingInsideASequenceIsMalformed) {
    for (const std::string& tail : {std::string("\xE2"), std::string("\xE2\x80"), std::string("\xF0\x9F\x98"),
                                    std::string("\xEF\xBB"), std::string("\xC2")}) {
        EXPECT_EQ(FailureOf("a\nb" + tail), "Non-UTF-8 character in file " + (dir / "s.txt") + ", line 2") << Hex(tail);
    }
}

TEST_F(ReaderTest, ControlBytesAreNotTextButTabAndDelAre) {
    for (const char bad : {'\0', '\x01', '\x08', '\x0E', '\x1B', '\x19', '\x1F'}) {
        EXPECT_EQ(FailureOf("a\nb\nc" + std::string(1, bad) + "\n"),
                  "Non-text character in file " + (dir / "s.txt") + ", line 3")
            << int(bad);
    }
    // A control byte in a comment is still refused: the file is checked whole.
    EXPECT_EQ(FailureOf("# \x1B\n"), "Non-text character in file " + (dir / "s.txt") + ", line 1");
    // TAB is never indentation; a line that starts with one is content.
    EXPECT_EQ(Read("\tx\x7F\ty\n"), (std::vector<Line>{{"\tx\x7F\ty", 1}}));
}

// Content is scanned eight bytes at a time: the byte that ends a run must be
// found wherever it stands in a word.
TEST_F(ReaderTest, EveryByteThatEndsARunIsSeenInEveryPosition) {
    const std::string filler = "abcdefghijklmnopqrstuvwx";
    for (size_t position = 1; position < 17; ++position) {
        std::string line = filler;
        line[position] = '\t';
        line[position + 3] = '\x7F';
        EXPECT_EQ(Read(line + "\n"), (std::vector<Line>{{line, 1}})) << position;
        std::string bad = filler;
        bad[position] = '\x01';
        EXPECT_EQ(FailureOf("a\n" + bad + "\n"), "Non-text character in file " + (dir / "s.txt") + ", line 2")
            << position;
        std::string split = filler;
        split.insert(position, "\xC3\xA4");
        std::string ends = filler;
        ends[position] = '\r';
        EXPECT_EQ(Read(split + "\n" + ends), (std::vector<Line>{{split, 1},
                                                               {filler.substr(0, position), 2},
                                                               {filler.substr(position + 1), 3}}))
            << position;
    }
}

TEST_F(ReaderTest, CommentsAndBlankLinesAreSkippedButCounted) {
    EXPECT_EQ(Read("# head\n\n   \n  # indented note\nx # not a comment\n#\n   \r\nlast"),
              (std::vector<Line>{{"x # not a comment", 5}, {"last", 8}}));
    // A line of spaces deeper than any block is not looked at by the block layer.
    EXPECT_EQ(Read("a\n                \nb\n"), (std::vector<Line>{{"a", 1}, {"b", 3}}));
    // Trailing spaces are content.
    EXPECT_EQ(Read("a  \n"), (std::vector<Line>{{"a  ", 1}}));
}

TEST_F(ReaderTest, LinesLongerThanTheBuffersAreReadWhole) {
    std::string longLine;
    for (int i = 0; i < 30000; ++i) longLine.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(Read(longLine + "\n" + longLine.substr(0, 8191) + "\nz"),
              (std::vector<Line>{{longLine, 1}, {longLine.substr(0, 8191), 2}, {"z", 3}}));
}

TEST_F(ReaderTest, TerminatorsAndSequencesSplitAcrossReadChunks) {
    // Chunks are 8192 bytes: put each construct across the boundary.
    const std::string fill(8191, 'f');
    EXPECT_EQ(Read(fill + "\r\nb\n"), (std::vector<Line>{{fill, 1}, {"b", 2}}));
    EXPECT_EQ(Read(fill.substr(0, 8190) + "\xE2\x80\xA8"
                                          "b"),
              (std::vector<Line>{{fill.substr(0, 8190), 1}, {"b", 2}}));
    EXPECT_EQ(Read(fill + "\xEF\xBB\xBF"
                          "b"),
              (std::vector<Line>{{fill + "b", 1}}));
    EXPECT_EQ(Read(fill + "\xE2\x80\x94"), (std::vector<Line>{{fill + "\xE2\x80\x94", 1}}));
    EXPECT_EQ(FailureOf(fill + "\xE2\x80"
                               "x"),
              "Non-UTF-8 character in file " + (dir / "s.txt") + ", line 1");
}

TEST_F(ReaderTest, ScriptPathsThatNameNoFile) {
    for (const std::string& path :
         {std::string(""), std::string("sub/"), std::string(".."), std::string("."), std::string("/"),
          std::string("a/.."), std::string("../../../../../../../../../../../../../../../../x")}) {
        std::string error;
        EXPECT_FALSE(Parse(path, &error, &kRecorder)) << path;
        EXPECT_EQ(error, "Invalid path to script") << path;
    }
}

TEST_F(ReaderTest, ScriptPathsResolveAndNormalize) {
    Write("sub/s.txt", "from sub\n");
    lines.clear();
    ASSERT_TRUE(Parse("./x/../sub//s.txt", nullptr, &kRecorder));
    EXPECT_EQ(lines, (std::vector<Line>{{"from sub", 1}}));
    // An absolute path ignores the base directory.
    lines.clear();
    ASSERT_TRUE(Parse(dir / "sub/./s.txt", nullptr, &kRecorder));
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(ReaderTest, FilesThatCannotBeOpenedOrRead) {
    std::string error;
    EXPECT_FALSE(Parse("missing.txt", &error, &kRecorder));
    EXPECT_EQ(error, "Cannot open script " + (dir / "missing.txt") + ", error 2");
    Write("folder/inner.txt", "x");
    EXPECT_FALSE(Parse("folder", &error, &kRecorder));
    EXPECT_EQ(error, std::string("Cannot ") + kDirectoryAsFile.failedStep + " script " + (dir / "folder") +
                         ", error " + std::to_string(kDirectoryAsFile.code));
}

}  // namespace
}  // namespace kestrel::test
