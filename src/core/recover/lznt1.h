#pragma once
// LZNT1, the compression NTFS applies to a compressed file's data, one
// compression unit (normally 16 clusters) at a time. A unit is stored either
// whole (as many clusters as it has, uncompressed) or in fewer clusters as a
// sequence of chunks, each describing up to 4096 bytes of output:
//
//   u16 header: bits 0-11 = chunk data size - 1 (size of what follows),
//               bit 15 = chunk is compressed; 0 ends the unit.
//   uncompressed chunk: the 4096 bytes as they are.
//   compressed chunk: groups of one flag byte and up to eight tokens; flag bit
//               i clear = one literal byte, set = a u16 back-reference whose
//               split between offset and length depends on how far into the
//               chunk's output the token sits (4..12 offset bits).
//
// Everything read here comes from the disk and is untrusted: every offset is
// checked against the input and the output, and a bad chunk stops the unit.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qvx::recover {

inline constexpr std::size_t kLznt1ChunkSize = 4096;

struct Lznt1Result {
    std::size_t written = 0;  // bytes of output produced
    bool ok = true;           // false when the input was malformed (output holds what decoded)
};

/// Decompresses the chunks of one compression unit from in into out. Stops
/// at a zero chunk header, at the end of the input or when out is full. A
/// chunk whose data is shorter than 4096 bytes but is followed by another
/// chunk is padded with zeros to 4096, as the writer intends.
Lznt1Result decompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace qvx::recover
