#include "logs/connection_log_reader.h"

#include <cstdlib>
#include <cstring>

#include "logs/connection_log.h"
#include "platform/streams.h"
#include "runtime/format.h"
#include "runtime/messages.h"
#include "runtime/growing_array.h"
#include "runtime/little_endian.h"

namespace kestrel {

namespace {

using Span = ConnectionLogReader::Span;

// Largest value each record's status (or the hop's kind) may take.
constexpr uint32_t kMaxStartJobStatus = 8;
constexpr uint32_t kMaxStepStartStatus = 5;
constexpr uint32_t kMaxInputWriteStatus = 5;
constexpr uint32_t kMaxDevelopmentEnvironmentStatus = 6;
constexpr uint32_t kMaxAddOutputStatus = 8;
constexpr uint32_t kMaxOutputResetStatus = 4;
constexpr uint32_t kMaxOutputTransferStatus = 5;
constexpr uint32_t kMaxExecuteStatus = 9;
constexpr uint32_t kMaxHopKind = 5;
constexpr uint32_t kMaxHopAddress = 128;
constexpr uint8_t kMaxPollEvent = 17;

// Reads the fields of one record from the stream into the reader's record
// buffer. Every read fails once the file has ended or memory ran out; the
// record's handler is only called when all of its fields were read.
class RecordParser {
public:
    RecordParser(ConnectionLogReader& reader) : reader_(reader) {}

    bool truncated = false;

    void StartRecord() {
        reader_.byteCount = 0;
        reader_.spanCount = 0;
    }

    bool Failed() const { return truncated || reader_.outOfMemory; }

    bool Byte(uint8_t& value) {
        if (Failed()) return false;
        const int c = std::getc(reader_.stream);
        if (c == EOF) {
            truncated = true;
            return false;
        }
        value = static_cast<uint8_t>(c);
        return true;
    }

    bool U16(uint16_t& value) {
        uint8_t b[2];
        if (!Raw(b, 2)) return false;
        value = ReadU16(b);
        return true;
    }

    bool U32(uint32_t& value) {
        uint8_t b[4];
        if (!Raw(b, 4)) return false;
        value = ReadU32(b);
        return true;
    }

    bool U64(uint64_t& value) {
        uint32_t low = 0, high = 0;
        if (!U32(low) || !U32(high)) return false;
        value = static_cast<uint64_t>(high) << 32 | low;
        return true;
    }

    bool Time(int64_t& value) {
        uint64_t raw = 0;
        if (!U64(raw)) return false;
        value = static_cast<int64_t>(raw);
        return true;
    }

    // `count` bytes kept in the record buffer.
    bool Bytes(uint32_t count, Span& span) {
        span = Span{reader_.byteCount, count};
        if (!Reserve(count)) return false;
        if (count > 0 && std::fread(reader_.bytes + reader_.byteCount, 1, count, reader_.stream) != count) {
            truncated = true;
            return false;
        }
        reader_.byteCount += count;
        return true;
    }

    // A string ended by one 0 byte; the span leaves the 0 out.
    bool String(Span& span) {
        span = Span{reader_.byteCount, 0};
        for (;;) {
            uint8_t b;
            if (!Byte(b)) return false;
            if (b == 0) break;
            if (!Keep(&b, 1)) return false;
            ++span.length;
        }
        return true;
    }

    // A text string: a string in a UTF-8 log, UTF-16LE units up to a 0 unit
    // in a UTF-16 log.
    bool Text(Span& span) {
        if (!reader_.utf16) return String(span);
        span = Span{reader_.byteCount, 0};
        for (;;) {
            uint8_t unit[2];
            if (!Raw(unit, 2)) return false;
            if (unit[0] == 0 && unit[1] == 0) break;
            if (!Keep(unit, 2)) return false;
            span.length += 2;
        }
        return true;
    }

    // Peeks at the first unit of a text string without consuming it when it
    // is neither a terminator nor the alternative end mark.
    enum class ListMark { None, End, FailedEnd };
    bool OutputListMark(ListMark& mark) {
        const int first = std::getc(reader_.stream);
        if (first == EOF) {
            truncated = true;
            return false;
        }
        if (!reader_.utf16) {
            mark = first == 0 ? ListMark::End : first == 0xFF ? ListMark::FailedEnd : ListMark::None;
            if (mark == ListMark::None) std::ungetc(first, reader_.stream);
            return true;
        }
        const int second = std::getc(reader_.stream);
        if (second == EOF) {
            truncated = true;
            return false;
        }
        const unsigned unit = static_cast<unsigned>(first) | static_cast<unsigned>(second) << 8;
        mark = unit == 0 ? ListMark::End : unit == 0xFEFF ? ListMark::FailedEnd : ListMark::None;
        if (mark != ListMark::None) return true;
        // A path's first unit: keep it as the start of the next text.
        pendingUnit_[0] = static_cast<uint8_t>(first);
        pendingUnit_[1] = static_cast<uint8_t>(second);
        hasPendingUnit_ = true;
        return true;
    }

    bool AddSpan(Span span) {
        if (!RoomForOneMore(reader_.spans, reader_.spanCount, reader_.spanCapacity, 16)) {
            reader_.outOfMemory = true;
            return false;
        }
        reader_.spans[reader_.spanCount++] = span;
        return true;
    }

    LogText Resolve(Span span) const { return LogText{reader_.bytes + span.offset, span.length}; }

    // The list spans as texts; valid until the next record.
    const LogText* ResolveList(uint32_t first, uint32_t count) {
        if (count > reader_.textCapacity) {
            auto* grown = static_cast<LogText*>(std::realloc(reader_.texts, count * sizeof(LogText)));
            if (grown == nullptr) {
                reader_.outOfMemory = true;
                return nullptr;
            }
            reader_.texts = grown;
            reader_.textCapacity = count;
        }
        for (uint32_t i = 0; i < count; ++i) reader_.texts[i] = Resolve(reader_.spans[first + i]);
        return reader_.texts;
    }

    bool utf16() const { return reader_.utf16; }
    uint32_t SpanCount() const { return reader_.spanCount; }

private:
    bool Raw(uint8_t* out, uint32_t count) {
        if (Failed()) return false;
        uint32_t at = 0;
        if (hasPendingUnit_ && count >= 2) {
            out[0] = pendingUnit_[0];
            out[1] = pendingUnit_[1];
            hasPendingUnit_ = false;
            at = 2;
        }
        if (at < count && std::fread(out + at, 1, count - at, reader_.stream) != count - at) {
            truncated = true;
            return false;
        }
        return true;
    }

    bool Reserve(uint32_t count) {
        const uint64_t needed = static_cast<uint64_t>(reader_.byteCount) + count;
        if (needed <= reader_.byteCapacity) return true;
        uint64_t capacity = reader_.byteCapacity ? reader_.byteCapacity : 4096;
        while (capacity < needed) capacity *= 2;
        if (capacity > UINT32_MAX) {
            reader_.outOfMemory = true;
            return false;
        }
        auto* grown = static_cast<uint8_t*>(std::realloc(reader_.bytes, capacity));
        if (grown == nullptr) {
            reader_.outOfMemory = true;
            return false;
        }
        reader_.bytes = grown;
        reader_.byteCapacity = static_cast<uint32_t>(capacity);
        return true;
    }

    bool Keep(const uint8_t* data, uint32_t count) {
        if (!Reserve(count)) return false;
        std::memcpy(reader_.bytes + reader_.byteCount, data, count);
        reader_.byteCount += count;
        return true;
    }

    ConnectionLogReader& reader_;
    uint8_t pendingUnit_[2] = {};
    bool hasPendingUnit_ = false;
};

// A record whose fields could not all be read: the file ended inside it (or
// memory ran out, which Read tells apart).
LogAction Broken(RecordParser&) { return LogAction::Corrupt; }

template <typename Record>
LogAction Deliver(LogAction (*handler)(void*, const Record&), void* context, const Record& record) {
    return handler ? handler(context, record) : LogAction::Continue;
}

using ParseFunction = LogAction (*)(RecordParser& p, const ConnectionLogHandlers& h, uint8_t first);

LogAction ParseStartJob(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogStartJobRecord r;
    Span machine{}, job{};
    if (!p.Byte(r.jobId) || !p.Byte(r.concurrency) || !p.U32(r.status)) return Broken(p);
    if (r.status > kMaxStartJobStatus) return LogAction::Corrupt;
    if (r.status >= 4 && r.status <= 6 && !p.U32(r.errorCode)) return Broken(p);
    if (!p.Time(r.time) || !p.String(machine) || !p.U32(r.pathId) || !p.String(job)) return Broken(p);
    r.machineName = p.Resolve(machine);
    r.jobName = p.Resolve(job);
    return Deliver(h.startJob, h.context, r);
}

LogAction ParseEnvironment(RecordParser& p, const ConnectionLogHandlers& h, uint8_t first) {
    LogEnvironmentRecord r;
    r.type = first;
    Span name{}, value{};
    if (!p.Byte(r.jobId) || !p.Text(name) || !p.Text(value) || !p.U32(r.status)) return Broken(p);
    r.name = p.Resolve(name);
    r.value = p.Resolve(value);
    return Deliver(h.environment, h.context, r);
}

LogAction ParseEndJob(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogEndJobRecord r;
    if (!p.Byte(r.jobId) || !p.U32(r.status) || !p.Time(r.time) || !p.U32(r.jobState)) return Broken(p);
    return Deliver(h.endJob, h.context, r);
}

// Reads an error code and a string after a status.
bool CodeAndText(RecordParser& p, LogJobStatusRecord& r) {
    Span text{};
    r.hasErrorCode = true;
    if (!p.U32(r.errorCode) || !p.String(text)) return false;
    r.text = p.Resolve(text);
    return true;
}

LogAction ParseJobStatus(RecordParser& p, const ConnectionLogHandlers& h, uint8_t first) {
    LogJobStatusRecord r;
    r.type = first;
    Span environment{};
    if (!p.Byte(r.jobId)) return Broken(p);
    if (first == 8 && !p.String(environment)) return Broken(p);
    if (!p.U32(r.status)) return Broken(p);
    r.environment = p.Resolve(environment);
    bool read = true;
    switch (first) {
    case 7:  // StepStart
        if (r.status > kMaxStepStartStatus) return LogAction::Corrupt;
        if (r.status == 2) read = (r.hasErrorCode = true, p.U32(r.errorCode));
        if (r.status == 3) read = CodeAndText(p, r);
        break;
    case 8:
        if (r.status > kMaxDevelopmentEnvironmentStatus) return LogAction::Corrupt;
        break;
    case 10:
        if (r.status > kMaxOutputResetStatus) return LogAction::Corrupt;
        break;
    case 11:
        if (r.status > kMaxOutputTransferStatus) return LogAction::Corrupt;
        if (r.status == 5) read = CodeAndText(p, r);
        break;
    case 12:
        if (r.status > kMaxInputWriteStatus) return LogAction::Corrupt;
        if (r.status == 4) read = (r.hasErrorCode = true, p.U32(r.errorCode));
        if (r.status == 5) read = CodeAndText(p, r);
        break;
    default:
        break;
    }
    if (!read) return Broken(p);
    return Deliver(h.jobStatus, h.context, r);
}

LogAction ParseAddOutput(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogAddOutputRecord r;
    if (!p.Byte(r.jobId)) return Broken(p);
    for (;;) {
        RecordParser::ListMark mark;
        if (!p.OutputListMark(mark)) return Broken(p);
        if (mark != RecordParser::ListMark::None) {
            r.failedOutputList = mark == RecordParser::ListMark::FailedEnd;
            break;
        }
        Span path{};
        if (!p.Text(path) || !p.AddSpan(path)) return Broken(p);
    }
    if (!p.U32(r.status)) return Broken(p);
    if (r.status > kMaxAddOutputStatus) return LogAction::Corrupt;
    Span text{};
    if (r.status == 6 || r.status == 7) {
        if (!p.String(text)) return Broken(p);
    } else if (r.status == 8) {
        if (!p.U32(r.errorCode) || !p.String(text)) return Broken(p);
    }
    r.text = p.Resolve(text);
    r.pathCount = p.SpanCount();
    r.paths = p.ResolveList(0, r.pathCount);
    if (r.pathCount > 0 && r.paths == nullptr) return Broken(p);
    return Deliver(h.addOutput, h.context, r);
}

LogAction ParseExecute(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogExecuteRecord r;
    uint8_t flags = 0;
    if (!p.Byte(r.jobId) || !p.Byte(flags)) return Broken(p);
    Span bitmap{};
    if (flags == 1) {
        uint8_t count = 0;
        if (!p.Byte(count)) return Broken(p);
        if (count == 0) return LogAction::Corrupt;
        if (!p.Bytes(count, bitmap)) return Broken(p);
        r.hasBitmap = true;
    } else if (flags == 0) {
        // A UTF-16 log keeps its strings on even offsets with one zero byte.
        if (p.utf16() && !p.Bytes(1, bitmap)) return Broken(p);
    } else {
        return LogAction::Corrupt;
    }
    Span directory{}, executable{};
    if (!p.Text(directory) || !p.Text(executable)) return Broken(p);
    for (;;) {
        Span parameter{};
        if (!p.Text(parameter)) return Broken(p);
        if (parameter.length == 0) break;
        if (!p.AddSpan(parameter)) return Broken(p);
    }
    if (!p.U32(r.status)) return Broken(p);
    if (r.status > kMaxExecuteStatus) return LogAction::Corrupt;
    Span text{};
    if (r.status == 6 && (!p.U32(r.errorCode) || !p.String(text))) return Broken(p);
    r.bitmap = bitmap.length ? p.Resolve(bitmap).bytes : nullptr;
    r.bitmapBytes = bitmap.length;
    r.directory = p.Resolve(directory);
    r.executable = p.Resolve(executable);
    r.text = p.Resolve(text);
    r.parameterCount = p.SpanCount();
    r.parameters = p.ResolveList(0, r.parameterCount);
    if (r.parameterCount > 0 && r.parameters == nullptr) return Broken(p);
    return Deliver(h.execute, h.context, r);
}

LogAction ParseVersion(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogVersionRecord r;
    if (!p.U16(r.major) || !p.U16(r.minor) || !p.U16(r.build) || !p.U32(r.patch)) return Broken(p);
    return Deliver(h.version, h.context, r);
}

LogAction ParseHop(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    LogHopRecord r;
    Span url{}, address{}, text{}, command{};
    if (!p.String(url) || !p.U32(r.kind)) return Broken(p);
    if (r.kind > kMaxHopKind) return LogAction::Corrupt;
    switch (r.kind) {
    case 0:
    case 5: {
        uint32_t length = 0;
        if (!p.U32(length)) return Broken(p);
        if (length > kMaxHopAddress) return LogAction::Corrupt;
        if (!p.Bytes(length, address)) return Broken(p);
        if (r.kind == 5) {
            uint32_t commandLength = 0;
            if (!p.U32(commandLength) || !p.String(command)) return Broken(p);
            // The count includes the 0 byte; a disagreement means a broken file.
            if (commandLength != command.length + 1) return LogAction::Corrupt;
        }
        break;
    }
    case 4:
        if (!p.U32(r.errorCode) || !p.String(text) || !p.Time(r.time)) return Broken(p);
        break;
    default:
        if (!p.Time(r.time)) return Broken(p);
        break;
    }
    r.url = p.Resolve(url);
    r.address = p.Resolve(address);
    r.text = p.Resolve(text);
    r.sshCommandLine = p.Resolve(command);
    return Deliver(h.hop, h.context, r);
}

LogAction ParsePoll(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    for (;;) {
        p.StartRecord();
        LogPollEvent e;
        if (!p.Byte(e.code)) return Broken(p);
        if (e.code > kMaxPollEvent) return LogAction::Corrupt;
        if (e.code == kLogPollEnd) return h.pollEnd ? h.pollEnd(h.context) : LogAction::Continue;
        Span data{};
        bool read = true;
        if (e.code <= 3) {
            uint16_t length = 0;
            read = p.Byte(e.jobId) && p.U64(e.elapsed) && p.U16(length) && p.Bytes(length, data);
        } else if (e.code <= 8) {
            read = p.Byte(e.jobId) && p.U64(e.elapsed) && p.U32(e.value);
        } else if (e.code <= 11) {
            uint8_t length = 0;
            read = p.Byte(e.jobId) && p.Byte(length) && p.U64(e.elapsed) && p.U32(e.value) &&
                   p.Bytes(length, data);
        } else if (e.code == 13 || e.code == 14) {
            read = p.Byte(e.jobId) && p.U64(e.elapsed);
        } else if (e.code == 16 || e.code == 17) {
            read = p.Byte(e.capacity);
        }
        if (!read) return Broken(p);
        e.data = p.Resolve(data);
        const LogAction action = Deliver(h.pollEvent, h.context, e);
        if (action != LogAction::Continue) return action;
    }
}

LogAction ParseJobReference(RecordParser& p, LogJob& job, Span& name) {
    name = Span{};
    if (!p.Byte(job.jobId)) return Broken(p);
    if (job.jobId == kLogNoJobId && !p.String(name)) return Broken(p);
    return LogAction::Continue;
}

// Error chain: strings up to an empty one.
bool ReadChain(RecordParser& p) {
    for (;;) {
        Span entry{};
        if (!p.String(entry)) return false;
        if (entry.length == 0) return true;
        if (!p.AddSpan(entry)) return false;
    }
}

LogAction ParseErrorRecord(RecordParser& p, const ConnectionLogHandlers& h, uint8_t) {
    uint8_t marks[2];
    uint8_t kind = 0;
    if (!p.Byte(marks[0]) || !p.Byte(marks[1]) || !p.Byte(kind)) return Broken(p);
    if (marks[0] != 0xFF || marks[1] != 0xFF) return LogAction::Corrupt;
    if (kind == kLogConnectionError || kind == kLogProtocolError) {
        LogConnectionErrorRecord r;
        r.kind = kind;
        Span message{};
        if (!p.Time(r.time) || !p.U32(r.errorCode) || !p.String(message)) return Broken(p);
        r.message = p.Resolve(message);
        return Deliver(h.connectionError, h.context, r);
    }
    if (kind != kLogJobFailure && kind != kLogJobFileFailure && kind != kLogInputArchiveFailure &&
        kind != kLogOutputArchiveFailure)
        return LogAction::Corrupt;
    LogJobErrorRecord r;
    r.kind = kind;
    Span name{}, message{}, subject{}, path{};
    if (ParseJobReference(p, r.job, name) != LogAction::Continue) return Broken(p);
    if (!p.Time(r.time) || !p.U32(r.errorCode)) return Broken(p);
    bool read = true;
    switch (kind) {
    case kLogJobFailure:
        read = p.String(message);
        break;
    case kLogJobFileFailure:
        read = p.String(message) && p.String(subject);
        break;
    case kLogInputArchiveFailure:
        read = ReadChain(p) && p.String(message) && p.String(path);
        break;
    default:
        read = ReadChain(p) && p.String(path);
        break;
    }
    if (!read) return Broken(p);
    r.job.name = p.Resolve(name);
    r.message = p.Resolve(message);
    r.subject = p.Resolve(subject);
    r.path = p.Resolve(path);
    r.chainCount = p.SpanCount();
    r.chain = p.ResolveList(0, r.chainCount);
    if (r.chainCount > 0 && r.chain == nullptr) return Broken(p);
    return Deliver(h.jobError, h.context, r);
}

// The dispatch table: one entry per first byte of a record.
struct DispatchTable {
    ParseFunction entries[256] = {};
    constexpr DispatchTable() {
        entries[0] = ParseStartJob;
        entries[1] = entries[2] = entries[3] = ParseEnvironment;
        entries[5] = ParseEndJob;
        entries[7] = entries[8] = entries[10] = entries[11] = entries[12] = ParseJobStatus;
        entries[9] = ParseAddOutput;
        entries[13] = ParseExecute;
        entries[19] = ParseVersion;
        entries[22] = ParseHop;
        entries[26] = ParsePoll;
        entries[0xFF] = ParseErrorRecord;
    }
};

constexpr DispatchTable kDispatch;

}  // namespace

ConnectionLogReader::~ConnectionLogReader() {
    Close();
    std::free(bytes);
    std::free(spans);
    std::free(texts);
    SetMessage(nullptr, false);
}

void ConnectionLogReader::SetMessage(const char* text, bool owned) {
    if (messageOwned) std::free(const_cast<char*>(message));
    message = text;
    messageOwned = owned;
}

bool ConnectionLogReader::Open(const char* path, bool utf16Log) {
    Close();
    int32_t code = 0;
    std::FILE* file = platform::OpenStream(path, "rb", code);
    if (file == nullptr) {
        const uint32_t size = FormatText(nullptr, 0, kConnectionLogOpenFailed, {{FormatI32, &code}});
        char* text = static_cast<char*>(std::malloc(size));
        if (text == nullptr) {
            SetMessage(kInsufficientMemoryForClient, false);
        } else {
            FormatText(text, size, kConnectionLogOpenFailed, {{FormatI32, &code}});
            SetMessage(text, true);
        }
        return false;
    }
    Attach(file, utf16Log);
    ownsStream = true;
    return true;
}

void ConnectionLogReader::Attach(std::FILE* file, bool utf16Log) {
    Close();
    stream = file;
    utf16 = utf16Log;
    ownsStream = false;
    corrupt = false;
    outOfMemory = false;
}

void ConnectionLogReader::Close() {
    if (stream != nullptr && ownsStream) std::fclose(stream);
    stream = nullptr;
    ownsStream = false;
}

LogReadResult ConnectionLogReader::Read(const ConnectionLogHandlers& handlers) {
    RecordParser p(*this);
    auto finish = [&](LogAction action) {
        if (action == LogAction::Stop) return LogReadResult::Stopped;
        if (outOfMemory) {
            SetMessage(kInsufficientMemoryForClient, false);
            return LogReadResult::Failed;
        }
        corrupt = true;
        SetMessage(kConnectionLogCorrupt, false);
        return LogReadResult::Corrupt;
    };

    p.StartRecord();
    LogHeaderRecord header;
    Span machine{};
    if (!p.String(machine) || !p.U32(header.pathId)) return finish(LogAction::Corrupt);
    header.machineName = p.Resolve(machine);
    LogAction action = Deliver(handlers.header, handlers.context, header);
    if (action != LogAction::Continue) return finish(action);

    for (;;) {
        p.StartRecord();
        const int first = std::getc(stream);
        if (first == EOF) {
            // The end of the file between records is the normal end; a read
            // error is not.
            if (std::ferror(stream)) return finish(LogAction::Corrupt);
            return LogReadResult::Done;
        }
        const ParseFunction parse = kDispatch.entries[first];
        if (parse == nullptr) return finish(LogAction::Corrupt);
        action = parse(p, handlers, static_cast<uint8_t>(first));
        if (action != LogAction::Continue) return finish(action);
    }
}

}  // namespace kestrel
