// The result screen of the wizard: the folder tree with its check boxes,
// the file list of the folder picked in it (filled on ListingThread behind
// the populating dialog), the Save flow over the recovery engine, and the
// session log buttons.

#include <QApplication>
#include <QCheckBox>
#include <QSettings>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeDatabase>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <atomic>
#include <unordered_map>

#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "recover/names.h"
#include "session/session_log.h"
#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/job_runner.h"
#include "ui/pictures.h"
#include "ui/wizard_texts.h"

namespace qvx::ui {

using namespace layout;

namespace {

constexpr const char* kPopulateText = "Populating List Items, Please Wait....";

bool isPartitionText(const QString& text) { return text.left(9) == QLatin1String("Partition"); }

/// A list cell that sorts by its text, and the "Size" cell by its number.
class ListCell : public QTableWidgetItem {
public:
    using QTableWidgetItem::QTableWidgetItem;
    bool operator<(const QTableWidgetItem& other) const override {
        if (column() == records::kListSize)
            return data(kRowSizeRole).toULongLong() < other.data(kRowSizeRole).toULongLong();
        return text() < other.text();
    }
};

/// The desktop theme's icon for a file name, found by the name alone.
QIcon fileIcon(const QString& name) {
    static std::unordered_map<QString, QIcon> cache;
    static QMimeDatabase mimes;
    const QMimeType type = mimes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    const QString key = type.iconName();
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    QIcon icon = QIcon::fromTheme(key, QIcon::fromTheme(type.genericIconName(), QIcon::fromTheme("text-x-generic")));
    if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    cache.emplace(key, icon);
    return icon;
}

/// The icon with a small red cross in its lower right corner: the item is deleted.
QIcon deletedIcon(const QIcon& base) {
    QPixmap pm = base.pixmap(16, 16);
    if (pm.isNull()) {
        pm = QPixmap(16, 16);
        pm.fill(Qt::transparent);
    }
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF badge(8.5, 8.5, 7, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    p.drawEllipse(badge.adjusted(-1, -1, 1, 1));
    p.setPen(QPen(QColor(200, 30, 30), 1.8));
    p.drawLine(badge.topLeft() + QPointF(1, 1), badge.bottomRight() - QPointF(1, 1));
    p.drawLine(badge.topRight() + QPointF(-1, 1), badge.bottomLeft() + QPointF(1, -1));
    p.end();
    return QIcon(pm);
}

QIcon folderIcon() {
    static const QIcon icon = [] {
        QIcon i = QIcon::fromTheme("folder");
        return i.isNull() ? QIcon(pictures::treeIcon(pictures::TreeIcon::Folder)) : i;
    }();
    return icon;
}

QIcon treeImage(int image) {
    switch (image) {
    case records::kImageFileSystem: return QIcon(pictures::treeIcon(pictures::TreeIcon::FileSystem));
    case records::kImageRoot: return QIcon(pictures::treeIcon(pictures::TreeIcon::Computer));
    case records::kImageFolderListed: {
        static const QIcon open = [] {
            QIcon i = QIcon::fromTheme("folder-open");
            return i.isNull() ? QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon) : i;
        }();
        return open;
    }
    default: return QIcon(pictures::treeIcon(pictures::TreeIcon::Folder));
    }
}

Qt::CheckState qtCheck(records::CheckState s) {
    switch (s) {
    case records::CheckState::Checked: return Qt::Checked;
    case records::CheckState::Partial: return Qt::PartiallyChecked;
    default: return Qt::Unchecked;
    }
}

}  // namespace

// ------------------------------------------------------------------ set-up

void CChildDialogExDemoDlg::createResultsControls() {
    m_listingJob = new JobRunner(this);
    m_saveJob = new JobRunner(this);
    m_sessionJob = new JobRunner(this);
    m_countJob = new JobRunner(this);
    connect(m_countJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onCountFinished);
    connect(m_listingJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onListingFinished);
    connect(m_saveJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onSaveFinished);
    connect(m_sessionJob, &JobRunner::finished, this, &CChildDialogExDemoDlg::onSessionLoadFinished);
    connect(m_sessionJob, &JobRunner::message, this, &CChildDialogExDemoDlg::onJobMessage);
    connect(m_sessionJob, &JobRunner::progress, this, [this](int percent, const QString& text) {
        m_c.loadProgress->setValue(percent);
        m_c.loadProgress->setWindowText(text);
    });

    // The populating dialog: no caption, centred over the window when shown.
    m_populate = new QDialog(this, Qt::Dialog | Qt::FramelessWindowHint);
    m_populate->setObjectName("CPopulate");
    auto* box = new QVBoxLayout(m_populate);
    box->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::Box);
    frame->setLineWidth(1);
    auto* inner = new QVBoxLayout(frame);
    auto* label = new QLabel(kPopulateText);
    label->setAlignment(Qt::AlignCenter);
    inner->addWidget(label);
    box->addWidget(frame);
    QPalette pal = m_populate->palette();
    pal.setColor(QPalette::Window, panelColor());
    m_populate->setPalette(pal);
    m_populate->setAutoFillBackground(true);
    m_populate->setFixedSize(260, 70);

    connect(m_c.save, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnSave);
    connect(m_c.saveLog, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnSaveLog);
    connect(m_c.loadLog, &QPushButton::clicked, this, &CChildDialogExDemoDlg::OnLoadLog);

    QTableWidget* list = m_c.mainList;
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->installEventFilter(this);
    connect(list, &QWidget::customContextMenuRequested, this, &CChildDialogExDemoDlg::showListMenu);
    connect(list, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { onListActivated(row); });
    connect(list, &QTableWidget::itemChanged, this, &CChildDialogExDemoDlg::onListItemChanged);

    // Above the list on the result screen: a filter by name or extension,
    // "Deleted only", and beside "Current Folder" the number of items.
    m_c.filter = new QLineEdit(this);
    m_c.filter->setPlaceholderText("Filter: name or extension (e.g. report, .txt)");
    m_c.filter->setClearButtonEnabled(true);
    m_c.filter->setAccessibleName("Filter the list");
    m_c.deletedOnly = new QCheckBox("Deleted only", this);
    m_c.itemCount = new QLabel(this);
    m_c.itemCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(m_c.filter, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(m_c.deletedOnly, &QCheckBox::toggled, this, [this] { applyFilter(); });
    for (QWidget* w : std::initializer_list<QWidget*>{m_c.filter, m_c.deletedOnly, m_c.itemCount}) w->hide();
}

bool CChildDialogExDemoDlg::listingRunning() const { return m_listingJob->running(); }
bool CChildDialogExDemoDlg::saveRunning() const { return m_saveJob->running() || m_countJob->running(); }
bool CChildDialogExDemoDlg::sessionLoadRunning() const { return m_sessionJob->running(); }

void CChildDialogExDemoDlg::stopListing() {
    m_listingJob->abandon();
    m_populate->hide();
    if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    setEnabled(true);
    m_listTarget = m_previousListed = m_listedFolder = records::kNoItem;
    m_MouseSelection = m_ListOnNextExpand = false;
    m_itemWidgets.clear();
}

// ------------------------------------------------------------------ folder tree

void CChildDialogExDemoDlg::buildFolderTreeControl() {
    stopListing();
    m_fileMarks.clear();
    delete m_FolderTree;
    m_FolderTree = new mytreectrl(this);
    relayout();
    m_FolderTree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_FolderTree->installEventFilter(this);
    m_FolderTree->viewport()->installEventFilter(this);
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    m_itemWidgets.assign(static_cast<std::size_t>(nodes.itemCount()), nullptr);
    if (nodes.itemCount() > 0) {
        const QString rootText = nodes.item(records::kRootItem).text.empty()
                                     ? QString("Root")
                                     : nameText(nodes.item(records::kRootItem).text);
        QTreeWidgetItem* root = m_FolderTree->addRoot(rootText, {});
        m_itemWidgets[0] = root;
        root->setData(0, kItemIdRole, records::kRootItem);
        setItemImage(root, records::kImageRoot);
        std::vector<std::pair<records::TreeItemId, QTreeWidgetItem*>> work{{records::kRootItem, root}};
        while (!work.empty()) {
            auto [id, widget] = work.back();
            work.pop_back();
            for (records::TreeItemId child : nodes.item(id).children) {
                if (!nodes.validItem(child) || m_itemWidgets[static_cast<std::size_t>(child)]) continue;
                const records::TreeItem& it = nodes.item(child);
                QTreeWidgetItem* item = m_FolderTree->addChild(widget, nameText(it.text), {});
                item->setData(0, kItemIdRole, child);
                setItemImage(item, it.image);
                m_itemWidgets[static_cast<std::size_t>(child)] = item;
                work.emplace_back(child, item);
            }
        }
        for (QTreeWidgetItem* w : m_itemWidgets)
            if (w) w->setFlags(w->flags() | Qt::ItemIsUserCheckable);
        syncFromModel();
        root->setExpanded(true);
    }
    connect(m_FolderTree, &QTreeWidget::itemChanged, this, &CChildDialogExDemoDlg::onFolderItemChanged);
    connect(m_FolderTree, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { onFolderItemClicked(item); });
    connect(m_FolderTree, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { onFolderExpansion(item, true); });
    connect(m_FolderTree, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { onFolderExpansion(item, false); });
    connect(m_FolderTree, &QWidget::customContextMenuRequested, this, &CChildDialogExDemoDlg::showTreeMenu);
}

QTreeWidgetItem* CChildDialogExDemoDlg::widgetOf(records::TreeItemId id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= m_itemWidgets.size()) return nullptr;
    return m_itemWidgets[static_cast<std::size_t>(id)];
}

void CChildDialogExDemoDlg::setItemImage(QTreeWidgetItem* item, int image) {
    if (!item) return;
    if (item->parent() && isPartitionText(item->text(0))) return;
    item->setData(0, kImageRole, image);
    item->setIcon(0, treeImage(image));
    const QVariant id = item->data(0, kItemIdRole);
    if (id.isValid()) m_state.FolderNodeList.setImage(id.toInt(), image);
}

/// Texts and check states of the tree control from the model (names change
/// when a FAT folder's directory is read, checks after every toggle).
void CChildDialogExDemoDlg::syncFromModel() {
    if (!m_FolderTree) return;
    computeShownChecks();
    m_syncing = true;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    for (std::size_t i = 0; i < m_itemWidgets.size(); ++i) {
        QTreeWidgetItem* w = m_itemWidgets[i];
        if (!w || !nodes.validItem(static_cast<int>(i))) continue;
        const records::TreeItem& it = nodes.item(static_cast<int>(i));
        if (i != 0) {
            const QString text = nameText(it.text);
            if (w->text(0) != text) {
                w->setText(0, text);
                w->setToolTip(0, text);
            }
        }
        const Qt::CheckState check = qtCheck(shownCheck(static_cast<int>(i)));
        if (w->checkState(0) != check || !w->data(0, Qt::CheckStateRole).isValid()) w->setCheckState(0, check);
    }
    m_syncing = false;
}

void CChildDialogExDemoDlg::onFolderItemClicked(QTreeWidgetItem* item) {
    if (m_checkClicked) {
        m_checkClicked = false;
        return;
    }
    if (!item) return;
    m_MouseSelection = !analysisRunning();
    startListing(item);
}

void CChildDialogExDemoDlg::listFolder(QTreeWidgetItem* item) {
    m_checkClicked = false;
    onFolderItemClicked(item);
}

void CChildDialogExDemoDlg::onFolderExpansion(QTreeWidgetItem* item, bool expanding) {
    if (!item || listingRunning()) return;
    const QVariant idv = item->data(0, kItemIdRole);
    if (!idv.isValid()) return;
    const records::TreeItemId id = idv.toInt();
    if (!expanding && item->parent()) setItemImage(item, records::kImageFolder);
    if (item->parent()) {
        if ((m_MouseSelection && expanding) || m_ListOnNextExpand) {
            setItemImage(item, records::kImageFolderListed);
            if (m_previousListed != id) setItemImage(widgetOf(m_previousListed), records::kImageFolder);
            m_previousListed = id;
            if (m_ListOnNextExpand) {
                m_ListOnNextExpand = false;
                m_FolderTree->setCurrentItem(item);
                const int node = m_state.FolderNodeList.nodeOfItem(id);
                if (node >= 0 && m_state.ActiveVolume.fileSystemName != "NTFS")
                    engine::readFatFolderDirectory(m_state, node);
                // "Current Folder" names the folder whose rows are listed.
                m_listedFolder = id;
                m_c.currentFolder->setText(nameText(m_state.FolderNodeList.FolderPath(id)));
                fillFileList(engine::PopulateFileList(m_state, id));
            }
        } else if (!expanding && m_MouseSelection) {
            setItemImage(item, records::kImageFolder);
        }
    }
    // The first expansion reads the folder's directory, which names its sub-folders.
    const int node = m_state.FolderNodeList.nodeOfItem(id);
    if (node >= 0) {
        records::FolderNode& n = m_state.FolderNodeList.node(node);
        if (n.selfId == records::kMiscFolderId) {
            n.expanded = true;
        } else if (!n.expanded) {
            if (m_state.ActiveVolume.fileSystemName != "NTFS")
                engine::readFatFolderDirectory(m_state, node);
            else
                n.expanded = true;
        }
    }
    syncFromModel();
}

// ------------------------------------------------------------------ ListingThread

void CChildDialogExDemoDlg::startListing(QTreeWidgetItem* target) {
    if (!m_FolderTree || !target) return;
    const QVariant idv = target->data(0, kItemIdRole);
    if (!idv.isValid()) return;
    // At most one listing at a time: a running one is ended first.
    m_listingJob->abandon();
    const records::TreeItemId id = idv.toInt();
    m_c.mainList->setRowCount(0);
    m_listTarget = id;
    const bool isRoot = target->parent() == nullptr;
    m_c.currentFolder->setText(isRoot ? QString("Root") : nameText(m_state.FolderNodeList.FolderPath(id)));
    m_listedFolder = id;
    m_ListOnNextExpand = false;
    if (m_previousListed != records::kNoItem && !isRoot)
        setItemImage(widgetOf(m_previousListed), records::kImageFolderVisited);
    if (m_MouseSelection && !analysisRunning()) setItemImage(target, records::kImageFolderListed);
    if (!isRoot) {
        m_FolderTree->setCurrentItem(target);
        m_previousListed = id;
    }

    m_populate->move(geometry().center() - QPoint(m_populate->width() / 2, m_populate->height() / 2));
    m_populate->show();
    m_populate->raise();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    setEnabled(false);

    auto result = std::make_shared<records::FileList>();
    m_listingResult = result;
    const bool fat = m_state.ActiveVolume.fileSystemName != "NTFS";
    engine::RecoveryState* state = &m_state;
    m_listingJob->start([state, id, fat, result](std::stop_token stop, util::ProgressSink&) {
        const int node = state->FolderNodeList.nodeOfItem(id);
        if (fat && node >= 0) engine::readFatFolderDirectory(*state, node);
        if (stop.stop_requested()) return;
        engine::ListingOptions options;
        options.miscShowsCurrentTime = true;
        *result = engine::PopulateFileList(*state, id, options);
    });
}

void CChildDialogExDemoDlg::onListingFinished() {
    m_populate->hide();
    if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    setEnabled(true);
    syncFromModel();
    m_listedFolder = m_listTarget;
    if (m_listingResult) fillFileList(*m_listingResult);
    if (QTreeWidgetItem* target = widgetOf(m_listTarget)) {
        m_FolderTree->setCurrentItem(target);
        target->setSelected(true);
    }
    activateWindow();
    raise();
    emit jobFinished();
}

void CChildDialogExDemoDlg::fillFileList(const records::FileList& rows) {
    QTableWidget* list = m_c.mainList;
    const bool was = m_syncing;
    m_syncing = true;
    list->setSortingEnabled(false);
    list->setRowCount(0);
    list->setRowCount(static_cast<int>(rows.size()));
    int r = 0;
    for (const records::FileListRow& row : rows) {
        for (int c = 0; c < 8; ++c) {
            std::string cell = row.cells[static_cast<std::size_t>(c)];
            // A deleted file says so, as a deleted folder does.
            if (c == records::kListType && row.deleted && !row.isFolder) cell = "Deleted File";
            auto* item = new ListCell(c == records::kListName ? nameText(cell) : QString::fromStdString(cell));
            item->setData(kRowSizeRole, QVariant::fromValue<qulonglong>(row.sizeBytes));
            item->setData(kRowDeletedRole, row.deleted);
            if (c == records::kListName || c == records::kListType) item->setToolTip(item->text());
            if (c == records::kListName) {
                const QIcon icon = row.isFolder ? folderIcon() : fileIcon(item->text());
                item->setIcon(row.deleted ? deletedIcon(icon) : icon);
                item->setData(kRowFolderRole, row.isFolder);
                item->setData(kRowItemRole, row.treeItem);
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(Qt::Unchecked);
            }
            list->setItem(r, c, item);
        }
        ++r;
    }
    m_syncing = was;
    syncListChecks();
    applyFilter();
}

void CChildDialogExDemoDlg::onListActivated(int row) {
    QTableWidgetItem* name = m_c.mainList->item(row, records::kListName);
    if (!name) return;
    if (name->data(kRowFolderRole).toBool()) {
        QTreeWidgetItem* target = widgetOf(name->data(kRowItemRole).toInt());
        if (!target) return;
        if (target->parent()) target->parent()->setExpanded(true);
        m_MouseSelection = true;
        startListing(target);
    } else {
        SaveRequest request;
        request.paths.push_back(rowPath(row));
        if (!request.paths.front().empty()) runSave(std::move(request));
    }
}

// ------------------------------------------------------------------ keyboard

bool CChildDialogExDemoDlg::eventFilter(QObject* watched, QEvent* event) {
    // A press starts a new click: whether it toggles a check box is seen on release.
    if (event->type() == QEvent::MouseButtonPress && m_FolderTree && watched == m_FolderTree->viewport())
        m_checkClicked = false;
    // The arrow keys on the disk and partition trees act as clicks on the
    // item they move to (onTreeKeyNavigation).
    if ((watched == m_DeviceTree && m_DeviceTree) || (watched == m_PartitionTree && m_PartitionTree)) {
        if (event->type() == QEvent::KeyPress) m_treeKeyNavigation = true;
        else if (event->type() == QEvent::KeyRelease || event->type() == QEvent::FocusOut) m_treeKeyNavigation = false;
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() != QEvent::KeyPress || m_WizardStep != kStepResults) return QDialog::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == m_FolderTree && m_FolderTree) return folderTreeKey(key);
    if (watched == m_c.mainList) {
        switch (key->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_F6:
            if (m_FolderTree) m_FolderTree->setFocus();
            return true;
        case Qt::Key_F7: return true;
        case Qt::Key_Space:
            // Space marks the current row, as a click on its box does.
            if (m_c.mainList->currentRow() >= 0 && !listingRunning() && !saveRunning())
                toggleFileMark(m_c.mainList->currentRow());
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape: return true;
        default: break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool CChildDialogExDemoDlg::folderTreeKey(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down: {
        QTreeWidgetItem* current = m_FolderTree->currentItem();
        QTreeWidgetItem* next = !current ? m_FolderTree->rootItem()
                                : event->key() == Qt::Key_Up ? m_FolderTree->itemAbove(current)
                                                             : m_FolderTree->itemBelow(current);
        if (!next) return true;
        m_FolderTree->setCurrentItem(next);
        if (next->parent()) startListing(next);
        return true;
    }
    case Qt::Key_Right:
        m_ListOnNextExpand = true;
        m_MouseSelection = false;
        return false;
    case Qt::Key_Left:
        m_ListOnNextExpand = false;
        m_MouseSelection = false;
        return false;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_F7:
        m_c.mainList->setFocus();
        m_c.mainList->setCurrentItem(nullptr);
        return true;
    case Qt::Key_F6: return true;
    case Qt::Key_Space:
        // Space marks the current folder, as a click on its box does.
        if (QTreeWidgetItem* current = m_FolderTree->currentItem(); current && !listingRunning() && !saveRunning()) {
            const QVariant id = current->data(0, kItemIdRole);
            if (id.isValid()) toggleFolderMark(id.toInt());
        }
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape: return true;
    default: return false;
    }
}

// ------------------------------------------------------------------ session log

void CChildDialogExDemoDlg::OnSaveLog() {
    if (m_WizardStep != kStepResults || analysisRunning()) return;
    QString chosen = askPath(PathRequest::SaveLog);
    if (chosen.isEmpty()) return;
    // The path is kept as chosen (names are case-sensitive here); only the
    // ".LGX" extension is added when it is missing.
    const std::string path = session::withLogExtension(chosen.toStdString());
    std::string error;
    if (!engine::SaveSession(m_state, path, m_details.DiskModelText, m_SelectedPartition + 1, error))
        messageBox(session::kUnableToOpenMessage, QMessageBox::Critical);
}

void CChildDialogExDemoDlg::OnLoadLog() {
    if (m_WizardStep != kStepPartition || partitionSearchRunning() || analysisRunning()) return;
    m_c.next->setEnabled(false);
    m_c.back->setEnabled(false);
    m_c.searchMore->setEnabled(false);
    m_c.loadLog->setEnabled(false);
    const QString path = askPath(PathRequest::LoadLog);
    if (path.isEmpty()) {
        m_c.next->setEnabled(true);
        m_c.back->setEnabled(true);
        m_c.searchMore->setEnabled(true);
        m_c.loadLog->setEnabled(true);
        return;
    }
    SetHelpText("Please wait...");
    m_searchModeBeforeLoad = m_SearchMode;
    m_c.loadingLabel->show();
    m_c.loadProgress->setValue(0);
    m_c.loadProgress->setShowPercent(false);
    m_c.loadProgress->setWindowText("Completed ");
    m_c.loadProgress->show();
    auto result = std::make_shared<engine::SessionLoadResult>();
    m_loadResult = result;
    engine::RecoveryState* state = &m_state;
    const std::string file = path.toStdString();
    const std::string model = m_details.DiskModelText;
    m_sessionJob->start([state, file, model, result](std::stop_token stop, util::ProgressSink& sink) {
        *result = engine::loadSessionFile(*state, file, model, sink, stop);
    });
}

void CChildDialogExDemoDlg::onSessionLoadFinished() {
    m_c.loadingLabel->hide();
    m_c.loadProgress->hide();
    if (!m_loadResult || m_loadResult->status != engine::SessionLoadStatus::Loaded) {
        m_SearchMode = m_searchModeBeforeLoad;
        m_c.next->setEnabled(true);
        m_c.back->setEnabled(true);
        m_c.searchMore->setEnabled(true);
        m_c.loadLog->setEnabled(true);
        SetHelpText(QString::fromUtf8(texts::kPartitionScreenHelp));
        emit jobFinished();
        return;
    }
    m_SearchMode = kModeStandard;
    m_state.searchMode = engine::SearchMode::Standard;
    m_SelectedPartition = m_loadResult->selectedPartition > 0 ? m_loadResult->selectedPartition - 1 : 0;
    if (m_PartitionTree) m_PartitionTree->hide();
    showPartitionControls(false);
    showSearchMore(false);
    m_c.back->show();
    m_jobSetHelp = false;
    showResults();
    emit jobFinished();
}

}  // namespace qvx::ui
