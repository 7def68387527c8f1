#pragma once
// Full names of FAT directory entries for the destination. The tree carries
// 8-bit names (the low byte of each long-name character, or the 8.3 name in
// capitals); the disk holds the long name in UTF-16 and, for short-only
// names, the flags Windows uses to show a base name or extension in lower
// case. This reads a folder's directory again and pairs each entry's full
// name with the name the tree shows.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fat/fat_volume.h"

namespace qvx::recover {

struct FatName {
    std::uint32_t firstCluster = 0;
    bool directory = false;
    bool deleted = false;
    bool volumeLabel = false;  // the volume's name, not a file
    std::string shown;  // as the tree shows it: long name low bytes, or the 8.3 name
    std::string utf8;   // the full name for the destination
};

/// Decodes the 32-byte entries of a directory's bytes, in order.
std::vector<FatName> decodeFatDirectory(const std::uint8_t* data, std::size_t size, bool fat32);

/// Reads the directory of folder folderSelf (0 = the root) and decodes it.
/// A deleted folder's chain is gone: its first cluster is read alone.
std::vector<FatName> readFatDirectoryNames(const fat::FatVolume& volume, std::uint32_t folderSelf);

/// True when the entry with firstCluster and that shown name is the
/// volume label, which a listing may show as an empty file.
bool isFatVolumeLabel(const std::vector<FatName>& entries, std::uint32_t firstCluster, const std::string& shown);

/// The UTF-8 name of the entry with firstCluster whose shown name is shown,
/// or shown itself (as UTF-8) when there is none.
std::string fullFatName(const std::vector<FatName>& entries, std::uint32_t firstCluster, const std::string& shown,
                        bool directory);

/// A directory's entries indexed by first cluster, so looking up each of a
/// folder's files costs the entries of that cluster, not the whole folder
/// (a folder of n files is named in linear time).
class FatDirectory {
public:
    FatDirectory() = default;
    explicit FatDirectory(std::vector<FatName> entries);
    /// The entries with that first cluster, in directory order.
    const std::vector<std::size_t>* withCluster(std::uint32_t firstCluster) const;
    const std::vector<FatName>& entries() const { return m_entries; }

private:
    std::vector<FatName> m_entries;
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> m_byCluster;
};

/// The same lookups through the index; the same answers as the above.
bool isFatVolumeLabel(const FatDirectory& entries, std::uint32_t firstCluster, const std::string& shown);
std::string fullFatName(const FatDirectory& entries, std::uint32_t firstCluster, const std::string& shown,
                        bool directory);

}  // namespace qvx::recover
