#pragma once
// The disks of the machine (block devices from sysfs) plus disk-image files
// the user names, up to ten, with the details shown for the selected one.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qvx::disk {

/// What the disk-information service would tell about one disk.
struct DiskInfo {
    int Index = 0;
    std::string path;            // block device or image file
    bool isImage = false;
    std::string Model;
    std::string MediaType;       // "Fixed hard disk media", "Removable media other than floppy"
    std::string InterfaceType;
    std::uint64_t TotalSectors = 0;
    std::uint32_t TotalCylinders = 0;
    std::uint32_t TotalHeads = 255;
    std::uint32_t SectorsPerTrack = 63;
    std::uint32_t BytesPerSector = 512;
    std::string FirmwareRevision;
    std::string PNPDeviceID;
    std::string SerialNumber;
    std::string SystemName;
    std::string DeviceID;
    /// For an image file: what holds the media ("Raw", "Split raw", "E01",
    /// "VMDK", "VHD", "VHDX", "qcow2" ...), the files read, and what the
    /// acquisition stored with it. Empty for a block device.
    std::string containerType;
    std::vector<std::string> containerFiles;
    std::vector<std::pair<std::string, std::string>> acquisitionNotes;
    std::string storedMd5;
    std::string storedSha1;
    std::uint32_t logicalSectorSize = 512;  // as the device or container declares it
};

/// Values kept for the disk last shown in detail.
struct DiskDetails {
    std::string DiskModelText;
    std::uint64_t DiskTotalSectors = 0;
    std::string DiskCylindersText;
    std::string DiskHeadsText;
    std::string DiskSectorsPerTrackText;
    std::string DiskCapacityText;     // "%ld MB"
    std::string DiskTotalSectorsText;
    std::int64_t capacityMb = 0;
    std::vector<std::pair<std::string, std::string>> rows;  // the fourteen labelled rows
    /// Rows after the fourteen, for an image: container type, segment or
    /// extent count, acquisition notes, stored hashes.
    std::vector<std::pair<std::string, std::string>> containerRows;
};

/// Device-tree node text: MediaType + " (Disk" + Index + ")", or
/// "Removable Media (DiskN)" for removable media.
std::string diskNodeText(const DiskInfo& disk);

/// Geometric capacity in MB: cylinders x bytes per sector x sectors per
/// track x heads / 1048576, truncated.
std::int64_t capacityMegabytes(const DiskInfo& disk);

DiskDetails describeDisk(const DiskInfo& disk);

/// Describes a disk-image file (model "Disk Image " + base name, fixed
/// media, 255 heads, 63 sectors per track); the size is that of the media
/// inside a container, not of the file. False with a reason if it cannot be
/// opened.
bool describeImage(const std::string& path, DiskInfo& out, std::string& error);

/// Block devices listed under sysfsRoot/block, skipping ram, zram and loop
/// devices without a backing file, sorted by name.
std::vector<DiskInfo> listBlockDevices(const std::string& sysfsRoot = "/sys", const std::string& devRoot = "/dev");

/// The disks in index order: block devices first, then the images, at most
/// ten. Images that cannot be opened or do not fit are reported in errors.
std::vector<DiskInfo> EnumerateDisks(const std::vector<std::string>& imagePaths, std::vector<std::string>& errors,
                                     const std::string& sysfsRoot = "/sys");

/// Sorts disks by node text, as the device tree shows them.
std::vector<DiskInfo> sortedByNodeText(std::vector<DiskInfo> disks);

}  // namespace qvx::disk
