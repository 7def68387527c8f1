#pragma once
// The outcome every on-disk structure decoder reports: the bytes are the
// structure (Ok), are not it at all (NotThis: raw scans meet that constantly
// and it is not worth a word), or are it but inconsistent (Corrupt, with the
// reason, the record number and the sector where known, so the caller can
// count it and tell the user).

#include <cstdint>
#include <string>

namespace qvx::util {

enum class DecodeStatus { Ok, NotThis, Corrupt };

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Ok;
    std::string reason;                 // set when Corrupt
    std::uint64_t record = UINT64_MAX;  // record number, when known
    std::uint64_t lba = UINT64_MAX;     // absolute sector, when known

    bool ok() const { return status == DecodeStatus::Ok; }
    bool notThis() const { return status == DecodeStatus::NotThis; }
    bool corrupt() const { return status == DecodeStatus::Corrupt; }

    static DecodeResult success() { return {}; }
    static DecodeResult notThisStructure() { return DecodeResult{DecodeStatus::NotThis, {}, UINT64_MAX, UINT64_MAX}; }
    static DecodeResult corruptBecause(std::string why) {
        return DecodeResult{DecodeStatus::Corrupt, std::move(why), UINT64_MAX, UINT64_MAX};
    }
};

}  // namespace qvx::util
