#pragma once
// The search panel and the file-system screen: the summary of the search
// (drive, file system, range, criteria), the analysis job with its status,
// progress, counters and Stop; after an Advance Search scan, the tree of the
// file systems it identified, and the opening of the one picked.

#include <QObject>
#include <QString>

#include "engine/advance_search.h"
#include "engine/analysis_job.h"

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;
class mytreectrl;

class FileSystemPanel : public QObject {
    Q_OBJECT
public:
    explicit FileSystemPanel(CChildDialogExDemoDlg& window);
    ~FileSystemPanel() override;

    /// The search panel over the list's place, with its rows and Stop.
    void createControls();
    void abandonJobs();

    /// The file systems the last scan identified; null until it has some.
    mytreectrl* tree() const { return m_tree; }
    bool analysisRunning() const;
    bool enumerationRunning() const;
    bool treeShown() const { return m_tree != nullptr; }

    /// The search panel with the summary of the search that starts.
    void showSearchSummary(const std::string& criterion);
    /// Starts the analysis of the range: the Standard Search, or the
    /// Advance Search scan.
    void startAnalysis();
    /// The file-system screen after a scan that identified file systems.
    void showScreen();
    /// Next on the file-system screen: opens the file system picked.
    void openPicked();
    /// Back to the partition screen: the scan's results are let go.
    void leaveToPartition();
    /// Back from the result screen of a file system found by the scan.
    void returnFromResults();
    /// Hides the search panel and the tree as the result screen shows.
    void hideForResults();
    void showSearchPanel(bool show);

private:
    void StopSearch();
    void OnCounter(const QString& label, const QString& value);
    void onAnalysisFinished();
    void onAdvanceScanFinished();
    void onEnumerationFinished();
    void fillFileSystemTree();
    void destroyFileSystemTree();
    void showFileSystemSummary(int number);

    CChildDialogExDemoDlg& m_dlg;
    mytreectrl* m_tree = nullptr;
    JobRunner* m_analysisJob = nullptr;     // AnalysisThread
    JobRunner* m_enumerationJob = nullptr;  // EnumerationThread: opens a file system found by the scan
    engine::AnalysisStatus m_analysisStatus = engine::AnalysisStatus::Done;
    engine::AdvanceScanResult m_scanResult;  // of the last Advance Search scan
    int m_rememberedFileSystem = 1;          // the file-system item selected last (1-based)
};

}  // namespace qvx::ui
