#pragma once
// OEM code pages of FAT short names, converted with the C library's iconv.
// Short names are bytes in the code page of the machine that wrote them;
// 850 (Western European DOS) is the default, as on most Windows installs.

#include <string>
#include <string_view>

namespace qvx::util {

inline constexpr int kDefaultOemCodePage = 850;

/// The bytes as UTF-8, read in code page codePage (e.g. 437, 850, 866, 932).
/// Bytes below 0x80 are ASCII whatever the page; a byte the page cannot
/// convert, or a page iconv does not know, reads as Latin-1.
std::string oemToUtf8(std::string_view bytes, int codePage = kDefaultOemCodePage);

/// True when iconv knows the code page.
bool oemCodePageKnown(int codePage);

}  // namespace qvx::util
