#include "ui/dialogs.h"

#include <QApplication>
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
    pal.setColor(QPalette::WindowText, Qt::black);
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

void openHelp() { shellOpen(QUrl::fromLocalFile(helpFilePath(QCoreApplication::applicationFilePath()))); }

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

}  // namespace qvx::ui
