#include "fat/directory.h"

#include <algorithm>
#include <array>

#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "util/codepage.h"
#include "util/utf.h"

namespace qvx::fat {

namespace {

constexpr std::array<std::size_t, 13> kUnitOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;
constexpr std::uint8_t kAttrVolumeLabel = 0x08;
// FAT caps a directory at 65536 entries (2 MiB).
constexpr std::size_t kMaxDirectoryBytes = 65536 * 32;
// A deleted directory without a chain is read from at most this many
// contiguous clusters.
constexpr std::uint32_t kMaxContiguousClusters = 64;

std::string trimmed(const std::uint8_t* p, std::size_t n) {
    std::size_t len = n;
    while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == 0)) --len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

/// The long name of the pending pieces (in disk order, so last piece
/// first), or empty when they do not make one for this short entry.
std::vector<std::uint8_t> longNameOf(const std::vector<const std::uint8_t*>& pending, const std::uint8_t* shortEntry,
                                     bool deleted) {
    std::vector<std::uint8_t> units;
    if (pending.empty()) return units;
    const std::uint8_t sum = shortNameChecksum(shortEntry);
    if (deleted) {
        // A deleted entry lost its first byte, and so the checksum it had:
        // the pieces must agree with one another.
        for (const std::uint8_t* l : pending)
            if (l[13] != pending.front()[13]) return {};
    } else {
        // Ordinals N (with 0x40), N-1, ..., 1 and the short name's checksum.
        const std::size_t n = pending.size();
        if (pending.front()[0] != (0x40 | n)) return {};
        for (std::size_t i = 0; i < n; ++i)
            if ((pending[i][0] & 0x3F) != n - i || pending[i][13] != sum) return {};
    }
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        for (std::size_t off : kUnitOffsets) {
            const auto u = static_cast<std::uint16_t>((*it)[off] | ((*it)[off + 1] << 8));
            if (u == 0x0000) return units;
            if (u == 0xFFFF) continue;
            units.push_back((*it)[off]);
            units.push_back((*it)[off + 1]);
        }
    }
    return units;
}

}  // namespace

std::uint8_t shortNameChecksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

FatDirectory decodeDirectory(util::Bytes bytes, const std::vector<std::uint64_t>& sectorLbas, bool fat32,
                             int codePage, bool rootRegion) {
    FatDirectory dir;
    std::vector<const std::uint8_t*> pending;  // long-name pieces, in disk order
    for (std::size_t off = 0; off + kEntrySize <= bytes.size(); off += kEntrySize) {
        const std::uint8_t* e = bytes.data() + off;
        const DirEntry entry{bytes.subspan(off, kEntrySize)};
        if (entry.endsDirectory()) {
            if (!rootRegion) break;
            // In the fixed root region the next sector is still read.
            off = (off / disk::kSectorSize + 1) * disk::kSectorSize - kEntrySize;
            pending.clear();
            continue;
        }
        if (entry.isLongName()) {
            // The piece with 0x40 starts a new name.
            if (!entry.isDeleted() && (e[0] & 0x40) != 0) pending.clear();
            pending.push_back(e);
            if (pending.size() > 20) pending.erase(pending.begin());
            continue;
        }
        if (entry.isDot()) {
            pending.clear();
            continue;
        }
        FatDirEntry d;
        const std::size_t sector = off / disk::kSectorSize;
        d.lba = sector < sectorLbas.size() ? sectorLbas[sector] : 0;
        d.offset = static_cast<std::uint32_t>(off % disk::kSectorSize);
        d.attributes = e[11];
        d.deleted = entry.isDeleted();
        d.directory = entry.isDirectory();
        d.volumeLabel = (d.attributes & kAttrVolumeLabel) != 0 && !d.directory;
        d.firstCluster = entry.firstCluster(fat32);
        d.size = entry.size();
        d.writeTime = entry.time();
        d.writeDate = entry.date();
        d.createTenths = e[13];
        d.createTime = util::le16(entry.bytes, 14);
        d.createDate = util::le16(entry.bytes, 16);
        d.accessDate = util::le16(entry.bytes, 18);

        std::string base(reinterpret_cast<const char*>(e), 8);
        if (static_cast<std::uint8_t>(base[0]) == 0x05) base[0] = static_cast<char>(0xE5);  // a real 0xE5 first byte
        if (d.volumeLabel) {
            // The label's 11 bytes are one name: no dot, trailing blanks cut.
            std::string label(reinterpret_cast<const char*>(e), 11);
            if (d.deleted) label[0] = '_';
            d.shortName = util::oemToUtf8(trimmed(reinterpret_cast<const std::uint8_t*>(label.data()), 11), codePage);
            d.name = d.shortName;
            pending.clear();
            if (isValidEntryName(d.name)) dir.entries.push_back(std::move(d));
            else ++dir.skippedNames;
            continue;
        }
        if (d.deleted) base[0] = '_';
        std::string stem = trimmed(reinterpret_cast<const std::uint8_t*>(base.data()), 8);
        std::string ext = trimmed(e + 8, 3);
        if ((e[12] & kLowerBase) != 0) stem = lowerAscii(stem);
        if ((e[12] & kLowerExtension) != 0) ext = lowerAscii(ext);
        d.shortName = util::oemToUtf8(ext.empty() ? stem : stem + "." + ext, codePage);
        const std::vector<std::uint8_t> units = longNameOf(pending, e, d.deleted);
        pending.clear();
        if (!units.empty()) {
            d.name = util::utf16leToUtf8(units);
            d.hasLongName = true;
        } else {
            d.name = d.shortName;
        }
        if (d.name.empty() || !isValidEntryName(d.name)) {
            ++dir.skippedNames;
            continue;
        }
        dir.entries.push_back(std::move(d));
    }
    return dir;
}

std::vector<std::uint64_t> directorySectors(const FatVolume& v, std::uint32_t firstCluster) {
    std::vector<std::uint64_t> lbas;
    const std::uint32_t spc = v.params.sectorsPerCluster;
    if (spc == 0 || spc > 128 || firstCluster < 2 || firstCluster > v.maxCluster()) return lbas;
    const std::size_t maxSectors = kMaxDirectoryBytes / disk::kSectorSize;
    const ClusterChain chain = BuildClusterChain(v, firstCluster);
    bool contiguous = false;
    if (chain.size() == 1) {
        // A deleted directory's FAT entries are free: read on from its first
        // cluster while the directory has not ended.
        const bool fat16 = v.isFat16();
        const std::uint64_t fatLba = std::uint64_t{v.params.firstFatStart} + (firstCluster >> (fat16 ? 8 : 7));
        std::array<std::uint8_t, disk::kSectorSize> fat{};
        if (v.params.firstFatStart != 0 && v.readFatSector(fatLba, fat.data()) == 1) {
            const std::size_t index = firstCluster & (fat16 ? 0xFFu : 0x7Fu);
            const std::uint32_t next = fat16 ? util::le16(fat, index * 2) : (util::le32(fat, index * 4) & 0x0FFFFFFF);
            contiguous = next == 0;
        }
    }
    if (!contiguous) {
        for (std::uint32_t cluster : chain)
            for (std::uint32_t i = 0; i < spc && lbas.size() < maxSectors; ++i) lbas.push_back(v.clusterSector(cluster) + i);
        return lbas;
    }
    std::vector<std::uint8_t> buf(std::size_t{spc} * disk::kSectorSize);
    for (std::uint32_t k = 0; k < kMaxContiguousClusters && firstCluster + k <= v.maxCluster(); ++k) {
        const std::uint64_t lba = v.clusterSector(firstCluster + k);
        if (k > 0) {
            v.read(lba, spc, buf.data());
            // Another directory's cluster, or nothing that looks like entries.
            if (beginsDirectory(buf)) break;
        }
        for (std::uint32_t i = 0; i < spc; ++i) lbas.push_back(lba + i);
        if (k == 0) v.read(lba, spc, buf.data());
        bool ended = false;
        for (std::size_t off = 0; off < buf.size(); off += kEntrySize)
            if (buf[off] == 0) {
                ended = true;
                break;
            }
        if (ended) break;
    }
    return lbas;
}

FatDirectory readDirectory(const FatVolume& v, std::uint32_t folderCluster, util::Diagnostics* diagnostics) {
    FatDirectory dir;
    if (!v.isFat() || folderCluster == kMiscellaneousId) return dir;
    std::vector<std::uint64_t> lbas;
    bool rootRegion = false;
    if (folderCluster == 0 && v.isFat16()) {
        if (v.params.rootStart == 0) return dir;
        rootRegion = true;
        for (std::uint32_t i = 0; i < std::min<std::uint32_t>(v.params.rootSectors, 4096); ++i)
            lbas.push_back(std::uint64_t{v.params.rootStart} + i);
    } else {
        lbas = directorySectors(v, folderCluster == 0 ? v.params.rootCluster() : folderCluster);
    }
    std::vector<std::uint8_t> bytes(lbas.size() * disk::kSectorSize);
    // Runs of consecutive sectors are read in one request.
    for (std::size_t i = 0; i < lbas.size();) {
        std::size_t j = i + 1;
        while (j < lbas.size() && lbas[j] == lbas[j - 1] + 1 && j - i < 2048) ++j;
        const auto count = static_cast<std::uint32_t>(j - i);
        const std::uint32_t bad = v.range.readCounted(lbas[i], count, bytes.data() + i * disk::kSectorSize);
        if (bad != 0 && diagnostics != nullptr) diagnostics->add(util::Problem::UnreadableSectors, bad, UINT64_MAX, lbas[i]);
        i = j;
    }
    dir = decodeDirectory(bytes, lbas, v.isFat32(), v.codePage, rootRegion);
    if (dir.skippedNames != 0 && diagnostics != nullptr)
        diagnostics->add(util::Problem::SkippedEntry, dir.skippedNames, UINT64_MAX, lbas.empty() ? UINT64_MAX : lbas[0]);
    return dir;
}

}  // namespace qvx::fat
