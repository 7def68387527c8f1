#pragma once
// Item times as listings write them: ISO 8601 texts with seconds, and the
// seconds since 1970 that timeline body files carry.

#include <cstdint>
#include <string>

namespace qvx::records {

/// The calendar date and time of a FILETIME value (proleptic Gregorian,
/// in the zone the value is in); negative values read as 1601-01-01.
struct CivilTime {
    std::int64_t year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};
CivilTime civilFromFileTime(std::int64_t fileTime);

/// A FILETIME value as YYYY-MM-DDTHH:MM:SS, with "Z" when utc (NTFS keeps
/// UTC) and without a zone otherwise (FAT keeps local wall-clock times
/// whose zone the volume does not tell). Empty for 0 or a negative value.
std::string isoTimestamp(std::int64_t fileTime, bool utc);
/// The same text appended to out; nothing for 0 or a negative value.
/// Listings write four of these per item, so no formatting call is made.
void appendIsoTimestamp(std::string& out, std::int64_t fileTime, bool utc);

/// Seconds since 1970 of a UTC FILETIME as The Sleuth Kit writes them in
/// body files: unsigned 64-bit arithmetic kept to 32 bits, so a value
/// before 1970 (0 included) wraps around as it does there.
std::uint32_t bodyfileUtcSeconds(std::int64_t fileTime);

/// Seconds since 1970 of a local wall-clock FILETIME read in this process's
/// zone (the TZ variable), with the daylight-saving rule of that date.
/// False for 0, a negative value or a time the zone cannot express.
bool wallClockToUnix(std::int64_t fileTime, std::int64_t& out);

}  // namespace qvx::records
