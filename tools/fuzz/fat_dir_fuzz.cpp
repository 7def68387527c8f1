// FAT directory entries over a sparse in-memory disk laid out as a small
// fixed volume (the selector byte picks FAT16 or FAT32 and the cluster
// size): long names gathered backwards across sectors, short names, the
// name check, "." / ".." detection, sub-folder naming, file listing and the
// cluster chains of the first clusters.

#include <cstddef>
#include <cstdint>

#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "fat/fat_volume.h"
#include "fat/folder_listing.h"
#include "fuzz_disk.h"
#include "records/file_list.h"
#include "util/le.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 4096);
    const std::uint8_t selector = disk.device->selector();
    const bool fat32 = (selector & 1) != 0;

    // Sector 1..8 the FAT, 9..40 the FAT16 root, then the data area.
    qvx::partition::VolumeParameters p;
    p.sectorsPerCluster = 1u << ((selector >> 1) & 3);
    p.reservedSectors = 1;
    p.firstFatStart = 1;
    p.sectorsPerFat = 8;
    p.secondFatStart = 9;
    p.rootSectors = fat32 ? 0 : 32;
    p.rootStart = fat32 ? 2 : 9;
    p.cluster0Start = 9 + p.rootSectors - 2 * p.sectorsPerCluster;

    const qvx::partition::VolumeRange range = disk.wholeRange();
    const qvx::fat::FatVolume volume = qvx::fat::makeFatVolume(fat32 ? "FAT32" : "FAT16", p, range);

    std::uint8_t sector[qvx::disk::kSectorSize];
    const std::uint64_t sectors = disk.device->sectors() < 96 ? disk.device->sectors() : 96;
    for (std::uint64_t lba = 0; lba < sectors; ++lba) {
        volume.read(lba, 1, sector);
        const qvx::util::Bytes view(sector, sizeof sector);
        (void)qvx::fat::beginsDirectory(view);
        for (std::uint32_t i = 0; i < qvx::fat::kEntriesPerSector; ++i) {
            const qvx::fat::DirEntry entry = qvx::fat::entryAt(view, i);
            (void)qvx::fat::isValidEntryName(qvx::fat::shortName(entry));
            (void)qvx::fat::DecodeEntryName(volume, view, i, lba);
        }
        qvx::fat::NameSubfoldersFromSector(volume, lba, 0, [](std::uint32_t, const std::string&, bool) {});
    }

    qvx::records::FileList root;
    qvx::fat::ListFatFiles(volume, root, 0);
    for (std::uint32_t cluster = 2; cluster < 12; ++cluster) {
        (void)qvx::fat::BuildClusterChain(volume, cluster);
        (void)qvx::fat::readSubfolderNames(volume, cluster);
        qvx::records::FileList files;
        qvx::fat::ListFatFiles(volume, files, cluster);
    }
    return 0;
}
