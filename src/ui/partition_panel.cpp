#include "ui/partition_panel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QTableWidget>

#include <algorithm>
#include <cstdio>

#include "partition/partition_search.h"
#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/job_runner.h"
#include "ui/panel_widgets.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

namespace {

int comboIndexOf(const std::string& kind) {
    if (kind == "FAT16") return 0;
    if (kind == "FAT32") return 1;
    if (kind == "NTFS") return 2;
    return 3;
}

}  // namespace

PartitionPanel::PartitionPanel(CChildDialogExDemoDlg& window) : m_dlg(window) {
    m_partitionJob = new JobRunner(this);
    m_tableJob = new JobRunner(this);
    connect(m_tableJob, &JobRunner::helpText, this, [this](const QString& t) { m_dlg.SetHelpText(t); });
    connect(m_partitionJob, &JobRunner::helpText, this, [this](const QString& t) {
        m_dlg.m_jobSetHelp = true;
        m_dlg.SetHelpText(t);
    });
    connect(m_partitionJob, &JobRunner::message, this,
            [this](const QString& text, int kind) { m_dlg.onJobMessage(text, kind); });
    connect(m_partitionJob, &JobRunner::progress, this, [this](int percent, const QString& text) {
        m_dlg.m_c.partitionSearchProgress->setValue(percent);
        m_dlg.m_c.partitionSearchProgress->setWindowText(text);
    });
    connect(m_partitionJob, &JobRunner::finished, this, &PartitionPanel::onPartitionSearchFinished);
}

PartitionPanel::~PartitionPanel() { abandonJobs(); }

void PartitionPanel::abandonJobs() {
    m_partitionJob->abandon();
    m_tableJob->abandon();
}

bool PartitionPanel::searchRunning() const { return m_partitionJob->running(); }

void PartitionPanel::createControls() {
    auto& c = m_dlg.m_c;
    QWidget* parent = &m_dlg;
    c.searchMore = textButton("Search More Partitions", "Search More Partitions", parent, {25, kRowA}, QSize(225, 26));
    c.stopPartitionSearch =
        textButton("STOP", "Stop Searching Partitions", parent, {25, kRowA}, QSize(225, 26), true);
    c.partitionSearchLabel = panelStatic("Searching Partition...", parent, QRect(25, kRowA + 28, 225, 18));
    c.partitionSearchProgress = new CTextProgressCtrl(parent);
    c.partitionSearchProgress->setGeometry(25, kRowA + 48, 225, 18);
    // The deep search reads every sector of the disk instead of probing
    // cylinder and MiB boundaries: slower, but it finds a volume at any
    // sector, or by its backup boot sector when the first one is gone. It
    // sits in the row the search's progress takes while a search runs.
    c.deepSearch = new QCheckBox("Deep search (read every sector)", parent);
    c.deepSearch->setGeometry(29, kRowB, 221, 22);
    c.deepSearch->setToolTip("Search More Partitions reads the whole disk and finds volumes at any sector");
    // Its text in the panel's colour over the window's own background.
    {
        QPalette p = c.deepSearch->palette();
        p.setColor(QPalette::WindowText, panelTextColor());
        c.deepSearch->setPalette(p);
    }
    connect(c.searchMore, &QPushButton::clicked, this, &PartitionPanel::SearchMorePartitions);
    connect(c.stopPartitionSearch, &QPushButton::clicked, this, &PartitionPanel::StopPartitionSearch);

    c.searchModeLabel = panelStatic("Search Mode :", parent, QRect(265, kRowA, 100, 26));
    c.criterion = panelStatic(QString(), parent, QRect(365, kRowA, 130, 26));
    c.partitionTypeLabel = panelStatic("Partition Type :", parent, QRect(265, kRowB, 100, 26));
    c.partitionType = new QComboBox(parent);
    c.partitionType->addItems({"FAT16", "FAT32", "NTFS", "UNKNOWN"});
    c.partitionType->setGeometry(365, kRowB, 130, 26);
    c.startSectorLabel = panelStatic("Start Sector :", parent, QRect(515, kRowA, 90, 26));
    c.startSector = new CColorEdit(parent);
    c.startSector->setGeometry(605, kRowA, 160, 26);
    c.endSectorLabel = panelStatic("End Sector  :", parent, QRect(515, kRowB, 90, 26));
    c.endSector = new CColorEdit(parent);
    c.endSector->setGeometry(605, kRowB, 160, 26);
    for (auto* edit : {c.startSector, c.endSector}) {
        edit->setBackgroundColor(darkScheme() ? QApplication::palette().color(QPalette::Base) : QColor(255, 255, 255));
        edit->setReadOnly(true);
    }
}

// ------------------------------------------------------------------ entering and leaving

void PartitionPanel::enterFromDisk() {
    auto& c = m_dlg.m_c;
    c.searchMore->setEnabled(true);
    m_rememberedPartition = 0;

    const int startedBefore = m_trigger.PartitionSearchStarted();
    enterScreen();
    const bool searchStarted = m_trigger.PartitionSearchStarted() != startedBefore;
    if (searchStarted && m_dlg.m_SearchMode == kModeAdvance) m_partitionFailureMarker = true;
    if (m_partitionFailureMarker) {
        for (QWidget* w : std::initializer_list<QWidget*>{c.partitionTypeLabel, c.partitionType, c.startSectorLabel,
                                                          c.startSector, c.endSectorLabel, c.endSector})
            w->hide();
    }
    m_dlg.SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
    if (searchStarted) startPartitionSearch(false);
}

void PartitionPanel::enterScreen() {
    auto& c = m_dlg.m_c;
    showSearchMore(true);
    c.back->show();
    const int diskIndex = m_dlg.m_state.SelectedDisk;

    delete m_tree;
    m_tree = new mytreectrl(&m_dlg);
    m_tree->installEventFilter(this);
    connect(m_tree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { onPartitionClicked(item); });
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { onKeyNavigation(current); });
    m_dlg.relayout();
    if (!m_listRead[static_cast<std::size_t>(diskIndex)]) readPartitionList();
    fillPartitionTree();
    m_tree->show();

    const bool advance = m_dlg.m_SearchMode == kModeAdvance;
    m_SearchCriterion = advance ? "Advance Search" : "Standard Search ";
    c.criterion->setText(q(m_SearchCriterion));
    showPartitionControls(true);
    c.partitionType->setEnabled(advance);
    c.startSector->setReadOnly(!advance);
    c.endSector->setReadOnly(!advance);

    const auto& list = m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (m_rememberedPartition >= list.count()) m_rememberedPartition = 0;
    selectPartition(m_rememberedPartition, false);
    c.mainList->show();
    showPartitionEntryRows();
    m_dlg.setStep(kStepPartition);
    m_tree->setFocus();
}

void PartitionPanel::leaveToDisk() {
    auto& c = m_dlg.m_c;
    m_partitionJob->abandon();
    c.stopPartitionSearch->hide();
    c.partitionSearchLabel->hide();
    c.partitionSearchProgress->hide();
    m_trigger.reset();
    showPartitionControls(false);
    showSearchMore(false);
    delete m_tree;
    m_tree = nullptr;
    m_listRead[static_cast<std::size_t>(m_dlg.m_state.SelectedDisk)] = false;
}

void PartitionPanel::hideScreen() {
    if (m_tree) m_tree->hide();
    showPartitionControls(false);
    showSearchMore(false);
}

void PartitionPanel::returnFromSearch() {
    auto& c = m_dlg.m_c;
    m_tree->show();
    showPartitionControls(true);
    showSearchMore(true);
    c.startSector->setText(m_startSectorText);
    c.endSector->setText(m_endSectorText);
    selectPartition(m_rememberedPartition, false);
    showPartitionEntryRows();
}

void PartitionPanel::showRememberedDetails() {
    if (m_rememberedPartition > 0) selectPartition(m_rememberedPartition, true);
}

void PartitionPanel::setSearchEnabled(bool enabled) { m_dlg.m_c.searchMore->setEnabled(enabled); }

void PartitionPanel::showSearchMore(bool show) {
    m_dlg.m_c.searchMore->setVisible(show);
    m_dlg.m_c.deepSearch->setVisible(show);
}

void PartitionPanel::showPartitionControls(bool show) {
    auto& c = m_dlg.m_c;
    for (QWidget* w : std::initializer_list<QWidget*>{c.searchModeLabel, c.criterion, c.partitionTypeLabel,
                                                      c.partitionType, c.startSectorLabel, c.startSector,
                                                      c.endSectorLabel, c.endSector})
        w->setVisible(show);
}

// ------------------------------------------------------------------ the list

void PartitionPanel::readPartitionList() {
    engine::RecoveryState& state = m_dlg.m_state;
    const int diskIndex = state.SelectedDisk;
    // The table is read on a worker: a failing disk may take long to answer
    // each read, and the window keeps painting meanwhile. The window is
    // disabled until the list is there, as the partition screen needs it.
    auto* list = &state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    auto result = std::make_shared<partition::TableReadResult>();
    engine::ReadFailureTrigger* trigger = &m_trigger;
    std::shared_ptr<disk::SectorReader> reader = state.reader;
    const std::uint64_t totalSectors = m_dlg.m_details.DiskTotalSectors;
    m_trigger.setDeviceSelection(true);
    const bool wasEnabled = m_dlg.isEnabled();
    m_dlg.setEnabled(false);
    runAndWait(*m_tableJob, [reader, diskIndex, totalSectors, list, trigger, result](std::stop_token,
                                                                                      util::ProgressSink& sink) {
        reader->setReadFailureHook([trigger, &sink] { trigger->OnReadFailure(sink); });
        *result = partition::ReadPartitionTable(*reader, diskIndex, 0, totalSectors, *list,
                                                [trigger, &sink] { trigger->OnReadFailure(sink); });
        // The logical sector size is found here, off the window's thread;
        // the screens then divide by it from what the reader keeps.
        (void)reader->sectorUnits(diskIndex);
        reader->setReadFailureHook({});
        // An empty table starts the lost partition search once per visit.
        if (!result->partitionsListed) trigger->OnReadFailure(sink);
    });
    m_dlg.setEnabled(wasEnabled);
    m_PartitionsListed = result->partitionsListed ? 1 : 0;
    m_trigger.setDeviceSelection(false);
    m_listRead[static_cast<std::size_t>(diskIndex)] = true;
}

void PartitionPanel::fillPartitionTree() {
    m_tree->clear();
    const int diskIndex = m_dlg.m_state.SelectedDisk;
    QTreeWidgetItem* root =
        m_tree->addRoot(QString("Disk %1").arg(diskIndex), pictures::treeIcon(pictures::TreeIcon::Disk));
    const auto& list = m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    for (int i = 0; i < list.count(); ++i) {
        const auto& entry = list.entries[static_cast<std::size_t>(i)];
        const QString text =
            entry.fileSystemName == "Unknown Partition" ? QString("Unknown Partition") : q(list.label(i));
        QTreeWidgetItem* item = m_tree->addChild(root, text, pictures::treeIcon(pictures::TreeIcon::Partition));
        item->setData(0, Qt::UserRole, i);
    }
    root->setExpanded(true);
}

void PartitionPanel::selectPartition(int index, bool showDetails) {
    auto& c = m_dlg.m_c;
    const disk::DiskDetails& details = m_dlg.m_details;
    const int diskIndex = m_dlg.m_state.SelectedDisk;
    const auto& list = m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (index < 0 || index >= list.count() || m_tree == nullptr) return;
    const auto& entry = list.entries[static_cast<std::size_t>(index)];
    m_rememberedPartition = index;
    if (QTreeWidgetItem* root = m_tree->rootItem(); root && index < root->childCount())
        m_tree->setCurrentItem(root->child(index));

    const bool advance = m_dlg.m_SearchMode == kModeAdvance;
    // The inputs show the disk's own sectors (4096 bytes on a 4Kn disk).
    const std::uint32_t units = m_dlg.m_state.sectorUnits();
    c.partitionType->setCurrentIndex(comboIndexOf(entry.fileSystemName));
    c.startSector->setText(QString::number(entry.firstSector / units));
    if (advance && entry.endSector <= entry.firstSector)
        c.endSector->setText(QString::number(details.DiskTotalSectors / units));
    else
        c.endSector->setText(QString::number(entry.endSector / units));
    if (!showDetails) return;
    const partition::PartitionDetails d = partition::ShowPartitionDetails(
        entry.fileSystemName, index, diskIndex, entry, advance,
        partition::DiskFacts{details.DiskTotalSectors, details.DiskCapacityText, units});
    m_dlg.setDetailRows(d.rows);
    if (d.fileSystemComboIndex >= 0) c.partitionType->setCurrentIndex(d.fileSystemComboIndex);
    if (advance) {
        c.startSector->setText(q(d.startSectorText));
        c.endSector->setText(q(d.endSectorText));
    }
}

void PartitionPanel::showPartitionEntryRows() {
    const engine::RecoveryState& state = m_dlg.m_state;
    const auto& list = state.DiskPartitionList[static_cast<std::size_t>(state.SelectedDisk)];
    if (list.count() == 0) {
        m_dlg.m_c.mainList->setRowCount(0);
        return;
    }
    const auto& e = list.entries[static_cast<std::size_t>(m_rememberedPartition)];
    if (m_dlg.m_SearchMode == kModeAdvance) {
        const auto size = static_cast<std::uint32_t>((e.endSector - e.firstSector) >> 11);
        m_dlg.setDetailRows({{"1.   Partition Number : ", "1"},
                             {"2.   Search Mode : ", "Advance"},
                             {"3.   Size :  ", std::to_string(size) + " MB"}});
        return;
    }
    char start[16];
    char end[16];
    char size[32];
    const std::uint32_t units = state.sectorUnits();
    std::snprintf(start, sizeof start, "%d", static_cast<int>(e.firstSector / units));
    std::snprintf(end, sizeof end, "%d", static_cast<int>(e.endSector / units));
    std::snprintf(size, sizeof size, "%ld MB",
                  static_cast<long>((static_cast<std::int64_t>(e.endSector) - e.firstSector) / 2048));
    m_dlg.setDetailRows({{"1.   Disk Number :  ", std::to_string(state.SelectedDisk)},
                         {"2.   Partition Number :  ", "1"},
                         {"3.   Partition Type  :  ", e.fileSystemName},
                         {"4.   Search Mode :  ", "Standard"},
                         {"5.   Start Sector :  ", start},
                         {"6.   End Sector :  ", end},
                         {"7.   Size :  ", size}});
}

void PartitionPanel::onPartitionClicked(QTreeWidgetItem* item) {
    if (m_dlg.m_WizardStep != kStepPartition || item == nullptr) return;
    if (item->text(0).startsWith("Disk") || item->parent() == nullptr || m_partitionJob->running()) return;
    selectPartition(item->data(0, Qt::UserRole).toInt(), true);
}

bool PartitionPanel::eventFilter(QObject* watched, QEvent* event) {
    // The arrow keys act as clicks on the item they move to (onKeyNavigation).
    if (watched == m_tree && m_tree) {
        if (event->type() == QEvent::KeyPress) m_keyNavigation = true;
        else if (event->type() == QEvent::KeyRelease || event->type() == QEvent::FocusOut) m_keyNavigation = false;
    }
    return QObject::eventFilter(watched, event);
}

void PartitionPanel::onKeyNavigation(QTreeWidgetItem* current) {
    if (!m_keyNavigation || !current) return;
    if (m_dlg.m_WizardStep == kStepPartition && m_tree) onPartitionClicked(current);
}

// ------------------------------------------------------------------ the range of the search

bool PartitionPanel::takeRange() {
    CChildDialogExDemoDlg::Controls& c = m_dlg.m_c;
    engine::RecoveryState& state = m_dlg.m_state;
    const bool advanceMode = m_dlg.m_SearchMode == kModeAdvance;
    const auto reenable = [&c] {
        c.next->setEnabled(true);
        c.back->setEnabled(true);
        c.loadLog->setEnabled(true);
    };
    c.next->setEnabled(false);
    c.back->setEnabled(false);
    c.loadLog->setEnabled(false);
    c.stopSearch->setEnabled(true);

    const int kind = c.partitionType->currentIndex();
    if (kind < 0 || kind > 2) {
        if (advanceMode) {
            m_dlg.messageBox(texts::kSelectPartitionType, QMessageBox::Critical);
            m_dlg.SetHelpText(texts::kUnknownKindAdvanceHelp);
            reenable();
        } else {
            m_dlg.showAdvisory("CMsgStand");
            m_dlg.SetHelpText(texts::kStandardNotPossibleHelp);
            c.next->setEnabled(true);
            c.back->setEnabled(true);
        }
        return false;
    }
    static const char* const kKinds[] = {"FAT16", "FAT32", "NTFS"};
    state.FileSystemKind = kKinds[kind];

    // The inputs count the disk's own sectors; the engine 512-byte ones.
    const std::uint64_t units = state.sectorUnits();
    std::int32_t start = 0;
    if (!readInt32(c.startSector->text(), start)) {
        m_dlg.messageBox(texts::kStartSectorInvalid, QMessageBox::Critical);
        reenable();
        return false;
    }
    const std::uint64_t previousEnd = state.SectorRangeEnd;
    state.SectorRangeStart = static_cast<std::uint64_t>(static_cast<std::int64_t>(start)) * units;
    std::int32_t end = 0;
    const bool endValid = readInt32(c.endSector->text(), end);
    if (state.SectorRangeStart >= previousEnd)
        c.endSector->setText(QString::number(m_dlg.m_details.DiskTotalSectors / units));
    if (!endValid) {
        m_dlg.messageBox(texts::kEndSectorInvalid, QMessageBox::Critical);
        reenable();
        return false;
    }
    // Sectors past the disk's end cannot be read.
    const std::uint64_t diskSectors = m_dlg.m_details.DiskTotalSectors / units;
    const QString diskRange =
        diskSectors > 0 ? QString("\n\nThe disk has %1 sectors (0 to %2).").arg(diskSectors).arg(diskSectors - 1)
                        : QString();
    if (diskSectors > 0 && start >= 0 && static_cast<std::uint64_t>(start) >= diskSectors) {
        m_dlg.messageBox(texts::kStartSectorInvalid + diskRange, QMessageBox::Critical);
        reenable();
        return false;
    }
    if (start < 0 || end < 0 || (diskSectors > 0 && static_cast<std::uint64_t>(end) > diskSectors)) {
        m_dlg.messageBox((start < 0 ? QString(texts::kStartSectorInvalid) : QString(texts::kEndSectorInvalid)) + diskRange,
                         QMessageBox::Critical);
        reenable();
        return false;
    }
    // The end input is exclusive: the range ends with the last 512-byte
    // sector of the sector before it.
    state.SectorRangeEnd = end > 0 ? static_cast<std::uint64_t>(end) * units - 1 : 0;

    if (state.SectorRangeStart >= state.SectorRangeEnd && m_dlg.m_SearchMode == kModeStandard) {
        m_dlg.showAdvisory("CMsgStand");
        m_dlg.SetHelpText(texts::kStandardNotPossibleHelp);
        c.back->setEnabled(true);
        return false;
    }
    m_startSectorText = c.startSector->text();
    m_endSectorText = c.endSector->text();
    return true;
}

// ------------------------------------------------------------------ lost partition search

void PartitionPanel::SearchMorePartitions() {
    if (m_dlg.m_WizardStep != kStepPartition || m_partitionJob->running()) return;
    m_dlg.SetHelpText(QString::fromUtf8(partition::kSearchStartHelp));
    startPartitionSearch(true);
}

void PartitionPanel::startPartitionSearch(bool fromButton) {
    if (m_partitionJob->running()) return;
    auto& c = m_dlg.m_c;
    showSearchMore(false);
    c.stopPartitionSearch->show();
    c.partitionSearchLabel->show();
    c.partitionSearchProgress->setValue(0);
    c.partitionSearchProgress->setWindowText("Completed ");
    c.partitionSearchProgress->show();
    if (fromButton) c.loadLog->setEnabled(false);
    c.back->setEnabled(false);
    c.next->setEnabled(false);
    if (m_dlg.m_SearchMode == kModeAdvance) {
        c.partitionType->setEnabled(false);
        c.startSector->setEnabled(false);
        c.endSector->setEnabled(false);
    }
    c.partitionType->setCurrentIndex(3);
    c.startSector->setText("0");
    if (m_tree) m_tree->setEnabled(false);

    const int diskIndex = m_dlg.m_state.SelectedDisk;
    m_searchList = std::make_shared<partition::DiskPartitionList>(
        m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)]);
    const partition::SearchGeometry geometry = engine::searchGeometryOf(m_dlg.m_details);
    const partition::SearchDepth depth =
        c.deepSearch->isChecked() ? partition::SearchDepth::Deep : partition::SearchDepth::Probes;
    m_dlg.m_jobSetHelp = false;
    m_partitionJob->start([reader = m_dlg.m_state.reader, list = m_searchList, diskIndex, geometry, depth](
                              std::stop_token stop, util::ProgressSink& progress) {
        partition::SearchPartitions(depth, *reader, diskIndex, geometry, *list, stop, progress);
    });
}

void PartitionPanel::StopPartitionSearch() {
    if (!m_partitionJob->running()) return;
    const int answer =
        m_dlg.messageBox(QString::fromUtf8(partition::kStopSearchQuestion), QMessageBox::Question, true, true);
    if (answer != QMessageBox::Yes) return;
    // The search stops between reads and keeps what it found; its end
    // restores the screen.
    m_partitionJob->requestStop();
}

void PartitionPanel::onPartitionSearchFinished() {
    auto& c = m_dlg.m_c;
    const int diskIndex = m_dlg.m_state.SelectedDisk;
    if (m_searchList) {
        // A partition the search found again (same kind, same sectors) is
        // listed once: the search starts from the list and adds what it finds.
        std::vector<partition::PartitionEntry> unique;
        for (const partition::PartitionEntry& e : m_searchList->entries) {
            const bool seen = std::any_of(unique.begin(), unique.end(), [&e](const partition::PartitionEntry& u) {
                return u.firstSector == e.firstSector && u.endSector == e.endSector &&
                       u.fileSystemName == e.fileSystemName;
            });
            if (!seen) unique.push_back(e);
        }
        m_searchList->entries = std::move(unique);
        m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)] = *m_searchList;
    }
    m_searchList.reset();
    c.partitionSearchProgress->setValue(100);
    c.stopPartitionSearch->hide();
    c.partitionSearchLabel->hide();
    c.partitionSearchProgress->hide();
    showSearchMore(true);
    c.next->setEnabled(true);
    c.back->setEnabled(true);
    c.loadLog->setEnabled(true);
    if (m_dlg.m_SearchMode == kModeAdvance) {
        c.partitionType->setEnabled(true);
        c.startSector->setEnabled(true);
        c.endSector->setEnabled(true);
        if (m_partitionFailureMarker) showPartitionControls(true);
    }
    if (m_tree) {
        m_tree->setEnabled(true);
        fillPartitionTree();
    }
    if (!m_dlg.m_jobSetHelp) m_dlg.SetHelpText(QString::fromUtf8(partition::kSearchDoneHelp));
    const auto& list = m_dlg.m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (list.count() > 0) selectPartition(0, true);
    m_dlg.jobEnded();
}

}  // namespace qvx::ui
