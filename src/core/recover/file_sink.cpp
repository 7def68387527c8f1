#include "recover/file_sink.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "util/shared_library.h"

namespace qvx::recover {

namespace {

// libcrypto is opened with the first file saved; a listing never needs it.
// The pointers are named like the functions, so the calls below read them.
#define QVX_CRYPTO_FUNCTIONS(X)                                                                                  \
    X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_DigestFinal_ex) X(EVP_md5) \
    X(EVP_sha256)
QVX_CRYPTO_FUNCTIONS(QVX_DECLARE_LOADED)
util::LoadedLibrary g_crypto(QVX_LIBCRYPTO_SONAME, {QVX_CRYPTO_FUNCTIONS(QVX_BIND_LOADED)});

}  // namespace

struct HashingFileSink::Digests {
    EVP_MD_CTX* md5 = nullptr;
    EVP_MD_CTX* sha256 = nullptr;
    Digests() {
        // Without the library no digest is made and the report's hash
        // cells stay empty, as when a context cannot be had.
        std::string error;
        if (!g_crypto.load(error)) return;
        md5 = EVP_MD_CTX_new();
        sha256 = EVP_MD_CTX_new();
        if (md5 != nullptr) EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
        if (sha256 != nullptr) EVP_DigestInit_ex(sha256, EVP_sha256(), nullptr);
    }
    ~Digests() {
        if (md5 != nullptr) EVP_MD_CTX_free(md5);
        if (sha256 != nullptr) EVP_MD_CTX_free(sha256);
    }
    Digests(const Digests&) = delete;
    Digests& operator=(const Digests&) = delete;
};

namespace {

std::string finalHex(EVP_MD_CTX* ctx) {
    if (ctx == nullptr) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) return {};
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

}  // namespace

HashingFileSink::HashingFileSink(int fd) : m_fd(fd), m_digests(std::make_unique<Digests>()) {}

HashingFileSink::~HashingFileSink() = default;

void HashingFileSink::keepHead(const std::uint8_t* data, std::size_t length) {
    if (m_head.size() >= m_headLimit) return;
    const std::size_t n = std::min(length, m_headLimit - m_head.size());
    if (data != nullptr) m_head.insert(m_head.end(), data, data + n);
    else m_head.resize(m_head.size() + n, 0);
}

void HashingFileSink::hash(const std::uint8_t* data, std::size_t length) {
    keepHead(data, length);
    if (!m_hashing) return;
    if (m_digests->md5 != nullptr) EVP_DigestUpdate(m_digests->md5, data, length);
    if (m_digests->sha256 != nullptr) EVP_DigestUpdate(m_digests->sha256, data, length);
}

void HashingFileSink::hashZeros(std::uint64_t length) {
    static const std::vector<std::uint8_t> zeros(1 << 20, 0);
    // Holes cost nothing to write but every byte to hash; past the limit
    // the digests are given up rather than spending hours on zeros.
    keepHead(nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(length, m_headLimit)));
    m_holes += length;
    if (m_holes > kHashHoleLimit) m_hashing = false;
    if (!m_hashing) return;
    while (length > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, zeros.size()));
        if (m_digests->md5 != nullptr) EVP_DigestUpdate(m_digests->md5, zeros.data(), n);
        if (m_digests->sha256 != nullptr) EVP_DigestUpdate(m_digests->sha256, zeros.data(), n);
        length -= n;
    }
}

bool HashingFileSink::materialiseZeros(bool atEnd) {
    if (m_pendingZeros == 0) return true;
    const std::uint64_t end = m_accepted + m_pendingZeros;
    bool ok = false;
    if (end > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EFBIG;
    } else if (atEnd) {
        ok = ::ftruncate(m_fd, static_cast<off_t>(end)) == 0;
    } else {
        ok = ::lseek(m_fd, static_cast<off_t>(end), SEEK_SET) >= 0;
    }
    if (!ok) {
        if (m_errno == 0) m_errno = errno;
        return false;
    }
    hashZeros(m_pendingZeros);
    m_accepted = end;
    m_pendingZeros = 0;
    return true;
}

bool HashingFileSink::write(const std::uint8_t* data, std::size_t length) {
    if (m_errno != 0 || !materialiseZeros(false)) return false;
    while (length > 0) {
        const ssize_t n = ::write(m_fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_errno = n < 0 ? errno : ENOSPC;
            return false;
        }
        hash(data, static_cast<std::size_t>(n));
        m_accepted += static_cast<std::uint64_t>(n);
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool HashingFileSink::writeZeros(std::uint64_t length) {
    if (m_errno != 0) return false;
    m_pendingZeros += length;
    return true;
}

bool HashingFileSink::finish(std::uint64_t total) {
    (void)total;  // what was accepted is what the file holds
    const bool ok = m_errno == 0 && materialiseZeros(true);
    if (m_hashing) {
        m_md5 = finalHex(m_digests->md5);
        m_sha256 = finalHex(m_digests->sha256);
    }
    return ok;
}

std::string writeErrorText(int e) {
    if (e == EFBIG || e == EINVAL) return "the file is larger than the destination file system allows";
    if (e == ENOSPC) return "the destination is full";
    return std::string("writing the destination failed: ") + std::strerror(e);
}

bool destinationHolds(int fd, std::uint64_t size, std::string& message) {
    const long bits = ::fpathconf(fd, _PC_FILESIZEBITS);
    // bits counts the sign bit of the signed offset, so the largest size
    // is 2^(bits-1) - 1.
    if (bits > 1 && bits < 64 && size > (std::uint64_t{1} << (bits - 1)) - 1) {
        message = "the file (" + std::to_string(size) + " bytes) is larger than the destination file system allows";
        return false;
    }
    // A trial extension costs nothing where holes exist, but a file system
    // without them would write zeros: only very large sizes are tried;
    // smaller ones that do not fit fail in the copy with EFBIG.
    if (size < (std::uint64_t{1} << 40)) return true;
    if (size > static_cast<std::uint64_t>(INT64_MAX) || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const int e = size > static_cast<std::uint64_t>(INT64_MAX) ? EFBIG : errno;
        if (e == EFBIG || e == EINVAL) {
            message = "the file (" + std::to_string(size) + " bytes) is larger than the destination file system allows";
            return false;
        }
        return true;  // some other refusal; the copy itself will report it
    }
    if (::ftruncate(fd, 0) != 0) {
        message = std::string("cannot prepare the destination file: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace qvx::recover
