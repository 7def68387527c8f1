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

namespace qvx::ui {

/// The application object.
class CQuillmarApp : public QApplication {
public:
    CQuillmarApp(int& argc, char** argv) : QApplication(argc, argv) {
        setApplicationName("qvx-gui");
        setApplicationDisplayName("QVX - NTFS Recovery");
        setApplicationVersion(QVX_VERSION);
        setDesktopFileName("qvx-gui");
        setWindowIcon(QIcon(pictures::appIcon(64)));
    }

    int run() {
        QCommandLineParser parser;
        parser.setApplicationDescription("Read-only recovery of files and folders from NTFS, FAT16 and FAT32 volumes.");
        parser.addHelpOption();
        parser.addVersionOption();
        QCommandLineOption noSplash("no-splash", "Start without the splash window.");
        QCommandLineOption imagesOnly("images-only", "List only the disk images given, not the machine's disks.");
        parser.addOption(noSplash);
        parser.addOption(imagesOnly);
        parser.addPositionalArgument("image", "Disk-image files to list like disks.", "[image...]");
        parser.process(*this);

        if (!parser.isSet(noSplash)) {
            CSplash splash;
            splash.exec();
        }
        CChildDialogExDemoDlg::Options options;
        for (const QString& path : parser.positionalArguments())
            options.imagePaths.push_back(QFileInfo(path).absoluteFilePath().toStdString());
        options.blockDevices = !parser.isSet(imagesOnly);
        CChildDialogExDemoDlg wizard(options);
        wizard.exec();
        return 0;
    }
};

}  // namespace qvx::ui

int main(int argc, char** argv) {
    qvx::ui::CQuillmarApp app(argc, argv);
    return app.run();
}
