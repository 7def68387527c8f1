// LZNT1 decompression of one compression unit into outputs of several sizes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recover/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the output size: 1..16 chunks, or a partial one.
    const std::size_t outSize = (data[0] & 0x80) ? (data[0] & 0x7F) * 37u : ((data[0] & 0x0F) + 1u) * 4096u;
    std::vector<std::uint8_t> out(outSize);
    const qvx::recover::Lznt1Result r =
        qvx::recover::decompressLznt1(std::span<const std::uint8_t>(data + 1, size - 1), out);
    if (r.written > out.size()) __builtin_trap();
    return 0;
}
