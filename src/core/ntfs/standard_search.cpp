#include "ntfs/standard_search.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "ntfs/mft_record.h"
#include "records/lost_directories.h"

namespace qvx::ntfs {

namespace {

using records::FolderColumn;

constexpr const char* kBootSectorsFoundLabel = "Boot Sectors Found\t\t:";
// The MFT is read in chunks of this many record slots (1 MiB).
constexpr std::uint32_t kChunkSlots = 1024;
// Screen texts are refreshed every this many slots and at the end.
constexpr std::uint32_t kReportEvery = 1024;

/// Reads records named by attribute lists, which may lie anywhere in the
/// MFT; keeps the last one, as name and size lookups ask for it in turn.
class ListedRecordReader {
public:
    explicit ListedRecordReader(const partition::VolumeRange& volume) : m_volume(volume) {}

    /// The record at sector with its fixup applied, or empty when the
    /// sector holds no FILE record.
    util::Bytes read(std::uint32_t sector) {
        if (!m_valid || sector != m_sector) {
            m_sector = sector;
            m_valid = true;
            m_volume.read(sector, kSectorsPerRecord, m_record.data());
            m_isFile = isFileRecord(m_record);
            if (m_isFile) applyFixup(m_record, m_record.size());
        }
        return m_isFile ? util::Bytes(m_record) : util::Bytes();
    }

private:
    const partition::VolumeRange& m_volume;
    std::array<std::uint8_t, kRecordBytes> m_record{};
    std::uint32_t m_sector = 0;
    bool m_valid = false;
    bool m_isFile = false;
};

class MftWalk {
public:
    MftWalk(const partition::VolumeRange& volume, const MftRunTable& runs, records::RecordTables& tables,
            util::ProgressSink& progress)
        : m_volume(volume), m_runs(runs), m_tables(tables), m_progress(progress), m_listed(volume),
          m_total(runs.totalSectors()) {}

    WalkResult run(std::stop_token stop) {
        m_progress.setCounter(kMftFoundLabel, "");
        m_progress.setCounter(kBootSectorsFoundLabel, "");
        appendMiscellaneousRow(m_tables.FolderTable);

        const std::uint64_t diskSectors =
            m_volume.reader != nullptr ? m_volume.reader->totalSectors(m_volume.diskIndex) : 0;
        std::vector<std::uint8_t> chunk(std::size_t{kChunkSlots} * kRecordBytes);
        WalkResult result;
        for (std::size_t run = 0; run < m_runs.runCount(); ++run) {
            const std::uint64_t runStart = m_runs.start(run);
            const std::uint32_t runLength = m_runs.length(run);
            // Slots sit at offsets 0, 2, 4, ... below the run's length; an
            // odd-length run's last slot reaches one sector past it.
            const std::uint64_t runSlots = (std::uint64_t{runLength} + 1) / 2;
            for (std::uint64_t slot = 0; slot < runSlots;) {
                if (stop.stop_requested()) {
                    result.stopped = true;
                    report();
                    result.slotCount = m_n;
                    return result;
                }
                const std::uint64_t lba = runStart + 2 * slot;
                if (diskSectors != 0 && lba >= diskSectors) {
                    // Nothing past the disk's end can be read: the rest of
                    // the run counts as slots without a FILE record.
                    m_n += static_cast<std::uint32_t>(runSlots - slot);
                    m_done += 2 * (runSlots - slot);
                    break;
                }
                const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSlots, runSlots - slot));
                {
                    m_volume.read(lba, count * kSectorsPerRecord, chunk.data());
                    for (std::uint32_t k = 0; k < count; ++k) {
                        m_done += 2;
                        visit(std::span<std::uint8_t>(chunk.data() + std::size_t{k} * kRecordBytes, kRecordBytes),
                              lba + 2ull * k);
                        if (m_n % kReportEvery == 0) report();
                    }
                }
                slot += count;
            }
        }
        report();
        result.slotCount = m_n;
        return result;
    }

private:
    void visit(std::span<std::uint8_t> record, std::uint64_t sector64) {
        const auto sector = static_cast<std::uint32_t>(sector64);
        if (!isFileRecord(record)) {
            ++m_n;
            return;
        }
        applyFixup(record, kRecordBytes);
        const std::vector<std::uint32_t> list = collectListedRecords(record, m_n);

        // The record itself is already in memory; other listed records are
        // read where the run table places them.
        auto recordOf = [&](std::size_t index) -> util::Bytes {
            const std::uint32_t at = m_runs.recordSector(list[index]);
            if (index == 0 && at == sector) return util::Bytes(record);
            return m_listed.read(at);
        };

        FileNameInfo name;
        for (std::size_t i = 0; i < list.size() && !name.found; ++i) name = findFileNamePreferred(recordOf(i));
        if (!name.found) {
            ++m_n;
            return;
        }

        const std::uint8_t flags = record[kRecordFlags];
        const bool folder = flags == 3 || flags == 2;
        records::RecordTable& table = folder ? m_tables.FolderTable : m_tables.FileTable;
        const int row = table.appendRow(name.name);
        table.setU32(row, FolderColumn::kSector, sector);
        table.setU32(row, FolderColumn::kSelf, m_n);
        table.setU32(row, FolderColumn::kParent, name.parent);
        table.setI64(row, FolderColumn::kDate, name.creationTime);
        if (folder) {
            table.setCell(row, FolderColumn::kSize, "0");
            table.setCell(row, FolderColumn::kType, "FOLDER");
            if (flags == 2) table.setCell(row, FolderColumn::kDeleted, "1");
        } else {
            table.setCell(row, FolderColumn::kType, "FILE");
            DataSize size;
            for (std::size_t i = 0; i < list.size() && !size.found; ++i) size = findDataSize(recordOf(i));
            table.setU64(row, FolderColumn::kSize, size.found ? size.size : 0);
            if (flags == 0) table.setCell(row, FolderColumn::kDeleted, "1");
        }
        ++m_n;
        m_counter = m_n + 1;
    }

    void report() {
        const std::uint64_t shown = std::min(m_done, m_total);
        m_progress.setStatusText("Sectors  " + std::to_string(shown) + " of " + std::to_string(m_total));
        if (m_counter != 0) m_progress.setCounter(kMftFoundLabel, std::to_string(m_counter));
        if (m_total != 0) {
            m_progress.setProgress(static_cast<int>(std::min<std::uint64_t>(100, m_done * 100 / m_total)),
                                   "Completed ");
            m_progress.setAmount(shown * disk::kSectorSize, m_total * disk::kSectorSize, "bytes");
        }
    }

    const partition::VolumeRange& m_volume;
    const MftRunTable& m_runs;
    records::RecordTables& m_tables;
    util::ProgressSink& m_progress;
    ListedRecordReader m_listed;
    const std::uint64_t m_total;
    std::uint64_t m_done = 0;
    std::uint32_t m_n = 0;
    std::uint32_t m_counter = 0;  // "MFT Found": the number of the last record added plus 2
};

}  // namespace

void appendMiscellaneousRow(records::RecordTable& FolderTable) {
    const int row = FolderTable.appendRow(records::kMiscFolderName);
    FolderTable.setCell(row, FolderColumn::kSector, "0");
    FolderTable.setU32(row, FolderColumn::kSelf, records::kMiscFolderId);
    FolderTable.setCell(row, FolderColumn::kParent, "5");
    FolderTable.setCell(row, FolderColumn::kDate, "0");
    FolderTable.setCell(row, FolderColumn::kTime, "0");
    FolderTable.setCell(row, FolderColumn::kSize, "0");
    FolderTable.setCell(row, FolderColumn::kAttr, "16");
    FolderTable.setCell(row, FolderColumn::kSysId, "0");
    FolderTable.setCell(row, FolderColumn::kType, "FOLDER");
}

WalkResult walkMft(const partition::VolumeRange& volume, const MftRunTable& runs, records::RecordTables& tables,
                   util::ProgressSink& progress, std::stop_token stop) {
    MftWalk walk(volume, runs, tables, progress);
    return walk.run(stop);
}

bool runNtfsStandardSearch(const partition::VolumeRange& volume, const partition::VolumeParameters& params,
                           MftRunTable& runs, records::RecordTables& tables, records::FolderNodeList& nodes,
                           util::ProgressSink& progress, std::stop_token stop) {
    tables.FolderTable.clear();
    tables.FileTable.clear();
    nodes.clear();
    runs.clear();
    runs.buildMftRunTable(volume, params.cluster0Start, params.mftStart, params.sectorsPerCluster);

    const WalkResult walk = walkMft(volume, runs, tables, progress, stop);

    // A stopped walk still gets its tree: the folders and files found so far
    // are arranged the same way, which takes little time.
    progress.setStatusText("Searching Lost Directories. Please Wait...");
    progress.setHelpText("Please wait...");
    tables.FolderTable.sortByColumn(FolderColumn::kSelf);
    records::FindLostDirectories(records::VolumeKind::Ntfs, tables.FolderTable, &tables.FileTable, progress);

    tables.FolderTable.sortByColumn(FolderColumn::kParent);
    progress.setStatusText("Storing Directory Information. Please Wait...");
    records::BuildFolderTree(records::VolumeKind::Ntfs, tables.FolderTable, nodes, progress);

    progress.setHelpText(kResultHelpText);
    if (tables.FileTable.rowCount() == 0) progress.showMessage(kNoRecoveryMessage, util::MessageKind::Information);
    return !walk.stopped;
}

}  // namespace qvx::ntfs
