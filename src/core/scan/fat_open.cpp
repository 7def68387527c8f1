#include "scan/fat_open.h"

#include <algorithm>
#include <vector>

#include "disk/sector_reader.h"
#include "fat/directory_scan.h"
#include "fat/fat_volume.h"
#include "records/lost_directories.h"
#include "scan/fat_evidence.h"
#include "util/le.h"

namespace qvx::scan {

namespace {

using records::RecordTable;

constexpr std::uint32_t kCopySearchChunk = 256;

}  // namespace

bool findFatCopies(const partition::VolumeRange& range, std::uint64_t rangeStart, RecordTable& t, int row,
                   util::ProgressSink& progress, std::stop_token stop) {
    const bool fat32 = t.cell(row, kBsPartType) == "FAT32";
    const std::uint64_t c0 = t.getU32(row, kBsCluster0Start);
    const std::uint64_t span = fat32 ? kFat32CopySearchSectors : kFat16CopySearchSectors;
    std::uint64_t from = c0 > span ? c0 - span : kFatCopySearchFloor;
    if (from == 0) from = kFatCopySearchFloor;
    if (from == kFatCopySearchFloor && rangeStart < kFatCopySearchFloor) from = rangeStart;

    std::uint64_t found[2] = {0, 0};
    int foundCount = 0;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(kCopySearchChunk) * disk::kSectorSize);
    int shown = -1;
    for (std::uint64_t s = from; s < c0 && foundCount < 2;) {
        if (stop.stop_requested()) return false;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kCopySearchChunk, c0 - s));
        range.read(s, count, buf.data());
        for (std::uint32_t k = 0; k < count && foundCount < 2; ++k) {
            const util::Bytes sector(buf.data() + static_cast<std::size_t>(k) * disk::kSectorSize, disk::kSectorSize);
            if (sector[0] == 0xF8 && sector[1] == 0xFF && sector[2] == 0xFF) found[foundCount++] = s + k;
        }
        s += count;
        const int percent = static_cast<int>(std::min<std::uint64_t>(100, s * 100 / std::max<std::uint64_t>(c0, 1)));
        if (percent != shown) {
            shown = percent;
            progress.setProgress(percent, "Completed ");
        }
    }
    if (foundCount >= 1) t.setU64(row, kBsFirstFat, found[0]);
    if (foundCount == 2) {
        t.setU64(row, kBsSecondFat, found[1]);
        const std::uint64_t spf = found[1] - found[0];
        t.setU64(row, kBsSpf, spf);
        t.setU64(row, kBsRootStart, fat32 ? 2 : spf + found[1]);
    }
    return true;
}

FatFileSystem fatFileSystemFromRow(const RecordTable& t, int row) {
    FatFileSystem fs;
    fs.kind = std::string(t.cell(row, kBsPartType));
    partition::VolumeParameters& p = fs.params;
    p.firstFatStart = t.getU32(row, kBsFirstFat);
    p.reservedSectors = t.getU32(row, kBsReserveSectors);
    p.rootSectors = t.getU32(row, kBsRootSectors);
    if (p.rootSectors == 0 && fs.kind == "FAT16") p.rootSectors = 32;
    p.rootStart = t.getU32(row, kBsRootStart);
    if (p.rootStart == 0) p.rootStart = 2;
    p.secondFatStart = t.getU32(row, kBsSecondFat);
    p.sectorsPerCluster = t.getU32(row, kBsSpc);
    p.sectorsPerFat = t.getU32(row, kBsSpf);
    p.cluster0Start = t.getU32(row, kBsCluster0Start);
    return fs;
}

bool OpenFatFileSystem(const partition::VolumeRange& range, int number, records::RecordTables& tables,
                       FatFileSystem& opened, util::ProgressSink& progress, std::stop_token stop) {
    RecordTable& systems = tables.FileSystemTable;
    RecordTable& folders = tables.FolderTable;
    if (number < 1 || number > systems.rowCount()) return false;
    const int row = number - 1;
    const std::string_view kind = systems.cell(row, kBsPartType);
    if (kind != "FAT16" && kind != "FAT32") return false;

    folders.clear();
    fat::appendMiscellaneousRow(folders);
    const RecordTable& dirs = tables.DirectoryScanTable;
    int running = 0;
    for (int d = 0; d < dirs.rowCount(); ++d) {
        if (dirs.getI64(d, kDsFileSystem) != number) continue;
        const int r = folders.appendRow("DIR" + std::to_string(running++));
        folders.setCell(r, records::kSector, dirs.cell(d, kDsSector));
        folders.setCell(r, records::kSelf, dirs.cell(d, kDsSelfCluster));
        folders.setCell(r, records::kParent, dirs.cell(d, kDsParentCluster));
        folders.setCell(r, records::kDate, dirs.cell(d, kDsDate));
        folders.setCell(r, records::kTime, dirs.cell(d, kDsTime));
        folders.setCell(r, records::kSize, "0");
        folders.setCell(r, records::kAttr, "16");
        folders.setCell(r, records::kType, "FOLDER");
    }

    if (systems.getU32(row, kBsFirstFat) == 0 && !findFatCopies(range, range.SectorRangeStart, systems, row, progress, stop))
        return false;
    opened = fatFileSystemFromRow(systems, row);
    const fat::FatVolume volume = fat::makeFatVolume(opened.kind, opened.params, range);

    (void)records::finishFolderTree(volume.isFat16() ? records::VolumeKind::Fat16 : records::VolumeKind::Fat32,
                                    folders, fat::fatTreeSteps(volume), progress, stop);
    return true;
}

}  // namespace qvx::scan
