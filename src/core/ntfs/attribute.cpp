#include "ntfs/attribute.h"

#include <algorithm>

#include "util/utf.h"

namespace qvx::ntfs {

std::string Attribute::name() const { return util::utf16leToUtf8(nameUnits); }

bool Attribute::nameIs(std::string_view ascii) const {
    if (nameUnits.size() != ascii.size() * 2) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (nameUnits[2 * i] != static_cast<std::uint8_t>(ascii[i]) || nameUnits[2 * i + 1] != 0) return false;
    return true;
}

util::Bytes Attribute::runList() const {
    if (!nonResident || runListOffset >= raw.size()) return {};
    return raw.subspan(runListOffset);
}

util::DecodeResult decodeAttribute(util::Bytes record, std::size_t offset, std::size_t end, Attribute& a) {
    end = std::min(end, record.size());
    if (!util::fits(end, offset, 4)) return util::DecodeResult::notThisStructure();
    a.offset = offset;
    a.type = util::le32(record, offset);
    if (a.type == kAttrEnd || a.type == 0) return util::DecodeResult::notThisStructure();
    a.length = util::le32(record, offset + 0x04);
    if (a.length < 0x10 || !util::fits(end, offset, a.length))
        return util::DecodeResult::corruptBecause("attribute 0x" + std::to_string(a.type) + " at offset " +
                                                  std::to_string(offset) + " does not fit the record");
    a.raw = record.subspan(offset, a.length);
    a.nonResident = util::le8(a.raw, 0x08) != 0;
    const std::size_t nameUnits = util::le8(a.raw, 0x09);
    const std::size_t nameOffset = util::le16(a.raw, 0x0A);
    a.flags = util::le16(a.raw, 0x0C);
    a.id = util::le16(a.raw, 0x0E);
    if (nameUnits != 0) {
        if (!util::fits(a.raw.size(), nameOffset, nameUnits * 2))
            return util::DecodeResult::corruptBecause("an attribute name lies outside its attribute");
        a.nameUnits = a.raw.subspan(nameOffset, nameUnits * 2);
    }
    if (!a.nonResident) {
        const std::uint32_t valueLength = util::le32(a.raw, 0x10);
        const std::uint16_t valueOffset = util::le16(a.raw, 0x14);
        a.valueFits = util::fits(a.raw.size(), valueOffset, valueLength);
        if (a.valueFits) a.value = a.raw.subspan(valueOffset, valueLength);
        return util::DecodeResult::success();
    }
    if (a.length < 0x40) return util::DecodeResult::corruptBecause("a non-resident attribute header is cut short");
    a.startVcn = util::le64(a.raw, 0x10);
    a.lastVcn = util::le64(a.raw, 0x18);
    a.runListOffset = util::le16(a.raw, 0x20);
    a.compressionUnit = util::le16(a.raw, 0x22);
    a.allocatedSize = util::le64(a.raw, 0x28);
    a.dataSize = util::le64(a.raw, 0x30);
    a.initializedSize = util::le64(a.raw, 0x38);
    return util::DecodeResult::success();
}

util::DecodeResult decodeAttributeList(util::Bytes value, std::vector<AttributeListEntry>& out) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < kMaxAttributeListEntries; ++n) {
        if (!util::fits(value.size(), pos, 0x1A)) return util::DecodeResult::success();
        AttributeListEntry e;
        e.type = util::le32(value, pos);
        const std::size_t length = util::le16(value, pos + 0x04);
        if (e.type == 0 || e.type == kAttrEnd) return util::DecodeResult::success();
        if (length < 0x1A || !util::fits(value.size(), pos, length))
            return util::DecodeResult::corruptBecause("an attribute list entry does not fit the list");
        const std::size_t nameUnits = util::le8(value, pos + 0x06);
        const std::size_t nameOffset = util::le8(value, pos + 0x07);
        e.startVcn = util::le64(value, pos + 0x08);
        e.holder = MftRef::fromU64(util::le64(value, pos + 0x10));
        e.id = util::le16(value, pos + 0x18);
        if (nameUnits != 0) {
            if (!util::fits(length, nameOffset, nameUnits * 2))
                return util::DecodeResult::corruptBecause("an attribute list entry's name lies outside it");
            e.nameUnits = value.subspan(pos + nameOffset, nameUnits * 2);
        }
        out.push_back(e);
        pos += length;
    }
    return util::DecodeResult::corruptBecause("too many attribute list entries");
}

bool sameUnits(util::Bytes a, util::Bytes b) { return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()); }

}  // namespace qvx::ntfs
