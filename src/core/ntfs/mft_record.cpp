#include "ntfs/mft_record.h"

#include <algorithm>

#include "ntfs/run_list.h"

namespace qvx::ntfs {

namespace {

/// Visits the attributes of the record; false when it is no FILE record.
template <typename Visit>
bool walk(util::Bytes record, Visit visit) {
    MftHeader header;
    if (parseMftHeader(record, header).notThis()) return false;
    if (header.firstAttribute >= record.size()) return false;
    (void)forEachAttribute(record, header, visit);
    return true;
}

}  // namespace

FileNameInfo findFileName(util::Bytes record, NameSpace nameSpace) {
    FileNameInfo info;
    walk(record, [&](const Attribute& a) {
        if (a.type != kAttrFileName || a.named() || a.nonResident) return true;
        FileName fn;
        if (!decodeFileName(a.value, fn).ok() || fn.nameSpace != static_cast<std::uint8_t>(nameSpace)) return true;
        info.found = true;
        info.name = fn.name();
        info.parent = static_cast<std::uint32_t>(fn.parent.record);
        info.creationTime = fn.times.created;
        return false;
    });
    return info;
}

FileNameInfo findFileNamePreferred(util::Bytes record) {
    FileNameInfo best;
    int bestRank = 99;
    walk(record, [&](const Attribute& a) {
        if (a.type != kAttrFileName || a.named() || a.nonResident) return true;
        FileName fn;
        if (!decodeFileName(a.value, fn).ok()) return true;
        const int rank = nameSpaceRank(fn.nameSpace);
        if (rank >= bestRank || rank > 3) return true;
        bestRank = rank;
        best.found = true;
        best.name = fn.name();
        best.parent = static_cast<std::uint32_t>(fn.parent.record);
        best.creationTime = fn.times.created;
        return rank != 0;
    });
    return best;
}

DataSize findDataSize(util::Bytes record) {
    DataSize result;
    walk(record, [&](const Attribute& a) {
        if (a.type != kAttrData || a.named()) return true;
        // Only the instance that starts the data knows its size.
        if (a.nonResident && a.startVcn != 0) return true;
        result.found = true;
        result.size = a.nonResident ? a.dataSize : a.value.size();
        return false;
    });
    return result;
}

std::vector<std::uint32_t> collectListedRecords(util::Bytes record, std::uint32_t ownNumber) {
    std::vector<std::uint32_t> list{ownNumber};
    walk(record, [&](const Attribute& a) {
        if (a.type != kAttrList || a.nonResident) return true;
        std::vector<AttributeListEntry> entries;
        (void)decodeAttributeList(a.value, entries);
        for (const AttributeListEntry& e : entries) {
            if (list.size() >= kMaxListedRecords) break;
            list.push_back(static_cast<std::uint32_t>(e.holder.record));
        }
        return false;
    });
    return list;
}

std::uint32_t findIndexAllocationFirstCluster(util::Bytes record) {
    std::uint32_t cluster = 0;
    walk(record, [&](const Attribute& a) {
        if (a.type != kAttrIndexAllocation || !a.nameIs("$I30")) return true;
        std::vector<Run> runs;
        std::uint64_t vcns = 0;
        (void)decodeRunList(a.runList(), 0, 0, runs, vcns);
        for (const Run& r : runs) {
            if (r.sparse) continue;
            cluster = static_cast<std::uint32_t>(r.lcn);
            break;
        }
        return false;
    });
    return cluster;
}

std::uint32_t recordNumberFromHeader(util::Bytes record) { return util::le32(record, kRecordNumber); }

std::size_t findAttribute(util::Bytes record, std::uint32_t type) {
    std::size_t offset = 0;
    walk(record, [&](const Attribute& a) {
        if (a.type != type) return true;
        offset = a.offset;
        return false;
    });
    return offset;
}

}  // namespace qvx::ntfs
