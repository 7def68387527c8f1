#include "recover/extents.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "disk/sector_reader.h"
#include "recover/lznt1.h"

namespace qvx::recover {

namespace {

constexpr std::uint64_t kSector = disk::kSectorSize;

bool writeAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

/// Reads sectors of the volume into buf (count sectors); sectors outside the
/// volume or unreadable stay zero and are counted.
std::uint64_t readVolume(const partition::VolumeRange& volume, std::uint64_t lba, std::uint32_t count,
                         std::uint8_t* buf) {
    std::memset(buf, 0, static_cast<std::size_t>(count) * kSector);
    std::uint64_t bad = 0;
    std::uint64_t first = lba;
    std::uint64_t end = lba + count;
    const std::uint64_t volEnd = volume.SectorRangeEnd + 1;
    if (first < volume.SectorRangeStart) {
        const std::uint64_t skip = std::min(end, volume.SectorRangeStart) - first;
        bad += skip;
        first += skip;
    }
    if (end > volEnd) {
        const std::uint64_t cut = end - std::max(volEnd, first);
        bad += cut;
        end -= cut;
    }
    if (first >= end || volume.reader == nullptr) return bad + (end > first ? end - first : 0);
    std::uint8_t* out = buf + (first - lba) * kSector;
    const auto n = static_cast<std::uint32_t>(end - first);
    if (volume.reader->ReadSectors(volume.diskIndex, first, n, out) == 1) return bad;
    // The reader has already put back every sector it could read; find out
    // which ones it could not, one sector at a time.
    std::vector<std::uint8_t> one(kSector);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (volume.reader->ReadSectors(volume.diskIndex, first + i, 1, one.data()) != 1) {
            ++bad;
            std::memset(out + static_cast<std::size_t>(i) * kSector, 0, kSector);
        }
    }
    return bad;
}

/// A stretch of the file's sectors, [virtualSector, virtualSector + count).
struct Piece {
    std::uint64_t lba = 0;
    std::uint64_t count = 0;
    bool sparse = false;
};

/// Walks the extents in file order, handing out pieces of at most a given
/// number of sectors.
class ExtentCursor {
public:
    explicit ExtentCursor(const std::vector<Extent>& extents) : m_extents(extents) {}
    /// The rest of the current extent, without consuming it.
    bool peek(Piece& piece) {
        while (m_index < m_extents.size() && m_used >= m_extents[m_index].sectors) {
            ++m_index;
            m_used = 0;
        }
        if (m_index >= m_extents.size()) return false;
        const Extent& e = m_extents[m_index];
        piece.count = e.sectors - m_used;
        piece.sparse = e.sparse;
        piece.lba = e.lba + m_used;
        return true;
    }
    void consume(std::uint64_t sectors) { m_used += sectors; }
    bool next(std::uint64_t maxSectors, Piece& piece) {
        if (maxSectors == 0 || !peek(piece)) return false;
        piece.count = std::min(piece.count, maxSectors);
        consume(piece.count);
        return true;
    }

private:
    const std::vector<Extent>& m_extents;
    std::size_t m_index = 0;
    std::uint64_t m_used = 0;
};

/// The extents with every stretch that cannot be read from the volume made
/// sparse (and counted), and the sectors to be read capped at twice the
/// volume: no real file holds more clusters than its volume has, so a run
/// list that claims more is damaged and its excess is not read.
std::vector<Extent> readableExtents(const partition::VolumeRange& volume, const FileLayout& layout,
                                    std::uint64_t& unreadable) {
    const std::uint64_t first = volume.SectorRangeStart;
    const std::uint64_t end = volume.SectorRangeEnd + 1;
    const std::uint64_t volumeSectors = end > first ? end - first : 0;
    std::uint64_t budget = 2 * volumeSectors + 1024;
    const std::uint64_t fileSectors = layout.size / kSector + 1;
    std::uint64_t position = 0;  // sectors of the file before the piece
    std::vector<Extent> out;
    auto lost = [&](std::uint64_t at, std::uint64_t count) {
        out.push_back(Extent{0, count, true});
        if (at < fileSectors) unreadable += std::min(count, fileSectors - at);
    };
    for (const Extent& e : layout.extents) {
        if (e.sparse) {
            out.push_back(e);
            position += e.sectors;
            continue;
        }
        std::uint64_t lba = e.lba;
        std::uint64_t left = e.sectors;
        std::uint64_t at = position;
        position += e.sectors;
        if (lba < first) {
            const std::uint64_t n = std::min(left, first - lba);
            lost(at, n);
            lba += n; at += n; left -= n;
        }
        std::uint64_t inside = lba < end ? std::min(left, end - lba) : 0;
        inside = std::min(inside, budget);
        budget -= inside;
        if (inside > 0) out.push_back(Extent{lba, inside, false});
        if (left > inside) lost(at + inside, left - inside);
    }
    return out;
}

/// Hands bytes to the sink, cutting at size and zeroing from the
/// initialized size on.
class Emitter {
public:
    Emitter(const FileLayout& layout, OutputSink& sink, CopyResult& result)
        : m_size(layout.size), m_init(std::min(layout.initializedSize, layout.size)), m_sink(sink), m_result(result) {}

    std::uint64_t remaining() const { return m_size - m_pos; }

    /// data may be null for zeros.
    void emit(const std::uint8_t* data, std::uint64_t length) {
        length = std::min(length, remaining());
        if (m_result.writeError) {
            // Nothing more reaches a sink that failed once.
            m_pos += length;
            return;
        }
        if (data != nullptr && m_pos < m_init) {
            const std::uint64_t real = std::min(length, m_init - m_pos);
            if (!m_sink.write(data, static_cast<std::size_t>(real))) m_result.writeError = true;
            else m_result.written += real;
            m_pos += real;
            length -= real;
        }
        if (length > 0) {
            if (!m_sink.writeZeros(length)) m_result.writeError = true;
            else m_result.written += length;
            m_pos += length;
        }
    }

private:
    std::uint64_t m_size;
    std::uint64_t m_init;
    std::uint64_t m_pos = 0;
    OutputSink& m_sink;
    CopyResult& m_result;
};

void copyPlain(const partition::VolumeRange& volume, const std::vector<Extent>& extents, Emitter& emit,
               CopyResult& result, std::stop_token stop) {
    // No larger than the file needs: a folder of small files would
    // otherwise clear a whole chunk per file.
    const std::uint64_t needed = std::min<std::uint64_t>(kCopyChunkSectors, (emit.remaining() + kSector - 1) / kSector);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max<std::uint64_t>(needed, 1)) * kSector);
    ExtentCursor cursor(extents);
    Piece piece;
    while (emit.remaining() > 0) {
        if (result.writeError) return;  // the destination refuses more
        if (stop.stop_requested()) {
            result.stopped = true;
            return;
        }
        if (!cursor.peek(piece)) break;
        if (piece.sparse) {
            // However long, a hole costs one call.
            cursor.consume(piece.count);
            const std::uint64_t bytes = piece.count > emit.remaining() / kSector ? emit.remaining() : piece.count * kSector;
            emit.emit(nullptr, bytes);
            continue;
        }
        const std::uint64_t wanted = std::min<std::uint64_t>(kCopyChunkSectors, (emit.remaining() + kSector - 1) / kSector);
        cursor.next(wanted, piece);
        const auto n = static_cast<std::uint32_t>(piece.count);
        result.unreadableSectors += readVolume(volume, piece.lba, n, buf.data());
        emit.emit(buf.data(), piece.count * kSector);
        if (result.writeError) return;
    }
}

void copyCompressed(const partition::VolumeRange& volume, const FileLayout& layout, const std::vector<Extent>& extents,
                    Emitter& emit, CopyResult& result, std::stop_token stop) {
    const std::uint64_t unit = layout.compressionUnitSectors;
    const auto unitBytes = static_cast<std::size_t>(unit * kSector);
    std::vector<std::uint8_t> raw(unitBytes);
    std::vector<std::uint8_t> plain(unitBytes);
    ExtentCursor cursor(extents);
    while (emit.remaining() > 0) {
        if (result.writeError) return;  // the destination refuses more
        if (stop.stop_requested()) {
            result.stopped = true;
            return;
        }
        // Whole units inside a hole are zeros: pass them in one step.
        Piece ahead;
        if (cursor.peek(ahead) && ahead.sparse && ahead.count >= unit) {
            const std::uint64_t sectors = ahead.count / unit * unit;
            cursor.consume(sectors);
            emit.emit(nullptr, sectors > emit.remaining() / kSector ? emit.remaining() : sectors * kSector);
            continue;
        }
        // Gather one unit: its stored sectors first, then how much is sparse.
        std::uint64_t stored = 0;
        std::uint64_t sparse = 0;
        std::uint64_t taken = 0;
        Piece piece;
        while (taken < unit && cursor.next(unit - taken, piece)) {
            taken += piece.count;
            if (piece.sparse) {
                sparse += piece.count;
                continue;
            }
            const auto n = static_cast<std::uint32_t>(piece.count);
            result.unreadableSectors += readVolume(volume, piece.lba, n, raw.data() + stored * kSector);
            stored += piece.count;
        }
        if (taken == 0) break;
        if (sparse == 0) {
            // A unit that did not shrink is stored as it is.
            emit.emit(raw.data(), taken * kSector);
        } else if (stored == 0) {
            emit.emit(nullptr, taken * kSector);
        } else {
            std::fill(plain.begin(), plain.end(), std::uint8_t{0});
            const Lznt1Result r = decompressLznt1(std::span<const std::uint8_t>(raw.data(), stored * kSector), plain);
            if (!r.ok) result.decompressError = true;
            emit.emit(plain.data(), taken * kSector);
        }
        if (result.writeError) return;
    }
}

}  // namespace

std::uint64_t FileLayout::extentBytes() const {
    std::uint64_t total = 0;
    for (const Extent& e : extents) total += e.sectors * kSector;
    return total;
}

void FileLayout::append(const Extent& extent) {
    if (extent.sectors == 0) return;
    if (!extents.empty()) {
        Extent& last = extents.back();
        if (last.sparse && extent.sparse) {
            last.sectors += extent.sectors;
            return;
        }
        if (!last.sparse && !extent.sparse && last.lba + last.sectors == extent.lba) {
            last.sectors += extent.sectors;
            return;
        }
    }
    extents.push_back(extent);
}

bool OutputSink::writeZeros(std::uint64_t length) {
    static const std::uint8_t zeros[4096] = {};
    while (length > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof zeros));
        if (!write(zeros, n)) return false;
        length -= n;
    }
    return true;
}

bool FdSink::write(const std::uint8_t* data, std::size_t length) {
    if (m_pendingZeros > 0) {
        if (::lseek(m_fd, static_cast<off_t>(m_pendingZeros), SEEK_CUR) < 0) return false;
        m_pendingZeros = 0;
    }
    return writeAll(m_fd, data, length);
}

bool FdSink::writeZeros(std::uint64_t length) {
    m_pendingZeros += length;
    return true;
}

bool FdSink::finish(std::uint64_t total) {
    if (m_pendingZeros == 0) return true;
    m_pendingZeros = 0;
    return ::ftruncate(m_fd, static_cast<off_t>(total)) == 0;
}

CopyResult copyFile(const partition::VolumeRange& volume, const FileLayout& layout, OutputSink& sink,
                    std::stop_token stop) {
    CopyResult result;
    Emitter emit(layout, sink, result);
    if (layout.resident) {
        const std::uint64_t have = std::min<std::uint64_t>(layout.residentData.size(), layout.size);
        emit.emit(layout.residentData.data(), have);
    } else {
        const std::vector<Extent> extents = readableExtents(volume, layout, result.unreadableSectors);
        if (layout.compressionUnitSectors > 0 && layout.compressionUnitSectors <= 4096)
            copyCompressed(volume, layout, extents, emit, result, stop);
        else
            copyPlain(volume, extents, emit, result, stop);
    }
    if (!result.writeError && !result.stopped && emit.remaining() > 0) {
        result.missingBytes = emit.remaining();
        emit.emit(nullptr, emit.remaining());
    }
    if (!sink.finish(result.written)) result.writeError = true;
    return result;
}

}  // namespace qvx::recover
