#pragma once
// The wizard window and its controller: the disk, partition, file-system
// and result screens are panels (DiskPanel, PartitionPanel,
// FileSystemPanel, ResultsPanel with its SaveFlow and SessionLogFlow), each
// owning its controls, its state and the engine jobs that fill it. The
// window owns the state of one recovery, the toolbar, the help strip and
// Next and Back: which screen shows and how one leads to the next. Every
// job runs on a thread of its own and reports through queued signals.

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
class DiskPanel;
class PartitionPanel;
class FileSystemPanel;
class ResultsPanel;
class ResultMarks;
class SaveFlow;
class SessionLogFlow;

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
    int PartitionsListed() const;
    const Controls& controls() const { return m_c; }
    mytreectrl* DeviceTree() const;
    mytreectrl* PartitionTree() const;
    mytreectrl* FolderTree() const;
    /// The file systems an Advance Search scan found; null until the scan has results.
    mytreectrl* FileSystemTree() const;
    const engine::RecoveryState& state() const { return m_state; }
    const engine::Inventory& inventory() const;
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
    QDialog* populateDialog() const;
    /// The "Saving..." dialog while a save runs, else null.
    QDialog* savingDialog() const;
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
    records::TreeItemId listedFolder() const;
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
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    // The panels reach the window's shared services and state.
    friend class DiskPanel;
    friend class PartitionPanel;
    friend class FileSystemPanel;
    friend class ResultsPanel;
    friend class ResultMarks;
    friend class SaveFlow;
    friend class SessionLogFlow;

    void createControls();
    void OnNext();
    void OnBack();
    void nextFromDisk();
    void nextFromPartition();
    void nextFromFileSystem();
    void backToDisk();
    void backToPartitionFromSearch();
    void backFromResults();
    void OnExit();
    void OnHelp();

    // Services of the window for its panels.
    void setStep(int step);
    void onJobMessage(const QString& text, int kind);
    void setMainListColumns(const std::vector<std::pair<QString, int>>& columns);
    void setDetailRows(const std::vector<std::pair<std::string, std::string>>& rows);
    int messageBox(const QString& text, QMessageBox::Icon icon, bool question = false, bool defaultNo = false);
    void showAdvisory(const QString& dialog);
    void relayout();
    /// Shows the result screen, or the file-system screen of an Advance Search.
    void toResults();
    void toFileSystemScreen();
    QString askPath(PathRequest request);
    int askDialog(QDialog& dialog);
    /// A job has ended: the window's controls are usable again.
    void jobEnded() { emit jobFinished(); }

    Options m_options;
    Controls m_c;
    QString m_HelpText;

    int m_WizardStep = kStepDisk;
    int m_SearchMode = kModeNone;
    int m_SelectedPartition = 0;       // shown as partition number - 1 in the search summary
    disk::DiskDetails m_details;       // of the selected disk
    engine::RecoveryState m_state;
    bool m_jobSetHelp = false;         // the running job set the help text itself

    MessageHook m_messageHook;
    AdvisoryHook m_advisoryHook;
    PathHook m_pathHook;
    DialogHook m_dialogHook;

    std::unique_ptr<DiskPanel> m_disks;
    std::unique_ptr<PartitionPanel> m_partitions;
    std::unique_ptr<FileSystemPanel> m_fileSystems;
    std::unique_ptr<ResultsPanel> m_results;
    std::unique_ptr<SaveFlow> m_save;
    std::unique_ptr<SessionLogFlow> m_sessionLog;

    int m_treeWidth = 225;  // the left panel's width, moved by the splitter
    bool m_treeWidthChosen = false;  // the splitter was moved
    QWidget* m_splitter = nullptr;
    QLabel* m_banner = nullptr;
    QWidget* m_rule = nullptr;
    /// Where the fixed controls sit in the template's 790 x 600 layout.
    std::vector<std::pair<QWidget*, QRect>> m_design;
};

}  // namespace qvx::ui
