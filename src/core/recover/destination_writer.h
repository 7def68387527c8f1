#pragma once
// Creating folders and files under the destination folder. Folder paths are
// given as the listing's components; each is made creatable (names.h) once
// and the same mapping is used for every file inside it. Files are created
// without following symbolic links, never on top of the source image, and
// existing names are resolved by the conflict policy. Only regular files
// count as overwritable: a FIFO, device, socket, folder or symbolic link of
// that name is a conflict that is never opened. An existing file is never
// written through (it may be a hard link to a file outside the
// destination): overwriting writes a new file beside it and renames that
// over the old name when the copy is done, so a failed copy keeps it.
//
// Every folder is reached from the destination root one component at a
// time (openat with O_NOFOLLOW | O_DIRECTORY), so a symbolic link swapped
// in for a folder never leads outside, and no path handed to the system is
// longer than one name: trees thousands of folders deep are written too.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "recover/destination_guard.h"
#include "recover/names.h"

namespace qvx::recover {

class DestinationWriter {
public:
    DestinationWriter(std::string root, const SourceIdentity& source, ConflictPolicy policy);
    ~DestinationWriter();
    DestinationWriter(const DestinationWriter&) = delete;
    DestinationWriter& operator=(const DestinationWriter&) = delete;

    /// Creates the destination root; false with a message on failure.
    bool prepareRoot(std::string& error);

    /// The destination-relative folder for the listing's folder components
    /// (UTF-8 names), created as needed. Empty components list = the root.
    bool folder(const std::vector<std::string>& components, std::string& relative, std::string& error);

    enum class OpenResult { Opened, Skipped, Failed };
    /// Opens a new file named name (UTF-8, not yet sanitised) in the
    /// destination-relative folder. On Opened, fd is open for writing and
    /// relativePath tells where; renamed says the name had to change.
    OpenResult openFile(const std::string& relativeFolder, const std::string& name, int& fd,
                        std::string& relativePath, bool& renamed, std::string& error);

    /// Closes a file openFile gave. An overwriting copy replaces the earlier
    /// file only when keep is true; otherwise the earlier file stays and
    /// replaced is false. False with a message when closing or renaming fails.
    bool closeFile(int fd, bool keep, bool& replaced, std::string& error);

    /// True when fd replaces an earlier file on closeFile (overwriting).
    bool isOverwriting(int fd) const { return m_pending.count(fd) != 0; }

    /// Removes a file this writer created (relative to the root).
    void removeFile(const std::string& relativePath);

    /// Sets the modification (and access) time of a folder (relative).
    void setFolderTime(const std::string& relativePath, std::int64_t unixSeconds);

    /// Creates the report file in the root: name, or "stem-2.ext",
    /// "stem-3.ext", ... when taken (an existing file is never reused).
    /// The name is reserved, so no recovered file is written over it.
    bool createReport(const std::string& name, int& fd, std::string& relativePath, std::string& error);

    /// Writes text to a new file beside relativePath and renames it over
    /// relativePath (a file in the root this writer created), after an fsync.
    bool replaceAtomically(const std::string& relativePath, const std::string& text, std::string& error);

    /// Sets the modification (and access) time of an open file.
    static void setModified(int fd, std::int64_t unixSeconds);

    const std::string& root() const { return m_root; }

private:
    struct Pending {
        int dirFd = -1;  // the folder, held open until the rename
        std::string temp;
        std::string target;
        std::string shown;  // for messages
    };

    std::string absolute(const std::string& relative) const;
    /// The root, opened once; -1 with errno set when it cannot be.
    int rootFd();
    /// The folder of the destination-relative path (chosen names joined
    /// by '/'), walked from the root without following links. The fd stays
    /// owned by the writer (valid until the next call). -1 on failure.
    int openDir(const std::string& relative);
    /// A new, empty file with a unique hidden name in dirFd.
    bool createTemporary(int dirFd, const std::string& shownFolder, int& fd, std::string& tempName,
                         std::string& error);
    void closeWalk();

    std::string m_root;
    const SourceIdentity& m_source;
    ConflictPolicy m_policy;
    int m_rootFd = -1;
    // Folders made: (parent node, listing name) -> node; node = (parent, chosen name).
    std::map<std::pair<int, std::string>, int> m_children;
    std::vector<std::pair<int, std::string>> m_nodes;
    std::set<std::string> m_reserved;  // destination-relative names never overwritten
    std::map<int, Pending> m_pending;  // fd -> the rename to do on closeFile
    // The last walked folder: its components and some of its levels' fds
    // (every 64th and the last), so nearby folders are reached in few steps.
    std::vector<std::string> m_walkPath;
    std::vector<std::pair<std::size_t, int>> m_walkFds;
};

}  // namespace qvx::recover
