#include "recover/names.h"

#include "util/utf.h"

namespace qvx::recover {

namespace {

using util::utf8Cut;

/// Splits "stem.ext" at the last dot when the extension is short enough to
/// keep; names starting with a dot have no extension.
std::size_t extensionStart(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return name.size();
    return dot;
}

}  // namespace

std::string latin1ToUtf8(std::string_view text) { return util::latin1ToUtf8(text); }

std::string utf16ToUtf8(std::span<const std::uint8_t> units) { return util::utf16leToUtf8(units); }

std::string utf16LowBytes(std::span<const std::uint8_t> units) {
    std::string out;
    for (std::size_t i = 0; i + 1 < units.size(); i += 2) out.push_back(static_cast<char>(units[i]));
    return out;
}

std::string sanitizeName(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b < 0x20 || c == '/' || b == 0x7F ? '_' : c);
    }
    if (out.empty()) return "_";
    if (out == "." || out == "..") return "_" + out;
    if (out.size() > kMaxNameBytes) {
        const std::size_t ext = extensionStart(out);
        const std::string extension = out.substr(ext);
        const std::size_t keep = utf8Cut(out, kMaxNameBytes - extension.size());
        out = out.substr(0, keep) + extension;
    }
    return out;
}

std::string numberedName(std::string_view name, int n) {
    const std::size_t ext = extensionStart(name);
    const std::string suffix = " (" + std::to_string(n) + ")";
    std::string_view stem = name.substr(0, ext);
    const std::string_view extension = name.substr(ext);
    const std::size_t room = kMaxNameBytes > suffix.size() + extension.size() ? kMaxNameBytes - suffix.size() - extension.size() : 0;
    stem = stem.substr(0, utf8Cut(stem, room));
    return std::string(stem) + suffix + std::string(extension);
}

std::string joinPath(std::string_view folder, std::string_view name) {
    if (folder.empty()) return std::string(name);
    std::string out(folder);
    out.push_back('/');
    out += name;
    return out;
}

}  // namespace qvx::recover
