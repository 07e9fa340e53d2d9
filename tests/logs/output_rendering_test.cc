// Process output in build_log.xml: every line end, every kind of broken or
// unshowable UTF-8, lines split at 128 characters, sequences split across
// events, both streams of one command, and the command's events. Each case
// is a real connection log with one command whose Poll records carry the
// output.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "build_log_fixture.h"
#include "runtime/utf8.h"

namespace kestrel::test {
namespace {

constexpr uint64_t kMs = kNanosecondsPerMillisecond;

class OutputRendering : public BuildLogTest {
protected:
    // The content of the one command of a job whose command sent `events`.
    std::string CommandContent(const std::vector<std::string>& polls) {
        TestLog log("builder", 0, "kv://b");
        log.Reached().StartJob(1, "j", kRunStart).Command(1, "cc");
        for (const std::string& events : polls) log.Poll(events);
        log.AddOutput(1, {});
        const std::string document = Generate({&log});
        const std::string start = "    <kv:command executable=\"cc\">\n";
        const std::string part = Between(document, start, "    </kv:command>\n");
        EXPECT_FALSE(part.empty()) << document.substr(0, 2000);
        return part.empty() ? "" : part.substr(start.size(), part.size() - start.size() - 18);
    }

    // Standard output `data` in one event that also ends the stream.
    std::string Stdout(const std::string& data) { return CommandContent({OutputEvent(1, 1, 0, data)}); }
};

// The timing marks, for cases about the text.
std::string WithoutMarks(std::string text) {
    for (size_t at; (at = text.find("<kv:elapsed ")) != std::string::npos;) text.erase(at, text.find("/>", at) + 2 - at);
    return text;
}

std::string Line(uint64_t offset, const std::string& text, const std::string& lineEnd = "") {
    std::string line = "      <kv:out offset=\"" + std::to_string(offset) + "\"";
    if (!lineEnd.empty()) line += " EOL=\"" + lineEnd + "\"";
    return line + (text.empty() && !lineEnd.empty() ? "/>\n" : " xml:space=\"preserve\">" + text + "</kv:out>\n");
}

std::string Invalid(const std::string& hex) { return "<kv:InvalidByte value=\"" + hex + "\"/>"; }
std::string Code(const std::string& hex) { return "<kv:CodePoint value=\"" + hex + "\"/>"; }

struct LineEnd {
    std::string bytes;
    const char* name;
};

const LineEnd kLineEnds[] = {
    {"\n", "NL"},           {"\n\r", "NLCR"},          {"\v", "LINE TABULATION"}, {"\f", "FORM FEED"},
    {"\r", "CR"},           {"\r\n", "CRNL"},          {"\xC2\x85", "NEXT LINE"}, {"\xE2\x80\xA8", "LINE SEPARATOR"},
    {"\xE2\x80\xA9", "PARAGRAPH SEPARATOR"},
};

TEST_F(OutputRendering, EveryLineEndIsNamedAlsoWhenSplitAcrossEvents) {
    for (const LineEnd& end : kLineEnds) {
        const std::string data = "a" + end.bytes + "b";
        const std::string expected = Line(0, "a", end.name) + Line(1 + end.bytes.size(), "b");
        for (size_t split = 0; split <= data.size(); ++split) {
            SCOPED_TRACE(std::string(end.name) + ", split at " + std::to_string(split));
            const std::string content =
                CommandContent({OutputEvent(0, 1, 0, data.substr(0, split)), OutputEvent(1, 1, 0, data.substr(split))});
            EXPECT_EQ(WithoutMarks(content), expected);
        }
    }
}

struct TextCase {
    const char* what;
    std::string data;
    std::string lines;  // without the timing marks
};

TEST_F(OutputRendering, BytesAndCharactersAreShownAsTheyAre) {
    const TextCase cases[] = {
        {"CR CR is two lines", "\r\r", "      <kv:out offset=\"0\" EOL=\"CR\" xml:space=\"preserve\"></kv:out>\n" + Line(1, "", "CR")},
        {"an empty line between two", "x\n\ny", Line(0, "x", "NL") + Line(2, "", "NL") + Line(3, "y")},
        {"C2 A9 is a character", "\xC2\xA9", Line(0, "\xC2\xA9")},
        {"C2 at the end of the stream", "x\n\xC2", Line(0, "x", "NL") + "      <kv:out offset=\"2\">" + Invalid("c2") + "</kv:out>\n"},
        {"E2 80 at the end of the stream", "x\n\xE2\x80",
         Line(0, "x", "NL") + "      <kv:out offset=\"2\">" + Invalid("e2") + Invalid("80") + "</kv:out>\n"},
        {"E2 at the end after text", "x\xE2", Line(0, "x" + Invalid("e2"))},
        {"ESC is a code point, TAB stays", "\x1b[1m\tx", Line(0, Code("1b") + "[1m\tx")},
        {"NUL", std::string(1, '\0'), Line(0, Code("0"))},
        {"a lone FF", "\xFF", Line(0, Invalid("ff"))},
        {"C3 0A: two invalid bytes and no line end", "\xC3\n", Line(0, Invalid("c3") + Invalid("0a"))},
        {"an encoded surrogate", "\xED\xA0\x80", Line(0, Invalid("ed") + Invalid("a0") + Invalid("80"))},
        {"overlong two bytes", "\xC0\xAF", Line(0, Invalid("c0") + Invalid("af"))},
        {"overlong three bytes", "\xE0\x80\xAF", Line(0, Invalid("e0") + Invalid("80") + Invalid("af"))},
        {"overlong four bytes", "\xF0\x80\x80\xAF", Line(0, Invalid("f0") + Invalid("80") + Invalid("80") + Invalid("af"))},
        {"above U+10FFFF", "\xF4\x90\x80\x80", Line(0, Invalid("f4") + Invalid("90") + Invalid("80") + Invalid("80"))},
        {"F5 is never a lead", "\xF5\x80", Line(0, Invalid("f5") + Invalid("80"))},
        {"a four-byte character", "\xF0\x9F\x98\x80!", Line(0, "\xF0\x9F\x98\x80!")},
        {"a sequence broken by a line end", "\xE2\x82\nz", Line(0, Invalid("e2") + Invalid("82") + Invalid("0a") + "z")},
        {"a sequence broken by a valid lead", "\xC3\xC3\xA9", Line(0, Invalid("c3") + Invalid("c3") + Invalid("a9"))},
        {"E2 not starting a line end", "\xE2\x82\xAC and \xE2\x80\x99", Line(0, "\xE2\x82\xAC and \xE2\x80\x99")},
        {"a sequence cut by the end of the stream", "ok\xF0\x9F\x98", Line(0, "ok" + Invalid("f0") + Invalid("9f") + Invalid("98"))},
        {"markup characters", "<a href='x'>&\"", Line(0, "&lt;a href=&apos;x&apos;&gt;&amp;&quot;")},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(WithoutMarks(Stdout(c.data)), c.lines);
    }
}

TEST_F(OutputRendering, CodePointElementsCoverTheirRangesExactly) {
    const std::pair<std::string, std::string> shown[] = {
        {"\x01", Code("1")},
        {"\x1f", Code("1f")},
        {"\x7f", Code("7f")},
        {"\xC2\x80", Code("80")},
        {"\xC2\x84", Code("84")},
        {"\xC2\x86", Code("86")},
        {"\xC2\x9F", Code("9f")},
        {"\xEF\xB7\x90", Code("fdd0")},
        {"\xEF\xB7\xAF", Code("fdef")},
        {"\xEF\xBF\xBD", Code("fffd")},
        {"\xEF\xBF\xBE", Code("fffe")},
        {"\xEF\xBF\xBF", Code("ffff")},
        {"\xF0\x9F\xBF\xBE", Code("1fffe")},
        {"\xF4\x8F\xBF\xBF", Code("10ffff")},
        // Their neighbours are text.
        {"\x20", " "},
        {"\x7e", "~"},
        {"\xC2\xA0", "\xC2\xA0"},
        {"\xEF\xB7\x8F", "\xEF\xB7\x8F"},
        {"\xEF\xB7\xB0", "\xEF\xB7\xB0"},
        {"\xEF\xBF\xBC", "\xEF\xBF\xBC"},
        {"\xF0\x9F\xBF\xBD", "\xF0\x9F\xBF\xBD"},
    };
    std::string data, text;
    for (const auto& [bytes, element] : shown) {
        data += bytes + "|";
        text += element + "|";
    }
    EXPECT_EQ(WithoutMarks(Stdout(data)), Line(0, text));
}

TEST_F(OutputRendering, LongLinesAreSplitAfter128Characters) {
    EXPECT_EQ(WithoutMarks(Stdout(std::string(300, 'x'))),
              Line(0, std::string(128, 'x')) + Line(128, std::string(128, 'x')) + Line(256, std::string(44, 'x')));
    // Characters, not bytes: 128 two-byte characters make one line.
    std::string wide;
    for (int i = 0; i < 129; ++i) wide += "\xC3\xA9";
    EXPECT_EQ(WithoutMarks(Stdout(wide)), Line(0, wide.substr(0, 256)) + Line(256, "\xC3\xA9"));
    // A line end right after the split ends an empty line.
    EXPECT_EQ(WithoutMarks(Stdout(std::string(128, 'y') + "\n")), Line(0, std::string(128, 'y')) + Line(128, "", "NL"));
}

// The stream put back together from its line elements, checking on the way
// that each line starts at the offset of its first byte.
struct Reassembled {
    std::string bytes;
    bool offsetsAgree = true;
    size_t longestLine = 0;  // in characters and invalid bytes
    size_t lines = 0;
};

std::string LineEndBytes(const std::string& name) {
    for (const LineEnd& end : kLineEnds)
        if (name == end.name) return end.bytes;
    ADD_FAILURE() << "unknown line end " << name;
    return "";
}

// Decodes a line's content: entities, invalid bytes and code points back to
// bytes, marks left out. Returns the characters counted.
size_t DecodeContent(const std::string& body, std::string& out) {
    size_t characters = 0;
    for (size_t at = 0; at < body.size();) {
        if (body.compare(at, 23, "<kv:InvalidByte value=\"") == 0) {
            out += static_cast<char>(std::stoi(body.substr(at + 23, 2), nullptr, 16));
            at = body.find("/>", at) + 2;
            ++characters;
        } else if (body.compare(at, 21, "<kv:CodePoint value=\"") == 0) {
            uint8_t encoded[4];
            const uint32_t code = static_cast<uint32_t>(std::stoul(body.substr(at + 21), nullptr, 16));
            out.append(reinterpret_cast<char*>(encoded), EncodeUtf8(code, encoded));
            at = body.find("/>", at) + 2;
            ++characters;
        } else if (body[at] == '<') {
            at = body.find("/>", at) + 2;  // a timing mark
        } else if (body[at] == '&') {
            const size_t end = body.find(';', at);
            const std::string entity = body.substr(at, end + 1 - at);
            out += entity == "&lt;" ? '<' : entity == "&gt;" ? '>' : entity == "&amp;" ? '&' : entity == "&quot;" ? '"' : '\'';
            at = end + 1;
            ++characters;
        } else {
            if ((static_cast<uint8_t>(body[at]) & 0xC0) != 0x80) ++characters;
            out += body[at++];
        }
    }
    return characters;
}

Reassembled Reassemble(const std::string& content, const std::string& name) {
    Reassembled r;
    const std::string head = "      <kv:" + name + " offset=\"";
    const std::string tail = "</kv:" + name + ">";
    for (size_t start = 0; start < content.size();) {
        const size_t end = content.find('\n', start);
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, head.size(), head) != 0) continue;
        size_t at = head.size();
        const size_t quote = line.find('"', at);
        if (std::stoull(line.substr(at, quote - at)) != r.bytes.size()) r.offsetsAgree = false;
        at = quote + 1;
        std::string lineEnd;
        if (line.compare(at, 6, " EOL=\"") == 0) {
            const size_t close = line.find('"', at + 6);
            lineEnd = LineEndBytes(line.substr(at + 6, close - at - 6));
            at = close + 1;
        }
        if (line.compare(at, 21, " xml:space=\"preserve\"") == 0) at += 21;
        if (line.compare(at, 1, ">") == 0) {
            const size_t characters = DecodeContent(line.substr(at + 1, line.size() - at - 1 - tail.size()), r.bytes);
            if (characters > r.longestLine) r.longestLine = characters;
        }
        r.bytes += lineEnd;
        ++r.lines;
    }
    return r;
}

TEST_F(OutputRendering, BinaryDataComesBackWholeFromItsLines) {
    std::mt19937 random(21);
    std::string data(64 * 1024, '\0');
    for (char& c : data) c = static_cast<char>(random());
    // Some text between the noise, so that lines and characters mix in.
    for (size_t at = 1000; at < data.size(); at += 5000) data.replace(at, 40, "plain text \xE2\x82\xAC\r\n\xC2\x85 more text\n\r ");
    std::vector<std::string> polls;
    std::string events;
    for (size_t at = 0; at < data.size();) {
        const size_t size = std::min<size_t>(data.size() - at, 1 + random() % 3000);
        const bool last = at + size == data.size();
        events += OutputEvent(last ? 1 : 0, 1, at, data.substr(at, size));
        at += size;
        if (events.size() > 30000 || last) {
            polls.push_back(events);
            events.clear();
        }
    }
    const Reassembled r = Reassemble(CommandContent(polls), "out");
    EXPECT_EQ(r.bytes.size(), data.size());
    EXPECT_TRUE(r.bytes == data) << "the lines give back other bytes";
    EXPECT_TRUE(r.offsetsAgree);
    EXPECT_EQ(r.longestLine, 128u);
    EXPECT_GT(r.lines, data.size() / 128);
}

TEST_F(OutputRendering, BothStreamsOfOneCommandInterleaved) {
    const std::string content = CommandContent({
        OutputEvent(0, 1, 1 * kMs, "o1\n") + OutputEvent(2, 1, 1 * kMs, "e1\n"),
        OutputEvent(0, 1, 2 * kMs, "o2") + OutputEvent(2, 1, 2 * kMs, "e2") + ValueEvent(4, 1, 3 * kMs, 0xFFFFFFFF),
        OutputEvent(1, 1, 4 * kMs, "") + OutputEvent(3, 1, 4 * kMs, ""),
    });
    EXPECT_EQ(content,
              "      <kv:out offset=\"0\" EOL=\"NL\" xml:space=\"preserve\"><kv:elapsed offset=\"0\" seconds=\"0.001\"/>o1"
              "<kv:elapsed offset=\"2\" seconds=\"0.002\"/></kv:out>\n"
              "      <kv:out offset=\"3\" xml:space=\"preserve\">o2<kv:elapsed EOF=\"true\" offset=\"5\" seconds=\"0.004\"/></kv:out>\n"
              "      <kv:err offset=\"0\" EOL=\"NL\" xml:space=\"preserve\"><kv:elapsed offset=\"0\" seconds=\"0.001\"/>e1"
              "<kv:elapsed offset=\"2\" seconds=\"0.002\"/></kv:err>\n"
              "      <kv:return value=\"4294967295\" elapsed=\"0.003\"/>\n"
              "      <kv:err offset=\"3\" xml:space=\"preserve\">e2<kv:elapsed EOF=\"true\" offset=\"5\" seconds=\"0.004\"/></kv:err>\n");
}

TEST_F(OutputRendering, CommandEventsAndThrottleMarks) {
    const std::string content = CommandContent({
        ThrottleEvent(13, 1, 1500 * kMs) + OutputEvent(0, 1, 1600 * kMs, "x") + ThrottleEvent(14, 1, 300 * kMs) +
            ValueEvent(5, 1, 200 * kMs, 9) + ValueEvent(6, 1, 1, 2) + ValueEvent(7, 1, 10, 1) + ValueEvent(8, 1, 100, 32) +
            MessageEvent(9, 1, 5000 * kMs, 5, "bad & \x01 <request>") + MessageEvent(10, 1, 1, 1, "kill") +
            MessageEvent(11, 1, 1, 3, "wait") + Bytes().u8(12).s(),
        OutputEvent(1, 1, 600 * kMs, "") + OutputEvent(3, 1, 600 * kMs, ""),
    });
    EXPECT_EQ(content,
              "      <kv:out offset=\"0\" xml:space=\"preserve\"><kv:throttle ThrottleOnElapsed=\"1.5\"/>"
              "<kv:elapsed offset=\"0\" seconds=\"1.6\"/>x<kv:elapsed EOF=\"true\" offset=\"1\" seconds=\"0.6\"/></kv:out>\n"
              "      <kv:signal value=\"9\" elapsed=\"0.2\"/>\n"
              "      <kv:StartupFailed ErrorCode=\"2\" elapsed=\"0.000000001\"/>\n"
              "      <kv:ClockError value=\"1\" elapsed=\"0.00000001\"/>\n"
              "      <kv:ChildCommError value=\"32\" elapsed=\"0.0000001\"/>\n"
              "      <kv:ChildRequestError value=\"5\" elapsed=\"5.0\" message=\"bad &amp; \xEF\xBF\xBD &lt;request&gt;\"/>\n"
              "      <kv:TerminateFailure value=\"1\" elapsed=\"0.000000001\" message=\"kill\"/>\n"
              "      <kv:StatusCheckFailure value=\"3\" elapsed=\"0.000000001\" message=\"wait\"/>\n"
              "      <kv:err offset=\"0\" xml:space=\"preserve\"><kv:throttle ThrottleOnElapsed=\"0.3\"/>"
              "<kv:elapsed EOF=\"true\" offset=\"0\" seconds=\"0.6\"/></kv:err>\n");
}

TEST_F(OutputRendering, EachCommandStartsItsStreamsAfreshAndDropsAnUnendedLine) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kRunStart).Command(1, "first");
    log.Poll(OutputEvent(0, 1, 0, "one\ntwo, never ended"));
    log.Command(1, "second");
    log.Poll(OutputEvent(1, 1, 0, "three\n"));
    log.AddOutput(1, {});
    // After its command was closed, the job's output has nowhere to go.
    log.Poll(OutputEvent(1, 1, 0, "late\n"));
    const std::string document = WithoutMarks(Generate({&log}));
    EXPECT_NE(document.find("    <kv:command executable=\"first\">\n" + Line(0, "one", "NL") + "    </kv:command>\n"
                            "    <kv:command executable=\"second\">\n" + Line(0, "three", "NL") + "    </kv:command>\n"),
              std::string::npos)
        << document;
    EXPECT_EQ(document.find("late"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::test
