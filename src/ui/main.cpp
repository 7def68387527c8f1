// qvx-gui: the splash for two seconds, then the wizard window; the program
// ends when the wizard closes. Disk-image files named on the command line
// are listed in the device tree like disks.

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>

#include "ui/DialogEx.h"
#include "ui/dialogs.h"
#include "ui/pictures.h"
#include "util/version.h"

namespace qvx::ui {

namespace {

void nameApplication() {
    QCoreApplication::setApplicationName("qvx-gui");
    QCoreApplication::setApplicationVersion(util::kVersion);
}

/// The command line of qvx-gui; --help and --version end the program.
struct GuiOptions {
    QCommandLineParser parser;
    QCommandLineOption noSplash{"no-splash", "Start without the splash window."};
    QCommandLineOption imagesOnly{"images-only", "List only the disk images given, not the machine's disks."};

    GuiOptions() {
        parser.setApplicationDescription("Read-only recovery of files and folders from NTFS, FAT16 and FAT32 volumes.");
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(noSplash);
        parser.addOption(imagesOnly);
        parser.addPositionalArgument("image", "Disk-image files to list like disks.", "[image...]");
    }
};

/// --help and --version need no display: they are answered by a plain
/// core application before any window system is opened.
bool asksOnlyForText(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-?" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

}  // namespace

/// The application object.
class CQuillmarApp : public QApplication {
public:
    CQuillmarApp(int& argc, char** argv) : QApplication(argc, argv) {
        nameApplication();
        setApplicationDisplayName("QVX - NTFS Recovery");
        setDesktopFileName("qvx-gui");
        setWindowIcon(QIcon(pictures::appIcon(64)));
    }

    int run() {
        GuiOptions options;
        options.parser.process(*this);

        if (!options.parser.isSet(options.noSplash)) {
            CSplash splash;
            splash.exec();
        }
        CChildDialogExDemoDlg::Options wizardOptions;
        for (const QString& path : options.parser.positionalArguments())
            wizardOptions.imagePaths.push_back(QFileInfo(path).absoluteFilePath().toStdString());
        wizardOptions.blockDevices = !options.parser.isSet(options.imagesOnly);
        CChildDialogExDemoDlg wizard(wizardOptions);
        wizard.exec();
        return 0;
    }
};

}  // namespace qvx::ui

int main(int argc, char** argv) {
    if (qvx::ui::asksOnlyForText(argc, argv)) {
        QCoreApplication core(argc, argv);
        qvx::ui::nameApplication();
        qvx::ui::GuiOptions options;
        options.parser.process(core);  // prints the text and exits
        return 0;
    }
    qvx::ui::CQuillmarApp app(argc, argv);
    return app.run();
}
