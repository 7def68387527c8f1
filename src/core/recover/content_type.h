#pragma once
// The type of a recovered file's contents, named by the system's magic
// database (libmagic) from its first bytes as a MIME type, and whether that
// type agrees with the extension of the file's name: a photo named ".doc"
// or a deleted picture renamed ".hmm" is worth telling the examiner about.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvx::recover {

/// Bytes of a file's beginning the type is named from.
inline constexpr std::size_t kContentTypeBytes = 64 * 1024;

/// One handle on the magic database; not shared between threads.
class ContentTyper {
public:
    ContentTyper();
    ~ContentTyper();
    ContentTyper(const ContentTyper&) = delete;
    ContentTyper& operator=(const ContentTyper&) = delete;

    /// False when the database could not be loaded (every type is then empty).
    bool ready() const { return m_cookie != nullptr; }
    /// The MIME type of the bytes ("image/jpeg"); empty when there are none
    /// or the database is not loaded.
    std::string typeOf(const std::uint8_t* data, std::size_t length) const;

private:
    void* m_cookie = nullptr;
};

/// The extension of a name, lower case, without the dot; empty when the
/// name has none (a leading dot alone does not make one). A stream's name
/// ("file.jpg:here") is taken after its colon.
std::string extensionOf(std::string_view name);

/// True when contentType is a type whose extensions are known and the
/// name's extension is not one of them, or the extension belongs to a known
/// type and the contents are recognisably something else (text in a
/// ".jpg"). Contents typed only as data or empty, and names without an
/// extension, never disagree.
bool typeMismatch(std::string_view name, std::string_view contentType);

}  // namespace qvx::recover
