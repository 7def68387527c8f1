#pragma once
// The file rows of an NTFS folder in the file list, taken from the item
// store in MFT record order (a file's alternate data streams right after it).

#include <cstdint>

#include "records/file_list.h"
#include "records/items.h"

namespace qvx::ntfs {

/// Appends a row per file item whose parent is folderNumber (5 for the
/// root): name, type description, size, creation date and time (UTC), and
/// the record's sector, parent and own numbers in the hidden columns.
void fillNtfsFileRows(const records::ItemStore& items, records::FileList& list, std::uint64_t folderNumber,
                      bool shownCells = true);

/// The row of one file item.
records::FileListRow ntfsFileRow(const records::ItemStore& items, std::size_t index, bool shownCells = true);
/// The same made in a row kept from the last file row made there (its texts
/// keep their room, and shownCells is the same each time): every field a
/// file row has is set anew.
void fillNtfsFileRow(const records::ItemStore& items, std::size_t index, records::FileListRow& row,
                     bool shownCells = true);

}  // namespace qvx::ntfs
