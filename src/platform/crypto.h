// The crypto library: start-up, clean-up and random bytes.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// Initialises the crypto library. On failure every queued library error is
// printed to standard error as "SSL error(%s): %s(%lu)" and false returned.
bool InitializeCrypto();
void CleanupCrypto();

// Four bytes from the cryptographic generator, or from rand() when it fails.
uint32_t RandomU32();

}  // namespace kestrel::platform
