// The block framework with block kinds of its own: the keyword matcher, the
// indentation rules, empty blocks, the end of the file, the error text, and
// that every frame's state is released exactly once whatever happened.

#include <string>
#include <vector>

#include "script_fixture.h"

namespace kestrel::test {
namespace {

std::vector<std::string>* gEvents = nullptr;
int gLiveStates = 0;

void Log(const std::string& event) { gEvents->push_back(event); }

std::string LineText(const ScriptReader& reader) { return std::string(reader.line, reader.lineLength); }

// ---- A nesting block kind: "open NAME" opens a block named NAME. -----------

struct NestState {
    std::string name;
    std::string message;
};

NestState& StateOf(ScriptReader& reader) { return *static_cast<NestState*>(reader.top->object); }

bool NestLine(ScriptReader& reader);
bool OpenNest(ScriptReader& reader);

bool NestEnd(ScriptReader& reader) {
    NestState& state = StateOf(reader);
    Log("end " + state.name);
    if (state.name.rfind("fail", 0) != 0) return true;
    state.message = "ended badly: " + state.name;
    return false;
}

void NestRelease(ScriptReader& reader) {
    auto* state = static_cast<NestState*>(reader.top->object);
    Log("release " + state->name);
    delete state;
    --gLiveStates;
}

const char* DescribeNest(void* object) {
    const auto* state = static_cast<const NestState*>(object);
    if (!state->message.empty()) return state->message.c_str();
    if (state->name.rfind("say", 0) == 0) return state->name.c_str();
    if (state->name.rfind("empty", 0) == 0) return "";
    return nullptr;
}

constexpr Keyword kNestKeywords[] = {{"open ", OpenNest}};
constexpr BlockHandler kNest{KeywordTrieOf<kNestKeywords>.table(), NestLine, NestEnd, NestRelease, DescribeNest};

bool OpenNest(ScriptReader& reader) {
    auto* state = new NestState{LineText(reader).substr(reader.cursor + 1), ""};
    ++gLiveStates;
    Log("open " + state->name + "@" + std::to_string(reader.dispatchLineNumber));
    return pushBlock(reader, kNest, state);
}

bool NestLine(ScriptReader& reader) {
    Log("line " + LineText(reader) + "@" + std::to_string(reader.indentation));
    if (LineText(reader) != "reject") return true;
    StateOf(reader).message = "rejected";
    return false;
}

bool BaseLine(ScriptReader& reader) {
    Log("base " + LineText(reader));
    return true;
}

constexpr BlockHandler kNestBase{KeywordTrieOf<kNestKeywords>.table(), BaseLine, nullptr, nullptr, nullptr};

// ---- A keyword table that shows where the matcher stops. -------------------

bool Record(ScriptReader& reader, const char* what) {
    Log(std::string(what) + "@" + std::to_string(reader.cursor));
    return true;
}

bool KeywordAB(ScriptReader& reader) { return Record(reader, "a b"); }
bool KeywordAX(ScriptReader& reader) { return Record(reader, "ax"); }
bool KeywordGo(ScriptReader& reader) { return Record(reader, "go "); }
bool KeywordXY(ScriptReader& reader) { return Record(reader, "x y "); }
bool MiddleDefault(ScriptReader& reader) { return Record(reader, "middle default"); }

constexpr Keyword kMiddleKeywords[] = {{"x y ", KeywordXY}};

// Matches a second table from the middle of the line.
bool KeywordMid(ScriptReader& reader) {
    ++reader.cursor;
    return matchKeywords(reader, KeywordTrieOf<kMiddleKeywords>.table(), MiddleDefault);
}

bool LineDefault(ScriptReader& reader) { return Record(reader, ("default " + LineText(reader)).c_str()); }

constexpr Keyword kMatcherKeywords[] = {
    {"a b", KeywordAB},
    {"ax", KeywordAX},
    {"go ", KeywordGo},
    {"mid", KeywordMid},
};
constexpr BlockHandler kMatcherBase{KeywordTrieOf<kMatcherKeywords>.table(), LineDefault, nullptr, nullptr, nullptr};

class FrameworkTest : public ScriptTest {
protected:
    void SetUp() override {
        ScriptTest::SetUp();
        gEvents = &events;
        gLiveStates = 0;
    }
    void TearDown() override {
        EXPECT_EQ(gLiveStates, 0) << "a frame state was not released";
        gEvents = nullptr;
        ScriptTest::TearDown();
    }

    // Parses with the nesting kind as the base; returns the error text or "".
    std::string Run(const std::string& bytes, const BlockHandler& base = kNestBase) {
        events.clear();
        Write("build.txt", bytes);
        std::string error;
        if (Parse("build.txt", &error, &base)) return "";
        return error;
    }
    std::vector<std::string> Only(const std::string& prefix) const {
        std::vector<std::string> selected;
        for (const std::string& event : events) {
            if (event.rfind(prefix, 0) == 0) selected.push_back(event);
        }
        return selected;
    }

    std::vector<std::string> events;
};

TEST_F(FrameworkTest, KeywordSpacesMatchRunsAndTheActionSeesTheLastByte) {
    EXPECT_EQ(Run("a b rest\na    b\naxe\ngo   \ngo x\nmidx   y z\n", kMatcherBase), "");
    EXPECT_EQ(events, (std::vector<std::string>{"a b@2", "a b@5", "ax@1", "go @4", "go @2", "x y @8"}));
}

TEST_F(FrameworkTest, LinesThatEndInsideAKeywordOrMissGoToTheDefault) {
    EXPECT_EQ(Run("a\na \nab\ngo\nb\nmidz\n", kMatcherBase), "");
    EXPECT_EQ(events, (std::vector<std::string>{"default a@1", "default a @2", "default ab@1", "default go@2",
                                                "default b@0", "middle default@3"}));
}

TEST_F(FrameworkTest, BlocksNestToTheFourthFrameAndOpenNoFurther) {
    EXPECT_EQ(Run("open a\n  open b\n    open c\n      x\n      y\nz\n"), "");
    EXPECT_EQ(Only("line"), (std::vector<std::string>{"line x@6", "line y@6"}));
    EXPECT_EQ(Only("release"), (std::vector<std::string>{"release c", "release b", "release a"}));
    EXPECT_EQ(Only("base"), (std::vector<std::string>{"base z"}));

    EXPECT_EQ(Run("open a\n  open b\n    open c\n      open d\n"),
              "Machine stack overflow during parsing, file " + (dir / "build.txt") + ", line 4\n");
    // The refused block's state is released too.
    EXPECT_EQ(Only("release"), (std::vector<std::string>{"release d", "release c", "release b", "release a"}));
}

TEST_F(FrameworkTest, IndentationMustMatchAnOpenLevel) {
    const std::string invalid = "Invalid indention file " + (dir / "build.txt") + ", line ";
    EXPECT_EQ(Run(" x\n"), invalid + "1");                      // top level is at 0
    EXPECT_EQ(Run("open a\n    x\n  y\n"), invalid + "3");      // back to no open level
    EXPECT_EQ(Run("open a\n    x\n      y\n"), invalid + "3");  // deeper without a block
    EXPECT_EQ(Run("x\n  y\n"), invalid + "2");                  // under a line that opened nothing
    EXPECT_EQ(Run("open a\n    open b\n        x\n      y\n"), invalid + "4");
    // Blank and comment lines take no part, whatever their indentation.
    EXPECT_EQ(Run("open a\n        \n # note\n  x\n\n  y\nz\n"), "");
    EXPECT_EQ(Only("line"), (std::vector<std::string>{"line x@2", "line y@2"}));
}

TEST_F(FrameworkTest, AnEmptyBlockClosesAtTheNextLineOfItsLevel) {
    EXPECT_EQ(Run("open a\nopen b\n  x\n"), "");
    EXPECT_EQ(events, (std::vector<std::string>{"open a@1", "end a", "release a", "open b@2", "line x@2", "end b",
                                                "release b"}));
    // Its end check runs before the next line and names the line that opened it.
    EXPECT_EQ(Run("x\nopen fail-a\nopen b\n"), "ended badly: fail-a, file " + (dir / "build.txt") + ", line 2");
    EXPECT_EQ(Only("open"), (std::vector<std::string>{"open fail-a@2"}));
    // A block closed by a lower line names its last dispatched line.
    EXPECT_EQ(Run("open a\n  open fail-b\n    x\n    y\n  z\n"),
              "ended badly: fail-b, file " + (dir / "build.txt") + ", line 4");
}

TEST_F(FrameworkTest, EndOfFileEndsBlocksInnermostFirstAndStopsAtTheFirstFailure) {
    EXPECT_EQ(Run("open a\n  open fail-b\n    open c\n      x\n"),
              "ended badly: fail-b, file " + (dir / "build.txt") + ", line 4");
    EXPECT_EQ(Only("end"), (std::vector<std::string>{"end c", "end fail-b"}));
    // Every frame that was open is released once: c already ended, b failed, a never ended.
    EXPECT_EQ(Only("release"), (std::vector<std::string>{"release c", "release fail-b", "release a"}));
}

TEST_F(FrameworkTest, ErrorTextJoinsTheFramesInnermostFirst) {
    EXPECT_EQ(Run("open say-outer\n  open empty\n    open quiet\n      reject\n"),
              "rejected; say-outer, file " + (dir / "build.txt") + ", line 4");
    EXPECT_EQ(Run("open say-outer\n  open say-inner\n    reject\n"),
              "rejected; say-outer, file " + (dir / "build.txt") + ", line 3");
}

TEST(KeywordTrieTest, SharedPrefixesBecomeOnePathAndTableOrderIsKept) {
    // "ax" and "a b" share the node for 'a'; the roots keep the listed order.
    const KeywordTable roots = KeywordTrieOf<kMatcherKeywords>.table();
    ASSERT_EQ(roots.count, 3);
    EXPECT_EQ(roots.nodes[roots.first].byte, 'a');
    EXPECT_EQ(roots.nodes[roots.first + 1].byte, 'g');
    EXPECT_EQ(roots.nodes[roots.first + 2].byte, 'm');
    const KeywordTable afterA = roots.children(*roots.find('a'));
    ASSERT_EQ(afterA.count, 2);
    EXPECT_EQ(afterA.nodes[afterA.first].byte, ' ');
    EXPECT_EQ(afterA.nodes[afterA.first + 1].byte, 'x');
    EXPECT_EQ(afterA.find('x')->action, &KeywordAX);
    EXPECT_EQ(afterA.find('b'), nullptr);
    constexpr size_t kNodes = CountKeywordNodes(kMatcherKeywords);
    EXPECT_EQ(kNodes, 10u);
}

}  // namespace
}  // namespace kestrel::test
