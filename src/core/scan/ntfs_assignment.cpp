#include "scan/ntfs_assignment.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ntfs/mft_record.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::scan {

namespace {

using records::RecordTable;

// Screen texts are refreshed every this many units of work and at the end.
constexpr int kReportEvery = 256;

int percentOf(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
}

/// A value as the numbering has always read it back from its decimal text:
/// saturated to the signed 32-bit range.
std::uint32_t asSigned32(std::uint32_t value) { return std::min<std::uint32_t>(value, INT32_MAX); }

/// A folder record still without a number, looked for by the index
/// entries: (creation time, parent, name).
struct WorkKey {
    std::int64_t date = 0;
    std::int64_t parent = 0;
    std::string_view name;
    bool operator==(const WorkKey&) const = default;
};

struct WorkKeyHash {
    std::size_t operator()(const WorkKey& k) const {
        return std::hash<std::string_view>()(k.name) ^ (std::hash<std::int64_t>()(k.date) * 31) ^
               (std::hash<std::int64_t>()(k.parent) * 131);
    }
};

/// The records with one key in disk order; a match always takes the first
/// one left, so a cursor is all the deleting needed.
struct WorkRows {
    std::vector<std::size_t> mftRows;
    std::size_t next = 0;
};

class Assignment {
public:
    Assignment(const partition::VolumeRange& disk, std::uint64_t scanStart, std::uint64_t scanEnd,
               records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop)
        : m_disk(disk), m_scanStart(scanStart), m_scanEnd(scanEnd), m_tables(tables), m_scan(tables.ntfsScan),
          m_progress(progress), m_stop(stop) {}

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
        if (m_fsCount == 0 && !m_scan.mft.empty()) addWholeRangeFileSystem();
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
        std::vector<records::MftScanRecord>& mft = m_scan.mft;
        std::unordered_map<WorkKey, WorkRows, WorkKeyHash> work;
        for (std::size_t i = 0; i < mft.size(); ++i) {
            if (!mft[i].folder || mft[i].self != 0) continue;
            WorkKey key{mft[i].date, asSigned32(mft[i].parent), m_scan.name(mft[i].name)};
            work[key].mftRows.push_back(i);
        }
        m_progress.setStatusText(" Assigning MFT Numbers Phase 1 \\ 2   ...");
        m_progress.setProgress(0, "0  % Completed ");
        // Without work-list rows no entry can match.
        if (work.empty()) return;

        const int n = static_cast<int>(m_scan.index.size());
        for (int j = 0; j < n; ++j) {
            if (j % kReportEvery == 0) {
                if (stopped()) return;
                m_progress.setStatusText(" Assigning MFT Numbers Phase 1 \\ 2 ( " + std::to_string(j) + "/" +
                                         std::to_string(n) + " ) .....");
                m_progress.setProgress(percentOf(static_cast<std::uint64_t>(j), static_cast<std::uint64_t>(n)),
                                       "Completed ");
            }
            const records::IndexScanRecord& record = m_scan.index[static_cast<std::size_t>(j)];
            for (std::uint64_t e = record.entriesBegin; e < record.entriesEnd && e < m_scan.entries.size(); ++e) {
                const records::IndexFolderEntry& entry = m_scan.entries[e];
                const WorkKey key{entry.date, entry.parent, m_scan.name(entry.name)};
                const auto found = work.find(key);
                if (found != work.end() && found->second.next < found->second.mftRows.size()) {
                    mft[found->second.mftRows[found->second.next++]].self = entry.record;
                    ++m_result.phase1Matches;
                }
            }
        }
    }

    // Phase 2: a record without a number follows the record before it.
    void phase2() {
        m_progress.setStatusText(" Assigning MFT Numbers Phase 2 \\ 2   ...");
        m_progress.setProgress(0, "0  % Completed ");
        std::vector<records::MftScanRecord>& mft = m_scan.mft;
        const int rows = static_cast<int>(mft.size());
        std::uint32_t previous = 1;
        for (int m = 0; m < rows; ++m) {
            std::uint32_t s = asSigned32(mft[static_cast<std::size_t>(m)].self);
            if (s == 0) {
                s = previous + 1;
                mft[static_cast<std::size_t>(m)].self = s;
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
        const std::vector<records::MftScanRecord>& mft = m_scan.mft;
        std::vector<records::NtfsScanFolder>& dirs = m_scan.folders;
        m_tables.DirectoryScanTable.clear();
        dirs.clear();
        const int rows = static_cast<int>(mft.size());
        for (int i = 0; i < rows; ++i) {
            if (i % (kReportEvery * 16) == 0) {
                m_progress.setStatusText(" Extracting Directory Entries ........." + std::to_string(i) + " / " +
                                         std::to_string(rows));
                m_progress.setProgress(percentOf(static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(rows)),
                                       "Completed ");
            }
            const records::MftScanRecord& r = mft[static_cast<std::size_t>(i)];
            if (!r.folder) continue;
            records::NtfsScanFolder folder;
            folder.sector = r.sector;
            folder.self = r.self;
            folder.parent = r.parent;
            folder.date = r.date;
            folder.name = r.name;
            folder.firstRun = r.firstRun;
            folder.deleted = r.deleted;
            dirs.push_back(folder);
        }
        // Only the first index record of each folder is kept.
        std::erase_if(m_scan.index, [](const records::IndexScanRecord& r) { return r.vcn != 0; });
        m_progress.setProgress(0, "Completed ");
    }

    // --- identification -------------------------------------------------

    struct Folder {
        std::uint64_t sector = 0;  // the FILE record
        std::uint64_t self = 0;
        std::uint32_t firstRun = 0;
    };

    void loadIdentificationIndexes() {
        const std::vector<records::NtfsScanFolder>& dirs = m_scan.folders;
        m_folders.clear();
        m_unassignedByRow.clear();
        m_unassignedBySector.clear();
        for (std::size_t i = 0; i < dirs.size(); ++i) {
            const int row = static_cast<int>(i);
            Folder folder;
            folder.sector = dirs[i].sector;
            folder.self = dirs[i].self;
            folder.firstRun = asSigned32(dirs[i].firstRun);
            m_folders.push_back(folder);
            if (folder.firstRun != 0 && dirs[i].fileSystem == 0) {
                m_unassignedByRow.insert(row);
                m_unassignedBySector.insert({folder.sector, row});
            }
        }
        const std::vector<records::IndexScanRecord>& indx = m_scan.index;
        m_indexSector.clear();
        m_indexAlive.assign(indx.size(), true);
        m_indexByOwner.clear();
        m_indexBySector.clear();
        for (std::size_t i = 0; i < indx.size(); ++i) {
            const int row = static_cast<int>(i);
            const std::uint64_t sector = indx[i].sector;
            m_indexSector.push_back(sector);
            // Every row left has vcn 0 and no file system yet.
            if (indx[i].vcn != 0) continue;
            m_indexByOwner[indx[i].owner].push_back(row);
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

    /// Whether the sector at lba begins with "INDX": the scan noted every
    /// such sector of what it looked at; only a sector outside that is read.
    bool beginsWithIndx(std::uint64_t lba) {
        if (lba >= m_scan.seenFrom && lba < m_scan.seenTo)
            return std::binary_search(m_scan.indxSectors.begin(), m_scan.indxSectors.end(), lba);
        const auto cached = m_indxAt.find(lba);
        if (cached != m_indxAt.end()) return cached->second;
        std::array<std::uint8_t, 512> sector{};
        m_disk.read(lba, 1, sector.data());
        const bool indx = util::bytesEqual(sector, 0, "INDX");
        m_indxAt.emplace(lba, indx);
        return indx;
    }

    void setFileSystem(int row, std::uint64_t value) {
        m_scan.folders[static_cast<std::size_t>(row)].fileSystem = value;
        const Folder& folder = m_folders[static_cast<std::size_t>(row)];
        m_unassignedByRow.erase(row);
        m_unassignedBySector.erase({folder.sector, row});
    }

    void reportAssigned() {
        ++m_assignedCount;
        if (m_assignedCount % kReportEvery != 0) return;
        const int rows = static_cast<int>(m_scan.folders.size());
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

        const int rows = static_cast<int>(m_scan.folders.size());
        for (int a = 0; a < rows; ++a) {
            if (a % kReportEvery == 0 && stopped()) break;
            if (m_scan.folders[static_cast<std::size_t>(a)].fileSystem != 0) continue;
            const Folder folderA = m_folders[static_cast<std::size_t>(a)];
            std::uint64_t sectorA = 0;
            if (folderA.firstRun == 0 || !firstIndexSector(folderA.self, sectorA)) {
                setFileSystem(a, kNoFileSystem);
                continue;
            }
            pairWithLaterFolder(a, folderA, sectorA);
        }
        // Confirmed index records leave the list.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_scan.index.size(); ++i)
            if (m_indexAlive[i]) m_scan.index[kept++] = m_scan.index[i];
        m_scan.index.resize(kept);
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
        std::vector<records::NtfsScanFolder>& dirs = m_scan.folders;
        const int rows = static_cast<int>(dirs.size());
        std::uint64_t current = 1;
        for (records::NtfsScanFolder& folder : dirs) {
            if (folder.fileSystem != kNoFileSystem) {
                current = folder.fileSystem;
                continue;
            }
            folder.fileSystem = current;
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
        fs.setU32(row, NtfsBootCol::kRootSectors, recordSectorsAt(m_tables.ntfsScan.mft.empty() ? 0 : m_tables.ntfsScan.mft.front().sector));
        fs.setCell(row, NtfsBootCol::kPartType, "NTFS");
        m_result.wholeRangeFallback = true;
    }

    const partition::VolumeRange& m_disk;
    const std::uint64_t m_scanStart;
    const std::uint64_t m_scanEnd;
    records::RecordTables& m_tables;
    records::NtfsScanRecords& m_scan;
    util::ProgressSink& m_progress;
    std::stop_token m_stop;
    NtfsAssignmentResult m_result;
    int m_fsCount = 0;
    int m_assignedCount = 0;
    std::uint64_t m_confirmedRecordSector = 0;  // a folder record of the file system confirmed last

    std::vector<Folder> m_folders;                          // by folder row
    std::set<int> m_unassignedByRow;                        // "File System" 0 and a first index cluster
    std::set<std::pair<std::uint64_t, int>> m_unassignedBySector;
    std::vector<std::uint64_t> m_indexSector;               // by index record row
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
