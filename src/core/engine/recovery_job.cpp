#include "engine/recovery_job.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "recover/destination_guard.h"
#include "recover/destination_writer.h"
#include "recover/extents.h"
#include "recover/fat_data.h"
#include "recover/fat_names.h"
#include "recover/ntfs_data.h"

namespace qvx::engine {

namespace {

struct FolderRef {
    std::string name;  // 8-bit, as the tree shows it
    std::uint32_t self = 0;
    bool deleted = false;
};

struct Selected {
    std::string path;  // 8-bit listing path
    std::vector<FolderRef> folders;
    records::FileListRow row;
};

std::string normalisePath(std::string p) {
    while (!p.empty() && p.front() == '/') p.erase(p.begin());
    while (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

bool isSelected(const std::string& utf8Path, const std::vector<std::string>& wanted) {
    if (wanted.empty()) return true;
    for (const std::string& w : wanted) {
        if (w.empty() || utf8Path == w) return true;
        if (utf8Path.size() > w.size() && utf8Path.compare(0, w.size(), w) == 0 && utf8Path[w.size()] == '/') return true;
    }
    return false;
}

/// True when path lies on the way to a wanted sub-tree (so it must be walked).
bool leadsToSelection(const std::string& utf8Path, const std::vector<std::string>& wanted) {
    if (isSelected(utf8Path, wanted)) return true;
    for (const std::string& w : wanted)
        if (w.size() > utf8Path.size() && w.compare(0, utf8Path.size(), utf8Path) == 0 && w[utf8Path.size()] == '/')
            return true;
    return false;
}

/// Every file and folder row of the tree, in the order the listing shows
/// them, with the folders leading to it; folders not leading to a selected
/// path are not opened.
void collect(RecoveryState& state, const std::vector<std::string>& wanted, std::vector<Selected>& files,
             std::vector<Selected>& folders, std::stop_token stop) {
    const ListingIndex index(state);
    ListingOptions options;
    options.index = &index;
    const bool fat = state.ActiveVolume.fileSystemName != "NTFS";
    std::vector<bool> listed(static_cast<std::size_t>(state.FolderNodeList.itemCount()), false);
    struct Frame {
        records::FileList rows;
        std::string prefix;
        std::vector<FolderRef> folders;
        std::size_t next = 0;
    };
    auto list = [&](records::TreeItemId item, std::string prefix, std::vector<FolderRef> refs) {
        if (fat) readFatFolderDirectory(state, state.FolderNodeList.nodeOfItem(item), &index);
        return Frame{PopulateFileList(state, item, options), std::move(prefix), std::move(refs), 0};
    };
    std::vector<Frame> stack;
    listed[records::kRootItem] = true;
    stack.push_back(list(records::kRootItem, "", {}));
    while (!stack.empty() && !stop.stop_requested()) {
        Frame& top = stack.back();
        if (top.next >= top.rows.size()) {
            stack.pop_back();
            continue;
        }
        const records::FileListRow row = top.rows[top.next++];
        const std::string path = top.prefix + row.cells[records::kListName];
        const std::string utf8 = recover::latin1ToUtf8(path);
        if (!row.isFolder) {
            if (isSelected(utf8, wanted)) files.push_back(Selected{path, top.folders, row});
            continue;
        }
        if (!leadsToSelection(utf8, wanted)) continue;
        std::vector<FolderRef> refs = top.folders;
        refs.push_back(FolderRef{row.cells[records::kListName], row.selfId, row.deleted});
        if (isSelected(utf8, wanted)) folders.push_back(Selected{path, refs, row});
        if (!state.FolderNodeList.validItem(row.treeItem) || listed[static_cast<std::size_t>(row.treeItem)]) continue;
        listed[static_cast<std::size_t>(row.treeItem)] = true;
        stack.push_back(list(row.treeItem, path + "/", std::move(refs)));
    }
}

/// Keeps the files and folders that RecoveryOptions::ids and globs select,
/// and names the ids and patterns that select nothing.
void applySelectors(const RecoveryOptions& options, std::vector<Selected>& files, std::vector<Selected>& folders,
                    std::vector<std::string>& unmatched) {
    if (options.ids.empty() && options.globs.empty()) return;
    std::vector<std::string> patterns;
    for (const std::string& g : options.globs) patterns.push_back(normalisePath(g));
    const int flags = options.ignoreCase ? FNM_CASEFOLD : 0;
    std::vector<bool> idUsed(options.ids.size(), false);
    std::vector<bool> globUsed(patterns.size(), false);
    auto keep = [&](const Selected& sel) {
        // An id selects the item, and for a folder everything below it.
        bool idOk = options.ids.empty();
        for (std::size_t i = 0; i < options.ids.size(); ++i) {
            bool hit = options.ids[i] == sel.row.selfId;
            for (const FolderRef& ref : sel.folders) hit = hit || options.ids[i] == ref.self;
            if (hit) idOk = idUsed[i] = true;
        }
        bool globOk = patterns.empty();
        if (!patterns.empty()) {
            const std::string utf8 = recover::latin1ToUtf8(sel.path);
            for (std::size_t i = 0; i < patterns.size(); ++i)
                if (::fnmatch(patterns[i].c_str(), utf8.c_str(), flags) == 0) globOk = globUsed[i] = true;
        }
        return idOk && globOk;
    };
    std::erase_if(files, [&](const Selected& s) { return !keep(s); });
    std::erase_if(folders, [&](const Selected& s) { return !keep(s); });
    for (std::size_t i = 0; i < options.ids.size(); ++i)
        if (!idUsed[i]) unmatched.push_back("--id " + std::to_string(options.ids[i]));
    for (std::size_t i = 0; i < patterns.size(); ++i)
        if (!globUsed[i]) unmatched.push_back("--glob " + options.globs[i]);
}

/// FAT date "DD-MON-YYYY" and time "HH:MM" texts as local time, or false.
bool fatTimestamp(const std::string& date, const std::string& time, std::int64_t& out) {
    static const char* months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (date.size() != 11 || time.size() != 5) return false;
    std::tm tm{};
    tm.tm_mday = std::atoi(date.substr(0, 2).c_str());
    tm.tm_mon = -1;
    for (int m = 0; m < 12; ++m)
        if (date.compare(3, 3, months[m]) == 0) tm.tm_mon = m;
    tm.tm_year = std::atoi(date.substr(7, 4).c_str()) - 1900;
    tm.tm_hour = std::atoi(time.substr(0, 2).c_str());
    tm.tm_min = std::atoi(time.substr(3, 2).c_str());
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59) return false;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    out = static_cast<std::int64_t>(t);
    return true;
}

class Recoverer {
public:
    Recoverer(RecoveryState& state, recover::DestinationWriter& writer)
        : m_writer(writer), m_fat(state.ActiveVolume.fileSystemName != "NTFS") {
        m_ntfs.range = state.volumeRange();
        m_ntfs.cluster0 = state.ActiveVolume.params.cluster0Start;
        m_ntfs.sectorsPerCluster = state.ActiveVolume.params.sectorsPerCluster;
        m_ntfs.mft = &state.mftRunTable;
        if (m_fat) {
            m_fatVolume = activeFatVolume(state);
        } else {
            for (const records::RecordTable* table : {&state.tables.FileTable, &state.tables.FolderTable})
                for (int row = 0; row < table->rowCount(); ++row) {
                    const std::uint32_t sector = table->getU32(row, records::FolderColumn::kSector);
                    if (sector != 0) m_recordSectors.emplace(table->getU32(row, records::FolderColumn::kSelf), sector);
                }
            m_ntfs.recordSectors = &m_recordSectors;
        }
    }

    /// The destination name of a folder: its full Unicode name on NTFS when
    /// the tree's 8-bit name is that name's low bytes.
    /// FAT: the entries of a folder's directory, read once.
    const std::vector<recover::FatName>& fatDirectory(std::uint32_t folderSelf) {
        auto it = m_fatDirectories.find(folderSelf);
        if (it == m_fatDirectories.end()) {
            std::vector<recover::FatName> names;
            if (folderSelf != records::kMiscFolderId) names = recover::readFatDirectoryNames(m_fatVolume, folderSelf);
            it = m_fatDirectories.emplace(folderSelf, std::move(names)).first;
        }
        return it->second;
    }

    /// The destination name of a folder (parentSelf: the folder holding it).
    std::string folderName(const FolderRef& ref, std::uint32_t parentSelf) {
        if (ref.self == records::kMiscFolderId) return recover::latin1ToUtf8(ref.name);
        if (m_fat) return recover::fullFatName(fatDirectory(parentSelf), ref.self, ref.name, true);
        auto it = m_folderNames.find(ref.self);
        if (it != m_folderNames.end() && it->second.first == ref.name) return it->second.second;
        std::string name = recover::latin1ToUtf8(ref.name);
        const std::vector<std::uint8_t> rec = recover::readMftRecord(m_ntfs, ref.self);
        if (!rec.empty()) {
            name = recover::fullNtfsName(recover::decodeNtfsFileData(m_ntfs, rec, ref.self, nullptr), ref.name);
        }
        m_folderNames[ref.self] = {ref.name, name};
        return name;
    }

    /// The modification time of a folder: FAT from its entry's date and
    /// time, NTFS from its record's standard information.
    bool folderTime(const records::FileListRow& row, std::int64_t& out) {
        if (row.selfId == records::kMiscFolderId) return false;
        if (m_fat) return fatTimestamp(row.cells[records::kListDate], row.cells[records::kListTime], out);
        const std::vector<std::uint8_t> rec = recover::readMftRecord(m_ntfs, row.selfId);
        if (rec.empty()) return false;
        const recover::NtfsFileData d = recover::decodeNtfsFileData(m_ntfs, rec, row.selfId, nullptr);
        out = d.modifiedUnix;
        return d.hasModified;
    }

    bool folderOf(const std::vector<FolderRef>& refs, std::string& relative, std::string& error) {
        std::vector<std::string> components;
        components.reserve(refs.size());
        std::uint32_t parent = m_fat ? records::kFatRootId : records::kNtfsRootId;
        for (const FolderRef& r : refs) {
            components.push_back(folderName(r, parent));
            parent = r.self;
        }
        return m_writer.folder(components, relative, error);
    }

    recover::ReportEntry recoverFile(const Selected& item, std::stop_token stop) {
        recover::ReportEntry entry;
        entry.path = recover::latin1ToUtf8(item.path);
        entry.deleted = item.row.deleted;
        entry.size = item.row.sizeBytes;
        const std::string rowName = item.row.cells[records::kListName];

        recover::FileLayout layout;
        std::string name = recover::latin1ToUtf8(rowName);
        bool located = true;
        bool trusted = true;
        std::string status = "complete";
        std::string note;
        bool hasTime = false;
        std::int64_t modified = 0;
        if (m_fat) {
            // A file inside a deleted folder lost its chain with the folder.
            bool deleted = item.row.deleted;
            for (const FolderRef& r : item.folders) deleted = deleted || r.deleted;
            const recover::FatFileData d =
                recover::locateFatFile(m_fatVolume, item.row.selfId, item.row.sizeBytes, deleted);
            layout = d.layout;
            located = d.ok;
            status = d.status;
            note = d.problem;
            trusted = d.status == recover::kFatComplete || d.status == recover::kFatUnverified;
            const std::uint32_t parent = item.folders.empty() ? records::kFatRootId : item.folders.back().self;
            if (recover::isFatVolumeLabel(fatDirectory(parent), item.row.selfId, rowName)) {
                entry.outcome = recover::Outcome::Skipped;
                entry.status = "volume label";
                entry.note = "the volume's name, not a file";
                return entry;
            }
            name = recover::fullFatName(fatDirectory(parent), item.row.selfId, rowName, false);
            hasTime = fatTimestamp(item.row.cells[records::kListDate], item.row.cells[records::kListTime], modified);
        } else {
            const recover::NtfsFileData d = recover::readNtfsFileData(m_ntfs, item.row.selfId);
            name = recover::fullNtfsName(d, rowName);
            hasTime = d.hasModified;
            modified = d.modifiedUnix;
            if (d.found) {
                layout = d.layout;
                entry.size = layout.size;
            } else if (item.row.sizeBytes == 0) {
                // Nothing to copy: a file without data (some system files).
            } else {
                located = false;
            }
            trusted = d.complete || (!d.found && item.row.sizeBytes == 0);
            note = d.problem;
            if (!trusted) status = located ? "incomplete" : "missing";
        }
        if (!located) {
            entry.outcome = recover::Outcome::Failed;
            entry.status = status;
            entry.note = note.empty() ? "the file's data could not be located" : note;
            return entry;
        }

        std::string folder;
        std::string error;
        if (!folderOf(item.folders, folder, error)) {
            entry.outcome = recover::Outcome::Failed;
            entry.status = "failed";
            entry.note = error;
            return entry;
        }
        int fd = -1;
        bool renamed = false;
        const auto opened = m_writer.openFile(folder, name, fd, entry.written, renamed, error);
        if (opened == recover::DestinationWriter::OpenResult::Skipped) {
            entry.outcome = recover::Outcome::Skipped;
            entry.status = "skipped";
            entry.note = "a file of that name exists";
            return entry;
        }
        if (opened != recover::DestinationWriter::OpenResult::Opened) {
            entry.outcome = recover::Outcome::Failed;
            entry.status = "failed";
            entry.note = error;
            return entry;
        }
        recover::FdSink sink(fd);
        const recover::CopyResult copy = recover::copyFile(m_ntfs.range, layout, sink, stop);
        if (hasTime) recover::DestinationWriter::setModified(fd, modified);
        const bool closed = ::close(fd) == 0;
        entry.bytesWritten = copy.written;
        const bool copied = copy.complete() && closed;
        if (!copied) {
            if (copy.writeError || !closed) note = "writing the destination failed";
            else if (copy.stopped) note = "stopped";
            else if (copy.unreadableSectors > 0) note = std::to_string(copy.unreadableSectors) + " sectors could not be read";
            else if (copy.decompressError) note = "compressed data did not decode";
            else if (copy.missingBytes > 0 && note.empty()) note = "the data ends before the file's size";
            if (status == "complete" || status == recover::kFatUnverified) status = "incomplete";
        }
        if (renamed) note += std::string(note.empty() ? "" : "; ") + "written as " + entry.written;
        entry.status = status;
        entry.note = note;
        entry.outcome = copied && trusted ? recover::Outcome::Complete : recover::Outcome::Partial;
        return entry;
    }

private:
    recover::DestinationWriter& m_writer;
    bool m_fat;
    recover::NtfsVolume m_ntfs;
    std::unordered_map<std::uint32_t, std::uint32_t> m_recordSectors;
    fat::FatVolume m_fatVolume;
    std::unordered_map<std::uint32_t, std::pair<std::string, std::string>> m_folderNames;
    std::unordered_map<std::uint32_t, std::vector<recover::FatName>> m_fatDirectories;
};

}  // namespace

RecoveryRun recoverSelection(RecoveryState& state, const RecoveryOptions& options, util::ProgressSink& progress,
                             std::stop_token stop) {
    RecoveryRun run;
    const recover::SourceIdentity source(state.reader->backingPath(state.SelectedDisk));
    const recover::GuardResult guard = recover::checkDestination(options.destination, source);
    if (!guard.allowed) {
        run.status = RecoveryStatus::Refused;
        run.message = guard.message;
        return run;
    }
    recover::DestinationWriter writer(options.destination, source, options.onConflict);
    std::string error;
    if (!writer.prepareRoot(error)) {
        run.status = RecoveryStatus::DestinationError;
        run.message = error;
        return run;
    }
    // The report's name is taken first, so a recovered file of that name
    // is written beside it under another name.
    const std::string reportPath = writer.root() + "/" + kRecoveryReportName;
    if (source.isSourceFile(reportPath)) {
        run.status = RecoveryStatus::Refused;
        run.message = reportPath + " is the source image";
        return run;
    }
    int reportFd = ::open(reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (reportFd < 0) {
        run.status = RecoveryStatus::DestinationError;
        run.message = "cannot write " + reportPath;
        return run;
    }

    std::vector<std::string> wanted;
    for (const std::string& p : options.paths) wanted.push_back(normalisePath(p));
    std::vector<Selected> files;
    std::vector<Selected> folders;
    progress.setStatusText("Counting the selected files ...");
    collect(state, wanted, files, folders, stop);
    if (options.deletedOnly) {
        std::erase_if(files, [](const Selected& s) { return !s.row.deleted; });
        std::erase_if(folders, [](const Selected& s) { return !s.row.deleted; });
    }
    applySelectors(options, files, folders, run.unmatchedSelectors);
    for (const std::string& w : wanted) {
        auto named = [&w](const Selected& sel) { return isSelected(recover::latin1ToUtf8(sel.path), {w}); };
        if (std::none_of(files.begin(), files.end(), named) && std::none_of(folders.begin(), folders.end(), named))
            run.unmatchedPaths.push_back(w);
    }
    std::stable_partition(files.begin(), files.end(), [](const Selected& s) { return !s.row.deleted; });

    // A tree loaded from a session log comes without the MFT's run table;
    // the records are found through it, so build it from the volume.
    if (state.ActiveVolume.fileSystemName == "NTFS" && state.mftRunTable.runCount() == 0) {
        const auto& params = state.ActiveVolume.params;
        state.mftRunTable.buildMftRunTable(state.volumeRange(), params.cluster0Start, params.mftStart,
                                           params.sectorsPerCluster);
    }
    Recoverer recoverer(state, writer);
    std::vector<std::pair<std::string, std::int64_t>> folderTimes;
    for (const Selected& f : folders) {
        std::string relative;
        if (!recoverer.folderOf(f.folders, relative, error)) {
            recover::ReportEntry entry;
            entry.path = recover::latin1ToUtf8(f.path);
            entry.outcome = recover::Outcome::Failed;
            entry.status = "failed";
            entry.note = error;
            run.report.add(entry);
            continue;
        }
        std::int64_t modified = 0;
        if (recoverer.folderTime(f.row, modified)) folderTimes.emplace_back(writer.root() + "/" + relative, modified);
    }
    std::uint64_t totalBytes = 0;
    for (const Selected& f : files) totalBytes += f.row.sizeBytes;
    std::uint64_t doneBytes = 0;
    std::size_t n = 0;
    for (const Selected& f : files) {
        if (stop.stop_requested()) {
            run.status = RecoveryStatus::Stopped;
            break;
        }
        ++n;
        progress.setStatusText("Recovering " + std::to_string(n) + " of " + std::to_string(files.size()) + ": " +
                               recover::latin1ToUtf8(f.path));
        recover::ReportEntry entry = recoverer.recoverFile(f, stop);
        doneBytes += f.row.sizeBytes;
        progress.setProgress(totalBytes == 0 ? 100 : static_cast<int>(doneBytes * 100 / totalBytes), "Completed ");
        progress.setAmount(std::min(doneBytes, totalBytes), totalBytes, "bytes");
        if (options.onFile) options.onFile(entry);
        run.report.add(std::move(entry));
        if (stop.stop_requested()) run.status = RecoveryStatus::Stopped;
    }
    // Writing the files changed their folders' times: set them last,
    // innermost first.
    for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(it->second);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::utimensat(AT_FDCWD, it->first.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    const std::string json = run.report.toJson();
    const bool ok = ::write(reportFd, json.data(), json.size()) == static_cast<ssize_t>(json.size());
    ::close(reportFd);
    if (!ok) run.message = "the report could not be written completely";
    return run;
}

}  // namespace qvx::engine
