#include "engine/listing_output.h"

#include <optional>
#include <ostream>

#include "engine/fat_listing.h"
#include "fat/cluster_chain.h"
#include "records/time_text.h"
#include "recover/report.h"

namespace qvx::engine {

namespace {

constexpr std::uint32_t kFatAttrReadOnly = 0x01;
constexpr std::uint32_t kFatAttrHidden = 0x02;
constexpr std::uint32_t kFileNameType = 0x30;
// A $FILE_NAME value: 66 bytes before the name, then two bytes per unit.
constexpr std::uint64_t kFileNameFixedBytes = 66;
// The first FAT directory entry number; 2 is the root folder.
constexpr std::uint64_t kFatFirstEntryNumber = 3;
constexpr std::uint32_t kFatEntryBytes = 32;
constexpr std::uint32_t kSectorBytes = 512;
constexpr std::size_t kFatLabelChars = 11;

bool isMiscFolder(const records::FileListRow& row) { return row.isFolder && row.selfId == records::kMiscFolderId; }

/// True when the row is an NTFS item's, whose fields the item store holds.
bool hasItem(const ListingVolume& volume, const records::FileListRow& row) {
    return volume.ntfs() && volume.items != nullptr && row.item < volume.items->size();
}

/// A session log keeps one date, the $FILE_NAME creation, shown only in the
/// "date" and "time" texts: the times of its items are not known.
bool timesKnown(const ListingVolume& volume, const records::FileListRow& row) {
    if (!row.hasTimes) return false;
    return !hasItem(volume, row) || (volume.items->peek(row.item).flags & records::kItemFromLog) == 0;
}

using recover::appendNumber;

/// The item's times as ISO 8601 texts, or "" (JSON: null) where not known;
/// the change time for NTFS only.
template <class Take>
void forEachIsoTime(const ListingVolume& volume, const records::FileListRow& row, Take take) {
    const bool known = timesKnown(volume, row);
    const bool utc = !row.localTimes;
    take("created", row.times.created, utc, known);
    take("modified", row.times.modified, utc, known);
    take("accessed", row.times.accessed, utc, known);
    if (volume.ntfs()) take("changed", row.times.changed, utc, known);
}

bool hasNtfsRecord(const ListingVolume& volume, const records::FileListRow& row) {
    return volume.ntfs() && !isMiscFolder(row);
}

bool hasFatEntry(const ListingVolume& volume, const records::FileListRow& row) {
    return !volume.ntfs() && row.entrySector != 0;
}

std::uint64_t ntfsRecord(const ListingVolume& volume, const records::FileListRow& row) {
    return hasItem(volume, row) ? volume.items->peek(row.item).record : row.selfId;
}

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

/// Names as timeline tools print them: control characters become '^'.
void appendBodyName(std::string& out, std::string_view text) {
    for (char c : text) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '^' : c;
}

void appendMode(std::string& out, char nameType, char metaType, bool read, bool write) {
    out += nameType;
    out += '/';
    out += metaType;
    for (int i = 0; i < 3; ++i) {
        out += read ? 'r' : '-';
        out += write ? 'w' : '-';
        out += 'x';
    }
}

void appendTimes(std::string& out, std::uint32_t a, std::uint32_t m, std::uint32_t c, std::uint32_t cr) {
    out += std::to_string(a) + '|' + std::to_string(m) + '|' + std::to_string(c) + '|' + std::to_string(cr) + '\n';
}

/// Times read from the volume are written as The Sleuth Kit computes them,
/// a stored 0 included; times a session log does not keep are written as 0.
void appendNtfsTimes(std::string& out, const records::ItemTimes& t, bool fromVolume) {
    auto seconds = [fromVolume](std::int64_t v) {
        return v == 0 && !fromVolume ? std::uint32_t{0} : records::bodyfileUtcSeconds(v);
    };
    appendTimes(out, seconds(t.accessed), seconds(t.modified), seconds(t.changed), seconds(t.created));
}

std::uint32_t wallClockSeconds(std::int64_t fileTime) {
    std::int64_t seconds = 0;
    if (!records::wallClockToUnix(fileTime, seconds) || seconds < 0) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
}

void appendNtfsLines(std::string& out, const ListingVolume& volume, const std::string& path,
                     const records::FileListRow& row) {
    const std::optional<records::Item> item = rowItem(volume, row);
    const std::uint64_t record = ntfsRecord(volume, row);
    // A folder's streams are the folder's attributes: its type is shown.
    const bool folder = row.isFolder || (item.has_value() && item->isStream() &&
                                         volume.items->folderOf(item->record) != records::ItemStore::kNone);
    const char metaType = folder ? 'd' : 'r';
    const char nameType = row.deleted ? '-' : metaType;
    const std::uint32_t attributes = item.has_value() ? item->attributes : 0;
    // As The Sleuth Kit derives them, for NTFS and FAT alike: no read bits
    // for read-only, no write bits for hidden.
    const bool read = (attributes & kFatAttrReadOnly) == 0;
    const bool write = (attributes & kFatAttrHidden) == 0;
    const char* deleted = row.deleted ? " (deleted)" : "";

    const bool fromVolume = item.has_value() && item->attribute != records::ItemAttribute::None;
    const std::string owner = std::to_string(item.has_value() ? item->ownerId : 0);
    auto line = [&](std::string_view linePath, bool fileName) {
        out += "0|/";
        appendBodyName(out, linePath);
        if (fileName) out += " ($FILE_NAME)";
        out += deleted;
        out += '|' + std::to_string(record);
        if (fileName) {
            out += '-' + std::to_string(kFileNameType) + '-' + std::to_string(item->fileNameId);
        } else if (item.has_value() && item->attribute != records::ItemAttribute::None) {
            out += '-' + std::to_string(records::ntfsAttributeType(item->attribute)) + '-' +
                   std::to_string(item->attributeId);
        }
        out += '|';
        appendMode(out, nameType, metaType, read, write);
        out += '|' + owner + "|0|";
        if (fileName) {
            out += std::to_string(kFileNameFixedBytes + 2u * item->fileNameUnits) + '|';
            appendNtfsTimes(out, item->fileNameTimes, true);
            return;
        }
        out += std::to_string(item.has_value() ? item->size : row.sizeBytes) + '|';
        if (item.has_value() && timesKnown(volume, row)) appendNtfsTimes(out, item->times, fromVolume);
        else appendTimes(out, 0, 0, 0, 0);
    };
    line(path, false);
    // The $FILE_NAME line comes with the file or folder itself (or, for a
    // file listed only by its streams, with its first stream, at the file's
    // own path); items read from a session log lack its attribute id.
    if (!item.has_value() || item->attribute == records::ItemAttribute::None) return;
    if (!item->isStream()) {
        line(path, true);
        return;
    }
    if ((item->flags & records::kItemNamesFile) == 0) return;
    const std::size_t streamPart = volume.items->name(row.item).size() - volume.items->baseName(row.item).size();
    line(std::string_view(path).substr(0, path.size() >= streamPart ? path.size() - streamPart : path.size()), true);
}

void appendFatLine(std::string& out, const ListingVolume& volume, const std::string& path,
                   const records::FileListRow& row) {
    out += "0|/";
    if (row.volumeLabel) {
        // A label as its 11 stored characters, marked as such.
        const std::string& name = row.cells[records::kListName];
        const std::size_t prefix = path.size() >= name.size() ? path.size() - name.size() : 0;
        std::string label = name;
        if (label.size() < kFatLabelChars) label.append(kFatLabelChars - label.size(), ' ');
        appendBodyName(out, path.substr(0, prefix));
        appendBodyName(out, label);
        out += " (Volume Label Entry)";
    } else {
        appendBodyName(out, path);
    }
    if (row.deleted) out += " (deleted)";
    std::uint64_t entry = 0;
    if (row.entrySector >= volume.fatDataStart && row.entrySector != 0)
        entry = (row.entrySector - volume.fatDataStart) * (kSectorBytes / kFatEntryBytes) +
                row.entryOffset / kFatEntryBytes + kFatFirstEntryNumber;
    out += '|' + std::to_string(entry) + '|';
    const char type = row.isFolder ? 'd' : 'r';
    appendMode(out, type, type, (row.attributes & kFatAttrReadOnly) == 0, (row.attributes & kFatAttrHidden) == 0);
    std::uint64_t size = row.sizeBytes;
    if (row.isFolder) size = volume.fatFolderBytes ? volume.fatFolderBytes(row.selfId, row.deleted) : 0;
    out += "|0|0|" + std::to_string(size) + '|';
    if (!row.hasTimes) {
        appendTimes(out, 0, 0, 0, 0);
        return;
    }
    // Creation keeps whole seconds: hundredths of 100 and more add one
    // second to the even seconds FAT stores, but exactly 100 (an odd second
    // with no fraction left) is counted as none, as The Sleuth Kit does.
    std::int64_t created = row.times.created;
    constexpr std::int64_t kTicksPerSecond = 10000000;
    if (created > 0 && created % kTicksPerSecond == 0 && (records::fileTimeToUnixUtc(created) & 1) != 0)
        created -= kTicksPerSecond;
    appendTimes(out, wallClockSeconds(row.times.accessed), wallClockSeconds(row.times.modified), 0,
                wallClockSeconds(created));
}

/// Rows are written to the stream in chunks of some 64 KiB: a listing of
/// millions of rows makes that many fewer calls into the stream.
class BufferedWriter : public ListingWriter {
public:
    explicit BufferedWriter(std::ostream& out) : m_out(out) {}
    ~BufferedWriter() override { flush(); }
    void end() override { flush(); }

    void write(std::string_view text) override {
        flush();
        m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

protected:
    void rowDone() {
        if (m_line.size() >= kChunk) flush();
    }
    void flush() {
        if (m_line.empty()) return;
        m_out.write(m_line.data(), static_cast<std::streamsize>(m_line.size()));
        m_line.clear();
    }
    std::ostream& m_out;
    std::string m_line;

private:
    static constexpr std::size_t kChunk = 64 * 1024;
};

class JsonWriter : public BufferedWriter {
public:
    JsonWriter(std::ostream& out, const ListingVolume& volume) : BufferedWriter(out), m_volume(volume) {}
    void row(const std::string& path, const records::FileListRow& row, bool insideDeleted) override {
        formatRow(m_line, path, row, insideDeleted);
        rowDone();
    }
    bool formatsApart() const override { return true; }
    void formatRow(std::string& out, const std::string& path, const records::FileListRow& row,
                   bool insideDeleted) const override {
        appendJsonRow(out, m_volume, path, row, insideDeleted);
    }

private:
    const ListingVolume& m_volume;
};

class CsvWriter : public BufferedWriter {
public:
    CsvWriter(std::ostream& out, const ListingVolume& volume) : BufferedWriter(out), m_volume(volume) {}
    void begin() override {
        m_line += csvHeader();
        flush();
    }
    void row(const std::string& path, const records::FileListRow& row, bool insideDeleted) override {
        formatRow(m_line, path, row, insideDeleted);
        rowDone();
    }
    bool formatsApart() const override { return true; }
    void formatRow(std::string& out, const std::string& path, const records::FileListRow& row,
                   bool) const override {
        appendCsvRow(out, m_volume, path, row);
    }

private:
    const ListingVolume& m_volume;
};

class BodyfileWriter : public BufferedWriter {
public:
    BodyfileWriter(std::ostream& out, const ListingVolume& volume) : BufferedWriter(out), m_volume(volume) {}
    void row(const std::string& path, const records::FileListRow& row, bool insideDeleted) override {
        formatRow(m_line, path, row, insideDeleted);
        rowDone();
    }
    // FAT folder rows ask the volume for their chain's length: only NTFS
    // rows are formatted apart.
    bool formatsApart() const override { return m_volume.ntfs(); }
    void formatRow(std::string& out, const std::string& path, const records::FileListRow& row,
                   bool insideDeleted) const override {
        appendBodyfileLines(out, m_volume, path, row);
        // A deleted item is followed by a comment (timeline tools skip lines
        // that begin with "#") with the condition of its data and where it
        // was found, as a JSON object.
        if ((row.deleted || insideDeleted) && m_volume.jsonExtra) {
            std::string extra;
            m_volume.jsonExtra(extra, row, insideDeleted);
            if (!extra.empty()) {
                out += "# {\"name\":" + recover::jsonString("/" + path + (row.deleted ? " (deleted)" : "")) + extra;
                out += "}\n";
            }
        }
    }

private:
    const ListingVolume& m_volume;
};

}  // namespace

bool parseListingFormat(std::string_view text, ListingFormat& out) {
    if (text == "text") out = ListingFormat::Text;
    else if (text == "json") out = ListingFormat::Json;
    else if (text == "bodyfile") out = ListingFormat::Bodyfile;
    else if (text == "csv") out = ListingFormat::Csv;
    else return false;
    return true;
}

std::optional<records::Item> rowItem(const ListingVolume& volume, const records::FileListRow& row) {
    if (!hasItem(volume, row)) return std::nullopt;
    return (*volume.items)[row.item];
}

ListingVolume listingVolumeOf(const RecoveryState& state) {
    ListingVolume v;
    v.kind = records::volumeKindFromName(state.ActiveVolume.fileSystemName);
    v.items = &state.items;
    if (v.ntfs()) return v;
    const fat::FatVolume fat = activeFatVolume(state);
    if (!fat.isFat()) return v;
    v.fatDataStart = fat.isFat32() ? fat.clusterSector(2) : fat.params.rootStart;
    const std::uint64_t clusterBytes = std::uint64_t{fat.params.sectorsPerCluster} * kSectorBytes;
    v.fatFolderBytes = [fat, clusterBytes](std::uint32_t firstCluster, bool deleted) -> std::uint64_t {
        if (deleted || firstCluster < 2) return clusterBytes;
        return fat::BuildClusterChain(fat, firstCluster).size() * clusterBytes;
    };
    return v;
}

std::unique_ptr<ListingWriter> makeListingWriter(ListingFormat format, std::ostream& out, const ListingVolume& volume) {
    switch (format) {
    case ListingFormat::Json: return std::make_unique<JsonWriter>(out, volume);
    case ListingFormat::Csv: return std::make_unique<CsvWriter>(out, volume);
    case ListingFormat::Bodyfile: return std::make_unique<BodyfileWriter>(out, volume);
    case ListingFormat::Text: break;
    }
    return nullptr;
}

void appendJsonRow(std::string& out, const ListingVolume& volume, const std::string& path,
                   const records::FileListRow& row, bool insideDeleted) {
    out += "{\"path\":";
    recover::appendJsonString(out, path);
    out += ",\"name\":";
    recover::appendJsonString(out, row.cells[records::kListName]);
    out += row.isFolder ? ",\"type\":\"folder\"" : ",\"type\":\"file\"";
    out += row.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
    out += ",\"size\":";
    appendNumber(out, row.sizeBytes);
    out += ",\"date\":";
    recover::appendJsonString(out, row.cells[records::kListDate]);
    out += ",\"time\":";
    recover::appendJsonString(out, row.cells[records::kListTime]);
    out += ",\"self\":";
    appendNumber(out, row.selfId);
    out += ",\"parent\":";
    appendNumber(out, row.parentId);
    out += ",\"record\":";
    if (hasNtfsRecord(volume, row)) {
        appendNumber(out, ntfsRecord(volume, row));
    } else if (hasFatEntry(volume, row)) {
        out += "{\"sector\":";
        appendNumber(out, row.entrySector);
        out += ",\"offset\":";
        appendNumber(out, row.entryOffset);
        out += '}';
    } else {
        out += "null";
    }
    forEachIsoTime(volume, row, [&out](const char* key, std::int64_t value, bool utc, bool known) {
        out += ",\"";
        out += key;
        out += "\":";
        if (!known || value <= 0) {
            out += "null";
            return;
        }
        out += '"';
        records::appendIsoTimestamp(out, value, utc);
        out += '"';
    });
    if (volume.jsonExtra) volume.jsonExtra(out, row, insideDeleted);
    out += "}\n";
}

std::string csvHeader() {
    return "path,name,type,deleted,size,date,time,self,parent,record,created,modified,accessed,changed\r\n";
}

void appendCsvRow(std::string& out, const ListingVolume& volume, const std::string& path,
                  const records::FileListRow& row) {
    out += csvField(path) + ',' + csvField(row.cells[records::kListName]) + ',';
    out += row.isFolder ? "folder," : "file,";
    out += row.deleted ? "true," : "false,";
    out += std::to_string(row.sizeBytes) + ',' + csvField(row.cells[records::kListDate]) + ',' +
           csvField(row.cells[records::kListTime]) + ',' + std::to_string(row.selfId) + ',' +
           std::to_string(row.parentId) + ',';
    if (hasNtfsRecord(volume, row)) out += std::to_string(ntfsRecord(volume, row));
    else if (hasFatEntry(volume, row)) out += std::to_string(row.entrySector) + ':' + std::to_string(row.entryOffset);
    forEachIsoTime(volume, row, [&out](const char*, std::int64_t value, bool utc, bool known) {
        out += ',';
        if (known) records::appendIsoTimestamp(out, value, utc);
    });
    // FAT rows have no change time: its column stays empty.
    if (!volume.ntfs()) out += ',';
    out += "\r\n";
}

void appendBodyfileLines(std::string& out, const ListingVolume& volume, const std::string& path,
                         const records::FileListRow& row) {
    // "QVX_Miscellaneous" is no entry of the volume; what it holds is listed.
    if (isMiscFolder(row)) return;
    if (volume.ntfs()) appendNtfsLines(out, volume, path, row);
    else appendFatLine(out, volume, path, row);
}

}  // namespace qvx::engine
