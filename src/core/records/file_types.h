#pragma once
// Descriptions of files by the ending of their names, shown in the "Type"
// column of the file list. One fixed table in three variants: FAT
// directories read through cluster chains, the fixed FAT16 root directory
// region, and NTFS folders. Endings are compared exactly, byte for byte.

#include <string>
#include <string_view>

namespace qvx::records {

enum class FileTypeVariant {
    FatClusterChain,  // every FAT32 directory and every FAT16 sub-directory
    Fat16Root,        // the fixed root directory region of a FAT16 volume
    Ntfs,             // every NTFS folder
};

/// Description of the first ending (in the variant's group order) that the
/// name ends with, or "File" when none matches.
std::string LookupFileType(std::string_view name, FileTypeVariant variant);
/// The same description, without a copy.
std::string_view fileTypeText(std::string_view name, FileTypeVariant variant);

}  // namespace qvx::records
