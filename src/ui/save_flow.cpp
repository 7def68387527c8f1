#include "ui/save_flow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <set>

#include "disk/registry_store.h"
#include "engine/data_condition.h"
#include "engine/file_listing.h"
#include "recover/names.h"
#include "ui/DialogEx.h"
#include "ui/results_panel.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

namespace {

QString megabytes(std::uint64_t bytes) {
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', bytes < 10 * 1024 * 1024 ? 2 : 1);
}

/// "name (n)" for the first n from 1 that is free in folder.
QString freeNumberedName(const QDir& folder, const QString& name) {
    for (int n = 1; n < 10000; ++n) {
        const QString candidate = QString::fromStdString(recover::numberedName(name.toStdString(), n));
        if (!QFileInfo::exists(folder.filePath(candidate))) return candidate;
    }
    return name;
}

}  // namespace

// ------------------------------------------------------------------ context menus

SaveFlow::SaveFlow(CChildDialogExDemoDlg& window) : m_dlg(window) {
    m_saveJob = new JobRunner(this);
    m_countJob = new JobRunner(this);
    connect(m_countJob, &JobRunner::finished, this, &SaveFlow::onCountFinished);
    connect(m_saveJob, &JobRunner::finished, this, &SaveFlow::onSaveFinished);
}

SaveFlow::~SaveFlow() { abandonJobs(); }

void SaveFlow::abandonJobs() {
    m_saveJob->abandon();
    m_countJob->abandon();
}

bool SaveFlow::running() const { return m_saveJob->running() || m_countJob->running(); }

void SaveFlow::treeMenu(const QPoint& pos) {
    mytreectrl* tree = m_dlg.m_results->tree();
    if (!tree || m_dlg.listingRunning() || running()) return;
    QTreeWidgetItem* clicked = tree->itemAt(pos);
    QMenu menu(&m_dlg);
    QAction* save = menu.addAction("Save");
    menu.setDefaultAction(save);
    if (menu.exec(tree->viewport()->mapToGlobal(pos)) != save) return;
    // "Save" saves the folder it was opened on; over no item, what is marked.
    if (clicked && clicked->data(0, kItemIdRole).isValid())
        runSave(itemRequest(clicked->data(0, kItemIdRole).toInt()));
    else
        OnSave();
}

void SaveFlow::listMenu(const QPoint& pos, const std::function<void(int row)>& open) {
    const int row = m_dlg.m_c.mainList->rowAt(pos.y());
    if (row >= 0) m_dlg.m_c.mainList->selectRow(row);
    QMenu menu(&m_dlg);
    QAction* openAction = menu.addAction("Open");
    menu.addSeparator();
    QAction* save = menu.addAction("Save");
    QAction* all = menu.addAction("Save All");
    openAction->setEnabled(row >= 0);
    save->setEnabled(row >= 0);
    menu.setDefaultAction(save);
    QAction* chosen = menu.exec(m_dlg.m_c.mainList->viewport()->mapToGlobal(pos));
    if (chosen == openAction) open(row);
    else if (chosen == save) saveRow(row);
    else if (chosen == all) saveAll();
}

void SaveFlow::saveActivatedFile(int row) {
    SaveRequest request;
    request.paths.push_back(m_dlg.m_results->rowPath(row));
    if (!request.paths.front().empty()) runSave(std::move(request));
}

// ------------------------------------------------------------------ what is saved

std::string SaveFlow::itemPath(records::TreeItemId id) const {
    return m_dlg.m_state.FolderNodeList.FolderPath(id, "/");
}

SaveFlow::SaveRequest SaveFlow::itemRequest(records::TreeItemId id) const {
    SaveRequest request;
    const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
    if (!nodes.validItem(id)) return request;
    if (id == records::kRootItem || nodes.nodeOfItem(id) < 0) {
        request.wholeTree = true;
        request.folders = {records::kRootItem};
        return request;
    }
    request.folders.push_back(id);
    request.paths.push_back(itemPath(id));
    request.folderPaths.push_back(request.paths.back());
    return request;
}

SaveFlow::SaveRequest SaveFlow::markedRequest() const {
    SaveRequest request;
    const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
    if (nodes.itemCount() == 0) return request;
    // Folders with marked files, and the folders above them, are walked
    // item by item; elsewhere a checked folder is saved as a whole.
    std::set<records::TreeItemId> mixed;
    const auto& fileMarks = m_dlg.m_results->marks().fileMarks();
    for (const auto& [id, marks] : fileMarks)
        for (records::TreeItemId up = id; nodes.validItem(up); up = nodes.item(up).parent)
            if (!mixed.insert(up).second) break;
    const std::string sep = "/";
    std::vector<records::TreeItemId> work{records::kRootItem};
    while (!work.empty()) {
        const records::TreeItemId id = work.back();
        work.pop_back();
        const records::TreeItem& it = nodes.item(id);
        if (!mixed.count(id)) {
            if (it.check == records::CheckState::Checked) {
                if (it.node < 0) return itemRequest(records::kRootItem);  // the root or a file system: everything
                request.folders.push_back(id);
                request.paths.push_back(itemPath(id));
                request.folderPaths.push_back(request.paths.back());
                continue;
            }
            if (it.check == records::CheckState::Unchecked) continue;
        } else if (const auto marks = fileMarks.find(id); marks != fileMarks.end()) {
            const std::string folder = nodes.FolderPath(id, "/");
            for (const auto& [name, size] : marks->second.names) {
                request.paths.push_back(folder.empty() ? name : folder + sep + name);
                ++request.files;
                request.bytes += size;
            }
        } else if (it.check == records::CheckState::Checked) {
            request.ownFilesOf.push_back(id);
        }
        for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) work.push_back(*c);
    }
    return request;
}

void SaveFlow::OnSave() {
    if (m_dlg.m_WizardStep != kStepResults || m_dlg.analysisRunning() || running()) return;
    SaveRequest request = markedRequest();
    if (!request.wholeTree && request.paths.empty() && request.ownFilesOf.empty()) {
        // Nothing is guessed: the user is told how to mark what to save.
        m_dlg.messageBox(texts::kNothingMarked, QMessageBox::Information);
        return;
    }
    runSave(std::move(request));
}

void SaveFlow::saveRow(int row) {
    QTableWidgetItem* name = row >= 0 ? m_dlg.m_c.mainList->item(row, records::kListName) : nullptr;
    if (!name) return;
    if (name->data(kRowFolderRole).toBool()) {
        runSave(itemRequest(name->data(kRowItemRole).toInt()));
        return;
    }
    SaveRequest request;
    request.paths.push_back(m_dlg.m_results->rowPath(row));
    request.files = 1;
    request.bytes = name->data(kRowSizeRole).toULongLong();
    runSave(std::move(request));
}

void SaveFlow::saveAll() {
    // Every row the list shows (the filter applies).
    SaveRequest request;
    for (int r = 0; r < m_dlg.m_c.mainList->rowCount(); ++r) {
        if (m_dlg.m_c.mainList->isRowHidden(r)) continue;
        QTableWidgetItem* name = m_dlg.m_c.mainList->item(r, records::kListName);
        if (!name) continue;
        std::string p = m_dlg.m_results->rowPath(r);
        if (p.empty()) continue;
        if (name->data(kRowFolderRole).toBool()) {
            request.folders.push_back(name->data(kRowItemRole).toInt());
            request.folderPaths.push_back(p);
        } else {
            ++request.files;
            request.bytes += name->data(kRowSizeRole).toULongLong();
        }
        request.paths.push_back(std::move(p));
    }
    if (request.paths.empty()) {
        m_dlg.messageBox(texts::kNothingMarked, QMessageBox::Information);
        return;
    }
    runSave(std::move(request));
}

void SaveFlow::setSaveControlsEnabled(bool enabled) {
    m_dlg.m_c.back->setEnabled(enabled);
    m_dlg.m_c.save->setEnabled(enabled);
    m_dlg.m_c.saveLog->setEnabled(enabled);
    m_dlg.m_results->setInputEnabled(enabled);
}

// ------------------------------------------------------------------ count, confirm, copy

namespace {

void noteCondition(engine::RecoveryState& state, const records::FileListRow& row, bool insideDeleted,
                   SaveFlow::SaveRequest& req) {
    if (!row.deleted && !insideDeleted) return;
    if (!engine::hasDataCondition(state, row, insideDeleted)) return;
    const records::DataCondition c = engine::rowCondition(state, row, insideDeleted);
    if (c.overwritten()) ++req.overwritten;
    else if (c.partlyOverwritten()) ++req.partlyOverwritten;
}

}  // namespace

void SaveFlow::runSave(SaveRequest request) {
    if (running() || m_dlg.listingRunning() || m_countJob->running()) return;
    if (!request.wholeTree && request.paths.empty() && request.ownFilesOf.empty()) return;
    const QString destination = m_dlg.askPath(CChildDialogExDemoDlg::PathRequest::SaveDestination);
    if (destination.isEmpty()) return;
    m_saveDestination = destination;
    {
        QSettings settings(m_dlg.settingsPath(), QSettings::IniFormat);
        settings.setValue("save/lastDestination", destination);
    }

    // The files of the folders are counted (and the folders' own files
    // listed) on a worker, behind "Calculating Number of Files...".
    setSaveControlsEnabled(false);
    auto* calculating = new CCalculatingDlg(&m_dlg);
    m_calculating = calculating;
    m_countStopped = false;
    connect(calculating->stopButton(), &QPushButton::clicked, this, [this] {
        m_countStopped = true;
        m_countJob->requestStop();
    });
    connect(m_countJob, &JobRunner::counter, calculating,
            [calculating](const QString&, const QString& value) { calculating->setCount(value); });
    if (!request.folders.empty() || !request.ownFilesOf.empty()) calculating->show();
    auto counted = std::make_shared<SaveRequest>(std::move(request));
    m_countResult = counted;
    engine::RecoveryState* state = &m_dlg.m_state;
    m_countJob->start([state, counted](std::stop_token stop, util::ProgressSink& sink) {
        SaveRequest& req = *counted;
        const records::FolderNodeList& nodes = state->FolderNodeList;
        for (records::TreeItemId id : req.ownFilesOf) {
            if (stop.stop_requested()) return;
            const std::string folder = nodes.FolderPath(id, "/");
            const bool insideDeleted = engine::insideDeletedFolder(*state, id);
            for (const records::FileListRow& row : engine::PopulateFileList(*state, id)) {
                if (row.isFolder) continue;
                noteCondition(*state, row, insideDeleted, req);
                const std::string& name = row.cells[records::kListName];
                req.paths.push_back(folder.empty() ? name : folder + "/" + name);
                ++req.files;
                req.bytes += row.sizeBytes;
            }
        }
        std::vector<records::TreeItemId> work(req.folders.rbegin(), req.folders.rend());
        while (!work.empty() && !stop.stop_requested()) {
            const records::TreeItemId id = work.back();
            work.pop_back();
            if (!nodes.validItem(id)) continue;
            const records::TreeItem& it = nodes.item(id);
            if (it.node >= 0 || id == records::kRootItem) {
                const bool insideDeleted = engine::insideDeletedFolder(*state, id);
                for (const records::FileListRow& row : engine::PopulateFileList(*state, id))
                    if (!row.isFolder) {
                        ++req.files;
                        req.bytes += row.sizeBytes;
                        noteCondition(*state, row, insideDeleted, req);
                    }
                sink.setCounter("Total Files :", std::to_string(req.files));
            }
            for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) work.push_back(*c);
        }
    });
}

/// "Save N files, X MB -> folder?". Every fact the examiner should weigh
/// before the write (such as how many of the deleted items are overwritten)
/// is added here.
QString SaveFlow::confirmationText(int files, std::uint64_t bytes, const QString& destination, int overwritten,
                                   int partlyOverwritten) {
    QString text = QString("Save %1 file%2, %3 MB \u2192 %4?")
                       .arg(files)
                       .arg(files == 1 ? "" : "s")
                       .arg(megabytes(bytes))
                       .arg(QDir::toNativeSeparators(destination));
    // Saving such a file writes what the files that reused its clusters hold.
    if (overwritten + partlyOverwritten > 0)
        text += QString("\n\nOf the deleted files, %1 %2 overwritten and %3 partly overwritten by files written later.")
                    .arg(overwritten)
                    .arg(overwritten == 1 ? "is" : "are")
                    .arg(partlyOverwritten);
    return text;
}

void SaveFlow::onCountFinished() {
    if (m_calculating) {
        m_calculating->deleteLater();
        m_calculating = nullptr;
    }
    if (!m_countResult || m_countStopped) {  // Stop: nothing is saved
        setSaveControlsEnabled(true);
        m_dlg.jobEnded();
        return;
    }
    m_pendingSave = *m_countResult;
    m_totalFiles = m_pendingSave.files;
    // One confirmation before anything is written.
    const QString text = confirmationText(m_totalFiles, m_pendingSave.bytes, m_saveDestination,
                                          m_pendingSave.overwritten, m_pendingSave.partlyOverwritten);
    if (m_dlg.messageBox(text, QMessageBox::Question, true, false) != QMessageBox::Yes) {
        setSaveControlsEnabled(true);
        m_dlg.jobEnded();
        return;
    }
    startSaveJob();
}

void SaveFlow::startSaveJob() {
    engine::RecoveryOptions options;
    options.destination = m_saveDestination.toStdString();
    options.paths = m_pendingSave.wholeTree ? std::vector<std::string>{} : m_pendingSave.paths;
    options.onConflict = recover::ConflictPolicy::Rename;

    // What of the selection is at the destination already: its top items
    // (for the whole tree, the root's folders).
    const QDir dest(m_saveDestination);
    std::vector<std::pair<std::string, bool>> tops;  // path, is a folder
    if (m_pendingSave.wholeTree) {
        const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
        for (records::TreeItemId c : nodes.item(records::kRootItem).children)
            if (nodes.nodeOfItem(c) >= 0) tops.emplace_back(itemPath(c), true);
    } else {
        const std::set<std::string> folders(m_pendingSave.folderPaths.begin(), m_pendingSave.folderPaths.end());
        for (const std::string& p : m_pendingSave.paths) tops.emplace_back(p, folders.count(p) > 0);
    }
    std::vector<std::pair<std::string, bool>> existing;
    for (const auto& [p, folder] : tops)
        if (QFileInfo::exists(dest.filePath(QString::fromStdString(p)))) existing.emplace_back(p, folder);
    if (!existing.empty()) {
        const QString path = QString::fromStdString(existing.front().first);
        const QString shown = path.section('/', -1);
        const bool folder = existing.front().second;
        const QDir parent = QFileInfo(dest.filePath(path)).dir();
        const QString newName =
            folder ? freeNumberedName(parent, shown) : QString::fromStdString(recover::numberedName(shown.toStdString(), 1));
        CReplaceDlg ask(shown, newName, &m_dlg, folder);
        ask.setApplyToAll(true);
        switch (m_dlg.askDialog(ask)) {
        case CReplaceDlg::Overwrite:
        case CReplaceDlg::YesToAll: options.onConflict = recover::ConflictPolicy::Overwrite; break;
        case CReplaceDlg::Skip:
        case CReplaceDlg::NoToAll: options.onConflict = recover::ConflictPolicy::Skip; break;
        case CReplaceDlg::Rename:
            // A folder that is there is written as a new folder beside it
            // ("Docs (1)"), not into it; files that are there get numbered names.
            options.onConflict = recover::ConflictPolicy::Rename;
            for (const auto& [p, isFolder] : existing) {
                if (!isFolder) continue;
                const QString qp = QString::fromStdString(p);
                const QDir where = QFileInfo(dest.filePath(qp)).dir();
                QString name = freeNumberedName(where, qp.section('/', -1));
                // Two renamed folders of one save never take the same name.
                for (int n = 2; std::any_of(options.renamedFolders.begin(), options.renamedFolders.end(),
                                            [&](const auto& r) { return r.second == name.toStdString(); });
                     ++n)
                    name = QString::fromStdString(recover::numberedName(qp.section('/', -1).toStdString(), n));
                options.renamedFolders[p] = name.toStdString();
            }
            break;
        default:  // Cancel or closed
            setSaveControlsEnabled(true);
            m_dlg.jobEnded();
            return;
        }
    }

    setSaveControlsEnabled(false);
    auto* saving = new CSavingDlg(&m_dlg);
    m_saving = saving;
    // A file is written in one piece by the recovery; Stop ends the save after it.
    saving->skipButton()->setEnabled(false);
    connect(saving->stopButton(), &QPushButton::clicked, m_saveJob, &JobRunner::requestStop);
    auto files = std::make_shared<std::atomic<int>>(0);
    auto bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
    const int total = m_totalFiles;
    connect(m_saveJob, &JobRunner::statusText, saving, [saving, files, bytes, total](const QString& text) {
        saving->setStatus(text);
        saving->setTotals(files->load(), total, bytes->load());
    });
    connect(m_saveJob, &JobRunner::progress, saving, [saving, files, bytes, total](int percent, const QString&) {
        saving->setPercent(percent);
        saving->setTotals(files->load(), total, bytes->load());
    });
    saving->show();

    options.onFile = [files, bytes](const recover::ReportEntry& e) {
        if (e.outcome != recover::Outcome::Failed) files->fetch_add(1);
        bytes->fetch_add(e.bytesWritten);
    };
    auto result = std::make_shared<engine::RecoveryRun>();
    m_saveResult = result;
    engine::RecoveryState* state = &m_dlg.m_state;
    m_saveJob->start([state, options, result](std::stop_token stop, util::ProgressSink& sink) {
        *result = engine::recoverSelection(*state, options, sink, stop);
    });
}

void SaveFlow::onSaveFinished() {
    if (m_saving) {
        m_saving->deleteLater();
        m_saving = nullptr;
    }
    setSaveControlsEnabled(true);
    if (m_saveResult) {
        const engine::RecoveryRun& run = *m_saveResult;
        if (run.status == engine::RecoveryStatus::Refused || run.status == engine::RecoveryStatus::DestinationError) {
            // Nothing can be written there: every answer ends this save.
            CWriteErrorDlg error(q(run.message), &m_dlg);
            m_dlg.askDialog(error);
        } else {
            const QString text = q(run.report.summary()) + "\n\nWritten to " +
                                 QDir::toNativeSeparators(m_saveDestination);
            int answer = QMessageBox::Ok;
            if (m_dlg.m_messageHook) {
                answer = m_dlg.m_messageHook(text, QMessageBox::Information);
            } else {
                QMessageBox box(QMessageBox::Information, texts::kCaption, text, QMessageBox::Ok, &m_dlg);
                QPushButton* open = box.addButton("Open folder", QMessageBox::ActionRole);
                box.setDefaultButton(QMessageBox::Ok);
                box.exec();
                if (box.clickedButton() == open) answer = QMessageBox::Open;
            }
            if (answer == QMessageBox::Open) shellOpen(QUrl::fromLocalFile(m_saveDestination));
        }
    }
    m_dlg.jobEnded();
}

}  // namespace qvx::ui
