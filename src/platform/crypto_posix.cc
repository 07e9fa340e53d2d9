#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

namespace kestrel::platform {

bool InitializeCrypto() {
    const uint64_t options = OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                             OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG |
                             OPENSSL_INIT_ENGINE_ALL_BUILTIN;
    if (OPENSSL_init_crypto(options, nullptr) == 1) return true;
    for (;;) {
        const char* function = nullptr;
        const unsigned long code = ERR_peek_error_func(&function);
        if (code == 0) break;
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        std::fprintf(stderr, "SSL error(%s): %s(%lu)", function ? function : "", text, ERR_get_error());
    }
    return false;
}

void CleanupCrypto() { OPENSSL_cleanup(); }

uint32_t RandomU32() {
    unsigned char bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) == 1)
        return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<uint32_t>(std::rand());
}

}  // namespace kestrel::platform
