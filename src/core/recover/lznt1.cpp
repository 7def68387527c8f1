#include "recover/lznt1.h"

#include <algorithm>
#include <cstring>

namespace qvx::recover {

namespace {

/// Decodes one compressed chunk's data into out (at most 4096 bytes);
/// returns the bytes produced, or -1 when a token points outside.
long decodeChunk(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) {
    std::size_t in = 0;
    std::size_t pos = 0;
    const std::size_t limit = std::min(out.size(), kLznt1ChunkSize);
    while (in < data.size() && pos < limit) {
        const std::uint8_t flags = data[in++];
        for (int bit = 0; bit < 8 && in < data.size() && pos < limit; ++bit) {
            if ((flags & (1u << bit)) == 0) {
                out[pos++] = data[in++];
                continue;
            }
            if (in + 2 > data.size()) return -1;
            const std::uint32_t token = static_cast<std::uint32_t>(data[in] | (data[in + 1] << 8));
            in += 2;
            if (pos == 0) return -1;  // nothing to refer back to yet
            // The further into the chunk, the more bits go to the offset:
            // 4 bits up to 16 bytes of output, one more at each doubling.
            std::uint32_t lengthMask = 0x0FFF;
            unsigned offsetShift = 12;
            for (std::size_t p = pos - 1; p >= 0x10; p >>= 1) {
                lengthMask >>= 1;
                --offsetShift;
            }
            const std::size_t offset = (token >> offsetShift) + 1u;
            std::size_t length = (token & lengthMask) + 3u;
            if (offset > pos) return -1;
            length = std::min(length, limit - pos);
            // Overlapping copies repeat the pattern, so copy byte by byte.
            for (std::size_t i = 0; i < length; ++i, ++pos) out[pos] = out[pos - offset];
        }
    }
    return static_cast<long>(pos);
}

}  // namespace

Lznt1Result decompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    Lznt1Result result;
    std::size_t inPos = 0;
    std::size_t chunkStart = 0;  // output offset of the current chunk
    while (inPos + 2 <= in.size() && chunkStart < out.size()) {
        const std::uint16_t header = static_cast<std::uint16_t>(in[inPos] | (in[inPos + 1] << 8));
        if (header == 0) break;
        inPos += 2;
        const std::size_t dataSize = (header & 0x0FFFu) + 1u;
        if (dataSize > in.size() - inPos) {
            result.ok = false;
            break;
        }
        const auto data = in.subspan(inPos, dataSize);
        inPos += dataSize;
        auto dest = out.subspan(chunkStart, std::min(kLznt1ChunkSize, out.size() - chunkStart));
        std::size_t produced = 0;
        if (header & 0x8000u) {
            const long n = decodeChunk(data, dest);
            if (n < 0) {
                result.ok = false;
                break;
            }
            produced = static_cast<std::size_t>(n);
        } else {
            produced = std::min(dataSize, dest.size());
            std::memcpy(dest.data(), data.data(), produced);
        }
        result.written = chunkStart + produced;
        // A short chunk that is followed by another one stands for a whole
        // 4096-byte chunk whose tail is zeros.
        if (produced < dest.size()) std::memset(dest.data() + produced, 0, dest.size() - produced);
        chunkStart += kLznt1ChunkSize;
    }
    return result;
}

}  // namespace qvx::recover
