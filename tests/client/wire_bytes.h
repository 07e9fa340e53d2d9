// Little-endian byte strings for the wire and log tests.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::test {

class Bytes {
public:
    Bytes& u8(uint32_t v) {
        data_.push_back(static_cast<char>(v & 0xFF));
        return *this;
    }
    Bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
    // Raw text without terminator.
    Bytes& raw(const std::string& s) {
        data_ += s;
        return *this;
    }
    // Text and one 0 byte.
    Bytes& str(const std::string& s) { return raw(s).u8(0); }
    // ASCII text as UTF-16LE and a 0 unit.
    Bytes& wstr(const std::string& s) {
        for (char c : s) u16(static_cast<uint8_t>(c));
        return u16(0);
    }
    Bytes& zeros(size_t n) {
        data_.append(n, '\0');
        return *this;
    }
    const std::string& s() const { return data_; }
    const uint8_t* p() const { return reinterpret_cast<const uint8_t*>(data_.data()); }
    uint32_t n() const { return static_cast<uint32_t>(data_.size()); }

private:
    std::string data_;
};

inline std::string Header(uint32_t id, uint16_t sequence, uint16_t length) {
    return Bytes().u32(id).u16(sequence).u16(length).s();
}

}  // namespace kestrel::test
