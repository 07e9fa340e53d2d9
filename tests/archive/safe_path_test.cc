// Names of archive entries on their way to the file system: UTF-16LE
// components become UTF-8 names, and what cannot be a name is refused with
// the system's code.

#include <gtest/gtest.h>

#include <string>

#include "archive/safe_path.h"
#include "platform/native_paths.h"
#include "platform/system_errors.h"

namespace kestrel {
namespace {

std::string Utf16Le(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

struct Converted {
    bool ok;
    std::string name;
    int error;
};

Converted Convert(const std::string& bytes, bool utf16, uint32_t room) {
    std::string out(room, '\x7F');
    uint32_t length = 0;
    int error = 0;
    const PathComponentView view{reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())};
    const bool ok = ComponentToUtf8(view, utf16, out.data(), room, length, error);
    return {ok, ok ? std::string(out.data(), length) + (out[length] == '\0' ? "" : "<no NUL>") : "", error};
}

TEST(ComponentToUtf8, Utf16NamesBecomeUtf8) {
    const Converted pair = Convert(Utf16Le(u"d\u00e9j\u00e0-\U0001F600.txt"), true, 64);
    ASSERT_TRUE(pair.ok);
    EXPECT_EQ(pair.name, "d\xC3\xA9j\xC3\xA0-\xF0\x9F\x98\x80.txt");
    const Converted plain = Convert("plain", false, 64);
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.name, "plain");
}

TEST(ComponentToUtf8, WhatCannotBeANameIsRefused) {
    struct Case {
        const char* what;
        std::string bytes;
        bool utf16;
        uint32_t room;
        const int32_t& error;
    };
    const Case cases[] = {
        {"lone high surrogate", Utf16Le(u"a") + std::string("\x3D\xD8", 2), true, 64,
         platform::kErrorIllegalSequence},
        {"lone low surrogate", std::string("\x00\xDE", 2) + Utf16Le(u"b"), true, 64, platform::kErrorIllegalSequence},
        {"odd byte count", "abc", true, 64, platform::kErrorIllegalSequence},
        // Room for three bytes and the NUL: "ab" fits, the two bytes of "é" do not.
        {"UTF-8 longer than the room", Utf16Le(u"ab\u00e9"), true, 4, platform::kErrorNameTooLong},
        {"bytes longer than the room", "abcd", false, 4, platform::kErrorNameTooLong},
    };
    for (const Case& c : cases) {
        const Converted result = Convert(c.bytes, c.utf16, c.room);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_EQ(result.error, c.error) << c.what;
    }
    const Converted exact = Convert("abc", false, 4);
    EXPECT_TRUE(exact.ok) << "room for the name and its NUL is enough";
}

// Names that reach outside the extraction root, or open something other than
// a file, where the system reads names that way; elsewhere they are names.
TEST(CheckPathText, DeviceRulesWhereTheSystemHasThem) {
    enum class Refused { kEverywhere, kWithDeviceRules, kNever };
    constexpr Refused kAll = Refused::kEverywhere, kDevice = Refused::kWithDeviceRules, kNo = Refused::kNever;
    struct Case {
        std::string text;
        bool utf16;
        Refused refused;
    };
    const Case cases[] = {
        {"CON", false, kDevice},          {"nul", false, kDevice},          {"aux.txt", false, kDevice},
        {"sub/COM1", false, kDevice},     {"lpt9.log", false, kDevice},     {"com\xC2\xB9", false, kDevice},
        {"CONOUT$", false, kDevice},      {"a.txt:zone", false, kDevice},   {"a\\..\\..\\x", false, kDevice},
        {".. /x", false, kDevice},        {"name.", false, kDevice},        {"what?", false, kDevice},
        {Utf16Le(u"Aux"), true, kDevice}, {Utf16Le(u"COM\u00B2.c"), true, kDevice},
        {Utf16Le(u"x/b:c"), true, kDevice},
        {"\\\\?\\C:\\x", false, kAll}, {"\\\\server\\share\\x", false, kAll}, {"C:x", false, kAll},
        {Utf16Le(u"b:c"), true, kAll},
        {"console", false, kNo},          {"com10", false, kNo},            {"COM0", false, kNo},
        {"nul_file", false, kNo},         {".hidden", false, kNo},          {"a/./b/../c.txt", false, kNo},
        {Utf16Le(u"CONSOLE"), true, kNo},
    };
    const uint8_t slash = '/';
    const std::string wideSlash = Utf16Le(u"/");
    for (const Case& c : cases) {
        ComponentList list;
        bool outOfMemory = false;
        const uint8_t* separator = c.utf16 ? reinterpret_cast<const uint8_t*>(wideSlash.data()) : &slash;
        const UnsafePath problem = CheckPathText(reinterpret_cast<const uint8_t*>(c.text.data()),
                                                 static_cast<uint32_t>(c.text.size()), separator, c.utf16 ? 2 : 1,
                                                 c.utf16, false, list, outOfMemory);
        const bool refused = c.refused == kAll || (c.refused == kDevice && platform::kNamesHaveDeviceRules);
        EXPECT_EQ(problem != UnsafePath::kNone, refused) << c.text << " gave " << UnsafePathText(problem);
    }
}

}  // namespace
}  // namespace kestrel
