#pragma once
// Little-endian field readers over byte buffers. Structures on disk are never
// cast onto buffers: every field is composed from bytes at its offset, and a
// field that would run past the end of the buffer reads as zero.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qvx::util {

using Bytes = std::span<const std::uint8_t>;

/// True when [offset, offset + length) lies inside a buffer of size bytes.
constexpr bool fits(std::size_t size, std::size_t offset, std::size_t length) {
    return offset <= size && length <= size - offset;
}

inline std::uint8_t le8(Bytes b, std::size_t offset) {
    return fits(b.size(), offset, 1) ? b[offset] : 0;
}

inline std::uint16_t le16(Bytes b, std::size_t offset) {
    if (!fits(b.size(), offset, 2)) return 0;
    return static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
}

inline std::uint32_t le32(Bytes b, std::size_t offset) {
    if (!fits(b.size(), offset, 4)) return 0;
    return static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(b[offset + 2]) << 16) | (static_cast<std::uint32_t>(b[offset + 3]) << 24);
}

inline std::uint64_t le64(Bytes b, std::size_t offset) {
    if (!fits(b.size(), offset, 8)) return 0;
    return static_cast<std::uint64_t>(le32(b, offset)) | (static_cast<std::uint64_t>(le32(b, offset + 4)) << 32);
}

/// True when the bytes at offset equal text (no terminator compared).
inline bool bytesEqual(Bytes b, std::size_t offset, std::string_view text) {
    if (!fits(b.size(), offset, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (b[offset + i] != static_cast<std::uint8_t>(text[i])) return false;
    return true;
}

}  // namespace qvx::util
