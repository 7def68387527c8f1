#include "engine/disk_inventory.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string_view>

#include "disk/registry_store.h"

namespace qvx::engine {

namespace fs = std::filesystem;

namespace {

/// N for "PhysicalDriveN" or "\\\\.\\PhysicalDriveN" (any case), else -1.
int driveIndexOf(std::string_view text) {
    constexpr std::string_view prefix = "\\\\.\\";
    if (text.substr(0, prefix.size()) == prefix) text.remove_prefix(prefix.size());
    constexpr std::string_view name = "physicaldrive";
    if (text.size() != name.size() + 1) return -1;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != name[i]) return -1;
    const char digit = text.back();
    return digit >= '0' && digit <= '9' ? digit - '0' : -1;
}

}  // namespace

Inventory RefreshDisks(const std::vector<std::string>& imagePaths, const std::string& configDir) {
    Inventory inv;
    inv.disks = disk::EnumerateDisks(imagePaths, inv.errors);
    disk::RegistryStore store(configDir.empty() ? disk::RegistryStore::defaultConfigDir() : configDir);
    std::string error;
    if (!store.rebuild(inv.disks, error)) inv.storeWarning = "could not record the disks found: " + error;
    return inv;
}

int selectSource(const std::string& source, Inventory& inventory, std::string& error) {
    if (const int index = driveIndexOf(source); index >= 0) {
        if (index >= static_cast<int>(inventory.disks.size())) {
            error = source + ": no such disk (" + std::to_string(inventory.disks.size()) + " disks found)";
            return -1;
        }
        return index;
    }
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        error = "cannot open the source " + source + ": " + std::strerror(errno);
        return -1;
    }
    std::error_code ec;
    const fs::path wanted = fs::canonical(source, ec);
    for (const auto& d : inventory.disks) {
        std::error_code ec2;
        if (!ec && fs::canonical(d.path, ec2) == wanted && !ec2) return d.Index;
    }
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) {
        if (inventory.disks.size() >= static_cast<std::size_t>(disk::kMaxDisks)) {
            error = source + ": no disk index left (at most 10 disks)";
            return -1;
        }
        disk::DiskInfo d;
        if (!disk::describeImage(source, d, error)) return -1;
        if (S_ISBLK(st.st_mode)) d.Model = fs::path(source).filename().string();
        d.Index = static_cast<int>(inventory.disks.size());
        inventory.disks.push_back(std::move(d));
        return inventory.disks.back().Index;
    }
    error = source + ": not a disk image or block device";
    return -1;
}

void attachDisks(const Inventory& inventory, disk::SectorReader& reader) {
    for (const auto& d : inventory.disks) reader.attachPath(d.Index, d.path);
}

}  // namespace qvx::engine
