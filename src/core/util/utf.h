#pragma once
// Text conversions for names read from disks. Every name the engine carries
// is UTF-8: NTFS and FAT long names are UTF-16LE on disk (surrogate pairs
// included), older 8-bit texts (short names, session logs of other tools)
// are converted at the edge where they are read.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qvx::util {

/// Appends the UTF-8 form of one code point.
void appendUtf8(std::string& out, std::uint32_t codePoint);

/// UTF-16LE code units (two bytes each) as UTF-8. A surrogate that is not
/// part of a pair becomes U+FFFD, so every name converts to valid UTF-8.
std::string utf16leToUtf8(std::span<const std::uint8_t> units);
/// The same, appended to out (whose buffer a caller may reuse).
void appendUtf16leAsUtf8(std::string& out, std::span<const std::uint8_t> units);

/// Each byte is the character U+0000..U+00FF of the same value.
std::string latin1ToUtf8(std::string_view text);

/// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
/// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

/// text itself when it is valid UTF-8, else its bytes read as Latin-1.
std::string utf8OrLatin1(std::string_view text);

/// The longest prefix of at most limit bytes that does not split a UTF-8
/// sequence.
std::size_t utf8Cut(std::string_view text, std::size_t limit);

}  // namespace qvx::util
