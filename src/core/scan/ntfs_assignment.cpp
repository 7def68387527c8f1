#include "scan/ntfs_assignment.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ntfs/mft_record.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::scan {

namespace {

using records::RecordTable;

// INDX record and index entry, as the number assignment reads them.
constexpr std::size_t kIndxEntriesOffset = 0x18;  // u32, counted from 0x18
constexpr std::size_t kIndxAllocatedSize = 0x20;  // u32, entry area; the record is 24 bytes more
constexpr std::size_t kIndxHeaderBias = 24;
constexpr std::size_t kEntryRecord = 0x00;        // u64, low 32 bits used
constexpr std::size_t kEntryLength = 0x08;        // u16
constexpr std::size_t kEntryParent = 0x10;        // u64, low 32 bits used
constexpr std::size_t kEntryCreationTime = 0x18;  // u64 FILETIME
constexpr std::size_t kEntryDirectoryWord = 0x4A; // u16: high half of the file attribute flags
constexpr std::uint16_t kEntryDirectoryBit = 0x1000;
constexpr std::size_t kEntryNameLength = 0x50;    // u8
constexpr std::size_t kEntryName = 0x52;          // UTF-16LE
constexpr std::size_t kEntryMinimum = 80;

// Screen texts are refreshed every this many units of work and at the end.
constexpr int kReportEvery = 256;

int percentOf(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
}

/// A folder record still without a number, looked for by the index
/// entries: (creation time, parent as the 32-bit cell parse, name).
struct WorkKey {
    std::int64_t date = 0;
    std::int64_t parent = 0;
    std::string name;
    bool operator==(const WorkKey&) const = default;
};

struct WorkKeyHash {
    std::size_t operator()(const WorkKey& k) const {
        return std::hash<std::string>()(k.name) ^ (std::hash<std::int64_t>()(k.date) * 31) ^
               (std::hash<std::int64_t>()(k.parent) * 131);
    }
};

/// The rows with one key in work-list order; a match always takes the
/// first row left, so a cursor is all the deleting needed.
struct WorkRows {
    std::vector<int> mftRows;
    std::size_t next = 0;
};

class Assignment {
public:
    Assignment(const partition::VolumeRange& disk, std::uint64_t scanStart, std::uint64_t scanEnd,
               records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop)
        : m_disk(disk), m_scanStart(scanStart), m_scanEnd(scanEnd), m_tables(tables), m_progress(progress),
          m_stop(stop) {}

    NtfsAssignmentResult run() {
        m_progress.setHelpText("Please wait...");
        phase1();
        if (stopped()) return m_result;
        phase2();
        if (stopped()) return m_result;
        extractDirectories();
        if (stopped()) return m_result;
        identifyFileSystems();
        if (stopped()) return m_result;
        inherit();
        m_result.fileSystems = m_fsCount;
        if (m_fsCount == 0 && m_tables.MftRecordTable.rowCount() != 0) addWholeRangeFileSystem();
        return m_result;
    }

private:
    bool stopped() {
        if (m_stop.stop_requested()) m_result.stopped = true;
        return m_result.stopped;
    }

    // Phase 1: folders whose header carries no number are looked for among
    // the folder entries of every index record.
    void phase1() {
        RecordTable& mft = m_tables.MftRecordTable;
        std::unordered_map<WorkKey, WorkRows, WorkKeyHash> work;
        for (int i = 0; i < mft.rowCount(); ++i) {
            if (mft.cell(i, NtfsMftCol::kType) != "FOLDER" || mft.getI32(i, NtfsMftCol::kSelfMft) != 0) continue;
            WorkKey key{mft.getI64(i, NtfsMftCol::kDate), mft.getI32(i, NtfsMftCol::kParentMft),
                        std::string(mft.cell(i, NtfsMftCol::kName))};
            work[std::move(key)].mftRows.push_back(i);
        }
        m_progress.setStatusText(" Assigning MFT Numbers Phase 1 \\ 2   ...");
        m_progress.setProgress(0, "0  % Completed ");
        // Without work-list rows no entry can match: the index records need
        // not be read.
        if (work.empty()) return;

        RecordTable& indx = m_tables.IndexRecordTable;
        const int n = indx.rowCount();
        std::vector<std::uint8_t> first(512);
        std::vector<std::uint8_t> buffer;
        for (int j = 0; j < n; ++j) {
            if (j % kReportEvery == 0) {
                if (stopped()) return;
                m_progress.setStatusText(" Assigning MFT Numbers Phase 1 \\ 2 ( " + std::to_string(j) + "/" +
                                         std::to_string(n) + " ) .....");
                m_progress.setProgress(percentOf(static_cast<std::uint64_t>(j), static_cast<std::uint64_t>(n)),
                                       "Completed ");
            }
            const std::uint64_t sector = indx.getU64(j, NtfsIndexCol::kSector);
            m_disk.read(sector, 1, first.data());
            const std::uint64_t size = std::uint64_t{util::le32(first, kIndxAllocatedSize)} + kIndxHeaderBias;
            if (size > kMaxIndexRecordBytes) continue;
            const auto sectors = static_cast<std::uint32_t>(size / 512);
            buffer.assign(std::size_t{sectors} * 512, 0);
            if (sectors != 0) m_disk.read(sector, sectors, buffer.data());
            ntfs::applyFixup(buffer, buffer.size());
            matchEntries(buffer, work);
        }
    }

    void matchEntries(util::Bytes buffer, std::unordered_map<WorkKey, WorkRows, WorkKeyHash>& work) {
        const std::size_t size = buffer.size();
        std::size_t pos = std::size_t{util::le32(buffer, kIndxEntriesOffset)} + kIndxHeaderBias;
        if (pos >= size) return;
        // Every step advances by a non-zero entry length, so the walk ends
        // within size steps.
        while (pos + kEntryMinimum < size) {
            const std::size_t nameLength = util::le8(buffer, pos + kEntryNameLength);
            if (nameLength == 0) return;
            if (!util::fits(size, pos + kEntryName, 2 * nameLength)) return;
            WorkKey key;
            key.name.reserve(nameLength);
            for (std::size_t i = 0; i < nameLength; ++i) key.name.push_back(static_cast<char>(buffer[pos + kEntryName + 2 * i]));
            if ((util::le16(buffer, pos + kEntryDirectoryWord) & kEntryDirectoryBit) != 0) {
                key.parent = util::le32(buffer, pos + kEntryParent);
                key.date = static_cast<std::int64_t>(util::le64(buffer, pos + kEntryCreationTime));
                const auto found = work.find(key);
                if (found != work.end() && found->second.next < found->second.mftRows.size()) {
                    const int row = found->second.mftRows[found->second.next++];
                    m_tables.MftRecordTable.setU32(row, NtfsMftCol::kSelfMft, util::le32(buffer, pos + kEntryRecord));
                    ++m_result.phase1Matches;
                }
            }
            const std::size_t length = util::le16(buffer, pos + kEntryLength);
            if (length == 0 || length >= size - pos) return;
            pos += length;
        }
    }

    // Phase 2: a record without a number follows the record before it.
    void phase2() {
        m_progress.setStatusText(" Assigning MFT Numbers Phase 2 \\ 2   ...");
        m_progress.setProgress(0, "0  % Completed ");
        RecordTable& mft = m_tables.MftRecordTable;
        const int rows = mft.rowCount();
        std::uint32_t previous = 1;
        for (int m = 0; m < rows; ++m) {
            auto s = static_cast<std::uint32_t>(mft.getI32(m, NtfsMftCol::kSelfMft));
            if (s == 0) {
                s = previous + 1;
                mft.setU32(m, NtfsMftCol::kSelfMft, s);
            }
            previous = s;
            if (m % (kReportEvery * 16) == 0)
                m_progress.setProgress(percentOf(static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(rows)),
                                       "Completed ");
        }
    }

    void extractDirectories() {
        m_progress.setStatusText(" Extracting Directory Entries .........");
        m_progress.setProgress(0, "0  % Completed ");
        RecordTable& mft = m_tables.MftRecordTable;
        RecordTable& dirs = m_tables.DirectoryScanTable;
        dirs.clear();
        const int rows = mft.rowCount();
        for (int i = 0; i < rows; ++i) {
            if (i % (kReportEvery * 16) == 0) {
                m_progress.setStatusText(" Extracting Directory Entries ........." + std::to_string(i) + " / " +
                                         std::to_string(rows));
                m_progress.setProgress(percentOf(static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(rows)),
                                       "Completed ");
            }
            if (mft.cell(i, NtfsMftCol::kType) != "FOLDER") continue;
            const int row = dirs.appendRow(mft.cell(i, NtfsMftCol::kSector));
            dirs.setCell(row, NtfsDirCol::kSelfCluster, mft.cell(i, NtfsMftCol::kSelfMft));
            dirs.setCell(row, NtfsDirCol::kParentCluster, mft.cell(i, NtfsMftCol::kParentMft));
            dirs.setCell(row, NtfsDirCol::kFileSystem, "0");
            dirs.setCell(row, NtfsDirCol::kDate, mft.cell(i, NtfsMftCol::kDate));
            dirs.setCell(row, NtfsDirCol::kTime, mft.cell(i, NtfsMftCol::kName));
            dirs.setCell(row, NtfsDirCol::kFirstRun, mft.cell(i, NtfsMftCol::kFirstRun));
        }
        // Only the first index record of each folder is kept.
        keepIndexRows([&](int row) { return m_tables.IndexRecordTable.getI32(row, NtfsIndexCol::kVcn) == 0; });
        m_progress.setProgress(0, "Completed ");
    }

    /// Rewrites IndexRecordTable with the rows keep() accepts, in order.
    template <typename Keep>
    void keepIndexRows(Keep keep) {
        RecordTable& indx = m_tables.IndexRecordTable;
        RecordTable kept = records::makeIndexRecordTable();
        for (int row = 0; row < indx.rowCount(); ++row) {
            if (!keep(row)) continue;
            const int to = kept.appendRow(indx.cell(row, 0));
            for (int c = 1; c < indx.columnCount(); ++c) kept.setCell(to, c, indx.cell(row, c));
        }
        indx = std::move(kept);
    }

    // --- identification -------------------------------------------------

    struct Folder {
        std::uint64_t sector = 0;  // the FILE record
        std::uint64_t self = 0;
        std::uint32_t firstRun = 0;
    };

    void loadIdentificationIndexes() {
        const RecordTable& dirs = m_tables.DirectoryScanTable;
        m_folders.clear();
        m_unassignedByRow.clear();
        m_unassignedBySector.clear();
        for (int row = 0; row < dirs.rowCount(); ++row) {
            Folder folder;
            folder.sector = dirs.getU64(row, NtfsDirCol::kSector);
            folder.self = dirs.getU64(row, NtfsDirCol::kSelfCluster);
            folder.firstRun = static_cast<std::uint32_t>(dirs.getI32(row, NtfsDirCol::kFirstRun));
            m_folders.push_back(folder);
            if (folder.firstRun != 0 && dirs.getI32(row, NtfsDirCol::kFileSystem) == 0) {
                m_unassignedByRow.insert(row);
                m_unassignedBySector.insert({folder.sector, row});
            }
        }
        const RecordTable& indx = m_tables.IndexRecordTable;
        m_indexSector.clear();
        m_indexAlive.assign(static_cast<std::size_t>(indx.rowCount()), true);
        m_indexByOwner.clear();
        m_indexBySector.clear();
        for (int row = 0; row < indx.rowCount(); ++row) {
            const std::uint64_t sector = indx.getU64(row, NtfsIndexCol::kSector);
            m_indexSector.push_back(sector);
            // Every row left has vcn 0; a row whose file system is already
            // set is never looked for.
            if (indx.getI64(row, NtfsIndexCol::kFsNumber) != static_cast<std::int64_t>(kNoFileSystem) ||
                indx.getI32(row, NtfsIndexCol::kVcn) != 0)
                continue;
            m_indexByOwner[indx.getU64(row, NtfsIndexCol::kMftReference)].push_back(row);
            m_indexBySector[sector].push_back(row);
        }
    }

    /// Sector of the first live index record of the folder, or false.
    bool firstIndexSector(std::uint64_t self, std::uint64_t& sector) {
        const auto found = m_indexByOwner.find(self);
        if (found == m_indexByOwner.end()) return false;
        for (int row : found->second) {
            if (m_indexAlive[static_cast<std::size_t>(row)]) {
                sector = m_indexSector[static_cast<std::size_t>(row)];
                return true;
            }
        }
        return false;
    }

    bool beginsWithIndx(std::uint64_t lba) {
        const auto cached = m_indxAt.find(lba);
        if (cached != m_indxAt.end()) return cached->second;
        std::array<std::uint8_t, 512> sector{};
        m_disk.read(lba, 1, sector.data());
        const bool indx = util::bytesEqual(sector, 0, "INDX");
        m_indxAt.emplace(lba, indx);
        return indx;
    }

    void setFileSystem(int row, std::uint64_t value) {
        m_tables.DirectoryScanTable.setCell(row, NtfsDirCol::kFileSystem, std::to_string(value));
        const Folder& folder = m_folders[static_cast<std::size_t>(row)];
        m_unassignedByRow.erase(row);
        m_unassignedBySector.erase({folder.sector, row});
    }

    void reportAssigned() {
        ++m_assignedCount;
        if (m_assignedCount % kReportEvery != 0) return;
        const int rows = m_tables.DirectoryScanTable.rowCount();
        m_progress.setStatusText("Assigned " + std::to_string(m_assignedCount) + " / " + std::to_string(rows));
        m_progress.setProgress(percentOf(static_cast<std::uint64_t>(m_assignedCount), static_cast<std::uint64_t>(rows)),
                               "Completed ");
    }

    /// Marks every unassigned folder with a first index cluster whose record
    /// lies in (start, end] and whose first index record is found where the
    /// geometry puts it; 1 when at least one was.
    int confirmFileSystem(std::uint64_t start, std::uint64_t spc, std::uint64_t end) {
        int result = 0;
        std::vector<int> confirmed;
        for (auto it = m_unassignedBySector.upper_bound({start, INT32_MAX}); it != m_unassignedBySector.end(); ++it) {
            if (it->first > end) break;
            const Folder& folder = m_folders[static_cast<std::size_t>(it->second)];
            const std::uint64_t lba = start + spc * folder.firstRun;
            if (!beginsWithIndx(lba)) continue;
            confirmed.push_back(it->second);
            const auto rows = m_indexBySector.find(lba);
            if (rows != m_indexBySector.end())
                for (int row : rows->second) m_indexAlive[static_cast<std::size_t>(row)] = false;
            result = 1;
        }
        for (int row : confirmed) {
            setFileSystem(row, static_cast<std::uint64_t>(m_fsCount) + 1);
            reportAssigned();
        }
        if (!confirmed.empty()) m_confirmedRecordSector = m_folders[static_cast<std::size_t>(confirmed.front())].sector;
        return result;
    }

    /// Sectors per MFT record of the record at lba as its header allocates
    /// them; 2 (1024 bytes) when it names no size the scan takes.
    std::uint32_t recordSectorsAt(std::uint64_t lba) {
        std::array<std::uint8_t, 512> sector{};
        m_disk.read(lba, 1, sector.data());
        const std::uint32_t bytes = util::bytesEqual(sector, 0, "FILE") ? mftRecordBytesOf(sector) : 0;
        return bytes != 0 ? bytes / 512 : ntfs::kSectorsPerRecord;
    }

    /// recordSectors: what the boot sector says, 0 when no boot sector
    /// gives it; the header of a folder record just confirmed then tells.
    void appendFileSystem(std::uint64_t start, std::uint64_t end, std::uint64_t spc, std::uint32_t recordSectors) {
        if (recordSectors == 0) recordSectors = recordSectorsAt(m_confirmedRecordSector);
        RecordTable& fs = m_tables.FileSystemTable;
        const int row = fs.appendRow(std::to_string(start));
        fs.setCell(row, NtfsBootCol::kCluster0Start, std::to_string(start));
        fs.setCell(row, NtfsBootCol::kSpf, std::to_string(end));
        fs.setCell(row, NtfsBootCol::kSpc, std::to_string(spc));
        fs.setU32(row, NtfsBootCol::kRootSectors, recordSectors);
        fs.setCell(row, NtfsBootCol::kPartType, "NTFS");
    }

    void identifyFileSystems() {
        m_progress.setStatusText("Analyzing File Systems List");
        m_fsCount = 0;
        m_tables.FileSystemTable.clear();
        loadIdentificationIndexes();
        m_pairCandidatesStale = true;

        const RecordTable& boot = m_tables.BootSectorTable;
        for (int b = 0; b < boot.rowCount(); ++b) {
            const std::uint64_t start = boot.getU64(b, NtfsBootCol::kSector);
            const std::uint64_t spc = boot.getU64(b, NtfsBootCol::kSpf);
            const std::uint64_t end = start + boot.getU64(b, NtfsBootCol::kRootStart);
            if (confirmFileSystem(start, spc, end) == 1) {
                ++m_fsCount;
                appendFileSystem(start, end, spc, boot.getU32(b, NtfsBootCol::kRootSectors));
            }
        }

        RecordTable& dirs = m_tables.DirectoryScanTable;
        for (int a = 0; a < dirs.rowCount(); ++a) {
            if (a % kReportEvery == 0 && stopped()) break;
            if (dirs.getI64(a, NtfsDirCol::kFileSystem) != 0) continue;
            const Folder folderA = m_folders[static_cast<std::size_t>(a)];
            std::uint64_t sectorA = 0;
            if (folderA.firstRun == 0 || !firstIndexSector(folderA.self, sectorA)) {
                setFileSystem(a, kNoFileSystem);
                continue;
            }
            pairWithLaterFolder(a, folderA, sectorA);
        }
        // Confirmed index records leave the table.
        keepIndexRows([&](int row) { return m_indexAlive[static_cast<std::size_t>(row)]; });
    }

    /// The later folders a pair may take, with their first index records;
    /// rebuilt after each confirmation, the only step that assigns later
    /// rows or removes index records.
    void rebuildPairCandidates() {
        m_pairCandidates.clear();
        for (int row : m_unassignedByRow) {
            const Folder& folder = m_folders[static_cast<std::size_t>(row)];
            std::uint64_t sector = 0;
            if (!firstIndexSector(folder.self, sector)) continue;
            m_pairCandidates.push_back(
                {row, static_cast<std::int64_t>(folder.firstRun), static_cast<std::int64_t>(sector)});
        }
        m_pairCandidatesStale = false;
    }

    void pairWithLaterFolder(int a, const Folder& folderA, std::uint64_t sectorA) {
        if (m_pairCandidatesStale) rebuildPairCandidates();
        const auto runA = static_cast<std::int64_t>(folderA.firstRun);
        const auto sA = static_cast<std::int64_t>(sectorA);
        auto it = std::upper_bound(m_pairCandidates.begin(), m_pairCandidates.end(), a,
                                   [](int row, const PairCandidate& c) { return row < c.row; });
        for (; it != m_pairCandidates.end(); ++it) {
            const std::int64_t runB = it->run;
            const std::int64_t sB = it->sector;
            if (sB == sA) continue;
            std::int64_t d = 0;
            if (runA > runB)
                d = (sA - sB) / (runA - runB);
            else if (runA < runB)
                d = (sB - sA) / (runB - runA);
            else
                continue;
            // d is 1, 2, 4, ... 128.
            if (d < 1 || d > 128 || (d & (d - 1)) != 0) continue;
            const std::int64_t start = sA - runA * d;
            if (start < 0) continue;
            if (confirmFileSystem(static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(d), m_scanEnd) == 1) {
                ++m_fsCount;
                appendFileSystem(static_cast<std::uint64_t>(start), m_scanEnd, static_cast<std::uint64_t>(d), 0);
                m_pairCandidatesStale = true;
                return;
            }
        }
    }

    // A folder whose file system was not determined joins that of the row
    // before it.
    void inherit() {
        RecordTable& dirs = m_tables.DirectoryScanTable;
        const int rows = dirs.rowCount();
        std::int64_t current = 1;
        for (int row = 0; row < rows; ++row) {
            const std::int64_t fs = dirs.getI64(row, NtfsDirCol::kFileSystem);
            if (fs != static_cast<std::int64_t>(kNoFileSystem)) {
                current = fs;
                continue;
            }
            dirs.setI64(row, NtfsDirCol::kFileSystem, current);
            reportAssigned();
        }
        m_progress.setStatusText("Assigned " + std::to_string(m_assignedCount) + " / " + std::to_string(rows));
        m_progress.setProgress(100, "Completed ");
    }

    void addWholeRangeFileSystem() {
        RecordTable& fs = m_tables.FileSystemTable;
        const int row = fs.appendRow(std::to_string(static_cast<std::uint32_t>(m_scanStart)));
        fs.setCell(row, NtfsBootCol::kCluster0Start, std::to_string(static_cast<std::uint32_t>(m_scanStart)));
        fs.setI32(row, NtfsBootCol::kSpf, static_cast<std::int32_t>(m_scanEnd));
        fs.setU32(row, NtfsBootCol::kSpc, kFallbackSectorsPerCluster);
        fs.setU32(row, NtfsBootCol::kRootSectors, recordSectorsAt(m_tables.MftRecordTable.getU64(0, NtfsMftCol::kSector)));
        fs.setCell(row, NtfsBootCol::kPartType, "NTFS");
        m_result.wholeRangeFallback = true;
    }

    const partition::VolumeRange& m_disk;
    const std::uint64_t m_scanStart;
    const std::uint64_t m_scanEnd;
    records::RecordTables& m_tables;
    util::ProgressSink& m_progress;
    std::stop_token m_stop;
    NtfsAssignmentResult m_result;
    int m_fsCount = 0;
    int m_assignedCount = 0;
    std::uint64_t m_confirmedRecordSector = 0;  // a folder record of the file system confirmed last

    std::vector<Folder> m_folders;                          // by DirectoryScanTable row
    std::set<int> m_unassignedByRow;                        // "File System" 0 and a first index cluster
    std::set<std::pair<std::uint64_t, int>> m_unassignedBySector;
    std::vector<std::uint64_t> m_indexSector;               // by IndexRecordTable row
    std::vector<bool> m_indexAlive;
    std::unordered_map<std::uint64_t, std::vector<int>> m_indexByOwner;
    std::unordered_map<std::uint64_t, std::vector<int>> m_indexBySector;
    std::unordered_map<std::uint64_t, bool> m_indxAt;       // sectors read by the confirmation
    struct PairCandidate {
        int row;
        std::int64_t run;
        std::int64_t sector;  // first index record
    };
    std::vector<PairCandidate> m_pairCandidates;
    bool m_pairCandidatesStale = true;
};

}  // namespace

NtfsAssignmentResult assignMftNumbers(const partition::VolumeRange& disk, std::uint64_t scanStart,
                                      std::uint64_t scanEnd, records::RecordTables& tables,
                                      util::ProgressSink& progress, std::stop_token stop) {
    Assignment assignment(disk, scanStart, scanEnd, tables, progress, stop);
    return assignment.run();
}

}  // namespace qvx::scan
