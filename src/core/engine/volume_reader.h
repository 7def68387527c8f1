#pragma once
// What differs between NTFS and FAT once a volume's tree is built: reading
// a folder's own directory when it is opened (FAT names its sub-folders
// then), the file rows of a folder, and where a file's contents lie. The
// listing, the command line and recovery ask the volume reader of the
// active volume instead of comparing file-system names.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/recovery_state.h"
#include "records/file_list.h"
#include "records/folder_tree.h"
#include "recover/extents.h"

namespace qvx::engine {

class ListingIndex;

/// Where a file's contents lie, as recovery writes them.
struct LocatedFile {
    bool located = true;          // some contents were found
    bool trusted = true;          // and they are the file's as far as the volume tells
    bool skip = false;            // nothing to write (a plain volume label)
    std::string status = "complete";
    std::string note;
    recover::FileLayout layout;
    std::uint64_t size = 0;       // bytes to write
    bool hasTimes = false;
    std::int64_t modifiedUnix = 0;
    std::int64_t accessedUnix = 0;
};

class VolumeReader {
public:
    virtual ~VolumeReader() = default;
    virtual records::VolumeKind kind() const = 0;
    std::uint32_t rootId() const { return records::rootIdOf(kind()); }

    /// Reads what opening the folder of node nodeIndex needs; marks it expanded.
    virtual void openFolder(RecoveryState& state, int nodeIndex, const ListingIndex* index) = 0;
    /// Appends the file rows of folder target; rows [0, folderRows) are the
    /// folder rows already listed. Without shownCells, rows may leave out
    /// the texts only the file list shows (type, size and the sector,
    /// parent and record columns).
    virtual void listFiles(RecoveryState& state, records::FileList& list, std::uint32_t target,
                           std::size_t folderRows, bool shownCells) = 0;
    /// Locates the contents of a file row; insideDeleted tells that a folder
    /// above it is deleted.
    virtual LocatedFile locate(const records::FileListRow& row, bool insideDeleted) = 0;
};

/// The reader of the active volume (ActiveVolume's file system).
std::unique_ptr<VolumeReader> volumeReaderFor(RecoveryState& state);

/// Seconds since 1970 of a row's modification and access times (FAT's are
/// local wall-clock times, read in this machine's zone); false without them.
bool rowTimes(const records::FileListRow& row, std::int64_t& modifiedUnix, std::int64_t& accessedUnix);

}  // namespace qvx::engine
