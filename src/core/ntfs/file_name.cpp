#include "ntfs/file_name.h"

#include "util/utf.h"

namespace qvx::ntfs {

int nameSpaceRank(std::uint8_t nameSpace) {
    switch (nameSpace) {
    case 1: return 0;
    case 3: return 1;
    case 2: return 2;
    case 0: return 3;
    default: return 4;
    }
}

std::string FileName::name() const { return util::utf16leToUtf8(nameUnits); }

util::DecodeResult decodeFileName(util::Bytes v, FileName& f) {
    if (v.size() < 0x42) return util::DecodeResult::corruptBecause("a file name value is cut short");
    f.parent = MftRef::fromU64(util::le64(v, 0x00));
    f.times.created = static_cast<std::int64_t>(util::le64(v, 0x08));
    f.times.modified = static_cast<std::int64_t>(util::le64(v, 0x10));
    f.times.changed = static_cast<std::int64_t>(util::le64(v, 0x18));
    f.times.accessed = static_cast<std::int64_t>(util::le64(v, 0x20));
    f.allocatedSize = util::le64(v, 0x28);
    f.dataSize = util::le64(v, 0x30);
    f.attributes = util::le32(v, 0x38);
    const std::size_t units = util::le8(v, 0x40);
    f.nameSpace = util::le8(v, 0x41);
    if (!util::fits(v.size(), 0x42, units * 2))
        return util::DecodeResult::corruptBecause("a file name runs past its attribute");
    f.nameUnits = v.subspan(0x42, units * 2);
    return util::DecodeResult::success();
}

util::DecodeResult decodeStandardInformation(util::Bytes v, StandardInformation& s) {
    if (v.size() < 0x24) return util::DecodeResult::corruptBecause("a standard information value is cut short");
    s.times.created = static_cast<std::int64_t>(util::le64(v, 0x00));
    s.times.modified = static_cast<std::int64_t>(util::le64(v, 0x08));
    s.times.changed = static_cast<std::int64_t>(util::le64(v, 0x10));
    s.times.accessed = static_cast<std::int64_t>(util::le64(v, 0x18));
    s.attributes = util::le32(v, 0x20);
    // 0x30 u32 owner id: only in the longer value of NTFS 3.0 and later.
    s.ownerId = v.size() >= 0x34 ? util::le32(v, 0x30) : 0;
    return util::DecodeResult::success();
}

}  // namespace qvx::ntfs
