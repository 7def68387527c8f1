#include "ui/DialogEx.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "partition/partition_search.h"
#include "partition/partition_table.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

namespace {

CColorStatic* panelStatic(const QString& text, QWidget* parent, QRect geometry) {
    auto* s = new CColorStatic(text, parent);
    s->setBackgroundColor(panelColor());
    s->setGeometry(geometry);
    return s;
}

CBtn* textButton(const QString& text, const QString& tip, QWidget* parent, QPoint at, QSize size,
                 bool warning = false) {
    auto* b = new CBtn(text, parent);
    b->setFaces(pictures::buttonFace(size, false, warning), pictures::buttonFace(size, true, warning));
    b->setToolTip(tip);
    b->move(at);
    return b;
}

CBtn* toolButton(pictures::Tool tool, const QString& tip, QWidget* parent, QPoint at, int side = 42) {
    auto* b = new CBtn(QString(), parent);
    b->setFaces(pictures::toolFace(tool, side, false), pictures::toolFace(tool, side, true));
    b->setToolTip(tip);
    // A picture alone says nothing to a screen reader.
    b->setAccessibleName(tip);
    b->move(at);
    return b;
}

/// A thin bar between the left panel and the list that moves the border.
class PanelSplitter : public QWidget {
public:
    PanelSplitter(QWidget* parent, std::function<void(int)> moved) : QWidget(parent), m_moved(std::move(moved)) {
        setCursor(Qt::SplitHCursor);
        setToolTip("Drag to change the width of the left panel");
    }

protected:
    void mousePressEvent(QMouseEvent* e) override { m_grab = e->position().toPoint().x(); }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (e->buttons() & Qt::LeftButton) m_moved(mapToParent(e->position().toPoint()).x() - m_grab);
    }

private:
    std::function<void(int)> m_moved;
    int m_grab = 0;
};

int comboIndexOf(const std::string& kind) {
    if (kind == "FAT16") return 0;
    if (kind == "FAT32") return 1;
    if (kind == "NTFS") return 2;
    return 3;
}

}  // namespace

CChildDialogExDemoDlg::CChildDialogExDemoDlg(Options options, QWidget* parent)
    : QDialog(parent), m_options(std::move(options)) {
    setWindowTitle(texts::kCaption);
    setWindowIcon(QIcon(pictures::appIcon(64)));
    // The template's size is the default; the window may be resized and
    // maximised, and fits a 1024 x 768 screen at its smallest.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kWindowWidth, kWindowHeight);
    // On a small screen (1366 x 768 at 125 %) the window and its title bar
    // must fit: it starts smaller there.
    if (QScreen* s = screen(); s && QGuiApplication::platformName() != "offscreen") {
        const QRect available = s->availableGeometry();
        resize(std::clamp(available.width() - 16, kMinimumWidth, kWindowWidth),
               std::clamp(available.height() - 48, kMinimumHeight, kWindowHeight));
    }
    QPalette pal = palette();
    pal.setColor(QPalette::Window, panelColor());
    setPalette(pal);
    setAutoFillBackground(true);
    // The window's texts are sized for an 8-point font.
    QFont f = font();
    f.setPointSize(8);
    setFont(f);

    m_partitionJob = new JobRunner(this);
    m_tableJob = new JobRunner(this);
    connect(m_tableJob, &JobRunner::helpText, this, [this](const QString& t) { SetHelpText(t); });
    m_analysisJob = new JobRunner(this);
    m_enumerationJob = new JobRunner(this);

    createControls();
    createResultsControls();
    m_PartitionsListed = 0;
    setMainListColumns({{"Name", 242}, {"Value", 243}});

    RefreshDisks();
    SetHelpText(QString::fromUtf8(texts::kDiskScreenHelp));
    relayout();
    // Images named on the command line that cannot be listed are reported
    // once the window is up.
    QTimer::singleShot(0, this, &CChildDialogExDemoDlg::reportInventoryErrors);
}

CChildDialogExDemoDlg::~CChildDialogExDemoDlg() {
    m_listingJob->abandon();
    m_saveJob->abandon();
    m_sessionJob->abandon();
    m_countJob->abandon();
    m_enumerationJob->abandon();
    m_analysisJob->abandon();
    m_partitionJob->abandon();
    m_tableJob->abandon();
}

// ------------------------------------------------------------------ window creation

void CChildDialogExDemoDlg::createControls() {
    m_banner = new QLabel(this);
    m_banner->setGeometry(0, 0, kWindowWidth, kBannerHeight);
    m_banner->setPixmap(pictures::banner(QSize(kWindowWidth, kBannerHeight)));

    // Toolbar.
    m_c.save = toolButton(pictures::Tool::Save, "Save", this, {14, 101});
    m_c.loadLog = toolButton(pictures::Tool::LoadLog, "Load Log", this, {62, 101});
    m_c.saveLog = toolButton(pictures::Tool::SaveLog, "Save Log", this, {110, 101});
    m_c.help = toolButton(pictures::Tool::Help, "Help", this, {158, 101});
    m_c.exit = toolButton(pictures::Tool::Exit, "Exit", this, {206, 101});
    m_c.about = toolButton(pictures::Tool::About, "About Us", this, {kWindowWidth - 56, 101});
    m_c.save->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    m_c.saveLog->setEnabled(false);
    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(10, 148, kWindowWidth - 20, 4);
    m_rule = rule;
    auto* saveKey = new QShortcut(QKeySequence::Save, this);
    connect(saveKey, &QShortcut::activated, this, [this] {
        if (m_c.save->isEnabled()) OnSave();
    });

    // The device tree is the first left-panel tree.
    m_DeviceTree = new mytreectrl(this);
    m_DeviceTree->setGeometry(kTreeRect);
    m_DeviceTree->installEventFilter(this);
    connect(m_DeviceTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { onDeviceClicked(item); });
    connect(m_DeviceTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { onTreeKeyNavigation(current); });
    m_splitter = new PanelSplitter(this, [this](int x) {
        m_treeWidth = x - kTreeRect.left();
        m_treeWidthChosen = true;
        relayout();
    });

    auto* list = new CColoredListCtrl(this);
    list->setAlternatingRowColors(false);
    list->setShowGrid(true);
    // Tab leaves the list (to the next control), it does not walk its cells.
    list->setTabKeyNavigation(false);
    list->setGeometry(kListRect);
    list->setEnabled(true);
    m_c.mainList = list;

    // Disk screen: the search modes, Refresh List, Open Disk Image...
    m_c.standardRadio = new CCustomRadio(this);
    m_c.standardRadio->setAccessibleName("Standard Search");
    m_c.standardRadio->setGeometry(300, kRowA + 4, 20, 20);
    m_c.standardLabel = panelStatic("Standard Search", this, QRect(322, kRowA, 130, 28));
    m_c.advanceRadio = new CCustomRadio(this);
    m_c.advanceRadio->setAccessibleName("Advance Search");
    m_c.advanceRadio->setGeometry(480, kRowA + 4, 20, 20);
    m_c.advanceLabel = panelStatic("Advance Search", this, QRect(502, kRowA, 130, 28));
    for (auto* radio : {m_c.standardRadio, m_c.advanceRadio}) {
        radio->setEnabled(false);
        QPalette rp = radio->palette();
        rp.setColor(QPalette::Window, panelColor());
        rp.setColor(QPalette::WindowText, panelTextColor());
        radio->setPalette(rp);
        radio->setAutoFillBackground(true);
    }
    connect(m_c.standardRadio, &CCustomRadio::chosen, this, [this] { chooseMode(kModeStandard); });
    connect(m_c.advanceRadio, &CCustomRadio::chosen, this, [this] { chooseMode(kModeAdvance); });

    m_c.refresh = toolButton(pictures::Tool::Refresh, "Refresh List", this, {25, kRowA}, 28);
    m_c.refreshLabel = panelStatic("Refresh List", this, QRect(57, kRowA, 80, 28));
    m_c.openImage = textButton("Open Disk Image...", "Open Disk Image...", this, {136, kRowA}, QSize(114, 28));
    m_c.openImage->setBoldText(false);
    connect(m_c.refresh, &QPushButton::clicked, this, &CChildDialogExDemoDlg::onRefreshList);
    connect(m_c.openImage, &QPushButton::clicked, this, &CChildDialogExDemoDlg::onOpenImage);

    // Partition screen.
    m_c.searchMore = textButton("Search More Partitions", "Search More Partitions", this, {25, kRowA}, QSize(225, 26));
    m_c.stopPartitionSearch = textButton("STOP", "Stop Searching Partitions", this, {25, kRowA}, QSize(225, 26), true);
    m_c.partitionSearchLabel = panelStatic("Searching Partition...", this, QRect(25, kRowA + 28, 225, 18));
    m_c.partitionSearchProgress = new CTextProgressCtrl(this);
    m_c.partitionSearchProgress->setGeometry(25, kRowA + 48, 225, 18);
    // The deep search reads every sector of the disk instead of probing
    // cylinder and MiB boundaries: slower, but it finds a volume at any
    // sector, or by its backup boot sector when the first one is gone. It
    // sits in the row the search's progress takes while a search runs.
    m_c.deepSearch = new QCheckBox("Deep search (read every sector)", this);
    m_c.deepSearch->setGeometry(29, kRowB, 221, 22);
    m_c.deepSearch->setToolTip("Search More Partitions reads the whole disk and finds volumes at any sector");
    {
        QPalette dp = m_c.deepSearch->palette();
        dp.setColor(QPalette::Window, panelColor());
        dp.setColor(QPalette::WindowText, panelTextColor());
        m_c.deepSearch->setPalette(dp);
        m_c.deepSearch->setAutoFillBackground(true);
    }
    connect(m_c.searchMore, &QPushButton::clicked, this, &CChildDialogExDemoDlg::SearchMorePartitions);
    connect(m_c.stopPartitionSearch, &QPushButton::clicked, this, &CChildDialogExDemoDlg::StopPartitionSearch);

    m_c.searchModeLabel = panelStatic("Search Mode :", this, QRect(265, kRowA, 100, 26));
    m_c.criterion = panelStatic(QString(), this, QRect(365, kRowA, 130, 26));
    m_c.partitionTypeLabel = panelStatic("Partition Type :", this, QRect(265, kRowB, 100, 26));
    m_c.partitionType = new QComboBox(this);
    m_c.partitionType->addItems({"FAT16", "FAT32", "NTFS", "UNKNOWN"});
    m_c.partitionType->setGeometry(365, kRowB, 130, 26);
    m_c.startSectorLabel = panelStatic("Start Sector :", this, QRect(515, kRowA, 90, 26));
    m_c.startSector = new CColorEdit(this);
    m_c.startSector->setGeometry(605, kRowA, 160, 26);
    m_c.endSectorLabel = panelStatic("End Sector  :", this, QRect(515, kRowB, 90, 26));
    m_c.endSector = new CColorEdit(this);
    m_c.endSector->setGeometry(605, kRowB, 160, 26);
    for (auto* edit : {m_c.startSector, m_c.endSector}) {
        edit->setBackgroundColor(darkScheme() ? QApplication::palette().color(QPalette::Base) : QColor(255, 255, 255));
        edit->setReadOnly(true);
    }

    createSearchPanel();

    // Results screen.
    m_c.currentFolderLabel = panelStatic("Current Folder  :", this, QRect(265, kRowA, 110, 26));
    m_c.currentFolder = panelStatic(QString(), this, QRect(375, kRowA, 390, 26));
    m_c.loadProgress = new CTextProgressCtrl(this);
    m_c.loadProgress->setGeometry(265, kRowB, 500, 22);
    m_c.loadingLabel = panelStatic("Loading tree, Please Wait...", this, QRect(25, kRowB, 225, 22));

    // Navigation and the help strip.
    // Alt+B and Alt+N press them; Enter presses Next (keyPressEvent).
    m_c.back = textButton("&Back", "Back", this, {592, 540}, QSize(84, 32));
    m_c.next = textButton("&Next", "Next", this, {684, 540}, QSize(84, 32));
    m_c.next->setDefault(true);
    m_c.back->setEnabled(false);
    m_c.next->setEnabled(false);
    connect(m_c.next, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnNext);
    connect(m_c.back, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnBack);

    m_c.helpStrip = new CColorStatic(QString(), this);
    m_c.helpStrip->setBackgroundColor(panelColor());
    m_c.helpStrip->setWordWrap(true);
    m_c.helpStrip->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_c.helpStrip->setFrameShape(QFrame::StyledPanel);
    m_c.helpStrip->setMargin(6);
    m_c.helpStrip->setGeometry(14, 516, 562, 72);

    connect(m_c.help, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnHelp);
    connect(m_c.exit, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnExit);
    connect(m_c.about, &QPushButton::clicked, this, [this] {
        CAboutDlg about(this);
        about.exec();
    });

    for (QWidget* w : std::initializer_list<QWidget*>{
             m_c.searchMore, m_c.deepSearch, m_c.stopPartitionSearch, m_c.partitionSearchLabel, m_c.partitionSearchProgress,
             m_c.searchModeLabel, m_c.criterion, m_c.partitionTypeLabel, m_c.partitionType, m_c.startSectorLabel,
             m_c.startSector, m_c.endSectorLabel, m_c.endSector, m_c.searchPanel, m_c.currentFolderLabel,
             m_c.currentFolder, m_c.loadProgress, m_c.loadingLabel})
        w->hide();

    // Job reports.
    for (JobRunner* job : {m_partitionJob, m_analysisJob, m_enumerationJob}) {
        connect(job, &JobRunner::helpText, this, [this](const QString& t) {
            m_jobSetHelp = true;
            SetHelpText(t);
        });
        connect(job, &JobRunner::message, this, &CChildDialogExDemoDlg::onJobMessage);
    }
    connect(m_partitionJob, &JobRunner::progress, this,
            [this](int percent, const QString& text) {
                m_c.partitionSearchProgress->setValue(percent);
                m_c.partitionSearchProgress->setWindowText(text);
            });
    connect(m_partitionJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onPartitionSearchFinished);
    // The search panel shows the status, progress and counters of the
    // analysis and of the opening of a file system alike.
    for (JobRunner* job : {m_analysisJob, m_enumerationJob}) {
        connect(job, &JobRunner::statusText, this, [this](const QString& t) { m_c.statusText->setText(t); });
        connect(job, &JobRunner::progress, this, [this](int percent, const QString& text) {
            m_c.searchProgress->setValue(percent);
            m_c.searchProgress->setWindowText(text);
        });
        connect(job, &JobRunner::counter, this, &CChildDialogExDemoDlg::OnCounter);
    }
    connect(m_analysisJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onAnalysisFinished);
    connect(m_enumerationJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onEnumerationFinished);
}

void CChildDialogExDemoDlg::createSearchPanel() {
    auto* panel = new QFrame(this);
    panel->setGeometry(kListRect.adjusted(0, 0, 0, 60));
    panel->setFrameShape(QFrame::StyledPanel);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, panelColor());
    panel->setPalette(pal);
    panel->setAutoFillBackground(true);
    m_c.searchPanel = panel;

    struct Pair {
        const char* label;
        CColorStatic** labelOut;
        CColorStatic** valueOut;
    };
    const Pair pairs[] = {
        {"Searching in Physical Drive\t:", &m_c.driveLabel, &m_c.driveValue},
        {"Selected File System\t\t:", &m_c.fileSystemLabel, &m_c.fileSystemValue},
        {"Directories Found\t\t\t:", &m_c.directoriesLabel, &m_c.directoriesValue},
        {"Boot Sectors Found\t\t:", &m_c.bootSectorsLabel, &m_c.bootSectorsValue},
        {"Searching Criteria\t\t:", &m_c.criteriaLabel, &m_c.criteriaValue},
        {"Searching from sectors", &m_c.rangeLabel, &m_c.rangeValue},
    };
    int y = 16;
    for (const Pair& p : pairs) {
        *p.labelOut = panelStatic(p.label, panel, QRect(18, y, 230, 24));
        (*p.labelOut)->setTabColumn(180);
        *p.valueOut = panelStatic(QString(), panel, QRect(250, y, 235, 24));
        y += 30;
    }
    m_c.searchProgress = new CTextProgressCtrl(panel);
    m_c.searchProgress->setGeometry(18, y + 8, 464, 24);
    m_c.statusText = panelStatic(" ", panel, QRect(18, y + 40, 464, 24));
    m_c.stopSearch = textButton("Stop Searching", "Stop Search", panel, {352, y + 72}, QSize(130, 30), true);
    connect(m_c.stopSearch, &QPushButton::clicked, this, &CChildDialogExDemoDlg::StopSearch);
}

// ------------------------------------------------------------------ helpers

void CChildDialogExDemoDlg::SetHelpText(const QString& text) {
    m_HelpText = text;
    m_c.helpStrip->setText(text);
}

void CChildDialogExDemoDlg::setStep(int step) {
    m_WizardStep = step;
    emit stepChanged(step);
}

bool CChildDialogExDemoDlg::partitionSearchRunning() const { return m_partitionJob->running(); }
bool CChildDialogExDemoDlg::analysisRunning() const {
    return m_analysisJob->running() || m_enumerationJob->running() || m_sessionJob->running();
}

int CChildDialogExDemoDlg::messageBox(const QString& text, QMessageBox::Icon icon, bool question, bool defaultNo) {
    if (m_messageHook) return m_messageHook(text, icon);
    QMessageBox box(icon, texts::kCaption, text,
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    if (question) box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    return box.exec();
}

void CChildDialogExDemoDlg::showAdvisory(const QString& dialog) {
    if (m_advisoryHook) {
        m_advisoryHook(dialog);
        return;
    }
    if (dialog == "CAdvanceDlg") {
        CAdvanceDlg dlg(this);
        dlg.exec();
    } else {
        CMsgStand dlg(this);
        dlg.exec();
    }
}

void CChildDialogExDemoDlg::onJobMessage(const QString& text, int kind) {
    // The Standard Search's "nothing recovered" is the advisory dialog.
    if (text == QString::fromUtf8(texts::kStandardNotPossible)) {
        showAdvisory("CMsgStand");
        return;
    }
    const auto k = static_cast<util::MessageKind>(kind);
    messageBox(text, k == util::MessageKind::Error     ? QMessageBox::Critical
                     : k == util::MessageKind::Warning ? QMessageBox::Warning
                                                       : QMessageBox::Information);
}

void CChildDialogExDemoDlg::setMainListColumns(const std::vector<std::pair<QString, int>>& columns) {
    QTableWidget* list = m_c.mainList;
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list->clear();
    list->setRowCount(0);
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList headings;
    for (const auto& c : columns) headings << c.first;
    list->setHorizontalHeaderLabels(headings);
    list->horizontalHeader()->setSortIndicatorShown(false);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        list->setColumnWidth(i, columns[static_cast<std::size_t>(i)].second);
        list->setColumnHidden(i, columns[static_cast<std::size_t>(i)].second == 0);
    }
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CChildDialogExDemoDlg::setDetailRows(const std::vector<std::pair<std::string, std::string>>& rows) {
    QTableWidget* list = m_c.mainList;
    list->setSortingEnabled(false);
    list->setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const auto& row = rows[static_cast<std::size_t>(r)];
        list->setItem(r, 0, new QTableWidgetItem(q(row.first)));
        list->setItem(r, 1, new QTableWidgetItem(q(row.second)));
    }
}

const disk::DiskInfo* CChildDialogExDemoDlg::selectedDiskInfo() const {
    for (const auto& d : m_inventory.disks)
        if (d.Index == m_state.SelectedDisk) return &d;
    return nullptr;
}

// ------------------------------------------------------------------ Next and Back

void CChildDialogExDemoDlg::OnNext() {
    m_c.loadLog->setEnabled(true);
    m_partitionFailureMarker = false;
    switch (m_WizardStep) {
    case kStepDisk: nextFromDisk(); break;
    case kStepPartition: nextFromPartition(); break;
    case kStepFileSystem: nextFromFileSystem(); break;
    default: break;
    }
}

void CChildDialogExDemoDlg::OnBack() {
    switch (m_WizardStep) {
    case kStepPartition: backToDisk(); break;
    case kStepFileSystem: backToPartitionFromSearch(); break;
    case kStepResults: backFromResults(); break;
    default: break;
    }
}

void CChildDialogExDemoDlg::nextFromDisk() {
    const disk::DiskInfo* info = selectedDiskInfo();
    if (info == nullptr || m_SearchMode == kModeNone) {
        m_c.loadLog->setEnabled(false);
        return;
    }
    // A disk that cannot be opened would list nothing: say why and how to fix it.
    std::string error;
    if (!m_state.reader->open(m_state.SelectedDisk, error)) {
        m_c.loadLog->setEnabled(false);
        QString text = q(error);
        if (!info->isImage)
            text += "\n\nReading a physical disk needs read permission on its device. Run QVX - NTFS Recovery "
                    "as root (for example with sudo), or as a member of the group that owns " +
                    q(info->path) + " (usually \"disk\").";
        messageBox(text, QMessageBox::Critical);
        return;
    }
    m_details = disk::describeDisk(*info);
    m_state.searchMode = m_SearchMode == kModeAdvance ? engine::SearchMode::Advance : engine::SearchMode::Standard;

    m_DeviceTree->hide();
    m_c.back->setEnabled(true);
    m_c.searchMore->setEnabled(true);
    m_c.refresh->hide();
    m_c.refreshLabel->hide();
    m_c.openImage->hide();
    m_rememberedPartition = 0;

    const int startedBefore = m_trigger.PartitionSearchStarted();
    enterPartitionScreen();
    const bool searchStarted = m_trigger.PartitionSearchStarted() != startedBefore;
    if (searchStarted && m_SearchMode == kModeAdvance) m_partitionFailureMarker = true;
    if (m_partitionFailureMarker) {
        for (QWidget* w : std::initializer_list<QWidget*>{m_c.partitionTypeLabel, m_c.partitionType,
                                                          m_c.startSectorLabel, m_c.startSector, m_c.endSectorLabel,
                                                          m_c.endSector})
            w->hide();
    }
    SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
    if (searchStarted) startPartitionSearch(false);
}

void CChildDialogExDemoDlg::enterPartitionScreen() {
    showSearchMore(true);
    m_c.back->show();
    const int diskIndex = m_state.SelectedDisk;

    delete m_PartitionTree;
    m_PartitionTree = new mytreectrl(this);
    m_PartitionTree->installEventFilter(this);
    connect(m_PartitionTree, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { onPartitionClicked(item); });
    connect(m_PartitionTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { onTreeKeyNavigation(current); });
    relayout();
    if (!m_listRead[static_cast<std::size_t>(diskIndex)]) readPartitionList();
    fillPartitionTree();
    m_PartitionTree->show();

    const bool advance = m_SearchMode == kModeAdvance;
    m_SearchCriterion = advance ? "Advance Search" : "Standard Search ";
    m_c.criterion->setText(q(m_SearchCriterion));
    showPartitionControls(true);
    m_c.partitionType->setEnabled(advance);
    m_c.startSector->setReadOnly(!advance);
    m_c.endSector->setReadOnly(!advance);
    m_c.standardRadio->hide();
    m_c.standardLabel->hide();
    m_c.advanceRadio->hide();
    m_c.advanceLabel->hide();

    const auto& list = m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (m_rememberedPartition >= list.count()) m_rememberedPartition = 0;
    selectPartition(m_rememberedPartition, false);
    m_c.mainList->show();
    showPartitionEntryRows();
    setStep(kStepPartition);
    m_PartitionTree->setFocus();
}

void CChildDialogExDemoDlg::readPartitionList() {
    const int diskIndex = m_state.SelectedDisk;
    // The table is read on a worker: a failing disk may take long to answer
    // each read, and the window keeps painting meanwhile. The window is
    // disabled until the list is there, as the partition screen needs it.
    auto* list = &m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    auto result = std::make_shared<partition::TableReadResult>();
    engine::ReadFailureTrigger* trigger = &m_trigger;
    std::shared_ptr<disk::SectorReader> reader = m_state.reader;
    const std::uint64_t totalSectors = m_details.DiskTotalSectors;
    m_trigger.setDeviceSelection(true);
    QEventLoop wait;
    const auto done = connect(m_tableJob, &JobRunner::finished, &wait, &QEventLoop::quit);
    const bool wasEnabled = isEnabled();
    setEnabled(false);
    const bool started = m_tableJob->start(
        [reader, diskIndex, totalSectors, list, trigger, result](std::stop_token, util::ProgressSink& sink) {
            reader->setReadFailureHook([trigger, &sink] { trigger->OnReadFailure(sink); });
            *result = partition::ReadPartitionTable(*reader, diskIndex, 0, totalSectors, *list,
                                                    [trigger, &sink] { trigger->OnReadFailure(sink); });
            reader->setReadFailureHook({});
            // An empty table starts the lost partition search once per visit.
            if (!result->partitionsListed) trigger->OnReadFailure(sink);
        });
    if (started) wait.exec(QEventLoop::ExcludeUserInputEvents);
    disconnect(done);
    setEnabled(wasEnabled);
    m_PartitionsListed = result->partitionsListed ? 1 : 0;
    m_trigger.setDeviceSelection(false);
    m_listRead[static_cast<std::size_t>(diskIndex)] = true;
}

void CChildDialogExDemoDlg::fillPartitionTree() {
    m_PartitionTree->clear();
    const int diskIndex = m_state.SelectedDisk;
    QTreeWidgetItem* root = m_PartitionTree->addRoot(QString("Disk %1").arg(diskIndex),
                                                      pictures::treeIcon(pictures::TreeIcon::Disk));
    const auto& list = m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    for (int i = 0; i < list.count(); ++i) {
        const auto& entry = list.entries[static_cast<std::size_t>(i)];
        const QString text = entry.fileSystemName == "Unknown Partition" ? QString("Unknown Partition") : q(list.label(i));
        QTreeWidgetItem* item = m_PartitionTree->addChild(root, text, pictures::treeIcon(pictures::TreeIcon::Partition));
        item->setData(0, Qt::UserRole, i);
    }
    root->setExpanded(true);
}

void CChildDialogExDemoDlg::selectPartition(int index, bool showDetails) {
    const int diskIndex = m_state.SelectedDisk;
    const auto& list = m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (index < 0 || index >= list.count() || m_PartitionTree == nullptr) return;
    const auto& entry = list.entries[static_cast<std::size_t>(index)];
    m_rememberedPartition = index;
    if (QTreeWidgetItem* root = m_PartitionTree->rootItem(); root && index < root->childCount())
        m_PartitionTree->setCurrentItem(root->child(index));

    const bool advance = m_SearchMode == kModeAdvance;
    m_c.partitionType->setCurrentIndex(comboIndexOf(entry.fileSystemName));
    m_c.startSector->setText(QString::number(entry.firstSector));
    if (advance && entry.endSector <= entry.firstSector)
        m_c.endSector->setText(QString::number(m_details.DiskTotalSectors));
    else
        m_c.endSector->setText(QString::number(entry.endSector));
    if (!showDetails) return;
    const partition::PartitionDetails d =
        partition::ShowPartitionDetails(entry.fileSystemName, index, diskIndex, entry, advance,
                                        partition::DiskFacts{m_details.DiskTotalSectors, m_details.DiskCapacityText});
    setDetailRows(d.rows);
    if (d.fileSystemComboIndex >= 0) m_c.partitionType->setCurrentIndex(d.fileSystemComboIndex);
    if (advance) {
        m_c.startSector->setText(q(d.startSectorText));
        m_c.endSector->setText(q(d.endSectorText));
    }
}

void CChildDialogExDemoDlg::showPartitionEntryRows() {
    const auto& list = m_state.DiskPartitionList[static_cast<std::size_t>(m_state.SelectedDisk)];
    if (list.count() == 0) {
        m_c.mainList->setRowCount(0);
        return;
    }
    const auto& e = list.entries[static_cast<std::size_t>(m_rememberedPartition)];
    if (m_SearchMode == kModeAdvance) {
        const std::uint32_t size = (e.endSector - e.firstSector) >> 11;
        setDetailRows({{"1.   Partition Number : ", "1"},
                       {"2.   Search Mode : ", "Advance"},
                       {"3.   Size :  ", std::to_string(size) + " MB"}});
        return;
    }
    char start[16];
    char end[16];
    char size[32];
    std::snprintf(start, sizeof start, "%d", static_cast<int>(e.firstSector));
    std::snprintf(end, sizeof end, "%d", static_cast<int>(e.endSector));
    std::snprintf(size, sizeof size, "%ld MB",
                  static_cast<long>((static_cast<std::int64_t>(e.endSector) - e.firstSector) / 2048));
    setDetailRows({{"1.   Disk Number :  ", std::to_string(m_state.SelectedDisk)},
                   {"2.   Partition Number :  ", "1"},
                   {"3.   Partition Type  :  ", e.fileSystemName},
                   {"4.   Search Mode :  ", "Standard"},
                   {"5.   Start Sector :  ", start},
                   {"6.   End Sector :  ", end},
                   {"7.   Size :  ", size}});
}

void CChildDialogExDemoDlg::onPartitionClicked(QTreeWidgetItem* item) {
    if (m_WizardStep != kStepPartition || item == nullptr) return;
    if (item->text(0).startsWith("Disk") || item->parent() == nullptr || m_partitionJob->running()) return;
    selectPartition(item->data(0, Qt::UserRole).toInt(), true);
}

void CChildDialogExDemoDlg::showPartitionControls(bool show) {
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.searchModeLabel, m_c.criterion, m_c.partitionTypeLabel,
                                                      m_c.partitionType, m_c.startSectorLabel, m_c.startSector,
                                                      m_c.endSectorLabel, m_c.endSector})
        w->setVisible(show);
}

void CChildDialogExDemoDlg::backToDisk() {
    m_partitionJob->abandon();
    m_c.stopPartitionSearch->hide();
    m_c.partitionSearchLabel->hide();
    m_c.partitionSearchProgress->hide();
    m_trigger.reset();
    SetHelpText(QString::fromUtf8(texts::kDiskScreenHelp));
    showPartitionControls(false);
    showSearchMore(false);
    setMainListColumns({{"Name", 242}, {"Value", 243}});
    delete m_PartitionTree;
    m_PartitionTree = nullptr;
    m_c.standardRadio->setChecked(false);
    m_c.advanceRadio->setChecked(false);
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.standardRadio, m_c.standardLabel, m_c.advanceRadio,
                                                      m_c.advanceLabel, m_c.refresh, m_c.refreshLabel,
                                                      m_c.openImage, m_DeviceTree})
        w->show();
    m_c.back->setEnabled(false);
    m_c.next->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    m_SearchMode = kModeNone;
    m_listRead[static_cast<std::size_t>(m_state.SelectedDisk)] = false;
    setStep(kStepDisk);
    RefreshDisks();
    // The disk stays selected: its details and the search modes are offered again.
    m_c.standardRadio->setEnabled(false);
    m_c.advanceRadio->setEnabled(false);
    m_c.mainList->setRowCount(0);
}

}  // namespace qvx::ui
