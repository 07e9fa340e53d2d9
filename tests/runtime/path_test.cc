#include "runtime/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kestrel {
namespace {

// Hands out nodes of a private pool and counts them, so that a test can see
// every node come back; can be told to fail after a number of nodes.
struct CountingNodes {
    std::unique_ptr<SegmentPool> pool = std::make_unique<SegmentPool>();
    int allocated = 0;
    int released = 0;
    int failAfter = -1;
    NodeAllocator allocator{Allocate, Release, this};

    static void* Allocate(void* context) {
        auto* self = static_cast<CountingNodes*>(context);
        if (self->failAfter >= 0 && self->allocated >= self->failAfter) return nullptr;
        ++self->allocated;
        return self->pool->Allocate();
    }
    static void Release(void* context, void* node) {
        ++static_cast<CountingNodes*>(context)->released;
        SegmentPool::Free(node);
    }
};

// A path that gives its nodes back when the test ends.
struct ScopedPath {
    Path path;
    ~ScopedPath() { path.Release(); }
    Path* operator->() { return &path; }
};

// Components point into the text: it must outlive the path.
bool Split(Path& path, const char* text, const NodeAllocator* nodes = nullptr) {
    return path.SetFromText(text, static_cast<uint32_t>(std::strlen(text)), "\\/", nodes);
}

bool Split(Path& path, const char16_t* text) {
    return path.SetFromText(text, static_cast<uint32_t>(std::char_traits<char16_t>::length(text)), u"\\/");
}

std::vector<std::string> Components(const Path& path) {
    std::vector<std::string> result;
    for (const PathComponent* c = path.first; c != nullptr; c = c->next) result.emplace_back(c->text, c->length);
    return result;
}

std::string Rendered(const Path& path) {
    std::string text(path.Render(nullptr, 0), '\0');
    EXPECT_EQ(path.Render(text.data(), static_cast<uint32_t>(text.size())), text.size());
    return text;
}

std::string RenderedWithBackslash(Path& path) {
    path.SetSeparator("\\", 1);
    return Rendered(path);
}

std::u16string RenderedWide(const Path& path) {
    const std::string bytes = Rendered(path);
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), bytes.size());
    return units;
}

// Wide text written with '/' as this system renders it.
std::u16string NativeWide(std::u16string text) {
    for (char16_t& unit : text)
        if (unit == u'/') unit = static_cast<char16_t>(test::kNativeSeparator);
    return text;
}

using Strings = std::vector<std::string>;

TEST(PathTest, SplittingRecognisesRootsAndCollapsesSeparators) {
    const struct {
        const char* text;
        Strings components;
        uint32_t flags;
        const char* rootEnd;
    } cases[] = {
        {"C:\\a\\b", {"C:", "a", "b"}, kPathAbsolute | kPathDriveRoot, "a"},
        {"\\\\srv\\share\\x", {"srv", "share", "x"}, kPathAbsolute | kPathUncRoot, "x"},
        {"\\x", {"x"}, kPathAbsolute, "x"},
        {"a//b\\", {"a", "b"}, 0, "a"},
        {"/usr//lib/", {"usr", "lib"}, kPathAbsolute, "usr"},
        {"\\\\?\\C:\\x\\y", {"?", "C:", "x", "y"}, kPathAbsolute | kPathUncRoot, "x"},
        {"\\\\?\\UNC\\srv\\share\\x", {"?", "UNC", "srv", "share", "x"}, kPathAbsolute | kPathUncRoot, "x"},
        {"C:", {"C:"}, 0, "C:"},          // a drive is a root only when a separator follows
        {"ab:\\x", {"ab:", "x"}, 0, "ab:"},
        {"\\\\srv\\share", {"srv", "share"}, kPathAbsolute | kPathUncRoot, nullptr},
        {"", {}, 0, nullptr},
        {"//", {}, kPathAbsolute, nullptr},
    };
    for (const auto& c : cases) {
        ScopedPath path;
        ASSERT_TRUE(Split(path.path, c.text));
        EXPECT_EQ(Components(path.path), c.components) << c.text;
        EXPECT_EQ(path->flags, c.flags) << c.text;
        const PathComponent* rootEnd = path->RootEnd();
        if (c.rootEnd == nullptr)
            EXPECT_EQ(rootEnd, nullptr) << c.text;
        else
            EXPECT_EQ(rootEnd != nullptr ? std::string(rootEnd->text, rootEnd->length) : "", c.rootEnd) << c.text;
        const PathComponent* last = nullptr;
        for (const PathComponent* p = path->first; p != nullptr; p = p->next) {
            EXPECT_EQ(p->previous, last);
            last = p;
        }
        EXPECT_EQ(path->last, last) << c.text;
    }
}

TEST(PathTest, NormalizationResolvesDotsAndRefusesToLeaveTheRoot) {
    const struct {
        const char* text;
        bool succeeds;
        Strings components;
    } cases[] = {
        {"a/./b/../c", true, {"a", "c"}},
        {"../a/..", true, {".."}},
        {"a/..", true, {}},
        {"a/b/../..", true, {}},
        {"./.", true, {}},
        {"x/a/b/../../c", true, {"x", "c"}},
        {"../../a/b/../c", true, {"..", "..", "a", "c"}},
        {"a/../../b", true, {"..", "b"}},
        {"C:\\..", false, {}},
        {"C:\\a\\..", true, {"C:"}},
        {"C:\\a\\.\\..\\b", true, {"C:", "b"}},
        {"/a/../..", false, {}},
        {"/./..", false, {}},
        {"\\\\srv\\share\\x\\..\\y", true, {"srv", "share", "y"}},
        {"\\\\srv\\share\\..", false, {}},
        {"\\\\?\\C:\\a\\..\\..", false, {}},
    };
    for (const auto& c : cases) {
        ScopedPath path;
        ASSERT_TRUE(Split(path.path, c.text));
        EXPECT_EQ(path->Normalize(), c.succeeds) << c.text;
        if (!c.succeeds) continue;
        EXPECT_EQ(Components(path.path), c.components) << c.text;
        if (c.components.empty()) {
            EXPECT_EQ(path->first, nullptr) << c.text;
            EXPECT_EQ(path->last, nullptr) << c.text;
        }
    }
}

TEST(PathTest, BareDriveRendersWithATrailingSeparator) {
    ScopedPath path;
    ASSERT_TRUE(Split(path.path, "C:\\a\\.."));
    ASSERT_TRUE(path->Normalize());
    EXPECT_EQ(Rendered(path.path), std::string("C:") + kNativeSeparator);
    EXPECT_EQ(RenderedWithBackslash(path.path), "C:\\");
}

TEST(PathTest, RenderingRebuildsEachKindOfRoot) {
    const struct {
        const char* text;
        const char* native;
        const char* backslash;
    } cases[] = {
        {"C:\\a\\b", "C:/a/b", "C:\\a\\b"},
        {"\\\\srv\\share\\x", "\\\\srv/share/x", "\\\\srv\\share\\x"},
        {"\\\\srv\\share", "\\\\srv/share/", "\\\\srv\\share\\"},
        {"\\\\?\\C:\\x", "\\\\?/C:/x", "\\\\?\\C:\\x"},
        {"/usr/lib", "/usr/lib", "\\usr\\lib"},
        {"a\\b", "a/b", "a\\b"},
        {"/", "/", "\\"},
    };
    for (const auto& c : cases) {
        ScopedPath path;
        ASSERT_TRUE(Split(path.path, c.text));
        EXPECT_EQ(Rendered(path.path), test::NativePath(c.native)) << c.text;
        EXPECT_EQ(RenderedWithBackslash(path.path), c.backslash) << c.text;
    }
}

TEST(PathTest, RenderWritesOnlyWholeLeadingPiecesThatFit) {
    ScopedPath path;
    ASSERT_TRUE(Split(path.path, "C:\\ab\\cd"));
    path->SetSeparator("\\", 1);
    const std::string full = "C:\\ab\\cd";
    for (uint32_t room = 0; room <= full.size() + 2; ++room) {
        std::string buffer(full.size() + 2, '#');
        EXPECT_EQ(path->Render(buffer.data(), room), full.size()) << room;
        // Pieces: "C:", "\", "ab", "\", "cd".
        size_t written = room >= 8 ? 8 : room >= 6 ? 6 : room >= 5 ? 5 : room >= 3 ? 3 : room >= 2 ? 2 : 0;
        EXPECT_EQ(buffer.substr(0, written), full.substr(0, written)) << room;
        EXPECT_EQ(buffer.substr(written), std::string(buffer.size() - written, '#')) << room;
    }
}

TEST(PathTest, MakeRelativeRewritesAgainstABase) {
    const struct {
        const char* path;
        const char* base;
        const char* expected;
    } cases[] = {
        {"C:\\r\\j\\out", "C:\\r\\k", "..\\j\\out"},
        {"C:\\r", "C:\\r", "."},
        {"C:\\r", "C:\\r\\a\\b", "..\\.."},
        {"/home/u/proj/out/x.o", "/home/u/proj/src", "..\\out\\x.o"},
        {"\\\\srv\\share\\a", "\\\\srv\\share", "a"},
        {"a/b/c", "a", "b\\c"},
        {"a/b", "a/b/c/d", "..\\.."},
        {"a", "b", "..\\a"},
    };
    for (const auto& c : cases) {
        ScopedPath path, base;
        ASSERT_TRUE(Split(path.path, c.path));
        ASSERT_TRUE(Split(base.path, c.base));
        uint32_t reason = 99;
        ASSERT_TRUE(path->MakeRelative(base.path, reason)) << c.path << " from " << c.base << " reason " << reason;
        EXPECT_EQ(path->flags, 0u) << c.path;
        EXPECT_EQ(RenderedWithBackslash(path.path), c.expected) << c.path << " from " << c.base;
    }
}

TEST(PathTest, MakeRelativeFailsWithItsReasonAndLeavesThePath) {
    const struct {
        const char* path;
        const char* base;
        uint32_t reason;
    } cases[] = {
        {"C:\\x", "D:\\x", kRelativeRootsDiffer},
        {"\\\\a\\s\\x", "\\\\b\\s\\x", kRelativeRootsDiffer},
        {"C:\\x", "\\\\srv\\share", kRelativeRootsDiffer},
        {"C:\\x", "\\x", kRelativeRootsDiffer},  // a drive against a bare root shares nothing
        {"C:\\x", "x", kRelativeAbsoluteness},
        {"x", "/x", kRelativeAbsoluteness},
    };
    for (const auto& c : cases) {
        ScopedPath path, base;
        ASSERT_TRUE(Split(path.path, c.path));
        ASSERT_TRUE(Split(base.path, c.base));
        const std::string before = Rendered(path.path);
        const uint32_t flags = path->flags;
        uint32_t reason = 99;
        EXPECT_FALSE(path->MakeRelative(base.path, reason)) << c.path << " from " << c.base;
        EXPECT_EQ(reason, c.reason) << c.path << " from " << c.base;
        EXPECT_EQ(Rendered(path.path), before);
        EXPECT_EQ(path->flags, flags);
    }
    ScopedPath narrow, wide;
    ASSERT_TRUE(Split(narrow.path, "a"));
    ASSERT_TRUE(Split(wide.path, u"a"));
    uint32_t reason = 99;
    EXPECT_FALSE(narrow->MakeRelative(wide.path, reason));
    EXPECT_EQ(reason, kRelativeEncodingsDiffer);
}

TEST(PathTest, MakeRelativeOutOfNodesLeavesThePathUnchanged) {
    CountingNodes nodes;
    ScopedPath path, base;
    ASSERT_TRUE(Split(path.path, "C:\\r\\j\\out", &nodes.allocator));
    ASSERT_TRUE(Split(base.path, "C:\\r\\k\\l\\m", &nodes.allocator));
    nodes.failAfter = nodes.allocated + 2;  // three ".." are needed
    uint32_t reason = 99;
    EXPECT_FALSE(path->MakeRelative(base.path, reason));
    EXPECT_EQ(reason, kRelativeNoMemory);
    EXPECT_EQ(RenderedWithBackslash(path.path), "C:\\r\\j\\out");
    EXPECT_EQ(nodes.released, 2);  // the two made before the failure went back

    nodes.failAfter = -1;
    ASSERT_TRUE(path->MakeRelative(base.path, reason));
    EXPECT_EQ(RenderedWithBackslash(path.path), "..\\..\\..\\j\\out");
}

TEST(PathTest, ReleaseReturnsEveryNodeIncludingDetachedOnes) {
    CountingNodes nodes;
    {
        ScopedPath path, base;
        // Enough components to need a second pool block.
        std::string longText = "C:";
        for (int i = 0; i < 1500; ++i) longText += "\\d" + std::to_string(i) + "\\.";
        longText += "\\..\\x";
        ASSERT_TRUE(Split(path.path, longText.c_str(), &nodes.allocator));
        ASSERT_TRUE(path->Normalize());
        ASSERT_TRUE(Split(base.path, "C:\\d0\\e\\f", &nodes.allocator));
        uint32_t reason = 99;
        ASSERT_TRUE(path->MakeRelative(base.path, reason));
        EXPECT_GT(nodes.allocated, static_cast<int>(kSegmentNodesPerBlock));
    }
    EXPECT_EQ(nodes.released, nodes.allocated);
}

TEST(PathTest, SplitKeepsTheComponentsMadeBeforeTheAllocatorFails) {
    CountingNodes nodes;
    nodes.failAfter = 2;
    ScopedPath path;
    EXPECT_FALSE(Split(path.path, "a/b/c/d", &nodes.allocator));
    EXPECT_EQ(Components(path.path), (Strings{"a", "b"}));
}

TEST(PathTest, WidePathsCountTwoBytesPerUnit) {
    ScopedPath path;
    ASSERT_TRUE(Split(path.path, u"C:\\r\\.\\x\\..\\j\\out"));
    EXPECT_EQ(path->flags, kPathAbsolute | kPathWide | kPathDriveRoot);
    EXPECT_EQ(path->first->length, 4u);
    ASSERT_TRUE(path->Normalize());
    EXPECT_EQ(RenderedWide(path.path), NativeWide(u"C:/r/j/out"));

    ScopedPath base;
    ASSERT_TRUE(Split(base.path, u"C:\\r\\k"));
    uint32_t reason = 99;
    ASSERT_TRUE(path->MakeRelative(base.path, reason));
    EXPECT_EQ(RenderedWide(path.path), NativeWide(u"../j/out"));
    EXPECT_EQ(path->first->length, 4u);

    ScopedPath same, sameBase;
    ASSERT_TRUE(Split(same.path, u"\\\\srv\\share\\x"));
    ASSERT_TRUE(Split(sameBase.path, u"\\\\srv\\share\\x"));
    ASSERT_TRUE(same->MakeRelative(sameBase.path, reason));
    EXPECT_EQ(RenderedWide(same.path), u".");

    ScopedPath unc;
    ASSERT_TRUE(Split(unc.path, u"\\\\srv\\share"));
    EXPECT_EQ(RenderedWide(unc.path), NativeWide(u"\\\\srv/share/"));

    // A unit whose low byte is a separator or a dot is not one.
    ScopedPath other;
    ASSERT_TRUE(Split(other.path, u"\u012F\u012E/\u022E\u022E"));
    EXPECT_EQ(other->first->length, 4u);
    ASSERT_TRUE(other->Normalize());
    EXPECT_EQ(RenderedWide(other.path), NativeWide(u"\u012F\u012E/\u022E\u022E"));
}

TEST(PathTest, PrependGoesAfterTheRoot) {
    ScopedPath drive, relative;
    ASSERT_TRUE(Split(drive.path, "C:\\a"));
    PathComponent* added = drive->NewComponent("p", 1);
    ASSERT_NE(added, nullptr);
    drive->Prepend(added);
    EXPECT_EQ(RenderedWithBackslash(drive.path), "C:\\p\\a");

    ASSERT_TRUE(Split(relative.path, "a"));
    added = relative->NewComponent("p", 1);
    ASSERT_NE(added, nullptr);
    relative->Prepend(added);
    EXPECT_EQ(RenderedWithBackslash(relative.path), "p\\a");
}

// Runs in a directory with characters outside ASCII, restoring the old one.
struct CurrentDirectoryFixture : ::testing::Test {
    test::TempDir temp;
    std::filesystem::path saved = std::filesystem::current_path();

    void TearDown() override { std::filesystem::current_path(saved); }
};

TEST_F(CurrentDirectoryFixture, CurrentDirectoryIsSplitOverItsWholeText) {
    const std::string name = "d\xC3\xAF" "r-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80";
    test::WriteFile(temp / (name + "/marker"), "");
    std::filesystem::current_path(test::PathOf(temp / name));
    const std::string current = test::TextOf(std::filesystem::current_path());

    Path path;
    int error = -1;
    ASSERT_TRUE(CurrentDirectoryPath(path, error));
    // A drive is the root where the system has drives.
    EXPECT_EQ(path.flags, kPathAbsolute | (current[1] == ':' ? kPathDriveRoot : 0));
    EXPECT_TRUE(path.ownsText);
    ASSERT_NE(path.last, nullptr);
    EXPECT_EQ(std::string(path.last->text, path.last->length), name);
    EXPECT_EQ(Rendered(path), current);
    path.Release();
    EXPECT_EQ(path.first, nullptr);
}

}  // namespace
}  // namespace kestrel
