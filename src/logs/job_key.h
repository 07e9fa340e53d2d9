// The job key: two characters that name a job ID in the client's job ID
// table and in the build log generator's job table.
#pragma once

#include <cstdint>

namespace kestrel {

// '0' + id / 36, then id % 36 as a base-36 digit; `key` gets a NUL third byte.
inline void MakeJobKey(uint8_t id, char key[3]) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    key[0] = static_cast<char>('0' + id / 36);
    key[1] = kDigits[id % 36];
    key[2] = '\0';
}

}  // namespace kestrel
