#include "recover/destination_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace qvx::recover {

namespace {

constexpr int kMaxAlternatives = 10000;
// Levels between the folder descriptors kept of the last walk.
constexpr std::size_t kWalkStride = 64;

std::string errnoText() { return std::strerror(errno); }

std::vector<std::string> splitPath(const std::string& relative) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        if (slash > start) out.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

std::string folderOfPath(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string nameOfPath(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: should a FIFO appear under the name after all, the open
// returns instead of waiting for a reader.
constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

}  // namespace

DestinationWriter::DestinationWriter(std::string root, const SourceIdentity& source, ConflictPolicy policy)
    : m_root(std::move(root)), m_source(source), m_policy(policy) {
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
}

DestinationWriter::~DestinationWriter() {
    closeWalk();
    for (auto& [fd, p] : m_pending) {
        ::close(fd);
        ::unlinkat(p.dirFd, p.temp.c_str(), 0);
        ::close(p.dirFd);
    }
    if (m_rootFd >= 0) ::close(m_rootFd);
}

std::string DestinationWriter::absolute(const std::string& relative) const {
    return relative.empty() ? m_root : m_root + "/" + relative;
}

int DestinationWriter::rootFd() {
    // The root itself may be reached through a link the user chose.
    if (m_rootFd < 0) m_rootFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_rootFd;
}

void DestinationWriter::closeWalk() {
    for (const auto& [level, fd] : m_walkFds) ::close(fd);
    m_walkFds.clear();
    m_walkPath.clear();
}

int DestinationWriter::openDir(const std::string& relative) {
    const std::vector<std::string> parts = splitPath(relative);
    if (rootFd() < 0) return -1;
    // Keep what the last walk shares with this one.
    std::size_t common = 0;
    while (common < parts.size() && common < m_walkPath.size() && parts[common] == m_walkPath[common]) ++common;
    while (!m_walkFds.empty() && m_walkFds.back().first > common) {
        ::close(m_walkFds.back().second);
        m_walkFds.pop_back();
    }
    m_walkPath.resize(common);
    std::size_t level = 0;
    int fd = m_rootFd;
    if (!m_walkFds.empty()) {
        level = m_walkFds.back().first;
        fd = m_walkFds.back().second;
    }
    m_walkPath.resize(level);
    bool temporary = false;  // fd is an intermediate level, not kept
    for (; level < parts.size(); ++level) {
        const int next = ::openat(fd, parts[level].c_str(), kDirFlags);
        const int saved = errno;
        if (temporary) ::close(fd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        m_walkPath.push_back(parts[level]);
        const bool keep = (level + 1) % kWalkStride == 0 || level + 1 == parts.size();
        if (keep) m_walkFds.emplace_back(level + 1, next);
        fd = next;
        temporary = !keep;
    }
    return fd;
}

bool DestinationWriter::prepareRoot(std::string& error) {
    std::error_code created;
    std::filesystem::create_directories(m_root, created);
    if (rootFd() < 0) {
        // The reason is the creation's (for example "Permission denied"), not
        // that of the later look at the folder, which only finds it missing.
        error = "cannot create the destination folder " + m_root + ": " + (created ? created.message() : errnoText());
        return false;
    }
    return true;
}

bool DestinationWriter::folder(const std::vector<std::string>& components, std::string& relative, std::string& error) {
    relative.clear();
    int node = -1;
    for (const std::string& component : components) {
        auto known = m_children.find({node, component});
        if (known != m_children.end()) {
            node = known->second;
            relative = joinPath(relative, m_nodes[static_cast<std::size_t>(node)].second);
            continue;
        }
        const int dir = openDir(relative);
        if (dir < 0) {
            error = "cannot open folder " + absolute(relative) + ": " + errnoText();
            return false;
        }
        const std::string base = sanitizeName(component);
        std::string chosen;
        for (int n = 0; n < kMaxAlternatives && chosen.empty(); ++n) {
            const std::string candidate = n == 0 ? base : numberedName(base, n);
            if (::mkdirat(dir, candidate.c_str(), 0777) == 0) {
                chosen = candidate;
                break;
            }
            if (errno != EEXIST) {
                error = "cannot create folder " + absolute(joinPath(relative, candidate)) + ": " + errnoText();
                return false;
            }
            struct stat st {};
            if (::fstatat(dir, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
                chosen = candidate;
            // Anything else in the way (a file, a link): the next alternative.
        }
        if (chosen.empty()) {
            error = "no free name for folder " + component + " in " + absolute(relative);
            return false;
        }
        m_nodes.emplace_back(node, chosen);
        node = static_cast<int>(m_nodes.size()) - 1;
        m_children.emplace(std::make_pair(m_nodes[static_cast<std::size_t>(node)].first, component), node);
        relative = joinPath(relative, chosen);
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
    const int dir = openDir(relativeFolder);
    if (dir < 0) {
        error = "cannot open folder " + absolute(relativeFolder) + ": " + errnoText();
        return OpenResult::Failed;
    }
    for (int n = 0; n < kMaxAlternatives; ++n) {
        const std::string candidate = n == 0 ? base : numberedName(base, n);
        const std::string rel = joinPath(relativeFolder, candidate);
        const bool reserved = m_reserved.count(rel) != 0;
        if (!reserved) {
            fd = ::openat(dir, candidate.c_str(), kNewFileFlags, 0666);
            if (fd >= 0) {
                relativePath = rel;
                renamed = renamed || n > 0;
                return OpenResult::Opened;
            }
            if (errno != EEXIST) {
                error = "cannot create " + absolute(rel) + ": " + errnoText();
                return OpenResult::Failed;
            }
        }
        if (m_policy == ConflictPolicy::Skip) return OpenResult::Skipped;
        struct stat st {};
        const bool regular =
            !reserved && ::fstatat(dir, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        if (m_policy == ConflictPolicy::Overwrite && regular) {
            if (m_source.isSourceFile(st.st_dev, st.st_ino)) {
                error = absolute(rel) + " is the source image; it is never written";
                return OpenResult::Failed;
            }
            const int held = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
            std::string temp;
            if (held < 0 || !createTemporary(held, absolute(relativeFolder), fd, temp, error)) {
                if (held >= 0) ::close(held);
                if (error.empty()) error = "cannot open folder " + absolute(relativeFolder) + ": " + errnoText();
                return OpenResult::Failed;
            }
            m_pending[fd] = Pending{held, temp, candidate, absolute(rel)};
            relativePath = rel;
            return OpenResult::Opened;
        }
        // Renaming, or something that is not a regular file is in the way
        // (never opened, even to overwrite): try the next alternative.
    }
    error = "no free name for " + name;
    return OpenResult::Failed;
}

bool DestinationWriter::createTemporary(int dirFd, const std::string& shownFolder, int& fd, std::string& tempName,
                                        std::string& error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".qvx-%ld-%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
        tempName = name;
        fd = ::openat(dirFd, name, kNewFileFlags, 0666);
        if (fd >= 0) return true;
        if (errno != EEXIST) break;
    }
    error = "cannot create a temporary file in " + shownFolder + ": " + errnoText();
    fd = -1;
    return false;
}

bool DestinationWriter::closeFile(int fd, bool keep, bool& replaced, std::string& error) {
    replaced = false;
    auto it = m_pending.find(fd);
    if (it == m_pending.end()) {
        if (::close(fd) != 0) {
            error = std::string("closing the file failed: ") + errnoText();
            return false;
        }
        return true;
    }
    const Pending p = it->second;
    m_pending.erase(it);
    const bool synced = !keep || ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    bool ok = true;
    if (!keep || !synced || !closed) {
        const std::string why = errnoText();
        ::unlinkat(p.dirFd, p.temp.c_str(), 0);
        if (keep) {
            error = "writing " + p.shown + " failed (" + why + "); the earlier file was kept";
            ok = false;
        }
    } else if (::renameat(p.dirFd, p.temp.c_str(), p.dirFd, p.target.c_str()) != 0) {
        error = "cannot replace " + p.shown + ": " + errnoText() + "; the earlier file was kept";
        ::unlinkat(p.dirFd, p.temp.c_str(), 0);
        ok = false;
    } else {
        replaced = true;
    }
    ::close(p.dirFd);
    return ok;
}

void DestinationWriter::removeFile(const std::string& relativePath) {
    const int dir = openDir(folderOfPath(relativePath));
    if (dir >= 0) ::unlinkat(dir, nameOfPath(relativePath).c_str(), 0);
}

void DestinationWriter::setFolderTime(const std::string& relativePath, std::int64_t unixSeconds) {
    const int dir = openDir(relativePath);
    if (dir >= 0) setModified(dir, unixSeconds);
}

bool DestinationWriter::createReport(const std::string& name, int& fd, std::string& relativePath,
                                     std::string& error) {
    if (rootFd() < 0) {
        error = "cannot open the destination folder " + m_root + ": " + errnoText();
        return false;
    }
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    for (int n = 1; n <= kMaxAlternatives; ++n) {
        const std::string candidate = n == 1 ? name : stem + "-" + std::to_string(n) + ext;
        fd = ::openat(m_rootFd, candidate.c_str(), kNewFileFlags, 0666);
        if (fd >= 0) {
            relativePath = candidate;
            m_reserved.insert(candidate);
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create " + absolute(candidate) + ": " + errnoText();
            return false;
        }
    }
    error = "no free name for the report " + name + " in " + m_root;
    return false;
}

bool DestinationWriter::replaceAtomically(const std::string& relativePath, const std::string& text,
                                          std::string& error) {
    if (rootFd() < 0) {
        error = "cannot open the destination folder " + m_root + ": " + errnoText();
        return false;
    }
    int fd = -1;
    std::string temp;
    if (!createTemporary(m_rootFd, m_root, fd, temp, error)) return false;
    const char* data = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (left > 0 && ok) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ok = ok && ::fsync(fd) == 0;
    const std::string why = errnoText();
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::renameat(m_rootFd, temp.c_str(), m_rootFd, relativePath.c_str()) != 0) {
        error = "cannot write " + absolute(relativePath) + ": " + (ok ? errnoText() : why);
        ::unlinkat(m_rootFd, temp.c_str(), 0);
        return false;
    }
    ::fsync(m_rootFd);
    return true;
}

void DestinationWriter::setModified(int fd, std::int64_t unixSeconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(fd, times);
}

}  // namespace qvx::recover
