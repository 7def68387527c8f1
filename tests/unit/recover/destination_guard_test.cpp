// The destination guard over a prepared sysfs tree and mountinfo text:
// partitions and stacked devices of the source are found, the mount of a
// destination path is the longest matching mount point, and a destination
// on the source is refused.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "recover/destination_guard.h"

namespace {

using namespace qvx::recover;
namespace fs = std::filesystem;

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() / ("qvx-guard-" + std::to_string(::getpid()));
        fs::remove_all(base);
        sys = base / "sys";
        // sda (8:0) with partitions sda1 (8:1) and sda2 (8:2); dm-0 (253:0)
        // is built on sda2; sdb (8:16) is another disk.
        device("devices/sda", "8:0");
        device("devices/sda/sda1", "8:1", true);
        device("devices/sda/sda2", "8:2", true);
        device("devices/dm-0", "253:0");
        device("devices/sdb", "8:16");
        fs::create_directories(sys / "devices/sda/sda2/holders");
        fs::create_directory_symlink(sys / "devices/dm-0", sys / "devices/sda/sda2/holders/dm-0");
        fs::create_directories(sys / "devices/dm-0/slaves");
        fs::create_directory_symlink(sys / "devices/sda/sda2", sys / "devices/dm-0/slaves/sda2");
        fs::create_directories(sys / "dev/block");
        for (auto [num, dir] : {std::pair{"8:0", "sda"}, {"8:1", "sda/sda1"}, {"8:2", "sda/sda2"}, {"253:0", "dm-0"},
                                {"8:16", "sdb"}})
            fs::create_directory_symlink(sys / "devices" / dir, sys / "dev/block" / num);
        paths.sysfs = sys.string();
    }
    void TearDown() override { fs::remove_all(base); }

    void device(const std::string& dir, const std::string& dev, bool partition = false) {
        fs::create_directories(sys / dir);
        std::ofstream(sys / dir / "dev") << dev << "\n";
        if (partition) std::ofstream(sys / dir / "partition") << "1\n";
    }
    void mounts(const std::string& text) {
        paths.mountInfo = (base / "mountinfo").string();
        std::ofstream(paths.mountInfo) << text;
    }

    fs::path base, sys;
    SystemPaths paths;
};

TEST_F(GuardTest, SourceSetHoldsPartitionsAndStackedDevices) {
    const auto onTop = devicesOnTop(paths.sysfs, "8:0");
    EXPECT_EQ(onTop, (std::set<std::string>{"8:0", "8:1", "8:2", "253:0"}));
    EXPECT_EQ(devicesBeneath(paths.sysfs, "253:0"), (std::set<std::string>{"253:0", "8:2"}));
    EXPECT_EQ(devicesOnTop(paths.sysfs, "8:16"), (std::set<std::string>{"8:16"}));
}

TEST_F(GuardTest, LongestMountPointWinsAndEscapesAreDecoded) {
    const std::string info =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 253:0 / /mnt/my\\040data rw shared:2 - xfs /dev/mapper/vg-data rw\n"
        "31 22 8:16 / /mnt/my rw - ext4 /dev/sdb rw\n"
        "garbage line\n";
    MountEntry m;
    ASSERT_TRUE(findMountOf(info, "/mnt/my data/out", m));
    EXPECT_EQ(m.device, "253:0");
    EXPECT_EQ(m.mountPoint, "/mnt/my data");
    EXPECT_EQ(m.source, "/dev/mapper/vg-data");
    ASSERT_TRUE(findMountOf(info, "/mnt/my/x", m));
    EXPECT_EQ(m.device, "8:16");
    ASSERT_TRUE(findMountOf(info, "/mnt/mystery", m));
    EXPECT_EQ(m.device, "8:1");
}

TEST_F(GuardTest, DestinationOnTheSourceIsRefusedElsewhereAllowed) {
    // The test's own folder is mounted, in this mountinfo, from dm-0 on
    // the source's second partition.
    const std::string where = fs::canonical(base).string();
    mounts("22 1 8:16 / / rw - ext4 /dev/sdb rw\n"
           "40 22 253:0 / " + where + " rw - ext4 /dev/mapper/x rw\n");
    const auto sda = SourceIdentity::forDevices(devicesOnTop(paths.sysfs, "8:0"));
    const GuardResult refused = checkDestination((base / "out/deeper").string(), sda, paths);
    EXPECT_FALSE(refused.allowed);
    EXPECT_NE(refused.message.find("253:0"), std::string::npos);

    const auto sdb = SourceIdentity::forDevices(devicesOnTop(paths.sysfs, "8:16"));
    mounts("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    // Only "/" (sda1) holds the folder now: a source of sdb is fine...
    EXPECT_TRUE(checkDestination((base / "out").string(), sdb, paths).allowed);
    // ...and a source of sda is not.
    EXPECT_FALSE(checkDestination((base / "out").string(), sda, paths).allowed);
}

}  // namespace
