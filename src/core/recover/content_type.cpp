#include "recover/content_type.h"

#include <magic.h>

#include <algorithm>

#include "util/shared_library.h"

namespace qvx::recover {

namespace {

// libmagic is opened with the first typer made: only recovery types files.
#define QVX_MAGIC_FUNCTIONS(X) X(magic_open) X(magic_load) X(magic_close) X(magic_buffer)
QVX_MAGIC_FUNCTIONS(QVX_DECLARE_LOADED)
util::LoadedLibrary g_magic(QVX_LIBMAGIC_SONAME, {QVX_MAGIC_FUNCTIONS(QVX_BIND_LOADED)});

struct TypeExtensions {
    std::string_view type;
    std::string_view extensions;  // space-separated, lower case
};

// Types recognised by their signature, with the extensions files of that
// type carry. Office documents of the compound-file format share one
// signature, as do the zip-based formats; each type lists them all.
constexpr std::string_view kCompoundFile = "doc dot xls xlt ppt pps pot msg msi vsd pub db mdb";
constexpr std::string_view kZipBased = "zip jar apk docx docm dotx xlsx xlsm pptx ppsx odt ods odp odg epub xpi kmz";
constexpr TypeExtensions kTypes[] = {
    {"image/jpeg", "jpg jpeg jpe jfif jfi thm"},
    {"image/png", "png"},
    {"image/gif", "gif"},
    {"image/bmp", "bmp dib"},
    {"image/x-ms-bmp", "bmp dib"},
    {"image/tiff", "tif tiff dng nef cr2 arw orf rw2 pef srw"},
    {"image/webp", "webp"},
    {"image/vnd.microsoft.icon", "ico"},
    {"image/x-icon", "ico"},
    {"application/pdf", "pdf"},
    {"application/zip", kZipBased},
    {"application/java-archive", "jar"},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx docm dotx"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx xlsm xltx"},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx ppsx potx"},
    {"application/vnd.oasis.opendocument.text", "odt"},
    {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
    {"application/gzip", "gz tgz z"},
    {"application/x-gzip", "gz tgz z"},
    {"application/x-bzip2", "bz2 tbz tbz2"},
    {"application/x-xz", "xz txz"},
    {"application/x-7z-compressed", "7z"},
    {"application/x-rar", "rar"},
    {"application/vnd.rar", "rar"},
    {"application/x-tar", "tar"},
    {"application/msword", kCompoundFile},
    {"application/vnd.ms-excel", kCompoundFile},
    {"application/vnd.ms-powerpoint", kCompoundFile},
    {"application/vnd.ms-office", kCompoundFile},
    {"application/x-ole-storage", kCompoundFile},
    {"application/CDFV2", kCompoundFile},
    {"text/rtf", "rtf doc"},
    {"application/x-dosexec", "exe dll sys ocx cpl scr drv efi com mui ax tlb"},
    {"application/x-executable", "elf bin so o"},
    {"audio/mpeg", "mp3 mp2 mpga"},
    {"audio/x-wav", "wav"},
    {"video/mp4", "mp4 m4v m4a mov 3gp"},
    {"video/quicktime", "mov qt mp4"},
    {"video/x-msvideo", "avi"},
    {"application/x-shockwave-flash", "swf"},
    {"application/vnd.microsoft.portable-executable", "exe dll sys ocx cpl scr drv efi mui ax tlb"},
    {"application/x-sharedlib", "so elf bin"},
    {"application/x-pie-executable", "elf bin so"},
};

const TypeExtensions* findType(std::string_view type) {
    for (const TypeExtensions& t : kTypes)
        if (t.type == type) return &t;
    return nullptr;
}

bool listed(std::string_view extensions, std::string_view ext) {
    std::size_t at = 0;
    while (at < extensions.size()) {
        std::size_t end = extensions.find(' ', at);
        if (end == std::string_view::npos) end = extensions.size();
        if (extensions.substr(at, end - at) == ext) return true;
        at = end + 1;
    }
    return false;
}

/// Contents that say nothing about the type a name should have: bytes
/// the database does not recognise, or none.
bool uninformative(std::string_view type) {
    return type.empty() || type == "application/octet-stream" || type == "inode/x-empty" ||
           type == "application/x-empty";
}

}  // namespace

ContentTyper::ContentTyper() {
    // Without the library no type is known, as without its database.
    std::string error;
    if (!g_magic.load(error)) return;
    magic_t cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR | MAGIC_NO_CHECK_COMPRESS);
    if (cookie == nullptr) return;
    if (magic_load(cookie, nullptr) != 0) {
        magic_close(cookie);
        return;
    }
    m_cookie = cookie;
}

ContentTyper::~ContentTyper() {
    if (m_cookie != nullptr) magic_close(static_cast<magic_t>(m_cookie));
}

std::string ContentTyper::typeOf(const std::uint8_t* data, std::size_t length) const {
    if (m_cookie == nullptr || data == nullptr || length == 0) return {};
    const char* type = magic_buffer(static_cast<magic_t>(m_cookie), data, std::min(length, kContentTypeBytes));
    return type == nullptr ? std::string() : std::string(type);
}

std::string extensionOf(std::string_view name) {
    if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) name = name.substr(colon + 1);
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name = name.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
    std::string ext(name.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

bool typeMismatch(std::string_view name, std::string_view contentType) {
    const std::string ext = extensionOf(name);
    if (ext.empty() || uninformative(contentType)) return false;
    if (const TypeExtensions* t = findType(contentType)) return !listed(t->extensions, ext);
    // Unlisted contents (plain text, HTML, ...): a disagreement only when
    // the extension claims a listed type (a ".jpg" holding text, say).
    for (const TypeExtensions& t : kTypes)
        if (listed(t.extensions, ext)) return true;
    return false;
}

}  // namespace qvx::recover
