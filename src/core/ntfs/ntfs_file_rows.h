#pragma once
// The file rows of an NTFS folder in the file list, taken from FileTable in
// table (MFT record) order.

#include <cstdint>

#include "records/file_list.h"
#include "records/record_table.h"

namespace qvx::ntfs {

/// Appends a row per FileTable row whose parent is folderNumber (5 for the
/// root): name, type description, size, creation date and time (UTC), and
/// the record's sector, parent and own numbers in the hidden columns. With
/// an index of FileTable by parent only that folder's rows are visited.
void fillNtfsFileRows(const records::RecordTable& FileTable, records::FileList& list, std::uint32_t folderNumber,
                      const records::ParentRowIndex* index = nullptr);

}  // namespace qvx::ntfs
