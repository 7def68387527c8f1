#pragma once
// Turning a SOURCE argument into an attached disk.

#include <string>

#include "disk/inventory.h"
#include "disk/sector_reader.h"
#include "engine/disk_inventory.h"

namespace qvx::cli {

struct OpenedSource {
    engine::Inventory inventory;
    int diskIndex = -1;
    disk::DiskDetails details;
};

/// Refreshes the disk list, selects SOURCE, attaches every disk to reader
/// and opens the selected one. False with a message on failure.
bool openSource(const std::string& source, disk::SectorReader& reader, OpenedSource& out, std::string& error);

}  // namespace qvx::cli
