#pragma once
// Save Log and Load Log: the session log of a search written from the
// result screen, and read back on the partition screen by a job that shows
// its progress under the panels and leads to the result screen.

#include <QObject>

#include <memory>

#include "engine/session_job.h"

namespace qvx::ui {

class CChildDialogExDemoDlg;
class JobRunner;

class SessionLogFlow : public QObject {
    Q_OBJECT
public:
    explicit SessionLogFlow(CChildDialogExDemoDlg& window);
    ~SessionLogFlow() override;

    /// The load's progress and its label under the panels.
    void createControls();
    void abandonJobs();
    bool loadRunning() const;

    void OnSaveLog();
    void OnLoadLog();

private:
    void onSessionLoadFinished();

    CChildDialogExDemoDlg& m_dlg;
    JobRunner* m_sessionJob = nullptr;  // SessionLoadThread
    std::shared_ptr<engine::SessionLoadResult> m_loadResult;
    int m_searchModeBeforeLoad = 0;
};

}  // namespace qvx::ui
