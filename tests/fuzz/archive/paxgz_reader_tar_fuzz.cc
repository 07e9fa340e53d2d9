// Arbitrary bytes as the tar stream, compressed here so that the fuzzer works
// on headers rather than on deflate. The first byte picks the piece size.
#include <zlib.h>

#include <vector>

#include "reader_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    std::vector<uint8_t> compressed(deflateBound(&stream, size) + 64);
    stream.next_in = const_cast<uint8_t*>(data + 1);
    stream.avail_in = static_cast<uInt>(size - 1);
    stream.next_out = compressed.data();
    stream.avail_out = static_cast<uInt>(compressed.size());
    const int result = deflate(&stream, Z_FINISH);
    const size_t length = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) __builtin_trap();
    const uint32_t piece = 1 + (data[0] & 0x7F) * 97;
    kestrel::fuzz::RunReader(compressed.data(), length, piece, 1024 + (data[0] >> 7) * 1536);
    return 0;
}
