// Walks the wizard window through its screens on a disk image and saves a
// PNG of each: the splash, the disk screen before and after choosing a disk,
// the partition screen (Standard and Advance Search), the lost partition
// search, the search panel, the result tree with a folder listed and items
// checked, the populating dialog, the dialogs of the Save flow, the Advance
// Search scan with its file-system screen and the tree of the file system
// opened, the About box and the two advisory dialogs. Used by tools/screenshots under a virtual X server.
//
//   qvx-gui-tour IMAGE OUTDIR
//
// QVX_TOUR_WINDOW=max maximises the window (to the whole screen when no
// window manager does it); WxH gives it that size.

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QFileInfo>
#include <QEnterEvent>
#include <QMessageBox>
#include <QTableWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include "ui/DialogEx.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "util/version.h"

using namespace qvx::ui;

namespace {

QString g_out;
int g_shots = 0;

void settle(int ms = 150) {
    QTest::qWait(ms);
    QApplication::processEvents();
}

void shot(QWidget* w, const QString& name) {
    w->repaint();
    const QString path = QDir(g_out).filePath(QString("%1-%2.png").arg(++g_shots, 2, 10, QChar('0')).arg(name));
    if (!w->grab().save(path)) std::fprintf(stderr, "gui-tour: cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

void click(QTreeWidget* tree, QTreeWidgetItem* item) {
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

void hover(QWidget* w) {
    const QPointF local(w->width() / 2.0, w->height() / 2.0);
    QEnterEvent enter(local, w->mapTo(w->window(), local), w->mapToGlobal(local));
    QApplication::sendEvent(w, &enter);
}

void waitForJob(CChildDialogExDemoDlg& dlg) {
    QSignalSpy done(&dlg, &CChildDialogExDemoDlg::jobFinished);
    if (dlg.analysisRunning() || dlg.partitionSearchRunning()) done.wait(120000);
    settle();
}

template <class Dialog>
void dialogShot(QWidget* parent, const QString& name) {
    Dialog dlg(parent);
    dlg.show();
    settle();
    shot(&dlg, name);
    dlg.close();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationVersion(qvx::util::kVersion);
    if (argc != 3) {
        std::fprintf(stderr, "usage: qvx-gui-tour IMAGE OUTDIR\n");
        return 2;
    }
    g_out = argv[2];
    QDir().mkpath(g_out);
    setShellOpenHandler([](const QUrl&) {});

    {
        CSplash splash(nullptr, 60000);
        splash.show();
        settle();
        shot(&splash, "splash");
    }

    CChildDialogExDemoDlg::Options options;
    options.imagePaths = {QFileInfo(argv[1]).absoluteFilePath().toStdString()};
    options.configDir = QDir::temp().filePath("qvx-gui-tour").toStdString();
    options.blockDevices = false;
    CChildDialogExDemoDlg dlg(options);
    QStringList messages;
    dlg.setMessageHook([&](const QString& text, QMessageBox::Icon icon) {
        messages << text;
        // The save's confirmation is answered Yes, everything else No.
        return int(icon == QMessageBox::Question && text.startsWith("Save ") ? QMessageBox::Yes : QMessageBox::No);
    });
    dlg.setAdvisoryHook([](const QString&) {});
    const QString window = qEnvironmentVariable("QVX_TOUR_WINDOW");
    if (window == "max") {
        dlg.showMaximized();
        settle(300);
        // Without a window manager nothing maximises it: fill the screen.
        if (dlg.screen() && dlg.width() < dlg.screen()->availableGeometry().width() - 40)
            dlg.setGeometry(dlg.screen()->availableGeometry());
    } else {
        if (window.contains('x')) dlg.resize(window.section('x', 0, 0).toInt(), window.section('x', 1, 1).toInt());
        dlg.show();
    }
    settle(300);
    const auto& c = dlg.controls();
    shot(&dlg, "disk-screen");

    QTreeWidgetItem* root = dlg.DeviceTree()->rootItem();
    if (!root || root->childCount() == 0) {
        std::fprintf(stderr, "gui-tour: the image was not listed\n");
        return 1;
    }
    click(dlg.DeviceTree(), root->child(0));
    hover(c.standardRadio);
    settle();
    shot(&dlg, "disk-selected");

    QTest::mouseClick(c.next, Qt::LeftButton);
    settle();
    shot(&dlg, "partition-screen");

    QTest::mouseClick(c.searchMore, Qt::LeftButton);
    shot(&dlg, "partition-search");
    waitForJob(dlg);
    shot(&dlg, "partition-search-done");

    click(dlg.PartitionTree(), dlg.PartitionTree()->rootItem()->child(0));
    settle();
    shot(&dlg, "partition-details");

    QTest::mouseClick(c.next, Qt::LeftButton);
    shot(&dlg, "search-panel");
    waitForJob(dlg);
    shot(&dlg, "results");

    // A folder listed, two folders checked, the populating dialog.
    if (QTreeWidgetItem* treeRoot = dlg.FolderTree() ? dlg.FolderTree()->rootItem() : nullptr) {
        QTreeWidgetItem* docs = nullptr;
        for (int i = 0; i < treeRoot->childCount(); ++i)
            if (treeRoot->child(i)->text(0) == "Docs") docs = treeRoot->child(i);
        if (docs) {
            QSignalSpy listed(&dlg, &CChildDialogExDemoDlg::jobFinished);
            click(dlg.FolderTree(), docs);
            listed.wait(60000);
            docs->setExpanded(true);
            docs->setCheckState(0, Qt::Checked);  // as a click on its box
            settle();
            shot(&dlg, "results-listed");
            // A file row unmarked: Docs is partly marked.
            if (c.mainList->rowCount() > 2) c.mainList->item(2, 0)->setCheckState(Qt::Unchecked);
            settle();
            shot(&dlg, "results-file-marks");
            QDialog* populate = dlg.populateDialog();
            populate->move(dlg.geometry().center() - QPoint(populate->width() / 2, populate->height() / 2));
            populate->show();
            settle();
            shot(populate, "populating");
            populate->hide();

            // Save of the checked folder, the Saving dialog caught while it runs.
            QTemporaryDir out;
            dlg.setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
            QSignalSpy saved(&dlg, &CChildDialogExDemoDlg::jobFinished);
            QTest::mouseClick(c.save, Qt::LeftButton);
            QTest::qWait(30);
            if (QDialog* saving = dlg.savingDialog()) shot(saving, "saving-live");
            saved.wait(120000);
            settle();
            while (dlg.saveRunning()) saved.wait(120000);
            docs->setCheckState(0, Qt::Unchecked);
            settle();
        }
    }

    QTest::mouseClick(c.back, Qt::LeftButton);
    settle();
    QTest::mouseClick(c.back, Qt::LeftButton);
    settle();
    click(dlg.DeviceTree(), dlg.DeviceTree()->rootItem()->child(0));
    hover(c.advanceRadio);
    QTest::mouseClick(c.next, Qt::LeftButton);
    settle();
    shot(&dlg, "partition-advance");

    // Advance Search over the FAT32 partition: the scan, the file systems
    // it found, and the one opened.
    if (QTreeWidgetItem* disk = dlg.PartitionTree()->rootItem(); disk && disk->childCount() > 1) {
        click(dlg.PartitionTree(), disk->child(1));
        settle();
        QTest::mouseClick(c.next, Qt::LeftButton);
        shot(&dlg, "advance-scan");
        waitForJob(dlg);
        shot(&dlg, "file-systems");
        if (dlg.WizardStep() == kStepFileSystem && c.next->isEnabled()) {
            QTest::mouseClick(c.next, Qt::LeftButton);
            waitForJob(dlg);
            shot(&dlg, "advance-results");
        }
    }

    dialogShot<CAboutDlg>(&dlg, "about");
    dialogShot<CSaveAsDlg>(&dlg, "save-as");
    {
        CSavingDlg saving(&dlg);
        saving.setStatus("Recovering 3 of 9: Docs/Reports/2009/summary.doc");
        saving.setTotals(2, 9, 123456);
        saving.setPercent(40);
        saving.show();
        settle();
        shot(&saving, "saving");
    }
    {
        CReplaceDlg replace("summary.doc", "summary (1).doc", &dlg);
        replace.show();
        settle();
        shot(&replace, "replace");
    }
    {
        CReplaceDlg replace("Docs", "Docs (1)", &dlg, true);
        replace.show();
        settle();
        shot(&replace, "replace-folder");
    }
    {
        // The summary after a save, with its "Open folder" button.
        QMessageBox box(QMessageBox::Information, "QVX - NTFS Recovery",
                        "12 files recovered completely, 1 partly, 0 not at all.\n\nWritten to /media/backup/recovered",
                        QMessageBox::Ok, &dlg);
        box.addButton("Open folder", QMessageBox::ActionRole);
        box.show();
        settle();
        shot(&box, "save-summary");
    }
    {
        CWriteErrorDlg error("cannot create the folder /media/backup/Docs", &dlg);
        error.show();
        settle();
        shot(&error, "write-error");
    }
    dialogShot<CCalculatingDlg>(&dlg, "calculating");
    dialogShot<CMsgStand>(&dlg, "msg-stand");
    dialogShot<CAdvanceDlg>(&dlg, "advance-dlg");
    return 0;
}
