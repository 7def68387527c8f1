// The wizard window's disk screen (the disk list, disk images, the search
// modes, Help) and the lost partition search of the partition screen.

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QTableWidget>

#include <algorithm>

#include "partition/partition_search.h"
#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
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

// ------------------------------------------------------------------ disk screen

void CChildDialogExDemoDlg::RefreshDisks() {
    const int previousStep = m_WizardStep;
    m_WizardStep = kStepBuilding;
    // Files that cannot be disks are reported by name, not listed.
    std::vector<std::string> usable;
    std::vector<std::string> refused;
    for (const std::string& p : m_options.imagePaths) {
        const QString problem = imageProblem(q(p));
        if (problem.isEmpty()) usable.push_back(p);
        else refused.push_back(problem.toStdString());
    }
    if (m_options.blockDevices) {
        m_inventory = engine::RefreshDisks(usable, m_options.configDir);
    } else {
        m_inventory = engine::Inventory{};
        m_inventory.disks = disk::EnumerateDisks(usable, m_inventory.errors, "/nonexistent-sysfs");
    }
    m_inventory.errors.insert(m_inventory.errors.begin(), refused.begin(), refused.end());
    engine::attachDisks(m_inventory, *m_state.reader);

    m_DeviceTree->clear();
    QTreeWidgetItem* root = m_DeviceTree->addRoot("My Computer", pictures::treeIcon(pictures::TreeIcon::Computer));
    for (const auto& d : disk::sortedByNodeText(m_inventory.disks)) {
        QString text = q(disk::diskNodeText(d));
        // An image says which file it is and how big.
        if (d.isImage)
            text = QFileInfo(q(d.path)).fileName() + ", " + sizeText(d.TotalSectors) + " " +
                   text.mid(std::max<qsizetype>(0, text.lastIndexOf("(Disk")));
        QTreeWidgetItem* item = m_DeviceTree->addChild(root, text, pictures::treeIcon(pictures::TreeIcon::Disk));
        item->setData(0, Qt::UserRole, d.Index);
        item->setToolTip(0, q(d.path) + (d.isImage ? QString() : " - " + sizeText(d.TotalSectors)));
    }
    root->setExpanded(true);
    m_lastShownDevice = " ";
    m_WizardStep = previousStep;
}

bool CChildDialogExDemoDlg::addImage(const QString& path) {
    const std::string p = path.toStdString();
    for (const auto& d : m_inventory.disks)
        if (d.isImage && d.path == p) return true;  // listed already
    if (const QString problem = imageProblem(path); !problem.isEmpty()) {
        messageBox(problem, QMessageBox::Critical);
        return false;
    }
    disk::DiskInfo info;
    std::string error;
    if (!disk::describeImage(p, info, error)) {
        messageBox(q(error), QMessageBox::Critical);
        return false;
    }
    if (std::find(m_options.imagePaths.begin(), m_options.imagePaths.end(), p) == m_options.imagePaths.end())
        m_options.imagePaths.push_back(p);
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

void CChildDialogExDemoDlg::reportInventoryErrors() {
    if (m_inventory.errors.empty()) return;
    QString text = "These disk images could not be listed:\n";
    for (const std::string& e : m_inventory.errors) text += "\n" + q(e);
    m_inventory.errors.clear();
    messageBox(text, QMessageBox::Warning);
}

void CChildDialogExDemoDlg::OnHelp() {
    if (!openHelp())
        messageBox(QString("No help was found beside the program: neither \"%1\" nor the user guide \"%2\".")
                       .arg(texts::kHelpFileName, texts::kGuideFileName),
                   QMessageBox::Warning);
}

/// A key that moves the current item of the disk or partition tree acts as
/// a click on the item it moves to.
void CChildDialogExDemoDlg::onTreeKeyNavigation(QTreeWidgetItem* current) {
    if (!m_treeKeyNavigation || !current) return;
    if (m_WizardStep == kStepDisk && sender() == m_DeviceTree) onDeviceClicked(current);
    else if (m_WizardStep == kStepPartition && m_PartitionTree && sender() == m_PartitionTree) onPartitionClicked(current);
}

void CChildDialogExDemoDlg::onOpenImage() {
    const QString path = QFileDialog::getOpenFileName(this, "Open Disk Image...", QString(),
                                                      "Disk images (*.img *.dd *.raw *.bin *.iso *.001 *.E01 *.e01 *.vmdk *.vhd *.vhdx *.qcow2 *.qcow);;All files (*)");
    if (!path.isEmpty()) addImage(path);
}

void CChildDialogExDemoDlg::onDeviceClicked(QTreeWidgetItem* item) {
    if (m_WizardStep != kStepDisk || item == nullptr) return;
    if (item->text(0).isEmpty()) {
        m_DeviceTree->setCurrentItem(m_DeviceTree->rootItem());
        return;
    }
    if (item->text(0) == "My Computer" || item->parent() == nullptr) return;
    m_state.SelectedDeviceText = item->text(0).toStdString();
    m_state.SelectedDisk = item->data(0, Qt::UserRole).toInt();
    m_DeviceTree->setCurrentItem(item);
    if (item->text(0) != m_lastShownDevice) {
        if (const disk::DiskInfo* info = selectedDiskInfo()) {
            m_details = disk::describeDisk(*info);
            setDetailRows(m_details.rows);
        }
    }
    m_lastShownDevice = item->text(0);
    m_c.standardRadio->setEnabled(true);
    m_c.advanceRadio->setEnabled(true);
}

void CChildDialogExDemoDlg::chooseMode(int mode) {
    if (m_WizardStep != kStepDisk) return;
    m_SearchMode = mode;
    m_c.standardRadio->setChecked(mode == kModeStandard);
    m_c.advanceRadio->setChecked(mode == kModeAdvance);
    m_c.next->setEnabled(true);
}

void CChildDialogExDemoDlg::onRefreshList() {
    m_DeviceTree->clear();
    RefreshDisks();
    m_c.mainList->setRowCount(0);
    for (auto* radio : {m_c.standardRadio, m_c.advanceRadio}) {
        radio->setChecked(false);
        radio->setEnabled(false);
    }
    m_SearchMode = kModeNone;
    m_c.next->setEnabled(false);
}


// ------------------------------------------------------------------ lost partition search

void CChildDialogExDemoDlg::showSearchMore(bool show) {
    m_c.searchMore->setVisible(show);
    m_c.deepSearch->setVisible(show);
}

void CChildDialogExDemoDlg::SearchMorePartitions() {
    if (m_WizardStep != kStepPartition || m_partitionJob->running()) return;
    SetHelpText(QString::fromUtf8(partition::kSearchStartHelp));
    startPartitionSearch(true);
}

void CChildDialogExDemoDlg::startPartitionSearch(bool fromButton) {
    if (m_partitionJob->running()) return;
    showSearchMore(false);
    m_c.stopPartitionSearch->show();
    m_c.partitionSearchLabel->show();
    m_c.partitionSearchProgress->setValue(0);
    m_c.partitionSearchProgress->setWindowText("Completed ");
    m_c.partitionSearchProgress->show();
    if (fromButton) m_c.loadLog->setEnabled(false);
    m_c.back->setEnabled(false);
    m_c.next->setEnabled(false);
    if (m_SearchMode == kModeAdvance) {
        m_c.partitionType->setEnabled(false);
        m_c.startSector->setEnabled(false);
        m_c.endSector->setEnabled(false);
    }
    m_c.partitionType->setCurrentIndex(3);
    m_c.startSector->setText("0");
    if (m_PartitionTree) m_PartitionTree->setEnabled(false);

    const int diskIndex = m_state.SelectedDisk;
    m_searchList = std::make_shared<partition::DiskPartitionList>(
        m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)]);
    const partition::SearchGeometry geometry = engine::searchGeometryOf(m_details);
    const partition::SearchDepth depth =
        m_c.deepSearch->isChecked() ? partition::SearchDepth::Deep : partition::SearchDepth::Probes;
    m_jobSetHelp = false;
    m_partitionJob->start([reader = m_state.reader, list = m_searchList, diskIndex, geometry, depth](
                              std::stop_token stop, util::ProgressSink& progress) {
        partition::SearchPartitions(depth, *reader, diskIndex, geometry, *list, stop, progress);
    });
}

void CChildDialogExDemoDlg::StopPartitionSearch() {
    if (!m_partitionJob->running()) return;
    const int answer = messageBox(QString::fromUtf8(partition::kStopSearchQuestion), QMessageBox::Question, true, true);
    if (answer != QMessageBox::Yes) return;
    // The search stops between cylinders and keeps what it found; its end
    // restores the screen.
    m_partitionJob->requestStop();
}

void CChildDialogExDemoDlg::onPartitionSearchFinished() {
    const int diskIndex = m_state.SelectedDisk;
    if (m_searchList) {
        // A partition the search found again (same kind, same sectors) is
        // listed once: the search starts from the list and adds what it finds.
        std::vector<partition::PartitionEntry> unique;
        for (const partition::PartitionEntry& e : m_searchList->entries) {
            const bool seen = std::any_of(unique.begin(), unique.end(), [&e](const partition::PartitionEntry& u) {
                return u.firstSector == e.firstSector && u.endSector == e.endSector && u.fileSystemName == e.fileSystemName;
            });
            if (!seen) unique.push_back(e);
        }
        m_searchList->entries = std::move(unique);
        m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)] = *m_searchList;
    }
    m_searchList.reset();
    m_c.partitionSearchProgress->setValue(100);
    m_c.stopPartitionSearch->hide();
    m_c.partitionSearchLabel->hide();
    m_c.partitionSearchProgress->hide();
    showSearchMore(true);
    m_c.next->setEnabled(true);
    m_c.back->setEnabled(true);
    m_c.loadLog->setEnabled(true);
    if (m_SearchMode == kModeAdvance) {
        m_c.partitionType->setEnabled(true);
        m_c.startSector->setEnabled(true);
        m_c.endSector->setEnabled(true);
        if (m_partitionFailureMarker) showPartitionControls(true);
    }
    if (m_PartitionTree) {
        m_PartitionTree->setEnabled(true);
        fillPartitionTree();
    }
    if (!m_jobSetHelp) SetHelpText(QString::fromUtf8(partition::kSearchDoneHelp));
    const auto& list = m_state.DiskPartitionList[static_cast<std::size_t>(diskIndex)];
    if (list.count() > 0) selectPartition(0, true);
    emit jobFinished();
}


}  // namespace qvx::ui
