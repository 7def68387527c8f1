#pragma once
// The Save flow of the result screen: what is saved (the marked folders and
// files, or the item a context menu was opened on), the count of its files
// and the one confirmation, the replace question, the copy by a job, and
// the summary with the way to the folder written.

#include <QObject>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "records/folder_tree.h"

class QDialog;

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;

class SaveFlow : public QObject {
    Q_OBJECT
public:
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
        /// Deleted files among those counted whose data other files now
        /// hold, wholly or in part.
        int overwritten = 0;
        int partlyOverwritten = 0;
    };

    explicit SaveFlow(CChildDialogExDemoDlg& window);
    ~SaveFlow() override;
    void abandonJobs();

    bool running() const;
    /// The "Saving..." dialog while a save runs, else null.
    QDialog* savingDialog() const { return m_saving; }

    /// The toolbar's Save: what is marked.
    void OnSave();
    /// The folder tree's menu at pos: "Save" saves the folder it was opened on.
    void treeMenu(const QPoint& pos);
    /// The list's menu at pos: "Open" (given to open), "Save", "Save All".
    void listMenu(const QPoint& pos, const std::function<void(int row)>& open);
    /// A double click on a file row saves that file.
    void saveActivatedFile(int row);

    /// The question asked before anything is written.
    static QString confirmationText(int files, std::uint64_t bytes, const QString& destination, int overwritten = 0,
                                    int partlyOverwritten = 0);

private:
    SaveRequest markedRequest() const;
    SaveRequest itemRequest(records::TreeItemId id) const;
    std::string itemPath(records::TreeItemId id) const;
    void saveRow(int row);
    void saveAll();
    void runSave(SaveRequest request);
    void onCountFinished();
    void startSaveJob();
    void onSaveFinished();
    void setSaveControlsEnabled(bool enabled);

    CChildDialogExDemoDlg& m_dlg;
    JobRunner* m_saveJob = nullptr;   // copies the selected items
    JobRunner* m_countJob = nullptr;  // counts the files of a save
    QDialog* m_calculating = nullptr;
    QDialog* m_saving = nullptr;
    SaveRequest m_pendingSave;
    int m_totalFiles = 0;
    std::shared_ptr<SaveRequest> m_countResult;
    bool m_countStopped = false;
    std::shared_ptr<engine::RecoveryRun> m_saveResult;
    QString m_saveDestination;
};

}  // namespace qvx::ui
