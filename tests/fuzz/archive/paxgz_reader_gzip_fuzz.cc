// Arbitrary bytes as the compressed archive. The first byte picks the piece size.
#include "reader_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t piece = 1 + (data[0] & 0x7F) * 64;
    kestrel::fuzz::RunReader(data + 1, size - 1, piece, 1024 + (data[0] >> 7) * 3072);
    return 0;
}
