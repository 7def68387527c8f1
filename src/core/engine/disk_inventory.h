#pragma once
// The disk list both front ends start from: block devices plus the image
// files the user names, the record of disks kept under the configuration
// folder, and the mapping of a user's SOURCE to a disk index.

#include <string>
#include <vector>

#include "disk/inventory.h"
#include "disk/sector_reader.h"

namespace qvx::engine {

struct Inventory {
    std::vector<disk::DiskInfo> disks;    // index order (Index == position)
    std::vector<std::string> errors;      // images that could not be added
    std::string storeWarning;             // set when the disk record could not be written
};

/// Lists the disks and rebuilds the disk record. A record that cannot be
/// written only sets storeWarning: nothing reads it back.
Inventory RefreshDisks(const std::vector<std::string>& imagePaths, const std::string& configDir = {});

/// Disk index named by SOURCE: "PhysicalDriveN" or "\\.\PhysicalDriveN", a
/// block device of the inventory, or an image file (added to the inventory).
/// -1 with a reason when it cannot be used.
int selectSource(const std::string& source, Inventory& inventory, std::string& error);

/// Attaches every disk of the inventory to its device name.
void attachDisks(const Inventory& inventory, disk::SectorReader& reader);

}  // namespace qvx::engine
