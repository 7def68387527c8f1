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
    std::error_code ec;
    std::filesystem::create_directories(m_root, ec);
    if (!isDirectory(m_root) && !std::filesystem::is_directory(m_root, ec)) {
        error = "cannot create the destination folder " + m_root + (ec ? ": " + ec.message() : std::string());
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
        if (m_reserved.count(rel) == 0) {
            // O_NONBLOCK: should a FIFO appear under the name after all,
            // the open returns instead of waiting for a reader.
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
            if (fd >= 0) {
                relativePath = rel;
                renamed = renamed || n > 0;
                return OpenResult::Opened;
            }
            if (errno != EEXIST) {
                error = "cannot create " + path + ": " + errnoText();
                return OpenResult::Failed;
            }
        }
        if (m_policy == ConflictPolicy::Skip) return OpenResult::Skipped;
        struct stat st {};
        const bool regular = m_reserved.count(rel) == 0 && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (m_policy == ConflictPolicy::Overwrite && regular) {
            if (m_source.isSourceFile(st.st_dev, st.st_ino)) {
                error = path + " is the source image; it is never written";
                return OpenResult::Failed;
            }
            std::string temp;
            if (!createTemporary(rel, fd, temp, error)) return OpenResult::Failed;
            m_pending[fd] = {temp, path};
            relativePath = rel;
            return OpenResult::Opened;
        }
        // Renaming, or something that is not a regular file is in the way
        // (never opened, even to overwrite): try the next alternative.
    }
    error = "no free name for " + name;
    return OpenResult::Failed;
}

bool DestinationWriter::createTemporary(const std::string& relativePath, int& fd, std::string& tempPath,
                                        std::string& error) {
    static std::atomic<unsigned> counter{0};
    const std::string target = absolute(relativePath);
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "/.qvx-%ld-%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
        tempPath = dir + name;
        fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0) return true;
        if (errno != EEXIST) break;
    }
    error = "cannot create a temporary file in " + dir + ": " + errnoText();
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
    const auto [temp, target] = it->second;
    m_pending.erase(it);
    const bool synced = !keep || ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!keep || !synced || !closed) {
        const std::string why = errnoText();
        ::unlink(temp.c_str());
        if (keep) {
            error = "writing " + target + " failed (" + why + "); the earlier file was kept";
            return false;
        }
        return true;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot replace " + target + ": " + errnoText() + "; the earlier file was kept";
        ::unlink(temp.c_str());
        return false;
    }
    replaced = true;
    return true;
}

bool DestinationWriter::createReport(const std::string& name, int& fd, std::string& relativePath,
                                     std::string& error) {
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    for (int n = 1; n <= kMaxAlternatives; ++n) {
        const std::string candidate = n == 1 ? name : stem + "-" + std::to_string(n) + ext;
        const std::string path = absolute(candidate);
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0) {
            relativePath = candidate;
            m_reserved.insert(candidate);
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create " + path + ": " + errnoText();
            return false;
        }
    }
    error = "no free name for the report " + name + " in " + m_root;
    return false;
}

bool DestinationWriter::replaceAtomically(const std::string& relativePath, const std::string& text,
                                          std::string& error) {
    int fd = -1;
    std::string temp;
    if (!createTemporary(relativePath, fd, temp, error)) return false;
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
    const std::string target = absolute(relativePath);
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target + ": " + (ok ? errnoText() : why);
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
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
