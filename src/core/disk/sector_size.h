#pragma once
// The logical sector size of a disk: the unit its partition tables and its
// volumes' boot sectors count in. Block devices and containers that store it
// declare it; a plain image file does not, so its first sectors are read:
//   - a GPT header ("EFI PART") sits at byte offset one logical sector;
//   - a volume boot sector at offset 0 holds bytes per sector at 0x0B (u16);
//   - an MBR slot's first sector, multiplied by the true size, lands on a
//     boot sector that declares that size.
// The reader keeps 512-byte units whatever this says; the size only turns
// table fields into 512-byte LBAs and 512-byte LBAs back into the disk's own
// sector numbers for the user.

#include <cstdint>

namespace qvx::disk {

class BlockDevice;

inline constexpr std::uint32_t kMaxLogicalSectorSize = 4096;

/// 512, 1024, 2048 or 4096 for a size that is a power of two in that range;
/// 0 otherwise.
std::uint32_t validLogicalSectorSize(std::uint64_t bytes);

/// The logical sector size of the device: the declared one when the device
/// declares a size other than 512 (or is a block device), else what the
/// image's first sectors show, else 512.
std::uint32_t detectLogicalSectorSize(BlockDevice& device);

}  // namespace qvx::disk
