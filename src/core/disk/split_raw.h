#pragma once
// Raw images cut into numbered pieces ("disk.001", "disk.002", ...), as
// imaging tools write them to fit file-size limits or media. The pieces are
// read back to back as one disk.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/sector_reader.h"

namespace qvx::disk {

/// The files of the numbered series that path starts: path itself, then the
/// same name with the number one higher and as many digits (more once it
/// overflows), while such a file exists. A series starts at number 1, or at
/// 0 when a file numbered 1 follows. Empty when path does not end in a dot
/// and three or more digits starting such a series, or when no second file
/// exists (a lone "disk.001" is an ordinary raw image). When the file after
/// the last one found is missing but the one after that exists, error names
/// the missing file.
std::vector<std::string> splitRawSegments(const std::string& path, std::string& error);

/// The segments read as one disk, in order. Every segment must be a regular,
/// readable file; every segment but the last must be non-empty. Null with a
/// reason naming the file otherwise.
std::unique_ptr<BlockDevice> openSplitRaw(const std::vector<std::string>& segments, std::string& error);

}  // namespace qvx::disk
