#include "disk/inventory.h"
#include "disk/sector_size.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "disk/sector_reader.h"

namespace qvx::disk {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kTrackSectors = 63;
constexpr std::uint32_t kHeads = 255;
constexpr std::uint32_t kCylinderSectors = kTrackSectors * kHeads;  // 16065

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::string readText(const fs::path& p) {
    std::ifstream in(p);
    if (!in) return {};
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return trim(s);
}

std::string hostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

void setGeometry(DiskInfo& d) {
    d.TotalHeads = kHeads;
    d.SectorsPerTrack = kTrackSectors;
    d.BytesPerSector = kSectorSize;
    const std::uint64_t cylinders = d.TotalSectors / kCylinderSectors;
    d.TotalCylinders = cylinders > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(cylinders);
}

/// The bus a disk hangs on, from its place in the sysfs device tree
/// (devicePath is the canonical /sys/devices/... path of the block device).
/// A USB bridge carries a SCSI host below it, so USB is looked for first;
/// virtio covers both virtio-blk and virtio-scsi.
std::string interfaceOf(const std::string& devicePath, const std::string& name) {
    auto has = [&](const char* part) { return devicePath.find(part) != std::string::npos; };
    if (has("/usb")) return "USB";
    if (has("/nvme") || name.rfind("nvme", 0) == 0) return "NVMe";
    if (has("/virtio")) return "virtio";
    if (has("/mmc_host/") || name.rfind("mmcblk", 0) == 0) return "MMC";
    if (has("/devices/virtual/")) return name.rfind("loop", 0) == 0 ? "Loop" : "Virtual";
    return "SATA/SCSI";
}

}  // namespace

std::string diskNodeText(const DiskInfo& disk) {
    const std::string suffix = " (Disk" + std::to_string(disk.Index) + ")";
    if (disk.MediaType.find("Removable media other than") != std::string::npos) return "Removable Media" + suffix;
    return disk.MediaType + suffix;
}

std::int64_t capacityMegabytes(const DiskInfo& disk) {
    const std::int64_t cylinderBytes = static_cast<std::int64_t>(disk.TotalCylinders) * disk.BytesPerSector;
    const double bytes = static_cast<double>(cylinderBytes) * disk.SectorsPerTrack * disk.TotalHeads;
    return static_cast<std::int64_t>(bytes / 1048576.0);
}

DiskDetails describeDisk(const DiskInfo& d) {
    DiskDetails out;
    out.DiskModelText = d.Model;
    out.DiskTotalSectors = d.TotalSectors;
    out.DiskCylindersText = std::to_string(d.TotalCylinders);
    out.DiskHeadsText = std::to_string(d.TotalHeads);
    out.DiskSectorsPerTrackText = std::to_string(d.SectorsPerTrack);
    out.capacityMb = capacityMegabytes(d);
    out.DiskCapacityText = std::to_string(out.capacityMb) + " MB";
    out.DiskTotalSectorsText = std::to_string(d.TotalSectors);
    out.rows = {
        {"1. Model :", d.Model},
        {"2. MediaType :", d.MediaType},
        {"3. Interface Type :", d.InterfaceType},
        {"4. Capacity(size) :", out.DiskCapacityText},
        {"5. Cylinders :", out.DiskCylindersText},
        {"6. Heads :", out.DiskHeadsText},
        {"7. Sectors :", out.DiskTotalSectorsText},
        {"8. Bytes per Sector :", std::to_string(d.BytesPerSector)},
        {"9. Sector per Track :", out.DiskSectorsPerTrackText},
        {"10. Firmware Revision ID :", d.FirmwareRevision},
        {"11. PNP Device ID :", d.PNPDeviceID},
        {"12. Serial Number :", d.SerialNumber},
        {"13. System Name :", d.SystemName},
        {"14. Physical Device ID :", d.DeviceID},
    };
    // A disk of larger logical sectors is described in them, as its
    // partition table counts; the engine's counts stay 512-byte.
    if (d.logicalSectorSize > kSectorSize && d.logicalSectorSize % kSectorSize == 0) {
        out.rows[6].second = std::to_string(d.TotalSectors / (d.logicalSectorSize / kSectorSize));
        out.rows[7].second = std::to_string(d.logicalSectorSize);
    }
    if (!d.containerType.empty()) {
        out.containerRows.emplace_back("Container :", d.containerType);
        if (d.containerFiles.size() > 1)
            out.containerRows.emplace_back("Container Files :", std::to_string(d.containerFiles.size()));
        if (d.logicalSectorSize != kSectorSize)
            out.containerRows.emplace_back("Logical Sector Size :", std::to_string(d.logicalSectorSize));
        for (const auto& [label, value] : d.acquisitionNotes) out.containerRows.emplace_back(label + " :", value);
        if (!d.storedMd5.empty()) out.containerRows.emplace_back("Stored MD5 :", d.storedMd5);
        if (!d.storedSha1.empty()) out.containerRows.emplace_back("Stored SHA1 :", d.storedSha1);
    }
    return out;
}

bool describeImage(const std::string& path, DiskInfo& out, std::string& error) {
    auto dev = openFileDevice(path, error);
    if (!dev) return false;
    out.path = path;
    out.isImage = true;
    out.Model = "Disk Image " + fs::path(path).filename().string();
    out.MediaType = "Fixed hard disk media";
    out.InterfaceType = "File";
    out.TotalSectors = dev->sizeBytes() / kSectorSize;
    setGeometry(out);
    ContainerInfo container = dev->containerInfo();
    out.containerType = container.type;
    out.containerFiles = std::move(container.files);
    out.acquisitionNotes = std::move(container.notes);
    out.storedMd5 = container.storedMd5;
    out.storedSha1 = container.storedSha1;
    out.logicalSectorSize = detectLogicalSectorSize(*dev);
    out.PNPDeviceID = fs::absolute(path).lexically_normal().string();
    out.SystemName = hostName();
    out.DeviceID = path;
    return true;
}

std::vector<DiskInfo> listBlockDevices(const std::string& sysfsRoot, const std::string& devRoot) {
    std::vector<DiskInfo> disks;
    std::error_code ec;
    const fs::path blockDir = fs::path(sysfsRoot) / "block";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(blockDir, ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    const std::string host = hostName();
    for (const auto& name : names) {
        if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
        const fs::path dir = blockDir / name;
        if (name.rfind("loop", 0) == 0 && readText(dir / "loop" / "backing_file").empty()) continue;
        const std::string sizeText = readText(dir / "size");
        if (sizeText.empty()) continue;
        DiskInfo d;
        d.path = (fs::path(devRoot) / name).string();
        d.TotalSectors = std::strtoull(sizeText.c_str(), nullptr, 10);
        if (d.TotalSectors == 0) continue;
        // sysfs counts 512-byte sectors; the logical size is the device's own.
        const unsigned long logical = std::strtoul(readText(dir / "queue" / "logical_block_size").c_str(), nullptr, 10);
        if (validLogicalSectorSize(logical) != 0) d.logicalSectorSize = static_cast<std::uint32_t>(logical);
        std::string model = readText(dir / "device" / "model");
        const std::string vendor = readText(dir / "device" / "vendor");
        if (model.empty()) model = name;
        d.Model = vendor.empty() || vendor == "ATA" || vendor.rfind("0x", 0) == 0 ? model : vendor + " " + model;
        d.MediaType = readText(dir / "removable") == "1" ? "Removable media other than floppy" : "Fixed hard disk media";
        const std::string devicePath = fs::canonical(dir, ec).string();
        d.InterfaceType = interfaceOf(devicePath, name);
        setGeometry(d);
        d.FirmwareRevision = readText(dir / "device" / "rev");
        if (d.FirmwareRevision.empty()) d.FirmwareRevision = readText(dir / "device" / "firmware_rev");
        d.SerialNumber = readText(dir / "device" / "serial");
        d.PNPDeviceID = devicePath;
        d.SystemName = host;
        d.DeviceID = d.path;
        disks.push_back(std::move(d));
    }
    return disks;
}

std::vector<DiskInfo> EnumerateDisks(const std::vector<std::string>& imagePaths, std::vector<std::string>& errors,
                                     const std::string& sysfsRoot) {
    std::vector<DiskInfo> disks = listBlockDevices(sysfsRoot);
    if (disks.size() > static_cast<std::size_t>(kMaxDisks)) disks.resize(kMaxDisks);
    for (const auto& path : imagePaths) {
        if (disks.size() >= static_cast<std::size_t>(kMaxDisks)) {
            errors.push_back(path + ": no disk index left (at most " + std::to_string(kMaxDisks) + " disks)");
            continue;
        }
        DiskInfo d;
        std::string error;
        if (!describeImage(path, d, error)) {
            errors.push_back(error);
            continue;
        }
        disks.push_back(std::move(d));
    }
    for (std::size_t i = 0; i < disks.size(); ++i) disks[i].Index = static_cast<int>(i);
    return disks;
}

std::vector<DiskInfo> sortedByNodeText(std::vector<DiskInfo> disks) {
    std::stable_sort(disks.begin(), disks.end(),
                     [](const DiskInfo& a, const DiskInfo& b) { return diskNodeText(a) < diskNodeText(b); });
    return disks;
}

}  // namespace qvx::disk
