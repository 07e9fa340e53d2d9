// Request payloads, byte for byte, in both text encodings of a machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/requests.h"
#include "support/test_support.h"
#include "wire_bytes.h"

namespace kestrel::test {
namespace {

class RequestBuilders : public ::testing::Test {
protected:
    std::vector<uint8_t> message = std::vector<uint8_t>(kMessageBufferSize, 0xAA);

    PayloadWriter Writer(bool utf16, uint32_t capacity = kMaxRequestPayload) {
        return BeginPayload(message.data(), utf16, capacity);
    }
    static std::string Payload(const PayloadWriter& w) {
        return std::string(reinterpret_cast<const char*>(w.payload), w.length);
    }
};

TEST_F(RequestBuilders, HelloIsThirtyBytesWithSequenceZero) {
    BuildHello(message.data(), 0xA1B2C3D4);
    const std::string bytes(reinterpret_cast<const char*>(message.data()), kHelloLength);
    EXPECT_EQ(Hex(bytes), Hex(Header(0xA1B2C3D4, 0, 30) + "Kestrelvane Direct 1.0"));
}

TEST_F(RequestBuilders, FixedLayouts) {
    PayloadWriter w = Writer(false);
    BuildStartJob(w, 7, 25);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(0).u8(7).u8(25).s()));
    BuildJobRequest(w, MessageType::EndJob, 254);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(5).u8(254).s()));
    BuildBareRequest(w, MessageType::Poll);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(26).s()));
    const uint8_t name[] = {'v', 's', '1', '7', 0};
    ASSERT_TRUE(BuildSetDevelopmentEnvironment(w, 3, name, sizeof name));
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(8).u8(3).str("vs17").s()));
    BeginInputWrite(message.data(), 9);
    EXPECT_EQ(message[8], 12);
    EXPECT_EQ(message[9], 9);
    EXPECT_EQ(kInputWriteDataOffset + kMaxInputWritePiece, kMaxMessageLength);
}

TEST_F(RequestBuilders, TunnelUrlIsCutTo1023BytesAndAlwaysEndsWithOneZeroByte) {
    PayloadWriter w = Writer(true);  // the URL stays UTF-8 on any machine
    BuildTunnel(w, "kvi://builder", 13);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(22).str("kvi://builder").s()));
    const std::string longUrl = "kvi://" + std::string(2000, 'h');
    BuildTunnel(w, longUrl.data(), static_cast<uint32_t>(longUrl.size()));
    EXPECT_EQ(w.length, 1u + 1023u + 1u);
    EXPECT_EQ(Payload(w), Bytes().u8(22).str(longUrl.substr(0, 1023)).s());
}

TEST_F(RequestBuilders, EnvironmentEditsInBothEncodings) {
    PayloadWriter w = Writer(false);
    ASSERT_EQ(BuildEnvironmentEdit(w, MessageType::ReplaceEnvironment, 4, "MODE", 4, "release", 7), TextAppend::Done);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(3).u8(4).str("MODE").str("release").s()));

    // U+00E9 and U+1F600 (a surrogate pair) in UTF-16LE, each text ended by a 0 unit.
    PayloadWriter wide = Writer(true);
    const std::string value = "\xC3\xA9\xF0\x9F\x98\x80";
    ASSERT_EQ(BuildEnvironmentEdit(wide, MessageType::PrefixEnvironment, 4, "P", 1, value.data(),
                                   static_cast<uint32_t>(value.size())),
              TextAppend::Done);
    EXPECT_EQ(Hex(Payload(wide)),
              Hex(Bytes().u8(1).u8(4).u16('P').u16(0).u16(0xE9).u16(0xD83D).u16(0xDE00).u16(0).s()));

    // Ill-formed UTF-8 cannot be converted for a UTF-16 machine.
    for (const std::string bad : {"\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
        PayloadWriter again = Writer(true);
        EXPECT_EQ(BuildEnvironmentEdit(again, MessageType::SuffixEnvironment, 4, "X", 1, bad.data(),
                                       static_cast<uint32_t>(bad.size())),
                  TextAppend::InvalidText)
            << Hex(bad);
    }
}

TEST_F(RequestBuilders, TextThatDoesNotFitLeavesThePayloadAsItWas) {
    // Type, job ID, "N" and the value, each text with its 0: one byte too many.
    const std::string value(kMaxRequestPayload - 4, 'v');
    PayloadWriter w = Writer(false);
    EXPECT_EQ(BuildEnvironmentEdit(w, MessageType::ReplaceEnvironment, 1, "N", 1, value.data(),
                                   static_cast<uint32_t>(value.size())),
              TextAppend::TooLong);
    EXPECT_EQ(w.length, 4u);
    EXPECT_EQ(BuildEnvironmentEdit(w, MessageType::ReplaceEnvironment, 1, "N", 1, value.data(),
                                   static_cast<uint32_t>(value.size() - 1)),
              TextAppend::Done);
    EXPECT_EQ(w.length, kMaxRequestPayload);

    // AddOutput stops one byte short of the longest payload.
    PayloadWriter out = Writer(false);
    BeginAddOutput(out, 2);
    const std::string path(1000, 'p');
    uint32_t added = 0;
    while (AddOutputPath(out, path.data(), static_cast<uint32_t>(path.size())) == TextAppend::Done) ++added;
    EXPECT_EQ(added, (kMaxAddOutputPayload - 2) / 1001);
    EXPECT_EQ(out.length, 2 + added * 1001);
}

TEST_F(RequestBuilders, ExecuteFlagsBitmapAndPadding) {
    auto strings = [](PayloadWriter& w) {
        EXPECT_EQ(AddExecuteString(w, "", 0), TextAppend::Done);
        EXPECT_EQ(AddExecuteString(w, "cc", 2), TextAppend::Done);
    };
    // No environment part: strings at byte 3, or after a pad byte at byte 4.
    PayloadWriter w = Writer(false);
    ASSERT_TRUE(BeginExecute(w, 6, nullptr, 0));
    strings(w);
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(13).u8(6).u8(0).str("").str("cc").s()));
    PayloadWriter wide = Writer(true);
    ASSERT_TRUE(BeginExecute(wide, 6, nullptr, 0));
    strings(wide);
    EXPECT_EQ(Hex(Payload(wide)), Hex(Bytes().u8(13).u8(6).u8(0).u8(0).wstr("").wstr("cc").s()));

    // The executable (argument part 0) is an expansion: one bitmap byte; UTF-16 raises the count to 2.
    uint8_t bitmap[2] = {};
    SetBitmapBit(bitmap, 0);
    ASSERT_EQ(ExecuteBitmapBytes(0), 1u);
    w = Writer(false);
    ASSERT_TRUE(BeginExecute(w, 6, bitmap, 1));
    EXPECT_EQ(Hex(Payload(w)), Hex(Bytes().u8(13).u8(6).u8(1).u8(1).u8(0x01).s()));
    wide = Writer(true);
    ASSERT_TRUE(BeginExecute(wide, 6, bitmap, 1));
    EXPECT_EQ(Hex(Payload(wide)), Hex(Bytes().u8(13).u8(6).u8(1).u8(2).u8(0x01).u8(0).s()));
    EXPECT_EQ(wide.length % 2, 0u);

    // Argument part 9 is the last expansion: two bitmap bytes, already even.
    uint8_t two[2] = {};
    SetBitmapBit(two, 9);
    ASSERT_EQ(ExecuteBitmapBytes(9), 2u);
    wide = Writer(true);
    ASSERT_TRUE(BeginExecute(wide, 6, two, 2));
    EXPECT_EQ(Hex(Payload(wide)), Hex(Bytes().u8(13).u8(6).u8(1).u8(2).u8(0).u8(0x02).s()));

    // A bitmap that cannot be counted in one byte.
    std::vector<uint8_t> huge(255, 0xFF);
    wide = Writer(true);
    EXPECT_FALSE(BeginExecute(wide, 6, huge.data(), 255));
    w = Writer(false);
    EXPECT_TRUE(BeginExecute(w, 6, huge.data(), 255));
}

}  // namespace
}  // namespace kestrel::test
