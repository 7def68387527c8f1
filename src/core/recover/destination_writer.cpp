#include "recover/destination_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace qvx::recover {

namespace {

constexpr int kMaxAlternatives = 10000;

std::string errnoText() { return std::strerror(errno); }

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DestinationWriter::DestinationWriter(std::string root, const SourceIdentity& source, ConflictPolicy policy)
    : m_root(std::move(root)), m_source(source), m_policy(policy) {
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
}

std::string DestinationWriter::absolute(const std::string& relative) const {
    return relative.empty() ? m_root : m_root + "/" + relative;
}

bool DestinationWriter::prepareRoot(std::string& error) {
    std::error_code created;
    std::filesystem::create_directories(m_root, created);
    std::error_code probed;
    if (!isDirectory(m_root) && !std::filesystem::is_directory(m_root, probed)) {
        // The reason is the creation's (for example "Permission denied"), not
        // that of the later look at the folder, which only finds it missing.
        const std::error_code& why = created ? created : probed;
        error = "cannot create the destination folder " + m_root + ": " +
                (why ? why.message() : std::string("a file of that name is in the way"));
        return false;
    }
    return true;
}

bool DestinationWriter::folder(const std::vector<std::string>& components, std::string& relative, std::string& error) {
    relative.clear();
    std::string listing;
    for (const std::string& component : components) {
        listing = joinPath(listing, component);
        auto known = m_folders.find(listing);
        if (known != m_folders.end()) {
            relative = known->second;
            continue;
        }
        const std::string base = sanitizeName(component);
        std::string chosen;
        for (int n = 0; n < kMaxAlternatives && chosen.empty(); ++n) {
            const std::string candidate = n == 0 ? base : numberedName(base, n);
            const std::string path = absolute(joinPath(relative, candidate));
            if (::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && isDirectory(path))) chosen = candidate;
            else if (errno != EEXIST) {
                error = "cannot create folder " + path + ": " + errnoText();
                return false;
            }
            // A file of that name is in the way: try the next alternative.
        }
        if (chosen.empty()) {
            error = "no free name for folder " + listing;
            return false;
        }
        relative = joinPath(relative, chosen);
        m_folders.emplace(listing, relative);
    }
    return true;
}

DestinationWriter::OpenResult DestinationWriter::openFile(const std::string& relativeFolder, const std::string& name,
                                                          int& fd, std::string& relativePath, bool& renamed,
                                                          std::string& error) {
    fd = -1;
    renamed = false;
    const std::string base = sanitizeName(name);
    renamed = base != name;
    for (int n = 0; n < kMaxAlternatives; ++n) {
        const std::string candidate = n == 0 ? base : numberedName(base, n);
        const std::string rel = joinPath(relativeFolder, candidate);
        const std::string path = absolute(rel);
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            relativePath = rel;
            renamed = renamed || n > 0;
            return OpenResult::Opened;
        }
        if (errno != EEXIST) {
            error = "cannot create " + path + ": " + errnoText();
            return OpenResult::Failed;
        }
        if (m_policy == ConflictPolicy::Skip) return OpenResult::Skipped;
        if (m_policy == ConflictPolicy::Overwrite && !isDirectory(path)) {
            if (m_source.isSourceFile(path)) {
                error = path + " is the source image; it is never written";
                return OpenResult::Failed;
            }
            fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                error = "cannot overwrite " + path + ": " + errnoText();
                return OpenResult::Failed;
            }
            struct stat st {};
            // Checked on the open file, so a link swapped in meanwhile
            // cannot redirect the write to the source.
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || m_source.isSourceFile(st.st_dev, st.st_ino) ||
                ::ftruncate(fd, 0) != 0) {
                ::close(fd);
                fd = -1;
                error = "cannot overwrite " + path;
                return OpenResult::Failed;
            }
            relativePath = rel;
            return OpenResult::Opened;
        }
    }
    error = "no free name for " + name;
    return OpenResult::Failed;
}

void DestinationWriter::setModified(int fd, std::int64_t unixSeconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(fd, times);
}

}  // namespace qvx::recover
