#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

namespace kestrel::platform {

// The system's generator needs no start-up and no clean-up.
bool InitializeCrypto() { return true; }

void CleanupCrypto() {}

uint32_t RandomU32() {
    unsigned char bytes[4];
    if (BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<uint32_t>(std::rand());
}

}  // namespace kestrel::platform
