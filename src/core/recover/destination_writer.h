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

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "recover/destination_guard.h"
#include "recover/names.h"

namespace qvx::recover {

class DestinationWriter {
public:
    DestinationWriter(std::string root, const SourceIdentity& source, ConflictPolicy policy);

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

    /// Creates the report file in the root: name, or "stem-2.ext",
    /// "stem-3.ext", ... when taken (an existing file is never reused).
    /// The name is reserved, so no recovered file is written over it.
    bool createReport(const std::string& name, int& fd, std::string& relativePath, std::string& error);

    /// Writes text to a new file beside relativePath and renames it over
    /// relativePath (a file this writer created), after an fsync.
    bool replaceAtomically(const std::string& relativePath, const std::string& text, std::string& error);

    /// Sets the modification (and access) time of an open file.
    static void setModified(int fd, std::int64_t unixSeconds);

    const std::string& root() const { return m_root; }

private:
    std::string absolute(const std::string& relative) const;
    /// A new, empty file with a unique hidden name in the folder of
    /// relativePath; fd open for writing.
    bool createTemporary(const std::string& relativePath, int& fd, std::string& tempPath, std::string& error);

    std::string m_root;
    const SourceIdentity& m_source;
    ConflictPolicy m_policy;
    std::map<std::string, std::string> m_folders;  // listing path -> destination-relative path
    std::set<std::string> m_reserved;              // destination-relative names never overwritten
    std::map<int, std::pair<std::string, std::string>> m_pending;  // fd -> (temporary, target) absolute paths
};

}  // namespace qvx::recover
