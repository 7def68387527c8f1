#include "scan/ntfs_raw_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "ntfs/mft_record.h"
#include "scan/scan_window.h"
#include "util/huge_pages.h"

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

// INDX record and index entry.
constexpr std::size_t kIndxVcn = 0x10;                 // u64, low 32 bits used
constexpr std::size_t kIndxEntriesOffset = 0x18;       // u32, counted from 0x18
constexpr std::size_t kIndxAllocatedSize = 0x20;       // u32, entry area; the record is 24 bytes more
constexpr std::size_t kIndxHeaderBias = 24;
constexpr std::size_t kEntryRecord = 0x00;             // u64, low 32 bits used
constexpr std::size_t kEntryLength = 0x08;             // u16
constexpr std::size_t kEntryParent = 0x10;             // parent reference in the entry's file-name copy
constexpr std::size_t kEntryCreationTime = 0x18;       // u64 FILETIME
constexpr std::size_t kEntryDirectoryWord = 0x4A;      // u16: high half of the file attribute flags
constexpr std::uint16_t kEntryDirectoryBit = 0x1000;
constexpr std::size_t kEntryNameLength = 0x50;         // u8
constexpr std::size_t kEntryName = 0x52;               // UTF-16LE
constexpr std::size_t kEntryMinimum = 80;

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kReadSectors = kScanChunkSectors * kScanChunksPerRead;

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

/// The folder entries of an INDX record (fixup applied, buffer as long as
/// the record numbering takes it), in entry order. The walk stops at the
/// first entry without a name or with a length that leaves the record.
void collectFolderEntries(util::Bytes buffer, records::NtfsScanRecords& scanned) {
    const std::size_t size = buffer.size();
    std::size_t pos = std::size_t{util::le32(buffer, kIndxEntriesOffset)} + kIndxHeaderBias;
    if (pos >= size) return;
    std::string name;
    // Every step advances by a non-zero entry length, so the walk ends
    // within size steps.
    while (pos + kEntryMinimum < size) {
        const std::size_t nameLength = util::le8(buffer, pos + kEntryNameLength);
        if (nameLength == 0) return;
        if (!util::fits(size, pos + kEntryName, 2 * nameLength)) return;
        if ((util::le16(buffer, pos + kEntryDirectoryWord) & kEntryDirectoryBit) != 0) {
            // The low byte of each UTF-16 unit, as the names are compared.
            name.clear();
            for (std::size_t i = 0; i < nameLength; ++i) name.push_back(static_cast<char>(buffer[pos + kEntryName + 2 * i]));
            records::IndexFolderEntry entry;
            entry.record = util::le32(buffer, pos + kEntryRecord);
            entry.parent = util::le32(buffer, pos + kEntryParent);
            entry.date = static_cast<std::int64_t>(util::le64(buffer, pos + kEntryCreationTime));
            entry.name = scanned.addName(name);
            scanned.entries.push_back(entry);
        }
        const std::size_t length = util::le16(buffer, pos + kEntryLength);
        if (length == 0 || length >= size - pos) return;
        pos += length;
    }
}

/// Sectors the scan looks at further: an INDX record's first sector (the
/// sectors its header gives), an MFT record's (as many as it allocates), a
/// boot sector. The loop below applies the same tests again to these.
std::uint32_t pickNtfsSector(const std::uint8_t* s) {
    const bool indx = s[0] == 'I' && s[1] == 'N' && s[2] == 'D' && s[3] == 'X';
    const bool file = s[0] == 'F' && s[1] == 'I' && s[2] == 'L' && s[3] == 'E';
    const bool ntfs = s[3] == 'N' && s[4] == 'T' && s[5] == 'F' && s[6] == 'S';
    // Whatever the 55 AA at its end, a sector that begins with none of the
    // three signatures gives nothing; its last cache line is not touched.
    if (!indx && !file && !ntfs) return 0;
    if (s[510] == 0x55 && s[511] == 0xAA) return indx || ntfs ? 1 : 0;
    if (file) {
        const std::uint32_t recordBytes = mftRecordBytesOf(util::Bytes(s, kSectorBytes));
        if (recordBytes != 0) return recordBytes / kSectorBytes;
    }
    if (!indx) return 0;
    const std::uint64_t size = std::uint64_t{util::le32(util::Bytes(s, kSectorBytes), kIndxAllocatedSize)} + kIndxHeaderBias;
    return size > kMaxIndexRecordBytes ? 1 : std::max<std::uint32_t>(1, static_cast<std::uint32_t>((size >> 9) & 0xFF));
}

/// count sectors at lba into out, for a record found in the chunk at
/// chunkLba: from the window where it holds them, else from the disk.
void readRecordSectors(const ScanWindow& window, std::uint64_t chunkLba, std::uint64_t lba, std::uint32_t count,
                       std::vector<std::uint8_t>& out) {
    out.resize(std::size_t{count} * kSectorBytes);
    if (count == 0) return;
    bool held = false;
    if (window.mapped()) {
        held = window.copied(lba, count);
    } else {
        // A read window holds its chunks whole, zero past the disk's end.
        const std::uint64_t first = window.first();
        const std::uint32_t readable = window.readable();
        const bool inChunk =
            lba >= chunkLba && lba - chunkLba <= kScanChunkSectors && count <= kScanChunkSectors - (lba - chunkLba);
        const bool inReadable = lba >= first && lba - first <= readable && count <= readable - (lba - first);
        held = inChunk || inReadable;
    }
    if (held) {
        std::memcpy(out.data(), window.at(lba), out.size());
        return;
    }
    window.disk().read(lba, count, out.data());
}

/// Adds the index record at lba (its first sector at hand) and its folder
/// entries. False when the record gives no row.
bool addIndexRecord(const ScanWindow& window, std::uint64_t chunkLba, std::uint64_t lba, util::Bytes firstSector,
                    records::NtfsScanRecords& scanned, std::vector<std::uint8_t>& buffer,
                    std::vector<std::uint8_t>& numbering) {
    const std::uint64_t size = std::uint64_t{util::le32(firstSector, kIndxAllocatedSize)} + kIndxHeaderBias;
    if (size > kMaxIndexRecordBytes) return false;
    const auto count = static_cast<std::uint32_t>((size >> 9) & 0xFF);
    readRecordSectors(window, chunkLba, lba, count, buffer);
    const std::size_t whole = buffer.size();
    // The numbering takes the record's whole sectors with their own fixup;
    // the same bytes unless the record ends inside a sector.
    const bool sameForNumbering = whole == size;
    if (!sameForNumbering) numbering.assign(buffer.begin(), buffer.end());
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

    records::IndexScanRecord record;
    record.sector = static_cast<std::uint32_t>(lba);
    record.owner = owner;
    record.vcn = vcn;
    record.entriesBegin = scanned.entries.size();
    if (lba != record.sector) {
        // The numbering reads the record at the sector its row names, the
        // low 32 bits of lba: another sector on so large a disk.
        const partition::VolumeRange& disk = window.disk();
        std::array<std::uint8_t, kSectorBytes> head{};
        disk.read(record.sector, 1, head.data());
        const std::uint64_t headSize = std::uint64_t{util::le32(head, kIndxAllocatedSize)} + kIndxHeaderBias;
        if (headSize <= kMaxIndexRecordBytes) {
            const auto sectors = static_cast<std::uint32_t>(headSize / kSectorBytes);
            numbering.assign(std::size_t{sectors} * kSectorBytes, 0);
            if (sectors != 0) disk.read(record.sector, sectors, numbering.data());
            ntfs::applyFixup(numbering, numbering.size());
            collectFolderEntries(numbering, scanned);
        }
    } else if (sameForNumbering) {
        collectFolderEntries(bytes, scanned);
    } else {
        ntfs::applyFixup(numbering, numbering.size());
        collectFolderEntries(numbering, scanned);
    }
    record.entriesEnd = scanned.entries.size();
    scanned.index.push_back(record);
    return true;
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

void addMftRecord(util::Bytes recordOnDisk, std::uint64_t lba, records::NtfsScanRecords& scanned) {
    // As many bytes as the header allocates (1024 when it names no size
    // from 1024 to 4096), the fixup applied to this copy.
    std::uint32_t recordBytes = mftRecordBytesOf(recordOnDisk);
    if (recordBytes == 0) recordBytes = ntfs::kRecordBytes;
    // Only what the record takes is written: clearing the whole buffer for
    // every record of a disk costs more than the copy.
    std::array<std::uint8_t, kMaxMftRecordBytes> buffer;
    const std::span<std::uint8_t> record(buffer.data(), recordBytes);
    const std::size_t given = std::min<std::size_t>(recordOnDisk.size(), record.size());
    std::copy_n(recordOnDisk.begin(), given, record.begin());
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(given), record.end(), std::uint8_t{0});
    ntfs::applyFixup(record, record.size());

    // Win32, Win32 and DOS, DOS, then POSIX: volumes written by ntfs-3g carry
    // POSIX names only, and a record without its name would be lost.
    const ntfs::FileNameInfo name = ntfs::findFileNamePreferred(record);
    const ntfs::DataSize size = ntfs::findDataSize(record);
    records::MftScanRecord found;
    found.name = scanned.addName(name.name);
    found.sector = static_cast<std::uint32_t>(lba);
    found.parent = name.parent;
    found.date = name.creationTime;
    found.size = size.found ? size.size : 0;
    const std::uint8_t flags = record[ntfs::kRecordFlags];
    if (flags == 3 || flags == 2) {
        found.folder = true;
        found.self = ntfs::recordNumberFromHeader(record);
        found.firstRun = ntfs::findIndexAllocationFirstCluster(record);
        found.deleted = flags == 2;
    } else {
        found.deleted = flags == 0;
        found.self = systemRecordNumber(name.name);
    }
    scanned.mft.push_back(found);
}

NtfsScanResult scanRawNtfs(const partition::VolumeRange& disk, std::uint64_t startSector, std::uint64_t endSector,
                           records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop) {
    tables.BootSectorTable.clear();
    tables.MftRecordTable.clear();
    tables.IndexRecordTable.clear();
    records::NtfsScanRecords& scanned = tables.ntfsScan;
    scanned.clear();
    scanned.seenFrom = scanned.seenTo = startSector;
    progress.setCounter(kNtfsMftFoundLabel, "0");
    progress.setCounter(kNtfsBootSectorsFoundLabel, "0");
    // The status counts the disk's own sectors (4096 bytes on a 4Kn disk).
    const std::uint64_t units = std::max<std::uint32_t>(1, disk.diskUnits());
    progress.setStatusText("Sectors  0 of " + std::to_string(endSector / units));

    const std::uint64_t diskSectors = disk.reader != nullptr ? disk.reader->totalSectors(disk.diskIndex) : 0;
    // Nothing lies past the disk's end: the scan stops there.
    if (diskSectors != 0 && endSector > diskSectors) endSector = diskSectors;
    // At most one FILE record in two sectors. Room for that many, up to a
    // bound, is address space only until records fill it, and spares the
    // copying and fresh page faults of growing a list of 460,000 records.
    constexpr std::uint64_t kMftReserve = std::uint64_t{1} << 21;
    // Their names likewise: a few dozen bytes each.
    constexpr std::uint64_t kNameBytesPerRecord = 32;
    if (endSector > startSector) {
        const std::uint64_t records = std::min(kMftReserve, (endSector - startSector) / 2);
        scanned.mft.reserve(static_cast<std::size_t>(records));
        util::adviseHugePages(scanned.mft.data(), scanned.mft.capacity() * sizeof(records::MftScanRecord));
        scanned.names.reserve(static_cast<std::size_t>(records * kNameBytesPerRecord));
        util::adviseHugePages(scanned.names.data(), scanned.names.capacity());
    }
    ScanWindow window(disk, diskSectors, kReadSectors, kScanChunkSectors, pickNtfsSector);
    std::array<std::uint8_t, kMaxMftRecordBytes> record{};
    std::vector<std::uint8_t> next;
    std::vector<std::uint8_t> indexBuffer;
    std::vector<std::uint8_t> numberingBuffer;
    NtfsScanResult result;
    int bootCount = 0;
    std::size_t reportedMft = SIZE_MAX;
    for (std::uint64_t chunk = startSector; chunk < endSector; chunk += kScanChunkSectors) {
        if (stop.stop_requested()) {
            result.stopped = true;
            break;
        }
        if (!window.holds(chunk)) {
            // As many whole chunks as are left, up to a read's worth.
            auto windowAt = [&](std::uint64_t first) {
                const std::uint64_t left = (endSector - first + kScanChunkSectors - 1) / kScanChunkSectors;
                return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kScanChunksPerRead)) * kScanChunkSectors;
            };
            const std::uint32_t sectors = windowAt(chunk);
            window.load(chunk, sectors);
            if (endSector - chunk > sectors) window.prefetch(chunk + sectors, windowAt(chunk + sectors));
        }
        const std::uint8_t* base = window.at(chunk);
        const auto chunkOffset = static_cast<std::uint32_t>(chunk - window.first());
        for (const std::uint32_t picked : window.pickedIn(chunk, kScanChunkSectors)) {
            const std::uint32_t i = picked - chunkOffset;
            const std::uint8_t* s = base + std::size_t{i} * kSectorBytes;
            const std::uint64_t lba = chunk + i;
            const bool indx = s[0] == 'I' && s[1] == 'N' && s[2] == 'D' && s[3] == 'X';
            if (indx) scanned.indxSectors.push_back(lba);
            const bool signature = s[510] == 0x55 && s[511] == 0xAA;
            if (!signature) {
                const std::uint32_t recordBytes =
                    s[0] == 'F' && s[1] == 'I' && s[2] == 'L' && s[3] == 'E' ? mftRecordBytesOf(util::Bytes(s, kSectorBytes)) : 0;
                if (recordBytes != 0) {
                    // The record's later sectors come from the chunk, or from
                    // the window or the disk where the record runs past it.
                    std::memcpy(record.data(), s, kSectorBytes);
                    for (std::uint32_t k = 1; k < recordBytes / kSectorBytes; ++k) {
                        std::uint8_t* to = record.data() + std::size_t{k} * kSectorBytes;
                        if (i + k < kScanChunkSectors) {
                            std::memcpy(to, s + std::size_t{k} * kSectorBytes, kSectorBytes);
                        } else {
                            readRecordSectors(window, chunk, lba + k, 1, next);
                            std::memcpy(to, next.data(), kSectorBytes);
                        }
                    }
                    addMftRecord(util::Bytes(record.data(), recordBytes), lba, scanned);
                } else if (indx) {
                    addIndexRecord(window, chunk, lba, util::Bytes(s, kSectorBytes), scanned, indexBuffer,
                                   numberingBuffer);
                }
            } else if (s[3] == 'N' && s[4] == 'T' && s[5] == 'F' && s[6] == 'S') {
                addNtfsBootSectorRow(util::Bytes(s, kSectorBytes), lba, tables.BootSectorTable);
                progress.setCounter(kNtfsBootSectorsFoundLabel, std::to_string(++bootCount));
            }
        }
        result.sectorsScanned = chunk + kScanChunkSectors - startSector;
        scanned.seenTo = startSector + result.sectorsScanned;
        if (chunk > UINT64_MAX - kScanChunkSectors) break;
        if (scanned.mft.size() != reportedMft) {
            reportedMft = scanned.mft.size();
            progress.setCounter(kNtfsMftFoundLabel, std::to_string(static_cast<int>(reportedMft)));
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

void writeNtfsScanTables(records::RecordTables& tables) {
    const records::NtfsScanRecords& scanned = tables.ntfsScan;
    records::RecordTable& mft = tables.MftRecordTable;
    mft.clear();
    for (const records::MftScanRecord& r : scanned.mft) {
        const int row = mft.appendRow(scanned.name(r.name));
        mft.setU32(row, NtfsMftCol::kSector, r.sector);
        mft.setU32(row, NtfsMftCol::kParentMft, r.parent);
        mft.setCell(row, NtfsMftCol::kFsNumber, "0");
        mft.setI64(row, NtfsMftCol::kDate, r.date);
        mft.setU64(row, NtfsMftCol::kSize, r.size);
        mft.setCell(row, NtfsMftCol::kType, r.folder ? "FOLDER" : "File");
        mft.setU32(row, NtfsMftCol::kSelfMft, r.self);
        mft.setU32(row, NtfsMftCol::kFirstRun, r.firstRun);
        if (r.deleted) mft.setCell(row, NtfsMftCol::kDeleted, "1");
    }
    records::RecordTable& indx = tables.IndexRecordTable;
    indx.clear();
    for (const records::IndexScanRecord& r : scanned.index) {
        const int row = indx.appendRow(std::to_string(r.sector));
        indx.setU32(row, NtfsIndexCol::kMftReference, r.owner);
        indx.setU32(row, NtfsIndexCol::kVcn, r.vcn);
        indx.setCell(row, NtfsIndexCol::kFsNumber, kNoFileSystemText);
    }
    if (scanned.folders.empty()) return;
    records::RecordTable& dirs = tables.DirectoryScanTable;
    dirs.clear();
    for (const records::NtfsScanFolder& f : scanned.folders) {
        const int row = dirs.appendRow(std::to_string(f.sector));
        dirs.setU32(row, NtfsDirCol::kSelfCluster, f.self);
        dirs.setU32(row, NtfsDirCol::kParentCluster, f.parent);
        dirs.setU64(row, NtfsDirCol::kFileSystem, f.fileSystem);
        dirs.setI64(row, NtfsDirCol::kDate, f.date);
        dirs.setCell(row, NtfsDirCol::kTime, scanned.name(f.name));
        dirs.setU32(row, NtfsDirCol::kFirstRun, f.firstRun);
    }
}

}  // namespace qvx::scan
