#pragma once
// Image containers read through their format libraries: E01 evidence files,
// VMDK, VHD and VHDX virtual disks, qcow images. Each is opened read-only and
// shows its media as a plain run of bytes, so the sector reader and
// everything above it read it as they read a raw disk.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "disk/sector_reader.h"

namespace qvx::disk {

enum class ContainerKind { None, Ewf, Vmdk, Vhd, Vhdx, Qcow };

/// The container a file is, from its first bytes (head) and, for a fixed
/// VHD whose only header is a footer, its last 512 bytes (tail; may be
/// shorter or empty). None for anything else, a raw image included.
ContainerKind recogniseContainer(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                                 std::size_t tailSize);

/// Opens path as a container of that kind. Null with a reason naming the
/// file (or the missing segment or extent file) when it cannot be read.
std::unique_ptr<BlockDevice> openContainer(const std::string& path, ContainerKind kind, std::string& error);

}  // namespace qvx::disk
