// The wizard window, second part: the search panel and the analysis job,
// the file-system screen of an Advance Search, the result screen, Back from
// them, and Exit.

#include <vector>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QTableWidget>

#include <cstdio>

#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

// ------------------------------------------------------------------ analysis

void CChildDialogExDemoDlg::nextFromPartition() {
    const auto reenable = [this] {
        m_c.next->setEnabled(true);
        m_c.back->setEnabled(true);
        m_c.loadLog->setEnabled(true);
    };
    m_c.next->setEnabled(false);
    m_c.back->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    m_c.stopSearch->setEnabled(true);

    const int kind = m_c.partitionType->currentIndex();
    if (kind < 0 || kind > 2) {
        if (m_SearchMode == kModeAdvance) {
            messageBox(texts::kSelectPartitionType, QMessageBox::Critical);
            SetHelpText(texts::kUnknownKindAdvanceHelp);
            reenable();
        } else {
            showAdvisory("CMsgStand");
            SetHelpText(texts::kStandardNotPossibleHelp);
            m_c.next->setEnabled(true);
            m_c.back->setEnabled(true);
        }
        return;
    }
    static const char* const kKinds[] = {"FAT16", "FAT32", "NTFS"};
    m_state.FileSystemKind = kKinds[kind];

    std::int32_t start = 0;
    if (!readInt32(m_c.startSector->text(), start)) {
        messageBox(texts::kStartSectorInvalid, QMessageBox::Critical);
        reenable();
        return;
    }
    const std::uint64_t previousEnd = m_state.SectorRangeEnd;
    m_state.SectorRangeStart = static_cast<std::uint64_t>(static_cast<std::int64_t>(start));
    std::int32_t end = 0;
    const bool endValid = readInt32(m_c.endSector->text(), end);
    if (m_state.SectorRangeStart >= previousEnd) m_c.endSector->setText(QString::number(m_details.DiskTotalSectors));
    if (!endValid) {
        messageBox(texts::kEndSectorInvalid, QMessageBox::Critical);
        reenable();
        return;
    }
    // Sectors past the disk's end cannot be read.
    const std::uint64_t diskSectors = m_details.DiskTotalSectors;
    if (diskSectors > 0 && start >= 0 && static_cast<std::uint64_t>(start) >= diskSectors) {
        messageBox(texts::kStartSectorInvalid + QString("\n\nThe disk has %1 sectors (0 to %2).").arg(diskSectors).arg(diskSectors - 1),
                   QMessageBox::Critical);  // diskSectors > 0 here
        reenable();
        return;
    }
    if (start < 0 || end < 0 || (diskSectors > 0 && static_cast<std::uint64_t>(end) > diskSectors)) {
        messageBox((start < 0 ? QString(texts::kStartSectorInvalid) : QString(texts::kEndSectorInvalid)) +
                       (diskSectors > 0 ? QString("\n\nThe disk has %1 sectors (0 to %2).").arg(diskSectors).arg(diskSectors - 1)
                                        : QString()),
                   QMessageBox::Critical);
        reenable();
        return;
    }
    if (end > 0) --end;
    m_state.SectorRangeEnd = static_cast<std::uint64_t>(static_cast<std::int64_t>(end));

    if (m_state.SectorRangeStart >= m_state.SectorRangeEnd && m_SearchMode == kModeStandard) {
        showAdvisory("CMsgStand");
        SetHelpText(texts::kStandardNotPossibleHelp);
        m_c.back->setEnabled(true);
        return;
    }

    // The search panel takes the place of the details list.
    m_startSectorText = m_c.startSector->text();
    m_endSectorText = m_c.endSector->text();
    m_c.mainList->setRowCount(0);
    m_c.mainList->hide();
    m_PartitionTree->hide();
    showPartitionControls(false);
    showSearchMore(false);
    char range[64];
    std::snprintf(range, sizeof range, "%d to %d", static_cast<int>(m_state.SectorRangeStart),
                  static_cast<int>(m_state.SectorRangeEnd));
    setMainListColumns({{"Name", 242}, {"Value", 243}});
    setDetailRows({{"Disk Number : ", std::to_string(m_state.SelectedDisk)},
                   {"Partiton Number : ", std::to_string(static_cast<unsigned>(m_SelectedPartition + 1))},
                   {"Partition Type : ", m_state.FileSystemKind},
                   {"Search Range : ", range},
                   {"Search Mode : ", m_SearchCriterion}});
    const std::string& device = m_state.SelectedDeviceText;
    std::string diskDigit = std::to_string(m_state.SelectedDisk);
    if (const auto paren = device.rfind("(Disk"); paren != std::string::npos && paren + 5 < device.size())
        diskDigit = device.substr(paren + 5, 1);
    m_c.driveValue->setText(q(diskDigit));
    m_c.rangeValue->setText(range);
    m_c.fileSystemValue->setText(q(m_state.FileSystemKind));
    m_c.criteriaValue->setText(q(m_SearchCriterion));
    m_c.directoriesLabel->setText("Directories Found\t\t\t:");
    m_c.directoriesValue->clear();
    m_c.bootSectorsValue->clear();
    m_c.statusText->setText(" ");
    m_c.searchProgress->setValue(0);
    m_c.searchProgress->setWindowText("Completed ");
    showSearchPanel(true);

    setStep(kStepFileSystem);
    SetHelpText(texts::kAnalysisRunningHelp);
    startAnalysis();
}

void CChildDialogExDemoDlg::showSearchPanel(bool show) { m_c.searchPanel->setVisible(show); }

void CChildDialogExDemoDlg::startAnalysis() {
    m_jobSetHelp = false;
    m_c.stopSearch->show();
    m_c.stopSearch->setEnabled(true);
    engine::RecoveryState* state = &m_state;
    if (m_SearchMode == kModeAdvance) {
        // The raw scan of the range; the wizard stays on the file-system
        // screen, which lists what the scan identified when it ends.
        m_scanResult = {};
        m_analysisJob->start([state, this](std::stop_token stop, util::ProgressSink& progress) {
            m_scanResult = engine::runAdvanceScan(*state, progress, stop);
        });
        return;
    }
    QPointer<CChildDialogExDemoDlg> self(this);
    m_analysisJob->start([state, self, this](std::stop_token stop, util::ProgressSink& progress) {
        const int valid = engine::validateSelectedVolume(*state, progress);
        if (valid != 1 && state->FileSystemKind == "NTFS")
            QMetaObject::invokeMethod(
                this, [self] { if (self) self->showAdvisory("CMsgStand"); }, Qt::QueuedConnection);
        m_analysisStatus = engine::runStandardSearch(*state, progress, stop);
    });
    // The Standard Search owns the result screen from its start.
    setStep(kStepResults);
}

void CChildDialogExDemoDlg::StopSearch() {
    if (!m_analysisJob->running()) return;
    m_c.stopSearch->setEnabled(false);
    m_c.statusText->setText("Stopping...");
    m_analysisJob->requestStop();
}

void CChildDialogExDemoDlg::OnCounter(const QString& label, const QString& value) {
    if (label.startsWith("Boot Sectors")) {
        m_c.bootSectorsLabel->setText(label);
        m_c.bootSectorsValue->setText(value);
    } else {
        m_c.directoriesLabel->setText(label);
        m_c.directoriesValue->setText(value);
    }
}

void CChildDialogExDemoDlg::onAnalysisFinished() {
    if (m_SearchMode == kModeAdvance) {
        onAdvanceScanFinished();
        return;
    }
    if (m_analysisStatus == engine::AnalysisStatus::Invalid) showAdvisory("CMsgStand");
    showResults();
    // Parts of the volume that could not be read are named where the
    // search reports its end.
    const std::vector<std::string> problems = m_state.diagnostics.summaryLines();
    if (!problems.empty()) {
        QStringList lines;
        for (const std::string& line : problems) lines << QString::fromStdString(line);
        m_c.statusText->setText(lines.join("; "));
    }
    emit jobFinished();
}

// ------------------------------------------------------------------ file-system screen

void CChildDialogExDemoDlg::onAdvanceScanFinished() {
    // A stopped scan was analysed like a completed one: either way the
    // screen shows what it identified.
    m_c.stopSearch->hide();
    m_c.loadLog->setEnabled(false);
    m_c.back->setEnabled(true);
    if (m_scanResult.status == engine::AdvanceScanStatus::Found && m_state.tables.FileSystemTable.rowCount() > 0) {
        m_rememberedFileSystem = 1;
        fillFileSystemTree();
        showFileSystemScreen();
    } else {
        // The counters of the scan stay in view; only Back leads on.
        m_c.next->setEnabled(false);
        SetHelpText(q(engine::kNoFileSystemMessage));
        showAdvisory("CAdvanceDlg");
    }
    emit jobFinished();
}

void CChildDialogExDemoDlg::fillFileSystemTree() {
    destroyFileSystemTree();
    m_FileSystemTree = new mytreectrl(this);
    relayout();
    QPalette pal = m_FileSystemTree->palette();
    if (!darkScheme()) pal.setColor(QPalette::Base, Qt::white);
    if (!darkScheme()) pal.setColor(QPalette::Text, Qt::black);
    m_FileSystemTree->setPalette(pal);
    QTreeWidgetItem* root = m_FileSystemTree->addRoot("Root", pictures::treeIcon(pictures::TreeIcon::Computer));
    const int count = m_state.tables.FileSystemTable.rowCount();
    for (int n = 1; n <= count; ++n) {
        QTreeWidgetItem* item = m_FileSystemTree->addChild(root, q(engine::fileSystemItemText(m_state, n)),
                                                           pictures::treeIcon(pictures::TreeIcon::FileSystem));
        item->setData(0, Qt::UserRole, n);
    }
    root->setExpanded(true);
    if (m_rememberedFileSystem < 1 || m_rememberedFileSystem > count) m_rememberedFileSystem = 1;
    if (count > 0) m_FileSystemTree->setCurrentItem(root->child(m_rememberedFileSystem - 1));
    // Picking a file system shows its summary; Next opens the one picked last.
    connect(m_FileSystemTree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (m_WizardStep != kStepFileSystem || item == nullptr || analysisRunning()) return;
        const int number = item->data(0, Qt::UserRole).toInt();
        if (number < 1) return;  // the root
        m_rememberedFileSystem = number;
        showFileSystemSummary(number);
    });
}

void CChildDialogExDemoDlg::destroyFileSystemTree() {
    delete m_FileSystemTree;
    m_FileSystemTree = nullptr;
}

void CChildDialogExDemoDlg::showFileSystemSummary(int number) {
    const records::RecordTable& systems = m_state.tables.FileSystemTable;
    if (number < 1 || number > systems.rowCount()) {
        m_c.mainList->setRowCount(0);
        return;
    }
    const auto cell = [&](const char* column) {
        return std::string(systems.cell(number - 1, systems.columnIndex(column)));
    };
    setDetailRows({{"1.   File System                        :", std::to_string(number)},
                   {"2.   Partition Type                    :    ", cell("PartType")},
                   {"3.   File System Start                :    ", cell("Cluster0Start")},
                   {"4.   Sectors Per Clusters          :    ", cell("SPC")}});
}

void CChildDialogExDemoDlg::showFileSystemScreen() {
    showSearchPanel(false);
    m_c.stopSearch->hide();
    if (m_FileSystemTree) {
        m_FileSystemTree->setEnabled(true);
        m_FileSystemTree->show();
        m_FileSystemTree->setFocus();
    }
    setMainListColumns({{"Name", 253}, {"Values", 252}});
    // The two columns fill the list to its frame: no scroll bar for the
    // pixels the frame takes from the last one.
    m_c.mainList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    showFileSystemSummary(m_rememberedFileSystem);
    m_c.mainList->setEnabled(true);
    m_c.mainList->show();
    m_c.next->setEnabled(true);
    m_c.back->setEnabled(true);
    m_c.loadLog->setEnabled(false);
    m_c.save->setEnabled(false);
    m_c.saveLog->setEnabled(false);
    SetHelpText(texts::kFileSystemScreenHelp);
    setStep(kStepFileSystem);
}

void CChildDialogExDemoDlg::nextFromFileSystem() {
    if (analysisRunning() || m_FileSystemTree == nullptr) return;
    const int number = m_rememberedFileSystem;
    if (number < 1 || number > m_state.tables.FileSystemTable.rowCount()) return;
    m_c.loadLog->setEnabled(false);
    m_c.save->setEnabled(false);
    m_c.saveLog->setEnabled(false);
    m_c.next->setEnabled(false);
    m_c.back->setEnabled(false);
    m_c.currentFolder->clear();
    m_FileSystemTree->setEnabled(false);
    SetHelpText(texts::kResultsHelp);

    // The opening reports in the search panel; it is not stopped from the window.
    m_c.mainList->hide();
    m_c.statusText->setText(" ");
    m_c.searchProgress->setValue(0);
    m_c.searchProgress->setWindowText("Completed ");
    m_c.stopSearch->hide();
    showSearchPanel(true);

    m_jobSetHelp = false;
    m_analysisStatus = engine::AnalysisStatus::Done;
    engine::RecoveryState* state = &m_state;
    m_enumerationJob->start([state, number, this](std::stop_token stop, util::ProgressSink& progress) {
        m_analysisStatus = engine::openAdvanceFileSystem(*state, number, progress, stop);
    });
}

void CChildDialogExDemoDlg::onEnumerationFinished() {
    if (m_analysisStatus == engine::AnalysisStatus::Invalid) {
        // The file system could not be opened: another one may be picked.
        showFileSystemScreen();
        showAdvisory("CAdvanceDlg");
    } else {
        showResults();
    }
    emit jobFinished();
}

void CChildDialogExDemoDlg::backToFileSystemScreen() {
    stopListing();
    m_c.save->setEnabled(false);
    m_c.saveLog->setEnabled(false);
    m_c.currentFolderLabel->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.filter, m_c.deletedOnly, m_c.itemCount}) w->hide();
    m_c.currentFolder->hide();
    delete m_FolderTree;
    m_FolderTree = nullptr;
    m_state.tables.FolderTable.clear();
    m_state.tables.FileTable.clear();
    m_state.items.clear();
    m_state.FolderNodeList.clear();
    m_c.directoriesValue->clear();
    if (QTreeWidgetItem* root = m_FileSystemTree->rootItem();
        root && m_rememberedFileSystem >= 1 && m_rememberedFileSystem <= root->childCount())
        m_FileSystemTree->setCurrentItem(root->child(m_rememberedFileSystem - 1));
    showFileSystemScreen();
}

// ------------------------------------------------------------------ results screen

void CChildDialogExDemoDlg::showResults() {
    showSearchPanel(false);
    m_c.stopSearch->hide();
    if (m_FileSystemTree) m_FileSystemTree->hide();
    setMainListColumns({{"Name", 145},
                        {"Type", 100},
                        {"Size", 70},
                        {"Date", 100},
                        {"Time", 70},
                        {"Debug Info 1", 0},
                        {"Debug Info 2", 0},
                        {"Debug Info 3", 0}});
    m_c.mainList->show();
    m_c.mainList->setEnabled(true);

    buildFolderTreeControl();
    m_FolderTree->show();
    m_c.currentFolderLabel->show();
    m_c.currentFolder->setText("Root");
    m_c.currentFolder->show();
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.filter, m_c.deletedOnly, m_c.itemCount}) w->show();
    m_c.mainList->horizontalHeader()->setSortIndicatorShown(true);
    updateItemCount();
    m_c.back->setEnabled(true);
    m_c.next->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    m_c.save->setEnabled(true);
    m_c.saveLog->setEnabled(true);
    if (!m_jobSetHelp) SetHelpText(texts::kResultsHelp);
    setStep(kStepResults);
    relayout();
}

void CChildDialogExDemoDlg::backToPartitionFromSearch() {
    if (m_enumerationJob->running()) return;
    m_analysisJob->abandon();
    m_c.stopSearch->hide();
    destroyFileSystemTree();
    m_rememberedFileSystem = 1;
    m_state.FolderNodeList.clear();
    m_c.next->setEnabled(true);
    m_c.directoriesValue->clear();
    m_c.bootSectorsValue->clear();
    m_state.tables.MftRecordTable.clear();
    m_state.tables.IndexRecordTable.clear();
    if (m_SearchMode == kModeAdvance) m_state.tables.DirectoryScanTable.clear();
    m_state.tables.BootSectorTable.clear();
    m_state.tables.FolderTable.clear();
    m_state.tables.FileTable.clear();
    m_state.items.clear();
    m_state.tables.FileSystemTable.clear();
    showSearchPanel(false);
    setMainListColumns({{"Name", 242}, {"Value", 243}});
    m_c.mainList->show();
    m_PartitionTree->show();
    showPartitionControls(true);
    showSearchMore(true);
    m_c.startSector->setText(m_startSectorText);
    m_c.endSector->setText(m_endSectorText);
    selectPartition(m_rememberedPartition, false);
    showPartitionEntryRows();
    m_c.back->setEnabled(true);
    m_c.loadLog->setEnabled(true);
    SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
    setStep(kStepPartition);
}

void CChildDialogExDemoDlg::backFromResults() {
    if (analysisRunning()) return;
    stopListing();
    // After an Advance Search the file systems found are offered again.
    if (m_SearchMode == kModeAdvance && m_FileSystemTree) {
        backToFileSystemScreen();
        return;
    }
    m_c.loadLog->setEnabled(true);
    m_c.searchMore->setEnabled(true);
    m_c.save->setEnabled(false);
    m_c.saveLog->setEnabled(false);
    setMainListColumns({{" Name", 243}, {" Value", 242}});
    m_c.currentFolderLabel->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.filter, m_c.deletedOnly, m_c.itemCount}) w->hide();
    m_c.currentFolder->hide();
    if (m_FolderTree) {
        delete m_FolderTree;
        m_FolderTree = nullptr;
        m_state.tables.FolderTable.clear();
        m_state.tables.FileTable.clear();
    m_state.items.clear();
        m_state.tables.MftRecordTable.clear();
        m_state.tables.IndexRecordTable.clear();
        m_state.tables.BootSectorTable.clear();
        m_state.FolderNodeList.clear();
    }
    showSearchPanel(false);
    m_c.next->setEnabled(true);
    m_c.back->setEnabled(true);
    enterPartitionScreen();
    // The details are those of the partition that is highlighted.
    if (m_rememberedPartition > 0) selectPartition(m_rememberedPartition, true);
    SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
}

// ------------------------------------------------------------------ Exit

void CChildDialogExDemoDlg::OnExit() {
    if (m_WizardStep == kStepResults && !analysisRunning()) {
        if (messageBox(texts::kSaveRecoveryQuestion, QMessageBox::Question, true, false) == QMessageBox::Yes)
            OnSaveLog();
    }
    if (messageBox(texts::kExitQuestion, QMessageBox::Question, true, true) != QMessageBox::Yes) return;
    m_enumerationJob->abandon();
    m_analysisJob->abandon();
    m_partitionJob->abandon();
    openWebSite();
    done(QDialog::Accepted);
    QCoreApplication::exit(0);
}

void CChildDialogExDemoDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    OnExit();
}

void CChildDialogExDemoDlg::reject() {
    // Escape is ignored on every screen; the close command goes through Exit.
}

void CChildDialogExDemoDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Next is the default button: Enter presses it while it can be pressed.
        if (m_WizardStep != kStepResults && m_c.next->isVisible() && m_c.next->isEnabled()) m_c.next->click();
        event->accept();
        return;
    case Qt::Key_Space:
    case Qt::Key_Escape: event->accept(); return;
    case Qt::Key_F1:
        OnHelp();
        event->accept();
        return;
    default: QDialog::keyPressEvent(event);
    }
}

}  // namespace qvx::ui
