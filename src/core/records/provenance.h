#pragma once
// Where an item was found on the disk and how the folder shown above it
// was decided, so that an examiner can check both against the volume.

#include <cstdint>

namespace qvx::records {

enum class FoundIn : std::uint8_t {
    Nowhere,          // the synthetic "QVX_Miscellaneous" folder
    MftRecord,        // NTFS: its MFT record (number and first sector)
    DirectoryEntry,   // FAT: its directory entry (sector and byte offset)
    DirectoryCluster, // FAT folder: the first cluster of its directory, found by the scan
};

enum class ParentBy : std::uint8_t {
    None,
    ParentReference,   // its own reference to its parent ($FILE_NAME, or a FAT directory's ".." entry)
    FolderIndex,       // it is an entry of the directory (the index) of the folder holding it
    // No parent was found, or its parent links went round in a loop: the
    // search for lost directories hung it under "QVX_Miscellaneous".
    Miscellaneous,
};

struct Provenance {
    FoundIn foundIn = FoundIn::Nowhere;
    std::uint64_t record = 0;   // MFT record, or a FAT folder's first cluster
    std::uint64_t sector = 0;   // absolute sector of the record, the entry or the directory cluster
    std::uint32_t offset = 0;   // byte offset of a FAT entry in its sector
    ParentBy parentBy = ParentBy::None;
};

/// "MFT record", "directory entry", "directory cluster"; empty for Nowhere.
const char* foundInText(FoundIn f);
/// "parent reference", "folder index", "QVX_Miscellaneous"; empty for None.
const char* parentByText(ParentBy p);

}  // namespace qvx::records
