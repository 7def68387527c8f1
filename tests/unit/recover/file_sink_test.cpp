// The hashing sink: digests of data and holes equal those of the bytes on
// the destination, only accepted bytes count, and a file larger than the
// destination allows is refused before its copy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <vector>

#include "recover/file_sink.h"

namespace {

using namespace qvx::recover;
namespace fs = std::filesystem;

class SinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = fs::temp_directory_path() / ("qvx-sink-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        fs::remove(path);
    }
    fs::path path;
    int fd = -1;
};

TEST_F(SinkTest, KnownDigests) {
    HashingFileSink sink(fd);
    const std::string abc = "abc";
    ASSERT_TRUE(sink.write(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()));
    ASSERT_TRUE(sink.finish(3));
    EXPECT_EQ(sink.md5(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(sink.sha256(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sink.accepted(), 3u);
}

TEST_F(SinkTest, HolesAreHashedAsZeros) {
    HashingFileSink sink(fd);
    const std::vector<std::uint8_t> data(100, 0x41);
    ASSERT_TRUE(sink.writeZeros(5000));
    ASSERT_TRUE(sink.write(data.data(), data.size()));
    ASSERT_TRUE(sink.writeZeros(3000));
    ASSERT_TRUE(sink.finish(8100));
    EXPECT_EQ(fs::file_size(path), 8100u);
    EXPECT_EQ(sink.accepted(), 8100u);
    HashingFileSink plain(::open((path.string() + ".b").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    std::vector<std::uint8_t> all(8100, 0);
    std::fill(all.begin() + 5000, all.begin() + 5100, 0x41);
    ASSERT_TRUE(plain.write(all.data(), all.size()));
    ASSERT_TRUE(plain.finish(all.size()));
    EXPECT_EQ(sink.md5(), plain.md5());
    EXPECT_EQ(sink.sha256(), plain.sha256());
    fs::remove(path.string() + ".b");
}

TEST_F(SinkTest, OnlyAcceptedBytesCount) {
    // RLIMIT_FSIZE makes writes past 64 KiB fail with EFBIG, as a small
    // destination file system would.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 65536;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    HashingFileSink sink(fd);
    const std::vector<std::uint8_t> data(40000, 7);
    EXPECT_TRUE(sink.write(data.data(), data.size()));
    EXPECT_FALSE(sink.write(data.data(), data.size()));
    EXPECT_FALSE(sink.writeZeros(1 << 20));
    EXPECT_FALSE(sink.finish(80000));
    EXPECT_EQ(sink.accepted(), 65536u);
    EXPECT_EQ(sink.error(), EFBIG);
    EXPECT_NE(writeErrorText(sink.error()).find("larger than the destination"), std::string::npos);
    // A sparse 2^62-byte file is refused before anything is written.
    std::string message;
    EXPECT_FALSE(destinationHolds(fd, std::uint64_t{1} << 62, message));
    EXPECT_NE(message.find("larger than the destination file system allows"), std::string::npos);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_DFL);
}

TEST_F(SinkTest, TrailingHoleBeyondTheLimitFails) {
    HashingFileSink sink(fd);
    ASSERT_TRUE(sink.writeZeros(std::uint64_t{1} << 63));
    EXPECT_FALSE(sink.finish(0));
    EXPECT_EQ(sink.accepted(), 0u);
}

}  // namespace
