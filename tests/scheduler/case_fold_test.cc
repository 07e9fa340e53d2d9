// File keys fold letter case over all of Unicode, not only ASCII.

#include "scheduler/case_fold.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::test {
namespace {

std::string Fold(const std::string& text) {
    std::string out(FoldedRoom(static_cast<uint32_t>(text.size())), '\0');
    out.resize(FoldCase(text.data(), static_cast<uint32_t>(text.size()), out.data()));
    return out;
}

TEST(CaseFoldTest, FoldsTextAndKeepsWhatIsNotALetter) {
    EXPECT_EQ(Fold("/Src/Main.C"), "/src/main.c");
    EXPECT_EQ(Fold("0123 -_./@[`{"), "0123 -_./@[`{");
    EXPECT_EQ(Fold("\xC3\x84RGER \xC3\x96L"), "\xC3\xA4rger \xC3\xB6l");        // Ä, Ö
    EXPECT_EQ(Fold("\xCE\xA3\xCE\x9F\xCE\xA6"), "\xCF\x83\xCE\xBF\xCF\x86");    // ΣΟΦ
    EXPECT_EQ(Fold("\xD0\x9C\xD0\x98\xD0\xA0"), "\xD0\xBC\xD0\xB8\xD1\x80");    // МИР
    EXPECT_EQ(Fold("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");                    // Deseret, four bytes
    EXPECT_EQ(Fold("\xC4\xB0"), "i");                                           // İ: the simple mapping
    // Lengths change: K (Kelvin) and Ω (Ohm) shrink, Ⱥ grows.
    EXPECT_EQ(Fold("\xE2\x84\xAA\xE2\x84\xA6"), "k\xCF\x89");
    EXPECT_EQ(Fold("\xC8\xBA\xC8\xBA"), "\xE2\xB1\xA5\xE2\xB1\xA5");
    // Already lower case, and letters without case.
    EXPECT_EQ(Fold("\xC3\xA4\xE6\x97\xA5"), "\xC3\xA4\xE6\x97\xA5");
}

// Runs of eight ASCII bytes are folded a word at a time: every byte value in
// every position of a word, next to the letters around 'A' and 'Z', and a
// word cut short by a byte that is not ASCII.
TEST(CaseFoldTest, WordsOfAsciiFoldLikeSingleBytes) {
    const std::string neighbours = "@AZ[`az{";
    for (int byte = 1; byte < 0x80; ++byte) {
        for (size_t position = 0; position < 16; ++position) {
            std::string text = neighbours + neighbours;
            text[position] = static_cast<char>(byte);
            std::string expected = text;
            for (char& c : expected)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            ASSERT_EQ(Fold(text), expected) << byte << " at " << position;
        }
    }
    EXPECT_EQ(Fold("ABCDEFG\xC3\x84HIJKLMNOP"), "abcdefg\xC3\xA4hijklmnop");
}

TEST(CaseFoldTest, BytesThatAreNotUtf8PassUnchanged) {
    // A lone continuation byte, a cut sequence, an overlong form, a surrogate.
    EXPECT_EQ(Fold("A\x80" "B"), "a\x80" "b");
    EXPECT_EQ(Fold("X\xC3"), "x\xC3");
    EXPECT_EQ(Fold("\xC1\x81Z"), "\xC1\x81z");
    EXPECT_EQ(Fold("\xED\xA0\x80Q"), "\xED\xA0\x80q");
    EXPECT_EQ(Fold("\xC3\x84\xFF\xC3\x84"), "\xC3\xA4\xFF\xC3\xA4");
}

}  // namespace
}  // namespace kestrel::test
