// Every row of the response catalogue: a well-formed response is accepted and
// each way of breaking the row is refused with the row's message.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/responses.h"
#include "support/test_support.h"
#include "wire_bytes.h"

namespace kestrel::test {
namespace {

using Check = std::function<const char*(const uint8_t*, uint32_t)>;

Check Status(MessageType type) {
    return [type](const uint8_t* p, uint32_t n) {
        StatusResponse r;
        return CheckStatusResponse(type, p, n, r);
    };
}

Check Encoding() {
    return [](const uint8_t* p, uint32_t n) {
        EncodingResponse r;
        return CheckEncodingResponse(p, n, r);
    };
}

Check Separators(bool utf16) {
    return [utf16](const uint8_t* p, uint32_t n) {
        SeparatorsResponse r;
        return CheckSeparatorsResponse(p, n, utf16, r);
    };
}

Check Capabilities() {
    return [](const uint8_t* p, uint32_t n) {
        bool secure;
        return CheckCapabilitiesResponse(p, n, secure);
    };
}

Check Version() {
    return [](const uint8_t* p, uint32_t n) {
        VersionResponse r;
        return CheckVersionResponse(p, n, r);
    };
}

// Jobs 1 and 2 run commands on the connection.
bool RunningOneOrTwo(void*, uint8_t jobId) { return jobId == 1 || jobId == 2; }

Check Poll() {
    return [](const uint8_t* p, uint32_t n) { return CheckPollResponse(p, n, RunningOneOrTwo, nullptr); };
}

struct Row {
    const char* what;
    Check check;
    std::string payload;
    const char* expected;  // null: accepted
};

Bytes St(uint32_t status) { return Bytes().u32(status); }

std::vector<Row> CatalogueRows() {
    const std::string five = Bytes().str("UTF-8").str("a").str("b").str("c").str("d").s();
    const auto startJob = Status(MessageType::StartJob);
    const auto devEnv = Status(MessageType::SetDevelopmentEnvironment);
    const auto stepStart = Status(MessageType::StepStart);
    const auto inputWrite = Status(MessageType::InputWrite);
    const auto execute = Status(MessageType::Execute);
    const auto addOutput = Status(MessageType::AddOutput);
    const auto outputReset = Status(MessageType::OutputReset);
    const auto outputTransfer = Status(MessageType::OutputTransfer);
    const auto endJob = Status(MessageType::EndJob);
    const auto tunnel = Status(MessageType::Tunnel);
    return {
        {"encoding: five strings", Encoding(), five, nullptr},
        {"encoding: 127 bytes", Encoding(), Bytes().str(std::string(118, 'x')).str("a").str("b").str("c").str("d").s(), nullptr},
        {"encoding: 128 bytes", Encoding(), Bytes().str(std::string(119, 'x')).str("a").str("b").str("c").str("d").s(), kEncodingTooLong},
        {"encoding: four strings", Encoding(), Bytes().str("UTF-8").str("a").str("b").str("c").s(), kEncodingCorrupt},
        {"encoding: an empty string", Encoding(), Bytes().str("UTF-8").str("").str("b").str("c").str("d").s(), kEncodingCorrupt},
        {"encoding: bytes after the fifth", Encoding(), five + "e", kEncodingCorrupt},
        {"encoding: fifth unterminated", Encoding(), five.substr(0, five.size() - 1), kEncodingCorrupt},
        {"encoding: empty", Encoding(), "", kEncodingCorrupt},

        {"separators: one", Separators(false), Bytes().str("/").s(), nullptr},
        {"separators: none", Separators(false), "", nullptr},
        {"separators: two", Separators(false), Bytes().str("/").str("::").s(), nullptr},
        {"separators: 9 bytes", Separators(false), Bytes().str("/").str("1234567").s(), kSeparatorsTooLong},
        {"separators: empty string", Separators(false), Bytes().u8(0).s(), kSeparatorsCorrupt},
        {"separators: unterminated", Separators(false), "/", kSeparatorsCorrupt},
        {"separators utf-16: one", Separators(true), Bytes().wstr("\\").s(), nullptr},
        {"separators utf-16: odd length", Separators(true), Bytes().wstr("\\").u8(0).s(), kSeparatorsCorrupt},
        {"separators utf-16: unterminated", Separators(true), Bytes().u16('/').s(), kSeparatorsCorrupt},
        {"separators utf-16: 10 bytes", Separators(true), Bytes().wstr("abcd").s(), kSeparatorsTooLong},

        {"capabilities: secure", Capabilities(), Bytes().u8(0).u8(7).u8(1).s(), nullptr},
        {"capabilities: 2 bytes", Capabilities(), Bytes().u8(0).u8(0).s(), kCapabilitiesTooShort},
        {"capabilities: 4 bytes", Capabilities(), Bytes().u8(0).u8(0).u8(0).u8(0).s(), kCapabilitiesTooLong},
        {"capabilities: first byte 1", Capabilities(), Bytes().u8(1).u8(0).u8(0).s(), kCapabilitiesIncorrectType},

        {"version: 10 bytes", Version(), Bytes().u16(1).u16(0).u16(7).u32(3).s(), nullptr},
        {"version: 9 bytes", Version(), Bytes().zeros(9).s(), kVersionCorrupt},
        {"version: 11 bytes", Version(), Bytes().zeros(11).s(), kVersionCorrupt},

        {"tunnel: open", tunnel, St(0).u32(4).raw("abcd").s(), nullptr},
        {"tunnel: open, no address", tunnel, St(0).u32(0).s(), nullptr},
        {"tunnel: open, short address", tunnel, St(0).u32(4).raw("abc").s(), kTunnelCorrupt},
        {"tunnel: open, long address", tunnel, St(0).u32(4).raw("abcde").s(), kTunnelCorrupt},
        {"tunnel: open, address too large for the log", tunnel, St(0).u32(129).zeros(129).s(), kTunnelCorrupt},
        {"tunnel: open without length", tunnel, St(0).s(), kTunnelCorrupt},
        {"tunnel: invalid URL", tunnel, St(1).s(), nullptr},
        {"tunnel: invalid URL with a byte", tunnel, St(1).u8(0).s(), kTunnelCorrupt},
        {"tunnel: far protocol error", tunnel, St(3).s(), nullptr},
        {"tunnel: far connection error", tunnel, St(4).u32(10061).raw("down").s(), nullptr},
        {"tunnel: far connection error, short", tunnel, St(4).u32(10061).raw("dow").s(), kTunnelCorrupt},
        {"tunnel: 3 bytes", tunnel, Bytes().u8(0).u8(0).u8(0).s(), kTunnelCorrupt},
        {"tunnel: status 2", tunnel, St(2).s(), kTunnelCorrupted},
        {"tunnel: status 5", tunnel, St(5).s(), kTunnelCorrupted},

        {"start job: started", startJob, St(0).s(), nullptr},
        {"start job: no capacity", startJob, St(8).s(), nullptr},
        {"start job: refused with code", startJob, St(5).u32(32).s(), nullptr},
        {"start job: status 9", startJob, St(9).s(), kStartJobCorrupt},
        {"start job: status 4 without code", startJob, St(4).s(), kStartJobCorrupt},
        {"start job: status 6 with 12 bytes", startJob, St(6).u32(1).u32(2).s(), kStartJobCorrupt},
        {"start job: 3 bytes", startJob, Bytes().zeros(3).s(), kStartJobCorrupt},

        {"development environment: set", devEnv, St(0).s(), nullptr},
        {"development environment: unsupported", devEnv, St(6).s(), nullptr},
        {"development environment: status 7", devEnv, St(7).s(), kDevelopmentEnvironmentCorrupt},
        {"development environment: 3 bytes", devEnv, Bytes().zeros(3).s(), kDevelopmentEnvironmentCorrupt},

        {"replace environment: done", Status(MessageType::ReplaceEnvironment), St(0).s(), nullptr},
        {"replace environment: wrong time", Status(MessageType::ReplaceEnvironment), St(4).s(), nullptr},
        {"replace environment: status 5", Status(MessageType::ReplaceEnvironment), St(5).s(), kReplaceEnvironmentCorrupt},
        {"replace environment: 5 bytes", Status(MessageType::ReplaceEnvironment), St(0).u8(0).s(), kReplaceEnvironmentCorrupt},
        {"prefix environment: status 5", Status(MessageType::PrefixEnvironment), St(5).s(), kPrefixEnvironmentCorrupt},
        {"prefix environment: 3 bytes", Status(MessageType::PrefixEnvironment), Bytes().zeros(3).s(), kPrefixEnvironmentCorrupt},
        {"suffix environment: done", Status(MessageType::SuffixEnvironment), St(0).s(), nullptr},
        {"suffix environment: status 5", Status(MessageType::SuffixEnvironment), St(5).s(), kSuffixEnvironmentCorrupt},

        {"step start: started", stepStart, St(0).s(), nullptr},
        {"step start: corrupt request", stepStart, St(5).s(), nullptr},
        {"step start: file times", stepStart, St(2).u32(5).s(), nullptr},
        {"step start: error with text", stepStart, St(3).u32(5).raw("x").s(), nullptr},
        {"step start: status 6", stepStart, St(6).s(), kStepStartCorrupt},
        {"step start: status 2 without code", stepStart, St(2).s(), kStepStartCorrupt},
        {"step start: status 2 with a byte more", stepStart, St(2).u32(5).u8(1).s(), kStepStartCorrupt},
        {"step start: status 3 without text", stepStart, St(3).u32(5).s(), kStepStartCorrupt},
        {"step start: 3 bytes", stepStart, Bytes().zeros(3).s(), kStepStartCorrupt},

        {"input write: accepted", inputWrite, St(0).s(), nullptr},
        {"input write: file times", inputWrite, St(4).u32(5).s(), nullptr},
        {"input write: transfer error", inputWrite, St(5).u32(5).raw("x").s(), nullptr},
        {"input write: still processing", inputWrite, St(6).s(), kInputBeingProcessed},
        {"input write: status 7", inputWrite, St(7).s(), kInputWriteCorrupt},
        {"input write: status 4 without code", inputWrite, St(4).s(), kInputWriteCorrupt},
        {"input write: status 5 without text", inputWrite, St(5).u32(5).s(), kInputWriteCorrupt},
        {"input write: 3 bytes", inputWrite, Bytes().zeros(3).s(), kInputWriteCorrupt},

        {"execute: started", execute, St(0).s(), nullptr},
        {"execute: transfer in progress", execute, St(9).s(), nullptr},
        {"execute: error with text", execute, St(6).u32(2).raw("no").s(), nullptr},
        {"execute: status 10", execute, St(10).s(), kExecuteCorrupt},
        {"execute: status 6 without text", execute, St(6).u32(2).s(), kExecuteCorrupt},
        {"execute: 3 bytes", execute, Bytes().zeros(3).s(), kExecuteCorrupt},

        {"add output: added", addOutput, St(0).s(), nullptr},
        {"add output: in transfer", addOutput, St(5).s(), nullptr},
        {"add output: missing file", addOutput, St(6).raw("a/b").s(), nullptr},
        {"add output: unacceptable path", addOutput, St(7).raw("c").s(), nullptr},
        {"add output: error with text", addOutput, St(8).u32(3).raw("x").s(), nullptr},
        {"add output: status 0 with a byte more", addOutput, St(0).u8(0).s(), kAddOutputCorrupt},
        {"add output: status 6 without path", addOutput, St(6).s(), kAddOutputCorrupt},
        {"add output: status 8 without text", addOutput, St(8).u32(3).s(), kAddOutputCorrupt},
        {"add output: status 9", addOutput, St(9).s(), kAddOutputCorrupt},
        {"add output: 3 bytes", addOutput, Bytes().zeros(3).s(), kAddOutputCorrupt},

        {"output reset: reset", outputReset, St(0).s(), nullptr},
        {"output reset: in transfer", outputReset, St(4).s(), nullptr},
        {"output reset: status 5", outputReset, St(5).s(), kAddOutputCorrupt},
        {"output reset: 5 bytes", outputReset, St(0).u8(0).s(), kAddOutputCorrupt},

        {"output transfer: more, no bytes", outputTransfer, St(0).s(), nullptr},
        {"output transfer: last bytes", outputTransfer, St(1).raw("archive").s(), nullptr},
        {"output transfer: wrong state", outputTransfer, St(4).s(), nullptr},
        {"output transfer: error with text", outputTransfer, St(5).u32(1).raw("x").s(), nullptr},
        {"output transfer: status 2 with a byte more", outputTransfer, St(2).u8(0).s(), kAddOutputCorrupt},
        {"output transfer: status 5 without text", outputTransfer, St(5).u32(1).s(), kAddOutputCorrupt},
        {"output transfer: status 6", outputTransfer, St(6).s(), kAddOutputCorrupt},
        {"output transfer: 3 bytes", outputTransfer, Bytes().zeros(3).s(), kAddOutputCorrupt},

        {"end job: ended", endJob, St(0).s(), nullptr},
        {"end job: corrupt request", endJob, St(2).s(), nullptr},
        {"end job: status 3", endJob, St(3).s(), kEndJobCorrupt},
        {"end job: 5 bytes", endJob, St(0).u8(0).s(), kEndJobCorrupt},

        {"poll: stdout data", Poll(), Bytes().u8(0).u8(9).u64(5).u16(2).raw("hi").s(), nullptr},
        {"poll: stdout end", Poll(), Bytes().u8(1).u8(1).u64(5).u16(0).s(), nullptr},
        {"poll: stderr data", Poll(), Bytes().u8(2).u8(1).u64(5).u16(1).raw("e").s(), nullptr},
        {"poll: stderr end", Poll(), Bytes().u8(3).u8(2).u64(5).u16(0).s(), nullptr},
        {"poll: returned", Poll(), Bytes().u8(4).u8(1).u64(5).u32(0).s(), nullptr},
        {"poll: signalled", Poll(), Bytes().u8(5).u8(1).u64(5).u32(9).s(), nullptr},
        {"poll: not started", Poll(), Bytes().u8(6).u8(1).u64(5).u32(2).s(), nullptr},
        {"poll: clock error", Poll(), Bytes().u8(7).u8(1).u64(5).u32(2).s(), nullptr},
        {"poll: child communication", Poll(), Bytes().u8(8).u8(1).u64(5).u32(2).s(), nullptr},
        {"poll: child request", Poll(), Bytes().u8(9).u8(1).u8(3).u64(5).u32(2).raw("msg").s(), nullptr},
        {"poll: terminate failed", Poll(), Bytes().u8(10).u8(1).u8(0).u64(5).u32(2).s(), nullptr},
        {"poll: status check failed", Poll(), Bytes().u8(11).u8(2).u8(1).u64(5).u32(2).raw("m").s(), nullptr},
        {"poll: still running", Poll(), Bytes().u8(12).s(), nullptr},
        {"poll: stdout throttled", Poll(), Bytes().u8(13).u8(9).u64(5).s(), nullptr},
        {"poll: stderr throttled", Poll(), Bytes().u8(14).u8(9).u64(5).s(), nullptr},
        {"poll: capacity units", Poll(), Bytes().u8(16).u8(25).s(), nullptr},
        {"poll: capacity blocks", Poll(), Bytes().u8(17).u8(1).s(), nullptr},
        {"poll: several events", Poll(), Bytes().u8(0).u8(1).u64(5).u16(1).raw("x").u8(12).u8(16).u8(3).s(), nullptr},
        {"poll: empty", Poll(), "", kPollCorrupt},
        {"poll: event 15", Poll(), Bytes().u8(15).s(), kPollCorrupt},
        {"poll: event 18", Poll(), Bytes().u8(18).s(), kPollCorrupt},
        {"poll: data beyond the payload", Poll(), Bytes().u8(0).u8(1).u64(5).u16(3).raw("hi").s(), kPollCorrupt},
        {"poll: message beyond the payload", Poll(), Bytes().u8(9).u8(1).u8(4).u64(5).u32(2).raw("msg").s(), kPollCorrupt},
        {"poll: return value cut", Poll(), Bytes().u8(4).u8(1).u64(5).u16(0).s(), kPollCorrupt},
        {"poll: capacity cut", Poll(), Bytes().u8(12).u8(16).s(), kPollCorrupt},
        {"poll: stdout end of a job not running", Poll(), Bytes().u8(1).u8(3).u64(5).u16(0).s(), kPollCorrupt},
        {"poll: return of a job not running", Poll(), Bytes().u8(4).u8(3).u64(5).u32(0).s(), kPollCorrupt},
        {"poll: status check of a job not running", Poll(), Bytes().u8(11).u8(7).u8(0).u64(5).u32(2).s(), kPollCorrupt},
        {"poll: throttle of any job", Poll(), Bytes().u8(14).u8(200).u64(5).s(), nullptr},
    };
}

TEST(ResponseCatalogue, EveryRowAcceptsItsFormAndNamesEachBreak) {
    for (const Row& row : CatalogueRows()) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(row.payload.data());
        const char* fault = row.check(bytes, static_cast<uint32_t>(row.payload.size()));
        if (row.expected == nullptr) {
            EXPECT_EQ(fault, nullptr) << row.what << ": refused with " << fault << " for " << Hex(row.payload);
        } else {
            EXPECT_STREQ(fault ? fault : "(accepted)", row.expected) << row.what << ": " << Hex(row.payload);
        }
    }
}

TEST(ResponseCatalogue, HelloAnswersAreRecognisedExactly) {
    struct Case {
        std::string payload;
        HelloAnswer answer;
        std::string reason;
    } cases[] = {
        {"accept", HelloAnswer::Accept, ""},
        {"recalculate", HelloAnswer::Recalculate, ""},
        {"reject\nbusy building", HelloAnswer::Reject, "busy building"},
        {"reject\n", HelloAnswer::Reject, ""},
        {"accept!", HelloAnswer::Unexpected, ""},
        {"accep", HelloAnswer::Unexpected, ""},
        {"recalculatE", HelloAnswer::Unexpected, ""},
        {"reject", HelloAnswer::Unexpected, ""},
        {"", HelloAnswer::Unexpected, ""},
    };
    for (const Case& c : cases) {
        const uint8_t* reason = nullptr;
        uint32_t reasonLength = 99;
        const HelloAnswer answer = ClassifyHelloAnswer(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                                       static_cast<uint32_t>(c.payload.size()), reason, reasonLength);
        EXPECT_EQ(answer, c.answer) << Hex(c.payload);
        if (answer == HelloAnswer::Reject) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(reason), reasonLength), c.reason);
        }
    }
}

TEST(ResponseCatalogue, EncodingNameSelectsUtf16WithoutRegardToCase) {
    for (const char* name : {"UTF-16LE", "utf-16le", "Utf-16Le"}) {
        EncodingResponse r;
        const Bytes payload = Bytes().str(name).str("a").str("b").str("c").str("d");
        ASSERT_EQ(CheckEncodingResponse(payload.p(), payload.n(), r), nullptr);
        EXPECT_TRUE(r.utf16) << name;
        EXPECT_STREQ(reinterpret_cast<const char*>(r.strings[4]), "d");
    }
    for (const char* name : {"UTF-16", "UTF_16LE", "UTF-16LEX", "UTF-8", "UTF-16BE"}) {
        EncodingResponse r;
        const Bytes payload = Bytes().str(name).str("a").str("b").str("c").str("d");
        ASSERT_EQ(CheckEncodingResponse(payload.p(), payload.n(), r), nullptr);
        EXPECT_FALSE(r.utf16) << name;
    }
}

TEST(ResponseCatalogue, DecodedFieldsAndTheStoredPart) {
    StatusResponse r;
    Bytes startJob = St(5).u32(32);
    ASSERT_EQ(CheckStartJobResponse(startJob.p(), startJob.n(), r), nullptr);
    EXPECT_EQ(r.status, 5u);
    EXPECT_EQ(r.errorCode, 32u);
    EXPECT_EQ(r.logLength, 8u);
    EXPECT_FALSE(r.logTerminator);

    // Archive bytes are handed on but never stored.
    Bytes transfer = St(1).raw("ARCHIVE");
    ASSERT_EQ(CheckOutputTransferResponse(transfer.p(), transfer.n(), r), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.text), r.textLength), "ARCHIVE");
    EXPECT_EQ(r.logLength, 4u);

    // Machine text is stored up to its first 0 byte, then the client's 0.
    Bytes step = St(3).u32(7).raw(std::string("bad\0tail", 8));
    ASSERT_EQ(CheckStepStartResponse(step.p(), step.n(), r), nullptr);
    EXPECT_EQ(r.errorCode, 7u);
    EXPECT_EQ(r.textLength, 8u);
    EXPECT_EQ(r.logLength, 11u);
    EXPECT_TRUE(r.logTerminator);

    Bytes missing = St(6).raw("out/x");
    ASSERT_EQ(CheckAddOutputResponse(missing.p(), missing.n(), r), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.text), r.textLength), "out/x");
    EXPECT_EQ(r.logLength, 9u);

    Bytes hop = St(0).u32(3).raw("abc");
    ASSERT_EQ(CheckTunnelResponse(hop.p(), hop.n(), r), nullptr);
    EXPECT_EQ(r.textLength, 3u);
    EXPECT_EQ(r.logLength, 11u);

    Bytes far = St(4).u32(10061).raw("refused");
    ASSERT_EQ(CheckTunnelResponse(far.p(), far.n(), r), nullptr);
    EXPECT_EQ(r.errorCode, 10061u);
    EXPECT_EQ(r.logLength, far.n());
    EXPECT_TRUE(r.logTerminator);

    SeparatorsResponse separators;
    Bytes wide = Bytes().wstr("\\").wstr("/");
    ASSERT_EQ(CheckSeparatorsResponse(wide.p(), wide.n(), true, separators), nullptr);
    EXPECT_EQ(separators.count, 2u);
    EXPECT_EQ(separators.firstLength, 2u);
    EXPECT_EQ(separators.first[0], '\\');

    bool secure = true;
    Bytes insecure = Bytes().u8(0).u8(0xFF).u8(0xFE);
    ASSERT_EQ(CheckCapabilitiesResponse(insecure.p(), insecure.n(), secure), nullptr);
    EXPECT_FALSE(secure);

    VersionResponse version;
    Bytes v = Bytes().u16(2).u16(5).u16(300).u32(70000);
    ASSERT_EQ(CheckVersionResponse(v.p(), v.n(), version), nullptr);
    EXPECT_EQ(version.major, 2);
    EXPECT_EQ(version.minor, 5);
    EXPECT_EQ(version.build, 300);
    EXPECT_EQ(version.patch, 70000u);
}

TEST(ResponseCatalogue, PollEventsDecodeInOrder) {
    const Bytes payload = Bytes()
                              .u8(0).u8(1).u64(1500).u16(3).raw("abc")
                              .u8(9).u8(2).u8(2).u64(7).u32(0xFFFFFFFF).raw("no")
                              .u8(4).u8(1).u64(9).u32(0xFFFFFFFF)
                              .u8(12)
                              .u8(17).u8(2);
    uint32_t offset = 0;
    PollEvent e;
    ASSERT_TRUE(NextPollEvent(payload.p(), payload.n(), offset, e));
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(e.jobId, 1);
    EXPECT_EQ(e.elapsed, 1500u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.data), e.dataLength), "abc");
    ASSERT_TRUE(NextPollEvent(payload.p(), payload.n(), offset, e));
    EXPECT_EQ(e.code, 9);
    EXPECT_EQ(e.jobId, 2);
    EXPECT_EQ(e.elapsed, 7u);
    EXPECT_EQ(e.value, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.data), e.dataLength), "no");
    ASSERT_TRUE(NextPollEvent(payload.p(), payload.n(), offset, e));
    EXPECT_EQ(e.code, 4);
    EXPECT_EQ(static_cast<int32_t>(e.value), -1);
    ASSERT_TRUE(NextPollEvent(payload.p(), payload.n(), offset, e));
    EXPECT_EQ(e.code, 12);
    ASSERT_TRUE(NextPollEvent(payload.p(), payload.n(), offset, e));
    EXPECT_EQ(e.code, 17);
    EXPECT_EQ(e.capacity, 2);
    EXPECT_EQ(offset, payload.n());
    EXPECT_FALSE(NextPollEvent(payload.p(), payload.n(), offset, e));
}

}  // namespace
}  // namespace kestrel::test
