#pragma once
// One NTFS file as its MFT records hold it: the base record and, when its
// attributes did not fit, the extension records its $ATTRIBUTE_LIST names
// (the list itself resident or not). This is the one place where attributes
// of a file are put together; every search and recovery asks it for names,
// times, sizes and the data streams with their runs.

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/attribute.h"
#include "ntfs/file_name.h"
#include "ntfs/mft_header.h"
#include "ntfs/run_list.h"
#include "util/decode_status.h"
#include "util/diagnostics.h"
#include "util/le.h"

namespace qvx::ntfs {

/// Bound on the extension records of one file.
inline constexpr std::size_t kMaxExtensionRecordsPerFile = 4096;

/// A data stream: the unnamed $DATA or a named one (an alternate stream).
struct DataStream {
    std::string name;  // UTF-8; empty for the unnamed stream
    bool resident = false;
    std::vector<std::uint8_t> residentData;
    std::vector<Run> runs;  // in VCN order; missing pieces appear as sparse runs
    std::uint64_t dataSize = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t initializedSize = 0;
    std::uint16_t flags = 0;            // of the instance that starts the stream
    std::uint16_t compressionUnit = 0;  // log2 of clusters per compression unit
    std::uint16_t attributeId = 0;      // of the instance that starts the stream (see MftFile)
    bool complete = true;               // every piece was found and decoded
    std::string problem;                // why not
};

struct NamedFileName {
    FileName value;    // nameUnits cleared: the record bytes are not kept
    std::string name;  // UTF-8
    std::uint16_t attributeId = 0;
    std::uint8_t nameUnitCount = 0;  // UTF-16 units of the stored name
};

struct MftFile {
    std::uint64_t number = 0;
    MftHeader header;
    bool hasStandardInformation = false;
    StandardInformation standardInformation;
    std::vector<NamedFileName> names;   // every $FILE_NAME, in record order
    std::vector<DataStream> streams;    // unnamed first when present, then named in order
    /// Named indexes other than a folder's "$I30" ($Secure:$SDH, $Quota:$Q):
    /// their name and $INDEX_ROOT value, listed and written like streams.
    struct NamedIndex {
        std::string name;
        std::vector<std::uint8_t> root;
        std::uint16_t attributeId = 0;
    };
    std::vector<NamedIndex> namedIndexes;
    /// The folder's "$I30" $INDEX_ROOT: its attribute id and value bytes.
    bool hasIndexRoot = false;
    std::uint16_t indexRootId = 0;
    std::uint32_t indexRootBytes = 0;
    std::uint32_t indexFirstCluster = 0;  // first cluster of the $I30 index allocation
    bool hasAttributeList = false;
    bool extensionsComplete = true;     // every record the list names was read
    std::string problem;                // the first problem met, for reports

    /// Empties the file for another decode, keeping its lists' buffers.
    void clear();

    /// The name shown for the file: Win32, Win32 and DOS, DOS, then POSIX.
    const NamedFileName* bestName() const;
    /// The last $FILE_NAME in record order that is not a DOS alias (the one
    /// timeline tools report the $FILE_NAME times of), else bestName().
    const NamedFileName* lastLongName() const;
    const DataStream* unnamedData() const;
    const DataStream* stream(std::string_view name) const;
};

/// The runs of a non-resident attribute list (appended to runs) and the
/// bytes of it that are read: what decodeMftFile asks its source for.
util::DecodeResult attributeListRuns(const Attribute& list, std::uint64_t volumeClusters, std::vector<Run>& runs,
                                     std::uint64_t& bytes);

/// Where decodeMftFile gets what lies outside the base record.
class MftFileSource {
public:
    virtual ~MftFileSource() = default;
    /// Record n with its fixup applied; false when it cannot be read or is
    /// no FILE record.
    virtual bool readExtension(std::uint64_t recordNumber, std::vector<std::uint8_t>& out) = 0;
    /// The first bytes of the clusters of runs (a non-resident attribute list).
    virtual bool readRuns(const std::vector<Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) = 0;
};

/// Puts a file together from its base record (fixup applied). Attribute ids
/// are those of the base record; an attribute that lives only in extension
/// records gets a number above every id the attribute list names, one per
/// distinct type and name in list order, so that every attribute of the
/// file has its own id (as The Sleuth Kit numbers them). Attributes in
/// extension records come through source (may be null: base record only).
/// volumeClusters bounds every run list (0: unknown). Corrupt attributes
/// and run lists are reported to diagnostics (may be null) with the record
/// number and sector; the file keeps what decoded.
util::DecodeResult decodeMftFile(util::Bytes base, std::uint64_t number, std::uint64_t lba, MftFileSource* source,
                                 std::uint64_t volumeClusters, MftFile& out, util::Diagnostics* diagnostics = nullptr);

}  // namespace qvx::ntfs
