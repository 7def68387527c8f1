#include "recover/destination_guard.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace qvx::recover {

namespace fs = std::filesystem;

namespace {

// Stacks of devices are shallow (partition, crypt, LVM, md); this bounds a
// sysfs that links in a circle.
constexpr int kMaxDepth = 8;
constexpr int kMaxEntries = 4096;

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (in) std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

fs::path deviceDir(const std::string& sysfs, const std::string& device) {
    return fs::path(sysfs) / "dev" / "block" / device;
}

/// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescapeMount(const std::string& text) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 4 <= text.size() &&
            octal(text[i + 1]) && octal(text[i + 2]) && octal(text[i + 3])) {
            out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0')));
            i += 3;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

bool pathHasPrefix(const std::string& path, const std::string& prefix) {
    if (prefix == "/") return true;
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

/// The nearest existing ancestor of path (itself if it exists), resolved.
fs::path existingAncestor(const fs::path& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    for (int i = 0; i < 4096 && !p.empty(); ++i) {
        if (fs::exists(p, ec)) {
            fs::path resolved = fs::canonical(p, ec);
            return ec ? p : resolved;
        }
        if (p == p.parent_path()) break;
        p = p.parent_path();
    }
    return fs::path("/");
}

void collectOnTop(const std::string& sysfs, const fs::path& dir, std::set<std::string>& out, int depth) {
    if (depth > kMaxDepth || static_cast<int>(out.size()) > kMaxEntries) return;
    std::error_code ec;
    const std::string dev = readFirstLine(dir / "dev");
    if (!dev.empty()) out.insert(dev);
    // Partitions are sub-folders holding a "partition" file.
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (it->is_directory(ec2) && !it->is_symlink(ec2) && fs::exists(it->path() / "partition", ec2))
            collectOnTop(sysfs, it->path(), out, depth + 1);
    }
    for (fs::directory_iterator it(dir / "holders", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        const fs::path target = fs::canonical(it->path(), ec2);
        collectOnTop(sysfs, ec2 ? it->path() : target, out, depth + 1);
    }
}

void collectBeneath(const fs::path& dir, std::set<std::string>& out, int depth) {
    if (depth > kMaxDepth || static_cast<int>(out.size()) > kMaxEntries) return;
    std::error_code ec;
    for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        const fs::path target = fs::canonical(it->path(), ec2);
        const fs::path slave = ec2 ? it->path() : target;
        const std::string dev = readFirstLine(slave / "dev");
        if (!dev.empty()) out.insert(dev);
        collectBeneath(slave, out, depth + 1);
        // A partition's whole disk is not "beneath" it: writing to the
        // partition changes the disk, which the source set covers by
        // listing the disk's partitions.
    }
}

}  // namespace

std::string deviceText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::set<std::string> devicesOnTop(const std::string& sysfs, const std::string& device) {
    std::set<std::string> out{device};
    collectOnTop(sysfs, deviceDir(sysfs, device), out, 0);
    return out;
}

std::set<std::string> devicesBeneath(const std::string& sysfs, const std::string& device) {
    std::set<std::string> out{device};
    collectBeneath(deviceDir(sysfs, device), out, 0);
    return out;
}

bool findMountOf(const std::string& mountInfoText, const std::string& path, MountEntry& out) {
    std::istringstream in(mountInfoText);
    std::string line;
    bool found = false;
    std::size_t best = 0;
    int lines = 0;
    while (std::getline(in, line) && ++lines < 100000) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string word;
        while (fields >> word && f.size() < 64) f.push_back(word);
        if (f.size() < 7) continue;
        std::size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        const std::string mountPoint = unescapeMount(f[4]);
        if (!pathHasPrefix(path, mountPoint)) continue;
        // Later lines over the same mount point hide earlier ones.
        if (!found || mountPoint.size() >= best) {
            found = true;
            best = mountPoint.size();
            out.device = f[2];
            out.mountPoint = mountPoint;
            out.source = dash + 2 < f.size() ? unescapeMount(f[dash + 2]) : std::string();
        }
    }
    return found;
}

SourceIdentity::SourceIdentity(const std::string& sourcePath, const SystemPaths& paths) {
    struct stat st {};
    if (::stat(sourcePath.c_str(), &st) != 0) return;
    m_valid = true;
    if (S_ISBLK(st.st_mode)) {
        m_devices = devicesOnTop(paths.sysfs, deviceText(st.st_rdev));
        return;
    }
    m_image = true;
    m_fileDevice = st.st_dev;
    m_fileInode = st.st_ino;
    // A loop device backed by the image writes into it.
    std::error_code ec;
    std::string resolved = fs::canonical(sourcePath, ec).string();
    if (ec) resolved = sourcePath;
    int seen = 0;
    for (fs::directory_iterator it(fs::path(paths.sysfs) / "block", ec), end; !ec && it != end && ++seen < kMaxEntries;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("loop", 0) != 0) continue;
        const std::string backing = readFirstLine(it->path() / "loop" / "backing_file");
        if (backing.empty() || backing != resolved) continue;
        const std::string dev = readFirstLine(it->path() / "dev");
        if (dev.empty()) continue;
        const auto onTop = devicesOnTop(paths.sysfs, dev);
        m_devices.insert(onTop.begin(), onTop.end());
    }
}

bool SourceIdentity::isSourceFile(dev_t device, ino_t inode) const {
    return m_image && m_valid && device == m_fileDevice && inode == m_fileInode;
}

bool SourceIdentity::isSourceFile(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return isSourceFile(st.st_dev, st.st_ino);
}

GuardResult checkDestination(const std::string& destination, const SourceIdentity& source, const SystemPaths& paths) {
    GuardResult result;
    const fs::path where = existingAncestor(destination);
    if (source.isSourceFile(where.string())) {
        result.allowed = false;
        result.message = "The destination is the source image itself; choose a folder.";
        return result;
    }
    if (source.devices().empty()) return result;

    // Devices the destination's file system lives on.
    std::set<std::string> destDevices;
    struct stat st {};
    if (::stat(where.c_str(), &st) == 0) destDevices.insert(deviceText(st.st_dev));
    std::string mountInfo;
    {
        std::ifstream in(paths.mountInfo);
        std::ostringstream text;
        text << in.rdbuf();
        mountInfo = text.str();
    }
    MountEntry mount;
    if (findMountOf(mountInfo, where.string(), mount)) {
        destDevices.insert(mount.device);
        struct stat src {};
        if (!mount.source.empty() && mount.source[0] == '/' && ::stat(mount.source.c_str(), &src) == 0 &&
            S_ISBLK(src.st_mode))
            destDevices.insert(deviceText(src.st_rdev));
    }
    std::set<std::string> all;
    for (const std::string& d : destDevices) {
        const auto beneath = devicesBeneath(paths.sysfs, d);
        all.insert(beneath.begin(), beneath.end());
    }
    for (const std::string& d : all) {
        if (source.devices().count(d) != 0) {
            result.allowed = false;
            result.message = "The destination folder " + where.string() + " is on the disk being recovered (device " +
                             d + (mount.mountPoint.empty() ? std::string() : ", mounted at " + mount.mountPoint) +
                             "). Writing there could overwrite the files being recovered; choose a folder on another disk.";
            return result;
        }
    }
    return result;
}

}  // namespace qvx::recover
