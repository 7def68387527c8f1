#pragma once
// The disk screen: the tree of the machine's disks and the images named or
// opened, the details of the disk picked, the two search modes, Refresh
// List and "Open Disk Image...".

#include <QObject>
#include <QString>

#include <string>

#include "engine/disk_inventory.h"

class QTreeWidgetItem;

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;
class mytreectrl;

class DiskPanel : public QObject {
    Q_OBJECT
public:
    explicit DiskPanel(CChildDialogExDemoDlg& window);
    ~DiskPanel() override;
    void abandonJobs();

    /// The device tree, first of the left-panel trees.
    void createTree();
    /// The search modes, Refresh List and "Open Disk Image..." under the panels.
    void createControls();

    mytreectrl* tree() const { return m_tree; }
    const engine::Inventory& inventory() const { return m_inventory; }
    const disk::DiskInfo* selectedDiskInfo() const;

    /// Lists the disks again (the block devices and the images).
    void RefreshDisks();
    bool addImage(const QString& path);
    void reportInventoryErrors();

    /// Opens the picked disk for the partition screen; says why when it
    /// cannot be opened.
    bool openSelectedDisk();
    /// Shows or hides the screen's own controls.
    void showScreen(bool show);
    /// Back on the disk screen: the disk stays picked, the modes are offered again.
    void returnToScreen();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onDeviceClicked(QTreeWidgetItem* item);
    void onKeyNavigation(QTreeWidgetItem* current);
    void chooseMode(int mode);
    void onRefreshList();
    void onOpenImage();

    CChildDialogExDemoDlg& m_dlg;
    mytreectrl* m_tree = nullptr;
    JobRunner* m_diskJob = nullptr;  // lists the disks, describes and opens them
    engine::Inventory m_inventory;
    QString m_lastShownDevice = " ";
    bool m_keyNavigation = false;  // a key moved the tree's current item
};

}  // namespace qvx::ui
