#include "util/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "util/utf.h"

namespace qvx::util {

namespace {

/// One converter per code page, opened on first use and kept; iconv
/// descriptors are not thread-safe, so conversions take the lock.
struct Converters {
    std::mutex mutex;
    std::map<int, iconv_t> open;
    ~Converters() {
        for (auto& [page, cd] : open)
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
    iconv_t get(int page) {
        auto it = open.find(page);
        if (it != open.end()) return it->second;
        const std::string name = "CP" + std::to_string(page);
        iconv_t cd = iconv_open("UTF-8", name.c_str());
        open.emplace(page, cd);
        return cd;
    }
};

Converters& converters() {
    static Converters c;
    return c;
}

}  // namespace

bool oemCodePageKnown(int codePage) {
    std::lock_guard lock(converters().mutex);
    return converters().get(codePage) != reinterpret_cast<iconv_t>(-1);
}

std::string oemToUtf8(std::string_view bytes, int codePage) {
    bool ascii = true;
    for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(bytes);
    std::lock_guard lock(converters().mutex);
    iconv_t cd = converters().get(codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) return latin1ToUtf8(bytes);
    std::string out;
    // Byte by byte, so that one byte the page cannot map costs only itself.
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out.push_back(c);
            continue;
        }
        char in[1] = {c};
        char buf[8];
        char* inPtr = in;
        std::size_t inLeft = 1;
        char* outPtr = buf;
        std::size_t outLeft = sizeof buf;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            out += latin1ToUtf8(std::string_view(in, 1));
            continue;
        }
        out.append(buf, static_cast<std::size_t>(outPtr - buf));
    }
    return out;
}

}  // namespace qvx::util
