#pragma once
// The sink a recovery writes each file through: bytes go to the open
// destination file (runs of zeros become holes), the MD5 and SHA-256 of
// the file's contents are computed on the way, and only what the
// destination file system accepted is counted, so a report never claims
// bytes that are not on the destination.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recover/extents.h"

namespace qvx::recover {

/// Holes beyond this many bytes are not hashed (the digests are left empty).
inline constexpr std::uint64_t kHashHoleLimit = std::uint64_t{64} << 30;

class HashingFileSink : public OutputSink {
public:
    explicit HashingFileSink(int fd);
    ~HashingFileSink() override;
    HashingFileSink(const HashingFileSink&) = delete;
    HashingFileSink& operator=(const HashingFileSink&) = delete;

    bool write(const std::uint8_t* data, std::size_t length) override;
    bool writeZeros(std::uint64_t length) override;
    bool finish(std::uint64_t total) override;

    /// Bytes the destination accepted (holes included once they exist).
    std::uint64_t accepted() const { return m_accepted; }
    /// Lower-case hex digests of the accepted bytes; valid after finish(),
    /// empty when more than kHashHoleLimit bytes of holes were written.
    const std::string& md5() const { return m_md5; }
    const std::string& sha256() const { return m_sha256; }
    /// errno of the first failed write, 0 if none.
    int error() const { return m_errno; }
    /// Keeps the first bytes accepted (zeros of holes included), up to limit.
    void keepHeadBytes(std::size_t limit) { m_headLimit = limit; }
    const std::vector<std::uint8_t>& head() const { return m_head; }

private:
    bool materialiseZeros(bool atEnd);
    void hash(const std::uint8_t* data, std::size_t length);
    void hashZeros(std::uint64_t length);
    void keepHead(const std::uint8_t* data, std::size_t length);

    int m_fd;
    std::uint64_t m_accepted = 0;
    std::uint64_t m_pendingZeros = 0;
    int m_errno = 0;
    std::uint64_t m_holes = 0;
    bool m_hashing = true;
    struct Digests;
    std::unique_ptr<Digests> m_digests;
    std::string m_md5;
    std::string m_sha256;
    std::size_t m_headLimit = 0;
    std::vector<std::uint8_t> m_head;
};

/// Whether a file of size bytes fits on the file system of the open,
/// empty file fd: its maximum file size (_PC_FILESIZEBITS), then, for sizes
/// of 1 TiB and more, a trial extension to size (undone). False with a message when it does not.
bool destinationHolds(int fd, std::uint64_t size, std::string& message);

/// A message for errno e when writing a destination file.
std::string writeErrorText(int e);

}  // namespace qvx::recover
