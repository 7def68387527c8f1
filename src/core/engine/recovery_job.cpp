#include "engine/recovery_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "engine/volume_reader.h"
#include "recover/destination_guard.h"
#include "recover/destination_writer.h"
#include "recover/extents.h"
#include "recover/fat_data.h"
#include "recover/ntfs_data.h"

namespace qvx::engine {

namespace {

struct FolderRef {
    std::string name;  // UTF-8, as the tree shows it
    std::uint32_t self = 0;
    bool deleted = false;
};

struct Selected {
    std::string path;  // UTF-8 listing path
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
    const std::unique_ptr<VolumeReader> reader = volumeReaderFor(state);
    std::vector<bool> listed(static_cast<std::size_t>(state.FolderNodeList.itemCount()), false);
    struct Frame {
        records::FileList rows;
        std::string prefix;
        std::vector<FolderRef> folders;
        std::size_t next = 0;
    };
    auto list = [&](records::TreeItemId item, std::string prefix, std::vector<FolderRef> refs) {
        reader->openFolder(state, state.FolderNodeList.nodeOfItem(item), &index);
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
        const std::string& utf8 = path;
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

class Recoverer {
public:
    Recoverer(RecoveryState& state, recover::DestinationWriter& writer)
        : m_writer(writer), m_reader(volumeReaderFor(state)), m_range(state.volumeRange()) {}

    /// The modification time of a folder, from its row's typed times.
    bool folderTime(const records::FileListRow& row, std::int64_t& out) {
        if (row.selfId == records::kMiscFolderId) return false;
        std::int64_t accessed = 0;
        return rowTimes(row, out, accessed);
    }

    void renameFolders(const std::map<std::string, std::string>* renamed) { m_renamed = renamed; }

    bool folderOf(const std::vector<FolderRef>& refs, std::string& relative, std::string& error) {
        std::vector<std::string> components;
        components.reserve(refs.size());
        // Names in the tree are the names on the disk (long names, or short
        // names with their case flags applied).
        std::string listing;
        for (const FolderRef& r : refs) {
            components.push_back(r.name);
            if (!listing.empty()) listing += '/';
            listing += r.name;
            if (m_renamed != nullptr) {
                const auto renamed = m_renamed->find(listing);
                if (renamed != m_renamed->end()) components.back() = renamed->second;
            }
        }
        return m_writer.folder(components, relative, error);
    }

    recover::ReportEntry recoverFile(const Selected& item, std::stop_token stop) {
        recover::ReportEntry entry;
        entry.path = item.path;
        entry.deleted = item.row.deleted;
        entry.size = item.row.sizeBytes;
        const std::string rowName = item.row.cells[records::kListName];

        recover::FileLayout layout;
        std::string name = rowName;
        bool located = true;
        bool trusted = true;
        std::string status = "complete";
        std::string note;
        bool hasTime = false;
        std::int64_t accessed = 0;
        std::int64_t modified = 0;
        bool insideDeleted = false;
        for (const FolderRef& r : item.folders) insideDeleted = insideDeleted || r.deleted;
        const LocatedFile found = m_reader->locate(item.row, insideDeleted);
        if (found.skip) {
            entry.outcome = recover::Outcome::Skipped;
            entry.status = found.status;
            entry.note = found.note;
            return entry;
        }
        layout = found.layout;
        located = found.located;
        trusted = found.trusted;
        status = found.status;
        note = found.note;
        entry.size = found.size;
        hasTime = found.hasTimes;
        modified = found.modifiedUnix;
        accessed = found.accessedUnix;
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
        const recover::CopyResult copy = recover::copyFile(m_range, layout, sink, stop);
        if (hasTime) {
            struct timespec times[2];
            times[0].tv_sec = static_cast<time_t>(accessed);
            times[0].tv_nsec = 0;
            times[1].tv_sec = static_cast<time_t>(modified);
            times[1].tv_nsec = 0;
            ::futimens(fd, times);
        }
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
    std::unique_ptr<VolumeReader> m_reader;
    partition::VolumeRange m_range;
    const std::map<std::string, std::string>* m_renamed = nullptr;
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
    for (const std::string& w : wanted) {
        auto named = [&w](const Selected& sel) { return isSelected(sel.path, {w}); };
        if (std::none_of(files.begin(), files.end(), named) && std::none_of(folders.begin(), folders.end(), named))
            run.unmatchedPaths.push_back(w);
    }
    std::stable_partition(files.begin(), files.end(), [](const Selected& s) { return !s.row.deleted; });

    // A tree loaded from a session log comes without the MFT's run table;
    // the records are found through it, so build it from the volume.
    if (state.ActiveVolume.fileSystemName == "NTFS" && state.mftRunTable.runCount() == 0) {
        const auto& params = state.ActiveVolume.params;
        state.mftRunTable.setRecordBytes(params.sectorsPerMftRecord * 512);
        (void)state.mftRunTable.buildMftRunTable(state.volumeRange(), params.cluster0Start, params.mftStart,
                                                 params.sectorsPerCluster, params.mftMirrorStart);
    }
    Recoverer recoverer(state, writer);
    recoverer.renameFolders(&options.renamedFolders);
    std::vector<std::pair<std::string, std::int64_t>> folderTimes;
    for (const Selected& f : folders) {
        std::string relative;
        if (!recoverer.folderOf(f.folders, relative, error)) {
            recover::ReportEntry entry;
            entry.path = f.path;
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
                               f.path);
        recover::ReportEntry entry = recoverer.recoverFile(f, stop);
        doneBytes += f.row.sizeBytes;
        progress.setProgress(totalBytes == 0 ? 100 : static_cast<int>(doneBytes * 100 / totalBytes), "Completed ");
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
