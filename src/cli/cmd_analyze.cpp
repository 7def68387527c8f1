// qvx analyze: the Standard Search or the Advance Search of one partition
// (or sector range) and the recovered tree with every folder's file list,
// as text, JSON Lines, CSV or a timeline body file.

#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/problems.h"
#include "engine/volume_reader.h"
#include "util/codepage.h"
#include "cli/source.h"
#include "cli/terminal.h"
#include "cli/text_escape.h"
#include "cli/volume_choice.h"
#include "cli/tree_output.h"
#include "engine/advance_search.h"
#include "engine/analysis_job.h"
#include "engine/data_condition.h"
#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "engine/listing_output.h"
#include "engine/listing_pipeline.h"
#include "engine/partition_listing.h"
#include "recover/names.h"
#include "recover/report.h"

namespace qvx::cli {

namespace {

struct AnalyzeOptions {
    std::string source;
    int partition = 0;
    std::string mode = "standard";
    std::string range;
    std::string kind;
    int fileSystem = 1;
    int codePage = 850;
    bool json = false;
    std::string format = "text";
    bool quiet = false;
    std::string saveLog;

    engine::ListingFormat listingFormat() const {
        engine::ListingFormat f = engine::ListingFormat::Text;
        if (json) return engine::ListingFormat::Json;
        (void)engine::parseListingFormat(format, f);
        return f;
    }
};

/// The wizard's columns, one folder's rows under its "[path]" heading.
class TextWriter : public engine::ListingWriter {
public:
    explicit TextWriter(std::ostream& out) : m_out(out) {}
    void folder(const std::string& path, const records::FileList& rows) override {
        std::string text = "[" + (path.empty() ? std::string("Root") : terminalSafe(path) + "/") + "]\n";
        for (const records::FileListRow& row : rows) {
            text += "  " + terminalSafe(row.cells[records::kListName]);
            text += "  |  " + terminalSafe(row.cells[records::kListType]) + "  |  " +
                    terminalSafe(row.cells[records::kListSize]) + "  |  " + terminalSafe(row.cells[records::kListDate]) +
                    "  |  " + terminalSafe(row.cells[records::kListTime]);
            if (row.deleted) text += "  |  deleted";
            text += '\n';
        }
        m_out << text;
    }

private:
    std::ostream& m_out;
};

}  // namespace

/// Lists every folder of the tree, root first, in pre-order: a folder's
/// row comes with its parent's list, then its own sub-folders' subtrees,
/// then its files. Each tree item is listed once, which also ends any
/// cycle a damaged volume could produce.
void printTree(engine::RecoveryState& state, engine::ListingFormat format, std::stop_token stop) {
    const engine::ListingIndex index(state);
    engine::ListingOptions options;
    options.index = &index;
    // Only the text listing shows the file list's type and size texts.
    options.shownCells = format == engine::ListingFormat::Text;
    std::vector<bool> listed(static_cast<std::size_t>(state.FolderNodeList.itemCount()), false);

    struct Frame {
        records::FileList rows;
        std::string prefix;  // path of the listed folder plus "/", or empty for the root
        std::size_t next = 0;
        bool insideDeleted = false;  // the listed folder or one above it is deleted
        engine::LaterFiles later;   // files whose rows are made as they are written
        records::FileListRow laterRow;
    };
    // Only the text listing writes a folder's rows together; the others
    // take one row at a time, so file rows are made as they are written.
    const bool rowsLater = format != engine::ListingFormat::Text;
    engine::ListingVolume volume = engine::listingVolumeOf(state);
    // Deleted files carry the condition of their data, every item where it
    // was found and how its parent was decided.
    // Rows may be formatted on two threads at once. A deleted file's data is
    // judged through readers and caches kept in the state, and a row whose
    // record's sector is not known has the MFT's runs looked up (and read
    // once): such rows take the lock. The others only read the items.
    std::mutex stateLock;
    volume.jsonExtra = [&state, &stateLock](std::string& out, const records::FileListRow& row, bool insideDeleted) {
        bool readsState = row.deleted || insideDeleted || row.item >= state.items.size();
        if (!readsState) {
            const records::Item& item = state.items.peek(row.item);
            readsState = item.deleted() || item.sector == 0;
        }
        std::unique_lock<std::mutex> lock(stateLock, std::defer_lock);
        if (readsState) lock.lock();
        recover::appendConditionJson(out, engine::rowCondition(state, row, insideDeleted));
        recover::appendProvenanceJson(out, engine::rowProvenance(state, row));
    };
    std::unique_ptr<engine::ListingWriter> writer = format == engine::ListingFormat::Text
                                                        ? std::make_unique<TextWriter>(std::cout)
                                                        : engine::makeListingWriter(format, std::cout, volume);
    const std::unique_ptr<engine::VolumeReader> reader = engine::volumeReaderFor(state);
    auto list = [&](records::TreeItemId item, std::string prefix, bool insideDeleted) {
        // A folder is opened when it is listed (a FAT folder's directory
        // names its sub-folders before their rows are made).
        reader->openFolder(state, state.FolderNodeList.nodeOfItem(item), &index);
        Frame frame;
        engine::ListingOptions here = options;
        if (rowsLater) here.later = &frame.later;
        here.reader = reader.get();
        frame.rows = engine::PopulateFileList(state, item, here);
        frame.prefix = std::move(prefix);
        frame.insideDeleted = insideDeleted;
        const std::string path = frame.prefix.empty() ? std::string() : frame.prefix.substr(0, frame.prefix.size() - 1);
        writer->folder(path, frame.rows);
        return frame;
    };
    writer->begin();
    // Machine-readable NTFS listings are formatted on a second thread too.
    std::optional<engine::ListingPipeline> pipeline;
    if (rowsLater && engine::ListingPipeline::usable(*writer, state)) pipeline.emplace(*writer, state, options);
    std::vector<Frame> stack;
    listed[records::kRootItem] = true;
    stack.push_back(list(records::kRootItem, "", false));
    while (!stack.empty() && !stop.stop_requested()) {
        Frame& top = stack.back();
        if (top.next >= top.rows.size() + top.later.items.size()) {
            stack.pop_back();
            continue;
        }
        // The frame's rows stay in place until it is popped; the stack may
        // grow below, after the last use of row.
        const std::size_t at = top.next++;
        if (at >= top.rows.size()) {
            if (pipeline) {
                // A file: nothing below it to list.
                pipeline->item(top.prefix, top.later, at - top.rows.size(), top.insideDeleted);
                continue;
            }
            top.laterRow = engine::laterFileRow(state, top.later, at - top.rows.size(), options);
        }
        const records::FileListRow& row = at < top.rows.size() ? top.rows[at] : top.laterRow;
        const std::string path = top.prefix + row.cells[records::kListName];
        const bool insideDeleted = top.insideDeleted;
        if (pipeline) pipeline->row(path, row, insideDeleted);
        else writer->row(path, row, insideDeleted);
        if (!row.isFolder) continue;
        if (!state.FolderNodeList.validItem(row.treeItem) || listed[static_cast<std::size_t>(row.treeItem)]) continue;
        listed[static_cast<std::size_t>(row.treeItem)] = true;
        // Files of a folder come after its sub-folders' subtrees: hold them
        // back by listing the sub-folder's own frame first.
        stack.push_back(list(row.treeItem, path + "/", insideDeleted || row.deleted));
    }
    if (pipeline) pipeline->finish();
    writer->end();
    std::cout.flush();
}

namespace {

/// Advance Search: the raw scan of the range, the file systems found, then
/// the tree of the one chosen with --fs. Ctrl-C during the scan goes on
/// with what was collected.
void runAdvance(const AnalyzeOptions& opt, engine::RecoveryState& state, const std::string& modelText,
                TerminalProgress& progress, InterruptStop& interrupt, CliContext& ctx) {
    if (!engine::advanceSearchAvailable(state.FileSystemKind)) {
        progress.finish();
        std::cerr << "qvx: Advance Search on " << state.FileSystemKind << " is not available yet\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    const engine::AdvanceScanResult scanned = engine::runAdvanceScan(state, progress, interrupt.token());
    progress.finish();
    std::ostream& listing = opt.listingFormat() == engine::ListingFormat::Text ? std::cout : std::cerr;
    const records::RecordTable& systems = state.tables.FileSystemTable;
    // The table keeps 512-byte sectors; the disk's own are shown.
    const std::uint64_t units = state.reader->sectorUnits(state.SelectedDisk);
    auto shown = [&](int row, const char* column) {
        const std::string cell(systems.cell(row, systems.columnIndex(column)));
        if (units == 1) return cell;
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
        return ec == std::errc() && end == cell.data() + cell.size() ? std::to_string(value / units) : cell;
    };
    for (int n = 1; n <= scanned.fileSystemCount; ++n) {
        listing << engine::fileSystemItemText(state, n) << "  start " << shown(n - 1, "Cluster0Start")
                << "  sectors per cluster " << shown(n - 1, "SPC") << '\n';
    }
    if (scanned.status != engine::AdvanceScanStatus::Found) {
        std::cerr << engine::kNoFileSystemAdvisory << '\n';
        ctx.exitCode = kExitNoRecovery;
        return;
    }
    if (opt.fileSystem < 1 || opt.fileSystem > scanned.fileSystemCount) {
        std::cerr << "qvx: there is no file system " << opt.fileSystem << " (found " << scanned.fileSystemCount
                  << ")\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    // After a stopped scan the opening runs in full; a second Ctrl-C exits.
    const std::stop_token openStop = scanned.stopped ? std::stop_token{} : interrupt.token();
    const engine::AnalysisStatus status = engine::openAdvanceFileSystem(state, opt.fileSystem, progress, openStop);
    progress.finish();
    const bool logSaved = opt.saveLog.empty() || saveSessionLog(state, opt.saveLog, modelText, opt.partition);
    printTree(state, opt.listingFormat(), {});
    printProblems(state.diagnostics, std::cerr, state.reader->sectorUnits(state.SelectedDisk));
    if (scanned.stopped || status == engine::AnalysisStatus::Stopped) ctx.exitCode = kExitPartial;
    else if (status != engine::AnalysisStatus::Done) ctx.exitCode = kExitNoRecovery;
    if (!logSaved) ctx.exitCode = kExitUsage;
}

void runAnalyze(const AnalyzeOptions& opt, CliContext& ctx) {
    if (opt.mode != "standard" && opt.mode != "advance") {
        std::cerr << "qvx: --mode must be standard or advance\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    engine::RecoveryState state;
    OpenedSource src;
    TerminalProgress progress(opt.quiet);
    InterruptStop interrupt;
    state.searchMode = opt.mode == "advance" ? engine::SearchMode::Advance : engine::SearchMode::Standard;
    state.oemCodePage = opt.codePage;
    VolumeChoice choice{opt.partition, opt.range, opt.kind};
    if (const int code = chooseVolume(opt.source, choice, state, src, progress, interrupt.token())) {
        ctx.exitCode = code;
        return;
    }
    if (state.searchMode == engine::SearchMode::Advance) {
        AnalyzeOptions chosen = opt;
        chosen.partition = choice.partition;
        runAdvance(chosen, state, src.details.DiskModelText, progress, interrupt, ctx);
        return;
    }

    if (engine::validateSelectedVolume(state, progress) == 0 && state.FileSystemKind == "NTFS")
        progress.showMessage(engine::kNoRecoveryMessage, util::MessageKind::Information);
    const engine::AnalysisStatus status = engine::runStandardSearch(state, progress, interrupt.token());
    progress.finish();
    const bool logSaved = opt.saveLog.empty() ||
                          saveSessionLog(state, opt.saveLog, src.details.DiskModelText, choice.partition);
    printTree(state, opt.listingFormat(), {});
    printProblems(state.diagnostics, std::cerr, state.reader->sectorUnits(state.SelectedDisk));
    if (status == engine::AnalysisStatus::Stopped) ctx.exitCode = kExitPartial;
    else if (status == engine::AnalysisStatus::NothingFound) ctx.exitCode = kExitNoRecovery;
    else if (status == engine::AnalysisStatus::Invalid) ctx.exitCode = kExitNoRecovery;
    if (!logSaved) ctx.exitCode = kExitUsage;
}

}  // namespace

void registerAnalyzeCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<AnalyzeOptions>();
    CLI::App* cmd = app.add_subcommand("analyze", "Recover the folder tree and file list of a partition");
    cmd->add_option("SOURCE", opt->source, "Disk image, block device or PhysicalDriveN")->required();
    cmd->add_option("--partition,-p", opt->partition,
                    "Partition number (as `qvx partitions` lists it; may be left out when the disk holds one volume)")
        ->check(partitionNumberCheck());
    cmd->add_option("--mode", opt->mode, "Search mode: standard or advance")
        ->check(CLI::IsMember({"standard", "advance"}));
    cmd->add_option("--range", opt->range, "Sector range FIRST:END (END exclusive) instead of a partition")
        ->check(sectorRangeCheck());
    cmd->add_option("--kind", opt->kind, "File system of the range: NTFS, FAT16 or FAT32")
        ->check(CLI::IsMember({"NTFS", "FAT16", "FAT32"}));
    cmd->add_option("--codepage", opt->codePage, "OEM code page of FAT short names (default 850)")
        ->check(codePageCheck());
    cmd->add_option("--fs", opt->fileSystem, "Advance Search: the file system to open (as listed, default 1)");
    addFormatOptions(*cmd, opt->format, opt->json);
    cmd->add_flag("--quiet,-q", opt->quiet, "No progress or help texts on stderr");
    cmd->add_option("--save-log", opt->saveLog, "Write the session log to FILE after the analysis");
    cmd->callback([opt, &ctx] { runAnalyze(*opt, ctx); });
}

}  // namespace qvx::cli
