#pragma once
// The partition screen: the partitions of the picked disk (its table, read
// by a job), the details of the one picked, the search mode and the sector
// range of the search, and the lost partition search ("Search More
// Partitions", by probes or deep) with its progress and Stop.

#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <string>

#include "disk/inventory.h"
#include "engine/partition_listing.h"
#include "partition/partition_table.h"

class QTreeWidgetItem;

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;
class mytreectrl;

class PartitionPanel : public QObject {
    Q_OBJECT
public:
    explicit PartitionPanel(CChildDialogExDemoDlg& window);
    ~PartitionPanel() override;

    void createControls();
    void abandonJobs();

    mytreectrl* tree() const { return m_tree; }
    int partitionsListed() const { return m_PartitionsListed; }
    bool searchRunning() const;
    /// "Standard Search " or "Advance Search", as the search summary names it.
    const std::string& criterion() const { return m_SearchCriterion; }

    /// Next on the disk screen: the table is read, the search starts when
    /// it lists nothing.
    void enterFromDisk();
    /// The partition screen over the picked disk's list.
    void enterScreen();
    /// Back on the disk screen: the search is ended and the list read again next time.
    void leaveToDisk();
    /// Next on the screen: checks the kind and the sector range and keeps
    /// them in the recovery state; false (with the reason told) when the
    /// search cannot start.
    bool takeRange();
    /// Hides the screen's controls while the search panel shows.
    void hideScreen();
    /// Back from the search panel: the range as it was typed.
    void returnFromSearch();
    /// Back from the result screen: the details of the highlighted partition.
    void showRememberedDetails();
    /// A new Next clears the mark of a search the failure path started.
    void clearFailureMarker() { m_partitionFailureMarker = false; }
    /// The search controls while a session log loads.
    void setSearchEnabled(bool enabled);
    void showSearchMore(bool show);
    void showPartitionControls(bool show);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readPartitionList();
    void fillPartitionTree();
    void selectPartition(int index, bool showDetails);
    void showPartitionEntryRows();
    void onPartitionClicked(QTreeWidgetItem* item);
    void onKeyNavigation(QTreeWidgetItem* current);
    void SearchMorePartitions();
    void StopPartitionSearch();
    void startPartitionSearch(bool fromButton);
    void onPartitionSearchFinished();

    CChildDialogExDemoDlg& m_dlg;
    mytreectrl* m_tree = nullptr;
    JobRunner* m_partitionJob = nullptr;  // PartitionSearchThread
    JobRunner* m_tableJob = nullptr;      // reads the partition table
    engine::ReadFailureTrigger m_trigger;
    std::shared_ptr<partition::DiskPartitionList> m_searchList;  // the search's working copy
    std::array<bool, disk::kMaxDisks> m_listRead{};
    int m_PartitionsListed = 0;
    int m_rememberedPartition = 0;     // the partition item selected last
    bool m_partitionFailureMarker = false;
    bool m_keyNavigation = false;      // a key moved the tree's current item
    std::string m_SearchCriterion;
    QString m_startSectorText;
    QString m_endSectorText;
};

}  // namespace qvx::ui
