#pragma once
// Where a file's contents lie on the disk, and the copier that writes them
// to a destination. A file is a sequence of extents in file order: runs of
// sectors on the disk or sparse runs that read as zeros. The copier reads in
// large requests, bounded to the volume, and honours the file's byte size,
// its initialized size (bytes beyond it read as zeros whatever the disk
// holds) and NTFS compression units.

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "partition/validate_volume.h"

namespace qvx::recover {

struct Extent {
    std::uint64_t lba = 0;      // absolute first sector; unused when sparse
    std::uint64_t sectors = 0;  // length in 512-byte sectors
    bool sparse = false;
};

struct FileLayout {
    std::vector<Extent> extents;  // in file order
    std::uint64_t size = 0;       // bytes to write
    /// Bytes from here on are zeros (NTFS valid data length).
    std::uint64_t initializedSize = UINT64_MAX;
    /// Non-zero: LZNT1-compressed data in units of this many sectors.
    std::uint32_t compressionUnitSectors = 0;
    /// Resident contents (NTFS data held in the record itself).
    bool resident = false;
    std::vector<std::uint8_t> residentData;

    std::uint64_t extentBytes() const;
    /// Appends an extent, merging it into the last one when it continues it.
    void append(const Extent& extent);
};

/// Where the copier writes. write() gets data in file order; writeZeros()
/// may leave a hole instead of writing zeros.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool write(const std::uint8_t* data, std::size_t length) = 0;
    virtual bool writeZeros(std::uint64_t length);
    /// Called once at the end; the sink makes sure total bytes exist.
    virtual bool finish(std::uint64_t total) { (void)total; return true; }
};

/// Writes to an open file descriptor; runs of zeros become holes.
class FdSink : public OutputSink {
public:
    explicit FdSink(int fd) : m_fd(fd) {}
    bool write(const std::uint8_t* data, std::size_t length) override;
    bool writeZeros(std::uint64_t length) override;
    bool finish(std::uint64_t total) override;

private:
    int m_fd;
    std::uint64_t m_pendingZeros = 0;
};

/// Collects everything in memory (tests).
class MemorySink : public OutputSink {
public:
    bool write(const std::uint8_t* data, std::size_t length) override {
        bytes.insert(bytes.end(), data, data + length);
        return true;
    }
    std::vector<std::uint8_t> bytes;
};

struct CopyResult {
    std::uint64_t written = 0;         // bytes the sink accepted (a sink that defers holes may still refuse them in finish)
    std::uint64_t missingBytes = 0;    // bytes of the size no extent covers (written as zeros)
    std::uint64_t unreadableSectors = 0;  // sectors that failed to read or lie outside the volume
    bool decompressError = false;      // a compression unit did not decode
    bool writeError = false;
    bool stopped = false;
    bool complete() const {
        return missingBytes == 0 && unreadableSectors == 0 && !decompressError && !writeError && !stopped;
    }
};

/// Bytes read per request.
inline constexpr std::uint32_t kCopyChunkSectors = 2048;

/// Copies the file described by layout from the volume to sink. Sectors
/// outside [volume.SectorRangeStart, volume.SectorRangeEnd] are not read:
/// they are written as zeros and counted as unreadable.
CopyResult copyFile(const partition::VolumeRange& volume, const FileLayout& layout, OutputSink& sink,
                    std::stop_token stop = {});

}  // namespace qvx::recover
