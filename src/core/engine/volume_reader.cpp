#include "engine/volume_reader.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/fat_listing.h"
#include "ntfs/ntfs_file_rows.h"
#include "records/time_text.h"
#include "recover/fat_data.h"
#include "recover/ntfs_data.h"

namespace qvx::engine {

namespace {

class NtfsReader : public VolumeReader {
public:
    explicit NtfsReader(RecoveryState& state) : m_state(state) {
        m_volume.range = state.volumeRange();
        m_volume.cluster0 = state.ActiveVolume.params.cluster0Start;
        m_volume.sectorsPerCluster = state.ActiveVolume.params.sectorsPerCluster;
        m_volume.mft = &state.mftRunTable;
        // Bounded by the volume's own size, also where the disk is shorter.
        if (m_volume.sectorsPerCluster != 0 && state.SectorRangeEnd > state.SectorRangeStart)
            m_volume.volumeClusters = (state.SectorRangeEnd - state.SectorRangeStart + 1) / m_volume.sectorsPerCluster;
    }
    records::VolumeKind kind() const override { return records::VolumeKind::Ntfs; }
    void openFolder(RecoveryState& state, int nodeIndex, const ListingIndex*) override {
        if (nodeIndex >= 0 && nodeIndex < state.FolderNodeList.count()) state.FolderNodeList.setExpanded(nodeIndex, true);
    }
    void listFiles(RecoveryState& state, records::FileList& list, std::uint32_t target, std::size_t,
                   bool shownCells) override {
        ntfs::fillNtfsFileRows(state.items, list, target, shownCells);
    }
    LocatedFile locate(const records::FileListRow& row, bool) override {
        if (!m_sectorsKnown) {
            // The first item of each record with a sector, by record.
            m_sectorsKnown = true;
            m_state.items.forEachBriefWithSector([this](std::size_t, const records::ItemStore::Brief& b) {
                if (b.sector != 0) m_sectors.emplace_back(b.record, b.sector);
            });
            std::stable_sort(m_sectors.begin(), m_sectors.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            m_sectors.erase(std::unique(m_sectors.begin(), m_sectors.end(),
                                        [](const auto& a, const auto& b) { return a.first == b.first; }),
                            m_sectors.end());
        }
        m_volume.recordSectors = &m_sectors;
        std::string_view stream;
        const records::ItemStore& items = m_state.items;
        if (row.item < items.size() && items[row.item].isStream()) stream = items.streamName(row.item);
        const recover::NtfsFileData d = recover::readNtfsFileData(m_volume, row.selfId, stream);
        LocatedFile out;
        out.size = row.sizeBytes;
        out.hasTimes = d.hasModified;
        out.modifiedUnix = d.modifiedUnix;
        out.accessedUnix = d.accessedUnix;
        if (d.found) {
            out.layout = d.layout;
            out.size = d.layout.size;
        } else if (row.sizeBytes != 0) {
            out.located = false;
        }
        // A file without data (some system files) has nothing to copy.
        out.trusted = d.complete || (!d.found && row.sizeBytes == 0);
        out.note = d.problem;
        if (!out.trusted) out.status = out.located ? "incomplete" : "missing";
        return out;
    }

private:
    RecoveryState& m_state;
    recover::NtfsVolume m_volume;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_sectors;
    bool m_sectorsKnown = false;
};

class FatReader : public VolumeReader {
public:
    explicit FatReader(RecoveryState& state)
        : m_kind(records::volumeKindFromName(state.ActiveVolume.fileSystemName)), m_volume(activeFatVolume(state)) {
        m_volume.fatSectors = std::make_shared<fat::FatSectorCache>();
        m_kept.fatSectors = m_volume.fatSectors;
    }
    records::VolumeKind kind() const override { return m_kind; }
    void openFolder(RecoveryState& state, int nodeIndex, const ListingIndex* index) override {
        readFatFolderDirectory(state, nodeIndex, index, &m_kept);
    }
    void listFiles(RecoveryState& state, records::FileList& list, std::uint32_t target, std::size_t folderRows,
                   bool shownCells) override {
        fillFatFileRows(state, list, target, folderRows, &m_kept, shownCells);
    }
    LocatedFile locate(const records::FileListRow& row, bool insideDeleted) override {
        LocatedFile out;
        out.size = row.sizeBytes;
        // A label that owns clusters hides data there: it is written like a
        // file; a plain label is only the volume's name.
        if (row.volumeLabel && (row.selfId < 2 || row.sizeBytes == 0)) {
            out.skip = true;
            out.status = "volume label";
            out.note = "the volume's name, not a file";
            return out;
        }
        // A file inside a deleted folder lost its chain with the folder.
        const recover::FatFileData d =
            recover::locateFatFile(m_volume, row.selfId, row.sizeBytes, row.deleted || insideDeleted);
        out.layout = d.layout;
        out.located = d.ok;
        out.status = d.status;
        out.note = d.problem;
        out.trusted = d.status == recover::kFatComplete || d.status == recover::kFatUnverified;
        out.hasTimes = rowTimes(row, out.modifiedUnix, out.accessedUnix);
        return out;
    }

private:
    // The directory of the folder opened last, until its rows are made.
    FatDirectoryKept m_kept;
    records::VolumeKind m_kind;
    fat::FatVolume m_volume;
};

}  // namespace

bool rowTimes(const records::FileListRow& row, std::int64_t& modified, std::int64_t& accessed) {
    if (!row.hasTimes || row.times.modified <= 0) return false;
    if (row.localTimes) {
        if (!records::wallClockToUnix(row.times.modified, modified)) return false;
        if (!records::wallClockToUnix(row.times.accessed, accessed)) accessed = modified;
        return true;
    }
    modified = records::fileTimeToUnixUtc(row.times.modified);
    accessed = row.times.accessed > 0 ? records::fileTimeToUnixUtc(row.times.accessed) : modified;
    return true;
}

std::unique_ptr<VolumeReader> volumeReaderFor(RecoveryState& state) {
    if (records::volumeKindFromName(state.ActiveVolume.fileSystemName) == records::VolumeKind::Ntfs)
        return std::make_unique<NtfsReader>(state);
    return std::make_unique<FatReader>(state);
}

}  // namespace qvx::engine
