#include "ui/session_log_flow.h"

#include "session/session_log.h"
#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/job_runner.h"
#include "ui/panel_widgets.h"
#include "ui/partition_panel.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

SessionLogFlow::SessionLogFlow(CChildDialogExDemoDlg& window) : m_dlg(window), m_searchModeBeforeLoad(kModeNone) {
    m_sessionJob = new JobRunner(this);
    connect(m_sessionJob, &JobRunner::finished, this, &SessionLogFlow::onSessionLoadFinished);
    connect(m_sessionJob, &JobRunner::message, this,
            [this](const QString& text, int kind) { m_dlg.onJobMessage(text, kind); });
    connect(m_sessionJob, &JobRunner::progress, this, [this](int percent, const QString& text) {
        m_dlg.m_c.loadProgress->setValue(percent);
        m_dlg.m_c.loadProgress->setWindowText(text);
    });
}

SessionLogFlow::~SessionLogFlow() { abandonJobs(); }

void SessionLogFlow::abandonJobs() { m_sessionJob->abandon(); }

bool SessionLogFlow::loadRunning() const { return m_sessionJob->running(); }

void SessionLogFlow::createControls() {
    m_dlg.m_c.loadProgress = new CTextProgressCtrl(&m_dlg);
    m_dlg.m_c.loadProgress->setGeometry(265, kRowB, 500, 22);
    m_dlg.m_c.loadingLabel = panelStatic("Loading tree, Please Wait...", &m_dlg, QRect(25, kRowB, 225, 22));
}

void SessionLogFlow::OnSaveLog() {
    if (m_dlg.m_WizardStep != kStepResults || m_dlg.analysisRunning()) return;
    QString chosen = m_dlg.askPath(CChildDialogExDemoDlg::PathRequest::SaveLog);
    if (chosen.isEmpty()) return;
    // The path is kept as chosen (names are case-sensitive here); only the
    // ".LGX" extension is added when it is missing.
    const std::string path = session::withLogExtension(chosen.toStdString());
    std::string error;
    if (!engine::SaveSession(m_dlg.m_state, path, m_dlg.m_details.DiskModelText, m_dlg.m_SelectedPartition + 1, error))
        m_dlg.messageBox(session::kUnableToOpenMessage, QMessageBox::Critical);
}

void SessionLogFlow::OnLoadLog() {
    auto& c = m_dlg.m_c;
    if (m_dlg.m_WizardStep != kStepPartition || m_dlg.partitionSearchRunning() || m_dlg.analysisRunning()) return;
    c.next->setEnabled(false);
    c.back->setEnabled(false);
    m_dlg.m_partitions->setSearchEnabled(false);
    c.loadLog->setEnabled(false);
    const QString path = m_dlg.askPath(CChildDialogExDemoDlg::PathRequest::LoadLog);
    if (path.isEmpty()) {
        c.next->setEnabled(true);
        c.back->setEnabled(true);
        m_dlg.m_partitions->setSearchEnabled(true);
        c.loadLog->setEnabled(true);
        return;
    }
    m_dlg.SetHelpText("Please wait...");
    m_searchModeBeforeLoad = m_dlg.m_SearchMode;
    c.loadingLabel->show();
    c.loadProgress->setValue(0);
    c.loadProgress->setShowPercent(false);
    c.loadProgress->setWindowText("Completed ");
    c.loadProgress->show();
    auto result = std::make_shared<engine::SessionLoadResult>();
    m_loadResult = result;
    engine::RecoveryState* state = &m_dlg.m_state;
    const std::string file = path.toStdString();
    const std::string model = m_dlg.m_details.DiskModelText;
    m_sessionJob->start([state, file, model, result](std::stop_token stop, util::ProgressSink& sink) {
        *result = engine::loadSessionFile(*state, file, model, sink, stop);
    });
}

void SessionLogFlow::onSessionLoadFinished() {
    auto& c = m_dlg.m_c;
    c.loadingLabel->hide();
    c.loadProgress->hide();
    if (!m_loadResult || m_loadResult->status != engine::SessionLoadStatus::Loaded) {
        m_dlg.m_SearchMode = m_searchModeBeforeLoad;
        c.next->setEnabled(true);
        c.back->setEnabled(true);
        m_dlg.m_partitions->setSearchEnabled(true);
        c.loadLog->setEnabled(true);
        m_dlg.SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
        m_dlg.jobEnded();
        return;
    }
    m_dlg.m_SearchMode = kModeStandard;
    m_dlg.m_state.searchMode = engine::SearchMode::Standard;
    m_dlg.m_SelectedPartition = m_loadResult->selectedPartition > 0 ? m_loadResult->selectedPartition - 1 : 0;
    m_dlg.m_partitions->hideScreen();
    c.back->show();
    m_dlg.m_jobSetHelp = false;
    m_dlg.toResults();
    m_dlg.jobEnded();
}

}  // namespace qvx::ui
