#include "ui/results_panel.h"

#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QStringList>
#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <unordered_map>

#include "engine/data_condition.h"
#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "ui/DialogEx.h"
#include "ui/save_flow.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/job_runner.h"
#include "ui/panel_widgets.h"
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

ResultsPanel::ResultsPanel(CChildDialogExDemoDlg& window) : m_dlg(window), m_marks(window.m_state.FolderNodeList) {
    m_listingJob = new JobRunner(this);
    m_directoryJob = new JobRunner(this);
    connect(m_listingJob, &JobRunner::finished, this, &ResultsPanel::onListingFinished);
}

ResultsPanel::~ResultsPanel() { abandonJobs(); }

void ResultsPanel::abandonJobs() {
    m_directoryJob->abandon();
    m_listingJob->abandon();
}

void ResultsPanel::createControls() {
    m_dlg.m_c.currentFolderLabel = panelStatic("Current Folder  :", &m_dlg, QRect(265, kRowA, 110, 26));
    m_dlg.m_c.currentFolder = panelStatic(QString(), &m_dlg, QRect(375, kRowA, 390, 26));
}

void ResultsPanel::createListControls() {
    // The populating dialog: no caption, centred over the window when shown.
    m_populate = new QDialog(&m_dlg, Qt::Dialog | Qt::FramelessWindowHint);
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

    auto& c = m_dlg.m_c;
    QTableWidget* list = c.mainList;
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->installEventFilter(this);
    // The list's menu saves what it was opened on; "Open" acts as a double click.
    connect(list, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (m_dlg.m_WizardStep != kStepResults || listingRunning() || m_dlg.saveRunning()) return;
        m_dlg.m_save->listMenu(pos, [this](int row) { onListActivated(row); });
    });
    connect(list, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { onListActivated(row); });
    connect(list, &QTableWidget::itemChanged, this, &ResultsPanel::onListItemChanged);

    // Above the list on the result screen: a filter by name or extension,
    // "Deleted only", and beside "Current Folder" the number of items.
    c.filter = new QLineEdit(&m_dlg);
    c.filter->setPlaceholderText("Filter: name or extension (e.g. report, .txt)");
    c.filter->setClearButtonEnabled(true);
    c.filter->setAccessibleName("Filter the list");
    c.deletedOnly = new QCheckBox("Deleted only", &m_dlg);
    c.itemCount = new QLabel(&m_dlg);
    c.itemCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(c.filter, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(c.deletedOnly, &QCheckBox::toggled, this, [this] { applyFilter(); });
    for (QWidget* w : std::initializer_list<QWidget*>{c.filter, c.deletedOnly, c.itemCount}) w->hide();
}

bool ResultsPanel::listingRunning() const { return m_listingJob->running(); }

void ResultsPanel::stopListing() {
    m_listingJob->abandon();
    m_populate->hide();
    if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    m_dlg.setEnabled(true);
    m_listTarget = m_previousListed = m_listedFolder = records::kNoItem;
    m_MouseSelection = m_ListOnNextExpand = false;
    m_itemWidgets.clear();
}

// ------------------------------------------------------------------ folder tree

void ResultsPanel::buildFolderTreeControl() {
    stopListing();
    m_marks.clear();
    delete m_tree;
    m_tree = new mytreectrl(&m_dlg);
    m_dlg.relayout();
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tree->installEventFilter(this);
    m_tree->viewport()->installEventFilter(this);
    const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
    m_itemWidgets.assign(static_cast<std::size_t>(nodes.itemCount()), nullptr);
    if (nodes.itemCount() > 0) {
        const QString rootText = nodes.item(records::kRootItem).text.empty()
                                     ? QString("Root")
                                     : nameText(nodes.item(records::kRootItem).text);
        QTreeWidgetItem* root = m_tree->addRoot(rootText, {});
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
                QTreeWidgetItem* item = m_tree->addChild(widget, nameText(it.text), {});
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
    connect(m_tree, &QTreeWidget::itemChanged, this, &ResultsPanel::onFolderItemChanged);
    connect(m_tree, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { onFolderItemClicked(item); });
    connect(m_tree, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { onFolderExpansion(item, true); });
    connect(m_tree, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { onFolderExpansion(item, false); });
    connect(m_tree, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { m_dlg.m_save->treeMenu(pos); });
}

QTreeWidgetItem* ResultsPanel::widgetOf(records::TreeItemId id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= m_itemWidgets.size()) return nullptr;
    return m_itemWidgets[static_cast<std::size_t>(id)];
}

void ResultsPanel::setItemImage(QTreeWidgetItem* item, int image) {
    if (!item) return;
    if (item->parent() && isPartitionText(item->text(0))) return;
    item->setData(0, kImageRole, image);
    item->setIcon(0, treeImage(image));
    const QVariant id = item->data(0, kItemIdRole);
    if (id.isValid()) m_dlg.m_state.FolderNodeList.setImage(id.toInt(), image);
}

/// Texts and check states of the tree control from the model (names change
/// when a FAT folder's directory is read, checks after every toggle).
void ResultsPanel::syncFromModel() {
    if (!m_tree) return;
    m_marks.computeShownChecks();
    m_syncing = true;
    const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
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
        const Qt::CheckState check = qtCheck(m_marks.shownCheck(static_cast<int>(i)));
        if (w->checkState(0) != check || !w->data(0, Qt::CheckStateRole).isValid()) w->setCheckState(0, check);
    }
    m_syncing = false;
}

void ResultsPanel::onFolderItemClicked(QTreeWidgetItem* item) {
    if (m_checkClicked) {
        m_checkClicked = false;
        return;
    }
    if (!item) return;
    m_MouseSelection = !m_dlg.analysisRunning();
    startListing(item);
}

void ResultsPanel::listFolder(QTreeWidgetItem* item) {
    m_checkClicked = false;
    onFolderItemClicked(item);
}

void ResultsPanel::onFolderExpansion(QTreeWidgetItem* item, bool expanding) {
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
                m_tree->setCurrentItem(item);
                const int node = m_dlg.m_state.FolderNodeList.nodeOfItem(id);
                if (node >= 0 && m_dlg.m_state.ActiveVolume.fileSystemName != "NTFS")
                    readFolderDirectory(node);
                // "Current Folder" names the folder whose rows are listed.
                m_listedFolder = id;
                m_dlg.m_c.currentFolder->setText(nameText(m_dlg.m_state.FolderNodeList.FolderPath(id)));
                fillFileList(engine::PopulateFileList(m_dlg.m_state, id));
            }
        } else if (!expanding && m_MouseSelection) {
            setItemImage(item, records::kImageFolder);
        }
    }
    // The first expansion reads the folder's directory, which names its sub-folders.
    const int node = m_dlg.m_state.FolderNodeList.nodeOfItem(id);
    if (node >= 0) {
        records::FolderNode& n = m_dlg.m_state.FolderNodeList.node(node);
        if (n.selfId == records::kMiscFolderId) {
            n.expanded = true;
        } else if (!n.expanded) {
            if (m_dlg.m_state.ActiveVolume.fileSystemName != "NTFS")
                readFolderDirectory(node);
            else
                n.expanded = true;
        }
    }
    syncFromModel();
}

void ResultsPanel::readFolderDirectory(int node) {
    // The directory is read on a worker, as a failing disk may take long to
    // answer; the tree needs the names it gives before it goes on, so this
    // waits, painting but taking no input meanwhile.
    engine::RecoveryState* state = &m_dlg.m_state;
    runAndWait(*m_directoryJob,
               [state, node](std::stop_token, util::ProgressSink&) { engine::readFatFolderDirectory(*state, node); });
}

// ------------------------------------------------------------------ ListingThread

void ResultsPanel::startListing(QTreeWidgetItem* target) {
    if (!m_tree || !target) return;
    const QVariant idv = target->data(0, kItemIdRole);
    if (!idv.isValid()) return;
    // At most one listing at a time: a running one is ended first.
    m_listingJob->abandon();
    const records::TreeItemId id = idv.toInt();
    m_dlg.m_c.mainList->setRowCount(0);
    m_listTarget = id;
    const bool isRoot = target->parent() == nullptr;
    m_dlg.m_c.currentFolder->setText(isRoot ? QString("Root") : nameText(m_dlg.m_state.FolderNodeList.FolderPath(id)));
    m_listedFolder = id;
    m_ListOnNextExpand = false;
    if (m_previousListed != records::kNoItem && !isRoot)
        setItemImage(widgetOf(m_previousListed), records::kImageFolderVisited);
    if (m_MouseSelection && !m_dlg.analysisRunning()) setItemImage(target, records::kImageFolderListed);
    if (!isRoot) {
        m_tree->setCurrentItem(target);
        m_previousListed = id;
    }

    m_populate->move(m_dlg.geometry().center() - QPoint(m_populate->width() / 2, m_populate->height() / 2));
    m_populate->show();
    m_populate->raise();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_dlg.setEnabled(false);

    auto result = std::make_shared<records::FileList>();
    auto conditions = std::make_shared<std::vector<records::DataCondition>>();
    m_listingResult = result;
    m_listingConditions = conditions;
    const bool fat = m_dlg.m_state.ActiveVolume.fileSystemName != "NTFS";
    engine::RecoveryState* state = &m_dlg.m_state;
    m_listingJob->start([state, id, fat, result, conditions](std::stop_token stop, util::ProgressSink&) {
        const int node = state->FolderNodeList.nodeOfItem(id);
        if (fat && node >= 0) engine::readFatFolderDirectory(*state, node);
        if (stop.stop_requested()) return;
        engine::ListingOptions options;
        options.miscShowsCurrentTime = true;
        *result = engine::PopulateFileList(*state, id, options);
        // What is left of each deleted file's data, tested against the
        // volume's allocation now.
        const bool insideDeleted = engine::insideDeletedFolder(*state, id);
        conditions->resize(result->size());
        for (std::size_t i = 0; i < result->size() && !stop.stop_requested(); ++i)
            if (engine::hasDataCondition(*state, (*result)[i], insideDeleted))
                (*conditions)[i] = engine::rowCondition(*state, (*result)[i], insideDeleted);
    });
}

void ResultsPanel::onListingFinished() {
    m_populate->hide();
    if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    m_dlg.setEnabled(true);
    syncFromModel();
    m_listedFolder = m_listTarget;
    if (m_listingResult) fillFileList(*m_listingResult, m_listingConditions.get());
    if (QTreeWidgetItem* target = widgetOf(m_listTarget)) {
        m_tree->setCurrentItem(target);
        target->setSelected(true);
    }
    m_dlg.activateWindow();
    m_dlg.raise();
    m_dlg.jobEnded();
}

namespace {

/// "Data overwritten: 3 of 4 clusters reused (by Docs/new.txt)".
QString conditionTip(const records::DataCondition& c) {
    QString tip = "Data " + QString::fromStdString(records::conditionText(c.kind));
    if (c.overwritten() || c.partlyOverwritten()) {
        tip += QString(": %1 of %2 clusters reused").arg(c.reusedClusters).arg(c.totalClusters);
        if (!c.reusedBy.empty()) {
            QStringList by;
            for (const std::string& p : c.reusedBy) by << nameText(p);
            tip += " (by " + by.join(", ") + ")";
        }
    }
    return tip;
}

}  // namespace

void ResultsPanel::fillFileList(const records::FileList& rows, const std::vector<records::DataCondition>* conditions) {
    QTableWidget* list = m_dlg.m_c.mainList;
    const bool was = m_syncing;
    m_syncing = true;
    list->setSortingEnabled(false);
    list->setRowCount(0);
    list->setRowCount(static_cast<int>(rows.size()));
    int r = 0;
    const QColor greyed = list->palette().color(QPalette::Disabled, QPalette::Text);
    for (const records::FileListRow& row : rows) {
        const records::DataCondition* condition =
            conditions != nullptr && static_cast<std::size_t>(r) < conditions->size() &&
                    (*conditions)[static_cast<std::size_t>(r)].known()
                ? &(*conditions)[static_cast<std::size_t>(r)]
                : nullptr;
        // A deleted file whose clusters now belong to other files is shown
        // greyed: saving it writes what those files hold.
        const bool reused = condition != nullptr && (condition->overwritten() || condition->partlyOverwritten());
        for (int c = 0; c < 8; ++c) {
            std::string cell = row.cells[static_cast<std::size_t>(c)];
            // A deleted file says so, as a deleted folder does.
            if (c == records::kListType && row.deleted && !row.isFolder) cell = "Deleted File";
            auto* item = new ListCell(c == records::kListName ? nameText(cell) : QString::fromStdString(cell));
            item->setData(kRowSizeRole, QVariant::fromValue<qulonglong>(row.sizeBytes));
            item->setData(kRowDeletedRole, row.deleted);
            if (c == records::kListName || c == records::kListType) item->setToolTip(item->text());
            if (condition != nullptr) item->setToolTip(item->text() + "\n" + conditionTip(*condition));
            if (reused) item->setForeground(greyed);
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

void ResultsPanel::onListActivated(int row) {
    QTableWidgetItem* name = m_dlg.m_c.mainList->item(row, records::kListName);
    if (!name) return;
    if (name->data(kRowFolderRole).toBool()) {
        QTreeWidgetItem* target = widgetOf(name->data(kRowItemRole).toInt());
        if (!target) return;
        if (target->parent()) target->parent()->setExpanded(true);
        m_MouseSelection = true;
        startListing(target);
    } else {
        m_dlg.m_save->saveActivatedFile(row);
    }
}

// ------------------------------------------------------------------ keyboard

bool ResultsPanel::eventFilter(QObject* watched, QEvent* event) {
    // A press starts a new click: whether it toggles a check box is seen on release.
    if (event->type() == QEvent::MouseButtonPress && m_tree && watched == m_tree->viewport())
        m_checkClicked = false;
    if (event->type() != QEvent::KeyPress || m_dlg.m_WizardStep != kStepResults) return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == m_tree && m_tree) return folderTreeKey(key);
    if (watched == m_dlg.m_c.mainList) {
        switch (key->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_F6:
            if (m_tree) m_tree->setFocus();
            return true;
        case Qt::Key_F7: return true;
        case Qt::Key_Space:
            // Space marks the current row, as a click on its box does.
            if (m_dlg.m_c.mainList->currentRow() >= 0 && !listingRunning() && !m_dlg.saveRunning())
                toggleFileMark(m_dlg.m_c.mainList->currentRow());
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape: return true;
        default: break;
        }
    }
    return QObject::eventFilter(watched, event);
}

bool ResultsPanel::folderTreeKey(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down: {
        QTreeWidgetItem* current = m_tree->currentItem();
        QTreeWidgetItem* next = !current ? m_tree->rootItem()
                                : event->key() == Qt::Key_Up ? m_tree->itemAbove(current)
                                                             : m_tree->itemBelow(current);
        if (!next) return true;
        m_tree->setCurrentItem(next);
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
        m_dlg.m_c.mainList->setFocus();
        m_dlg.m_c.mainList->setCurrentItem(nullptr);
        return true;
    case Qt::Key_F6: return true;
    case Qt::Key_Space:
        // Space marks the current folder, as a click on its box does.
        if (QTreeWidgetItem* current = m_tree->currentItem(); current && !listingRunning() && !m_dlg.saveRunning()) {
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


// ------------------------------------------------------------------ marks and filter

/// The boxes of the list's rows from the marks.
void ResultsPanel::syncListChecks() {
    if (m_dlg.m_WizardStep != kStepResults) return;
    QTableWidget* list = m_dlg.m_c.mainList;
    const bool was = m_syncing;
    m_syncing = true;
    for (int r = 0; r < list->rowCount(); ++r) {
        QTableWidgetItem* c = list->item(r, records::kListName);
        if (!c || !(c->flags() & Qt::ItemIsUserCheckable)) continue;
        const Qt::CheckState state = c->data(kRowFolderRole).toBool()
                                         ? qtCheck(m_marks.shownCheck(c->data(kRowItemRole).toInt()))
                                         : (m_marks.fileMarked(m_listedFolder, nameBytes(c->text())) ? Qt::Checked : Qt::Unchecked);
        if (c->checkState() != state) c->setCheckState(state);
    }
    m_syncing = was;
}

void ResultsPanel::onListItemChanged(QTableWidgetItem* item) {
    if (m_syncing || !item || item->column() != records::kListName || listingRunning() || m_dlg.saveRunning()) return;
    if (!(item->flags() & Qt::ItemIsUserCheckable)) return;
    const Qt::CheckState shown = item->data(kRowFolderRole).toBool()
                                     ? qtCheck(m_marks.shownCheck(item->data(kRowItemRole).toInt()))
                                     : (m_marks.fileMarked(m_listedFolder, nameBytes(item->text())) ? Qt::Checked : Qt::Unchecked);
    if (item->checkState() == shown) return;  // the text or icon changed, not the box
    toggleFileMark(item->row());
}

void ResultsPanel::onFolderItemChanged(QTreeWidgetItem* item, int column) {
    if (m_syncing || column != 0 || listingRunning()) return;
    const QVariant id = item->data(0, kItemIdRole);
    if (!id.isValid()) return;
    // Only the box changes a mark: a new icon or text (expanding, listing,
    // a FAT folder's name read) reports the item changed as well.
    if (item->checkState(0) == qtCheck(m_marks.shownCheck(id.toInt()))) return;
    // The click that did it selects the item but lists nothing.
    m_checkClicked = true;
    toggleFolderMark(id.toInt());
    m_tree->setCurrentItem(item);
}

/// Hides the rows that do not match the filter: a text without a dot
/// matches names containing it, ".ext" (or "*.ext") names ending in it.
void ResultsPanel::applyFilter() {
    QTableWidget* list = m_dlg.m_c.mainList;
    if (m_dlg.m_WizardStep != kStepResults || !m_dlg.m_c.filter) {
        for (int r = 0; r < list->rowCount(); ++r) list->setRowHidden(r, false);
        return;
    }
    QString pattern = m_dlg.m_c.filter->text().trimmed();
    if (pattern.startsWith('*')) pattern.remove(0, 1);
    const bool extension = pattern.startsWith('.');
    const bool deletedOnly = m_dlg.m_c.deletedOnly->isChecked();
    for (int r = 0; r < list->rowCount(); ++r) {
        QTableWidgetItem* name = list->item(r, records::kListName);
        bool show = name != nullptr;
        if (show && deletedOnly) show = name->data(kRowDeletedRole).toBool();
        if (show && !pattern.isEmpty())
            show = extension ? name->text().endsWith(pattern, Qt::CaseInsensitive)
                             : name->text().contains(pattern, Qt::CaseInsensitive);
        list->setRowHidden(r, !show);
    }
    updateItemCount();
}

void ResultsPanel::updateItemCount() {
    if (!m_dlg.m_c.itemCount) return;
    QTableWidget* list = m_dlg.m_c.mainList;
    int shown = 0;
    for (int r = 0; r < list->rowCount(); ++r)
        if (!list->isRowHidden(r)) ++shown;
    const int total = list->rowCount();
    m_dlg.m_c.itemCount->setText(shown == total ? QString("%1 item%2").arg(total).arg(total == 1 ? "" : "s")
                                          : QString("%1 of %2 items").arg(shown).arg(total));
}

/// A click on a folder's box; the folders above are worked out again.
void ResultsPanel::toggleFolderMark(records::TreeItemId id) {
    m_marks.toggleFolder(id);
    syncFromModel();
    syncListChecks();
}

/// A click on a row's box in the list.
void ResultsPanel::toggleFileMark(int row) {
    QTableWidget* list = m_dlg.m_c.mainList;
    QTableWidgetItem* cell = list->item(row, records::kListName);
    const records::TreeItemId folder = m_listedFolder;
    if (!cell || !m_dlg.m_state.FolderNodeList.validItem(folder)) return;
    if (cell->data(kRowFolderRole).toBool()) {
        toggleFolderMark(cell->data(kRowItemRole).toInt());
        return;
    }
    std::vector<ResultMarks::ListedFile> listed;
    for (int r = 0; r < list->rowCount(); ++r) {
        QTableWidgetItem* c = list->item(r, records::kListName);
        if (!c || c->data(kRowFolderRole).toBool()) continue;
        listed.push_back({nameBytes(c->text()), c->data(kRowSizeRole).toULongLong()});
    }
    m_marks.toggleFile(folder, nameBytes(cell->text()), cell->data(kRowSizeRole).toULongLong(), listed);
    syncFromModel();
    syncListChecks();
}

// ------------------------------------------------------------------ the screen

void ResultsPanel::showScreen() {
    auto& c = m_dlg.m_c;
    m_dlg.setMainListColumns({{"Name", 145},
                              {"Type", 100},
                              {"Size", 70},
                              {"Date", 100},
                              {"Time", 70},
                              {"Debug Info 1", 0},
                              {"Debug Info 2", 0},
                              {"Debug Info 3", 0}});
    c.mainList->show();
    c.mainList->setEnabled(true);

    buildFolderTreeControl();
    m_tree->show();
    c.currentFolderLabel->show();
    c.currentFolder->setText("Root");
    c.currentFolder->show();
    for (QWidget* w : std::initializer_list<QWidget*>{c.filter, c.deletedOnly, c.itemCount}) w->show();
    c.mainList->horizontalHeader()->setSortIndicatorShown(true);
    updateItemCount();
    c.back->setEnabled(true);
    c.next->setEnabled(false);
    c.loadLog->setEnabled(false);
    c.save->setEnabled(true);
    c.saveLog->setEnabled(true);
    if (!m_dlg.m_jobSetHelp) m_dlg.SetHelpText(texts::kResultsHelp);
}

bool ResultsPanel::closeScreen() {
    auto& c = m_dlg.m_c;
    stopListing();
    c.save->setEnabled(false);
    c.saveLog->setEnabled(false);
    c.currentFolderLabel->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{c.filter, c.deletedOnly, c.itemCount}) w->hide();
    c.currentFolder->hide();
    const bool had = m_tree != nullptr;
    delete m_tree;
    m_tree = nullptr;
    return had;
}

void ResultsPanel::setInputEnabled(bool enabled) {
    if (m_tree) m_tree->setEnabled(enabled);
    m_dlg.m_c.mainList->setEnabled(enabled);
}

std::string ResultsPanel::rowPath(int row) const {
    QTableWidgetItem* name = m_dlg.m_c.mainList->item(row, records::kListName);
    if (!name) return {};
    const records::FolderNodeList& nodes = m_dlg.m_state.FolderNodeList;
    if (name->data(kRowFolderRole).toBool()) return nodes.FolderPath(name->data(kRowItemRole).toInt(), "/");
    const std::string file = nameBytes(name->text());
    std::string folder = nodes.validItem(m_listedFolder) ? nodes.FolderPath(m_listedFolder, "/") : "";
    return folder.empty() ? file : folder + "/" + file;
}

}  // namespace qvx::ui
