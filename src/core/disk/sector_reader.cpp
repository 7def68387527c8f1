#include "disk/sector_reader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cerrno>
#include <cstring>

#include "disk/containers.h"
#include "disk/sector_size.h"
#include "disk/split_raw.h"

namespace qvx::disk {

const std::array<std::string, kMaxDisks> PhysicalDriveNames = {
    "\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2", "\\\\.\\PhysicalDrive3",
    "\\\\.\\PhysicalDrive4", "\\\\.\\PhysicalDrive5", "\\\\.\\PhysicalDrive6", "\\\\.\\PhysicalDrive7",
    "\\\\.\\PhysicalDrive8", "\\\\.\\PhysicalDrive9",
};

int diskIndexOfDeviceName(std::string_view deviceName) {
    // The reader copies at most 20 characters of the name.
    if (deviceName.size() > 20) deviceName = deviceName.substr(0, 20);
    for (int i = 0; i < kMaxDisks; ++i)
        if (deviceName == PhysicalDriveNames[static_cast<std::size_t>(i)]) return i;
    return -1;
}

MappedBytes::~MappedBytes() {
    if (m_base != nullptr) ::munmap(m_base, m_baseSize);
}

MappedBytes& MappedBytes::operator=(MappedBytes&& other) noexcept {
    if (this != &other) {
        if (m_base != nullptr) ::munmap(m_base, m_baseSize);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_base = std::exchange(other.m_base, nullptr);
        m_baseSize = std::exchange(other.m_baseSize, 0);
    }
    return *this;
}

namespace {

// The guarded section of this thread, if one runs. A plain pointer: the
// signal handler may read nothing that needs construction.
thread_local sigjmp_buf* t_guard = nullptr;
struct sigaction g_previousBusAction {};

void onBusError(int signal, siginfo_t* info, void* context) {
    if (sigjmp_buf* guard = t_guard) {
        t_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Not a guarded read: whatever handled SIGBUS before, else the default
    // action when the faulting instruction runs again.
    const struct sigaction& previous = g_previousBusAction;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);
}

}  // namespace

bool runGuarded(void (*fn)(void*), void* context) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        // SIGBUS stays unblocked in the handler, so leaving it by siglongjmp
        // needs no saved signal mask.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previousBusAction);
    });
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0) return false;
    t_guard = &guard;
    fn(context);
    t_guard = nullptr;
    return true;
}

namespace {

class FileDevice : public BlockDevice {
public:
    FileDevice(int fd, std::uint64_t size, std::uint32_t sectorSize, bool declared, std::string path)
        : m_fd(fd), m_size(size), m_sectorSize(sectorSize), m_declared(declared), m_path(std::move(path)) {}
    ~FileDevice() override { ::close(m_fd); }
    FileDevice(const FileDevice&) = delete;
    FileDevice& operator=(const FileDevice&) = delete;

    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override {
        std::size_t done = 0;
        while (done < length) {
            ssize_t n = ::pread(m_fd, out + done, length - done, static_cast<off_t>(byteOffset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (n == 0) return false;  // past the end
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::uint64_t sizeBytes() const override { return m_size; }
    std::uint32_t logicalSectorSize() const override { return m_sectorSize; }
    bool sectorSizeDeclared() const override { return m_declared; }
    ContainerInfo containerInfo() const override {
        ContainerInfo info;
        info.files.push_back(m_path);
        return info;
    }
    MappedBytes map(std::uint64_t byteOffset, std::size_t length) override {
        // Only image files (m_declared: the kernel gave a block device's
        // sector size): a failing device would fault on nearly every bad
        // sector, and a device is read at disk speed anyway.
        if (m_declared || length == 0 || byteOffset > m_size || length > m_size - byteOffset) return {};
        static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t start = byteOffset / page * page;
        const std::size_t lead = static_cast<std::size_t>(byteOffset - start);
        const std::size_t span = lead + length;
        void* base = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, m_fd, static_cast<off_t>(start));
        if (base == MAP_FAILED) return {};
        // Bring the pages in now, where an unreadable one is an error code
        // and not a fault. A kernel without the request (EINVAL) leaves the
        // pages to be brought in as they are read.
        if (::madvise(base, span, MADV_POPULATE_READ) != 0 && errno != EINVAL) {
            ::munmap(base, span);
            return {};
        }
        return MappedBytes(static_cast<const std::uint8_t*>(base) + lead, length, base, span);
    }

private:
    int m_fd;
    std::uint64_t m_size;
    std::uint32_t m_sectorSize;
    bool m_declared;
    std::string m_path;
};

/// Reads up to size bytes at offset; the count read.
std::size_t readSome(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

std::unique_ptr<BlockDevice> openFileDevice(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + " for reading: " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::uint64_t size = 0;
    std::uint32_t sectorSize = kSectorSize;
    const bool blockDevice = S_ISBLK(st.st_mode);
    if (blockDevice) {
        unsigned long long bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
        int logical = 0;
        // The kernel knows the logical sector size of a device; the tables
        // on it count in that unit.
        if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical >= 512 && logical <= 65536) sectorSize = static_cast<std::uint32_t>(logical);
    } else if (S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
        // A container is known by its signature, whatever the file is called.
        std::uint8_t head[512] = {};
        std::uint8_t tail[512] = {};
        const std::size_t headSize = readSome(fd, 0, head, sizeof head);
        const std::size_t tailSize = size >= 1024 ? readSome(fd, size - 512, tail, sizeof tail) : 0;
        const ContainerKind kind = recogniseContainer(head, headSize, tail, tailSize);
        if (kind != ContainerKind::None) {
            ::close(fd);
            return openContainer(path, kind, error);
        }
        std::string seriesError;
        const std::vector<std::string> segments = splitRawSegments(path, seriesError);
        if (!seriesError.empty()) {
            error = seriesError;
            ::close(fd);
            return nullptr;
        }
        if (!segments.empty()) {
            ::close(fd);
            return openSplitRaw(segments, error);
        }
    } else {
        error = path + ": not a disk image or block device";
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileDevice>(fd, size, sectorSize, blockDevice, path);
}

bool MemoryDevice::readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) {
    ++readCalls;
    bool ok = true;
    for (std::uint64_t sector = byteOffset / kSectorSize; sector * kSectorSize < byteOffset + length; ++sector)
        if (badSectors.count(sector)) ok = false;
    // Copy what exists so a failed read behaves like a partial one.
    if (byteOffset < m_data.size()) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_data.size() - byteOffset));
        if (ok) std::memcpy(out, m_data.data() + byteOffset, n);
        if (n < length) ok = false;
    } else {
        ok = false;
    }
    return ok;
}

MappedBytes MemoryDevice::map(std::uint64_t byteOffset, std::size_t length) {
    if (!mappable || byteOffset > m_data.size() || length > m_data.size() - byteOffset) return {};
    for (std::uint64_t sector = byteOffset / kSectorSize; sector * kSectorSize < byteOffset + length; ++sector)
        if (badSectors.count(sector)) return {};
    return MappedBytes(m_data.data() + byteOffset, length, nullptr, 0);
}

void SectorReader::attachPath(int diskIndex, std::string path) {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) return;
    std::lock_guard lock(m_mutex);
    m_paths[static_cast<std::size_t>(diskIndex)] = std::move(path);
    m_devices[static_cast<std::size_t>(diskIndex)].reset();
    m_sectorSizes[static_cast<std::size_t>(diskIndex)] = 0;
}

void SectorReader::attachDevice(int diskIndex, std::shared_ptr<BlockDevice> dev) {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) return;
    std::lock_guard lock(m_mutex);
    m_paths[static_cast<std::size_t>(diskIndex)] = "<memory>";
    m_devices[static_cast<std::size_t>(diskIndex)] = std::move(dev);
    m_sectorSizes[static_cast<std::size_t>(diskIndex)] = 0;
}

void SectorReader::detach(int diskIndex) {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) return;
    std::lock_guard lock(m_mutex);
    m_paths[static_cast<std::size_t>(diskIndex)].clear();
    m_devices[static_cast<std::size_t>(diskIndex)].reset();
    m_sectorSizes[static_cast<std::size_t>(diskIndex)] = 0;
}

std::string SectorReader::backingPath(int diskIndex) const {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) return {};
    std::lock_guard lock(m_mutex);
    return m_paths[static_cast<std::size_t>(diskIndex)];
}

bool SectorReader::open(int diskIndex, std::string& error) {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) {
        error = "no such disk";
        return false;
    }
    std::lock_guard lock(m_mutex);
    auto& slot = m_devices[static_cast<std::size_t>(diskIndex)];
    if (slot) return true;
    const std::string& path = m_paths[static_cast<std::size_t>(diskIndex)];
    if (path.empty()) {
        error = "no disk attached as " + PhysicalDriveNames[static_cast<std::size_t>(diskIndex)];
        return false;
    }
    slot = openFileDevice(path, error);
    return slot != nullptr;
}

std::shared_ptr<BlockDevice> SectorReader::device(int diskIndex) {
    std::string error;
    if (!open(diskIndex, error)) return nullptr;
    std::lock_guard lock(m_mutex);
    return m_devices[static_cast<std::size_t>(diskIndex)];
}

std::uint64_t SectorReader::totalSectors(int diskIndex) {
    auto dev = device(diskIndex);
    return dev ? dev->sizeBytes() / kSectorSize : 0;
}

std::uint32_t SectorReader::logicalSectorSize(int diskIndex) {
    if (diskIndex < 0 || diskIndex >= kMaxDisks) return kSectorSize;
    {
        std::lock_guard lock(m_mutex);
        if (const std::uint32_t known = m_sectorSizes[static_cast<std::size_t>(diskIndex)]) return known;
    }
    auto dev = device(diskIndex);
    if (!dev) return kSectorSize;
    const std::uint32_t size = detectLogicalSectorSize(*dev);
    std::lock_guard lock(m_mutex);
    m_sectorSizes[static_cast<std::size_t>(diskIndex)] = size;
    return size;
}

void SectorReader::setReadFailureHook(ReadFailureHook hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

int SectorReader::ReadSectors(std::string_view deviceName, std::uint64_t lba, std::uint32_t count, void* buffer) {
    return ReadSectors(diskIndexOfDeviceName(deviceName), lba, count, buffer);
}

MappedBytes SectorReader::mapSectors(int diskIndex, std::uint64_t lba, std::uint32_t count) {
    if (count == 0 || lba > (UINT64_MAX >> 9) - count) return {};
    auto dev = device(diskIndex);
    if (!dev) return {};
    return dev->map(lba << 9, static_cast<std::size_t>(count) << 9);
}

int SectorReader::ReadSectors(int diskIndex, std::uint64_t lba, std::uint32_t count, void* buffer) {
    if (count == 0 || buffer == nullptr) return 0;
    auto dev = device(diskIndex);
    if (!dev) return 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    // An LBA whose byte offset does not fit in 64 bits cannot be read at all.
    if (lba > (UINT64_MAX >> 9) - count) return 0;
    const std::size_t bytes = static_cast<std::size_t>(count) << 9;
    if (dev->readAt(lba << 9, bytes, out)) return 1;

    ReadFailureHook hook;
    {
        std::lock_guard lock(m_mutex);
        hook = m_hook;
    }
    if (hook) hook();
    // Sector-by-sector retry into a scratch sector so an unreadable sector
    // keeps whatever the caller's buffer held there.
    // Sectors past the end of the device cannot be read: they are not
    // retried (a range claiming 2^32 sectors on a small image would
    // otherwise be re-read one by one).
    const std::uint64_t deviceSectors = dev->sizeBytes() / kSectorSize;
    std::uint8_t sector[kSectorSize];
    for (std::uint64_t i = 0; i < count; ++i) {
        if (deviceSectors > 0 && lba + i >= deviceSectors) break;
        if (dev->readAt((lba + i) << 9, kSectorSize, sector))
            std::memcpy(out + (i << 9), sector, kSectorSize);
    }
    return 0;
}

}  // namespace qvx::disk
