#pragma once
// The wizard window: one fixed-size dialog whose groups of controls form the
// disk, partition, search and result screens, moved between with Next and
// Back. It owns the state of one recovery and starts the jobs that fill it;
// each job runs on a thread of its own and reports through queued signals,
// while the window disables its navigation.

#include <QDialog>
#include <QMessageBox>
#include <QRect>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/inventory.h"
#include "engine/advance_search.h"
#include "engine/analysis_job.h"
#include "engine/disk_inventory.h"
#include "engine/partition_listing.h"
#include "engine/recovery_job.h"
#include "engine/recovery_state.h"
#include "engine/session_job.h"
#include "records/file_list.h"

class QCheckBox;
class QComboBox;
class QDialog;
class QLineEdit;
class QFrame;
class QLabel;
class QTableWidget;
class QTableWidgetItem;
class QTreeWidgetItem;

namespace qvx::ui {

class CBtn;
class CColorEdit;
class CColorStatic;
class CCustomRadio;
class CTextProgressCtrl;
class JobRunner;
class mytreectrl;

/// Screens, as `WizardStep` numbers them.
enum Step : int { kStepBuilding = -1, kStepDisk = 0, kStepPartition = 1, kStepFileSystem = 2, kStepResults = 3 };
/// `SearchMode` values.
inline constexpr int kModeStandard = 1;
inline constexpr int kModeAdvance = 2;
inline constexpr int kModeNone = 0xFFFF;

class CChildDialogExDemoDlg : public QDialog {
    Q_OBJECT
public:
    struct Options {
        std::vector<std::string> imagePaths;  // listed like disks, after the block devices
        std::string configDir;                // where the record of the disks goes; empty for the default
        bool blockDevices = true;             // list the machine's block devices
    };

    /// The controls the screens are made of (named as in the window's template).
    struct Controls {
        CBtn* save = nullptr;          // 1054
        CBtn* loadLog = nullptr;       // 1057
        CBtn* saveLog = nullptr;       // 1106
        CBtn* help = nullptr;          // 1055
        CBtn* exit = nullptr;          // 1056
        CBtn* about = nullptr;         // 1114
        CBtn* next = nullptr;          // 1058
        CBtn* back = nullptr;          // 1059
        CCustomRadio* standardRadio = nullptr;  // 1064
        CColorStatic* standardLabel = nullptr;  // 1129
        CCustomRadio* advanceRadio = nullptr;   // 1108
        CColorStatic* advanceLabel = nullptr;   // 1128
        CBtn* refresh = nullptr;                // 1135
        CColorStatic* refreshLabel = nullptr;   // 1153
        CBtn* openImage = nullptr;              // "Open Disk Image..."
        CBtn* searchMore = nullptr;             // 1062
        CBtn* stopPartitionSearch = nullptr;    // 1110
        QCheckBox* deepSearch = nullptr;        // under Search More Partitions: read every sector
        CColorStatic* partitionSearchLabel = nullptr;     // 1072
        CTextProgressCtrl* partitionSearchProgress = nullptr;  // 1070
        CColorStatic* searchModeLabel = nullptr;  // 1066
        CColorStatic* criterion = nullptr;        // 1068
        CColorStatic* partitionTypeLabel = nullptr;  // 1065
        QComboBox* partitionType = nullptr;          // 1037
        CColorStatic* startSectorLabel = nullptr;    // 1067
        CColorEdit* startSector = nullptr;           // 1069
        CColorStatic* endSectorLabel = nullptr;      // 1109
        CColorEdit* endSector = nullptr;             // 1071
        QTableWidget* mainList = nullptr;            // 1105
        QFrame* searchPanel = nullptr;
        CColorStatic* driveLabel = nullptr;          // 1075
        CColorStatic* driveValue = nullptr;          // 1076
        CColorStatic* fileSystemLabel = nullptr;     // 1079
        CColorStatic* fileSystemValue = nullptr;     // 1080
        CColorStatic* directoriesLabel = nullptr;    // 1083
        CColorStatic* directoriesValue = nullptr;    // 1084
        CColorStatic* bootSectorsLabel = nullptr;    // 1081
        CColorStatic* bootSectorsValue = nullptr;    // 1082
        CColorStatic* criteriaLabel = nullptr;       // 1087
        CColorStatic* criteriaValue = nullptr;       // 1085
        CColorStatic* rangeLabel = nullptr;          // 1077
        CColorStatic* rangeValue = nullptr;          // 1078
        CTextProgressCtrl* searchProgress = nullptr;  // 1073
        CColorStatic* statusText = nullptr;          // 1074
        CBtn* stopSearch = nullptr;                  // 1092
        CColorStatic* currentFolderLabel = nullptr;  // 1093
        CColorStatic* currentFolder = nullptr;       // 1094
        CTextProgressCtrl* loadProgress = nullptr;   // 1183
        CColorStatic* loadingLabel = nullptr;        // 1185
        CColorStatic* helpStrip = nullptr;           // 1116
        // Result screen additions: the list's filter and the item count.
        QLineEdit* filter = nullptr;
        QCheckBox* deletedOnly = nullptr;
        QLabel* itemCount = nullptr;
    };

    /// Answers a message box instead of showing it: returns a
    /// QMessageBox::StandardButton. Used by tests and unattended runs.
    using MessageHook = std::function<int(const QString& text, QMessageBox::Icon icon)>;
    /// Called instead of showing an advisory dialog ("CMsgStand" or "CAdvanceDlg").
    using AdvisoryHook = std::function<void(const QString& dialog)>;

    explicit CChildDialogExDemoDlg(Options options, QWidget* parent = nullptr);
    ~CChildDialogExDemoDlg() override;

    void SetHelpText(const QString& text);
    QString HelpText() const { return m_HelpText; }

    int WizardStep() const { return m_WizardStep; }
    int SearchMode() const { return m_SearchMode; }
    int PartitionsListed() const { return m_PartitionsListed; }
    const Controls& controls() const { return m_c; }
    mytreectrl* DeviceTree() const { return m_DeviceTree; }
    mytreectrl* PartitionTree() const { return m_PartitionTree; }
    mytreectrl* FolderTree() const { return m_FolderTree; }
    /// The file systems an Advance Search scan found; null until the scan has results.
    mytreectrl* FileSystemTree() const { return m_FileSystemTree; }
    const engine::RecoveryState& state() const { return m_state; }
    const engine::Inventory& inventory() const { return m_inventory; }
    bool partitionSearchRunning() const;
    /// The analysis (a search or an Advance Search scan) or the opening of a
    /// file system found by the scan is running.
    bool analysisRunning() const;

    void setMessageHook(MessageHook hook) { m_messageHook = std::move(hook); }
    void setAdvisoryHook(AdvisoryHook hook) { m_advisoryHook = std::move(hook); }

    /// Adds a disk-image file to the device tree ("Open Disk Image...").
    bool addImage(const QString& path);

    /// What a path chooser is asked for.
    enum class PathRequest { SaveDestination, SaveLog, LoadLog };
    /// Answers a path chooser instead of showing it (an empty answer is
    /// Cancel). Used by tests and unattended runs.
    using PathHook = std::function<QString(PathRequest request)>;
    void setPathHook(PathHook hook) { m_pathHook = std::move(hook); }
    /// Answers a dialog of the Save flow ("Replace File Confirmation",
    /// "Error Writing Destination") by its caption instead of showing it.
    using DialogHook = std::function<int(const QString& caption)>;
    void setDialogHook(DialogHook hook) { m_dialogHook = std::move(hook); }
    /// A folder listing (ListingThread) is running.
    bool listingRunning() const;
    /// A save of recovered items or the load of a session log is running.
    bool saveRunning() const;
    bool sessionLoadRunning() const;
    /// The "Populating List Items, Please Wait...." dialog.
    QDialog* populateDialog() const { return m_populate; }
    /// The "Saving..." dialog while a save runs, else null.
    QDialog* savingDialog() const { return m_saving; }
    /// Lists the folder of item as a click on its label does.
    void listFolder(QTreeWidgetItem* item);
    /// The toolbar's Save, the tree's and the list's "Save".
    void OnSave();
    /// What a tree item's check box shows: the model's state, combined with
    /// the marks of the files in the folders under it.
    records::CheckState shownCheck(records::TreeItemId id) const;
    /// A file row of the folder whose contents the list shows is marked.
    bool fileMarked(records::TreeItemId folder, const std::string& name) const;
    /// The folder whose rows the list shows.
    records::TreeItemId listedFolder() const { return m_listedFolder; }
    /// Where settings are kept (the last save destination).
    QString settingsPath() const;
    void OnSaveLog();
    void OnLoadLog();

signals:
    /// The screen changed (WizardStep has its new value).
    void stepChanged(int step);
    /// A job ended and the window's controls are usable again.
    void jobFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void createControls();
    void createSearchPanel();
    void RefreshDisks();
    void onDeviceClicked(QTreeWidgetItem* item);
    void onPartitionClicked(QTreeWidgetItem* item);
    void chooseMode(int mode);
    void OnNext();
    void OnBack();
    void nextFromDisk();
    void nextFromPartition();
    void backToDisk();
    void backToPartitionFromSearch();
    void backFromResults();
    void enterPartitionScreen();
    void readPartitionList();
    void fillPartitionTree();
    void selectPartition(int index, bool showDetails);
    void showPartitionEntryRows();
    void SearchMorePartitions();
    void showSearchMore(bool show);
    void StopPartitionSearch();
    void startPartitionSearch(bool fromButton);
    void onPartitionSearchFinished();
    void startAnalysis();
    void onAnalysisFinished();
    void StopSearch();
    void onAdvanceScanFinished();
    void showFileSystemScreen();
    void fillFileSystemTree();
    void showFileSystemSummary(int number);
    void destroyFileSystemTree();
    void nextFromFileSystem();
    void onEnumerationFinished();
    void backToFileSystemScreen();
    void showResults();
    void onRefreshList();
    void onOpenImage();
    void OnExit();
    void OnCounter(const QString& label, const QString& value);
    void onJobMessage(const QString& text, int kind);
    void setMainListColumns(const std::vector<std::pair<QString, int>>& columns);
    void setDetailRows(const std::vector<std::pair<std::string, std::string>>& rows);
    void showSearchPanel(bool show);
    void showPartitionControls(bool show);
    int messageBox(const QString& text, QMessageBox::Icon icon, bool question = false, bool defaultNo = false);
    void showAdvisory(const QString& dialog);
    const disk::DiskInfo* selectedDiskInfo() const;
    void setStep(int step);

    // Result screen: the folder tree, the file list and the Save flow.
    void createResultsControls();
    void buildFolderTreeControl();
    void stopListing();
    QTreeWidgetItem* widgetOf(records::TreeItemId id) const;
    void setItemImage(QTreeWidgetItem* item, int image);
    void syncFromModel();
    void onFolderItemChanged(QTreeWidgetItem* item, int column);
    void onFolderItemClicked(QTreeWidgetItem* item);
    void onFolderExpansion(QTreeWidgetItem* item, bool expanding);
    bool folderTreeKey(QKeyEvent* event);
    void startListing(QTreeWidgetItem* target);
    void onListingFinished();
    void fillFileList(const records::FileList& rows);
    void onListActivated(int row);
    void showTreeMenu(const QPoint& pos);
    void showListMenu(const QPoint& pos);
    void saveAll();
    void saveRow(int row);
    void relayout();
    void applyFilter();
    void updateItemCount();
    void reportInventoryErrors();
    void OnHelp();
    void onTreeKeyNavigation(QTreeWidgetItem* current);
    void computeShownChecks();
    void toggleFolderMark(records::TreeItemId id);
    void toggleFileMark(int row);
    void syncListChecks();
    void onListItemChanged(QTableWidgetItem* item);
    /// What a save writes: paths from the volume root ('/'-separated,
    /// UTF-8; none for the whole tree) and the folders among them.
    struct SaveRequest {
        std::vector<std::string> paths;
        std::vector<records::TreeItemId> folders;
        bool wholeTree = false;
        /// Folders whose own files (not their sub-folders) are saved; the
        /// count lists them and adds their files to paths.
        std::vector<records::TreeItemId> ownFilesOf;
        /// Files given by path, with their sizes.
        int files = 0;
        std::uint64_t bytes = 0;
        /// Listing paths (UTF-8) of the folders among paths.
        std::vector<std::string> folderPaths;
    };
    /// The marked folders and files; empty when nothing is marked.
    SaveRequest markedRequest() const;
    SaveRequest itemRequest(records::TreeItemId id) const;
    std::string itemPath(records::TreeItemId id) const;
    std::string rowPath(int row) const;
    void runSave(SaveRequest request);
    void onCountFinished();
    void startSaveJob();
    void onSaveFinished();
    void setSaveControlsEnabled(bool enabled);
    int askDialog(QDialog& dialog);
    void onSessionLoadFinished();
    QString askPath(PathRequest request);

    Options m_options;
    Controls m_c;
    mytreectrl* m_DeviceTree = nullptr;
    mytreectrl* m_PartitionTree = nullptr;
    mytreectrl* m_FolderTree = nullptr;
    mytreectrl* m_FileSystemTree = nullptr;
    QString m_HelpText;

    int m_WizardStep = kStepDisk;
    int m_SearchMode = kModeNone;
    int m_PartitionsListed = 0;
    int m_SelectedPartition = 0;       // shown as partition number - 1 in the search summary
    int m_rememberedPartition = 0;     // the partition item selected last
    bool m_partitionFailureMarker = false;
    QString m_lastShownDevice = " ";
    std::string m_SearchCriterion;
    std::array<bool, disk::kMaxDisks> m_listRead{};
    QString m_startSectorText;
    QString m_endSectorText;

    engine::Inventory m_inventory;
    disk::DiskDetails m_details;       // of the selected disk
    engine::RecoveryState m_state;
    engine::ReadFailureTrigger m_trigger;
    bool m_jobSetHelp = false;
    engine::AnalysisStatus m_analysisStatus = engine::AnalysisStatus::Done;
    engine::AdvanceScanResult m_scanResult;  // of the last Advance Search scan
    int m_rememberedFileSystem = 1;          // the file-system item selected last (1-based)
    std::shared_ptr<partition::DiskPartitionList> m_searchList;  // the partition search's working copy

    JobRunner* m_partitionJob = nullptr;  // PartitionSearchThread
    JobRunner* m_tableJob = nullptr;      // reads the partition table
    JobRunner* m_analysisJob = nullptr;   // AnalysisThread
    JobRunner* m_enumerationJob = nullptr;  // EnumerationThread: opens a file system found by the scan

    MessageHook m_messageHook;
    AdvisoryHook m_advisoryHook;
    PathHook m_pathHook;
    DialogHook m_dialogHook;

    JobRunner* m_listingJob = nullptr;  // ListingThread
    JobRunner* m_saveJob = nullptr;     // copies the selected items
    JobRunner* m_sessionJob = nullptr;  // SessionLoadThread
    JobRunner* m_countJob = nullptr;    // counts the files of a save
    QDialog* m_calculating = nullptr;
    SaveRequest m_pendingSave;
    int m_totalFiles = 0;
    std::shared_ptr<SaveRequest> m_countResult;
    bool m_countStopped = false;
    QDialog* m_populate = nullptr;
    QDialog* m_saving = nullptr;
    std::vector<QTreeWidgetItem*> m_itemWidgets;  // by tree item id
    records::TreeItemId m_listTarget = records::kNoItem;
    records::TreeItemId m_previousListed = records::kNoItem;
    records::TreeItemId m_listedFolder = records::kNoItem;  // whose rows the list shows
    bool m_MouseSelection = false;
    bool m_ListOnNextExpand = false;
    bool m_syncing = false;
    bool m_checkClicked = false;
    bool m_treeKeyNavigation = false;  // a key moved the current item of a left-panel tree
    /// Marks of single files, by folder item: the names (8-bit) of the
    /// folder's own files that are saved, and their sizes. A folder without
    /// an entry saves its own files when its box is checked.
    struct FileMarks {
        std::map<std::string, std::uint64_t> names;
        int total = 0;  // files the folder has
    };
    std::map<records::TreeItemId, FileMarks> m_fileMarks;
    std::vector<records::CheckState> m_shownChecks;
    int m_treeWidth = 225;  // the left panel's width, moved by the splitter
    bool m_treeWidthChosen = false;  // the splitter was moved
    QWidget* m_splitter = nullptr;
    QLabel* m_banner = nullptr;
    QWidget* m_rule = nullptr;
    /// Where the fixed controls sit in the template's 790 x 600 layout.
    std::vector<std::pair<QWidget*, QRect>> m_design;
    std::shared_ptr<records::FileList> m_listingResult;
    std::shared_ptr<engine::RecoveryRun> m_saveResult;
    std::shared_ptr<engine::SessionLoadResult> m_loadResult;
    QString m_saveDestination;
    int m_searchModeBeforeLoad = kModeNone;
};

}  // namespace qvx::ui
