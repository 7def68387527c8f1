#pragma once
// The splash, the About box, the two advisory dialogs, and the shell calls
// they share: the help file beside the program, the web site and the
// support e-mail form.

#include <QDialog>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace qvx::ui {

/// Makes a dialog wide enough for its caption (the window manager's title
/// bar) and tall enough for its texts.
void fitToCaption(QDialog* dialog);

/// Every "open this with the desktop's default handler" goes through here;
/// tests and screenshot runs replace the handler so that nothing is launched.
void setShellOpenHandler(std::function<void(const QUrl&)> handler);
void shellOpen(const QUrl& url);

/// The help file beside the program: the folder of programPath (up to its
/// last '/') + "/Software Guide.chm"; "/Software Guide.chm" without a folder.
QString helpFilePath(const QString& programPath);
/// The user guide beside the program (guide.html), or in the data folder of
/// an installed program; empty when there is none.
QString guideFilePath(const QString& programPath);
/// Opens "Software Guide.chm" when it is there, otherwise the user guide;
/// false when neither is found.
bool openHelp();
/// The support e-mail with its subject and the form to fill in.
QUrl contactMailUrl();
void openContactLink();
void openWebSite();

/// Borderless picture shown for two seconds at start-up.
class CSplash : public QDialog {
    Q_OBJECT
public:
    explicit CSplash(QWidget* parent = nullptr, int milliseconds = 2000);
};

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

/// "No file system could be identified. Recovery is not possible in Advance Search mode."
class CAdvanceDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAdvanceDlg(QWidget* parent = nullptr);
};

/// "Recovery is not possible in Standard Search mode, use Advance Search to recover your data."
class CMsgStand : public QDialog {
    Q_OBJECT
public:
    explicit CMsgStand(QWidget* parent = nullptr);
};

// ---------------------------------------------------------------- Save flow

/// "Save As": the destination folder, typed or chosen with Browse.
class CSaveAsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSaveAsDlg(QWidget* parent = nullptr);
    QString folder() const;
    void setFolder(const QString& folder);

private:
    QLineEdit* m_edit = nullptr;
};

/// "Saving...": the file being written, the counts and the progress.
class CSavingDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSavingDlg(QWidget* parent = nullptr);
    QPushButton* stopButton() const { return m_stop; }
    QPushButton* skipButton() const { return m_skip; }
    /// The recovery's status "Recovering n of N: path" (path '/'-separated).
    void setStatus(const QString& status);
    void setTotals(int filesDone, int filesTotal, std::uint64_t bytesDone);
    void setPercent(int percent);
    QString fileName() const;
    QString filePath() const;

private:
    QLabel* m_name = nullptr;
    QLabel* m_path = nullptr;
    QLabel* m_files = nullptr;
    QLabel* m_current = nullptr;
    QLabel* m_bytes = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_skip = nullptr;
};

/// "Replace File Confirmation": a file (or folder) of that name is already
/// at the destination.
class CReplaceDlg : public QDialog {
    Q_OBJECT
public:
    enum Answer { Overwrite = 1, Rename, Skip, Cancel, YesToAll, NoToAll };
    CReplaceDlg(const QString& fileName, const QString& newName, QWidget* parent = nullptr, bool folder = false);
    bool applyToAll() const;
    void setApplyToAll(bool on);

private:
    QCheckBox* m_all = nullptr;
};

/// "Error Writing Destination".
class CWriteErrorDlg : public QDialog {
    Q_OBJECT
public:
    enum Answer { Abort = 1, Skip, SkipAll };
    CWriteErrorDlg(const QString& message, QWidget* parent = nullptr);
};

/// "Calculating Number of Files...": the count of the files to save, with Stop.
class CCalculatingDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCalculatingDlg(QWidget* parent = nullptr);
    void setCount(const QString& count);
    QPushButton* stopButton() const { return m_stop; }

private:
    QLabel* m_count = nullptr;
    QPushButton* m_stop = nullptr;
};

}  // namespace qvx::ui
