#include "recover/ntfs_data.h"

#include <algorithm>
#include <map>
#include <set>

#include "disk/sector_reader.h"
#include "ntfs/mft_record.h"
#include "recover/names.h"

namespace qvx::recover {

using util::le16;
using util::le32;
using util::le64;
using util::le8;

namespace {

constexpr std::uint32_t kAttrStandardInformation = 0x10;
constexpr std::uint32_t kAttrListType = 0x20;
constexpr std::uint32_t kAttrFileNameType = 0x30;
constexpr std::uint32_t kAttrDataType = 0x80;
constexpr int kMaxAttributes = 512;
constexpr std::size_t kMaxListEntries = 65536;
constexpr std::uint16_t kFlagCompressedMask = 0x00FF;
constexpr std::uint16_t kFlagEncrypted = 0x4000;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;

/// Calls visit(offset, type, length) for each attribute of the record,
/// stopping at the end marker, a length that does not fit, or after a bound.
template <typename Visit>
void forEachAttribute(util::Bytes rec, Visit visit) {
    std::size_t off = le16(rec, ntfs::kFirstAttribute);
    for (int i = 0; i < kMaxAttributes; ++i) {
        if (!util::fits(rec.size(), off, 16)) return;
        const std::uint32_t type = le32(rec, off);
        if (type == 0 || type == 0xFFFFFFFFu) return;
        const std::uint32_t length = le32(rec, off + 4);
        if (length < 16 || !util::fits(rec.size(), off, length)) return;
        visit(off, type, length);
        off += length;
    }
}

/// One piece of the unnamed data: an attribute instance.
struct Instance {
    std::uint64_t startVcn = 0;
    bool resident = false;
    std::vector<std::uint8_t> value;  // resident
    std::vector<Extent> extents;      // non-resident
    std::uint64_t vcnCount = 0;
    bool runListOk = true;
    // Valid in the instance that starts at VCN 0.
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
    std::uint16_t flags = 0;
    std::uint16_t compressionUnit = 0;
};

bool isUnnamed(util::Bytes rec, std::size_t off) { return le8(rec, off + 9) == 0; }

/// Decodes the attribute at off of rec as a data instance.
Instance decodeInstance(const NtfsVolume& volume, util::Bytes rec, std::size_t off, std::uint32_t length) {
    Instance inst;
    const util::Bytes attr = rec.subspan(off, length);
    inst.flags = le16(attr, 0x0C);
    if (le8(attr, 0x08) == 0) {
        inst.resident = true;
        const std::uint32_t valueLength = le32(attr, 0x10);
        const std::uint16_t valueOffset = le16(attr, 0x14);
        if (util::fits(attr.size(), valueOffset, valueLength))
            inst.value.assign(attr.begin() + valueOffset, attr.begin() + valueOffset + valueLength);
        else
            inst.runListOk = false;
        inst.dataSize = inst.value.size();
        inst.initializedSize = inst.dataSize;
        return inst;
    }
    inst.startVcn = le64(attr, 0x10);
    inst.compressionUnit = le16(attr, 0x22);
    inst.dataSize = le64(attr, 0x30);
    inst.initializedSize = le64(attr, 0x38);
    inst.runListOk = decodeRunList(attr, le16(attr, 0x20), volume.cluster0, volume.sectorsPerCluster, inst.extents,
                                   inst.vcnCount);
    return inst;
}

/// Reads the bytes described by extents (at most limit bytes).
std::vector<std::uint8_t> readExtents(const NtfsVolume& volume, const std::vector<Extent>& extents,
                                      std::uint64_t limit) {
    std::vector<std::uint8_t> out;
    for (const Extent& e : extents) {
        if (out.size() >= limit) break;
        const std::uint64_t bytes = std::min<std::uint64_t>(e.sectors * disk::kSectorSize, limit - out.size());
        const auto sectors = static_cast<std::uint32_t>((bytes + disk::kSectorSize - 1) / disk::kSectorSize);
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(sectors) * disk::kSectorSize, 0);
        if (!e.sparse) volume.range.read(e.lba, sectors, buf.data());
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(bytes));
    }
    return out;
}

std::vector<std::uint8_t> fetchFromVolume(const NtfsVolume& volume, std::uint32_t recordNumber) {
    return readMftRecord(volume, recordNumber);
}

}  // namespace

std::string fullNtfsName(const NtfsFileData& data, const std::string& shown) {
    for (const auto& [low, utf8] : data.names)
        if (low == shown) return utf8;
    return latin1ToUtf8(shown);
}

bool applyRecordFixup(std::span<std::uint8_t> record) {
    const util::Bytes rec(record.data(), record.size());
    const std::size_t usaOffset = le16(rec, ntfs::kUsaOffset);
    const std::size_t usaCount = le16(rec, ntfs::kUsaCount);
    if (usaCount < 2 || !util::fits(record.size(), usaOffset, usaCount * 2)) return false;
    bool ok = true;
    const std::uint8_t seq0 = record[usaOffset];
    const std::uint8_t seq1 = record[usaOffset + 1];
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t end = i * disk::kSectorSize;
        if (end > record.size()) break;
        if (record[end - 2] != seq0 || record[end - 1] != seq1) ok = false;
        record[end - 2] = record[usaOffset + 2 * i];
        record[end - 1] = record[usaOffset + 2 * i + 1];
    }
    return ok;
}

bool decodeRunList(util::Bytes attr, std::size_t offset, std::uint64_t cluster0, std::uint32_t sectorsPerCluster,
                   std::vector<Extent>& out, std::uint64_t& vcnCount) {
    vcnCount = 0;
    if (sectorsPerCluster == 0) return false;
    std::int64_t lcn = 0;
    std::size_t pos = offset;
    for (std::size_t runs = 0; runs < kMaxRunsPerFile; ++runs) {
        if (pos >= attr.size()) return false;  // no terminating zero
        const std::uint8_t header = attr[pos++];
        if (header == 0) return true;
        const unsigned lengthSize = header & 0x0F;
        const unsigned offsetSize = header >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 || !util::fits(attr.size(), pos, lengthSize + offsetSize))
            return false;
        std::uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length |= static_cast<std::uint64_t>(attr[pos + i]) << (8 * i);
        pos += lengthSize;
        // 2^40 clusters is far beyond any volume; larger is damage.
        if (length == 0 || length > (1ull << 40)) return false;
        Extent extent;
        extent.sectors = length * sectorsPerCluster;
        if (offsetSize == 0) {
            extent.sparse = true;
        } else {
            std::uint64_t raw = 0;
            for (unsigned i = 0; i < offsetSize; ++i) raw |= static_cast<std::uint64_t>(attr[pos + i]) << (8 * i);
            if (offsetSize < 8 && (attr[pos + offsetSize - 1] & 0x80)) raw |= ~0ull << (8 * offsetSize);
            pos += offsetSize;
            const auto delta = static_cast<std::int64_t>(raw);
            if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return false;
            lcn += delta;
            if (lcn < 0 || static_cast<std::uint64_t>(lcn) > (1ull << 48)) return false;
            extent.lba = cluster0 + static_cast<std::uint64_t>(lcn) * sectorsPerCluster;
        }
        out.push_back(extent);
        vcnCount += length;
    }
    return false;
}

std::vector<std::uint8_t> readMftRecord(const NtfsVolume& volume, std::uint32_t recordNumber) {
    std::vector<std::uint8_t> rec(ntfs::kRecordBytes, 0);
    auto readAt = [&](std::uint32_t sector) {
        if (sector == 0) return false;
        volume.range.read(sector, ntfs::kSectorsPerRecord, rec.data());
        return ntfs::isFileRecord(rec);
    };
    bool found = false;
    if (volume.recordSectors != nullptr) {
        const auto it = volume.recordSectors->find(recordNumber);
        found = it != volume.recordSectors->end() && readAt(it->second);
    }
    if (!found && volume.mft != nullptr) found = readAt(volume.mft->recordSector(recordNumber));
    if (!found) return {};
    applyRecordFixup(rec);
    return rec;
}

NtfsFileData readNtfsFileData(const NtfsVolume& volume, std::uint32_t recordNumber) {
    const std::vector<std::uint8_t> rec = readMftRecord(volume, recordNumber);
    if (rec.empty()) {
        NtfsFileData data;
        data.complete = false;
        data.problem = "the MFT record could not be read";
        return data;
    }
    // An extension record (its base reference names another record) holds
    // only some attributes of a file: the data is found from the base.
    const std::uint32_t base = le32(util::Bytes(rec.data(), rec.size()), 0x20);
    if (base != 0 && base != recordNumber) {
        const std::vector<std::uint8_t> baseRec = readMftRecord(volume, base);
        if (!baseRec.empty()) {
            NtfsFileData data = decodeNtfsFileData(volume, baseRec, base, &fetchFromVolume);
            // The name the tree shows may be one held in the extension record.
            const NtfsFileData own = decodeNtfsFileData(volume, rec, recordNumber, nullptr);
            data.names.insert(data.names.end(), own.names.begin(), own.names.end());
            return data;
        }
    }
    return decodeNtfsFileData(volume, rec, recordNumber, &fetchFromVolume);
}

NtfsFileData decodeNtfsFileData(const NtfsVolume& volume, std::span<const std::uint8_t> record,
                                std::uint32_t recordNumber, RecordFetcher fetch) {
    NtfsFileData data;
    const util::Bytes base(record.data(), record.size());
    std::vector<Instance> instances;
    std::vector<std::uint8_t> attrList;
    bool haveAttrList = false;
    // Preference of the name namespaces: Win32, Win32 and DOS, DOS, POSIX.
    int bestRank = 99;
    auto nameRank = [](std::uint8_t ns) { return ns == 1 ? 0 : ns == 3 ? 1 : ns == 2 ? 2 : 3; };

    forEachAttribute(base, [&](std::size_t off, std::uint32_t type, std::uint32_t length) {
        const util::Bytes attr = base.subspan(off, length);
        if (type == kAttrStandardInformation && le8(attr, 0x08) == 0) {
            const std::size_t v = le16(attr, 0x14);
            if (util::fits(attr.size(), v, 0x10)) {
                const auto ft = static_cast<std::int64_t>(le64(attr, v + 0x08));
                if (ft > 0) {
                    data.hasModified = true;
                    data.modifiedUnix = (ft - kFileTimeUnixEpoch) / 10000000;
                }
            }
        } else if (type == kAttrFileNameType && le8(attr, 0x08) == 0) {
            const std::size_t v = le16(attr, 0x14);
            const std::size_t units = le8(attr, v + 0x40);
            const std::uint8_t ns = le8(attr, v + 0x41);
            if (util::fits(attr.size(), v + 0x42, units * 2) && units > 0) {
                const auto name = attr.subspan(v + 0x42, units * 2);
                if (data.names.size() < 1024) data.names.emplace_back(utf16LowBytes(name), utf16ToUtf8(name));
                if (nameRank(ns) < bestRank) {
                    bestRank = nameRank(ns);
                    data.unicodeName = data.names.back().second;
                    data.lowByteName = data.names.back().first;
                }
            }
        } else if (type == kAttrListType) {
            haveAttrList = true;
            if (le8(attr, 0x08) == 0) {
                const std::uint32_t valueLength = le32(attr, 0x10);
                const std::size_t v = le16(attr, 0x14);
                if (util::fits(attr.size(), v, valueLength)) attrList.assign(attr.begin() + v, attr.begin() + v + valueLength);
            } else {
                std::vector<Extent> runs;
                std::uint64_t vcns = 0;
                decodeRunList(attr, le16(attr, 0x20), volume.cluster0, volume.sectorsPerCluster, runs, vcns);
                attrList = readExtents(volume, runs, std::min<std::uint64_t>(le64(attr, 0x30), kMaxAttributeListBytes));
            }
        } else if (type == kAttrDataType && isUnnamed(base, off)) {
            instances.push_back(decodeInstance(volume, base, off, length));
        }
    });

    if (haveAttrList) {
        // The records holding further pieces of the unnamed data.
        std::set<std::uint32_t> records;
        const util::Bytes list(attrList.data(), attrList.size());
        std::size_t pos = 0;
        for (std::size_t n = 0; n < kMaxListEntries && util::fits(list.size(), pos, 0x1A); ++n) {
            const std::uint32_t type = le32(list, pos);
            const std::uint16_t entryLength = le16(list, pos + 4);
            if (type == 0 || type == 0xFFFFFFFFu || entryLength < 0x1A) break;
            if (type == kAttrDataType && le8(list, pos + 6) == 0) {
                const std::uint32_t ref = le32(list, pos + 0x10);
                if (ref != recordNumber && records.size() < kMaxExtensionRecords) records.insert(ref);
            }
            pos += entryLength;
        }
        for (std::uint32_t ref : records) {
            const std::vector<std::uint8_t> ext = fetch != nullptr ? fetch(volume, ref) : std::vector<std::uint8_t>{};
            const util::Bytes extBytes(ext.data(), ext.size());
            // An extension record points back at its base record; one that
            // does not has been reused for another file.
            if (ext.empty() || le32(extBytes, 0x20) != recordNumber) {
                data.complete = false;
                data.problem = "extension record " + std::to_string(ref) + " is missing or reused";
                continue;
            }
            forEachAttribute(extBytes, [&](std::size_t off, std::uint32_t type, std::uint32_t length) {
                if (type == kAttrDataType && isUnnamed(extBytes, off))
                    instances.push_back(decodeInstance(volume, extBytes, off, length));
            });
        }
    }

    if (instances.empty()) {
        data.complete = false;
        if (data.problem.empty()) data.problem = "no unnamed data attribute";
        return data;
    }
    data.found = true;
    std::stable_sort(instances.begin(), instances.end(),
                     [](const Instance& a, const Instance& b) { return a.startVcn < b.startVcn; });
    const Instance& first = instances.front();
    FileLayout& layout = data.layout;
    if (first.resident) {
        layout.resident = true;
        layout.residentData = first.value;
        layout.size = first.value.size();
        if (!first.runListOk) {
            data.complete = false;
            data.problem = "resident data runs past the record";
        }
        return data;
    }
    if (first.startVcn != 0) {
        data.complete = false;
        data.problem = "the first part of the run list is missing";
    }
    layout.size = first.dataSize;
    layout.initializedSize = first.initializedSize;
    data.encrypted = (first.flags & kFlagEncrypted) != 0;
    if ((first.flags & kFlagCompressedMask) != 0 && first.compressionUnit > 0 && first.compressionUnit <= 8)
        layout.compressionUnitSectors = (1u << first.compressionUnit) * volume.sectorsPerCluster;
    if (data.encrypted) {
        data.complete = false;
        data.problem = "encrypted; written as stored on the disk";
    }
    std::uint64_t expected = 0;
    for (const Instance& inst : instances) {
        if (inst.resident) continue;
        if (!inst.runListOk) {
            data.complete = false;
            data.problem = "a run list is damaged";
        }
        if (inst.startVcn < expected) continue;  // a duplicate piece
        if (inst.startVcn > expected) {
            data.complete = false;
            data.problem = "part of the run list is missing";
            layout.append(Extent{0, (inst.startVcn - expected) * volume.sectorsPerCluster, true});
        }
        for (const Extent& e : inst.extents) layout.append(e);
        expected = inst.startVcn + inst.vcnCount;
    }
    if (layout.extentBytes() < layout.size && data.complete) {
        data.complete = false;
        data.problem = "the run list covers less than the file's size";
    }
    return data;
}

}  // namespace qvx::recover
