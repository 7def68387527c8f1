#include "session/session_log.h"

#include <fcntl.h>
#include <unistd.h>

#include "util/utf.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "records/tables.h"
#include "util/le.h"

namespace qvx::session {

namespace {

using records::RecordTable;

// ---- Writing ----------------------------------------------------------------

class Writer {
public:
    void u8(std::uint8_t v) { m_out.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void bytes(std::string_view text) { m_out.insert(m_out.end(), text.begin(), text.end()); }
    void text8(std::string_view text) {
        u8(static_cast<std::uint8_t>(text.size()));
        bytes(text);
    }
    void text32(std::string_view text) {
        u32(static_cast<std::uint32_t>(text.size()));
        bytes(text);
    }
    std::vector<std::uint8_t> take() { return std::move(m_out); }

private:
    std::vector<std::uint8_t> m_out;
};

// Texts are UTF-8: a cut never splits a character.
std::string_view cut(std::string_view text, std::size_t limit) { return text.substr(0, util::utf8Cut(text, limit)); }

std::uint32_t saturateSigned32(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, INT32_MAX));
}

// The parameter fields are unsigned 32-bit: a position beyond them (a volume
// past 2^32 sectors) is stored as 0xFFFFFFFF, the largest value they hold.
std::uint32_t saturateUnsigned32(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, UINT32_MAX));
}

void writeParams(Writer& w, const partition::VolumeParameters& p, bool fat, bool ntfs) {
    if (fat) {
        for (std::uint64_t v : {std::uint64_t{p.sectorsPerFat}, std::uint64_t{p.sectorsPerCluster},
                                std::uint64_t{p.rootSectors}, p.rootStart, std::uint64_t{p.reservedSectors},
                                p.cluster0Start, p.firstFatStart, p.secondFatStart})
            w.u32(saturateUnsigned32(v));
    }
    if (ntfs) {
        for (std::uint64_t v : {p.mftStart, p.mftMirrorStart, std::uint64_t{p.sectorsPerMftRecord},
                                std::uint64_t{p.sectorsPerIndexRecord}})
            w.u32(saturateUnsigned32(v));
    }
}

// ---- Reading ----------------------------------------------------------------

/// Sequential reader that fails once anything runs past the end; every
/// later read then fails too.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    bool ok() const { return m_ok; }
    std::size_t left() const { return m_bytes.size() - m_pos; }
    const std::string& why() const { return m_why; }

    bool fail(std::string why) {
        if (m_ok) m_why = std::move(why);
        m_ok = false;
        return false;
    }
    bool skip(std::size_t n, const char* what) {
        if (!m_ok) return false;
        if (n > left()) return fail(std::string(what) + " runs past the end");
        m_pos += n;
        return true;
    }
    std::uint8_t u8(const char* what) {
        const std::size_t at = m_pos;
        return skip(1, what) ? util::le8(m_bytes, at) : 0;
    }
    std::uint32_t u32(const char* what) {
        const std::size_t at = m_pos;
        return skip(4, what) ? util::le32(m_bytes, at) : 0;
    }
    std::uint64_t u64(const char* what) {
        const std::size_t at = m_pos;
        return skip(8, what) ? util::le64(m_bytes, at) : 0;
    }
    std::string text(std::uint64_t length, std::size_t limit, const char* what) {
        if (!m_ok) return {};
        if (length > limit) {
            fail(std::string(what) + " is longer than " + std::to_string(limit) + " characters");
            return {};
        }
        const std::size_t at = m_pos;
        if (!skip(static_cast<std::size_t>(length), what)) return {};
        return std::string(reinterpret_cast<const char*>(m_bytes.data() + at), static_cast<std::size_t>(length));
    }
    std::string text8(std::size_t limit, const char* what) { return text(u8(what), limit, what); }
    std::string text32(std::size_t limit, const char* what) { return text(u32(what), limit, what); }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_ok = true;
    std::string m_why;
};

void readParams(Reader& r, partition::VolumeParameters& p, bool fat, bool ntfs) {
    if (fat) {
        p.sectorsPerFat = r.u32("volume parameters");
        p.sectorsPerCluster = r.u32("volume parameters");
        p.rootSectors = r.u32("volume parameters");
        p.rootStart = r.u32("volume parameters");
        p.reservedSectors = r.u32("volume parameters");
        p.cluster0Start = r.u32("volume parameters");
        p.firstFatStart = r.u32("volume parameters");
        p.secondFatStart = r.u32("volume parameters");
    }
    if (ntfs) {
        p.mftStart = r.u32("volume parameters");
        p.mftMirrorStart = r.u32("volume parameters");
        p.sectorsPerMftRecord = r.u32("volume parameters");
        p.sectorsPerIndexRecord = r.u32("volume parameters");
    }
}

bool knownFileSystem(std::string_view name) { return name == "NTFS" || name == "FAT16" || name == "FAT32"; }

// Smallest records: a folder with an empty name, a file with an empty name.
constexpr std::size_t kMinFolderRecordBytes = 4 + kFolderRecordFixedBytes;
constexpr std::size_t kMinFileRecordBytes = 4 + 4 * 3 + 8 + 4 + 4;

}  // namespace

SessionContent captureSession(SessionHeader header, const records::FolderNodeList& nodes,
                              const records::ItemStore& items, std::uint32_t sectorUnits) {
    if (sectorUnits == 0) sectorUnits = 1;
    SessionContent content;
    content.header = std::move(header);
    content.folders.reserve(static_cast<std::size_t>(nodes.count()));
    for (const records::FolderNode& node : nodes.nodes()) {
        SessionFolder f;
        f.name = std::string(cut(node.name, kMaxNameText));
        f.selfId = node.selfId;
        f.parentId = node.parentId;
        f.dateValue = static_cast<std::uint64_t>(node.dateValue);
        f.timeValue = static_cast<std::uint64_t>(node.timeValue);
        f.deleted = node.deleted ? 1 : 0;
        content.folders.push_back(std::move(f));
    }
    if (!content.hasFileSection()) return content;
    content.files.reserve(items.fileCount());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const records::Item& it = items[i];
        if (it.isFolder()) continue;
        // The fields are signed 32-bit on disk: larger values saturate.
        SessionFile f;
        f.name = std::string(cut(items.name(i), kMaxNameText));
        f.sector = saturateSigned32(it.sector / sectorUnits);
        f.self = saturateSigned32(it.record);
        f.parent = saturateSigned32(it.parent);
        f.date = (it.flags & records::kItemHasFileNameTimes) != 0 ? it.fileNameTimes.created : it.times.created;
        f.size = saturateSigned32(it.size);
        f.deleted = it.deleted() ? 1 : 0;
        content.files.push_back(std::move(f));
    }
    return content;
}

std::vector<std::uint8_t> encodeSession(const SessionContent& content) {
    const SessionHeader& h = content.header;
    Writer w;
    w.bytes(kSessionMarker);
    w.text32(cut(h.diskModelText, kMaxHeaderText));
    w.u8(h.searchMode);
    w.u8(h.selectedDisk);
    w.u8(h.analysisDisk);
    w.u8(h.selectedPartition);
    w.text8(cut(h.fileSystemKind, kMaxHeaderText));
    w.text8(cut(h.searchCriterion, kMaxHeaderText));
    w.u64(h.sectorRangeStart);
    w.u64(h.sectorRangeEnd);
    writeParams(w, h.volumeParameters, true, true);
    writeParams(w, h.activeParameters, true, false);
    writeParams(w, h.activeParameters, false, true);
    w.text8(cut(h.activeFileSystemName, kMaxHeaderText));
    w.u32(static_cast<std::uint32_t>(content.folders.size()));
    for (const SessionFolder& f : content.folders) {
        const std::string_view name = cut(f.name, kMaxNameText);
        w.u32(static_cast<std::uint32_t>(name.size()) + kFolderRecordFixedBytes);
        w.bytes(name);
        w.u32(f.selfId);
        w.u32(f.parentId);
        w.u64(f.dateValue);
        w.u64(f.timeValue);
        w.u8(f.deleted);
    }
    if (content.hasFileSection()) {
        w.u32(static_cast<std::uint32_t>(content.files.size()));
        for (const SessionFile& f : content.files) {
            w.text32(cut(f.name, kMaxNameText));
            w.u32(f.sector);
            w.u32(f.self);
            w.u32(f.parent);
            w.u64(static_cast<std::uint64_t>(f.date));
            w.u32(f.size);
            w.u32(f.deleted);
        }
    }
    return w.take();
}

std::optional<SessionContent> decodeSession(std::span<const std::uint8_t> bytes, std::string* whyNot) {
    Reader r(bytes);
    SessionContent content;
    SessionHeader& h = content.header;
    // The marker is skipped, not compared: only the rest decides.
    r.skip(kMarkerBytes, "marker");
    h.diskModelText = r.text32(kMaxHeaderText, "disk model text");
    h.searchMode = r.u8("search mode");
    h.selectedDisk = r.u8("selected disk");
    h.analysisDisk = r.u8("disk of the analysis");
    h.selectedPartition = r.u8("selected partition");
    h.fileSystemKind = r.text8(kMaxHeaderText, "file-system kind");
    h.searchCriterion = r.text8(kMaxHeaderText, "search criterion");
    h.sectorRangeStart = r.u64("sector range start");
    h.sectorRangeEnd = r.u64("sector range end");
    readParams(r, h.volumeParameters, true, true);
    readParams(r, h.activeParameters, true, false);
    readParams(r, h.activeParameters, false, true);
    h.activeFileSystemName = r.text8(kMaxHeaderText, "file-system name");
    if (r.ok() && !knownFileSystem(h.activeFileSystemName))
        r.fail("file-system name \"" + h.activeFileSystemName + "\" is not NTFS, FAT16 or FAT32");

    const std::uint32_t folderCount = r.u32("folder count");
    if (r.ok() && folderCount > r.left() / kMinFolderRecordBytes) r.fail("folder count exceeds the file");
    if (r.ok()) content.folders.reserve(folderCount);
    for (std::uint32_t i = 0; i < folderCount && r.ok(); ++i) {
        SessionFolder f;
        const std::uint32_t length = r.u32("folder record length");
        if (r.ok() && length < kFolderRecordFixedBytes) {
            r.fail("folder record length below 25");
            break;
        }
        f.name = r.text(length - kFolderRecordFixedBytes, kMaxNameText, "folder name");
        f.selfId = r.u32("folder self");
        f.parentId = r.u32("folder parent");
        f.dateValue = r.u64("folder date");
        f.timeValue = r.u64("folder time");
        f.deleted = r.u8("folder deleted flag");
        if (r.ok()) content.folders.push_back(std::move(f));
    }

    if (r.ok() && content.hasFileSection()) {
        const std::uint32_t fileCount = r.u32("file count");
        if (r.ok() && fileCount > r.left() / kMinFileRecordBytes) r.fail("file count exceeds the file");
        if (r.ok()) content.files.reserve(fileCount);
        for (std::uint32_t i = 0; i < fileCount && r.ok(); ++i) {
            SessionFile f;
            f.name = r.text32(kMaxNameText, "file name");
            f.sector = r.u32("file sector");
            f.self = r.u32("file self");
            f.parent = r.u32("file parent");
            f.date = static_cast<std::int64_t>(r.u64("file date"));
            f.size = r.u32("file size");
            f.deleted = r.u32("file deleted flag");
            if (r.ok()) content.files.push_back(std::move(f));
        }
    }
    if (r.ok() && r.left() != 0) r.fail(std::to_string(r.left()) + " bytes follow the last record");
    if (!r.ok()) {
        if (whyNot != nullptr) *whyNot = r.why();
        return std::nullopt;
    }
    return content;
}

void refillTables(const SessionContent& content, RecordTable& FolderTable, records::ItemStore& items,
                  util::ProgressSink& progress, std::uint32_t sectorUnits) {
    if (sectorUnits == 0) sectorUnits = 1;
    FolderTable.clear();
    items.clear();
    const auto kind = records::volumeKindFromName(content.header.activeFileSystemName);
    const std::uint32_t rootId = records::rootIdOf(kind);
    const auto& folders = content.folders;

    // The builder takes the first level in table order and every other
    // parent's children last row first, grouped by the parent as it parses
    // it; sorting rows that are already in order moves none of them. So the
    // rows go in sorted on "parent" with the first level in node order and
    // each other group reversed, and the rebuilt node list is the saved one.
    std::vector<std::string> parentText(folders.size());
    std::vector<std::uint32_t> parentKey(folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) {
        parentText[i] = std::to_string(folders[i].parentId);
        parentKey[i] = static_cast<std::uint32_t>(records::parseI32(parentText[i]));
    }
    std::vector<std::size_t> order(folders.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int c = records::compareCells(parentText[a], parentText[b]);
        if (c != 0) return c < 0;
        if (parentKey[a] != parentKey[b]) return parentKey[a] < parentKey[b];
        return parentKey[a] == rootId ? a < b : a > b;
    });

    const std::size_t total = folders.size() + content.files.size();
    std::size_t done = 0;
    int lastPercent = -1;
    auto step = [&] {
        ++done;
        const int percent = static_cast<int>(done * 100 / std::max<std::size_t>(total, 1));
        if (percent != lastPercent) {
            lastPercent = percent;
            progress.setProgress(percent, "Completed ");
        }
    };
    for (std::size_t i : order) {
        const SessionFolder& f = folders[i];
        // Names are stored as UTF-8; a log of 8-bit names reads as Latin-1.
        const int row = FolderTable.appendRow(util::utf8OrLatin1(f.name));
        FolderTable.setU32(row, records::kSelf, f.selfId);
        FolderTable.setU32(row, records::kParent, f.parentId);
        FolderTable.setI64(row, records::kDate, static_cast<std::int64_t>(f.dateValue));
        FolderTable.setI64(row, records::kTime, static_cast<std::int64_t>(f.timeValue));
        FolderTable.setCell(row, records::kSize, "0");
        FolderTable.setCell(row, records::kType, "FOLDER");
        if (f.deleted != 0) FolderTable.setCell(row, records::kDeleted, "1");
        step();
    }
    if (content.hasFileSection()) {
        std::string previousName;
        std::uint32_t previousSelf = 0;
        bool havePrevious = false;
        for (const SessionFile& f : content.files) {
            records::Item item;
            // A saturated sector says only "beyond the field" and stays as read.
            item.sector = f.sector >= static_cast<std::uint32_t>(INT32_MAX) ? f.sector
                                                                           : std::uint64_t{f.sector} * sectorUnits;
            item.record = f.self;
            item.parent = f.parent;
            item.fileNameTimes.created = f.date;
            item.times.created = f.date;
            item.size = f.size;
            item.flags = records::kItemHasFileNameTimes | records::kItemFromLog;
            if (f.deleted != 0) item.flags |= records::kItemDeleted;
            std::string name = util::utf8OrLatin1(f.name);
            // An alternate data stream follows its file as "file:stream".
            if (havePrevious && f.self == previousSelf && name.size() > previousName.size() + 1 &&
                name.compare(0, previousName.size(), previousName) == 0 && name[previousName.size()] == ':') {
                items.add(item, previousName, std::string_view(name).substr(previousName.size() + 1));
            } else if (f.self == f.parent && name.size() > 2 && name.compare(0, 2, ".:") == 0) {
                // A folder's stream listed inside the folder.
                items.add(item, ".", std::string_view(name).substr(2));
            } else {
                items.add(item, name);
                previousName = std::move(name);
                previousSelf = f.self;
                havePrevious = true;
            }
            step();
        }
    }
    FolderTable.sortByColumn(records::kParent);
}

std::string withLogExtension(std::string path) {
    const std::string_view ext = kLogExtension;
    bool has = path.size() >= ext.size();
    for (std::size_t i = 0; has && i < ext.size(); ++i) {
        const char c = path[path.size() - ext.size() + i];
        has = (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) == ext[i];
    }
    if (!has) path += ext;
    return path;
}

bool writeSessionFile(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error) {
    // The log is written to a new file beside the target and renamed over
    // it only once it is complete and on the disk, so a failed save (full
    // disk, I/O error, a kill) leaves the previous log as it was.
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + base.substr(0, 200) + "." + std::to_string(::getpid()) + "-" +
               std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error = std::string(kUnableToOpenMessage) + " " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string cause;
    std::size_t done = 0;
    while (done < bytes.size() && cause.empty()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) cause = n < 0 ? std::strerror(errno) : "nothing written";
        else done += static_cast<std::size_t>(n);
    }
    if (cause.empty() && ::fsync(fd) != 0) cause = std::strerror(errno);
    if (::close(fd) != 0 && cause.empty()) cause = std::strerror(errno);
    if (cause.empty() && ::rename(temp.c_str(), path.c_str()) != 0) cause = std::strerror(errno);
    if (!cause.empty()) {
        ::unlink(temp.c_str());
        error = "Unable to write the session log " + path + ": " + cause;
        return false;
    }
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool readSessionFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error,
                     std::uint64_t maxBytes) {
    bytes.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::string(kUnableToOpenMessage) + " " + path + ": " + std::strerror(errno);
        return false;
    }
    // Read in pieces up to the limit, so neither a device nor a file that
    // grows while it is read can make the buffer unbounded.
    constexpr std::size_t kChunk = 1u << 16;
    bool ok = true;
    while (ok) {
        const std::size_t old = bytes.size();
        if (old > maxBytes) {
            error = "The session log " + path + " is larger than " + std::to_string(maxBytes) + " bytes";
            ok = false;
            break;
        }
        bytes.resize(old + kChunk);
        const std::size_t got = std::fread(bytes.data() + old, 1, kChunk, file);
        bytes.resize(old + got);
        if (got < kChunk) {
            if (std::ferror(file) != 0) {
                error = "Unable to read the session log " + path + ": " + std::strerror(errno);
                ok = false;
            }
            break;
        }
    }
    if (ok && bytes.size() > maxBytes) {
        error = "The session log " + path + " is larger than " + std::to_string(maxBytes) + " bytes";
        ok = false;
    }
    std::fclose(file);
    if (!ok) bytes.clear();
    return ok;
}

}  // namespace qvx::session
