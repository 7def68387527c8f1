// The result screen of the wizard: the folder tree with its check boxes,
// the file list of the folder picked in it (filled on ListingThread behind
// the populating dialog), the Save flow over the recovery engine, and the
// session log buttons.

#include <QApplication>
#include <QCheckBox>
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

constexpr int kItemIdRole = Qt::UserRole;       // tree: the model's item id
constexpr int kImageRole = Qt::UserRole + 1;    // tree: the item's image index
constexpr int kRowFolderRole = Qt::UserRole;    // list: the row is a folder
constexpr int kRowItemRole = Qt::UserRole + 1;  // list: a folder row's tree item
constexpr int kRowSizeRole = Qt::UserRole + 2;  // list: the size in bytes

constexpr const char* kPopulateText = "Populating List Items, Please Wait....";

/// Names on the disk are stored as single bytes.
QString nameText(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

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
    delete m_FolderTree;
    m_FolderTree = new mytreectrl(this);
    m_FolderTree->setGeometry(kTreeRect);
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
    m_syncing = true;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    for (std::size_t i = 0; i < m_itemWidgets.size(); ++i) {
        QTreeWidgetItem* w = m_itemWidgets[i];
        if (!w || !nodes.validItem(static_cast<int>(i))) continue;
        const records::TreeItem& it = nodes.item(static_cast<int>(i));
        if (i != 0) {
            const QString text = nameText(it.text);
            if (w->text(0) != text) w->setText(0, text);
        }
        const Qt::CheckState check = qtCheck(it.check);
        if (w->checkState(0) != check || !w->data(0, Qt::CheckStateRole).isValid()) w->setCheckState(0, check);
    }
    m_syncing = false;
}

void CChildDialogExDemoDlg::onFolderItemChanged(QTreeWidgetItem* item, int column) {
    if (m_syncing || column != 0 || listingRunning()) return;
    const QVariant id = item->data(0, kItemIdRole);
    if (!id.isValid()) return;
    // The control toggled the box itself; the model decides the three states.
    // The click that did it selects the item but lists nothing.
    m_checkClicked = true;
    m_state.FolderNodeList.ToggleCheck(id.toInt());
    syncFromModel();
    m_FolderTree->setCurrentItem(item);
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
            m_c.currentFolder->setText(nameText(m_state.FolderNodeList.FolderPath(id)));
            setItemImage(item, records::kImageFolderListed);
            if (m_previousListed != id) setItemImage(widgetOf(m_previousListed), records::kImageFolder);
            m_previousListed = id;
            if (m_ListOnNextExpand) {
                m_ListOnNextExpand = false;
                m_FolderTree->setCurrentItem(item);
                const int node = m_state.FolderNodeList.nodeOfItem(id);
                if (node >= 0 && m_state.ActiveVolume.fileSystemName != "NTFS")
                    engine::readFatFolderDirectory(m_state, node);
                fillFileList(engine::PopulateFileList(m_state, id));
                m_listedFolder = id;
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
    if (!isRoot) m_c.currentFolder->setText(nameText(m_state.FolderNodeList.FolderPath(id)));
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
    if (m_listingResult) fillFileList(*m_listingResult);
    m_listedFolder = m_listTarget;
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
    list->setRowCount(0);
    list->setRowCount(static_cast<int>(rows.size()));
    int r = 0;
    for (const records::FileListRow& row : rows) {
        for (int c = 0; c < 8; ++c) {
            const std::string& cell = row.cells[static_cast<std::size_t>(c)];
            auto* item = new ListCell(c == records::kListName ? nameText(cell) : QString::fromStdString(cell));
            item->setData(kRowSizeRole, QVariant::fromValue<qulonglong>(row.sizeBytes));
            if (c == records::kListName) {
                item->setIcon(row.isFolder ? folderIcon() : fileIcon(item->text()));
                item->setData(kRowFolderRole, row.isFolder);
                item->setData(kRowItemRole, row.treeItem);
            }
            list->setItem(r, c, item);
        }
        ++r;
    }
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
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
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
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
    case Qt::Key_Escape: return true;
    default: return false;
    }
}

// ------------------------------------------------------------------ context menus

void CChildDialogExDemoDlg::showTreeMenu(const QPoint& pos) {
    if (!m_FolderTree || listingRunning() || saveRunning()) return;
    QMenu menu(this);
    QAction* save = menu.addAction("Save");
    menu.setDefaultAction(save);
    if (menu.exec(m_FolderTree->viewport()->mapToGlobal(pos)) == save) OnSave();
}

void CChildDialogExDemoDlg::showListMenu(const QPoint& pos) {
    if (m_WizardStep != kStepResults || listingRunning() || saveRunning()) return;
    const int row = m_c.mainList->rowAt(pos.y());
    if (row >= 0) m_c.mainList->selectRow(row);
    QMenu menu(this);
    QAction* open = menu.addAction("Open");
    QAction* save = menu.addAction("Save");
    QAction* all = menu.addAction("Save All");
    open->setEnabled(row >= 0);
    menu.setDefaultAction(open);
    QAction* chosen = menu.exec(m_c.mainList->viewport()->mapToGlobal(pos));
    if (chosen == open) onListActivated(row);
    else if (chosen == save) saveRowOrSelection();
    else if (chosen == all) saveAll();
}

// ------------------------------------------------------------------ Save

std::vector<records::TreeItemId> CChildDialogExDemoDlg::checkedItems() const {
    std::vector<records::TreeItemId> out;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    if (nodes.itemCount() == 0) return out;
    std::vector<records::TreeItemId> work{records::kRootItem};
    while (!work.empty()) {
        const records::TreeItemId id = work.back();
        work.pop_back();
        const records::TreeItem& it = nodes.item(id);
        if (it.check == records::CheckState::Checked) {
            if (it.node < 0) return {records::kRootItem};  // the root or a file system: everything
            out.push_back(id);
        } else if (it.check == records::CheckState::Partial) {
            for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) work.push_back(*c);
        }
    }
    return out;
}

std::string CChildDialogExDemoDlg::itemPath(records::TreeItemId id) const {
    return m_state.FolderNodeList.FolderPath(id, "/");
}

std::string CChildDialogExDemoDlg::rowPath(int row) const {
    QTableWidgetItem* name = m_c.mainList->item(row, records::kListName);
    if (!name) return {};
    if (name->data(kRowFolderRole).toBool()) return itemPath(name->data(kRowItemRole).toInt());
    const QByteArray bytes = name->text().toUtf8();
    std::string file(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    std::string folder =
        m_state.FolderNodeList.validItem(m_listedFolder) ? m_state.FolderNodeList.FolderPath(m_listedFolder, "/") : "";
    return folder.empty() ? file : folder + "/" + file;
}

void CChildDialogExDemoDlg::saveItems(const std::vector<records::TreeItemId>& items) {
    SaveRequest request;
    for (records::TreeItemId id : items) {
        request.folders.push_back(id);
        if (id == records::kRootItem || m_state.FolderNodeList.nodeOfItem(id) < 0) {
            request.paths.clear();  // the whole tree
            request.folders = {records::kRootItem};
            break;
        }
        request.paths.push_back(itemPath(id));
    }
    runSave(std::move(request));
}

void CChildDialogExDemoDlg::OnSave() {
    if (m_WizardStep != kStepResults || analysisRunning() || saveRunning()) return;
    const std::vector<records::TreeItemId> checked = checkedItems();
    if (!checked.empty()) {
        saveItems(checked);
        return;
    }
    saveRowOrSelection();
}

void CChildDialogExDemoDlg::saveAll() {
    const std::vector<records::TreeItemId> checked = checkedItems();
    if (!checked.empty()) {
        saveItems(checked);
        return;
    }
    // Nothing checked: every row of the list.
    SaveRequest request;
    for (int r = 0; r < m_c.mainList->rowCount(); ++r) {
        QTableWidgetItem* name = m_c.mainList->item(r, records::kListName);
        if (name && name->data(kRowFolderRole).toBool()) request.folders.push_back(name->data(kRowItemRole).toInt());
        std::string p = rowPath(r);
        if (!p.empty()) request.paths.push_back(std::move(p));
    }
    if (!request.paths.empty()) runSave(std::move(request));
}

void CChildDialogExDemoDlg::saveRowOrSelection() {
    const std::vector<records::TreeItemId> checked = checkedItems();
    if (!checked.empty()) {
        saveItems(checked);
        return;
    }
    const int row = m_c.mainList->currentRow();
    if (row >= 0 && m_c.mainList->item(row, records::kListName)) {
        QTableWidgetItem* name = m_c.mainList->item(row, records::kListName);
        if (name->data(kRowFolderRole).toBool()) {
            saveItems({name->data(kRowItemRole).toInt()});
            return;
        }
        SaveRequest request;
        request.paths.push_back(rowPath(row));
        runSave(std::move(request));
    } else if (m_FolderTree && m_FolderTree->currentItem()) {
        saveItems({m_FolderTree->currentItem()->data(0, kItemIdRole).toInt()});
    }
}

QString CChildDialogExDemoDlg::askPath(PathRequest request) {
    if (m_pathHook) return m_pathHook(request);
    switch (request) {
    case PathRequest::SaveDestination: {
        CSaveAsDlg dlg(this);
        return dlg.exec() == QDialog::Accepted ? dlg.folder() : QString();
    }
    case PathRequest::SaveLog:
        return QFileDialog::getSaveFileName(this, "Save Log", QDir::homePath(), "LGX Files (*.LGX)");
    case PathRequest::LoadLog:
        return QFileDialog::getOpenFileName(this, "Load Log", QDir::homePath(), "LGX Files (*.LGX)");
    }
    return {};
}

int CChildDialogExDemoDlg::askDialog(QDialog& dialog) {
    if (m_dialogHook) return m_dialogHook(dialog.windowTitle());
    return dialog.exec();
}

void CChildDialogExDemoDlg::setSaveControlsEnabled(bool enabled) {
    m_c.back->setEnabled(enabled);
    m_c.save->setEnabled(enabled);
    m_c.saveLog->setEnabled(enabled);
    if (m_FolderTree) m_FolderTree->setEnabled(enabled);
    m_c.mainList->setEnabled(enabled);
}

void CChildDialogExDemoDlg::runSave(SaveRequest request) {
    if (saveRunning() || listingRunning() || m_countJob->running()) return;
    const QString destination = askPath(PathRequest::SaveDestination);
    if (destination.isEmpty()) return;
    m_pendingSave = std::move(request);
    m_saveDestination = destination;
    m_totalFiles = static_cast<int>(m_pendingSave.paths.size());
    if (m_pendingSave.folders.empty()) {
        startSaveJob();
        return;
    }

    // Folders are saved: their files are counted first.
    setSaveControlsEnabled(false);
    auto* calculating = new CCalculatingDlg(this);
    m_calculating = calculating;
    connect(calculating->stopButton(), &QPushButton::clicked, m_countJob, &JobRunner::requestStop);
    connect(m_countJob, &JobRunner::counter, calculating,
            [calculating](const QString&, const QString& value) { calculating->setCount(value); });
    calculating->show();
    auto count = std::make_shared<int>(0);
    m_countResult = count;
    engine::RecoveryState* state = &m_state;
    const std::vector<records::TreeItemId> folders = m_pendingSave.folders;
    m_countJob->start([state, folders, count](std::stop_token stop, util::ProgressSink& sink) {
        const records::FolderNodeList& nodes = state->FolderNodeList;
        std::vector<records::TreeItemId> work(folders.rbegin(), folders.rend());
        int total = 0;
        while (!work.empty() && !stop.stop_requested()) {
            const records::TreeItemId id = work.back();
            work.pop_back();
            if (!nodes.validItem(id)) continue;
            const records::TreeItem& it = nodes.item(id);
            if (it.node >= 0 || id == records::kRootItem) {
                for (const records::FileListRow& row : engine::PopulateFileList(*state, id))
                    if (!row.isFolder) ++total;
                sink.setCounter("Total Files :", std::to_string(total));
            }
            for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) work.push_back(*c);
        }
        *count = stop.stop_requested() ? -1 : total;
    });
}

void CChildDialogExDemoDlg::onCountFinished() {
    if (m_calculating) {
        m_calculating->deleteLater();
        m_calculating = nullptr;
    }
    if (!m_countResult || *m_countResult < 0) {  // Stop: nothing is saved
        setSaveControlsEnabled(true);
        emit jobFinished();
        return;
    }
    m_totalFiles = *m_countResult;
    startSaveJob();
}

void CChildDialogExDemoDlg::startSaveJob() {
    engine::RecoveryOptions options;
    options.destination = m_saveDestination.toStdString();
    options.paths = m_pendingSave.paths;
    options.onConflict = recover::ConflictPolicy::Rename;

    // Something of the selection is at the destination already: one answer
    // decides for every file of this save.
    const QDir dest(m_saveDestination);
    QString existing;
    if (m_pendingSave.paths.empty()) {
        if (dest.exists() && !dest.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot)) existing = "*";
    } else {
        for (const std::string& p : m_pendingSave.paths)
            if (QFileInfo::exists(dest.filePath(QString::fromStdString(p)))) {
                existing = QString::fromStdString(p);
                break;
            }
    }
    if (!existing.isEmpty()) {
        const QString shown = existing == "*" ? m_saveDestination : existing.section('/', -1);
        CReplaceDlg ask(shown, QString::fromStdString(recover::numberedName(shown.toStdString(), 1)), this);
        ask.setApplyToAll(true);
        switch (askDialog(ask)) {
        case CReplaceDlg::Overwrite:
        case CReplaceDlg::YesToAll: options.onConflict = recover::ConflictPolicy::Overwrite; break;
        case CReplaceDlg::Skip:
        case CReplaceDlg::NoToAll: options.onConflict = recover::ConflictPolicy::Skip; break;
        case CReplaceDlg::Rename: options.onConflict = recover::ConflictPolicy::Rename; break;
        default:  // Cancel or closed
            setSaveControlsEnabled(true);
            emit jobFinished();
            return;
        }
    }

    setSaveControlsEnabled(false);
    auto* saving = new CSavingDlg(this);
    m_saving = saving;
    // A file is written in one piece by the recovery; Stop ends the save after it.
    saving->skipButton()->setEnabled(false);
    connect(saving->stopButton(), &QPushButton::clicked, m_saveJob, &JobRunner::requestStop);
    auto files = std::make_shared<std::atomic<int>>(0);
    auto bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
    const int total = m_totalFiles;
    connect(m_saveJob, &JobRunner::statusText, saving, [saving, files, bytes, total](const QString& text) {
        saving->setStatus(text);
        saving->setTotals(files->load(), total, bytes->load());
    });
    connect(m_saveJob, &JobRunner::progress, saving, [saving, files, bytes, total](int percent, const QString&) {
        saving->setPercent(percent);
        saving->setTotals(files->load(), total, bytes->load());
    });
    saving->show();

    options.onFile = [files, bytes](const recover::ReportEntry& e) {
        if (e.outcome != recover::Outcome::Failed) files->fetch_add(1);
        bytes->fetch_add(e.bytesWritten);
    };
    auto result = std::make_shared<engine::RecoveryRun>();
    m_saveResult = result;
    engine::RecoveryState* state = &m_state;
    m_saveJob->start([state, options, result](std::stop_token stop, util::ProgressSink& sink) {
        *result = engine::recoverSelection(*state, options, sink, stop);
    });
}

void CChildDialogExDemoDlg::onSaveFinished() {
    if (m_saving) {
        m_saving->deleteLater();
        m_saving = nullptr;
    }
    setSaveControlsEnabled(true);
    if (m_saveResult) {
        const engine::RecoveryRun& run = *m_saveResult;
        if (run.status == engine::RecoveryStatus::Refused || run.status == engine::RecoveryStatus::DestinationError) {
            // Nothing can be written there: every answer ends this save.
            CWriteErrorDlg error(q(run.message), this);
            askDialog(error);
        } else {
            messageBox(q(run.report.summary()), QMessageBox::Information);
        }
    }
    emit jobFinished();
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
    m_c.searchMore->hide();
    m_c.back->show();
    m_jobSetHelp = false;
    showResults();
    emit jobFinished();
}

}  // namespace qvx::ui
