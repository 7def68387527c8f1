#include "scan/ntfs_raw_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "ntfs/mft_record.h"

namespace qvx::scan {

namespace {

// NTFS boot sector.
constexpr std::size_t kBootOemId = 0x03;               // "NTFS"
constexpr std::size_t kBootBytesPerSector = 0x0B;      // u16
constexpr std::size_t kBootSectorsPerCluster = 0x0D;   // u8
constexpr std::size_t kBootTotalSectors = 0x28;        // u64, low 32 bits used
constexpr std::size_t kBootMftCluster = 0x30;          // u64, low 32 bits used
constexpr std::size_t kBootMirrorCluster = 0x38;       // u64, low 32 bits used
constexpr std::size_t kBootMftRecordSize = 0x40;       // u32 as read here; 0xF6 means 1024 bytes
constexpr std::size_t kBootIndexRecordSize = 0x44;     // u32 as read here; 0xF4 means 4096 bytes

// INDX record.
constexpr std::size_t kIndxVcn = 0x10;                 // u64, low 32 bits used
constexpr std::size_t kIndxEntriesOffset = 0x18;       // u32, counted from 0x18
constexpr std::size_t kIndxAllocatedSize = 0x20;       // u32, entry area; the record is 24 bytes more
constexpr std::size_t kIndxHeaderBias = 24;
constexpr std::size_t kEntryParent = 0x10;             // parent reference in the entry's file-name copy

constexpr std::uint32_t kSectorBytes = 512;

/// Record numbers of system files known by name; "$MFT" maps to 1 so that
/// 0 keeps meaning "not known yet".
std::uint32_t systemRecordNumber(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 10> kNames{{
        {"$MFT", 1}, {"$MFTMirror", 1}, {"$LogFile", 2}, {"$Volume", 3}, {"$AttrDef", 4},
        {"$Bitmap", 6}, {"$Boot", 7}, {"$BadClus", 8}, {"$Secure", 9}, {"$UpCase", 10},
    }};
    for (const auto& [text, number] : kNames)
        if (text == name) return number;
    return 0;
}

bool endsWithBootSignature(util::Bytes sector) { return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA; }

/// 512-byte sectors per sector of the volume: 8 on a volume made with
/// 4096-byte sectors, 1 where the field is no sector size.
std::uint32_t bootUnits(util::Bytes sector) {
    const std::uint32_t bytes = util::le16(sector, kBootBytesPerSector);
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 ? bytes / kSectorBytes : 1;
}

}  // namespace

std::uint32_t mftRecordBytesOf(util::Bytes header) {
    if (header.size() < ntfs::kAllocatedSize + 2) return 0;
    const std::uint32_t bytes = util::le16(header, ntfs::kAllocatedSize);
    return bytes == 1024 || bytes == 2048 || bytes == kMaxMftRecordBytes ? bytes : 0;
}

std::uint32_t bootMftRecordSectors(util::Bytes sector) {
    const std::uint32_t field = util::le32(sector, kBootMftRecordSize);
    const std::uint32_t spc = util::le8(sector, kBootSectorsPerCluster) * bootUnits(sector);
    // A positive field counts clusters, 0xF4 to 0xF6 are 2^-value bytes.
    std::uint64_t sectors = 0;
    if (field >= 0xF4 && field <= 0xF6) sectors = (1u << (0x100 - field)) / kSectorBytes;
    else if (field <= 0x7F) sectors = std::uint64_t{field} * spc;
    return sectors == 2 || sectors == 4 || sectors == kMaxMftRecordBytes / kSectorBytes
               ? static_cast<std::uint32_t>(sectors)
               : 0;
}

void ChunkedSectors::loadChunk(std::uint64_t lba, std::uint32_t count) {
    count = std::min(count, kScanChunkSectors);
    // The read clears the sectors it covers; the rest is cleared here.
    std::fill(m_chunk.begin() + static_cast<std::ptrdiff_t>(std::size_t{count} * kSectorBytes), m_chunk.end(),
              std::uint8_t{0});
    if (count != 0) m_disk.read(lba, count, m_chunk.data());
    m_chunkLba = lba;
    m_chunkSectors = kScanChunkSectors;
}

util::Bytes ChunkedSectors::sector(std::uint32_t index) const {
    if (index >= m_chunkSectors) return {};
    return util::Bytes(m_chunk.data() + std::size_t{index} * kSectorBytes, kSectorBytes);
}

void ChunkedSectors::read(std::uint64_t lba, std::uint32_t count, std::vector<std::uint8_t>& out) const {
    out.assign(std::size_t{count} * kSectorBytes, 0);
    if (count == 0) return;
    if (lba >= m_chunkLba && lba - m_chunkLba <= m_chunkSectors && count <= m_chunkSectors - (lba - m_chunkLba)) {
        std::memcpy(out.data(), m_chunk.data() + (lba - m_chunkLba) * kSectorBytes, out.size());
        return;
    }
    m_disk.read(lba, count, out.data());
}

bool isNtfsBootSector(util::Bytes sector) {
    return endsWithBootSignature(sector) && util::bytesEqual(sector, kBootOemId, "NTFS");
}

void addNtfsBootSectorRow(util::Bytes sector, std::uint64_t lba, records::RecordTable& BootSectorTable) {
    // The cells count 512-byte sectors, as the disk is read: a volume made
    // with 4096-byte sectors has its cluster and volume sizes scaled.
    const std::uint32_t units = bootUnits(sector);
    const std::uint32_t spc = util::le8(sector, kBootSectorsPerCluster) * units;
    const std::uint32_t indexField = util::le32(sector, kBootIndexRecordSize);
    // Unsigned 32-bit arithmetic, as the cells are "%lu": absurd fields wrap
    // instead of overflowing.
    const std::uint32_t sectorsPerIndexRecord = indexField == 0xF4 ? 8u : indexField * spc;
    const int row = BootSectorTable.appendRow(std::to_string(static_cast<std::uint32_t>(lba)));
    BootSectorTable.setU32(row, NtfsBootCol::kSpf, spc);
    BootSectorTable.setU32(row, NtfsBootCol::kSpc, sectorsPerIndexRecord);
    // Sectors per MFT record; 0 when the field gives no size from 1024 to
    // 4096 bytes, and the records' own headers then tell.
    BootSectorTable.setU32(row, NtfsBootCol::kRootSectors, bootMftRecordSectors(sector));
    // The low 32 bits of the total, as on a volume of 512-byte sectors; a
    // volume of larger sectors has its whole total scaled.
    const std::uint64_t total = units == 1 ? util::le32(sector, kBootTotalSectors)
                                           : std::min<std::uint64_t>(util::le64(sector, kBootTotalSectors),
                                                                     std::uint64_t{1} << 48) * units;
    BootSectorTable.setU64(row, NtfsBootCol::kRootStart, total);
    BootSectorTable.setU32(row, NtfsBootCol::kReserveSectors, util::le32(sector, kBootMftCluster));
    BootSectorTable.setU32(row, NtfsBootCol::kCluster0Start, util::le32(sector, kBootMirrorCluster));
}

void addMftRecordRow(util::Bytes recordOnDisk, std::uint64_t lba, records::RecordTable& MftRecordTable) {
    // As many bytes as the header allocates (1024 when it names no size
    // from 1024 to 4096), the fixup applied to this copy.
    std::uint32_t recordBytes = mftRecordBytesOf(recordOnDisk);
    if (recordBytes == 0) recordBytes = ntfs::kRecordBytes;
    std::array<std::uint8_t, kMaxMftRecordBytes> buffer{};
    const std::span<std::uint8_t> record(buffer.data(), recordBytes);
    std::copy_n(recordOnDisk.begin(), std::min<std::size_t>(recordOnDisk.size(), record.size()), record.begin());
    ntfs::applyFixup(record, record.size());

    // Win32, Win32 and DOS, DOS, then POSIX: volumes written by ntfs-3g carry
    // POSIX names only, and a record without its name would be lost.
    const ntfs::FileNameInfo name = ntfs::findFileNamePreferred(record);
    const ntfs::DataSize size = ntfs::findDataSize(record);
    const int row = MftRecordTable.appendRow(name.name);
    MftRecordTable.setU32(row, NtfsMftCol::kSector, static_cast<std::uint32_t>(lba));
    MftRecordTable.setU32(row, NtfsMftCol::kParentMft, name.parent);
    MftRecordTable.setCell(row, NtfsMftCol::kFsNumber, "0");
    MftRecordTable.setI64(row, NtfsMftCol::kDate, name.creationTime);
    MftRecordTable.setU64(row, NtfsMftCol::kSize, size.found ? size.size : 0);

    const std::uint8_t flags = record[ntfs::kRecordFlags];
    if (flags == 3 || flags == 2) {
        MftRecordTable.setCell(row, NtfsMftCol::kType, "FOLDER");
        MftRecordTable.setU32(row, NtfsMftCol::kSelfMft, ntfs::recordNumberFromHeader(record));
        MftRecordTable.setU32(row, NtfsMftCol::kFirstRun, ntfs::findIndexAllocationFirstCluster(record));
        if (flags == 2) MftRecordTable.setCell(row, NtfsMftCol::kDeleted, "1");
    } else {
        MftRecordTable.setCell(row, NtfsMftCol::kType, "File");
        MftRecordTable.setCell(row, NtfsMftCol::kFirstRun, "0");
        if (flags == 0) MftRecordTable.setCell(row, NtfsMftCol::kDeleted, "1");
        MftRecordTable.setU32(row, NtfsMftCol::kSelfMft, systemRecordNumber(name.name));
    }
}

bool addIndexRecordRow(const ChunkedSectors& sectors, std::uint64_t lba, util::Bytes firstSector,
                       records::RecordTable& IndexRecordTable) {
    const std::uint64_t size = std::uint64_t{util::le32(firstSector, kIndxAllocatedSize)} + kIndxHeaderBias;
    if (size > kMaxIndexRecordBytes) return false;
    const auto count = static_cast<std::uint32_t>((size >> 9) & 0xFF);
    std::vector<std::uint8_t> buffer;
    sectors.read(lba, count, buffer);
    // A record shorter than a sector still has its first sector at hand.
    if (buffer.size() < size) {
        buffer.resize(static_cast<std::size_t>(size), 0);
        std::copy_n(firstSector.begin(), std::min<std::size_t>(firstSector.size(), buffer.size()), buffer.begin());
    }
    ntfs::applyFixup(buffer, static_cast<std::size_t>(size));
    const util::Bytes bytes(buffer.data(), static_cast<std::size_t>(size));

    const std::uint32_t vcn = util::le32(bytes, kIndxVcn);
    const std::uint64_t first = std::uint64_t{util::le32(bytes, kIndxEntriesOffset)} + kIndxHeaderBias;
    if (first + 20 > size) return false;
    const std::uint32_t owner = util::le32(bytes, static_cast<std::size_t>(first + kEntryParent));
    if (owner < 5 || owner == 0xFFFFFFFFu) return false;

    const int row = IndexRecordTable.appendRow(std::to_string(static_cast<std::uint32_t>(lba)));
    IndexRecordTable.setU32(row, NtfsIndexCol::kMftReference, owner);
    IndexRecordTable.setU32(row, NtfsIndexCol::kVcn, vcn);
    IndexRecordTable.setCell(row, NtfsIndexCol::kFsNumber, kNoFileSystemText);
    return true;
}

NtfsScanResult scanRawNtfs(const partition::VolumeRange& disk, std::uint64_t startSector, std::uint64_t endSector,
                           records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop) {
    tables.BootSectorTable.clear();
    tables.MftRecordTable.clear();
    tables.IndexRecordTable.clear();
    progress.setCounter(kNtfsMftFoundLabel, "0");
    progress.setCounter(kNtfsBootSectorsFoundLabel, "0");
    // The status counts the disk's own sectors (4096 bytes on a 4Kn disk).
    const std::uint64_t units = std::max<std::uint32_t>(1, disk.diskUnits());
    progress.setStatusText("Sectors  0 of " + std::to_string(endSector / units));

    const std::uint64_t diskSectors = disk.reader != nullptr ? disk.reader->totalSectors(disk.diskIndex) : 0;
    // Nothing lies past the disk's end: the scan stops there.
    if (diskSectors != 0 && endSector > diskSectors) endSector = diskSectors;
    ChunkedSectors sectors(disk);
    std::array<std::uint8_t, kMaxMftRecordBytes> record{};
    std::vector<std::uint8_t> next;
    NtfsScanResult result;
    int bootCount = 0;
    int reportedMft = -1;
    for (std::uint64_t chunk = startSector; chunk < endSector; chunk += kScanChunkSectors) {
        if (stop.stop_requested()) {
            result.stopped = true;
            break;
        }
        // Sectors past the disk's end cannot be read; they stay zero.
        std::uint32_t readable = kScanChunkSectors;
        if (diskSectors != 0)
            readable = chunk >= diskSectors ? 0
                                             : static_cast<std::uint32_t>(
                                                   std::min<std::uint64_t>(kScanChunkSectors, diskSectors - chunk));
        sectors.loadChunk(chunk, readable);
        for (std::uint32_t i = 0; i < kScanChunkSectors; ++i) {
            const util::Bytes sector = sectors.sector(i);
            const std::uint64_t lba = chunk + i;
            if (!endsWithBootSignature(sector)) {
                const std::uint32_t recordBytes =
                    util::bytesEqual(sector, 0, "FILE") ? mftRecordBytesOf(sector) : 0;
                if (recordBytes != 0) {
                    // The record's later sectors come from the chunk, or from
                    // the disk where the record runs past it.
                    std::copy(sector.begin(), sector.end(), record.begin());
                    for (std::uint32_t k = 1; k < recordBytes / kSectorBytes; ++k) {
                        const std::ptrdiff_t at = std::ptrdiff_t{k} * kSectorBytes;
                        const util::Bytes more = i + k < kScanChunkSectors ? sectors.sector(i + k) : util::Bytes{};
                        if (!more.empty()) {
                            std::copy(more.begin(), more.end(), record.begin() + at);
                        } else {
                            sectors.read(lba + k, 1, next);
                            std::copy(next.begin(), next.end(), record.begin() + at);
                        }
                    }
                    addMftRecordRow(util::Bytes(record.data(), recordBytes), lba, tables.MftRecordTable);
                } else if (util::bytesEqual(sector, 0, "INDX")) {
                    addIndexRecordRow(sectors, lba, sector, tables.IndexRecordTable);
                }
            } else if (util::bytesEqual(sector, kBootOemId, "NTFS")) {
                addNtfsBootSectorRow(sector, lba, tables.BootSectorTable);
                progress.setCounter(kNtfsBootSectorsFoundLabel, std::to_string(++bootCount));
            }
        }
        result.sectorsScanned = chunk + kScanChunkSectors - startSector;
        if (chunk > UINT64_MAX - kScanChunkSectors) break;
        if (tables.MftRecordTable.rowCount() != reportedMft) {
            reportedMft = tables.MftRecordTable.rowCount();
            progress.setCounter(kNtfsMftFoundLabel, std::to_string(reportedMft));
        }
        const std::uint64_t shown = std::min(chunk, endSector);
        progress.setStatusText("Sectors  " + std::to_string(shown / units) + " of " + std::to_string(endSector / units));
        if (endSector != 0) {
            progress.setProgress(static_cast<int>(std::min<std::uint64_t>(100, chunk * 100 / endSector)), "Completed ");
            progress.setAmount(shown * disk::kSectorSize, endSector * disk::kSectorSize, "bytes");
        }
    }
    return result;
}

}  // namespace qvx::scan
