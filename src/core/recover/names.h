#pragma once
// Names of recovered files on the destination. Disk names are UTF-16 (NTFS,
// FAT long names) or 8-bit text (the tables' form); the destination takes
// UTF-8 and cannot hold NUL or '/' in a name, nor "." or "..", nor names
// longer than 255 bytes. Such names are changed and the change is recorded,
// and a name already present in the folder is resolved by the chosen policy.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qvx::recover {

/// Longest name most Linux file systems accept, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

/// Each byte is the character U+0000..U+00FF of the same value.
std::string latin1ToUtf8(std::string_view text);
/// UTF-16LE units (2 bytes each) as UTF-8; an unpaired surrogate becomes
/// U+FFFD.
std::string utf16ToUtf8(std::span<const std::uint8_t> units);
/// The low byte of each UTF-16 unit, as the tables carry names.
std::string utf16LowBytes(std::span<const std::uint8_t> units);

/// A name the destination can create: NUL, '/' and control characters
/// become '_', "." and ".." become "_." and "_..", an empty name "_", and a
/// name over 255 bytes is shortened (keeping a short extension) at a
/// character boundary.
std::string sanitizeName(std::string_view utf8);

/// "stem (n).ext" for the n-th alternative of name, within 255 bytes.
std::string numberedName(std::string_view name, int n);

enum class ConflictPolicy { Rename, Overwrite, Skip };

/// Folder-relative paths with '/' separators joined, for the report.
std::string joinPath(std::string_view folder, std::string_view name);

}  // namespace qvx::recover
