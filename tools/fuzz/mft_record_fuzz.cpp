// Decoding of one MFT FILE record with no disk behind it: the update
// sequence fixup, names in every namespace, the data size, the records an
// attribute list names, the folder's index allocation, and the run lists
// of its $DATA as both the MFT run table and the recovery decode them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/attribute.h"
#include "ntfs/file_name.h"
#include "ntfs/mft_record.h"
#include "ntfs/run_list.h"
#include "ntfs/mft_run_table.h"
#include "recover/ntfs_data.h"
#include "util/le.h"

namespace {

// Extension records named by an attribute list: odd numbers come back as the
// record itself (a list naming its own record), even ones as unreadable.
const std::vector<std::uint8_t>* g_record = nullptr;

std::vector<std::uint8_t> fetchRecord(const qvx::recover::NtfsVolume&, std::uint32_t number) {
    if (g_record == nullptr || (number & 1) == 0) return {};
    return *g_record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qvx::ntfs;
    std::vector<std::uint8_t> record(data, data + size);
    (void)isFileRecord(record);
    applyFixup(record, record.size());
    const qvx::util::Bytes view(record);

    for (NameSpace ns : {NameSpace::Posix, NameSpace::Win32, NameSpace::Dos, NameSpace::Win32AndDos})
        (void)findFileName(view, ns);
    (void)findFileNamePreferred(view);
    (void)findDataSize(view);
    (void)collectListedRecords(view, recordNumberFromHeader(view));
    (void)findIndexAllocationFirstCluster(view);
    MftHeader header;
    if (parseMftHeader(view, header).ok()) {
        (void)forEachAttribute(view, header, [](const Attribute& a) {
            std::vector<AttributeListEntry> entries;
            if (a.type == kAttrList) (void)decodeAttributeList(a.value, entries);
            if (a.type == kAttrFileName) {
                FileName fn;
                if (decodeFileName(a.value, fn).ok()) (void)fn.name();
            }
            std::vector<Run> runs;
            std::uint64_t vcns = 0;
            if (a.nonResident) (void)decodeRunList(a.runList(), a.startVcn, 1u << 20, runs, vcns);
            return true;
        });
    }

    const std::size_t attr = findAttribute(view, kAttrData);
    if (attr != 0) {
        const qvx::util::Bytes attrView = view.subspan(attr);
        const std::size_t runs = qvx::util::le16(attrView, 0x20);
        MftRunTable table;
        table.appendRunList(attrView, runs, 63, 8);
        for (std::uint32_t n = 0; n < 64; ++n) (void)table.recordSector(n);
    }

    std::vector<std::uint8_t> raw(data, data + size);
    (void)applyFixup(raw, raw.size());
    qvx::recover::NtfsVolume volume;
    volume.sectorsPerCluster = 8;
    g_record = &raw;
    const qvx::recover::NtfsFileData decoded =
        qvx::recover::decodeNtfsFileData(volume, raw, recordNumberFromHeader(raw), fetchRecord);
    g_record = nullptr;
    (void)decoded.name;
    return 0;
}
