#pragma once
// Recovered files must never land on the disk they are recovered from: each
// write could overwrite the very clusters still to be read. Before a
// recovery the destination folder is checked against the source: a block
// device, its partitions and anything built on them (device-mapper, md), or,
// for an image file, the loop devices that expose it. The file system of
// the destination is found from /proc/self/mountinfo and the device
// relations from sysfs.

#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>

namespace qvx::recover {

/// Where the guard looks; tests point these at prepared copies.
struct SystemPaths {
    std::string mountInfo = "/proc/self/mountinfo";
    std::string sysfs = "/sys";
};

struct GuardResult {
    bool allowed = true;
    std::string message;  // why the destination was refused
};

/// A device number as "major:minor".
std::string deviceText(dev_t device);

/// The source as the recovery sees it: its block devices, or the image's
/// identity.
class SourceIdentity {
public:
    /// sourcePath is the device or image the sectors are read from.
    SourceIdentity(const std::string& sourcePath, const SystemPaths& paths = {});

    /// A source known only by its device numbers (tests, callers that
    /// resolved the device themselves).
    static SourceIdentity forDevices(std::set<std::string> devices) {
        SourceIdentity id;
        id.m_devices = std::move(devices);
        return id;
    }

    bool isImage() const { return m_image; }
    /// Every "major:minor" whose writes change the source.
    const std::set<std::string>& devices() const { return m_devices; }
    /// True when the path names the source image itself (same inode).
    bool isSourceFile(const std::string& path) const;
    bool isSourceFile(dev_t device, ino_t inode) const;

private:
    SourceIdentity() = default;
    bool m_image = false;
    bool m_valid = false;
    dev_t m_fileDevice = 0;
    ino_t m_fileInode = 0;
    std::set<std::string> m_devices;
};

/// Checks the destination folder (it may not exist yet: its nearest
/// existing ancestor is checked).
GuardResult checkDestination(const std::string& destination, const SourceIdentity& source,
                             const SystemPaths& paths = {});

/// Parsing helpers, exposed for tests.
struct MountEntry {
    std::string device;      // "major:minor"
    std::string mountPoint;  // unescaped
    std::string source;      // e.g. /dev/sda1
};
/// The mount whose mount point is the longest prefix of path (an absolute,
/// resolved path); found is false when no line parses.
bool findMountOf(const std::string& mountInfoText, const std::string& path, MountEntry& out);

/// "major:minor" of every partition of the device and of every device
/// stacked on it or on its partitions (holders), bounded in depth.
std::set<std::string> devicesOnTop(const std::string& sysfs, const std::string& device);
/// The device and every device it is built from (slaves), recursively.
std::set<std::string> devicesBeneath(const std::string& sysfs, const std::string& device);

}  // namespace qvx::recover
