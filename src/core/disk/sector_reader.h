#pragma once
// The one way the engine touches a disk: whole 512-byte sectors addressed by
// a 64-bit LBA, read-only. Disks are named by the ten "\\.\PhysicalDriveN"
// device names; each index maps to a backing block device or image file that
// is opened O_RDONLY once and kept open.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvx::disk {

inline constexpr std::uint32_t kSectorSize = 512;
inline constexpr int kMaxDisks = 10;

/// "\\.\PhysicalDrive0" .. "\\.\PhysicalDrive9"; the disk digit is character 17.
extern const std::array<std::string, kMaxDisks> PhysicalDriveNames;

/// Disk index named by a device name (its character 17), or -1.
int diskIndexOfDeviceName(std::string_view deviceName);

/// What holds the disk's bytes: a plain file or device, or an image
/// container whose media is decoded on the fly.
struct ContainerInfo {
    std::string type = "Raw";                 // "Raw", "Split raw", "E01", "VMDK", "VHD", "VHDX", "qcow", "qcow2"
    std::vector<std::string> files;           // every file read for the media (segments, extents)
    /// Values the acquisition stored with the media (E01 header: case
    /// number, examiner, notes, dates ...), labelled, in stored order.
    std::vector<std::pair<std::string, std::string>> notes;
    std::string storedMd5;                    // lower-case hex as stored, empty when none
    std::string storedSha1;
};

/// Bytes of a disk mapped read-only into memory, unmapped when the object
/// goes. A plain image file in the page cache is looked at this way without
/// copying it; a read of mapped bytes must go through runGuarded, because a
/// file that shrinks or whose storage fails under the mapping raises SIGBUS
/// instead of returning an error.
class MappedBytes {
public:
    MappedBytes() = default;
    /// data..data+size lie in the mapping base..base+baseSize, which is
    /// unmapped on destruction (nothing to unmap when base is null).
    MappedBytes(const std::uint8_t* data, std::size_t size, void* base, std::size_t baseSize)
        : m_data(data), m_size(size), m_base(base), m_baseSize(baseSize) {}
    ~MappedBytes();
    MappedBytes(MappedBytes&& other) noexcept { *this = std::move(other); }
    MappedBytes& operator=(MappedBytes&& other) noexcept;
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;

    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    explicit operator bool() const { return m_data != nullptr; }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    void* m_base = nullptr;
    std::size_t m_baseSize = 0;
};

/// Runs fn(context) with a fault in mapped bytes caught: false when one hit,
/// fn then abandoned where it stood. fn must hold nothing that needs
/// destroying or releasing (no allocation, no lock, no object with a
/// destructor): it only reads mapped bytes into memory its caller owns.
bool runGuarded(void (*fn)(void*), void* context);

/// Something that can be read at byte offsets: a block device, an image file,
/// an image container, or memory in tests. readAt may be called from several
/// threads at once.
class BlockDevice {
public:
    virtual ~BlockDevice() = default;
    /// Reads exactly length bytes at byteOffset into out; false if any byte
    /// could not be read (out may then hold part of the data).
    virtual bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) = 0;
    virtual std::uint64_t sizeBytes() const = 0;
    /// Bytes per logical sector of the media as the device or container
    /// declares it. The reader's view stays in 512-byte units either way.
    virtual std::uint32_t logicalSectorSize() const { return kSectorSize; }
    /// True when logicalSectorSize comes from the kernel or the container's
    /// metadata rather than being the default.
    virtual bool sectorSizeDeclared() const { return false; }
    virtual ContainerInfo containerInfo() const { return {}; }
    /// length bytes at byteOffset mapped read-only, when the device is a
    /// plain file whose pages could all be brought in; empty otherwise, and
    /// the caller reads instead.
    virtual MappedBytes map(std::uint64_t byteOffset, std::size_t length) {
        (void)byteOffset;
        (void)length;
        return {};
    }
};

/// Opens path read-only (O_RDONLY, never anything writable): a block device,
/// a raw image, the first file of a numbered split raw image (.001, .002 ...),
/// or an image container recognised by its signature (E01, VMDK, VHD, VHDX,
/// qcow). On failure returns null and sets error to a readable reason that
/// names the file at fault.
std::unique_ptr<BlockDevice> openFileDevice(const std::string& path, std::string& error);

/// In-memory disk for tests: sectors listed in badSectors fail to read, as
/// does anything past the end.
class MemoryDevice : public BlockDevice {
public:
    explicit MemoryDevice(std::vector<std::uint8_t> data) : m_data(std::move(data)) {}
    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override;
    std::uint64_t sizeBytes() const override { return m_data.size(); }
    /// The bytes in place, as a mapped file gives them; empty over a bad
    /// sector or past the end, as a mapping that cannot be brought in.
    MappedBytes map(std::uint64_t byteOffset, std::size_t length) override;
    std::vector<std::uint8_t>& data() { return m_data; }
    std::set<std::uint64_t> badSectors;
    std::atomic<int> readCalls = 0;  // walks read ahead on a second thread
    bool mappable = true;            // false: behaves as a device that cannot be mapped

private:
    std::vector<std::uint8_t> m_data;
};

/// Reads sectors of the disks attached to the ten device names. Thread-safe:
/// the open devices are shared, each read uses only its arguments.
class SectorReader {
public:
    using ReadFailureHook = std::function<void()>;

    SectorReader() = default;
    SectorReader(const SectorReader&) = delete;
    SectorReader& operator=(const SectorReader&) = delete;

    /// Platform switch of the reader; only the 'N' back end exists.
    char PlatformMode() const { return 'N'; }

    /// Maps disk index (0..9) to a backing path, opened on first read.
    void attachPath(int diskIndex, std::string path);
    /// Maps disk index to an already open device (tests, images in memory).
    void attachDevice(int diskIndex, std::shared_ptr<BlockDevice> device);
    void detach(int diskIndex);
    std::string backingPath(int diskIndex) const;

    /// Opens the disk now; false (with a reason) when it cannot be opened.
    bool open(int diskIndex, std::string& error);
    /// Size of the disk in whole sectors, 0 if it cannot be opened.
    std::uint64_t totalSectors(int diskIndex);
    /// Bytes per logical sector of the disk (512 to 4096): the unit its
    /// partition tables count in and the unit of every sector number shown
    /// to the user. Reads stay in 512-byte sectors. 512 when the disk cannot
    /// be opened.
    std::uint32_t logicalSectorSize(int diskIndex);
    /// 512-byte sectors per logical sector of the disk: 1, or 8 on a 4Kn disk.
    std::uint32_t sectorUnits(int diskIndex) { return logicalSectorSize(diskIndex) / kSectorSize; }

    /// Called on every failed bulk read, before the sector-by-sector retry.
    void setReadFailureHook(ReadFailureHook hook);

    /// Reads count sectors at lba into buffer (count * 512 bytes). Returns 1
    /// when the whole run was read in one request, else 0. After a failed
    /// bulk read every sector that can be read is read again into its place
    /// and the others are left as they were. A device that cannot be opened
    /// returns 0 without calling the failure hook.
    int ReadSectors(std::string_view deviceName, std::uint64_t lba, std::uint32_t count, void* buffer);
    int ReadSectors(int diskIndex, std::uint64_t lba, std::uint32_t count, void* buffer);
    /// count sectors at lba mapped read-only (see MappedBytes), or empty
    /// when the disk cannot be mapped there: read them instead.
    MappedBytes mapSectors(int diskIndex, std::uint64_t lba, std::uint32_t count);

private:
    std::shared_ptr<BlockDevice> device(int diskIndex);

    mutable std::mutex m_mutex;
    std::array<std::string, kMaxDisks> m_paths;
    std::array<std::shared_ptr<BlockDevice>, kMaxDisks> m_devices;
    std::array<std::uint32_t, kMaxDisks> m_sectorSizes{};  // 0 until found
    ReadFailureHook m_hook;
};

}  // namespace qvx::disk
