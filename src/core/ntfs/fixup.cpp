#include "ntfs/fixup.h"

#include <algorithm>

#include "util/le.h"

namespace qvx::ntfs {

namespace {
constexpr std::size_t kUsaOffsetField = 0x04;  // u16
constexpr std::size_t kUsaCountField = 0x06;   // u16, the sequence number included
}  // namespace

FixupResult applyFixup(std::span<std::uint8_t> buffer, std::size_t length) {
    FixupResult result;
    length = std::min(length, buffer.size());
    const util::Bytes bytes(buffer.data(), length);
    const std::size_t usaOffset = util::le16(bytes, kUsaOffsetField);
    const std::size_t usaCount = util::le16(bytes, kUsaCountField);
    if (usaCount < 2 || !util::fits(length, usaOffset, usaCount * 2)) return result;
    // The array lies in the first stride, before the first check value.
    if (usaOffset + usaCount * 2 > kFixupStride - 2 && length >= kFixupStride) return result;
    const std::uint8_t seq0 = buffer[usaOffset];
    const std::uint8_t seq1 = buffer[usaOffset + 1];
    result.applied = true;
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t end = i * kFixupStride;
        if (end > length) break;
        ++result.strides;
        if (buffer[end - 2] != seq0 || buffer[end - 1] != seq1) {
            if (result.tornStrides == 0) result.firstTorn = static_cast<std::uint32_t>(i - 1);
            ++result.tornStrides;
        }
        buffer[end - 2] = buffer[usaOffset + 2 * i];
        buffer[end - 1] = buffer[usaOffset + 2 * i + 1];
    }
    return result;
}

}  // namespace qvx::ntfs
