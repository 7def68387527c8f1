#pragma once
// The marks of the result screen: which folders and files a Save writes.
// A folder's box is the model's check state; single files are marked in
// the list, by folder. The box a folder shows combines both, from the files
// of the folders under it.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "records/folder_tree.h"

namespace qvx::ui {

class ResultMarks {
public:
    /// Marks of single files of one folder: the names (8-bit) of the
    /// folder's own files that are saved, and their sizes. A folder without
    /// an entry saves its own files when its box is checked.
    struct FileMarks {
        std::map<std::string, std::uint64_t> names;
        int total = 0;  // files the folder has
    };
    /// A file of the listed folder: its name and size.
    struct ListedFile {
        std::string name;
        std::uint64_t sizeBytes = 0;
    };

    explicit ResultMarks(records::FolderNodeList& nodes) : m_nodes(nodes) {}

    void clear() { m_fileMarks.clear(); }
    const std::map<records::TreeItemId, FileMarks>& fileMarks() const { return m_fileMarks; }

    /// What a tree item's check box shows (after computeShownChecks).
    records::CheckState shownCheck(records::TreeItemId id) const;
    /// Works out every item's box, innermost first.
    void computeShownChecks();
    /// A file of folder is marked.
    bool fileMarked(records::TreeItemId folder, const std::string& name) const;
    /// A click on a folder's box.
    void toggleFolder(records::TreeItemId id);
    /// A click on the box of file name of folder, whose files are listed.
    void toggleFile(records::TreeItemId folder, const std::string& name, std::uint64_t sizeBytes,
                    const std::vector<ListedFile>& listed);

private:
    records::FolderNodeList& m_nodes;
    std::map<records::TreeItemId, FileMarks> m_fileMarks;
    std::vector<records::CheckState> m_shownChecks;
};

}  // namespace qvx::ui
