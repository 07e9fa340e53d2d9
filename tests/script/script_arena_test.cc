// The script arena: pieces of every size stay intact and apart, from the
// first heap chunks through the large regions a big script gets, and the
// arena lives until its last holder lets go.

#include "script/script_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestrel::test {
namespace {

TEST(ScriptArenaTest, PiecesOfEverySizeStayIntactAndApart) {
    ScriptArena* arena = ScriptArena::New();
    ASSERT_NE(arena, nullptr);
    struct Piece {
        char* bytes;
        size_t size;
        char fill;
    };
    std::vector<Piece> pieces;
    // About 40 MB in all: past the heap chunks into large regions, with
    // pieces larger than a quarter chunk (a chunk of their own) in between.
    const size_t sizes[] = {1, 7, 48, 300, 5000, 20000, 70000};
    for (int round = 0; round < 400; ++round) {
        for (size_t size : sizes) {
            auto* bytes = static_cast<char*>(arena->Take(size));
            ASSERT_NE(bytes, nullptr);
            ASSERT_EQ(reinterpret_cast<uintptr_t>(bytes) % alignof(void*), 0u);
            const char fill = static_cast<char>('a' + pieces.size() % 26);
            std::memset(bytes, fill, size);
            pieces.push_back({bytes, size, fill});
        }
    }
    for (const Piece& piece : pieces) {
        for (size_t i = 0; i < piece.size; i += 97) ASSERT_EQ(piece.bytes[i], piece.fill);
        ASSERT_EQ(piece.bytes[piece.size - 1], piece.fill);
    }
    const char* text = arena->CopyText("name", 4);
    EXPECT_STREQ(text, "name");
    // A second holder keeps it: AddressSanitizer would see the text freed.
    arena->Hold();
    arena->Drop();
    EXPECT_STREQ(text, "name");
    arena->Drop();
}

}  // namespace
}  // namespace kestrel::test
