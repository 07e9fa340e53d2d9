// CheckResponse on its own: the read sizes it asks for, keep-alives in every
// position, and the three framing faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/connection.h"
#include "support/test_support.h"
#include "wire_bytes.h"

namespace kestrel::test {
namespace {

constexpr uint32_t kId = 0x0BADF00D;

class Framing : public ::testing::Test {
protected:
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kMessageBufferSize);
    ConnectionProtocol protocol;

    void SetUp() override {
        protocol.buffer = buffer.data();
        protocol.connectionId = kId;
        protocol.sequence = 4;
        protocol.receivedCount = 0;
        protocol.remainingCount = 0;
    }

    // One completed read: the bytes land where the read was asked for, and a
    // read of the remainder never takes more than it asked for.
    FrameCheck Deliver(const std::string& bytes) {
        std::memcpy(buffer.data() + protocol.receivedCount, bytes.data(), bytes.size());
        return CheckResponse(protocol, static_cast<uint32_t>(bytes.size()));
    }

    std::string Start(uint32_t length) const { return std::string(reinterpret_cast<const char*>(buffer.data()), length); }
};

std::string Response(uint16_t sequence, const std::string& payload, uint32_t id = kId) {
    return Header(id, sequence, static_cast<uint16_t>(8 + payload.size())) + payload;
}

TEST_F(Framing, ResponseSplitAcrossReadsInsideTheHeaderIsAssembledOnce) {
    const std::string payload = Bytes().u32(0).raw(std::string(500, 'z')).s();
    const std::string message = Response(4, payload);
    // Reads of 3 and 4 bytes leave the header incomplete: read on, appending.
    EXPECT_EQ(Deliver(message.substr(0, 3)).step, FrameStep::ReadMore);
    EXPECT_EQ(protocol.receivedCount, 3u);
    EXPECT_EQ(Deliver(message.substr(3, 4)).step, FrameStep::ReadMore);
    // The header is complete with 2 bytes of payload: read exactly the rest.
    EXPECT_EQ(Deliver(message.substr(7, 3)).step, FrameStep::ReadRest);
    EXPECT_EQ(protocol.remainingCount, message.size() - 10);
    EXPECT_EQ(Deliver(message.substr(10, 100)).step, FrameStep::ReadRest);
    EXPECT_EQ(protocol.remainingCount, message.size() - 110);
    const FrameCheck done = Deliver(message.substr(110));
    ASSERT_EQ(done.step, FrameStep::Complete);
    EXPECT_EQ(done.length, message.size());
    EXPECT_EQ(Start(done.length), message);
}

TEST_F(Framing, WholeResponseInOneRead) {
    const std::string message = Response(4, Bytes().u32(3).s());
    const FrameCheck done = Deliver(message);
    ASSERT_EQ(done.step, FrameStep::Complete);
    EXPECT_EQ(done.length, 12u);
}

TEST_F(Framing, KeepAlives) {
    // Alone, of the outstanding request: echoed from the buffer start.
    const std::string mine = Header(kId, 4, 8);
    EXPECT_EQ(Deliver(mine).step, FrameStep::EchoKeepAlive);
    EXPECT_EQ(Start(8), mine);
    EXPECT_EQ(protocol.receivedCount, 0u);

    // Alone, of another request: ignored.
    SetUp();
    EXPECT_EQ(Deliver(Header(kId, 3, 8)).step, FrameStep::IgnoreKeepAlive);

    // Cut in two reads, it still arrives alone.
    SetUp();
    EXPECT_EQ(Deliver(mine.substr(0, 5)).step, FrameStep::ReadMore);
    EXPECT_EQ(Deliver(mine.substr(5)).step, FrameStep::EchoKeepAlive);

    // Followed by the response in the same read: dropped, the response handled.
    SetUp();
    const std::string response = Response(4, Bytes().u32(0).raw("tail").s());
    const FrameCheck done = Deliver(mine + response);
    ASSERT_EQ(done.step, FrameStep::Complete);
    EXPECT_EQ(Start(done.length), response);

    // Two keep-alives and the start of the response: the rest is read exactly.
    SetUp();
    EXPECT_EQ(Deliver(mine + Header(kId, 9, 8) + response.substr(0, 9)).step, FrameStep::ReadRest);
    EXPECT_EQ(protocol.remainingCount, response.size() - 9);
    const FrameCheck later = Deliver(response.substr(9));
    ASSERT_EQ(later.step, FrameStep::Complete);
    EXPECT_EQ(Start(later.length), response);

    // A keep-alive and a few bytes of the next header: read on for the header.
    SetUp();
    EXPECT_EQ(Deliver(mine + response.substr(0, 5)).step, FrameStep::ReadMore);
    EXPECT_EQ(protocol.receivedCount, 5u);
    EXPECT_EQ(Deliver(response.substr(5)).step, FrameStep::Complete);
}

TEST_F(Framing, Faults) {
    EXPECT_EQ(Deliver("").step, FrameStep::Closed);

    SetUp();
    EXPECT_EQ(Deliver(Response(4, "abcd", kId + 1)).step, FrameStep::WrongConnectionId);
    // A keep-alive of a foreign connection is no better.
    SetUp();
    EXPECT_EQ(Deliver(Header(kId ^ 0x100, 4, 8)).step, FrameStep::WrongConnectionId);

    SetUp();
    EXPECT_EQ(Deliver(Response(5, "abcd")).step, FrameStep::WrongSequence);

    // More bytes than the length field holds.
    SetUp();
    EXPECT_EQ(Deliver(Response(4, "abcd") + "x").step, FrameStep::WrongLength);
    // A length below the header size.
    SetUp();
    EXPECT_EQ(Deliver(Header(kId, 4, 5)).step, FrameStep::WrongLength);
    SetUp();
    EXPECT_EQ(Deliver(Header(kId, 4, 0)).step, FrameStep::WrongLength);
}

}  // namespace
}  // namespace kestrel::test
