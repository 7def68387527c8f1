#pragma once
// The update-sequence fixup of multi-sector NTFS records (FILE and INDX).
// When a record is written, the last two bytes of each 512-byte stride are
// saved in the update sequence array and replaced by the update sequence
// number (the array's first entry). A stride whose last two bytes do not
// equal that number was not written with the rest: the record is torn.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qvx::ntfs {

inline constexpr std::size_t kFixupStride = 512;

struct FixupResult {
    bool applied = false;          // the array fits the record and was used
    std::uint32_t strides = 0;     // strides the array covers within the buffer
    std::uint32_t tornStrides = 0; // strides whose check value did not match
    std::uint32_t firstTorn = 0;   // index of the first torn stride
    bool torn() const { return tornStrides != 0; }
};

/// Checks every stride's check value against the update sequence number and
/// puts the saved bytes back, for each stride of buffer[0, length) the
/// array covers. A torn stride is counted and still restored, so the good
/// strides of a torn record remain usable. Nothing changes when the array
/// does not fit the buffer.
FixupResult applyFixup(std::span<std::uint8_t> buffer, std::size_t length);

}  // namespace qvx::ntfs
