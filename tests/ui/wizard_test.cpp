// The wizard window on the offscreen platform over the generated demo disk
// (NTFS, FAT32 and FAT16 primaries, FAT16 and NTFS logical drives): the
// screens, help texts and enabled states along the Standard Search and the
// Advance Search paths, the validation messages, the lost partition search,
// Stop and Back from each screen.

#include <QComboBox>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFile>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

#include "engine/advance_search.h"
#include "ntfs/standard_search.h"
#include "partition/partition_search.h"
#include "ui/DialogEx.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/wizard_texts.h"

using namespace qvx::ui;

namespace {

const QString kDemo = QStringLiteral(QVX_IMAGES_DIR "/demo.img");
// The status text of the last stage of an Advance Search scan on FAT.
constexpr const char* kPhase2Status = "Analyzing The Data For File Systems Phase 2 \\ 2   ...";

QString u8(const char* text) { return QString::fromUtf8(text); }

QStringList headings(const QTableWidget* list) {
    QStringList out;
    for (int c = 0; c < list->columnCount(); ++c) out << list->horizontalHeaderItem(c)->text();
    return out;
}

QStringList childTexts(const QTreeWidgetItem* item) {
    QStringList out;
    for (int i = 0; item && i < item->childCount(); ++i) out << item->child(i)->text(0);
    return out;
}

void clickItem(QTreeWidget* tree, QTreeWidgetItem* item) {
    QVERIFY(item);
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

void hover(QWidget* w) {
    const QPointF local(w->width() / 2.0, w->height() / 2.0);
    QEnterEvent enter(local, w->mapTo(w->window(), local), w->mapToGlobal(local));
    QApplication::sendEvent(w, &enter);
}

}  // namespace

class WizardTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CChildDialogExDemoDlg> m_dlg;
    QTemporaryDir m_config;
    QStringList m_messages;
    QStringList m_advisories;
    int m_answer = QMessageBox::No;

    const CChildDialogExDemoDlg::Controls& c() const { return m_dlg->controls(); }

    void waitForJob() {
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        if (!m_dlg->analysisRunning() && !m_dlg->partitionSearchRunning()) return;
        QVERIFY(done.wait(120000));
    }

    /// Disk screen: click the demo image's node and choose a mode by moving the pointer over its radio.
    void chooseDiskAndMode(bool advance) {
        QTreeWidgetItem* root = m_dlg->DeviceTree()->rootItem();
        QVERIFY(root);
        QCOMPARE(root->childCount(), 1);
        clickItem(m_dlg->DeviceTree(), root->child(0));
        QVERIFY(c().standardRadio->isEnabled());
        hover(advance ? static_cast<QWidget*>(c().advanceRadio) : c().standardRadio);
        QCOMPARE(m_dlg->SearchMode(), advance ? kModeAdvance : kModeStandard);
        QVERIFY(c().next->isEnabled());
    }

    void toPartitionScreen(bool advance) {
        chooseDiskAndMode(advance);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
    }

    /// Advance Search over the demo's FAT32 partition: Next starts the scan.
    void startAdvanceOnFat32() {
        toPartitionScreen(true);
        QTreeWidgetItem* disk = m_dlg->PartitionTree()->rootItem();
        QVERIFY(disk && disk->childCount() >= 2);
        clickItem(m_dlg->PartitionTree(), disk->child(1));
        QCOMPARE(c().partitionType->currentIndex(), 1);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(c().searchPanel->isVisible());
        QCOMPARE(c().fileSystemValue->text(), QString("FAT32"));
        QCOMPARE(c().criteriaValue->text(), QString("Advance Search"));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kAnalysisRunningHelp));
    }

    /// The item texts of the file-system screen's tree.
    QStringList fileSystemItems() const {
        const mytreectrl* tree = m_dlg->FileSystemTree();
        return tree ? childTexts(tree->rootItem()) : QStringList();
    }

    /// The file-system screen after a scan that found file systems.
    void checkFileSystemScreen() {
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(!m_dlg->analysisRunning());
        const mytreectrl* tree = m_dlg->FileSystemTree();
        QVERIFY(tree && tree->isVisible() && tree->isEnabled());
        QVERIFY(!m_dlg->PartitionTree()->isVisible());
        QVERIFY(!m_dlg->FolderTree());
        const QStringList items = fileSystemItems();
        const auto& systems = m_dlg->state().tables.FileSystemTable;
        QCOMPARE(items.size(), systems.rowCount());
        QVERIFY(!items.isEmpty());
        for (int i = 0; i < items.size(); ++i) {
            const QString kind = QString::fromStdString(std::string(systems.cell(i, systems.columnIndex("PartType"))));
            QVERIFY2(kind == "FAT32" || kind == "FAT16", qPrintable(kind));
            QCOMPARE(items[i], QString("File System %1 - %2").arg(i + 1).arg(kind));
        }
        // The demo partition's own boot sector gives the first one.
        QCOMPARE(items.front(), QString("File System 1 - FAT32"));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kFileSystemScreenHelp));
        QCOMPARE(m_dlg->HelpText(), u8(qvx::engine::kFileSystemsFoundHelp));
        QVERIFY(!c().searchPanel->isVisible());
        QVERIFY(!c().stopSearch->isVisible());
        QVERIFY(c().mainList->isVisible());
        QCOMPARE(headings(c().mainList), QStringList({"Name", "Values"}));
        QCOMPARE(c().mainList->columnWidth(0), 253);
        QCOMPARE(c().mainList->columnWidth(1), 252);
        QCOMPARE(c().mainList->rowCount(), 4);
        QCOMPARE(c().mainList->item(0, 0)->text(), QString("1.   File System                        :"));
        QCOMPARE(c().mainList->item(0, 1)->text(), QString("1"));
        QCOMPARE(c().mainList->item(1, 1)->text(), QString("FAT32"));
        QCOMPARE(c().mainList->item(2, 1)->text(),
                 QString::fromStdString(std::string(systems.cell(0, systems.columnIndex("Cluster0Start")))));
        QCOMPARE(c().mainList->item(3, 0)->text(), QString("4.   Sectors Per Clusters          :    "));
        QVERIFY(c().mainList->item(3, 1)->text().toInt() > 0);
        QVERIFY(c().next->isEnabled());
        QVERIFY(c().back->isEnabled());
        QVERIFY(!c().save->isEnabled());
        QVERIFY(!c().saveLog->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
    }

private Q_SLOTS:
    void initTestCase() {
        if (!QFile::exists(kDemo)) QSKIP("demo.img not built (tools/mkimages.sh)");
        setShellOpenHandler([](const QUrl&) {});
    }

    void init() {
        m_messages.clear();
        m_advisories.clear();
        m_answer = QMessageBox::No;
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {kDemo.toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        m_dlg = std::make_unique<CChildDialogExDemoDlg>(options);
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon) {
            m_messages << text;
            return m_answer;
        });
        m_dlg->setAdvisoryHook([this](const QString& dialog) { m_advisories << dialog; });
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    void cleanup() { m_dlg.reset(); }

    void diskScreenAtStart() {
        QCOMPARE(m_dlg->windowTitle(), QString("QVX - NTFS Recovery"));
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));
        QCOMPARE(m_dlg->SearchMode(), kModeNone);
        QCOMPARE(m_dlg->HelpText(), u8(texts::kDiskScreenHelp));
        QCOMPARE(c().helpStrip->text(), u8(texts::kDiskScreenHelp));
        QVERIFY(c().helpStrip->wordWrap());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(!c().back->isEnabled());
        QVERIFY(!c().save->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
        QVERIFY(!c().saveLog->isEnabled());
        QVERIFY(c().help->isEnabled());
        QVERIFY(!c().standardRadio->isEnabled());
        QVERIFY(!c().advanceRadio->isEnabled());
        QVERIFY(c().refresh->isVisible());
        QVERIFY(!c().searchMore->isVisible());
        QVERIFY(!c().partitionType->isVisible());
        QVERIFY(!c().searchPanel->isVisible());
        QCOMPARE(c().save->toolTip(), QString("Save"));
        QCOMPARE(c().stopPartitionSearch->text(), QString("STOP"));
        QCOMPARE(c().stopPartitionSearch->toolTip(), QString("Stop Searching Partitions"));
        QCOMPARE(c().stopSearch->toolTip(), QString("Stop Search"));
        QCOMPARE(headings(c().mainList), QStringList({"Name", "Value"}));
        QCOMPARE(c().mainList->columnWidth(0), 242);
        QCOMPARE(c().mainList->columnWidth(1), 243);
        QCOMPARE(c().standardLabel->backgroundColor(), QColor(241, 244, 250));
        QCOMPARE(c().startSector->backgroundColor(), QColor(255, 255, 255));
        QCOMPARE(c().partitionType->count(), 4);
        QCOMPARE(c().partitionType->itemText(3), QString("UNKNOWN"));
        QTreeWidgetItem* root = m_dlg->DeviceTree()->rootItem();
        QCOMPARE(root->text(0), QString("My Computer"));
        QCOMPARE(childTexts(root), QStringList({"Fixed hard disk media (Disk0)"}));
    }

    void hoverOverDisabledRadioDoesNothing() {
        hover(c().standardRadio);
        QCOMPARE(m_dlg->SearchMode(), kModeNone);
        QVERIFY(!c().next->isEnabled());
    }

    void selectingDiskShowsDetailsAndEnablesModes() {
        clickItem(m_dlg->DeviceTree(), m_dlg->DeviceTree()->rootItem());
        QVERIFY(!c().standardRadio->isEnabled());  // "My Computer" shows nothing
        QCOMPARE(c().mainList->rowCount(), 0);
        chooseDiskAndMode(false);
        QVERIFY(c().mainList->rowCount() > 5);
        QVERIFY(c().standardRadio->isChecked());
        QVERIFY(!c().advanceRadio->isChecked());
        hover(c().advanceRadio);
        QCOMPARE(m_dlg->SearchMode(), kModeAdvance);
        QVERIFY(!c().standardRadio->isChecked());
    }

    void standardSearchOnNtfsAndBack() {
        toPartitionScreen(false);
        QCOMPARE(m_dlg->HelpText(), u8(texts::kPartitionScreenHelp));
        QVERIFY(!m_dlg->DeviceTree()->isVisible());
        QVERIFY(m_dlg->PartitionTree()->isVisible());
        QTreeWidgetItem* disk = m_dlg->PartitionTree()->rootItem();
        QCOMPARE(disk->text(0), QString("Disk 0"));
        QCOMPARE(childTexts(disk), QStringList({"Partition - 1 ( NTFS )", "Partition - 2 ( FAT32 )",
                                                "Partition - 3 ( FAT16 )", "Partition - 4 ( FAT16 )",
                                                "Partition - 5 ( NTFS )"}));
        QVERIFY(c().back->isEnabled());
        QVERIFY(c().next->isEnabled());
        QVERIFY(c().searchMore->isVisible() && c().searchMore->isEnabled());
        QVERIFY(!c().refresh->isVisible());
        QVERIFY(!c().standardRadio->isVisible());
        QCOMPARE(c().criterion->text(), QString("Standard Search "));
        QVERIFY(!c().partitionType->isEnabled());
        QVERIFY(c().startSector->isReadOnly());
        QCOMPARE(c().partitionType->currentIndex(), 2);
        QCOMPARE(c().startSector->text(), QString("2048"));
        QCOMPARE(c().endSector->text(), QString("34816"));
        QCOMPARE(c().mainList->item(0, 0)->text(), QString("1.   Disk Number :  "));
        QCOMPARE(c().mainList->item(3, 1)->text(), QString("Standard"));
        QCOMPARE(c().mainList->item(6, 1)->text(), QString("16 MB"));

        // The second partition, then back to the NTFS one.
        clickItem(m_dlg->PartitionTree(), disk->child(1));
        QCOMPARE(c().partitionType->currentIndex(), 1);
        QCOMPARE(c().mainList->item(1, 1)->text(), QString("2"));
        clickItem(m_dlg->PartitionTree(), disk->child(0));
        QCOMPARE(c().partitionType->currentIndex(), 2);
        QCOMPARE(c().mainList->item(2, 1)->text(), QString("NTFS"));

        QSignalSpy steps(m_dlg.get(), &CChildDialogExDemoDlg::stepChanged);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QVERIFY(steps.count() >= 1);
        QCOMPARE(steps.front().front().toInt(), int(kStepFileSystem));
        QVERIFY(c().searchPanel->isVisible());
        QVERIFY(!c().mainList->isVisible());
        QVERIFY(!m_dlg->PartitionTree()->isVisible());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(!c().back->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
        QCOMPARE(c().fileSystemValue->text(), QString("NTFS"));
        QCOMPARE(c().rangeValue->text(), QString("2048 to 34815"));
        QCOMPARE(c().criteriaValue->text(), QString("Standard Search "));
        QCOMPARE(c().driveValue->text(), QString("0"));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kAnalysisRunningHelp));

        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_advisories.isEmpty());
        QCOMPARE(c().directoriesLabel->text(), u8(qvx::ntfs::kMftFoundLabel));
        QVERIFY(c().directoriesValue->text().toInt() > 0);
        QVERIFY(!c().statusText->text().trimmed().isEmpty());
        QCOMPARE(c().searchProgress->windowText(), QString("Completed "));
        QVERIFY(c().searchProgress->value() > 0);
        QCOMPARE(m_dlg->HelpText(), u8(qvx::ntfs::kResultHelpText));
        QVERIFY(!c().searchPanel->isVisible());
        QVERIFY(m_dlg->FolderTree() && m_dlg->FolderTree()->isVisible());
        const QStringList top = childTexts(m_dlg->FolderTree()->rootItem());
        QVERIFY2(top.contains("Docs") && top.contains("Photos"), qPrintable(top.join(",")));
        QCOMPARE(headings(c().mainList).mid(0, 5), QStringList({"Name", "Type", "Size", "Date", "Time"}));
        QVERIFY(c().mainList->isColumnHidden(5));
        QVERIFY(c().back->isEnabled());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(c().save->isEnabled());
        QVERIFY(c().saveLog->isEnabled());
        QVERIFY(c().currentFolderLabel->isVisible());

        // Exit on the result screen offers to save the recovery first.
        m_answer = QMessageBox::No;
        QTest::mouseClick(c().exit, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({u8(texts::kSaveRecoveryQuestion), u8(texts::kExitQuestion)}));
        QVERIFY(m_dlg->isVisible());
        m_messages.clear();

        // Back to the partition screen: the same disk, the remembered partition.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_dlg->FolderTree(), nullptr);
        QCOMPARE(headings(c().mainList), QStringList({" Name", " Value"}));
        QCOMPARE(m_dlg->PartitionTree()->rootItem()->childCount(), 5);
        QVERIFY(c().next->isEnabled());
        QVERIFY(c().back->isEnabled());
        QVERIFY(c().loadLog->isEnabled());
        QVERIFY(!c().save->isEnabled());
        QCOMPARE(c().startSector->text(), QString("2048"));

        // Back to the disk screen.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));
        QCOMPARE(m_dlg->SearchMode(), kModeNone);
        QCOMPARE(m_dlg->HelpText(), u8(texts::kDiskScreenHelp));
        QCOMPARE(m_dlg->PartitionTree(), nullptr);
        QVERIFY(m_dlg->DeviceTree()->isVisible());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(!c().back->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
        QVERIFY(!c().partitionType->isVisible());
        QVERIFY(!c().standardRadio->isChecked());
        QVERIFY(c().refresh->isVisible());
        QVERIFY(m_messages.isEmpty());
    }

    void standardSearchOnFat32Finishes() {
        toPartitionScreen(false);
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(1));
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(c().fileSystemValue->text(), QString("FAT32"));
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_dlg->FolderTree()->rootItem()->childCount() > 0);
        QCOMPARE(m_dlg->HelpText().isEmpty(), false);
    }

    void stopDuringStandardSearchEndsOnResults() {
        toPartitionScreen(false);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QVERIFY(c().stopSearch->isVisible());
        QTest::mouseClick(c().stopSearch, Qt::LeftButton);
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(c().back->isEnabled());
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
    }

    void advanceSearchOnFat32ListsAndOpensFileSystems() {
        startAdvanceOnFat32();
        if (m_dlg->analysisRunning()) {
            QVERIFY(c().stopSearch->isVisible() && c().stopSearch->isEnabled());
            QVERIFY(!c().next->isEnabled());
            QVERIFY(!c().back->isEnabled());
        }
        waitForJob();
        QVERIFY(m_advisories.isEmpty());
        QVERIFY(m_messages.isEmpty());
        // The scan's counters.
        QCOMPARE(c().directoriesLabel->text(), QString("Directories Found\t\t:"));
        QVERIFY(c().directoriesValue->text().toInt() > 0);
        QVERIFY(c().bootSectorsValue->text().toInt() >= 1);
        QCOMPARE(c().directoriesValue->text().toInt(), m_dlg->state().tables.DirectoryScanTable.rowCount());
        QCOMPARE(c().statusText->text(), QString(kPhase2Status));
        QVERIFY(c().searchProgress->value() > 0);
        checkFileSystemScreen();
        const QStringList items = fileSystemItems();

        // Next opens the selected file system and shows its tree as after a Standard Search.
        QTest::mouseClick(c().next, Qt::LeftButton);
        if (m_dlg->analysisRunning()) {
            QVERIFY(!c().next->isEnabled());
            QVERIFY(!c().back->isEnabled());
        }
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_advisories.isEmpty());
        QVERIFY(!m_dlg->FileSystemTree()->isVisible());
        QVERIFY(!c().searchPanel->isVisible());
        QVERIFY(m_dlg->FolderTree() && m_dlg->FolderTree()->isVisible());
        QCOMPARE(m_dlg->FolderTree()->rootItem()->text(0), QString("Root"));
        const QStringList top = childTexts(m_dlg->FolderTree()->rootItem());
        QVERIFY2(top.contains("Docs") && top.contains("Photos"), qPrintable(top.join(",")));
        QVERIFY(m_dlg->state().FolderNodeList.itemCount() > top.size());
        QCOMPARE(m_dlg->state().ActiveVolume.fileSystemName, std::string("FAT32"));
        QCOMPARE(headings(c().mainList).mid(0, 5), QStringList({"Name", "Type", "Size", "Date", "Time"}));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kResultsHelp));
        QVERIFY(c().back->isEnabled());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(c().save->isEnabled());
        QVERIFY(c().saveLog->isEnabled());
        QVERIFY(c().currentFolderLabel->isVisible());

        // Back offers the file systems again, and Next opens the same one again.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->FolderTree(), nullptr);
        QVERIFY(!c().currentFolderLabel->isVisible());
        checkFileSystemScreen();
        QCOMPARE(fileSystemItems(), items);
        QCOMPARE(m_dlg->FileSystemTree()->currentItem(), m_dlg->FileSystemTree()->rootItem()->child(0));
        QTest::mouseClick(c().next, Qt::LeftButton);
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QCOMPARE(childTexts(m_dlg->FolderTree()->rootItem()), top);
        QVERIFY(m_advisories.isEmpty());
    }

    void advanceSearchOnNtfsOpensTheFileSystem() {
        toPartitionScreen(true);
        QCOMPARE(c().partitionType->currentIndex(), 2);
        QCOMPARE(c().startSector->text(), QString("2048"));
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QCOMPARE(c().fileSystemValue->text(), QString("NTFS"));
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(m_advisories.isEmpty());
        QVERIFY(m_dlg->FileSystemTree() && m_dlg->FileSystemTree()->isVisible());
        QCOMPARE(fileSystemItems().value(0), QString("File System 1 - NTFS"));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kFileSystemScreenHelp));
        QCOMPARE(headings(c().mainList), QStringList({"Name", "Values"}));
        QCOMPARE(c().mainList->item(1, 1)->text(), QString("NTFS"));
        QVERIFY(c().next->isEnabled() && c().back->isEnabled());

        QTest::mouseClick(c().next, Qt::LeftButton);
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_advisories.isEmpty());
        QVERIFY(m_dlg->FolderTree() && m_dlg->FolderTree()->isVisible());
        const QStringList top = childTexts(m_dlg->FolderTree()->rootItem());
        QVERIFY2(top.contains("Docs") && top.contains("Photos"), qPrintable(top.join(",")));
        QCOMPARE(m_dlg->state().ActiveVolume.fileSystemName, std::string("NTFS"));
        QVERIFY(c().save->isEnabled() && c().back->isEnabled());

        // Back twice: the file systems, then the partitions.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QCOMPARE(fileSystemItems().value(0), QString("File System 1 - NTFS"));
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_dlg->FileSystemTree(), nullptr);
        QVERIFY(m_dlg->PartitionTree()->isVisible());
    }

    void backFromFileSystemScreenReturnsToPartitions() {
        startAdvanceOnFat32();
        waitForJob();
        checkFileSystemScreen();
        const QStringList items = fileSystemItems();
        const QString start = c().startSector->text();

        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_dlg->FileSystemTree(), nullptr);
        QVERIFY(!c().searchPanel->isVisible());
        QVERIFY(m_dlg->PartitionTree()->isVisible());
        QVERIFY(c().partitionType->isVisible() && c().partitionType->isEnabled());
        QCOMPARE(c().partitionType->currentIndex(), 1);
        QCOMPARE(c().startSector->text(), start);
        QCOMPARE(headings(c().mainList), QStringList({"Name", "Value"}));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kPartitionScreenHelp));
        QVERIFY(c().next->isEnabled() && c().back->isEnabled() && c().loadLog->isEnabled());
        QCOMPARE(m_dlg->state().tables.FileSystemTable.rowCount(), 0);
        QCOMPARE(m_dlg->state().tables.DirectoryScanTable.rowCount(), 0);
        QCOMPARE(m_dlg->state().tables.BootSectorTable.rowCount(), 0);

        // A second scan of the range finds the same file systems, nothing left over from the first.
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        waitForJob();
        checkFileSystemScreen();
        QCOMPARE(fileSystemItems(), items);

        // And on to the disk screen.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));
        QVERIFY(m_dlg->DeviceTree()->isVisible());
    }

    void stopDuringAdvanceScanGoesOnWithWhatWasFound() {
        startAdvanceOnFat32();
        if (m_dlg->analysisRunning()) {
            QVERIFY(c().stopSearch->isVisible() && c().stopSearch->isEnabled());
            QTest::mouseClick(c().stopSearch, Qt::LeftButton);
            QVERIFY(!c().stopSearch->isEnabled());
            QCOMPARE(c().statusText->text(), QString("Stopping..."));
        }
        waitForJob();
        QVERIFY(!m_dlg->analysisRunning());
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        // The identification ran over what the scan had collected.
        QCOMPARE(c().statusText->text(), QString(kPhase2Status));
        QVERIFY(!c().stopSearch->isVisible());
        QVERIFY(c().back->isEnabled());
        if (m_dlg->state().tables.FileSystemTable.rowCount() > 0) {
            QVERIFY(m_advisories.isEmpty());
            checkFileSystemScreen();
        } else {
            // Nothing identified in what was collected.
            QCOMPARE(m_advisories, QStringList({"CAdvanceDlg"}));
            QCOMPARE(m_dlg->HelpText(), u8(qvx::engine::kNoFileSystemMessage));
            QVERIFY(!c().next->isEnabled());
            QVERIFY(m_dlg->FileSystemTree() == nullptr);
        }
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QVERIFY(c().next->isEnabled());
    }

    void advanceScanOfAnEmptyRangeFindsNothing() {
        toPartitionScreen(true);
        c().partitionType->setCurrentIndex(1);
        c().startSector->setText("0");
        c().endSector->setText("1");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QCOMPARE(m_advisories, QStringList({"CAdvanceDlg"}));
        QCOMPARE(u8(texts::kAdvanceNotPossible), u8(qvx::engine::kNoFileSystemAdvisory));
        QCOMPARE(m_dlg->HelpText(), u8(qvx::engine::kNoFileSystemMessage));
        QVERIFY(m_dlg->FileSystemTree() == nullptr);
        QVERIFY(!c().next->isEnabled());
        QVERIFY(c().back->isEnabled());
        QTest::mouseClick(c().next, Qt::LeftButton);  // disabled: nothing happens
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
    }

    void advanceModeEditsAndValidation() {
        toPartitionScreen(true);
        QCOMPARE(c().criterion->text(), QString("Advance Search"));
        QVERIFY(c().partitionType->isEnabled());
        QVERIFY(!c().startSector->isReadOnly());
        QCOMPARE(c().mainList->item(1, 1)->text(), QString("Advance"));

        c().startSector->setText("12x");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({"Start sector is not valid"}));
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QVERIFY(!m_dlg->analysisRunning());
        QVERIFY(c().next->isEnabled() && c().back->isEnabled() && c().loadLog->isEnabled());

        m_messages.clear();
        c().startSector->setText("2048");
        c().endSector->setText("");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({"Ending sector is not valid"}));

        m_messages.clear();
        c().endSector->setText("34816");
        c().partitionType->setCurrentIndex(3);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({"Select partition type"}));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kUnknownKindAdvanceHelp));
        QVERIFY(c().next->isEnabled() && c().back->isEnabled());

        // A valid range moves to the search panel and starts the scan, during
        // which neither Next nor Back leads anywhere; Back after it returns
        // with the inputs restored.
        c().partitionType->setCurrentIndex(2);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(c().searchPanel->isVisible());
        QCOMPARE(m_dlg->HelpText(), u8(texts::kAnalysisRunningHelp));
        if (m_dlg->analysisRunning()) {
            QVERIFY(!c().back->isEnabled());
            QVERIFY(!c().next->isEnabled());
        }
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(c().back->isEnabled());
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QVERIFY(!c().searchPanel->isVisible());
        QVERIFY(c().partitionType->isVisible());
        QCOMPARE(c().startSector->text(), QString("2048"));
        QVERIFY(c().next->isEnabled());
    }

    void emptyRangeInStandardSearchShowsAdvisory() {
        toPartitionScreen(false);
        // The read-only boxes still hold text a user cannot type; an empty range is refused.
        c().endSector->setText("2048");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_advisories, QStringList({"CMsgStand"}));
        QCOMPARE(m_dlg->HelpText(), u8(texts::kStandardNotPossibleHelp));
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QVERIFY(c().back->isEnabled());
    }

    void searchMorePartitionsAndStop() {
        toPartitionScreen(false);
        QTest::mouseClick(c().searchMore, Qt::LeftButton);
        QCOMPARE(m_dlg->HelpText(), u8(qvx::partition::kSearchStartHelp));
        QVERIFY(!c().searchMore->isVisible());
        QVERIFY(c().stopPartitionSearch->isVisible());
        QVERIFY(c().partitionSearchProgress->isVisible());
        QVERIFY(!c().next->isEnabled());
        QVERIFY(!c().back->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
        // No: the search goes on. Yes: it stops and keeps what it found.
        if (m_dlg->partitionSearchRunning()) {
            m_answer = QMessageBox::No;
            QTest::mouseClick(c().stopPartitionSearch, Qt::LeftButton);
            QCOMPARE(m_messages, QStringList({u8(qvx::partition::kStopSearchQuestion)}));
            m_answer = QMessageBox::Yes;
            QTest::mouseClick(c().stopPartitionSearch, Qt::LeftButton);
        }
        waitForJob();
        QVERIFY(c().searchMore->isVisible());
        QVERIFY(!c().stopPartitionSearch->isVisible());
        QVERIFY(!c().partitionSearchProgress->isVisible());
        QVERIFY(c().next->isEnabled() && c().back->isEnabled() && c().loadLog->isEnabled());
        QVERIFY(m_dlg->PartitionTree()->rootItem()->childCount() >= 5);
        QVERIFY(m_dlg->HelpText() == u8(qvx::partition::kSearchDoneHelp) ||
                m_dlg->HelpText() == u8(qvx::partition::kSearchStoppedHelp));
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));
    }

    void corruptedTableStartsTheSearchOnNext() {
        const QString nearEnd = QStringLiteral(QVX_IMAGES_DIR "/near-end.img");
        if (!QFile::exists(nearEnd)) QSKIP("near-end.img not built");
        m_dlg.reset();
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {nearEnd.toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        m_dlg = std::make_unique<CChildDialogExDemoDlg>(options);
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon) {
            m_messages << text;
            return m_answer;
        });
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
        toPartitionScreen(false);
        QCOMPARE(m_dlg->PartitionsListed(), 1);
        waitForJob();
        // The failure path, not the button, started the search: its end set the help text.
        QVERIFY(c().searchMore->isVisible());
        QVERIFY(c().next->isEnabled() && c().back->isEnabled());
        QVERIFY(m_dlg->PartitionTree()->rootItem()->childCount() >= 1);
        QCOMPARE(m_dlg->PartitionTree()->rootItem()->child(0)->text(0), QString("Partition - 1 ( FAT16 )"));
        QCOMPARE(m_dlg->HelpText(), u8(qvx::partition::kSearchDoneHelp));
    }

    void unreadableDiskIsReportedOnNext() {
        QTemporaryDir dir;
        const QString path = dir.filePath("gone.img");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.resize(1 << 20);
        }
        m_dlg.reset();
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {path.toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        m_dlg = std::make_unique<CChildDialogExDemoDlg>(options);
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon icon) {
            m_messages << text;
            [&] { QCOMPARE(icon, QMessageBox::Critical); }();
            return m_answer;
        });
        m_dlg->show();
        QVERIFY(QFile::remove(path));
        chooseDiskAndMode(false);
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.front().contains("gone.img"), qPrintable(m_messages.front()));
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));
        QVERIFY(m_dlg->DeviceTree()->isVisible());
    }

    void exitAnsweredNoKeepsTheWindow() {
        m_answer = QMessageBox::No;
        QTest::mouseClick(c().exit, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({u8(texts::kExitQuestion)}));
        QVERIFY(m_dlg->isVisible());
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
        QVERIFY(m_dlg->isVisible());
    }

    void refreshListResetsModes() {
        chooseDiskAndMode(false);
        QTest::mouseClick(c().refresh, Qt::LeftButton);
        QVERIFY(!c().standardRadio->isEnabled());
        QVERIFY(!c().standardRadio->isChecked());
        QVERIFY(!c().next->isEnabled());
        QCOMPARE(c().mainList->rowCount(), 0);
        QCOMPARE(m_dlg->DeviceTree()->rootItem()->childCount(), 1);
    }

    void jobStopsCooperativelyAndCoalescesReports() {
        JobRunner job;
        QSignalSpy finished(&job, &JobRunner::finished);
        QStringList statuses;
        QStringList helps;
        connect(&job, &JobRunner::statusText, this, [&](const QString& t) { statuses << t; });
        connect(&job, &JobRunner::helpText, this, [&](const QString& t) { helps << t; });
        std::atomic<int> reports{0};
        QVERIFY(job.start([&](std::stop_token stop, qvx::util::ProgressSink& progress) {
            progress.setHelpText("started");
            while (!stop.stop_requested()) progress.setStatusText("Sectors  " + std::to_string(++reports) + " of 0");
            progress.setHelpText("stopped");
        }));
        QVERIFY(!job.start([](std::stop_token, qvx::util::ProgressSink&) {}));  // one job at a time
        QTRY_VERIFY(reports.load() > 20000);
        QVERIFY(job.running());
        job.requestStop();
        QVERIFY(finished.wait(10000));
        QVERIFY(!job.running());
        QCOMPARE(helps, QStringList({"started", "stopped"}));
        // Only the latest status is delivered, never one signal per report.
        QVERIFY(!statuses.isEmpty());
        QVERIFY(statuses.size() < reports.load() / 10);
        QCOMPARE(statuses.back(), QString("Sectors  %1 of 0").arg(reports.load()));

        // An abandoned job is waited for and delivers nothing more.
        finished.clear();
        helps.clear();
        QVERIFY(job.start([](std::stop_token stop, qvx::util::ProgressSink& progress) {
            while (!stop.stop_requested()) std::this_thread::yield();
            progress.setHelpText("late");
        }));
        job.abandon();
        QTest::qWait(50);
        QVERIFY(finished.isEmpty());
        QVERIFY(helps.isEmpty());
    }

    void splashEndsAfterTwoSeconds() {
        CSplash splash;
        QCOMPARE(splash.windowTitle(), QString("QVX - NTFS Recovery"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(splash.exec(), int(QDialog::Rejected));
        QVERIFY(clock.elapsed() >= 1900);
        QVERIFY(clock.elapsed() < 10000);
    }

    void controlsAndShellHelpers() {
        QCOMPARE(fromColorRef(0xFAF4F1), QColor(241, 244, 250));
        QCOMPARE(fromColorRef(0xFF0000), QColor(0, 0, 255));
        CTextProgressCtrl bar;
        bar.setWindowText("Completed ");
        bar.setValue(42);
        QCOMPARE(bar.displayText(), QString("Completed 42%"));
        bar.setShowPercent(false);
        QCOMPARE(bar.displayText(), QString("Completed "));
        QCOMPARE(helpFilePath("/opt/qvx/bin/qvx-gui"), QString("/opt/qvx/bin/Software Guide.chm"));
        QCOMPARE(helpFilePath("qvx-gui"), QString("/Software Guide.chm"));
        const QString mail = contactMailUrl().toString();
        QVERIFY(mail.startsWith("mailto:support@qvx-recovery.example"));
        QVERIFY(mail.contains("QVX - NTFS Recovery Question") || mail.contains("QVX%20-%20NTFS%20Recovery%20Question"));
    }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
