// The Standard Search of a FAT16 or FAT32 volume (selector bit 0) over a
// sparse in-memory disk: boot sector validation or, without one, the
// geometry rebuilt from directory clusters; the directory cluster scan,
// lost directories, loops of ".." links, root naming and the folder tree;
// then the listing of the first folders as the tree shows them.

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

#include "fat/cluster_chain.h"
#include "fat/directory_scan.h"
#include "fat/fat_volume.h"
#include "fat/folder_listing.h"
#include "fuzz_disk.h"
#include "partition/validate_volume.h"
#include "records/file_list.h"
#include "records/folder_tree.h"
#include "records/tables.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 16);
    const std::string kind = (disk.device->selector() & 1) ? "FAT32" : "FAT16";
    const qvx::partition::VolumeRange range = disk.wholeRange();

    qvx::partition::VolumeParameters params;
    qvx::records::RecordTables tables;
    qvx::util::NullProgress progress;
    if (qvx::partition::ValidateVolume(kind, range, params, tables, progress) != 1 &&
        qvx::partition::CalculateFatParameters(kind, range, params, progress, std::stop_token{}) != 1)
        return 0;

    const qvx::fat::FatVolume volume = qvx::fat::makeFatVolume(kind, params, range);
    if (!qvx::fat::runFatStandardSearch(volume, tables.FolderTable, progress, std::stop_token{})) return 0;

    qvx::records::FolderNodeList nodes;
    qvx::records::BuildFolderTree(qvx::records::volumeKindFromName(kind), tables.FolderTable, nodes, progress);

    qvx::records::FileList root;
    qvx::fat::ListFatFiles(volume, root, 0);
    const std::uint32_t rootCluster = volume.isFat32() ? params.rootCluster() : 0;
    if (rootCluster != 0) (void)qvx::fat::readSubfolderNames(volume, rootCluster);
    for (std::uint32_t cluster = 2; cluster < 10; ++cluster) {
        (void)qvx::fat::BuildClusterChain(volume, cluster);
        (void)qvx::fat::readSubfolderNames(volume, cluster);
        qvx::records::FileList files;
        qvx::fat::ListFatFiles(volume, files, cluster);
    }
    return 0;
}
