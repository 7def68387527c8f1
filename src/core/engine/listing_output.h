#pragma once
// The recovered tree as listings for other tools: JSON Lines, CSV and the
// body file that timeline tools read (format 3, with the names, inode
// numbers and times The Sleuth Kit's `fls -m` writes). A writer takes one
// row at a time, so a listing is written while the tree is walked and is
// never held whole in memory.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/recovery_state.h"
#include "records/file_list.h"
#include "records/items.h"

namespace qvx::engine {

enum class ListingFormat { Text, Json, Bodyfile, Csv };

/// "text", "json", "bodyfile" or "csv"; false for anything else.
bool parseListingFormat(std::string_view text, ListingFormat& out);

/// What the writers need of the volume besides the rows.
struct ListingVolume {
    records::VolumeKind kind = records::VolumeKind::Ntfs;
    const records::ItemStore* items = nullptr;  // NTFS rows point into it
    /// FAT: the first sector of the data region (the FAT16 root directory,
    /// the FAT32 cluster 2), from which The Sleuth Kit numbers directory
    /// entries, 32 bytes each, the first one being number 3.
    std::uint64_t fatDataStart = 0;
    /// FAT: bytes of a folder's directory as a body file gives them (its
    /// chain's clusters; one cluster for a deleted folder). May be empty.
    std::function<std::uint64_t(std::uint32_t firstCluster, bool deleted)> fatFolderBytes;
    /// JSON: further members of a row's object (",\"key\":value..."), such
    /// as the condition of a deleted file's data and where it was found.
    /// insideDeleted: a folder above the row is deleted. May be empty. A
    /// listing may call it for several rows at once from two threads.
    std::function<void(std::string& out, const records::FileListRow& row, bool insideDeleted)> jsonExtra;

    bool ntfs() const { return kind == records::VolumeKind::Ntfs; }
};

/// The volume of a finished analysis.
ListingVolume listingVolumeOf(const RecoveryState& state);

/// Receives the tree in the order it is walked.
class ListingWriter {
public:
    virtual ~ListingWriter() = default;
    virtual void begin() {}
    /// The rows of a folder as it is opened; path is "" for the root, else
    /// the folder's path ("Docs/Reports").
    virtual void folder(const std::string& path, const records::FileList& rows) {
        (void)path;
        (void)rows;
    }
    /// One folder or file at its path ("Docs/Reports/a.doc"), right after
    /// its folder's rows or its parent's subtree; insideDeleted when a
    /// folder above it is deleted.
    virtual void row(const std::string& path, const records::FileListRow& row, bool insideDeleted) {
        (void)path;
        (void)row;
        (void)insideDeleted;
    }
    virtual void end() {}

    /// Writers whose text for a row depends on nothing but the row (and the
    /// volume's jsonExtra) let rows be formatted apart, on any thread, with
    /// formatRow, and the texts written in the tree's order with write.
    virtual bool formatsApart() const { return false; }
    virtual void formatRow(std::string& out, const std::string& path, const records::FileListRow& row,
                           bool insideDeleted) const {
        (void)out;
        (void)path;
        (void)row;
        (void)insideDeleted;
    }
    /// Text made by formatRow, after every row written before it.
    virtual void write(std::string_view text) { (void)text; }
};

/// The writer of a machine-readable format (not Text, which the front end
/// words itself). The volume must outlive the writer.
std::unique_ptr<ListingWriter> makeListingWriter(ListingFormat format, std::ostream& out, const ListingVolume& volume);

/// One JSON object and newline for a row (the JSON Lines writer's line).
void appendJsonRow(std::string& out, const ListingVolume& volume, const std::string& path,
                   const records::FileListRow& row, bool insideDeleted = false);
/// The CSV header line and one row (RFC 4180: CRLF line ends, fields with
/// a comma, quote or line break quoted, quotes doubled).
std::string csvHeader();
void appendCsvRow(std::string& out, const ListingVolume& volume, const std::string& path,
                  const records::FileListRow& row);
/// The body-file lines of a row: for NTFS one line for the listed
/// attribute ("RECORD-TYPE-ID") and, for a file or folder, one for its
/// $FILE_NAME (" ($FILE_NAME)", "RECORD-48-ID"); for FAT one line.
void appendBodyfileLines(std::string& out, const ListingVolume& volume, const std::string& path,
                         const records::FileListRow& row);

/// The item of an NTFS row, or null.
std::optional<records::Item> rowItem(const ListingVolume& volume, const records::FileListRow& row);

}  // namespace qvx::engine
