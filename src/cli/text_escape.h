#pragma once
// Names from a disk are untrusted: a line feed or an escape sequence in a
// file name must not forge listing lines or drive the terminal. Text output
// shows the C0 control bytes and DEL as escapes (\n, \t, \r, \x1b, ...);
// bytes from 0x80 on are left alone, so UTF-8 names print as they are.
// JSON output needs none of this: its strings are escaped already.

#include <string>
#include <string_view>

namespace qvx::cli {

/// text with every byte below 0x20 and 0x7F written as an escape.
std::string terminalSafe(std::string_view text);

}  // namespace qvx::cli
