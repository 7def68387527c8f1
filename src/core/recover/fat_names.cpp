#include "recover/fat_names.h"

#include "disk/sector_reader.h"
#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "recover/names.h"

namespace qvx::recover {

namespace {

// Directories larger than this are damage; FAT caps them at 65536 entries.
constexpr std::size_t kMaxDirectoryBytes = 65536 * 32;
constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;

std::uint8_t shortNameChecksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

std::string trimmed(const std::uint8_t* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

std::vector<FatName> decodeFatDirectory(const std::uint8_t* data, std::size_t size, bool fat32) {
    std::vector<FatName> out;
    std::vector<const std::uint8_t*> pending;  // long-name entries, in disk order
    for (std::size_t off = 0; off + 32 <= size; off += 32) {
        const std::uint8_t* e = data + off;
        const fat::DirEntry entry{util::Bytes(e, 32)};
        if (entry.endsDirectory()) break;
        if (entry.isLongName()) {
            if (!entry.isDeleted() && (e[0] & 0x40)) pending.clear();
            pending.push_back(e);
            if (pending.size() > 20) pending.erase(pending.begin());
            continue;
        }
        if (entry.isDot()) {
            pending.clear();
            continue;
        }
        FatName name;
        name.firstCluster = entry.firstCluster(fat32);
        name.directory = entry.isDirectory();
        name.deleted = entry.isDeleted();
        std::string base = trimmed(e, 8);
        std::string ext = trimmed(e + 8, 3);
        if (!base.empty() && static_cast<std::uint8_t>(base[0]) == 0x05) base[0] = static_cast<char>(0xE5);
        if (name.deleted && !base.empty()) base[0] = '_';
        std::string shortShown = base + (ext.empty() ? "" : "." + ext);
        if ((entry.attributes() & 0x08) != 0) {  // the volume label
            pending.clear();
            name.volumeLabel = true;
            name.shown = shortShown;
            name.utf8 = latin1ToUtf8(shortShown);
            out.push_back(name);
            continue;
        }
        std::string shortCased = ((e[12] & kLowerBase) ? lower(base) : base) +
                                 (ext.empty() ? "" : "." + ((e[12] & kLowerExtension) ? lower(ext) : ext));

        // The long name: the pending entries, last one first, whose checksum
        // matches the short name (a deleted entry lost its first byte, so
        // its pieces need only agree with one another).
        std::vector<std::uint8_t> units;
        bool longOk = !pending.empty();
        const std::uint8_t sum = shortNameChecksum(e);
        for (const std::uint8_t* l : pending) {
            if (name.deleted ? l[13] != pending.front()[13] : l[13] != sum) longOk = false;
        }
        if (longOk) {
            // 13 UTF-16 characters per entry; 0x0000 ends the name, 0xFFFF pads it.
            auto appendUnits = [&units](const std::uint8_t* l) {
                static const int offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
                for (int o : offsets) {
                    const auto u = static_cast<std::uint16_t>(l[o] | (l[o + 1] << 8));
                    if (u == 0x0000) return false;
                    if (u == 0xFFFF) continue;
                    units.push_back(l[o]);
                    units.push_back(l[o + 1]);
                }
                return true;
            };
            for (auto it = pending.rbegin(); it != pending.rend(); ++it)
                if (!appendUnits(*it)) break;
            longOk = !units.empty();
        }
        pending.clear();
        if (longOk) {
            name.shown = utf16LowBytes(units);
            name.utf8 = utf16ToUtf8(units);
            out.push_back(name);
        }
        // The short name too, for a tree that shows it instead.
        name.shown = shortShown;
        name.utf8 = latin1ToUtf8(shortCased);
        out.push_back(name);
    }
    return out;
}

std::vector<FatName> readFatDirectoryNames(const fat::FatVolume& volume, std::uint32_t folderSelf) {
    std::vector<std::uint8_t> bytes;
    const std::uint32_t spc = volume.params.sectorsPerCluster;
    if (spc == 0) return {};
    auto readSectors = [&](std::uint64_t lba, std::uint32_t count) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(count) * disk::kSectorSize);
        volume.read(lba, count, buf.data());
        bytes.insert(bytes.end(), buf.begin(), buf.end());
    };
    if (folderSelf == 0 && volume.isFat16()) {
        readSectors(volume.params.rootStart, std::min<std::uint32_t>(volume.params.rootSectors, 4096));
    } else {
        const std::uint32_t first = folderSelf == 0 ? volume.params.rootStart : folderSelf;
        if (first < 2 || first > volume.maxCluster()) return {};
        for (std::uint32_t cluster : fat::BuildClusterChain(volume, first)) {
            if (bytes.size() >= kMaxDirectoryBytes) break;
            readSectors(volume.clusterSector(cluster), spc);
        }
    }
    return decodeFatDirectory(bytes.data(), bytes.size(), volume.isFat32());
}

bool isFatVolumeLabel(const std::vector<FatName>& entries, std::uint32_t firstCluster, const std::string& shown) {
    for (const FatName& n : entries)
        if (n.volumeLabel && n.firstCluster == firstCluster && n.shown == shown) return true;
    return false;
}

std::string fullFatName(const std::vector<FatName>& entries, std::uint32_t firstCluster, const std::string& shown,
                        bool directory) {
    for (const FatName& n : entries)
        if (!n.volumeLabel && n.firstCluster == firstCluster && n.directory == directory && n.shown == shown)
            return n.utf8;
    return latin1ToUtf8(shown);
}

FatDirectory::FatDirectory(std::vector<FatName> entries) : m_entries(std::move(entries)) {
    for (std::size_t i = 0; i < m_entries.size(); ++i) m_byCluster[m_entries[i].firstCluster].push_back(i);
}

const std::vector<std::size_t>* FatDirectory::withCluster(std::uint32_t firstCluster) const {
    auto it = m_byCluster.find(firstCluster);
    return it == m_byCluster.end() ? nullptr : &it->second;
}

bool isFatVolumeLabel(const FatDirectory& directory, std::uint32_t firstCluster, const std::string& shown) {
    if (const auto* rows = directory.withCluster(firstCluster))
        for (std::size_t i : *rows) {
            const FatName& n = directory.entries()[i];
            if (n.volumeLabel && n.shown == shown) return true;
        }
    return false;
}

std::string fullFatName(const FatDirectory& directory, std::uint32_t firstCluster, const std::string& shown,
                        bool isDirectory) {
    if (const auto* rows = directory.withCluster(firstCluster))
        for (std::size_t i : *rows) {
            const FatName& n = directory.entries()[i];
            if (!n.volumeLabel && n.directory == isDirectory && n.shown == shown) return n.utf8;
        }
    return latin1ToUtf8(shown);
}

}  // namespace qvx::recover
