#include "disk/split_raw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace qvx::disk {

namespace {

// Series longer than this are not believed: at 650 MB a piece it is 6.5 TB.
constexpr std::size_t kMaxSegments = 10000;
// Descriptors kept open at once; the others are reopened when read.
constexpr std::size_t kMaxOpenSegments = 64;

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/// path with its trailing number replaced by number, keeping at least width digits.
std::string numbered(const std::string& stem, std::uint64_t number, std::size_t width) {
    std::string digits = std::to_string(number);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return stem + digits;
}

/// An open segment file; closed when the last reader lets go of it.
struct SegmentFile {
    explicit SegmentFile(int f) : fd(f) {}
    ~SegmentFile() { ::close(fd); }
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;
    int fd;
};

struct Segment {
    std::string path;
    std::uint64_t start = 0;  // byte offset of the segment in the disk
    std::uint64_t size = 0;
    std::shared_ptr<SegmentFile> file;
    std::uint64_t lastUse = 0;
};

class SplitRawDevice : public BlockDevice {
public:
    SplitRawDevice(std::vector<Segment> segments, std::uint64_t size) : m_segments(std::move(segments)), m_size(size) {
        for (const auto& s : m_segments)
            if (s.file) ++m_open;
    }

    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override {
        if (byteOffset > m_size || length > m_size - byteOffset) return false;
        std::size_t done = 0;
        while (done < length) {
            const std::uint64_t at = byteOffset + done;
            // The last segment starting at or before the offset.
            auto it = std::upper_bound(m_segments.begin(), m_segments.end(), at,
                                       [](std::uint64_t v, const Segment& s) { return v < s.start; });
            if (it == m_segments.begin()) return false;
            const std::size_t index = static_cast<std::size_t>(it - m_segments.begin()) - 1;
            const Segment& seg = m_segments[index];
            const std::uint64_t within = at - seg.start;
            if (within >= seg.size) return false;
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - done, seg.size - within));
            std::shared_ptr<SegmentFile> file = fileOf(index);
            if (!file) return false;
            std::size_t got = 0;
            while (got < want) {
                const ssize_t n = ::pread(file->fd, out + done + got, want - got, static_cast<off_t>(within + got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;  // error, or the segment shrank
                got += static_cast<std::size_t>(n);
            }
            done += want;
        }
        return true;
    }
    std::uint64_t sizeBytes() const override { return m_size; }
    ContainerInfo containerInfo() const override {
        ContainerInfo info;
        info.type = "Split raw";
        for (const auto& s : m_segments) info.files.push_back(s.path);
        return info;
    }

private:
    std::shared_ptr<SegmentFile> fileOf(std::size_t index) {
        std::lock_guard lock(m_mutex);
        Segment& seg = m_segments[index];
        seg.lastUse = ++m_clock;
        if (seg.file) return seg.file;
        const int fd = ::open(seg.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        seg.file = std::make_shared<SegmentFile>(fd);
        if (++m_open > kMaxOpenSegments) {
            // Let go of the least recently read one; a read still using it
            // keeps it open until that read ends.
            Segment* oldest = nullptr;
            for (auto& s : m_segments)
                if (s.file && &s != &seg && (oldest == nullptr || s.lastUse < oldest->lastUse)) oldest = &s;
            if (oldest != nullptr) {
                oldest->file.reset();
                --m_open;
            }
        }
        return seg.file;
    }

    std::vector<Segment> m_segments;  // paths, starts and sizes never change after opening
    std::uint64_t m_size;
    std::mutex m_mutex;               // guards the open files and the use clock
    std::uint64_t m_clock = 0;
    std::size_t m_open = 0;
};

}  // namespace

std::vector<std::string> splitRawSegments(const std::string& path, std::string& error) {
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return {};
    const std::string digits = path.substr(dot + 1);
    if (digits.size() < 3 || digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    const std::uint64_t first = std::stoull(digits);
    if (first > 1) return {};
    const std::string stem = path.substr(0, dot + 1);
    const std::size_t width = digits.size();
    std::vector<std::string> segments{path};
    for (std::uint64_t n = first + 1;; ++n) {
        const std::string next = numbered(stem, n, width);
        if (segments.size() >= kMaxSegments) {
            if (isRegularFile(next)) {
                error = path + ": split image of more than " + std::to_string(kMaxSegments) + " segments";
                return {};
            }
            break;
        }
        if (!isRegularFile(next)) {
            const std::string after = numbered(stem, n + 1, width);
            if (isRegularFile(after)) {
                error = next + ": segment missing from the split image (" + after + " exists)";
                return {};
            }
            break;
        }
        segments.push_back(next);
    }
    // "disk.000" alone, or followed by nothing numbered 1, is no series.
    if (segments.size() < 2) return {};
    return segments;
}

std::unique_ptr<BlockDevice> openSplitRaw(const std::vector<std::string>& paths, std::string& error) {
    if (paths.empty() || paths.size() > kMaxSegments) {
        error = "split image: no segments";
        return nullptr;
    }
    std::vector<Segment> segments;
    segments.reserve(paths.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& p = paths[i];
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = p + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = p + ": not a regular file (segment of a split image)";
            ::close(fd);
            return nullptr;
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size == 0 && i + 1 < paths.size()) {
            error = p + ": empty segment in the middle of a split image";
            ::close(fd);
            return nullptr;
        }
        Segment seg;
        seg.path = p;
        seg.start = total;
        seg.size = size;
        // The first few stay open from here on; the others are opened when read.
        if (i < kMaxOpenSegments / 2)
            seg.file = std::make_shared<SegmentFile>(fd);
        else
            ::close(fd);
        total += size;
        segments.push_back(std::move(seg));
    }
    // Empty segments would confuse the lookup by start offset.
    std::erase_if(segments, [](const Segment& s) { return s.size == 0; });
    auto dev = std::make_unique<SplitRawDevice>(std::move(segments), total);
    return dev;
}

}  // namespace qvx::disk
