#include "util/utf.h"

namespace qvx::util {

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

void appendUtf16leAsUtf8(std::string& out, std::span<const std::uint8_t> units) {
    const std::size_t n = units.size() / 2;
    std::size_t i = 0;
    // Most names are ASCII: those units are copied as bytes, with no
    // per-character call.
    const std::size_t start = out.size();
    while (i < n && units[2 * i + 1] == 0 && units[2 * i] < 0x80) ++i;
    if (i != 0) {
        out.resize(start + i);
        for (std::size_t k = 0; k < i; ++k) out[start + k] = static_cast<char>(units[2 * k]);
    }
    if (i == n) return;
    out.reserve(out.size() + (n - i) * 3);
    for (; i < n; ++i) {
        std::uint32_t u = static_cast<std::uint32_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const auto lo = static_cast<std::uint32_t>(units[2 * i + 2] | (units[2 * i + 3] << 8));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        appendUtf8(out, u);
    }
}

std::string utf16leToUtf8(std::span<const std::uint8_t> units) {
    std::string out;
    appendUtf16leAsUtf8(out, units);
    return out;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::string utf8OrLatin1(std::string_view text) {
    return isValidUtf8(text) ? std::string(text) : latin1ToUtf8(text);
}

std::size_t utf8Cut(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) return text.size();
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace qvx::util
