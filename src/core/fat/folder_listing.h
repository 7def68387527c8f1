#pragma once
// Reading one folder's directory when the folder is listed or expanded: the
// names of its sub-folders and the rows of its files.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fat/directory.h"
#include "fat/fat_volume.h"
#include "records/file_list.h"
#include "records/file_types.h"
#include "util/diagnostics.h"

namespace qvx::fat {

/// Called with (first cluster, display name, deleted) for every sub-folder
/// entry with a valid name.
using SubfolderNameSink = std::function<void(std::uint32_t, const std::string&, bool)>;

/// Reads sector s of a folder's directory and reports the folder entries in
/// it. Returns 0 at the entry that ends the directory, 1 to go on with the
/// next sector.
int NameSubfoldersFromSector(const FatVolume& volume, std::uint64_t s, std::uint32_t parentSelf,
                             const SubfolderNameSink& sink);

struct SubfolderName {
    std::uint32_t self = 0;
    std::string name;
    bool deleted = false;
};

/// Reads the directory of the folder with first cluster folderSelf (through
/// its chain, up to the end of the directory) and returns one
/// name per sub-folder cluster, in directory order. When several entries
/// name the same cluster (a deleted folder whose cluster a new folder
/// reuses) the last live entry wins, else the last deleted one. Nothing is
/// read for the root (0) or "QVX_Miscellaneous".
std::vector<SubfolderName> readSubfolderNames(const FatVolume& volume, std::uint32_t folderSelf);
/// The same names, from a directory already read.
std::vector<SubfolderName> subfolderNamesOf(const FatDirectory& directory);

/// Appends the file rows of a folder's directory (folderId: its first
/// cluster, 0 for the root) to list, in directory order: "Name", "Type"
/// (cluster-chain or FAT16-root descriptions), "Size", "Date" and "Time"
/// (07-MAR-2009, 14:05) and the first cluster in "Debug Info 1". Folders,
/// "." and "..", long-name entries and entries whose name fails the name
/// check are left out (and counted in diagnostics); volume labels are
/// listed with the type "Volume Label"; nothing is listed for
/// "QVX_Miscellaneous".
void ListFatFiles(const FatVolume& volume, records::FileList& list, std::uint32_t folderId,
                  util::Diagnostics* diagnostics = nullptr);

struct FatDirEntry;
/// The file-list row of one entry of the listed folder. Without shownCells
/// the type, size and debug texts are left empty (the fields stay).
records::FileListRow fatFileRow(const FatDirEntry& entry, std::uint32_t listedFolder, records::FileTypeVariant variant,
                                bool shownCells = true);

}  // namespace qvx::fat
