#pragma once
// The splash, the About box, the two advisory dialogs, and the shell calls
// they share: the help file beside the program, the web site and the
// support e-mail form.

#include <QDialog>
#include <QString>
#include <QUrl>

#include <functional>

namespace qvx::ui {

/// Every "open this with the desktop's default handler" goes through here;
/// tests and screenshot runs replace the handler so that nothing is launched.
void setShellOpenHandler(std::function<void(const QUrl&)> handler);
void shellOpen(const QUrl& url);

/// The help file beside the program: the folder of programPath (up to its
/// last '/') + "/Software Guide.chm"; "/Software Guide.chm" without a folder.
QString helpFilePath(const QString& programPath);
void openHelp();
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

}  // namespace qvx::ui
