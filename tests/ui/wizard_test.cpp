// The wizard window on the offscreen platform over the generated demo disk
// (NTFS, FAT32 and FAT16 primaries, FAT16 and NTFS logical drives): the
// screens, help texts and enabled states along the Standard Search and the
// Advance Search paths, the validation messages, the lost partition search,
// Stop and Back from each screen.

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "disk/sector_reader.h"
#include "engine/advance_search.h"
#include "ntfs/standard_search.h"
#include "partition/partition_search.h"
#include "session/session_log.h"
#include "ui/DialogEx.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/save_flow.h"
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

/// The item's check box, as the style places it in the item's row.
void clickCheckBox(QTreeWidget* tree, QTreeWidgetItem* item) {
    QVERIFY(item);
    tree->scrollToItem(item);
    const QRect rect = tree->visualItemRect(item);
    QStyleOptionViewItem opt;
    opt.initFrom(tree->viewport());
    opt.rect = rect;
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                   QStyleOptionViewItem::HasDecoration;
    opt.decorationSize = tree->iconSize();
    opt.text = item->text(0);
    opt.checkState = item->checkState(0);
    const QRect box = tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, tree);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, box.center());
}

/// Every item under item as "indent + text", depth first.
void dumpTree(const QTreeWidgetItem* item, int depth, QStringList& out) {
    out << QString(depth * 2, ' ') + item->text(0);
    for (int i = 0; i < item->childCount(); ++i) dumpTree(item->child(i), depth + 1, out);
}

QTreeWidgetItem* childNamed(QTreeWidgetItem* parent, const QString& text) {
    for (int i = 0; parent && i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == text) return parent->child(i);
    return nullptr;
}

/// "file VOLUME STATE SIZE SHA256 /PATH" lines of the image's manifest.
struct ManifestFile {
    QString path;
    bool deleted = false;
    qint64 size = 0;
    QByteArray sha;
};
QList<ManifestFile> manifestFiles(int volume) {
    QList<ManifestFile> out;
    QFile f(QStringLiteral(QVX_IMAGES_DIR "/demo.img.manifest"));
    if (!f.open(QIODevice::ReadOnly)) return out;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        const QStringList parts = line.split(' ');
        if (parts.size() < 6 || parts[0] != "file" || parts[1].toInt() != volume) continue;
        out.push_back({parts.mid(5).join(' '), parts[2] == "deleted", parts[3].toLongLong(), parts[4].toLatin1()});
    }
    return out;
}

QByteArray sha256Of(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
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
    QStringList m_confirmations;  // "Save N files, X MB -> folder?", answered Yes
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
        m_confirmations.clear();
        m_advisories.clear();
        m_answer = QMessageBox::No;
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {kDemo.toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        m_dlg = std::make_unique<CChildDialogExDemoDlg>(options);
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon icon) {
            if (icon == QMessageBox::Question && text.startsWith("Save ")) {
                m_confirmations << text;
                return int(QMessageBox::Yes);
            }
            m_messages << text;
            return m_answer;
        });
        m_dlg->setAdvisoryHook([this](const QString& dialog) { m_advisories << dialog; });
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    void cleanup() { m_dlg.reset(); }

    void saveConfirmationCountsOverwrittenDeletedFiles() {
        const QString plain = SaveFlow::confirmationText(3, 5u << 20, "/tmp/out");
        QVERIFY(plain.startsWith("Save 3 files, "));
        QVERIFY(!plain.contains("overwritten"));
        const QString told = SaveFlow::confirmationText(3, 5u << 20, "/tmp/out", 1, 2);
        QVERIFY(told.startsWith(plain));
        QVERIFY(told.contains("1 is overwritten and 2 partly overwritten"));
    }

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
        // An image's node names the file and its size.
        QCOMPARE(root->childCount(), 1);
        QVERIFY2(QRegularExpression("^demo\\.img, [0-9.]+ [MG]B \\(Disk0\\)$").match(root->child(0)->text(0)).hasMatch(),
                 qPrintable(root->child(0)->text(0)));
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

    // ---------------------------------------------------------------- result screen

    /// Standard Search of the demo's partition (1-based) up to the result screen.
    void searchPartition(int partition) {
        toPartitionScreen(false);
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(partition - 1));
        QTest::mouseClick(c().next, Qt::LeftButton);
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_dlg->FolderTree());
    }

    /// A click on the item's label; waits for ListingThread.
    void listByClick(QTreeWidgetItem* item) {
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        clickItem(m_dlg->FolderTree(), item);
        if (m_dlg->listingRunning()) {
            // The window waits behind the populating dialog.
            QVERIFY(m_dlg->populateDialog()->isVisible());
            QVERIFY(!m_dlg->isEnabled());
        }
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1, 60000);
        QVERIFY(!m_dlg->listingRunning());
        QVERIFY(m_dlg->isEnabled());
        QVERIFY(!m_dlg->populateDialog()->isVisible());
    }

    /// Rows of the file list as "name|type|size".
    QStringList listRows() const {
        QStringList out;
        const QTableWidget* list = c().mainList;
        for (int r = 0; r < list->rowCount(); ++r)
            out << list->item(r, 0)->text() + "|" + list->item(r, 1)->text() + "|" + list->item(r, 2)->text();
        return out;
    }

    void checkDateTimes(bool fat) {
        const QRegularExpression date(fat ? "^\\d{2}-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\\d{4}$"
                                          : "^\\d{1,2}-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\\d{4}$");
        const QRegularExpression time(fat ? "^\\d{2}:\\d{2}$" : "^\\d{1,2}:\\d{1,2}:\\d{1,2}$");
        const QTableWidget* list = c().mainList;
        for (int r = 0; r < list->rowCount(); ++r) {
            QVERIFY2(date.match(list->item(r, 3)->text()).hasMatch(), qPrintable(list->item(r, 3)->text()));
            QVERIFY2(time.match(list->item(r, 4)->text()).hasMatch(), qPrintable(list->item(r, 4)->text()));
        }
    }

    void ntfsFolderListing() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QCOMPARE(root->text(0), QString("Root"));
        QCOMPARE(root->data(0, Qt::UserRole + 1).toInt(), 2);
        QCOMPARE(root->checkState(0), Qt::Unchecked);
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        QVERIFY(docs);
        QCOMPARE(docs->data(0, Qt::UserRole + 1).toInt(), 4);
        QCOMPARE(c().currentFolder->text(), QString("Root"));

        listByClick(docs);
        QCOMPARE(c().currentFolder->text(), QString("Docs"));
        QCOMPARE(docs->data(0, Qt::UserRole + 1).toInt(), 5);
        QCOMPARE(tree->currentItem(), docs);
        const QStringList docsRows = listRows();
        QCOMPARE(docsRows.size(), 8);
        QCOMPARE(docsRows.front(), QString("Reports|FOLDER|0"));  // folder rows first
        // The alternate data stream is listed as "file:stream".
        QVERIFY(docsRows.indexOf(QRegularExpression("^small\\.txt:Zone\\.Identifier\\|.*\\|64$")) > 0);
        QVERIFY(docsRows.contains("small.txt|Text file|100"));
        QVERIFY(docsRows.contains("Thirteen_.txt|Text file|1300"));
        QVERIFY(docsRows.contains("Twenty_six_chars_name1.txt|Text file|2600"));
        QVERIFY(docsRows.contains(QString::fromUtf8("Caf\u00e9_menu.txt|Text file|321")));
        QVERIFY(docsRows.contains("old_draft.txt|Deleted File|5000"));
        QVERIFY(docsRows.contains("empty.txt|Text file|0"));
        checkDateTimes(false);
        QVERIFY(!c().mainList->item(0, 0)->icon().isNull());
        QVERIFY(!c().mainList->item(1, 0)->icon().isNull());

        // Sorting by Size is numeric; clicking again reverses it.
        c().mainList->horizontalHeader()->sectionClicked(2);
        QStringList sizes;
        for (int r = 0; r < c().mainList->rowCount(); ++r) sizes << c().mainList->item(r, 2)->text();
        QCOMPARE(sizes, QStringList({"0", "0", "64", "100", "321", "1300", "2600", "5000"}));
        c().mainList->horizontalHeader()->sectionClicked(2);
        QCOMPARE(c().mainList->item(0, 2)->text(), QString("5000"));
        c().mainList->horizontalHeader()->sectionClicked(0);
        QStringList names;
        for (int r = 0; r < c().mainList->rowCount(); ++r) names << c().mainList->item(r, 0)->text();
        QStringList sortedNames = names;
        std::sort(sortedNames.begin(), sortedNames.end());
        QCOMPARE(names, sortedNames);

        // Another folder: the one listed before becomes "previously listed".
        QTreeWidgetItem* trash = childNamed(root, "Trash");
        QVERIFY(trash);
        listByClick(trash);
        QCOMPARE(docs->data(0, Qt::UserRole + 1).toInt(), 3);
        QCOMPARE(trash->data(0, Qt::UserRole + 1).toInt(), 5);
        QCOMPARE(listRows(), QStringList({"Inner|Deleted FOLDER|0", "letter.txt|Deleted File|1500"}));

        // A second listing replaces one still running: only its rows are shown.
        {
            QSignalSpy both(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
            m_dlg->listFolder(docs);
            m_dlg->listFolder(trash);
            QTRY_VERIFY_WITH_TIMEOUT(both.count() >= 1 && !m_dlg->listingRunning(), 60000);
            QCOMPARE(c().currentFolder->text(), QString("Trash"));
            QCOMPARE(listRows(), QStringList({"Inner|Deleted FOLDER|0", "letter.txt|Deleted File|1500"}));
            QVERIFY(m_dlg->isEnabled());
        }

        // Double click on a folder row opens it.
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        c().mainList->cellDoubleClicked(0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1, 60000);
        QCOMPARE(c().currentFolder->text(), QString("Trash\\Inner"));
        QCOMPARE(listRows(), QStringList({"notes_deleted.txt|Deleted File|3000", "tiny.txt|Deleted File|10"}));

        // The root lists its folders ("Trash" deleted) and files.
        listByClick(root);
        const QStringList rootRows = listRows();
        QVERIFY(rootRows.contains("Trash|Deleted FOLDER|0"));
        QVERIFY(rootRows.contains("README.TXT|Text file|45"));
        const int misc = static_cast<int>(rootRows.indexOf(QRegularExpression("^QVX_Miscellaneous\\|FOLDER\\|0$")));
        QVERIFY(misc >= 0);
        QVERIFY(misc < rootRows.indexOf("README.TXT|Text file|45"));
        // The listing thread shows the current date on "QVX_Miscellaneous".
        QCOMPARE(c().mainList->item(misc, 3)->text(), QDate::currentDate().toString("dd-") +
                                                           QLocale::c().toString(QDate::currentDate(), "MMM") +
                                                           QDate::currentDate().toString("-yyyy"));

        // Keys: Down lists the next item; Enter does nothing.
        tree->setFocus();
        tree->setCurrentItem(docs);
        QSignalSpy keyDone(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::keyClick(tree, Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(keyDone.count() >= 1, 60000);
        QCOMPARE(c().currentFolder->text(), tree->currentItem()->text(0));
        QTest::keyClick(tree, Qt::Key_Return);
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QTest::keyClick(tree, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(c().mainList));
        QTest::keyClick(c().mainList, Qt::Key_F6);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(tree));

        // Right on a collapsed folder expands it and lists it there and then.
        QTreeWidgetItem* photos = childNamed(root, "Photos");
        photos->setExpanded(false);
        tree->setCurrentItem(photos);
        QTest::keyClick(tree, Qt::Key_Right);
        QVERIFY(photos->isExpanded());
        QCOMPARE(c().currentFolder->text(), QString("Photos"));
        QCOMPARE(listRows(), QStringList({"Holiday|FOLDER|0", "readme.txt|Text file|700"}));
        QCOMPARE(photos->data(0, Qt::UserRole + 1).toInt(), 5);
        // Left collapses it; a later expansion does not list.
        QTest::keyClick(tree, Qt::Key_Left);
        QVERIFY(!photos->isExpanded());
        QTreeWidgetItem* trashItem = childNamed(root, "Trash");
        trashItem->setExpanded(true);
        QCOMPARE(c().currentFolder->text(), QString("Photos"));
    }

    void checkBoxesPropagate() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        QTreeWidgetItem* reports = childNamed(docs, "Reports");
        QTreeWidgetItem* y2009 = childNamed(reports, "2009");
        QVERIFY(y2009);
        docs->setExpanded(true);
        reports->setExpanded(true);

        clickCheckBox(tree, reports);
        QCOMPARE(reports->checkState(0), Qt::Checked);
        QCOMPARE(y2009->checkState(0), Qt::Checked);
        QCOMPARE(docs->checkState(0), Qt::Checked);  // its only child
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(m_dlg->state().FolderNodeList.checkState(root->data(0, Qt::UserRole).toInt()),
                 qvx::records::CheckState::Partial);
        // The check box click selects but does not list.
        QVERIFY(!m_dlg->listingRunning());
        QCOMPARE(c().currentFolder->text(), QString("Root"));

        // A partly checked item is unchecked with everything under it.
        clickCheckBox(tree, root);
        QCOMPARE(root->checkState(0), Qt::Unchecked);
        QCOMPARE(docs->checkState(0), Qt::Unchecked);
        QCOMPARE(y2009->checkState(0), Qt::Unchecked);

        clickCheckBox(tree, root);
        QCOMPARE(root->checkState(0), Qt::Checked);
        QCOMPARE(y2009->checkState(0), Qt::Checked);
        clickCheckBox(tree, y2009);
        QCOMPARE(y2009->checkState(0), Qt::Unchecked);
        QCOMPARE(reports->checkState(0), Qt::Unchecked);
        QCOMPARE(docs->checkState(0), Qt::Unchecked);  // Reports is its only folder
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);
        // Unchecking the last checked child unchecks the parent.
        for (int i = 0; i < root->childCount(); ++i)
            if (root->child(i)->checkState(0) == Qt::Checked) clickCheckBox(tree, root->child(i));
        QCOMPARE(root->checkState(0), Qt::Unchecked);
    }

    void fat32FolderListingNamesLazily() {
        searchPartition(2);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        QVERIFY2(docs, qPrintable(childTexts(root).join(",")));
        QCOMPARE(docs->childCount(), 1);
        // Sub-folders are named when their parent's directory is read.
        QVERIFY2(docs->child(0)->text(0) != "Reports", qPrintable(docs->child(0)->text(0)));
        listByClick(docs);
        QCOMPARE(docs->child(0)->text(0), QString("Reports"));
        const QStringList rows = listRows();
        QCOMPARE(rows.front(), QString("Reports|FOLDER|0"));
        QVERIFY(rows.contains("small.txt|Text file|100"));  // the short name shown with its case flags
        QVERIFY(rows.contains("old_draft.txt|Deleted File|5000"));
        checkDateTimes(true);

        // First expansion of Reports names its sub-folder.
        QTreeWidgetItem* reports = docs->child(0);
        QVERIFY(reports->child(0)->text(0) != "2009");
        reports->setExpanded(true);
        QCOMPARE(reports->child(0)->text(0), QString("2009"));

        listByClick(childNamed(root, "Trash"));
        QVERIFY(listRows().contains("Inner|Deleted FOLDER|0"));
        // "QVX_Miscellaneous" has no directory: no file rows.
        listByClick(childNamed(root, "QVX_Miscellaneous"));
        for (int r = 0; r < c().mainList->rowCount(); ++r)
            QVERIFY(c().mainList->item(r, 1)->text().endsWith("FOLDER"));
    }

    void saveCheckedItemsWritesTheirContents() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        QTreeWidgetItem* holiday = childNamed(childNamed(root, "Photos"), "Holiday");
        QVERIFY(docs && holiday);
        clickCheckBox(tree, docs);
        root->child(root->indexOfChild(holiday->parent()))->setExpanded(true);
        clickCheckBox(tree, holiday);
        // Holiday is the only folder of Photos, which is then checked as a whole.
        QCOMPARE(holiday->parent()->checkState(0), Qt::Checked);
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);

        QTemporaryDir out;
        int asked = 0;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest request) {
            ++asked;
            return request == CChildDialogExDemoDlg::PathRequest::SaveDestination ? out.path() : QString();
        });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().save, Qt::LeftButton);
        QCOMPARE(asked, 1);
        QVERIFY(m_dlg->saveRunning() || done.count() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QVERIFY(!m_dlg->saveRunning());
        QCOMPARE(m_dlg->savingDialog(), nullptr);
        QCOMPARE(m_messages.size(), 1);
        // One confirmation named the count, the size and the folder.
        QCOMPARE(m_confirmations.size(), 1);
        QVERIFY2(QRegularExpression("^Save \\d+ files, [0-9.]+ MB \u2192 .+\\?$").match(m_confirmations[0]).hasMatch(),
                 qPrintable(m_confirmations[0]));
        QVERIFY(m_confirmations[0].endsWith(out.path() + "?"));

        int compared = 0;
        for (const ManifestFile& f : manifestFiles(1)) {
            const bool selected = f.path.startsWith("/Docs/") || f.path.startsWith("/Photos/");
            const QString written = out.path() + f.path;
            if (!selected) {
                QVERIFY2(!QFile::exists(written), qPrintable(f.path));
                continue;
            }
            if (f.deleted && !QFile::exists(written)) continue;  // a deleted file may be gone
            QVERIFY2(QFile::exists(written), qPrintable(f.path));
            QCOMPARE(QFileInfo(written).size(), f.size);
            if (!f.deleted) QCOMPARE(sha256Of(written), f.sha);
            ++compared;
        }
        QVERIFY(compared >= 10);
        QVERIFY(!QFile::exists(out.path() + "/README.TXT"));
    }

    void saveAgainAsksToReplace() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* docs = childNamed(tree->rootItem(), "Docs");
        clickCheckBox(tree, docs);
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QStringList dialogs;
        int answer = CReplaceDlg::Skip;
        m_dlg->setDialogHook([&](const QString& caption) {
            dialogs << caption;
            return answer;
        });
        auto save = [&] {
            QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
            QTest::mouseClick(c().save, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        };
        save();
        QVERIFY(dialogs.isEmpty());  // nothing there yet
        const QString small = out.path() + "/Docs/small.txt";
        const QByteArray original = sha256Of(small);
        QVERIFY(!original.isEmpty());
        QFile f(small);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("changed");
        f.close();

        // Skip keeps what is there.
        save();
        QCOMPARE(dialogs, QStringList({"Replace File Confirmation"}));
        QCOMPARE(QFileInfo(small).size(), qint64(7));
        // Overwrite writes the recovered contents again.
        answer = CReplaceDlg::Overwrite;
        save();
        QCOMPARE(sha256Of(small), original);
        // Rename writes the folder the dialog names as a new folder beside
        // it; the one there is left as it is.
        const QStringList docsBefore = QDir(out.path() + "/Docs").entryList(QDir::Files);
        answer = CReplaceDlg::Rename;
        save();
        QCOMPARE(QDir(out.path() + "/Docs").entryList(QDir::Files), docsBefore);
        QVERIFY(QDir(out.path() + "/Docs (1)").exists());
        QCOMPARE(sha256Of(out.path() + "/Docs (1)/small.txt"), original);
        QCOMPARE(sha256Of(small), original);
        // Again: the next free name.
        save();
        QVERIFY(QDir(out.path() + "/Docs (2)").exists());
        QCOMPARE(QDir(out.path() + "/Docs").entryList(QDir::Files), docsBefore);
        // Cancel saves nothing.
        answer = CReplaceDlg::Cancel;
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        const int before = int(QDir(out.path() + "/Docs").entryList(QDir::Files).size());
        m_messages.clear();
        QTest::mouseClick(c().save, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QCOMPARE(int(QDir(out.path() + "/Docs").entryList(QDir::Files).size()), before);
        QVERIFY(!QDir(out.path() + "/Docs (3)").exists());
        QVERIFY(m_messages.isEmpty());
        QVERIFY(c().save->isEnabled() && c().back->isEnabled());

        // A destination that cannot be a folder.
        dialogs.clear();
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return small + "/below"; });
        save();
        QCOMPARE(dialogs, QStringList({"Error Writing Destination"}));
        QVERIFY(tree->isEnabled());
    }

    void listContextMenuSaveAll() {
        searchPartition(1);
        listByClick(childNamed(m_dlg->FolderTree()->rootItem(), "Docs"));
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QStringList offered;
        // Picks "Save All" once the menu is up.
        std::function<void()> pick = [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) {
                QTimer::singleShot(20, pick);
                return;
            }
            for (QAction* a : menu->actions()) {
                if (a->isSeparator()) continue;
                offered << a->text();
                if (a->text() == "Save All") menu->setActiveAction(a);
            }
            QTest::keyClick(menu, Qt::Key_Return);
        };
        QTimer::singleShot(0, pick);
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        emit c().mainList->customContextMenuRequested(c().mainList->visualItemRect(c().mainList->item(1, 0)).center());
        QCOMPARE(offered, QStringList({"Open", "Save", "Save All"}));
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        for (const ManifestFile& f : manifestFiles(1)) {
            if (!f.path.startsWith("/Docs/") || f.deleted) continue;
            QVERIFY2(QFile::exists(out.path() + f.path), qPrintable(f.path));
            QCOMPARE(sha256Of(out.path() + f.path), f.sha);
        }
    }

    /// Opens the list's (or the tree's) context menu at pos and picks text.
    void pickFromMenu(QAbstractScrollArea* view, QPoint pos, const QString& text) {
        std::function<void()> pick = [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) {
                QTimer::singleShot(20, pick);
                return;
            }
            for (QAction* a : menu->actions())
                if (a->text() == text) menu->setActiveAction(a);
            QTest::keyClick(menu, Qt::Key_Return);
        };
        QTimer::singleShot(0, pick);
        emit view->customContextMenuRequested(pos);
    }

    int rowNamed(const QString& name) const {
        for (int r = 0; r < c().mainList->rowCount(); ++r)
            if (c().mainList->item(r, 0)->text() == name) return r;
        return -1;
    }

    void saveWithNothingMarkedSaysSo() {
        searchPartition(1);
        listByClick(childNamed(m_dlg->FolderTree()->rootItem(), "Docs"));
        c().mainList->selectRow(rowNamed("small.txt"));
        int asked = 0;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) {
            ++asked;
            return QString();
        });
        QTest::mouseClick(c().save, Qt::LeftButton);
        QCOMPARE(asked, 0);
        QCOMPARE(m_messages, QStringList({u8(texts::kNothingMarked)}));
        QVERIFY(!m_dlg->saveRunning());
    }

    void contextMenuSaveSavesTheClickedRow() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        // Something else is marked: the menu still saves the row it was opened on.
        clickCheckBox(tree, childNamed(tree->rootItem(), "Photos"));
        listByClick(childNamed(tree->rootItem(), "Docs"));
        const int row = rowNamed("small.txt");
        QVERIFY(row >= 0);
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        pickFromMenu(c().mainList, c().mainList->visualItemRect(c().mainList->item(row, 0)).center(), "Save");
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QCOMPARE(sha256Of(out.path() + "/Docs/small.txt"),
                 QByteArray("736fbf760113c93f85af58e486185850f881ca997f5dca76dbadcd9c59fa1499"));
        QVERIFY(!QFile::exists(out.path() + "/Docs/Thirteen_.txt"));
        QVERIFY(!QDir(out.path() + "/Photos").exists());
        QCOMPARE(m_confirmations.size(), 1);
        QVERIFY(m_confirmations[0].startsWith("Save 1 file, "));

        // The tree's menu saves the folder it was opened on.
        QTemporaryDir out2;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out2.path(); });
        QTreeWidgetItem* trash = childNamed(tree->rootItem(), "Trash");
        QSignalSpy done2(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        pickFromMenu(tree, tree->visualItemRect(trash).center(), "Save");
        QTRY_VERIFY_WITH_TIMEOUT(done2.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QVERIFY(QFile::exists(out2.path() + "/Trash/letter.txt"));
        QVERIFY(!QDir(out2.path() + "/Photos").exists());
        // The summary offers the folder: "Open folder" opens it.
        QList<QUrl> opened;
        setShellOpenHandler([&](const QUrl& url) { opened << url; });
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon icon) {
            if (icon == QMessageBox::Question) return int(QMessageBox::Yes);
            m_messages << text;
            return int(QMessageBox::Open);
        });
        QTemporaryDir out3;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out3.path(); });
        QSignalSpy done3(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        pickFromMenu(tree, tree->visualItemRect(trash).center(), "Save");
        QTRY_VERIFY_WITH_TIMEOUT(done3.count() >= 1 && !m_dlg->saveRunning(), 120000);
        setShellOpenHandler([](const QUrl&) {});
        QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(out3.path())}));
        // The destination is remembered for the next save.
        QSettings settings(m_dlg->settingsPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("save/lastDestination").toString(), out3.path());
    }

    void fileRowsAreMarkable() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        listByClick(docs);
        const int small = rowNamed("small.txt");
        QVERIFY(small >= 0);
        QTableWidgetItem* cell = c().mainList->item(small, 0);
        QVERIFY(cell->flags() & Qt::ItemIsUserCheckable);
        QCOMPARE(cell->checkState(), Qt::Unchecked);
        // Space on the current row marks it; the folder above is partly marked.
        c().mainList->setFocus();
        c().mainList->setCurrentCell(small, 0);
        QTest::keyClick(c().mainList, Qt::Key_Space);
        QCOMPARE(cell->checkState(), Qt::Checked);
        QCOMPARE(docs->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);
        // A click on the partly marked folder's box unmarks it with all its
        // rows; a second marks all its rows; unmarking one row leaves the
        // folder partly marked.
        clickCheckBox(tree, docs);
        QCOMPARE(docs->checkState(0), Qt::Unchecked);
        QCOMPARE(cell->checkState(), Qt::Unchecked);
        clickCheckBox(tree, docs);
        QCOMPARE(docs->checkState(0), Qt::Checked);
        for (int r = 0; r < c().mainList->rowCount(); ++r) QCOMPARE(c().mainList->item(r, 0)->checkState(), Qt::Checked);
        const int thirteen = rowNamed("Thirteen_.txt");
        c().mainList->item(thirteen, 0)->setCheckState(Qt::Unchecked);  // as a click on its box
        QCOMPARE(docs->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(c().mainList->item(small, 0)->checkState(), Qt::Checked);
        // Save writes Docs without that file.
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().save, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QVERIFY(QFile::exists(out.path() + "/Docs/small.txt"));
        QVERIFY(QFile::exists(out.path() + "/Docs/Reports"));
        QVERIFY(!QFile::exists(out.path() + "/Docs/Thirteen_.txt"));
        QVERIFY(!QFile::exists(out.path() + "/README.TXT"));
        // Unchecking the folder clears its rows' marks.
        clickCheckBox(tree, docs);
        QCOMPARE(docs->checkState(0), Qt::Unchecked);
        QCOMPARE(c().mainList->item(small, 0)->checkState(), Qt::Unchecked);
    }

    /// Clicks the expand arrow of item (left of its icon and box).
    void clickArrow(QTreeWidget* tree, QTreeWidgetItem* item) {
        const QRect rect = tree->visualItemRect(item);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                          QPoint(rect.left() - tree->indentation() / 2, rect.center().y()));
    }

    void expandingNeverChangesMarksNtfs() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* photos = childNamed(root, "Photos");
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        clickCheckBox(tree, photos);
        clickCheckBox(tree, docs);
        QCOMPARE(docs->checkState(0), Qt::Checked);
        const bool wasExpanded = docs->isExpanded();
        clickArrow(tree, docs);
        QCOMPARE(docs->isExpanded(), !wasExpanded);
        clickArrow(tree, docs);
        QCOMPARE(docs->isExpanded(), wasExpanded);
        QCOMPARE(docs->checkState(0), Qt::Checked);
        QCOMPARE(photos->checkState(0), Qt::Checked);
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);
        // Listing a folder and expanding others changes nothing either.
        listByClick(childNamed(root, "Trash"));
        clickArrow(tree, photos);
        clickArrow(tree, photos);
        QCOMPARE(docs->checkState(0), Qt::Checked);
        QCOMPARE(photos->checkState(0), Qt::Checked);
        QCOMPARE(childNamed(root, "Trash")->checkState(0), Qt::Unchecked);

        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().save, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QVERIFY(QFile::exists(out.path() + "/Docs/small.txt"));
        QVERIFY(QFile::exists(out.path() + "/Photos/readme.txt"));
        QVERIFY(!QDir(out.path() + "/Trash").exists());
    }

    void labelThenArrowDoesNotMarkFat32() {
        searchPartition(2);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        QTreeWidgetItem* docs = childNamed(root, "Docs");
        QVERIFY(docs);
        listByClick(docs);
        clickArrow(tree, docs);
        clickArrow(tree, docs);
        QCOMPARE(docs->checkState(0), Qt::Unchecked);
        QCOMPARE(root->checkState(0), Qt::Unchecked);
        for (int i = 0; i < docs->childCount(); ++i) QCOMPARE(docs->child(i)->checkState(0), Qt::Unchecked);
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QTest::mouseClick(c().save, Qt::LeftButton);
        QCOMPARE(m_messages, QStringList({u8(texts::kNothingMarked)}));
    }

    void replaceDialogCallsAFolderAFolder() {
        CReplaceDlg folder("Docs", "Docs (1)", nullptr, true);
        QStringList texts;
        for (QLabel* l : folder.findChildren<QLabel*>()) texts << l->text();
        QVERIFY(texts.contains("Folder Name          :"));
        QVERIFY(!texts.contains("File Name            :"));
        QCOMPARE(folder.findChild<QLineEdit*>("newName")->text(), QString("Docs (1)"));
        CReplaceDlg file("small.txt", "small (1).txt");
        texts.clear();
        for (QLabel* l : file.findChildren<QLabel*>()) texts << l->text();
        QVERIFY(texts.contains("File Name            :"));
        // The caption fits its title bar.
        QVERIFY(folder.width() >= folder.fontMetrics().horizontalAdvance(folder.windowTitle()));
    }

    void wholeRecoveryByKeyboard() {
        // Shortcuts (Alt+N, Ctrl+S) go to the active window.
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        mytreectrl* disks = m_dlg->DeviceTree();
        disks->setFocus();
        QTest::keyClick(disks, Qt::Key_Down);  // My Computer
        QTest::keyClick(disks, Qt::Key_Down);  // the demo image
        QVERIFY(c().standardRadio->isEnabled());
        QVERIFY(c().mainList->rowCount() > 5);  // its details
        // Tab to the Standard Search radio; Space chooses it.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(c().standardRadio));
        QTest::keyClick(c().standardRadio, Qt::Key_Space);
        QCOMPARE(m_dlg->SearchMode(), kModeStandard);
        QVERIFY(c().next->isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_N, Qt::AltModifier);  // &Next
        QTRY_COMPARE(m_dlg->WizardStep(), int(kStepPartition));  // a mnemonic presses the button visibly first
        // Arrow keys on the partition tree show the details of the partition.
        mytreectrl* parts = m_dlg->PartitionTree();
        QTest::keyClick(parts, Qt::Key_Down);
        QCOMPARE(c().partitionType->currentIndex(), 1);  // FAT32
        QVERIFY(c().mainList->item(2, 1)->text() == "FAT32");
        QTest::keyClick(parts, Qt::Key_Up);
        QCOMPARE(parts->currentItem(), parts->rootItem()->child(0));
        QCOMPARE(c().partitionType->currentIndex(), 2);  // NTFS
        QTest::keyClick(parts, Qt::Key_Return);  // Enter presses Next, the default button
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        mytreectrl* tree = m_dlg->FolderTree();
        tree->setFocus();
        tree->setCurrentItem(tree->rootItem());
        QSignalSpy listed(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        while (tree->currentItem()->text(0) != "Docs") {
            const int before = int(listed.count());
            QTest::keyClick(tree, Qt::Key_Down);
            QTRY_VERIFY_WITH_TIMEOUT(listed.count() > before && !m_dlg->listingRunning(), 60000);
        }
        QTest::keyClick(tree, Qt::Key_Space);  // marks Docs
        QCOMPARE(tree->currentItem()->checkState(0), Qt::Checked);
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::keyClick(tree, Qt::Key_S, Qt::ControlModifier);  // Save
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QCOMPARE(sha256Of(out.path() + "/Docs/small.txt"),
                 QByteArray("736fbf760113c93f85af58e486185850f881ca997f5dca76dbadcd9c59fa1499"));
        // Next and Back carry mnemonics, the toolbar's pictures names.
        QCOMPARE(c().next->text(), QString("&Next"));
        QCOMPARE(c().back->text(), QString("&Back"));
        QCOMPARE(c().save->accessibleName(), QString("Save"));
        QVERIFY(c().next->isDefault());
    }

    void windowIsResizable() {
        QCOMPARE(m_dlg->size(), QSize(790, 600));
        QVERIFY(m_dlg->minimumWidth() <= 1024 && m_dlg->minimumHeight() <= 768 - 60);
        QVERIFY(m_dlg->maximumWidth() > 1920);
        m_dlg->resize(1200, 900);
        QTest::qWait(10);
        QVERIFY(c().mainList->width() > 700);
        QVERIFY(c().mainList->height() > 500);
        QCOMPARE(c().next->geometry().right(), 1200 - 23);
        QVERIFY(c().helpStrip->geometry().bottom() < 900);
    }

    void disksThatCannotBeListedAreReported() {
        QTemporaryDir dir;
        QFile empty(dir.path() + "/empty.img");
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QVERIFY(!m_dlg->addImage(dir.path() + "/empty.img"));
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains("empty.img") && m_messages[0].contains("0 bytes"), qPrintable(m_messages[0]));
        QVERIFY(!m_dlg->addImage(dir.path()));
        QVERIFY(m_messages[1].contains("folder"));
        QCOMPARE(m_dlg->DeviceTree()->rootItem()->childCount(), 1);
        // Named at start: reported by name once the window is up.
        m_messages.clear();
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {kDemo.toStdString(), (dir.path() + "/missing.img").toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        CChildDialogExDemoDlg other(options);
        other.setMessageHook([this](const QString& text, QMessageBox::Icon) {
            m_messages << text;
            return int(QMessageBox::Ok);
        });
        QTRY_COMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains("missing.img") && m_messages[0].contains("no such file"), qPrintable(m_messages[0]));
        QCOMPARE(other.DeviceTree()->rootItem()->childCount(), 1);
    }

    void endSectorPastTheDiskIsRefused() {
        toPartitionScreen(true);
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(0));
        const qint64 total = m_dlg->inventory().disks.front().TotalSectors;
        c().endSector->setText(QString::number(total + 100));
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages[0].startsWith("Ending sector is not valid"));
        QVERIFY(!m_dlg->analysisRunning());
    }

    /// A disk of 4096-byte logical sectors: an MBR whose one slot (type
    /// 0x06) counts those sectors, holding a FAT16 volume made with them
    /// at sector 32 (1024 sectors) with a folder "DIR" in its root and
    /// "SUB" in it. The disk has 32768 sectors, mostly a hole, so that the
    /// slot does not end near the disk's end.
    static bool write4knDisk(const QString& path) {
        constexpr int kSector = 4096;
        constexpr int kFirst = 32;
        QByteArray disk((kFirst + 9) * kSector, '\0');
        auto put16 = [&disk](qsizetype at, std::uint16_t v) {
            disk[at] = static_cast<char>(v & 0xFF);
            disk[at + 1] = static_cast<char>(v >> 8);
        };
        auto put32 = [&](qsizetype at, std::uint32_t v) {
            put16(at, static_cast<std::uint16_t>(v));
            put16(at + 2, static_cast<std::uint16_t>(v >> 16));
        };
        auto text = [&disk](qsizetype at, const char* t) { disk.replace(at, qsizetype(std::strlen(t)), t); };
        disk[0x1BE + 4] = 0x06;
        put32(0x1BE + 8, kFirst);
        put32(0x1BE + 12, 1024);
        put16(510, 0xAA55);

        const qsizetype boot = qsizetype{kFirst} * kSector;
        disk[boot] = char(0xEB);
        disk[boot + 1] = 0x3C;
        disk[boot + 2] = char(0x90);
        text(boot + 3, "MSWIN4.1");
        put16(boot + 11, kSector);
        disk[boot + 13] = 1;               // sectors per cluster
        put16(boot + 14, 1);               // reserved sectors
        disk[boot + 16] = 2;               // FATs
        put16(boot + 17, 512);             // root entries: 4 sectors
        put16(boot + 19, 1024);            // total sectors
        disk[boot + 21] = char(0xF8);
        put16(boot + 22, 1);               // sectors per FAT
        put16(boot + 24, 63);
        put16(boot + 26, 255);
        put32(boot + 28, kFirst);
        disk[boot + 38] = 0x29;
        text(boot + 43, "NO NAME    FAT16   ");
        put16(boot + 510, 0xAA55);
        for (int fat = 0; fat < 2; ++fat) {
            const qsizetype at = boot + qsizetype{1 + fat} * kSector;
            put32(at, 0xFFFFFFF8u);
            put16(at + 4, 0xFFFF);         // cluster 2: "DIR", one cluster
            put16(at + 6, 0xFFFF);         // cluster 3: "SUB"
        }
        const auto entry = [&](qsizetype at, const char* name, std::uint16_t cluster) {
            text(at, name);
            disk[at + 11] = 0x10;
            put16(at + 24, 0x5A21);        // 2025-01-01
            put16(at + 26, cluster);
        };
        const qsizetype root = boot + 3 * kSector;
        entry(root, "DIR        ", 2);
        const qsizetype dir = boot + 7 * kSector;  // cluster 2
        entry(dir, ".          ", 2);
        entry(dir + 32, "..         ", 0);
        entry(dir + 64, "SUB        ", 3);
        const qsizetype sub = dir + kSector;
        entry(sub, ".          ", 3);
        entry(sub + 32, "..         ", 2);
        QFile out(path);
        return out.open(QIODevice::WriteOnly) && out.write(disk) == disk.size() &&
               out.resize(qint64{32768} * kSector);
    }

    void fourKnDiskShowsAndTakesItsOwnSectors() {
        QTemporaryDir dir;
        const QString path = dir.filePath("4kn.img");
        QVERIFY(write4knDisk(path));
        QVERIFY(openDisk(path));

        // Standard Search: the partition's details in 4096-byte sectors, as
        // the table counts them.
        toPartitionScreen(false);
        QTreeWidgetItem* disk = m_dlg->PartitionTree()->rootItem();
        QVERIFY(disk && disk->childCount() == 1);
        clickItem(m_dlg->PartitionTree(), disk->child(0));
        QCOMPARE(c().mainList->item(4, 0)->text().trimmed(), QString("5.   Start Sector                     :"));
        QCOMPARE(c().mainList->item(4, 1)->text(), QString("32"));
        QCOMPARE(c().mainList->item(5, 1)->text(), QString("1056"));
        QCOMPARE(c().mainList->item(6, 1)->text(), QString("4 MB"));
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepDisk));

        // Advance Search: the inputs show the same numbers, their limit is
        // the disk's 32768 sectors, and what is typed is scanned in
        // 512-byte sectors.
        toPartitionScreen(true);
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(0));
        QCOMPARE(c().startSector->text(), QString("32"));
        QCOMPARE(c().endSector->text(), QString("1056"));
        c().endSector->setText("32769");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].endsWith("The disk has 32768 sectors (0 to 32767)."), qPrintable(m_messages[0]));

        m_messages.clear();
        c().startSector->setText("31");
        c().endSector->setText("32768");
        QTest::mouseClick(c().next, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(m_dlg->state().SectorRangeStart, std::uint64_t{31 * 8});
        QCOMPARE(m_dlg->state().SectorRangeEnd, std::uint64_t{32768 * 8 - 1});
        QCOMPARE(c().mainList->item(3, 1)->text(), QString("31 to 32767"));
        waitForJob();
        QTRY_VERIFY(!m_dlg->analysisRunning());
        QCOMPARE(m_dlg->WizardStep(), int(kStepFileSystem));
        QCOMPARE(fileSystemItems().value(0), QString("File System 1 - FAT16"));
        // Its cluster 0 lies 5 sectors after the boot sector (1 reserved,
        // 2 FATs of 1, 4 of root folder, less the 2 clusters before the data).
        QCOMPARE(c().mainList->item(2, 1)->text(), QString("37"));
        QCOMPARE(c().mainList->item(3, 1)->text(), QString("1"));
    }

    void filterCountSortAndCurrentFolder() {
        searchPartition(1);
        mytreectrl* tree = m_dlg->FolderTree();
        QTreeWidgetItem* root = tree->rootItem();
        listByClick(childNamed(root, "Docs"));
        QVERIFY(c().filter->isVisible() && c().deletedOnly->isVisible());
        QCOMPARE(c().itemCount->text(), QString("8 items"));  // small.txt's stream included
        auto shown = [this] {
            QStringList out;
            for (int r = 0; r < c().mainList->rowCount(); ++r)
                if (!c().mainList->isRowHidden(r)) out << c().mainList->item(r, 0)->text();
            return out;
        };
        c().deletedOnly->setChecked(true);
        QCOMPARE(shown(), QStringList({"old_draft.txt"}));
        QCOMPARE(c().itemCount->text(), QString("1 of 8 items"));
        // The deleted file carries an overlay on its icon and says what it is.
        QCOMPARE(c().mainList->item(rowNamed("old_draft.txt"), 1)->text(), QString("Deleted File"));
        c().deletedOnly->setChecked(false);
        c().filter->setText("*.TXT");
        QCOMPARE(shown().size(), 6);
        c().filter->setText("draft");
        QCOMPARE(shown(), QStringList({"old_draft.txt"}));
        c().filter->clear();
        QCOMPARE(shown().size(), 8);
        // A long name shows in full as a tooltip.
        const int longRow = rowNamed("Twenty_six_chars_name1.txt");
        QCOMPARE(c().mainList->item(longRow, 0)->toolTip(), QString("Twenty_six_chars_name1.txt"));
        // The header shows the sort.
        c().mainList->horizontalHeader()->sectionClicked(2);
        QVERIFY(c().mainList->horizontalHeader()->isSortIndicatorShown());
        QCOMPARE(c().mainList->horizontalHeader()->sortIndicatorSection(), 2);
        // "Current Folder" always names the listed folder: the root too, and
        // an expansion that lists nothing changes nothing.
        listByClick(childNamed(root, "Trash"));
        QCOMPARE(c().currentFolder->text(), QString("Trash"));
        clickArrow(tree, childNamed(root, "Photos"));
        QCOMPARE(c().currentFolder->text(), QString("Trash"));
        listByClick(root);
        QCOMPARE(c().currentFolder->text(), QString("Root"));
    }

    void backShowsTheHighlightedPartition() {
        searchPartition(3);
        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        mytreectrl* parts = m_dlg->PartitionTree();
        QCOMPARE(parts->currentItem(), parts->rootItem()->child(2));
        QStringList values;
        for (int r = 0; r < c().mainList->rowCount(); ++r) values << c().mainList->item(r, 1)->text();
        QVERIFY2(values.contains("3"), qPrintable(values.join(",")));  // its partition number
    }

    void searchMorePartitionsAddsNoCopies() {
        toPartitionScreen(false);
        auto search = [this] {
            QTest::mouseClick(c().searchMore, Qt::LeftButton);
            waitForJob();
            QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        };
        search();
        const auto& list = m_dlg->state().DiskPartitionList[0];
        for (int i = 0; i < list.count(); ++i)
            for (int j = i + 1; j < list.count(); ++j)
                QVERIFY(!(list.entries[i].firstSector == list.entries[j].firstSector &&
                          list.entries[i].endSector == list.entries[j].endSector));
        const int after = m_dlg->PartitionTree()->rootItem()->childCount();
        // A second search finds the same partitions: none is added again.
        search();
        QCOMPARE(m_dlg->PartitionTree()->rootItem()->childCount(), after);
    }

    /// A disk of totalBytes (sparse past the volume) whose table is zeroed,
    /// with the FAT16 test volume starting at sector first; the window is
    /// opened over it.
    bool openOddStartDisk(const QTemporaryDir& dir, std::uint64_t first, qint64 totalBytes) {
        const QString volume = QStringLiteral(QVX_IMAGES_DIR "/vol-fat16.img");
        const QString path = dir.filePath("odd-start.img");
        QFile in(volume);
        QFile out(path);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) return false;
        if (out.write(QByteArray(static_cast<int>(first * 512), '\0')) != static_cast<qint64>(first * 512)) return false;
        while (!in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            if (out.write(chunk) != chunk.size()) return false;
        }
        if (!out.resize(std::max(out.size() + 64 * 1024, totalBytes))) return false;
        out.close();
        return openDisk(path);
    }

    /// A new window over the one disk image at path.
    bool openDisk(const QString& path) {
        m_dlg.reset();
        CChildDialogExDemoDlg::Options options;
        options.imagePaths = {path.toStdString()};
        options.configDir = m_config.path().toStdString();
        options.blockDevices = false;
        m_dlg = std::make_unique<CChildDialogExDemoDlg>(options);
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon) {
            m_messages << text;
            return m_answer;
        });
        m_dlg->setAdvisoryHook([this](const QString& dialog) { m_advisories << dialog; });
        m_dlg->show();
        return QTest::qWaitForWindowExposed(m_dlg.get());
    }

    int entriesAt(std::uint64_t first, const char* kind) const {
        int n = 0;
        for (const auto& e : m_dlg->state().DiskPartitionList[0].entries)
            if (e.firstSector == first && e.fileSystemName == kind) ++n;
        return n;
    }

    void deepSearchFindsAVolumeAtAnOddSector() {
        // A disk whose table is zeroed, with a FAT16 volume starting at
        // sector 2049: no cylinder or MiB probe lands there.
        const QString volume = QStringLiteral(QVX_IMAGES_DIR "/vol-fat16.img");
        if (!QFile::exists(volume)) QSKIP("vol-fat16.img not built");
        constexpr std::uint64_t kFirstSector = 2049;
        QTemporaryDir dir;
        QVERIFY(openOddStartDisk(dir, kFirstSector, 0));
        const auto volumeSectors = static_cast<std::uint64_t>(QFileInfo(volume).size() / 512);
        toPartitionScreen(false);
        // The empty table starts the probing search, which misses the volume.
        waitForJob();
        QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        const auto& list = m_dlg->state().DiskPartitionList[0];
        const auto atOddSector = [this] { return entriesAt(kFirstSector, "FAT16"); };
        QCOMPARE(atOddSector(), 0);

        // The option sits under the button and is offered with it.
        QVERIFY(c().deepSearch->isVisible() && c().deepSearch->isEnabled());
        QVERIFY(!c().deepSearch->isChecked());
        QVERIFY(c().deepSearch->geometry().top() >= c().searchMore->geometry().bottom());
        QVERIFY(c().deepSearch->geometry().bottom() < c().helpStrip->geometry().top());
        QTest::mouseClick(c().deepSearch, Qt::LeftButton);
        QVERIFY(c().deepSearch->isChecked());
        const auto deepSearch = [this] {
            QTest::mouseClick(c().searchMore, Qt::LeftButton);
            QVERIFY(!c().deepSearch->isVisible());
            QVERIFY(c().stopPartitionSearch->isVisible());
            waitForJob();
            QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        };
        deepSearch();
        QCOMPARE(atOddSector(), 1);
        const int found = [&list] {
            for (int i = 0; i < list.count(); ++i)
                if (list.entries[i].firstSector == kFirstSector) return i;
            return -1;
        }();
        QVERIFY(found >= 0);
        QCOMPARE(static_cast<std::uint64_t>(list.entries[found].endSector), kFirstSector + volumeSectors);
        QVERIFY(c().deepSearch->isVisible());
        QVERIFY(c().next->isEnabled() && c().back->isEnabled());
        const int items = m_dlg->PartitionTree()->rootItem()->childCount();
        QCOMPARE(items, list.count());
        QVERIFY(childTexts(m_dlg->PartitionTree()->rootItem()).contains(
            QString::fromStdString(list.label(found))));

        // Searching again adds no copy of what is listed.
        deepSearch();
        QCOMPARE(atOddSector(), 1);
        QCOMPARE(m_dlg->PartitionTree()->rootItem()->childCount(), items);

        // The volume found is searched like a listed one.
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(found));
        QCOMPARE(c().partitionType->currentIndex(), 0);
        QTest::mouseClick(c().next, Qt::LeftButton);
        waitForJob();
        QTRY_VERIFY(!m_dlg->analysisRunning());
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QVERIFY(m_dlg->FolderTree() && m_dlg->FolderTree()->rootItem());
        QVERIFY(m_dlg->FolderTree()->rootItem()->childCount() > 0);
    }

    void deepSearchStopKeepsWhatWasFound() {
        const QString volume = QStringLiteral(QVX_IMAGES_DIR "/vol-fat16.img");
        if (!QFile::exists(volume)) QSKIP("vol-fat16.img not built");
        // 1 GiB, sparse past the volume at sector 2049: the volume is in the
        // first read, and the search reports progress long before its end.
        constexpr std::uint64_t kFirstSector = 2049;
        QTemporaryDir dir;
        QVERIFY(openOddStartDisk(dir, kFirstSector, qint64{1} << 30));
        toPartitionScreen(false);
        waitForJob();
        QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        QCOMPARE(entriesAt(kFirstSector, "FAT16"), 0);

        QTest::mouseClick(c().deepSearch, Qt::LeftButton);
        QTest::mouseClick(c().searchMore, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(c().partitionSearchProgress->value() >= 1 || !m_dlg->partitionSearchRunning(),
                                 60000);
        m_messages.clear();
        m_answer = QMessageBox::Yes;
        if (m_dlg->partitionSearchRunning()) {
            QTest::mouseClick(c().stopPartitionSearch, Qt::LeftButton);
            QCOMPARE(m_messages, QStringList({u8(qvx::partition::kStopSearchQuestion)}));
        }
        waitForJob();
        QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        // Stopped or not, what the search had found is listed, once.
        QCOMPARE(entriesAt(kFirstSector, "FAT16"), 1);
        QVERIFY(m_dlg->HelpText() == u8(qvx::partition::kSearchStoppedHelp) ||
                m_dlg->HelpText() == u8(qvx::partition::kSearchDoneHelp));
        QCOMPARE(m_dlg->PartitionTree()->rootItem()->childCount(), m_dlg->state().DiskPartitionList[0].count());
        QVERIFY(c().searchMore->isVisible() && c().deepSearch->isVisible());
        QVERIFY(c().next->isEnabled() && c().back->isEnabled());
    }

    void noDiskReadOnTheWindowThread() {
        // Every read of the disk is seen by a device that notes the thread
        // it runs on: tables, searches, listings, folders opening and a
        // save must all read on jobs.
        struct WatchedDevice : qvx::disk::BlockDevice {
            std::unique_ptr<qvx::disk::BlockDevice> inner;
            std::atomic<int> reads{0};
            std::atomic<int> windowThreadReads{0};
            bool readAt(std::uint64_t offset, std::size_t length, std::uint8_t* out) override {
                ++reads;
                if (QThread::currentThread() == qApp->thread()) ++windowThreadReads;
                return inner->readAt(offset, length, out);
            }
            std::uint64_t sizeBytes() const override { return inner->sizeBytes(); }
        };
        auto device = std::make_shared<WatchedDevice>();
        std::string error;
        device->inner = qvx::disk::openFileDevice(kDemo.toStdString(), error);
        QVERIFY2(device->inner, error.c_str());
        QTreeWidgetItem* node = m_dlg->DeviceTree()->rootItem()->child(0);
        m_dlg->state().reader->attachDevice(node->data(0, Qt::UserRole).toInt(), device);

        toPartitionScreen(false);
        QTest::mouseClick(c().searchMore, Qt::LeftButton);
        waitForJob();
        QTRY_VERIFY(!m_dlg->partitionSearchRunning());
        // FAT32: its folders' directories are read as they open.
        clickItem(m_dlg->PartitionTree(), m_dlg->PartitionTree()->rootItem()->child(1));
        QTest::mouseClick(c().next, Qt::LeftButton);
        waitForJob();
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        mytreectrl* tree = m_dlg->FolderTree();
        QVERIFY(tree && tree->rootItem() && tree->rootItem()->childCount() > 0);
        QTreeWidgetItem* root = tree->rootItem();
        for (int i = 0; i < root->childCount(); ++i) root->child(i)->setExpanded(true);
        listByClick(root->child(0));
        clickCheckBox(tree, root->child(0));
        QTemporaryDir out;
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return out.path(); });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().save, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1 && !m_dlg->saveRunning(), 120000);
        QVERIFY(!QDir(out.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        QVERIFY(device->reads > 0);
        QCOMPARE(device->windowThreadReads.load(), 0);
    }

    void helpFindsTheGuide() {
        QTemporaryDir dir;
        QCOMPARE(guideFilePath(dir.path() + "/qvx-gui"), QString());
        QFile guide(dir.path() + "/guide.html");
        QVERIFY(guide.open(QIODevice::WriteOnly));
        guide.write("<html></html>");
        guide.close();
        QCOMPARE(guideFilePath(dir.path() + "/qvx-gui"), QFileInfo(dir.path() + "/guide.html").absoluteFilePath());
        QVERIFY(QFile::exists(QStringLiteral(QVX_SOURCE_DIR "/docs/guide.html")));
    }

    void sessionLogSavedAndLoaded() {
        searchPartition(1);
        QStringList before;
        dumpTree(m_dlg->FolderTree()->rootItem(), 0, before);
        QTemporaryDir dir;
        CChildDialogExDemoDlg::PathRequest last{};
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest request) {
            last = request;
            return dir.path() + "/session";
        });
        QTest::mouseClick(c().saveLog, Qt::LeftButton);
        QCOMPARE(int(last), int(CChildDialogExDemoDlg::PathRequest::SaveLog));
        QVERIFY(QFile::exists(dir.path() + "/session.LGX"));
        QVERIFY(m_messages.isEmpty());

        // Exit answered Yes to saving: the log is written again, the window stays on No to exiting.
        QFile::remove(dir.path() + "/session.LGX");
        m_answer = QMessageBox::Yes;
        m_dlg->setMessageHook([this](const QString& text, QMessageBox::Icon) {
            m_messages << text;
            return text == QString::fromUtf8(texts::kSaveRecoveryQuestion) ? QMessageBox::Yes : QMessageBox::No;
        });
        QTest::mouseClick(c().exit, Qt::LeftButton);
        QVERIFY(QFile::exists(dir.path() + "/session.LGX"));
        QVERIFY(m_dlg->isVisible());
        m_messages.clear();

        QTest::mouseClick(c().back, Qt::LeftButton);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QVERIFY(c().loadLog->isEnabled());
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest request) {
            last = request;
            return dir.path() + "/session.LGX";
        });
        QSignalSpy done(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().loadLog, Qt::LeftButton);
        QCOMPARE(int(last), int(CChildDialogExDemoDlg::PathRequest::LoadLog));
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 1, 120000);
        QCOMPARE(m_dlg->WizardStep(), int(kStepResults));
        QCOMPARE(m_dlg->SearchMode(), kModeStandard);
        QVERIFY(m_messages.isEmpty());
        QStringList after;
        dumpTree(m_dlg->FolderTree()->rootItem(), 0, after);
        QCOMPARE(after, before);
        QVERIFY(c().save->isEnabled() && c().saveLog->isEnabled());
        QVERIFY(!c().loadLog->isEnabled());
        listByClick(childNamed(m_dlg->FolderTree()->rootItem(), "Docs"));
        QVERIFY(listRows().contains("small.txt|Text file|100"));

        // A file that is not a log is refused and the partition screen stays.
        QTest::mouseClick(c().back, Qt::LeftButton);
        QFile junk(dir.path() + "/JUNK.LGX");
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a log");
        junk.close();
        m_dlg->setPathHook([&](CChildDialogExDemoDlg::PathRequest) { return dir.path() + "/JUNK.LGX"; });
        QSignalSpy refused(m_dlg.get(), &CChildDialogExDemoDlg::jobFinished);
        QTest::mouseClick(c().loadLog, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(refused.count() >= 1, 60000);
        QCOMPARE(m_dlg->WizardStep(), int(kStepPartition));
        QCOMPARE(m_messages, QStringList({QString::fromUtf8(qvx::session::kLoadFailedMessage)}));
        QVERIFY(c().next->isEnabled() && c().loadLog->isEnabled());
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
