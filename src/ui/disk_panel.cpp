#include "ui/disk_panel.h"

#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QTableWidget>

#include <algorithm>

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

/// Why an image file cannot be a disk, or empty when it can be tried.
QString imageProblem(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return path + ": no such file";
    if (info.isDir()) return path + ": is a folder, not a disk image";
    if (!info.isReadable()) return path + ": cannot be read (permission denied)";
    if (info.size() == 0) return path + ": the file is empty (0 bytes)";
    if (info.size() < 512) return path + QString(": the file is smaller than one sector (%1 bytes)").arg(info.size());
    return {};
}

QString sizeText(std::uint64_t sectors) {
    const double mb = static_cast<double>(sectors) * 512.0 / (1024.0 * 1024.0);
    if (mb >= 1024.0) return QString::number(mb / 1024.0, 'f', 1) + " GB";
    return QString::number(mb, 'f', mb < 10 ? 1 : 0) + " MB";
}

}  // namespace

DiskPanel::DiskPanel(CChildDialogExDemoDlg& window) : m_dlg(window) { m_diskJob = new JobRunner(this); }

DiskPanel::~DiskPanel() { abandonJobs(); }

void DiskPanel::abandonJobs() { m_diskJob->abandon(); }

void DiskPanel::createTree() {
    m_tree = new mytreectrl(&m_dlg);
    m_tree->setGeometry(kTreeRect);
    m_tree->installEventFilter(this);
    connect(m_tree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { onDeviceClicked(item); });
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { onKeyNavigation(current); });
}

void DiskPanel::createControls() {
    auto& c = m_dlg.m_c;
    QWidget* parent = &m_dlg;
    c.standardRadio = new CCustomRadio(parent);
    c.standardRadio->setAccessibleName("Standard Search");
    c.standardRadio->setGeometry(300, kRowA + 4, 20, 20);
    c.standardLabel = panelStatic("Standard Search", parent, QRect(322, kRowA, 130, 28));
    c.advanceRadio = new CCustomRadio(parent);
    c.advanceRadio->setAccessibleName("Advance Search");
    c.advanceRadio->setGeometry(480, kRowA + 4, 20, 20);
    c.advanceLabel = panelStatic("Advance Search", parent, QRect(502, kRowA, 130, 28));
    for (auto* radio : {c.standardRadio, c.advanceRadio}) {
        radio->setEnabled(false);
        usePanelColours(radio);
    }
    connect(c.standardRadio, &CCustomRadio::chosen, this, [this] { chooseMode(kModeStandard); });
    connect(c.advanceRadio, &CCustomRadio::chosen, this, [this] { chooseMode(kModeAdvance); });

    c.refresh = toolButton(pictures::Tool::Refresh, "Refresh List", parent, {25, kRowA}, 28);
    c.refreshLabel = panelStatic("Refresh List", parent, QRect(57, kRowA, 80, 28));
    c.openImage = textButton("Open Disk Image...", "Open Disk Image...", parent, {136, kRowA}, QSize(114, 28));
    c.openImage->setBoldText(false);
    connect(c.refresh, &QPushButton::clicked, this, &DiskPanel::onRefreshList);
    connect(c.openImage, &QPushButton::clicked, this, &DiskPanel::onOpenImage);
}

const disk::DiskInfo* DiskPanel::selectedDiskInfo() const {
    for (const auto& d : m_inventory.disks)
        if (d.Index == m_dlg.m_state.SelectedDisk) return &d;
    return nullptr;
}

void DiskPanel::RefreshDisks() {
    const int previousStep = m_dlg.m_WizardStep;
    m_dlg.m_WizardStep = kStepBuilding;
    // Files that cannot be disks are reported by name, not listed.
    std::vector<std::string> usable;
    std::vector<std::string> refused;
    for (const std::string& p : m_dlg.m_options.imagePaths) {
        const QString problem = imageProblem(q(p));
        if (problem.isEmpty()) usable.push_back(p);
        else refused.push_back(problem.toStdString());
    }
    // Listing the devices and opening the images to describe them reads
    // from them: a job does it.
    engine::Inventory found;
    const bool blockDevices = m_dlg.m_options.blockDevices;
    const std::string configDir = m_dlg.m_options.configDir;
    runAndWait(*m_diskJob, [&found, &usable, blockDevices, &configDir](std::stop_token, util::ProgressSink&) {
        if (blockDevices)
            found = engine::RefreshDisks(usable, configDir);
        else
            found.disks = disk::EnumerateDisks(usable, found.errors, "/nonexistent-sysfs");
    });
    m_inventory = std::move(found);
    m_inventory.errors.insert(m_inventory.errors.begin(), refused.begin(), refused.end());
    engine::attachDisks(m_inventory, *m_dlg.m_state.reader);

    m_tree->clear();
    QTreeWidgetItem* root = m_tree->addRoot("My Computer", pictures::treeIcon(pictures::TreeIcon::Computer));
    for (const auto& d : disk::sortedByNodeText(m_inventory.disks)) {
        QString text = q(disk::diskNodeText(d));
        // An image says which file it is and how big.
        if (d.isImage)
            text = QFileInfo(q(d.path)).fileName() + ", " + sizeText(d.TotalSectors) + " " +
                   text.mid(std::max<qsizetype>(0, text.lastIndexOf("(Disk")));
        QTreeWidgetItem* item = m_tree->addChild(root, text, pictures::treeIcon(pictures::TreeIcon::Disk));
        item->setData(0, Qt::UserRole, d.Index);
        item->setToolTip(0, q(d.path) + (d.isImage ? QString() : " - " + sizeText(d.TotalSectors)));
    }
    root->setExpanded(true);
    m_lastShownDevice = " ";
    m_dlg.m_WizardStep = previousStep;
}

bool DiskPanel::addImage(const QString& path) {
    const std::string p = path.toStdString();
    for (const auto& d : m_inventory.disks)
        if (d.isImage && d.path == p) return true;  // listed already
    if (const QString problem = imageProblem(path); !problem.isEmpty()) {
        m_dlg.messageBox(problem, QMessageBox::Critical);
        return false;
    }
    disk::DiskInfo info;
    std::string error;
    bool described = false;
    runAndWait(*m_diskJob, [&](std::stop_token, util::ProgressSink&) { described = disk::describeImage(p, info, error); });
    if (!described) {
        m_dlg.messageBox(q(error), QMessageBox::Critical);
        return false;
    }
    auto& paths = m_dlg.m_options.imagePaths;
    if (std::find(paths.begin(), paths.end(), p) == paths.end()) paths.push_back(p);
    RefreshDisks();
    bool listed = false;
    for (const auto& d : m_inventory.disks) listed = listed || (d.isImage && d.path == p);
    if (!listed) {
        reportInventoryErrors();
        return false;
    }
    m_inventory.errors.clear();
    return true;
}

void DiskPanel::reportInventoryErrors() {
    if (m_inventory.errors.empty()) return;
    QString text = "These disk images could not be listed:\n";
    for (const std::string& e : m_inventory.errors) text += "\n" + q(e);
    m_inventory.errors.clear();
    m_dlg.messageBox(text, QMessageBox::Warning);
}

bool DiskPanel::openSelectedDisk() {
    const disk::DiskInfo* info = selectedDiskInfo();
    if (info == nullptr || m_dlg.m_SearchMode == kModeNone) return false;
    // A disk that cannot be opened would list nothing: say why and how to fix it.
    std::string error;
    bool opened = false;
    const std::shared_ptr<disk::SectorReader> reader = m_dlg.m_state.reader;
    const int diskIndex = m_dlg.m_state.SelectedDisk;
    runAndWait(*m_diskJob, [&](std::stop_token, util::ProgressSink&) { opened = reader->open(diskIndex, error); });
    if (!opened) {
        QString text = q(error);
        if (!info->isImage)
            text += "\n\nReading a physical disk needs read permission on its device. Run QVX - NTFS Recovery "
                    "as root (for example with sudo), or as a member of the group that owns " +
                    q(info->path) + " (usually \"disk\").";
        m_dlg.messageBox(text, QMessageBox::Critical);
        return false;
    }
    m_dlg.m_details = disk::describeDisk(*info);
    return true;
}

void DiskPanel::showScreen(bool show) {
    auto& c = m_dlg.m_c;
    for (QWidget* w : std::initializer_list<QWidget*>{c.standardRadio, c.standardLabel, c.advanceRadio,
                                                      c.advanceLabel, c.refresh, c.refreshLabel, c.openImage, m_tree})
        w->setVisible(show);
}

void DiskPanel::returnToScreen() {
    m_dlg.m_c.standardRadio->setChecked(false);
    m_dlg.m_c.advanceRadio->setChecked(false);
    showScreen(true);
}

bool DiskPanel::eventFilter(QObject* watched, QEvent* event) {
    // The arrow keys act as clicks on the item they move to (onKeyNavigation).
    if (watched == m_tree) {
        if (event->type() == QEvent::KeyPress) m_keyNavigation = true;
        else if (event->type() == QEvent::KeyRelease || event->type() == QEvent::FocusOut) m_keyNavigation = false;
    }
    return QObject::eventFilter(watched, event);
}

/// A key that moves the current item of the tree acts as a click on the
/// item it moves to.
void DiskPanel::onKeyNavigation(QTreeWidgetItem* current) {
    if (!m_keyNavigation || !current) return;
    if (m_dlg.m_WizardStep == kStepDisk) onDeviceClicked(current);
}

void DiskPanel::onOpenImage() {
    const QString path = QFileDialog::getOpenFileName(
        &m_dlg, "Open Disk Image...", QString(),
        "Disk images (*.img *.dd *.raw *.bin *.iso *.001 *.E01 *.e01 *.vmdk *.vhd *.vhdx *.qcow2 *.qcow);;All files (*)");
    if (!path.isEmpty()) addImage(path);
}

void DiskPanel::onDeviceClicked(QTreeWidgetItem* item) {
    if (m_dlg.m_WizardStep != kStepDisk || item == nullptr) return;
    if (item->text(0).isEmpty()) {
        m_tree->setCurrentItem(m_tree->rootItem());
        return;
    }
    if (item->text(0) == "My Computer" || item->parent() == nullptr) return;
    m_dlg.m_state.SelectedDeviceText = item->text(0).toStdString();
    m_dlg.m_state.SelectedDisk = item->data(0, Qt::UserRole).toInt();
    m_tree->setCurrentItem(item);
    if (item->text(0) != m_lastShownDevice) {
        if (const disk::DiskInfo* info = selectedDiskInfo()) {
            m_dlg.m_details = disk::describeDisk(*info);
            m_dlg.setDetailRows(m_dlg.m_details.rows);
        }
    }
    m_lastShownDevice = item->text(0);
    m_dlg.m_c.standardRadio->setEnabled(true);
    m_dlg.m_c.advanceRadio->setEnabled(true);
}

void DiskPanel::chooseMode(int mode) {
    if (m_dlg.m_WizardStep != kStepDisk) return;
    m_dlg.m_SearchMode = mode;
    m_dlg.m_c.standardRadio->setChecked(mode == kModeStandard);
    m_dlg.m_c.advanceRadio->setChecked(mode == kModeAdvance);
    m_dlg.m_c.next->setEnabled(true);
}

void DiskPanel::onRefreshList() {
    m_tree->clear();
    RefreshDisks();
    m_dlg.m_c.mainList->setRowCount(0);
    for (auto* radio : {m_dlg.m_c.standardRadio, m_dlg.m_c.advanceRadio}) {
        radio->setChecked(false);
        radio->setEnabled(false);
    }
    m_dlg.m_SearchMode = kModeNone;
    m_dlg.m_c.next->setEnabled(false);
}

}  // namespace qvx::ui
