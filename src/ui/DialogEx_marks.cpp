// The marks of the result screen: the folder tree's check boxes and the
// file list's. A folder's box keeps the tree model's three states; files
// can be marked one by one, and a folder whose own files are partly marked
// shows a partly checked box, as do the folders above it. Also the list's
// filter and item count.

#include <QCheckBox>
#include <QLineEdit>
#include <QLabel>
#include <QTableWidget>
#include <QTreeWidget>

#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"

namespace qvx::ui {

using namespace layout;

namespace {

Qt::CheckState qtCheck(records::CheckState s) {
    switch (s) {
    case records::CheckState::Checked: return Qt::Checked;
    case records::CheckState::Partial: return Qt::PartiallyChecked;
    default: return Qt::Unchecked;
    }
}

}  // namespace

records::CheckState CChildDialogExDemoDlg::shownCheck(records::TreeItemId id) const {
    if (id >= 0 && static_cast<std::size_t>(id) < m_shownChecks.size()) return m_shownChecks[static_cast<std::size_t>(id)];
    return m_state.FolderNodeList.validItem(id) ? m_state.FolderNodeList.checkState(id) : records::CheckState::Unchecked;
}

/// Every item's box from its children and its own files, innermost first:
/// checked when all of them are, unchecked when none is, partly otherwise.
void CChildDialogExDemoDlg::computeShownChecks() {
    using records::CheckState;
    const records::FolderNodeList& nodes = m_state.FolderNodeList;
    m_shownChecks.assign(static_cast<std::size_t>(nodes.itemCount()), CheckState::Unchecked);
    if (nodes.itemCount() == 0) return;
    std::vector<records::TreeItemId> order;
    std::vector<records::TreeItemId> work{records::kRootItem};
    std::vector<char> seen(static_cast<std::size_t>(nodes.itemCount()), 0);
    while (!work.empty()) {
        const records::TreeItemId id = work.back();
        work.pop_back();
        if (!nodes.validItem(id) || seen[static_cast<std::size_t>(id)]) continue;
        seen[static_cast<std::size_t>(id)] = 1;
        order.push_back(id);
        for (records::TreeItemId c : nodes.item(id).children) work.push_back(c);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const records::TreeItemId id = *it;
        const records::TreeItem& item = nodes.item(id);
        bool allChecked = true;
        bool noneChecked = true;
        const auto marks = m_fileMarks.find(id);
        if (marks != m_fileMarks.end()) {
            const std::size_t marked = marks->second.names.size();
            if (marked > 0) noneChecked = false;
            if (marked < static_cast<std::size_t>(marks->second.total)) allChecked = false;
        } else if (item.check == CheckState::Checked) {
            noneChecked = false;
        } else {
            allChecked = false;
        }
        for (records::TreeItemId c : item.children) {
            if (!nodes.validItem(c) || !seen[static_cast<std::size_t>(c)]) continue;
            const CheckState s = m_shownChecks[static_cast<std::size_t>(c)];
            if (s != CheckState::Checked) allChecked = false;
            if (s != CheckState::Unchecked) noneChecked = false;
        }
        m_shownChecks[static_cast<std::size_t>(id)] = allChecked    ? CheckState::Checked
                                                      : noneChecked ? CheckState::Unchecked
                                                                    : CheckState::Partial;
    }
}

bool CChildDialogExDemoDlg::fileMarked(records::TreeItemId folder, const std::string& name) const {
    const auto marks = m_fileMarks.find(folder);
    if (marks != m_fileMarks.end()) return marks->second.names.count(name) > 0;
    return m_state.FolderNodeList.validItem(folder) &&
           m_state.FolderNodeList.checkState(folder) == records::CheckState::Checked;
}

/// A click on a folder's box: a checked or partly checked folder becomes
/// unchecked with everything under it, an unchecked one checked; the
/// folders above are worked out again.
void CChildDialogExDemoDlg::toggleFolderMark(records::TreeItemId id) {
    records::FolderNodeList& nodes = m_state.FolderNodeList;
    if (!nodes.validItem(id)) return;
    const records::CheckState want =
        shownCheck(id) == records::CheckState::Unchecked ? records::CheckState::Checked : records::CheckState::Unchecked;
    nodes.ToggleCheck(id);
    if (nodes.checkState(id) != want) nodes.ToggleCheck(id);
    // The files of the folder and of everything under it follow its box.
    std::vector<records::TreeItemId> work{id};
    while (!work.empty()) {
        const records::TreeItemId current = work.back();
        work.pop_back();
        m_fileMarks.erase(current);
        for (records::TreeItemId c : nodes.item(current).children) work.push_back(c);
    }
    syncFromModel();
    syncListChecks();
}

/// A click on a file row's box in the list.
void CChildDialogExDemoDlg::toggleFileMark(int row) {
    QTableWidget* list = m_c.mainList;
    QTableWidgetItem* cell = list->item(row, records::kListName);
    const records::TreeItemId folder = m_listedFolder;
    if (!cell || !m_state.FolderNodeList.validItem(folder)) return;
    if (cell->data(kRowFolderRole).toBool()) {
        toggleFolderMark(cell->data(kRowItemRole).toInt());
        return;
    }
    const bool folderChecked = m_state.FolderNodeList.checkState(folder) == records::CheckState::Checked;
    auto marks = m_fileMarks.find(folder);
    if (marks == m_fileMarks.end()) {
        FileMarks fresh;
        for (int r = 0; r < list->rowCount(); ++r) {
            QTableWidgetItem* c = list->item(r, records::kListName);
            if (!c || c->data(kRowFolderRole).toBool()) continue;
            ++fresh.total;
            if (folderChecked) fresh.names[nameBytes(c->text())] = c->data(kRowSizeRole).toULongLong();
        }
        marks = m_fileMarks.emplace(folder, std::move(fresh)).first;
    }
    const std::string name = nameBytes(cell->text());
    auto& names = marks->second.names;
    if (names.count(name)) names.erase(name);
    else names[name] = cell->data(kRowSizeRole).toULongLong();
    // Back to the folder's own box when the marks say the same.
    if ((folderChecked && names.size() == static_cast<std::size_t>(marks->second.total)) ||
        (!folderChecked && names.empty()))
        m_fileMarks.erase(marks);
    syncFromModel();
    syncListChecks();
}

/// The boxes of the list's rows from the marks.
void CChildDialogExDemoDlg::syncListChecks() {
    if (m_WizardStep != kStepResults) return;
    QTableWidget* list = m_c.mainList;
    const bool was = m_syncing;
    m_syncing = true;
    for (int r = 0; r < list->rowCount(); ++r) {
        QTableWidgetItem* c = list->item(r, records::kListName);
        if (!c || !(c->flags() & Qt::ItemIsUserCheckable)) continue;
        const Qt::CheckState state = c->data(kRowFolderRole).toBool()
                                         ? qtCheck(shownCheck(c->data(kRowItemRole).toInt()))
                                         : (fileMarked(m_listedFolder, nameBytes(c->text())) ? Qt::Checked : Qt::Unchecked);
        if (c->checkState() != state) c->setCheckState(state);
    }
    m_syncing = was;
}

void CChildDialogExDemoDlg::onListItemChanged(QTableWidgetItem* item) {
    if (m_syncing || !item || item->column() != records::kListName || listingRunning() || saveRunning()) return;
    if (!(item->flags() & Qt::ItemIsUserCheckable)) return;
    const Qt::CheckState shown = item->data(kRowFolderRole).toBool()
                                     ? qtCheck(shownCheck(item->data(kRowItemRole).toInt()))
                                     : (fileMarked(m_listedFolder, nameBytes(item->text())) ? Qt::Checked : Qt::Unchecked);
    if (item->checkState() == shown) return;  // the text or icon changed, not the box
    toggleFileMark(item->row());
}

void CChildDialogExDemoDlg::onFolderItemChanged(QTreeWidgetItem* item, int column) {
    if (m_syncing || column != 0 || listingRunning()) return;
    const QVariant id = item->data(0, kItemIdRole);
    if (!id.isValid()) return;
    // Only the box changes a mark: a new icon or text (expanding, listing,
    // a FAT folder's name read) reports the item changed as well.
    if (item->checkState(0) == qtCheck(shownCheck(id.toInt()))) return;
    // The click that did it selects the item but lists nothing.
    m_checkClicked = true;
    toggleFolderMark(id.toInt());
    m_FolderTree->setCurrentItem(item);
}

// ------------------------------------------------------------------ filter

/// Hides the rows that do not match the filter: a text without a dot
/// matches names containing it, ".ext" (or "*.ext") names ending in it.
void CChildDialogExDemoDlg::applyFilter() {
    QTableWidget* list = m_c.mainList;
    if (m_WizardStep != kStepResults || !m_c.filter) {
        for (int r = 0; r < list->rowCount(); ++r) list->setRowHidden(r, false);
        return;
    }
    QString pattern = m_c.filter->text().trimmed();
    if (pattern.startsWith('*')) pattern.remove(0, 1);
    const bool extension = pattern.startsWith('.');
    const bool deletedOnly = m_c.deletedOnly->isChecked();
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

void CChildDialogExDemoDlg::updateItemCount() {
    if (!m_c.itemCount) return;
    QTableWidget* list = m_c.mainList;
    int shown = 0;
    for (int r = 0; r < list->rowCount(); ++r)
        if (!list->isRowHidden(r)) ++shown;
    const int total = list->rowCount();
    m_c.itemCount->setText(shown == total ? QString("%1 item%2").arg(total).arg(total == 1 ? "" : "s")
                                          : QString("%1 of %2 items").arg(shown).arg(total));
}

}  // namespace qvx::ui
