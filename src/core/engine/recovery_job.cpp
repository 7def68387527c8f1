#include "engine/recovery_job.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <ctime>
#include <unordered_map>

#include "engine/data_condition.h"
#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "engine/volume_reader.h"
#include "recover/destination_guard.h"
#include "recover/destination_writer.h"
#include "recover/content_type.h"
#include "recover/extents.h"
#include "recover/fat_data.h"
#include "recover/file_sink.h"
#include "recover/ntfs_data.h"
#include "recover/report_file.h"

namespace qvx::engine {

namespace {

struct FolderRef {
    std::string name;  // UTF-8, as the tree shows it
    std::uint32_t self = 0;
    bool deleted = false;
    int parent = -1;   // index of the folder holding it in the chain, -1 = the root
};

/// Every folder the walk passed, each pointing at the folder holding it,
/// so an item's folders cost one index instead of a copy of its whole path
/// (memory linear in the depth of the tree, not quadratic).
struct FolderChain {
    std::vector<FolderRef> refs;
    int add(FolderRef ref) {
        refs.push_back(std::move(ref));
        return static_cast<int>(refs.size()) - 1;
    }
    /// The folders from the root down to (and with) index.
    std::vector<FolderRef> folders(int index) const {
        std::vector<FolderRef> out;
        for (int at = index; at >= 0 && out.size() <= refs.size(); at = refs[static_cast<std::size_t>(at)].parent)
            out.push_back(refs[static_cast<std::size_t>(at)]);
        std::reverse(out.begin(), out.end());
        return out;
    }
    /// "A/B/" for the folders down to index; empty for the root.
    std::string prefix(int index) const {
        std::string out;
        for (const FolderRef& r : folders(index)) out += r.name + "/";
        return out;
    }
};

struct Selected {
    const FolderChain* chain = nullptr;
    int folder = -1;  // the holding folder of a file; a folder's own entry for a folder
    bool isFolder = false;
    records::FileListRow row;

    /// The folders leading to the item (for a folder: with itself).
    std::vector<FolderRef> folders() const { return chain->folders(folder); }
    /// UTF-8 listing path.
    std::string path() const {
        if (isFolder) {
            const auto& ref = chain->refs[static_cast<std::size_t>(folder)];
            return chain->prefix(ref.parent) + ref.name;
        }
        return chain->prefix(folder) + row.cells[records::kListName];
    }
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
void collect(RecoveryState& state, const std::vector<std::string>& wanted, FolderChain& chain,
             std::vector<Selected>& files, std::vector<Selected>& folders, std::stop_token stop) {
    const ListingIndex index(state);
    ListingOptions options;
    options.index = &index;
    const std::unique_ptr<VolumeReader> reader = volumeReaderFor(state);
    std::vector<bool> listed(static_cast<std::size_t>(state.FolderNodeList.itemCount()), false);
    struct Frame {
        records::FileList rows;
        int folder = -1;  // index in chain, -1 = the root
        std::size_t next = 0;
    };
    auto list = [&](records::TreeItemId item, int folder) {
        reader->openFolder(state, state.FolderNodeList.nodeOfItem(item), &index);
        return Frame{PopulateFileList(state, item, options), folder, 0};
    };
    std::vector<Frame> stack;
    listed[records::kRootItem] = true;
    stack.push_back(list(records::kRootItem, -1));
    while (!stack.empty() && !stop.stop_requested()) {
        Frame& top = stack.back();
        if (top.next >= top.rows.size()) {
            stack.pop_back();
            continue;
        }
        const records::FileListRow row = top.rows[top.next++];
        const int holder = top.folder;
        // Paths are only spelled out when there is a selection to match.
        const std::string utf8 =
            wanted.empty() ? std::string()
                           : (chain.prefix(holder) + row.cells[records::kListName]);
        if (!row.isFolder) {
            if (isSelected(utf8, wanted)) files.push_back(Selected{&chain, holder, false, row});
            continue;
        }
        if (!leadsToSelection(utf8, wanted)) continue;
        const int self = chain.add(FolderRef{row.cells[records::kListName], row.selfId, row.deleted, holder});
        if (isSelected(utf8, wanted)) folders.push_back(Selected{&chain, self, true, row});
        if (!state.FolderNodeList.validItem(row.treeItem) || listed[static_cast<std::size_t>(row.treeItem)]) continue;
        listed[static_cast<std::size_t>(row.treeItem)] = true;
        stack.push_back(list(row.treeItem, self));
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
            for (const FolderRef& ref : sel.folders()) hit = hit || options.ids[i] == ref.self;
            if (hit) idOk = idUsed[i] = true;
        }
        bool globOk = patterns.empty();
        if (!patterns.empty()) {
            const std::string utf8 = sel.path();
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

class Recoverer {
public:
    Recoverer(RecoveryState& state, recover::DestinationWriter& writer)
        : m_state(state), m_writer(writer), m_reader(volumeReaderFor(state)), m_range(state.volumeRange()) {}

    /// The modification time of a folder, from its row's typed times.
    bool folderTime(const records::FileListRow& row, std::int64_t& out) {
        if (row.selfId == records::kMiscFolderId) return false;
        std::int64_t accessed = 0;
        return rowTimes(row, out, accessed);
    }

    void renameFolders(const std::map<std::string, std::string>* renamed) { m_renamed = renamed; }

    bool folderOf(const std::vector<FolderRef>& refs, std::string& relative, std::string& error) {
        // Names in the tree are the names on the disk (long names, or short
        // names with their case flags applied).
        std::vector<std::string> components;
        components.reserve(refs.size());
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
        entry.path = (item.path());
        const std::vector<FolderRef> itemFolders = item.folders();
        entry.deleted = item.row.deleted;
        entry.size = item.row.sizeBytes;
        entry.provenance = rowProvenance(m_state, item.row);
        const std::string rowName = item.row.cells[records::kListName];

        recover::FileLayout layout;
        std::string name = rowName;
        bool located = true;
        bool trusted = true;
        std::string status = "complete";
        std::string note;
        bool hasTime = false;
        std::int64_t modified = 0;
        std::int64_t accessed = 0;
        bool insideDeleted = false;
        for (const FolderRef& r : itemFolders) insideDeleted = insideDeleted || r.deleted;
        const LocatedFile found = m_reader->locate(item.row, insideDeleted);
        if (found.located && !found.skip)
            entry.condition = layoutCondition(m_state, item.row, insideDeleted, found.layout);
        else
            entry.condition = rowCondition(m_state, item.row, insideDeleted);
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
        if (!folderOf(itemFolders, folder, error)) {
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
        if (m_onOpened) {
            recover::ReportEntry opening = entry;
            m_onOpened(opening);
        }
        recover::HashingFileSink sink(fd);
        sink.keepHeadBytes(recover::kContentTypeBytes);
        const bool overwriting = m_writer.isOverwriting(fd);
        std::string tooLarge;
        recover::CopyResult copy;
        if (!recover::destinationHolds(fd, layout.size, tooLarge)) {
            bool replaced = false;
            std::string closeError;
            m_writer.closeFile(fd, false, replaced, closeError);
            if (!overwriting) m_writer.removeFile(entry.written);
            entry.written.clear();
            entry.outcome = recover::Outcome::Failed;
            entry.status = "failed";
            entry.note = tooLarge;
            return entry;
        }
        copy = recover::copyFile(m_range, layout, sink, stop);
        if (hasTime) {
            struct timespec times[2];
            times[0].tv_sec = static_cast<time_t>(accessed);
            times[0].tv_nsec = 0;
            times[1].tv_sec = static_cast<time_t>(modified);
            times[1].tv_nsec = 0;
            ::futimens(fd, times);
        }
        // An earlier file being overwritten is replaced only by a copy that
        // ran to its end.
        const bool keep = !copy.writeError && !copy.stopped;
        bool replaced = false;
        std::string closeError;
        const bool closed = m_writer.closeFile(fd, keep, replaced, closeError);
        entry.bytesWritten = sink.accepted();
        if (closed && !copy.writeError) {
            entry.md5 = sink.md5();
            entry.sha256 = sink.sha256();
            if (entry.md5.empty()) note += std::string(note.empty() ? "" : "; ") + "not hashed: too large a hole";
        }
        if (!sink.head().empty() && entry.bytesWritten != 0) {
            entry.contentType = m_typer.typeOf(sink.head().data(), sink.head().size());
            entry.typeMismatch = recover::typeMismatch(rowName, entry.contentType);
        }
        const bool copied = copy.complete() && closed;
        if (!copied) {
            if (copy.writeError) note = recover::writeErrorText(sink.error());
            else if (!closed) note = closeError;
            else if (copy.stopped) note = "stopped";
            else if (copy.unreadableSectors > 0) {
                // Told in the disk's own sectors, a partly unreadable one whole.
                const std::uint64_t units = m_range.diskUnits();
                note = std::to_string((copy.unreadableSectors + units - 1) / units) + " sectors could not be read";
            }
            else if (copy.decompressError) note = "compressed data did not decode";
            else if (copy.missingBytes > 0 && note.empty()) note = "the data ends before the file's size";
            if (copy.stopped) status = "stopped";
            else if (status == "complete" || status == recover::kFatUnverified) status = "incomplete";
        }
        if (!keep && overwriting) {
            // The earlier file was kept; nothing of this copy remains.
            entry.bytesWritten = 0;
            entry.md5.clear();
            entry.sha256.clear();
            note += std::string(note.empty() ? "" : "; ") + "the earlier file was kept";
            entry.written.clear();
        }
        if (renamed) note += std::string(note.empty() ? "" : "; ") + "written as " + entry.written;
        entry.status = status;
        entry.note = note;
        entry.outcome = copied && trusted ? recover::Outcome::Complete : recover::Outcome::Partial;
        return entry;
    }

    /// Called when a file's destination was opened, before its copy.
    void onOpened(std::function<void(const recover::ReportEntry&)> hook) { m_onOpened = std::move(hook); }

private:
    RecoveryState& m_state;
    recover::DestinationWriter& m_writer;
    recover::ContentTyper m_typer;
    std::function<void(const recover::ReportEntry&)> m_onOpened;
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
    // is written beside it under another name. An existing report is never
    // reused: the next free recovery-report-N.json is taken instead.
    recover::ReportFile reportFile;
    if (!reportFile.create(writer, kRecoveryReportName, error)) {
        run.status = RecoveryStatus::DestinationError;
        run.message = error;
        return run;
    }
    run.reportPath = writer.root() + "/" + reportFile.relativePath();

    std::vector<std::string> wanted;
    for (const std::string& p : options.paths) wanted.push_back(normalisePath(p));
    FolderChain chain;
    std::vector<Selected> files;
    std::vector<Selected> folders;
    progress.setStatusText("Counting the selected files ...");
    collect(state, wanted, chain, files, folders, stop);
    if (options.deletedOnly) {
        std::erase_if(files, [](const Selected& s) { return !s.row.deleted; });
        std::erase_if(folders, [](const Selected& s) { return !s.row.deleted; });
    }
    applySelectors(options, files, folders, run.unmatchedSelectors);
    if (options.skipOverwritten) {
        const std::size_t before = files.size();
        std::erase_if(files, [&](const Selected& s) {
            bool insideDeleted = false;
            for (const FolderRef& r : s.folders()) insideDeleted = insideDeleted || r.deleted;
            return rowCondition(state, s.row, insideDeleted).overwritten();
        });
        run.skippedOverwritten = before - files.size();
    }
    for (const std::string& w : wanted) {
        auto named = [&w](const Selected& sel) { return isSelected((sel.path()), {w}); };
        if (std::none_of(files.begin(), files.end(), named) && std::none_of(folders.begin(), folders.end(), named))
            run.unmatchedPaths.push_back(w);
    }
    std::stable_partition(files.begin(), files.end(), [](const Selected& s) { return !s.row.deleted; });

    // A tree loaded from a session log comes without the MFT's run table;
    // the records are found through it, so build it from the volume.
    ensureMftRunTable(state);
    Recoverer recoverer(state, writer);
    recoverer.renameFolders(&options.renamedFolders);
    recoverer.onOpened([&](const recover::ReportEntry& e) { reportFile.inProgress(e, run.report); });
    std::vector<std::pair<std::string, std::int64_t>> folderTimes;
    for (const Selected& f : folders) {
        std::string relative;
        if (!recoverer.folderOf(f.folders(), relative, error)) {
            recover::ReportEntry entry;
            entry.path = (f.path());
            entry.outcome = recover::Outcome::Failed;
            entry.status = "failed";
            entry.note = error;
            if (options.onFile) options.onFile(entry);
            run.report.add(entry);
            reportFile.finished(run.report);
            continue;
        }
        std::int64_t modified = 0;
        if (recoverer.folderTime(f.row, modified)) folderTimes.emplace_back(relative, modified);
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
                               (f.path()));
        recover::ReportEntry pending;
        pending.path = (f.path());
        pending.deleted = f.row.deleted;
        pending.size = f.row.sizeBytes;
        reportFile.inProgress(pending, run.report);
        recover::ReportEntry entry = recoverer.recoverFile(f, stop);
        doneBytes += f.row.sizeBytes;
        progress.setProgress(totalBytes == 0 ? 100 : static_cast<int>(doneBytes * 100 / totalBytes), "Completed ");
        progress.setAmount(std::min(doneBytes, totalBytes), totalBytes, "bytes");
        if (options.onFile) options.onFile(entry);
        run.report.add(std::move(entry));
        reportFile.finished(run.report);
        if (stop.stop_requested()) run.status = RecoveryStatus::Stopped;
    }
    // Writing the files changed their folders' times: set them last,
    // innermost first.
    for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) writer.setFolderTime(it->first, it->second);
    if (!reportFile.complete(run.report, run.status == RecoveryStatus::Stopped ? "stopped" : "done", error))
        run.message = "the report could not be written completely: " + error;
    return run;
}

}  // namespace qvx::engine
