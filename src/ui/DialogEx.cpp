#include "ui/DialogEx.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>

#include "disk/registry_store.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/disk_panel.h"
#include "ui/file_system_panel.h"
#include "ui/panel_widgets.h"
#include "ui/partition_panel.h"
#include "ui/pictures.h"
#include "ui/results_panel.h"
#include "ui/save_flow.h"
#include "ui/session_log_flow.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

namespace {

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

    m_disks = std::make_unique<DiskPanel>(*this);
    m_partitions = std::make_unique<PartitionPanel>(*this);
    m_fileSystems = std::make_unique<FileSystemPanel>(*this);
    m_results = std::make_unique<ResultsPanel>(*this);
    m_save = std::make_unique<SaveFlow>(*this);
    m_sessionLog = std::make_unique<SessionLogFlow>(*this);

    createControls();
    setMainListColumns({{"Name", 242}, {"Value", 243}});

    m_disks->RefreshDisks();
    SetHelpText(QString::fromUtf8(texts::kDiskScreenHelp));
    relayout();
    // Images named on the command line that cannot be listed are reported
    // once the window is up.
    QTimer::singleShot(0, this, [this] { m_disks->reportInventoryErrors(); });
}

CChildDialogExDemoDlg::~CChildDialogExDemoDlg() {
    // The jobs end before the controls and the state they report into.
    m_save->abandonJobs();
    m_sessionLog->abandonJobs();
    m_results->abandonJobs();
    m_fileSystems->abandonJobs();
    m_partitions->abandonJobs();
    m_disks->abandonJobs();
}

// ------------------------------------------------------------------ window creation

void CChildDialogExDemoDlg::createControls() {
    // The controls are made in the order of the window's template, which
    // is also the order Tab walks them.
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
    m_disks->createTree();
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

    m_disks->createControls();
    m_partitions->createControls();
    m_fileSystems->createControls();
    m_results->createControls();
    m_sessionLog->createControls();

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
             m_c.searchMore, m_c.deepSearch, m_c.stopPartitionSearch, m_c.partitionSearchLabel,
             m_c.partitionSearchProgress, m_c.searchModeLabel, m_c.criterion, m_c.partitionTypeLabel,
             m_c.partitionType, m_c.startSectorLabel, m_c.startSector, m_c.endSectorLabel, m_c.endSector,
             m_c.searchPanel, m_c.currentFolderLabel, m_c.currentFolder, m_c.loadProgress, m_c.loadingLabel})
        w->hide();

    m_results->createListControls();
    connect(m_c.save, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnSave);
    connect(m_c.saveLog, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnSaveLog);
    connect(m_c.loadLog, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnLoadLog);
}

// ------------------------------------------------------------------ services

void CChildDialogExDemoDlg::SetHelpText(const QString& text) {
    m_HelpText = text;
    m_c.helpStrip->setText(text);
}

void CChildDialogExDemoDlg::setStep(int step) {
    m_WizardStep = step;
    emit stepChanged(step);
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

// ------------------------------------------------------------------ what the panels hold

int CChildDialogExDemoDlg::PartitionsListed() const { return m_partitions->partitionsListed(); }
mytreectrl* CChildDialogExDemoDlg::DeviceTree() const { return m_disks->tree(); }
mytreectrl* CChildDialogExDemoDlg::PartitionTree() const { return m_partitions->tree(); }
mytreectrl* CChildDialogExDemoDlg::FolderTree() const { return m_results->tree(); }
mytreectrl* CChildDialogExDemoDlg::FileSystemTree() const { return m_fileSystems->tree(); }
const engine::Inventory& CChildDialogExDemoDlg::inventory() const { return m_disks->inventory(); }
QDialog* CChildDialogExDemoDlg::populateDialog() const { return m_results->populateDialog(); }
QDialog* CChildDialogExDemoDlg::savingDialog() const { return m_save->savingDialog(); }
records::TreeItemId CChildDialogExDemoDlg::listedFolder() const { return m_results->listedFolder(); }
bool CChildDialogExDemoDlg::partitionSearchRunning() const { return m_partitions->searchRunning(); }
bool CChildDialogExDemoDlg::analysisRunning() const {
    return m_fileSystems->analysisRunning() || m_fileSystems->enumerationRunning() || m_sessionLog->loadRunning();
}
bool CChildDialogExDemoDlg::listingRunning() const { return m_results->listingRunning(); }
bool CChildDialogExDemoDlg::saveRunning() const { return m_save->running(); }
bool CChildDialogExDemoDlg::sessionLoadRunning() const { return m_sessionLog->loadRunning(); }
bool CChildDialogExDemoDlg::addImage(const QString& path) { return m_disks->addImage(path); }
void CChildDialogExDemoDlg::listFolder(QTreeWidgetItem* item) { m_results->listFolder(item); }
void CChildDialogExDemoDlg::OnSave() { m_save->OnSave(); }
records::CheckState CChildDialogExDemoDlg::shownCheck(records::TreeItemId id) const {
    return m_results->marks().shownCheck(id);
}
bool CChildDialogExDemoDlg::fileMarked(records::TreeItemId folder, const std::string& name) const {
    return m_results->marks().fileMarked(folder, name);
}
void CChildDialogExDemoDlg::OnSaveLog() { m_sessionLog->OnSaveLog(); }
void CChildDialogExDemoDlg::OnLoadLog() { m_sessionLog->OnLoadLog(); }

// ------------------------------------------------------------------ Next and Back

void CChildDialogExDemoDlg::OnNext() {
    m_c.loadLog->setEnabled(true);
    m_partitions->clearFailureMarker();
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
    if (!m_disks->openSelectedDisk()) {
        m_c.loadLog->setEnabled(false);
        return;
    }
    m_state.searchMode = m_SearchMode == kModeAdvance ? engine::SearchMode::Advance : engine::SearchMode::Standard;
    m_disks->showScreen(false);
    m_c.back->setEnabled(true);
    m_partitions->enterFromDisk();
}

void CChildDialogExDemoDlg::nextFromPartition() {
    if (!m_partitions->takeRange()) return;
    // The search panel takes the place of the details list.
    m_c.mainList->setRowCount(0);
    m_c.mainList->hide();
    m_partitions->hideScreen();
    m_fileSystems->showSearchSummary(m_partitions->criterion());
    setStep(kStepFileSystem);
    SetHelpText(texts::kAnalysisRunningHelp);
    m_fileSystems->startAnalysis();
    // The Standard Search owns the result screen from its start; an
    // Advance Search scan stays on the file-system screen.
    if (m_SearchMode != kModeAdvance) setStep(kStepResults);
}

void CChildDialogExDemoDlg::nextFromFileSystem() { m_fileSystems->openPicked(); }

void CChildDialogExDemoDlg::toFileSystemScreen() {
    m_fileSystems->showScreen();
    setStep(kStepFileSystem);
}

void CChildDialogExDemoDlg::toResults() {
    m_fileSystems->hideForResults();
    m_results->showScreen();
    setStep(kStepResults);
    relayout();
}

void CChildDialogExDemoDlg::backToDisk() {
    m_partitions->leaveToDisk();
    SetHelpText(QString::fromUtf8(texts::kDiskScreenHelp));
    setMainListColumns({{"Name", 242}, {"Value", 243}});
    m_disks->returnToScreen();
    m_c.back->setEnabled(false);
    m_c.next->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    m_SearchMode = kModeNone;
    setStep(kStepDisk);
    m_disks->RefreshDisks();
    // The disk stays selected: its details and the search modes are offered again.
    m_c.standardRadio->setEnabled(false);
    m_c.advanceRadio->setEnabled(false);
    m_c.mainList->setRowCount(0);
}

void CChildDialogExDemoDlg::backToPartitionFromSearch() {
    if (m_fileSystems->enumerationRunning()) return;
    m_fileSystems->leaveToPartition();
    setMainListColumns({{"Name", 242}, {"Value", 243}});
    m_c.mainList->show();
    m_partitions->returnFromSearch();
    m_c.back->setEnabled(true);
    m_c.loadLog->setEnabled(true);
    SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
    setStep(kStepPartition);
}

void CChildDialogExDemoDlg::backFromResults() {
    if (analysisRunning()) return;
    m_results->stopListing();
    // After an Advance Search the file systems found are offered again.
    if (m_SearchMode == kModeAdvance && m_fileSystems->treeShown()) {
        m_results->closeScreen();
        m_state.tables.FolderTable.clear();
        m_state.tables.FileTable.clear();
        m_state.items.clear();
        m_state.FolderNodeList.clear();
        m_fileSystems->returnFromResults();
        toFileSystemScreen();
        return;
    }
    m_c.loadLog->setEnabled(true);
    m_partitions->setSearchEnabled(true);
    setMainListColumns({{" Name", 243}, {" Value", 242}});
    if (m_results->closeScreen()) {
        m_state.tables.FolderTable.clear();
        m_state.tables.FileTable.clear();
        m_state.items.clear();
        m_state.tables.MftRecordTable.clear();
        m_state.tables.IndexRecordTable.clear();
        m_state.tables.ntfsScan.clear();
        m_state.tables.BootSectorTable.clear();
        m_state.FolderNodeList.clear();
    }
    m_fileSystems->showSearchPanel(false);
    m_c.next->setEnabled(true);
    m_c.back->setEnabled(true);
    m_partitions->enterScreen();
    // The details are those of the partition that is highlighted.
    m_partitions->showRememberedDetails();
    SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
}

// ------------------------------------------------------------------ Help and Exit

void CChildDialogExDemoDlg::OnHelp() {
    if (!openHelp())
        messageBox(QString("No help was found beside the program: neither \"%1\" nor the user guide \"%2\".")
                       .arg(texts::kHelpFileName, texts::kGuideFileName),
                   QMessageBox::Warning);
}

void CChildDialogExDemoDlg::OnExit() {
    if (m_WizardStep == kStepResults && !analysisRunning()) {
        if (messageBox(texts::kSaveRecoveryQuestion, QMessageBox::Question, true, false) == QMessageBox::Yes)
            OnSaveLog();
    }
    if (messageBox(texts::kExitQuestion, QMessageBox::Question, true, true) != QMessageBox::Yes) return;
    m_fileSystems->abandonJobs();
    m_partitions->abandonJobs();
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
