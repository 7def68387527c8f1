#include "ntfs/mft_header.h"

#include <algorithm>

namespace qvx::ntfs {

std::size_t MftHeader::attributeEnd(std::size_t bufferBytes) const {
    // Some writers leave "bytes in use" stale; the walk then runs to the
    // end of the buffer and stops at the end marker as usual.
    if (usedSize < firstAttribute || usedSize > bufferBytes) return bufferBytes;
    return usedSize;
}

bool isFileRecord(util::Bytes record) { return util::bytesEqual(record, 0, "FILE"); }

util::DecodeResult parseMftHeader(util::Bytes record, MftHeader& h) {
    if (!isFileRecord(record)) return util::DecodeResult::notThisStructure();
    h.usaOffset = util::le16(record, kUsaOffset);
    h.usaCount = util::le16(record, kUsaCount);
    h.sequence = util::le16(record, kSequence);
    h.linkCount = util::le16(record, 0x12);
    h.firstAttribute = util::le16(record, kFirstAttribute);
    h.flags = util::le16(record, kRecordFlags);
    h.usedSize = util::le32(record, kUsedSize);
    h.allocatedSize = util::le32(record, kAllocatedSize);
    h.base = MftRef::fromU64(util::le64(record, kBaseReference));
    h.hasRecordNumber = h.usaOffset >= 0x30;
    h.recordNumber = h.hasRecordNumber ? util::le32(record, kRecordNumber) : 0;
    if (h.firstAttribute < 0x18 || h.firstAttribute >= record.size())
        return util::DecodeResult::corruptBecause("the first attribute lies outside the record");
    if (h.usaCount == 0 || !util::fits(record.size(), h.usaOffset, std::size_t{h.usaCount} * 2))
        return util::DecodeResult::corruptBecause("the update sequence array lies outside the record");
    return util::DecodeResult::success();
}

}  // namespace qvx::ntfs
