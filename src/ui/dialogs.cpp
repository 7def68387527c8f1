#include "ui/dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include <algorithm>
#include <QFileDialog>
#include <QGridLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>

#include "ui/controls.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

namespace {

std::function<void(const QUrl&)>& shellHandler() {
    static std::function<void(const QUrl&)> handler;
    return handler;
}

void paintPanel(QWidget* w) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, panelColor());
    pal.setColor(QPalette::WindowText, panelTextColor());
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

QLabel* boldLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    QFont f("Arial");
    f.setPixelSize(16);
    f.setWeight(QFont::Bold);
    l->setFont(f);
    l->setWordWrap(true);
    return l;
}

const char* const kFirstPoint =
    "1. Both the recovery modes (i.e. Standard Search and Advance Search) recover data using different Data Recovery "
    "Techniques in different cases of data loss. In Most of the data loss cases, at least one recovery mode may work "
    "for you, even if another fails to recover data.";
const char* const kSecondPoint = "2. It is strongly recommended that you should allow every process to be completed 100%.";

/// The body both advisory dialogs share: icon and message, the "Important:"
/// box, the contact line and OK.
void buildAdvisory(QDialog* dlg, const QString& message, const QString& firstPoint, bool wrapFirstPoint, QSize size) {
    dlg->setWindowTitle(texts::kCaption);
    paintPanel(dlg);
    auto* top = new QVBoxLayout(dlg);
    auto* head = new QHBoxLayout;
    auto* icon = new QLabel(dlg);
    icon->setPixmap(dlg->style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    head->addWidget(icon);
    head->addWidget(boldLabel(message, dlg), 1);
    top->addLayout(head);
    auto* box = new QGroupBox(dlg);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->addWidget(boldLabel("Important:", box));
    auto* first = new QLabel(firstPoint, box);
    first->setWordWrap(wrapFirstPoint);
    boxLayout->addWidget(first);
    auto* second = new QLabel(kSecondPoint, box);
    second->setWordWrap(true);
    boxLayout->addWidget(second);
    top->addWidget(box);
    auto* contact = new QHBoxLayout;
    contact->addWidget(new QLabel("For further technical assistance in recovering your data,", dlg));
    auto* link = new CLinkCur("click here to contact us...", dlg);
    link->setObjectName("contactLink");
    QObject::connect(link, &CLinkCur::clicked, dlg, [] { openContactLink(); });
    contact->addWidget(link);
    contact->addStretch(1);
    top->addLayout(contact);
    auto* ok = new QPushButton("OK", dlg);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dlg, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    top->addLayout(buttons);
    dlg->resize(size.expandedTo(dlg->sizeHint()));
}

}  // namespace

void setShellOpenHandler(std::function<void(const QUrl&)> handler) { shellHandler() = std::move(handler); }

void shellOpen(const QUrl& url) {
    // Failures are not reported: a missing help file or browser is the desktop's business.
    if (shellHandler())
        shellHandler()(url);
    else
        QDesktopServices::openUrl(url);
}

QString helpFilePath(const QString& programPath) {
    const qsizetype slash = programPath.lastIndexOf('/');
    const QString folder = slash < 0 ? QString() : programPath.left(slash);
    return folder + "/" + texts::kHelpFileName;
}

QString guideFilePath(const QString& programPath) {
    const qsizetype slash = programPath.lastIndexOf('/');
    const QString folder = slash < 0 ? QString() : programPath.left(slash);
    for (const QString& candidate : {folder + "/" + texts::kGuideFileName,
                                     folder + "/../share/doc/qvx/" + texts::kGuideFileName})
        if (QFileInfo(candidate).isFile()) return QFileInfo(candidate).absoluteFilePath();
    return {};
}

bool openHelp() {
    const QString program = QCoreApplication::applicationFilePath();
    const QString chm = helpFilePath(program);
    if (QFileInfo(chm).isFile()) {
        shellOpen(QUrl::fromLocalFile(chm));
        return true;
    }
    const QString guide = guideFilePath(program);
    if (guide.isEmpty()) return false;
    shellOpen(QUrl::fromLocalFile(guide));
    return true;
}

QUrl contactMailUrl() {
    const QString body =
        "Dear Customer Support,%0A%0A"
        "I am having Difficulties in using QVX - NTFS Recovery.%0A%0A"
        "Operating System: %0A"
        "Security, Antivirus or Firewall software in use: %0A"
        "Hardware configuration of the machine: %0A%0A"
        "Storage Media%0A"
        "Media Type: %0A"
        "Storage Capacity: %0A"
        "Manufacturer: %0A%0A"
        "Possible cause of Data Loss (if known): %0A"
        "Error message (if any): %0A"
        "More Details of problem with screenshot (if any): %0A";
    QString subject = "QVX - NTFS Recovery Question";
    subject.replace(' ', "%20");
    QString encodedBody = body;
    encodedBody.replace(' ', "%20");
    return QUrl(QString("mailto:") + texts::kSupportMail + "?subject=" + subject + "&body=" + encodedBody,
                QUrl::TolerantMode);
}

void openContactLink() { shellOpen(contactMailUrl()); }

void openWebSite() { shellOpen(QUrl(texts::kWebSite)); }

CSplash::CSplash(QWidget* parent, int milliseconds) : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setWindowTitle(texts::kCaption);
    const QSize size(480, 300);
    setFixedSize(size);
    auto* picture = new QLabel(this);
    picture->setPixmap(pictures::splash(size));
    picture->setGeometry(0, 0, size.width(), size.height());
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &QDialog::reject);
    timer->start(milliseconds);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About QVX - NTFS Recovery");
    paintPanel(this);
    auto* top = new QHBoxLayout(this);
    auto* icon = new QLabel(this);
    icon->setPixmap(pictures::appIcon(64));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* col = new QVBoxLayout;
    auto* version = new QLabel(QString("QVX - NTFS Recovery, version ") + QCoreApplication::applicationVersion(), this);
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    col->addWidget(version);
    col->addWidget(new QLabel("Made by the QVX project. Reads disks, never writes them.", this));
    auto* web = new CLinkCur(texts::kWebSite, this);
    web->setObjectName("webLink");
    connect(web, &CLinkCur::clicked, this, [] { openWebSite(); });
    col->addWidget(web);
    auto* mailRow = new QHBoxLayout;
    mailRow->addWidget(new QLabel("Email :", this));
    auto* mail = new CLinkCur(texts::kSupportMail, this);
    mail->setObjectName("mailLink");
    connect(mail, &CLinkCur::clicked, this, [] { openContactLink(); });
    mailRow->addWidget(mail);
    mailRow->addStretch(1);
    col->addLayout(mailRow);
    top->addLayout(col, 1);
    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* right = new QVBoxLayout;
    right->addWidget(ok);
    right->addStretch(1);
    top->addLayout(right);
}

CAdvanceDlg::CAdvanceDlg(QWidget* parent) : QDialog(parent) {
    buildAdvisory(this, texts::kAdvanceNotPossible, kFirstPoint, true, QSize(560, 260));
}

CMsgStand::CMsgStand(QWidget* parent) : QDialog(parent) {
    buildAdvisory(this, texts::kStandardNotPossible,
                  QString("1. Both the recovery modes (i.e. Standard Search and Advance Search) recover data using "
                          "different\n Data Recovery Techniques in different cases of data loss. In most of the data "
                          "loss cases, at least \none recovery mode may work for you, even if another fails to "
                          "recover data."),
                  false, QSize(570, 290));
}

// ---------------------------------------------------------------- Save flow

namespace {

QString byteText(std::uint64_t bytes) {
    if (bytes < 1024) return QString("%1 Bytes").arg(bytes);
    if (bytes < 1024ull * 1024) return QString("%1 KB").arg(static_cast<double>(bytes) / 1024.0, 0, 'f', 1);
    return QString("%1 MB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QFont saveFlowFont(const QWidget* w) {
    QFont f = w->font();
    f.setPointSize(8);
    return f;
}

}  // namespace

CSaveAsDlg::CSaveAsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Save As");
    setFont(saveFlowFont(this));
    paintPanel(this);
    auto* grid = new QGridLayout(this);
    auto* picture = new QLabel;
    picture->setPixmap(pictures::toolFace(pictures::Tool::Save, 40, false));
    grid->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(new QLabel("Select the folder where the recovered Files and Folders are to be saved:"), 0, 1, 1, 2);
    m_edit = new QLineEdit(QDir::homePath());
    grid->addWidget(m_edit, 1, 1);
    auto* browse = new QPushButton("Browse");
    grid->addWidget(browse, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton("OK");
    auto* cancel = new QPushButton("Cancel");
    ok->setDefault(true);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    grid->addLayout(buttons, 2, 0, 1, 3);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString dir = QFileDialog::getExistingDirectory(this, "Save As", m_edit->text());
        if (!dir.isEmpty()) m_edit->setText(QDir::toNativeSeparators(dir));
    });
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    resize(460, 130);
    fitToCaption(this);
}

QString CSaveAsDlg::folder() const { return m_edit->text().trimmed(); }
void CSaveAsDlg::setFolder(const QString& folder) { m_edit->setText(folder); }

CSavingDlg::CSavingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Saving...");
    setFont(saveFlowFont(this));
    paintPanel(this);
    auto* grid = new QGridLayout(this);
    int row = 0;
    auto addRow = [&](const char* label) {
        grid->addWidget(new QLabel(label), row, 0);
        auto* value = new QLabel;
        value->setMinimumWidth(280);
        grid->addWidget(value, row++, 1);
        return value;
    };
    m_name = addRow("File Name :");
    m_path = addRow("File Path :");
    m_files = addRow("Total Files Recovered ");
    m_current = addRow(" Recovered Current File ");
    m_bytes = addRow("Total Data Recovered ");
    m_bar = new QProgressBar;
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    grid->addWidget(m_bar, row++, 0, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_stop = new QPushButton("Stop");
    m_skip = new QPushButton("Skip");
    buttons->addWidget(m_stop);
    buttons->addWidget(m_skip);
    grid->addLayout(buttons, row, 0, 1, 2);
    m_files->setText("0");
    m_bytes->setText(byteText(0));
    resize(460, 220);
    fitToCaption(this);
}

void CSavingDlg::setStatus(const QString& status) {
    static const QString prefix = "Recovering ";
    const qsizetype colon = status.indexOf(": ");
    if (!status.startsWith(prefix) || colon < 0) return;
    const QString path = status.mid(colon + 2);
    const qsizetype slash = path.lastIndexOf('/');
    m_name->setText(path.mid(slash + 1));
    m_path->setText(slash < 0 ? QString("\\") : "\\" + QString(path.left(slash)).replace('/', '\\'));
    const QStringList counts = status.mid(prefix.size(), colon - prefix.size()).split(" of ");
    if (counts.size() == 2) m_current->setText(counts[0] + " of " + counts[1]);
}

void CSavingDlg::setTotals(int filesDone, int filesTotal, std::uint64_t bytesDone) {
    m_files->setText(filesTotal > 0 ? QString("%1 / %2").arg(filesDone).arg(filesTotal) : QString::number(filesDone));
    m_bytes->setText(byteText(bytesDone));
}

void CSavingDlg::setPercent(int percent) { m_bar->setValue(percent); }
QString CSavingDlg::fileName() const { return m_name->text(); }
QString CSavingDlg::filePath() const { return m_path->text(); }

CReplaceDlg::CReplaceDlg(const QString& fileName, const QString& newName, QWidget* parent, bool folder)
    : QDialog(parent) {
    setWindowTitle("Replace File Confirmation");
    setFont(saveFlowFont(this));
    paintPanel(this);
    auto* grid = new QGridLayout(this);
    // A folder is called a folder: Rename writes a new folder beside it.
    grid->addWidget(new QLabel(folder ? "Folder Name          :" : "File Name            :"), 0, 0);
    auto* name = new QLabel(fileName);
    name->setObjectName("fileName");
    name->setToolTip(fileName);
    grid->addWidget(name, 0, 1, 1, 2);
    grid->addWidget(new QLabel(folder ? "New Folder Name  :" : "New File Name    :"), 1, 0);
    auto* edit = new QLineEdit(newName);
    edit->setObjectName("newName");
    edit->setReadOnly(true);  // the recovery numbers the names itself
    grid->addWidget(edit, 1, 1, 1, 2);
    m_all = new QCheckBox(folder ? "Apply the answer to all the files and folders" : "Apply the answer to all the files");
    grid->addWidget(m_all, 2, 0, 1, 3);
    const std::pair<const char*, int> answers[] = {{"Overwrite", Overwrite}, {"Rename", Rename},
                                                   {"Skip", Skip},           {"Cancel", Cancel},
                                                   {"Yes to &All", YesToAll}, {"No &to All", NoToAll}};
    int i = 0;
    for (const auto& [text, answer] : answers) {
        auto* b = new QPushButton(text);
        b->setObjectName(QString(text).remove('&'));
        if (answer == Rename) b->setToolTip(folder ? "Write to the new folder \"" + newName + "\" beside the one there"
                                                   : "Write under the new name \"" + newName + "\"");
        grid->addWidget(b, 3 + i / 3, i % 3);
        const int a = answer;
        connect(b, &QPushButton::clicked, this, [this, a] { done(a); });
        ++i;
    }
    resize(420, 170);
    fitToCaption(this);
}

bool CReplaceDlg::applyToAll() const { return m_all->isChecked(); }
void CReplaceDlg::setApplyToAll(bool on) { m_all->setChecked(on); }

void fitToCaption(QDialog* dialog) {
    // The title bar shows the caption with the window's buttons beside it.
    const QFontMetrics fm(QApplication::font("QMdiSubWindowTitleBar"));
    const int captionWidth = fm.horizontalAdvance(dialog->windowTitle()) * 5 / 4 + 140;
    if (dialog->layout()) dialog->layout()->activate();
    const QSize hint = dialog->sizeHint();
    dialog->resize(std::max({dialog->width(), captionWidth, hint.width()}), std::max(dialog->height(), hint.height()));
}

CWriteErrorDlg::CWriteErrorDlg(const QString& message, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Error Writing Destination");
    setFont(saveFlowFont(this));
    paintPanel(this);
    auto* box = new QVBoxLayout(this);
    auto* text = new QLabel(message);
    text->setWordWrap(true);
    box->addWidget(text);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    const std::pair<const char*, int> answers[] = {{"&Abort", Abort}, {"&Skip", Skip}, {"Skip All", SkipAll}};
    for (const auto& [label, answer] : answers) {
        auto* b = new QPushButton(label);
        buttons->addWidget(b);
        const int a = answer;
        connect(b, &QPushButton::clicked, this, [this, a] { done(a); });
    }
    box->addLayout(buttons);
    resize(380, 120);
    fitToCaption(this);
}

CCalculatingDlg::CCalculatingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Calculating Number of Files...");
    setFont(saveFlowFont(this));
    paintPanel(this);
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Calculating Total Number of Files, Please Wait ..."), 0, 0, 1, 3);
    grid->addWidget(new QLabel("Total Files :"), 1, 0);
    m_count = new QLabel("0");
    grid->addWidget(m_count, 1, 1);
    m_stop = new QPushButton("Stop ");
    grid->addWidget(m_stop, 2, 2);
    resize(330, 110);
    fitToCaption(this);
}

void CCalculatingDlg::setCount(const QString& count) { m_count->setText(count); }

}  // namespace qvx::ui
