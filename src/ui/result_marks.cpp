#include "ui/result_marks.h"

namespace qvx::ui {

records::CheckState ResultMarks::shownCheck(records::TreeItemId id) const {
    if (id >= 0 && static_cast<std::size_t>(id) < m_shownChecks.size()) return m_shownChecks[static_cast<std::size_t>(id)];
    return m_nodes.validItem(id) ? m_nodes.checkState(id) : records::CheckState::Unchecked;
}

/// Every item's box from its children and its own files, innermost first:
/// checked when all of them are, unchecked when none is, partly otherwise.
void ResultMarks::computeShownChecks() {
    using records::CheckState;
    const records::FolderNodeList& nodes = m_nodes;
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

bool ResultMarks::fileMarked(records::TreeItemId folder, const std::string& name) const {
    const auto marks = m_fileMarks.find(folder);
    if (marks != m_fileMarks.end()) return marks->second.names.count(name) > 0;
    return m_nodes.validItem(folder) && m_nodes.checkState(folder) == records::CheckState::Checked;
}

/// A checked or partly checked folder becomes unchecked with everything
/// under it, an unchecked one checked.
void ResultMarks::toggleFolder(records::TreeItemId id) {
    records::FolderNodeList& nodes = m_nodes;
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
}

void ResultMarks::toggleFile(records::TreeItemId folder, const std::string& name, std::uint64_t sizeBytes,
                             const std::vector<ListedFile>& listed) {
    if (!m_nodes.validItem(folder)) return;
    const bool folderChecked = m_nodes.checkState(folder) == records::CheckState::Checked;
    auto marks = m_fileMarks.find(folder);
    if (marks == m_fileMarks.end()) {
        FileMarks fresh;
        for (const ListedFile& f : listed) {
            ++fresh.total;
            if (folderChecked) fresh.names[f.name] = f.sizeBytes;
        }
        marks = m_fileMarks.emplace(folder, std::move(fresh)).first;
    }
    auto& names = marks->second.names;
    if (names.count(name)) names.erase(name);
    else names[name] = sizeBytes;
    // Back to the folder's own box when the marks say the same.
    if ((folderChecked && names.size() == static_cast<std::size_t>(marks->second.total)) ||
        (!folderChecked && names.empty()))
        m_fileMarks.erase(marks);
}

}  // namespace qvx::ui
