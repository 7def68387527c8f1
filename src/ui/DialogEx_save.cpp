// The Save flow of the result screen: what is saved (the marked folders and
// files, or the item a context menu was opened on), the count and the one
// confirmation, the replace question, the copy on a worker thread, and the
// summary with the way to the folder written.

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
#include "engine/file_listing.h"
#include "recover/names.h"
#include "ui/DialogEx.h"
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

void CChildDialogExDemoDlg::showTreeMenu(const QPoint& pos) {
    if (!m_FolderTree || listingRunning() || saveRunning()) return;
    QTreeWidgetItem* clicked = m_FolderTree->itemAt(pos);
    QMenu menu(this);
    QAction* save = menu.addAction("Save");
    menu.setDefaultAction(save);
    if (menu.exec(m_FolderTree->viewport()->mapToGlobal(pos)) != save) return;
    // "Save" saves the folder it was opened on; over no item, what is marked.
    if (clicked && clicked->data(0, kItemIdRole).isValid())
        runSave(itemRequest(clicked->data(0, kItemIdRole).toInt()));
    else
        OnSave();
}

void CChildDialogExDemoDlg::showListMenu(const QPoint& pos) {
    if (m_WizardStep != kStepResults || listingRunning() || saveRunning()) return;
    const int row = m_c.mainList->rowAt(pos.y());
    if (row >= 0) m_c.mainList->selectRow(row);
    QMenu menu(this);
    QAction* open = menu.addAction("Open");
    menu.addSeparator();
    QAction* save = menu.addAction("Save");
    QAction* all = menu.addAction("Save All");
    open->setEnabled(row >= 0);
    save->setEnabled(row >= 0);
    menu.setDefaultAction(save);
    QAction* chosen = menu.exec(m_c.mainList->viewport()->mapToGlobal(pos));
    if (chosen == open) onListActivated(row);
    else if (chosen == save) saveRow(row);
    else if (chosen == all) saveAll();
}

// ------------------------------------------------------------------ what is saved

std::string CChildDialogExDemoDlg::itemPath(records::TreeItemId id) const {
    return m_state.FolderNodeList.FolderPath(id, "/");
}

std::string CChildDialogExDemoDlg::rowPath(int row) const {
    QTableWidgetItem* name = m_c.mainList->item(row, records::kListName);
    if (!name) return {};
    if (name->data(kRowFolderRole).toBool()) return itemPath(name->data(kRowItemRole).toInt());
    const std::string file = nameBytes(name->text());
    std::string folder =
        m_state.FolderNodeList.validItem(m_listedFolder) ? m_state.FolderNodeList.FolderPath(m_listedFolder, "/") : "";
    return folder.empty() ? file : folder + "/" + file;
}

CChildDialogExDemoDlg::SaveRequest CChildDialogExDemoDlg::itemRequest(records::TreeItemId id) const {
    SaveRequest request;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
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

CChildDialogExDemoDlg::SaveRequest CChildDialogExDemoDlg::markedRequest() const {
    SaveRequest request;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    if (nodes.itemCount() == 0) return request;
    // Folders with marked files, and the folders above them, are walked
    // item by item; elsewhere a checked folder is saved as a whole.
    std::set<records::TreeItemId> mixed;
    for (const auto& [id, marks] : m_fileMarks)
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
        } else if (const auto marks = m_fileMarks.find(id); marks != m_fileMarks.end()) {
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

void CChildDialogExDemoDlg::OnSave() {
    if (m_WizardStep != kStepResults || analysisRunning() || saveRunning()) return;
    SaveRequest request = markedRequest();
    if (!request.wholeTree && request.paths.empty() && request.ownFilesOf.empty()) {
        // Nothing is guessed: the user is told how to mark what to save.
        messageBox(texts::kNothingMarked, QMessageBox::Information);
        return;
    }
    runSave(std::move(request));
}

void CChildDialogExDemoDlg::saveRow(int row) {
    QTableWidgetItem* name = row >= 0 ? m_c.mainList->item(row, records::kListName) : nullptr;
    if (!name) return;
    if (name->data(kRowFolderRole).toBool()) {
        runSave(itemRequest(name->data(kRowItemRole).toInt()));
        return;
    }
    SaveRequest request;
    request.paths.push_back(rowPath(row));
    request.files = 1;
    request.bytes = name->data(kRowSizeRole).toULongLong();
    runSave(std::move(request));
}

void CChildDialogExDemoDlg::saveAll() {
    // Every row the list shows (the filter applies).
    SaveRequest request;
    for (int r = 0; r < m_c.mainList->rowCount(); ++r) {
        if (m_c.mainList->isRowHidden(r)) continue;
        QTableWidgetItem* name = m_c.mainList->item(r, records::kListName);
        if (!name) continue;
        std::string p = rowPath(r);
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
        messageBox(texts::kNothingMarked, QMessageBox::Information);
        return;
    }
    runSave(std::move(request));
}

// ------------------------------------------------------------------ choosing

QString CChildDialogExDemoDlg::settingsPath() const {
    // Beside the record of the disks found (~/.config/qvx).
    const QString folder =
        q(!m_options.configDir.empty() ? m_options.configDir : disk::RegistryStore::defaultConfigDir());
    return QDir(folder).filePath("qvx-gui.ini");
}

QString CChildDialogExDemoDlg::askPath(PathRequest request) {
    if (m_pathHook) return m_pathHook(request);
    switch (request) {
    case PathRequest::SaveDestination: {
        CSaveAsDlg dlg(this);
        const QSettings settings(settingsPath(), QSettings::IniFormat);
        dlg.setFolder(settings.value("save/lastDestination").toString());
        return dlg.exec() == QDialog::Accepted ? dlg.folder() : QString();
    }
    case PathRequest::SaveLog:
        return QFileDialog::getSaveFileName(this, "Save Log", QDir::homePath(), "LGX Files (*.LGX)");
    case PathRequest::LoadLog:
        return QFileDialog::getOpenFileName(this, "Load Log", QDir::homePath(), "LGX Files (*.LGX)");
    }
    return {};
}

int CChildDialogExDemoDlg::askDialog(QDialog& dialog) {
    if (m_dialogHook) return m_dialogHook(dialog.windowTitle());
    return dialog.exec();
}

void CChildDialogExDemoDlg::setSaveControlsEnabled(bool enabled) {
    m_c.back->setEnabled(enabled);
    m_c.save->setEnabled(enabled);
    m_c.saveLog->setEnabled(enabled);
    if (m_FolderTree) m_FolderTree->setEnabled(enabled);
    m_c.mainList->setEnabled(enabled);
}

// ------------------------------------------------------------------ count, confirm, copy

void CChildDialogExDemoDlg::runSave(SaveRequest request) {
    if (saveRunning() || listingRunning() || m_countJob->running()) return;
    if (!request.wholeTree && request.paths.empty() && request.ownFilesOf.empty()) return;
    const QString destination = askPath(PathRequest::SaveDestination);
    if (destination.isEmpty()) return;
    m_saveDestination = destination;
    {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        settings.setValue("save/lastDestination", destination);
    }

    // The files of the folders are counted (and the folders' own files
    // listed) on a worker, behind "Calculating Number of Files...".
    setSaveControlsEnabled(false);
    auto* calculating = new CCalculatingDlg(this);
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
    engine::RecoveryState* state = &m_state;
    m_countJob->start([state, counted](std::stop_token stop, util::ProgressSink& sink) {
        SaveRequest& req = *counted;
        const records::FolderNodeList& nodes = state->FolderNodeList;
        for (records::TreeItemId id : req.ownFilesOf) {
            if (stop.stop_requested()) return;
            const std::string folder = nodes.FolderPath(id, "/");
            for (const records::FileListRow& row : engine::PopulateFileList(*state, id)) {
                if (row.isFolder) continue;
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
                for (const records::FileListRow& row : engine::PopulateFileList(*state, id))
                    if (!row.isFolder) {
                        ++req.files;
                        req.bytes += row.sizeBytes;
                    }
                sink.setCounter("Total Files :", std::to_string(req.files));
            }
            for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) work.push_back(*c);
        }
    });
}

void CChildDialogExDemoDlg::onCountFinished() {
    if (m_calculating) {
        m_calculating->deleteLater();
        m_calculating = nullptr;
    }
    if (!m_countResult || m_countStopped) {  // Stop: nothing is saved
        setSaveControlsEnabled(true);
        emit jobFinished();
        return;
    }
    m_pendingSave = *m_countResult;
    m_totalFiles = m_pendingSave.files;
    // One confirmation before anything is written.
    const QString text = QString("Save %1 file%2, %3 MB \u2192 %4?")
                             .arg(m_totalFiles)
                             .arg(m_totalFiles == 1 ? "" : "s")
                             .arg(megabytes(m_pendingSave.bytes))
                             .arg(QDir::toNativeSeparators(m_saveDestination));
    if (messageBox(text, QMessageBox::Question, true, false) != QMessageBox::Yes) {
        setSaveControlsEnabled(true);
        emit jobFinished();
        return;
    }
    startSaveJob();
}

void CChildDialogExDemoDlg::startSaveJob() {
    engine::RecoveryOptions options;
    options.destination = m_saveDestination.toStdString();
    options.paths = m_pendingSave.wholeTree ? std::vector<std::string>{} : m_pendingSave.paths;
    options.onConflict = recover::ConflictPolicy::Rename;

    // What of the selection is at the destination already: its top items
    // (for the whole tree, the root's folders).
    const QDir dest(m_saveDestination);
    std::vector<std::pair<std::string, bool>> tops;  // path, is a folder
    if (m_pendingSave.wholeTree) {
        const records::FolderNodeList& nodes = m_state.FolderNodeList;
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
        CReplaceDlg ask(shown, newName, this, folder);
        ask.setApplyToAll(true);
        switch (askDialog(ask)) {
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
            emit jobFinished();
            return;
        }
    }

    setSaveControlsEnabled(false);
    auto* saving = new CSavingDlg(this);
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
    engine::RecoveryState* state = &m_state;
    m_saveJob->start([state, options, result](std::stop_token stop, util::ProgressSink& sink) {
        *result = engine::recoverSelection(*state, options, sink, stop);
    });
}

void CChildDialogExDemoDlg::onSaveFinished() {
    if (m_saving) {
        m_saving->deleteLater();
        m_saving = nullptr;
    }
    setSaveControlsEnabled(true);
    if (m_saveResult) {
        const engine::RecoveryRun& run = *m_saveResult;
        if (run.status == engine::RecoveryStatus::Refused || run.status == engine::RecoveryStatus::DestinationError) {
            // Nothing can be written there: every answer ends this save.
            CWriteErrorDlg error(q(run.message), this);
            askDialog(error);
        } else {
            const QString text = q(run.report.summary()) + "\n\nWritten to " +
                                 QDir::toNativeSeparators(m_saveDestination);
            int answer = QMessageBox::Ok;
            if (m_messageHook) {
                answer = m_messageHook(text, QMessageBox::Information);
            } else {
                QMessageBox box(QMessageBox::Information, texts::kCaption, text, QMessageBox::Ok, this);
                QPushButton* open = box.addButton("Open folder", QMessageBox::ActionRole);
                box.setDefaultButton(QMessageBox::Ok);
                box.exec();
                if (box.clickedButton() == open) answer = QMessageBox::Open;
            }
            if (answer == QMessageBox::Open) shellOpen(QUrl::fromLocalFile(m_saveDestination));
        }
    }
    emit jobFinished();
}

}  // namespace qvx::ui
