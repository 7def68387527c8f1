// Decoding of one MFT FILE record with no disk behind it: the update
// sequence fixup, names in every namespace, the data size, the records an
// attribute list names, the folder's index allocation, and the run lists
// of its $DATA as both the MFT run table and the recovery decode them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/mft_record.h"
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
    (void)MftRunTable::dataRecordsOfList(view);

    const std::size_t list = findAttribute(view, kAttrList);
    if (list != 0) (void)MftRunTable::dataRecordsOfList(view.subspan(list));

    const std::size_t attr = findAttribute(view, kAttrData);
    if (attr != 0) {
        const qvx::util::Bytes attrView = view.subspan(attr);
        const std::size_t runs = qvx::util::le16(attrView, 0x20);
        MftRunTable table;
        table.appendRunList(attrView, runs, 63, 8);
        for (std::uint32_t n = 0; n < 64; ++n) (void)table.recordSector(n);
        std::vector<qvx::recover::Extent> extents;
        std::uint64_t vcns = 0;
        qvx::recover::decodeRunList(attrView, runs, 63, 8, extents, vcns);
    }

    std::vector<std::uint8_t> raw(data, data + size);
    (void)qvx::recover::applyRecordFixup(raw);
    qvx::recover::NtfsVolume volume;
    volume.sectorsPerCluster = 8;
    g_record = &raw;
    const qvx::recover::NtfsFileData decoded =
        qvx::recover::decodeNtfsFileData(volume, raw, recordNumberFromHeader(raw), fetchRecord);
    g_record = nullptr;
    (void)qvx::recover::fullNtfsName(decoded, decoded.lowByteName);
    return 0;
}
