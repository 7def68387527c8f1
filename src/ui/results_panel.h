#pragma once
// The result screen: the folder tree with its check boxes, the file list of
// the folder picked in it (filled by ListingThread behind the populating
// dialog), the filter above the list and the item count beside "Current
// Folder". A FAT folder's directory is read by a job, never on this thread.

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

#include "records/data_condition.h"
#include "records/file_list.h"
#include "records/folder_tree.h"
#include "ui/result_marks.h"

class QDialog;
class QKeyEvent;
class QTableWidgetItem;
class QTreeWidgetItem;

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;
class mytreectrl;

class ResultsPanel : public QObject {
    Q_OBJECT
public:
    explicit ResultsPanel(CChildDialogExDemoDlg& window);
    ~ResultsPanel() override;

    /// "Current Folder" and its value under the list.
    void createControls();
    /// The list's roles on the result screen, the filter and the populating dialog.
    void createListControls();
    void abandonJobs();

    mytreectrl* tree() const { return m_tree; }
    bool listingRunning() const;
    QDialog* populateDialog() const { return m_populate; }
    records::TreeItemId listedFolder() const { return m_listedFolder; }
    const ResultMarks& marks() const { return m_marks; }

    /// The result screen over the folder tree of the search.
    void showScreen();
    /// Leaves the result screen: the listing ends, the tree goes. True when
    /// there was a tree.
    bool closeScreen();
    void stopListing();
    /// Lists the folder of item as a click on its label does.
    void listFolder(QTreeWidgetItem* item);
    /// The tree and the list take no input while a save runs.
    void setInputEnabled(bool enabled);
    /// The path from the volume root of the list's row ('/'-separated, UTF-8).
    std::string rowPath(int row) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildFolderTreeControl();
    QTreeWidgetItem* widgetOf(records::TreeItemId id) const;
    void setItemImage(QTreeWidgetItem* item, int image);
    void syncFromModel();
    void onFolderItemChanged(QTreeWidgetItem* item, int column);
    void onFolderItemClicked(QTreeWidgetItem* item);
    void onFolderExpansion(QTreeWidgetItem* item, bool expanding);
    /// Reads a FAT folder's directory on the listing job and waits for it.
    void readFolderDirectory(int node);
    bool folderTreeKey(QKeyEvent* event);
    void startListing(QTreeWidgetItem* target);
    void onListingFinished();
    /// conditions: per row, the condition of a deleted file's data (may be null).
    void fillFileList(const records::FileList& rows, const std::vector<records::DataCondition>* conditions = nullptr);
    void onListActivated(int row);
    void toggleFolderMark(records::TreeItemId id);
    void toggleFileMark(int row);
    void syncListChecks();
    void onListItemChanged(QTableWidgetItem* item);
    void applyFilter();
    void updateItemCount();

    CChildDialogExDemoDlg& m_dlg;
    mytreectrl* m_tree = nullptr;
    JobRunner* m_listingJob = nullptr;  // ListingThread
    JobRunner* m_directoryJob = nullptr;  // reads a FAT folder's directory as the folder expands
    QDialog* m_populate = nullptr;
    ResultMarks m_marks;
    std::vector<QTreeWidgetItem*> m_itemWidgets;  // by tree item id
    records::TreeItemId m_listTarget = records::kNoItem;
    records::TreeItemId m_previousListed = records::kNoItem;
    records::TreeItemId m_listedFolder = records::kNoItem;  // whose rows the list shows
    bool m_MouseSelection = false;
    bool m_ListOnNextExpand = false;
    bool m_syncing = false;
    bool m_checkClicked = false;
    std::shared_ptr<records::FileList> m_listingResult;
    std::shared_ptr<std::vector<records::DataCondition>> m_listingConditions;
};

}  // namespace qvx::ui
