#pragma once
// The session log: the result of an analysis (choices, volume parameters,
// every folder node and, on NTFS, every FileTable row) as a flat
// little-endian byte stream, and the way back into the tables and the tree.
//
// Layout, field after field, no padding:
//   13 bytes   marker "QVXWIN7SR2009" (not compared on load)
//   u32 N, N   disk model text (at most 49 characters)
//   u8 x 4     search mode (1 standard, 2 advance), selected disk, disk of
//              the analysis, selected partition
//   u8 K, K    file-system kind; u8 C, C search criterion
//   u64 x 2    sector range start and end
//   u32 x 12   volume parameters (FAT eight, then NTFS four); 0xFFFFFFFF
//              stands for a position beyond 32 bits
//   u32 x 8    active volume, FAT part; u32 x 4 active volume, NTFS part
//   u8 F, F    active file-system name
//   u32 M      folder records: u32 L (= name length + 25), name, u32 self,
//              u32 parent, u64 date value, u64 time value, u8 deleted
//   NTFS only: u32 R file records: u32 S, name (at most 255), u32 sector,
//              u32 self, u32 parent, i64 date, u32 size, u32 deleted
// The file ends after the last record.
//
// Decoding treats the bytes as untrusted: every length and count is checked
// against what is left, and anything inconsistent refuses the whole file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "partition/volume_parameters.h"
#include "records/folder_tree.h"
#include "records/items.h"
#include "records/record_table.h"
#include "util/progress.h"

namespace qvx::session {

inline constexpr std::string_view kSessionMarker = "QVXWIN7SR2009";
inline constexpr std::size_t kMarkerBytes = 13;
/// Header texts (model, kind, criterion, file-system name) hold at most this.
inline constexpr std::size_t kMaxHeaderText = 49;
/// Names of folder and file records hold at most this.
inline constexpr std::size_t kMaxNameText = 255;
/// Bytes of a folder record after its length field, besides the name.
inline constexpr std::uint32_t kFolderRecordFixedBytes = 25;
/// Largest session log read; far above any real volume's result.
inline constexpr std::uint64_t kMaxSessionBytes = 1ull << 30;

inline constexpr const char* kStandardCriterion = "Standard Search ";
inline constexpr const char* kAdvanceCriterion = "Advance Search";
inline constexpr const char* kLogExtension = ".LGX";
inline constexpr const char* kLoadFailedMessage =
    "Either the selected log file is corrupted or you have selected the wrong disk for recovery.";
inline constexpr const char* kUnableToOpenMessage = "Unable to open file";

struct SessionHeader {
    std::string diskModelText;
    std::uint8_t searchMode = 1;  // 1 Standard Search, 2 Advance Search
    std::uint8_t selectedDisk = 0;
    std::uint8_t analysisDisk = 0;
    std::uint8_t selectedPartition = 0;
    std::string fileSystemKind;
    std::string searchCriterion;
    std::uint64_t sectorRangeStart = 0;
    std::uint64_t sectorRangeEnd = 0;
    partition::VolumeParameters volumeParameters;
    partition::VolumeParameters activeParameters;
    std::string activeFileSystemName;
};

struct SessionFolder {
    std::string name;
    std::uint32_t selfId = 0;
    std::uint32_t parentId = 0;
    std::uint64_t dateValue = 0;
    std::uint64_t timeValue = 0;
    std::uint8_t deleted = 0;
};

struct SessionFile {
    std::string name;
    std::uint32_t sector = 0;
    std::uint32_t self = 0;
    std::uint32_t parent = 0;
    std::int64_t date = 0;
    std::uint32_t size = 0;
    std::uint32_t deleted = 0;
};

/// Everything a session log holds. files is used only when the active
/// file-system name is "NTFS".
struct SessionContent {
    SessionHeader header;
    std::vector<SessionFolder> folders;
    std::vector<SessionFile> files;

    bool hasFileSection() const { return header.activeFileSystemName == "NTFS"; }
};

/// The session of a finished analysis: one folder per node of the tree, in
/// list order, and on NTFS one file per file item (streams as "file:stream"
/// right after their file), names as UTF-8 bytes cut to 255 at a character
/// boundary, numbers saturated to the signed 32-bit fields (2147483647).
/// Item sectors are 512-byte LBAs; the log holds the disk's own sector
/// numbers, sectorUnits 512-byte sectors each.
SessionContent captureSession(SessionHeader header, const records::FolderNodeList& nodes,
                              const records::ItemStore& items, std::uint32_t sectorUnits = 1);

/// The bytes of the log. Texts longer than their limit are cut to it;
/// parameters beyond the unsigned 32-bit fields are stored as 0xFFFFFFFF.
std::vector<std::uint8_t> encodeSession(const SessionContent& content);

/// Decodes a whole log without touching a disk or the tables. Empty when any
/// field runs past the end, a text is longer than its limit, a count cannot
/// fit in the bytes left, the file-system name is not "NTFS", "FAT16" or
/// "FAT32", or bytes follow the last record; whyNot (optional) then says
/// which. The marker is not compared.
std::optional<SessionContent> decodeSession(std::span<const std::uint8_t> bytes, std::string* whyNot = nullptr);

/// Refills FolderTable (one FOLDER row per folder record, its deleted byte
/// restored into "Deleted") and the items (one per file record; names that
/// are not UTF-8 are read as Latin-1),
/// then sorts FolderTable on "parent". The rows go in so that the tree
/// builder recreates the saved node order.
/// File sectors are turned back into 512-byte LBAs (sectorUnits each); a
/// saturated one stays as read.
void refillTables(const SessionContent& content, records::RecordTable& FolderTable, records::ItemStore& items,
                  util::ProgressSink& progress, std::uint32_t sectorUnits = 1);

/// Path with ".LGX" appended unless it already ends in ".LGX" (any case).
/// The path is otherwise kept as chosen.
std::string withLogExtension(std::string path);

/// Writes bytes to path, checking every write and the close. On failure the
/// partial file is removed and error names the cause.
bool writeSessionFile(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error);

/// Reads a whole log of at most maxBytes bytes.
bool readSessionFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error,
                     std::uint64_t maxBytes = kMaxSessionBytes);

}  // namespace qvx::session
