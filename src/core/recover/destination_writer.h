#pragma once
// Creating folders and files under the destination folder. Folder paths are
// given as the listing's components; each is made creatable (names.h) once
// and the same mapping is used for every file inside it. Files are created
// without following symbolic links, never on top of the source image, and
// existing names are resolved by the conflict policy.

#include <cstdint>
#include <map>
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

    /// Sets the modification (and access) time of an open file.
    static void setModified(int fd, std::int64_t unixSeconds);

    const std::string& root() const { return m_root; }

private:
    std::string absolute(const std::string& relative) const;

    std::string m_root;
    const SourceIdentity& m_source;
    ConflictPolicy m_policy;
    std::map<std::string, std::string> m_folders;  // listing path -> destination-relative path
};

}  // namespace qvx::recover
