#include "ui/file_system_panel.h"

#include <QFrame>
#include <QPointer>
#include <QTableWidget>

#include <charconv>
#include <cstdio>
#include <system_error>
#include <vector>

#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/job_runner.h"
#include "ui/panel_widgets.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

FileSystemPanel::FileSystemPanel(CChildDialogExDemoDlg& window) : m_dlg(window) {
    m_analysisJob = new JobRunner(this);
    m_enumerationJob = new JobRunner(this);
    // The search panel shows the status, progress and counters of the
    // analysis and of the opening of a file system alike.
    for (JobRunner* job : {m_analysisJob, m_enumerationJob}) {
        connect(job, &JobRunner::helpText, this, [this](const QString& t) {
            m_dlg.m_jobSetHelp = true;
            m_dlg.SetHelpText(t);
        });
        connect(job, &JobRunner::message, this, [this](const QString& text, int kind) { m_dlg.onJobMessage(text, kind); });
        connect(job, &JobRunner::statusText, this, [this](const QString& t) { m_dlg.m_c.statusText->setText(t); });
        connect(job, &JobRunner::progress, this, [this](int percent, const QString& text) {
            m_dlg.m_c.searchProgress->setValue(percent);
            m_dlg.m_c.searchProgress->setWindowText(text);
        });
        connect(job, &JobRunner::counter, this, &FileSystemPanel::OnCounter);
    }
    connect(m_analysisJob, &JobRunner::finished, this, &FileSystemPanel::onAnalysisFinished);
    connect(m_enumerationJob, &JobRunner::finished, this, &FileSystemPanel::onEnumerationFinished);
}

FileSystemPanel::~FileSystemPanel() { abandonJobs(); }

void FileSystemPanel::abandonJobs() {
    m_enumerationJob->abandon();
    m_analysisJob->abandon();
}

bool FileSystemPanel::analysisRunning() const { return m_analysisJob->running(); }
bool FileSystemPanel::enumerationRunning() const { return m_enumerationJob->running(); }

void FileSystemPanel::createControls() {
    auto& c = m_dlg.m_c;
    auto* panel = new QFrame(&m_dlg);
    panel->setGeometry(kListRect.adjusted(0, 0, 0, 60));
    panel->setFrameShape(QFrame::StyledPanel);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, panelColor());
    panel->setPalette(pal);
    panel->setAutoFillBackground(true);
    c.searchPanel = panel;

    struct Pair {
        const char* label;
        CColorStatic** labelOut;
        CColorStatic** valueOut;
    };
    const Pair pairs[] = {
        {"Searching in Physical Drive\t:", &c.driveLabel, &c.driveValue},
        {"Selected File System\t\t:", &c.fileSystemLabel, &c.fileSystemValue},
        {"Directories Found\t\t\t:", &c.directoriesLabel, &c.directoriesValue},
        {"Boot Sectors Found\t\t:", &c.bootSectorsLabel, &c.bootSectorsValue},
        {"Searching Criteria\t\t:", &c.criteriaLabel, &c.criteriaValue},
        {"Searching from sectors", &c.rangeLabel, &c.rangeValue},
    };
    int y = 16;
    for (const Pair& p : pairs) {
        *p.labelOut = panelStatic(p.label, panel, QRect(18, y, 230, 24));
        (*p.labelOut)->setTabColumn(180);
        *p.valueOut = panelStatic(QString(), panel, QRect(250, y, 235, 24));
        y += 30;
    }
    c.searchProgress = new CTextProgressCtrl(panel);
    c.searchProgress->setGeometry(18, y + 8, 464, 24);
    c.statusText = panelStatic(" ", panel, QRect(18, y + 40, 464, 24));
    c.stopSearch = textButton("Stop Searching", "Stop Search", panel, {352, y + 72}, QSize(130, 30), true);
    connect(c.stopSearch, &QPushButton::clicked, this, &FileSystemPanel::StopSearch);
}

void FileSystemPanel::showSearchPanel(bool show) { m_dlg.m_c.searchPanel->setVisible(show); }

// ------------------------------------------------------------------ analysis

void FileSystemPanel::showSearchSummary(const std::string& criterion) {
    auto& c = m_dlg.m_c;
    const engine::RecoveryState& state = m_dlg.m_state;
    // In the disk's own sectors: the last one is the one holding the
    // range's last 512-byte sector.
    const std::uint32_t units = state.sectorUnits();
    char range[64];
    std::snprintf(range, sizeof range, "%d to %d", static_cast<int>(state.SectorRangeStart / units),
                  static_cast<int>(state.SectorRangeEnd / units));
    m_dlg.setMainListColumns({{"Name", 242}, {"Value", 243}});
    m_dlg.setDetailRows({{"Disk Number : ", std::to_string(state.SelectedDisk)},
                         {"Partiton Number : ", std::to_string(static_cast<unsigned>(m_dlg.m_SelectedPartition + 1))},
                         {"Partition Type : ", state.FileSystemKind},
                         {"Search Range : ", range},
                         {"Search Mode : ", criterion}});
    const std::string& device = state.SelectedDeviceText;
    std::string diskDigit = std::to_string(state.SelectedDisk);
    if (const auto paren = device.rfind("(Disk"); paren != std::string::npos && paren + 5 < device.size())
        diskDigit = device.substr(paren + 5, 1);
    c.driveValue->setText(q(diskDigit));
    c.rangeValue->setText(range);
    c.fileSystemValue->setText(q(state.FileSystemKind));
    c.criteriaValue->setText(q(criterion));
    c.directoriesLabel->setText("Directories Found\t\t\t:");
    c.directoriesValue->clear();
    c.bootSectorsValue->clear();
    c.statusText->setText(" ");
    c.searchProgress->setValue(0);
    c.searchProgress->setWindowText("Completed ");
    showSearchPanel(true);
}

void FileSystemPanel::startAnalysis() {
    m_dlg.m_jobSetHelp = false;
    m_dlg.m_c.stopSearch->show();
    m_dlg.m_c.stopSearch->setEnabled(true);
    engine::RecoveryState* state = &m_dlg.m_state;
    if (m_dlg.m_SearchMode == kModeAdvance) {
        // The raw scan of the range; the wizard stays on the file-system
        // screen, which lists what the scan identified when it ends.
        m_scanResult = {};
        m_analysisJob->start([state, this](std::stop_token stop, util::ProgressSink& progress) {
            m_scanResult = engine::runAdvanceScan(*state, progress, stop);
        });
        return;
    }
    QPointer<FileSystemPanel> self(this);
    m_analysisJob->start([state, self, this](std::stop_token stop, util::ProgressSink& progress) {
        const int valid = engine::validateSelectedVolume(*state, progress);
        if (valid != 1 && state->FileSystemKind == "NTFS")
            QMetaObject::invokeMethod(
                this, [self] { if (self) self->m_dlg.showAdvisory("CMsgStand"); }, Qt::QueuedConnection);
        m_analysisStatus = engine::runStandardSearch(*state, progress, stop);
    });
}

void FileSystemPanel::StopSearch() {
    if (!m_analysisJob->running()) return;
    m_dlg.m_c.stopSearch->setEnabled(false);
    m_dlg.m_c.statusText->setText("Stopping...");
    m_analysisJob->requestStop();
}

void FileSystemPanel::OnCounter(const QString& label, const QString& value) {
    auto& c = m_dlg.m_c;
    if (label.startsWith("Boot Sectors")) {
        c.bootSectorsLabel->setText(label);
        c.bootSectorsValue->setText(value);
    } else {
        c.directoriesLabel->setText(label);
        c.directoriesValue->setText(value);
    }
}

void FileSystemPanel::onAnalysisFinished() {
    if (m_dlg.m_SearchMode == kModeAdvance) {
        onAdvanceScanFinished();
        return;
    }
    if (m_analysisStatus == engine::AnalysisStatus::Invalid) m_dlg.showAdvisory("CMsgStand");
    m_dlg.toResults();
    // Parts of the volume that could not be read are named where the
    // search reports its end.
    const std::vector<std::string> problems = m_dlg.m_state.diagnostics.summaryLines();
    if (!problems.empty()) {
        QStringList lines;
        for (const std::string& line : problems) lines << QString::fromStdString(line);
        m_dlg.m_c.statusText->setText(lines.join("; "));
    }
    m_dlg.jobEnded();
}

// ------------------------------------------------------------------ file-system screen

void FileSystemPanel::onAdvanceScanFinished() {
    auto& c = m_dlg.m_c;
    // A stopped scan was analysed like a completed one: either way the
    // screen shows what it identified.
    c.stopSearch->hide();
    c.loadLog->setEnabled(false);
    c.back->setEnabled(true);
    if (m_scanResult.status == engine::AdvanceScanStatus::Found &&
        m_dlg.m_state.tables.FileSystemTable.rowCount() > 0) {
        m_rememberedFileSystem = 1;
        fillFileSystemTree();
        m_dlg.toFileSystemScreen();
    } else {
        // The counters of the scan stay in view; only Back leads on.
        c.next->setEnabled(false);
        m_dlg.SetHelpText(q(engine::kNoFileSystemMessage));
        m_dlg.showAdvisory("CAdvanceDlg");
    }
    m_dlg.jobEnded();
}

void FileSystemPanel::fillFileSystemTree() {
    destroyFileSystemTree();
    m_tree = new mytreectrl(&m_dlg);
    m_dlg.relayout();
    QPalette pal = m_tree->palette();
    if (!darkScheme()) pal.setColor(QPalette::Base, Qt::white);
    if (!darkScheme()) pal.setColor(QPalette::Text, Qt::black);
    m_tree->setPalette(pal);
    QTreeWidgetItem* root = m_tree->addRoot("Root", pictures::treeIcon(pictures::TreeIcon::Computer));
    const int count = m_dlg.m_state.tables.FileSystemTable.rowCount();
    for (int n = 1; n <= count; ++n) {
        QTreeWidgetItem* item = m_tree->addChild(root, q(engine::fileSystemItemText(m_dlg.m_state, n)),
                                                 pictures::treeIcon(pictures::TreeIcon::FileSystem));
        item->setData(0, Qt::UserRole, n);
    }
    root->setExpanded(true);
    if (m_rememberedFileSystem < 1 || m_rememberedFileSystem > count) m_rememberedFileSystem = 1;
    if (count > 0) m_tree->setCurrentItem(root->child(m_rememberedFileSystem - 1));
    // Picking a file system shows its summary; Next opens the one picked last.
    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (m_dlg.m_WizardStep != kStepFileSystem || item == nullptr || m_dlg.analysisRunning()) return;
        const int number = item->data(0, Qt::UserRole).toInt();
        if (number < 1) return;  // the root
        m_rememberedFileSystem = number;
        showFileSystemSummary(number);
    });
}

void FileSystemPanel::destroyFileSystemTree() {
    delete m_tree;
    m_tree = nullptr;
}

void FileSystemPanel::showFileSystemSummary(int number) {
    const records::RecordTable& systems = m_dlg.m_state.tables.FileSystemTable;
    if (number < 1 || number > systems.rowCount()) {
        m_dlg.m_c.mainList->setRowCount(0);
        return;
    }
    const auto cell = [&](const char* column) {
        return std::string(systems.cell(number - 1, systems.columnIndex(column)));
    };
    // The table counts 512-byte sectors; the disk's own are shown.
    const std::uint32_t units = m_dlg.m_state.sectorUnits();
    const auto sectors = [&](const char* column) {
        const std::string text = cell(column);
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return units == 1 || ec != std::errc() || end != text.data() + text.size() ? text
                                                                                    : std::to_string(value / units);
    };
    m_dlg.setDetailRows({{"1.   File System                        :", std::to_string(number)},
                         {"2.   Partition Type                    :    ", cell("PartType")},
                         {"3.   File System Start                :    ", sectors("Cluster0Start")},
                         {"4.   Sectors Per Clusters          :    ", sectors("SPC")}});
}

void FileSystemPanel::showScreen() {
    auto& c = m_dlg.m_c;
    showSearchPanel(false);
    c.stopSearch->hide();
    if (m_tree) {
        m_tree->setEnabled(true);
        m_tree->show();
        m_tree->setFocus();
    }
    m_dlg.setMainListColumns({{"Name", 253}, {"Values", 252}});
    // The two columns fill the list to its frame: no scroll bar for the
    // pixels the frame takes from the last one.
    c.mainList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    showFileSystemSummary(m_rememberedFileSystem);
    c.mainList->setEnabled(true);
    c.mainList->show();
    c.next->setEnabled(true);
    c.back->setEnabled(true);
    c.loadLog->setEnabled(false);
    c.save->setEnabled(false);
    c.saveLog->setEnabled(false);
    m_dlg.SetHelpText(texts::kFileSystemScreenHelp);
}

void FileSystemPanel::openPicked() {
    auto& c = m_dlg.m_c;
    if (m_dlg.analysisRunning() || m_tree == nullptr) return;
    const int number = m_rememberedFileSystem;
    if (number < 1 || number > m_dlg.m_state.tables.FileSystemTable.rowCount()) return;
    c.loadLog->setEnabled(false);
    c.save->setEnabled(false);
    c.saveLog->setEnabled(false);
    c.next->setEnabled(false);
    c.back->setEnabled(false);
    c.currentFolder->clear();
    m_tree->setEnabled(false);
    m_dlg.SetHelpText(texts::kResultsHelp);

    // The opening reports in the search panel; it is not stopped from the window.
    c.mainList->hide();
    c.statusText->setText(" ");
    c.searchProgress->setValue(0);
    c.searchProgress->setWindowText("Completed ");
    c.stopSearch->hide();
    showSearchPanel(true);

    m_dlg.m_jobSetHelp = false;
    m_analysisStatus = engine::AnalysisStatus::Done;
    engine::RecoveryState* state = &m_dlg.m_state;
    m_enumerationJob->start([state, number, this](std::stop_token stop, util::ProgressSink& progress) {
        m_analysisStatus = engine::openAdvanceFileSystem(*state, number, progress, stop);
    });
}

void FileSystemPanel::onEnumerationFinished() {
    if (m_analysisStatus == engine::AnalysisStatus::Invalid) {
        // The file system could not be opened: another one may be picked.
        m_dlg.toFileSystemScreen();
        m_dlg.showAdvisory("CAdvanceDlg");
    } else {
        m_dlg.toResults();
    }
    m_dlg.jobEnded();
}

void FileSystemPanel::returnFromResults() {
    m_dlg.m_c.directoriesValue->clear();
    if (QTreeWidgetItem* root = m_tree->rootItem();
        root && m_rememberedFileSystem >= 1 && m_rememberedFileSystem <= root->childCount())
        m_tree->setCurrentItem(root->child(m_rememberedFileSystem - 1));
}

void FileSystemPanel::hideForResults() {
    showSearchPanel(false);
    m_dlg.m_c.stopSearch->hide();
    if (m_tree) m_tree->hide();
}

void FileSystemPanel::leaveToPartition() {
    auto& c = m_dlg.m_c;
    engine::RecoveryState& state = m_dlg.m_state;
    m_analysisJob->abandon();
    c.stopSearch->hide();
    destroyFileSystemTree();
    m_rememberedFileSystem = 1;
    state.FolderNodeList.clear();
    c.next->setEnabled(true);
    c.directoriesValue->clear();
    c.bootSectorsValue->clear();
    state.tables.MftRecordTable.clear();
    state.tables.IndexRecordTable.clear();
    state.tables.ntfsScan.clear();
    if (m_dlg.m_SearchMode == kModeAdvance) state.tables.DirectoryScanTable.clear();
    state.tables.BootSectorTable.clear();
    state.tables.FolderTable.clear();
    state.tables.FileTable.clear();
    state.items.clear();
    state.tables.FileSystemTable.clear();
    showSearchPanel(false);
}

}  // namespace qvx::ui
