#include "recover/names.h"

namespace qvx::recover {

namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

/// Largest cut <= limit that does not split a UTF-8 sequence.
std::size_t utf8Cut(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) return text.size();
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

/// Splits "stem.ext" at the last dot when the extension is short enough to
/// keep; names starting with a dot have no extension.
std::size_t extensionStart(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return name.size();
    return dot;
}

}  // namespace

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string utf16ToUtf8(std::span<const std::uint8_t> units) {
    std::string out;
    const std::size_t n = units.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t u = static_cast<std::uint32_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const std::uint32_t lo = static_cast<std::uint32_t>(units[2 * i + 2] | (units[2 * i + 3] << 8));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

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
