#include "disk/inventory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "disk/registry_store.h"

namespace qvx::disk {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() : m_path(fs::temp_directory_path() / ("qvx-inv-" + std::to_string(::getpid()) + "-" + std::to_string(s_n++))) {
        fs::create_directories(m_path);
    }
    ~TempDir() { fs::remove_all(m_path); }
    const fs::path& path() const { return m_path; }
    void write(const fs::path& rel, const std::string& text) const {
        fs::create_directories((m_path / rel).parent_path());
        std::ofstream(m_path / rel) << text;
    }

private:
    static inline int s_n = 0;
    fs::path m_path;
};

TEST(DiskInventory, NodeTextAndRemovableMedia) {
    DiskInfo d;
    d.Index = 0;
    d.MediaType = "Fixed hard disk media";
    EXPECT_EQ(diskNodeText(d), "Fixed hard disk media (Disk0)");
    d.Index = 1;
    d.MediaType = "Removable media other than floppy";
    EXPECT_EQ(diskNodeText(d), "Removable Media (Disk1)");
}

TEST(DiskInventory, GeometricCapacityAndDetailRows) {
    DiskInfo d;
    d.Model = "TEST DISK";
    d.TotalCylinders = 19457;
    d.TotalHeads = 255;
    d.SectorsPerTrack = 63;
    d.BytesPerSector = 512;
    d.TotalSectors = 312581808;
    EXPECT_EQ(capacityMegabytes(d), 152625);
    const DiskDetails details = describeDisk(d);
    EXPECT_EQ(details.DiskCapacityText, "152625 MB");
    ASSERT_EQ(details.rows.size(), 14u);
    EXPECT_EQ(details.rows[0], (std::pair<std::string, std::string>{"1. Model :", "TEST DISK"}));
    EXPECT_EQ(details.rows[3].first, "4. Capacity(size) :");
    EXPECT_EQ(details.rows[6], (std::pair<std::string, std::string>{"7. Sectors :", "312581808"}));
    EXPECT_EQ(details.rows[13].first, "14. Physical Device ID :");
    // 2^32 sectors and more stay exact in the 64-bit total.
    d.TotalSectors = 5000000000ull;
    EXPECT_EQ(describeDisk(d).DiskTotalSectors, 5000000000ull);
}

TEST(DiskInventory, FourKnDiskIsDescribedInItsOwnSectors) {
    DiskInfo d;
    d.TotalSectors = 8 * 1000000;  // 512-byte sectors, as the engine counts
    d.logicalSectorSize = 4096;
    const DiskDetails details = describeDisk(d);
    EXPECT_EQ(details.rows[6].second, "1000000");
    EXPECT_EQ(details.rows[7].second, "4096");
    EXPECT_EQ(details.DiskTotalSectors, 8000000u) << "the engine keeps 512-byte sectors";
}

TEST(DiskInventory, ImageFilesGetFixedGeometry) {
    TempDir dir;
    const fs::path image = dir.path() / "card.img";
    {
        std::ofstream out(image, std::ios::binary);
        out.seekp(16065 * 512 * 3 + 100 * 512 - 1);
        out.put('\0');
    }
    DiskInfo d;
    std::string error;
    ASSERT_TRUE(describeImage(image.string(), d, error)) << error;
    EXPECT_EQ(d.Model, "Disk Image card.img");
    EXPECT_EQ(d.MediaType, "Fixed hard disk media");
    EXPECT_EQ(d.TotalSectors, 16065u * 3 + 100);
    EXPECT_EQ(d.TotalCylinders, 3u);
    EXPECT_EQ(d.TotalHeads, 255u);
    EXPECT_EQ(d.SectorsPerTrack, 63u);
    EXPECT_FALSE(describeImage((dir.path() / "missing.img").string(), d, error));
}

TEST(DiskInventory, SysfsListingSkipsRamZramAndUnbackedLoops) {
    TempDir sys;
    sys.write("block/sda/size", "1000000\n");
    sys.write("block/sda/removable", "0\n");
    sys.write("block/sda/device/model", "FAST SSD   \n");
    sys.write("block/sdb/size", "2000\n");
    sys.write("block/sdb/removable", "1\n");
    sys.write("block/ram0/size", "8192\n");
    sys.write("block/zram0/size", "8192\n");
    sys.write("block/loop0/size", "0\n");
    sys.write("block/loop1/size", "4096\n");
    sys.write("block/loop1/loop/backing_file", "/tmp/x.img\n");
    sys.write("block/loop2/size", "4096\n");
    const auto disks = listBlockDevices(sys.path().string(), "/dev");
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].path, "/dev/loop1");
    EXPECT_EQ(disks[1].path, "/dev/sda");
    EXPECT_EQ(disks[1].Model, "FAST SSD");
    EXPECT_EQ(disks[1].TotalSectors, 1000000u);
    EXPECT_EQ(disks[1].TotalCylinders, 1000000u / 16065);
    EXPECT_EQ(disks[2].MediaType, "Removable media other than floppy");

    std::vector<std::string> errors;
    const auto all = EnumerateDisks({"/nonexistent.img"}, errors, sys.path().string());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].Index, 2);
    EXPECT_EQ(errors.size(), 1u);
}

// The interface type is read from where the block device sits in the
// sysfs device tree, as the kernel links /sys/block/NAME there.
TEST(DiskInventory, InterfaceTypeFromTheSysfsDeviceTree) {
    TempDir sys;
    const std::vector<std::pair<std::string, std::string>> placed = {
        {"vda", "devices/pci0000:00/0000:00:02.0/virtio1/block/vda"},
        {"sdc", "devices/pci0000:00/0000:00:03.0/virtio2/host0/target0:0:0/0:0:0:0/block/sdc"},
        {"nvme0n1", "devices/pci0000:00/0000:00:04.0/nvme/nvme0/nvme0n1"},
        {"sdb", "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb"},
        {"sda", "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda"},
        {"mmcblk0", "devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0"},
    };
    fs::create_directories(sys.path() / "block");
    for (const auto& [name, where] : placed) {
        sys.write(where + "/size", "4096\n");
        fs::create_directory_symlink(sys.path() / where, sys.path() / "block" / name);
    }
    std::map<std::string, std::string> got;
    for (const auto& d : listBlockDevices(sys.path().string(), "/dev")) got[d.path] = d.InterfaceType;
    EXPECT_EQ(got["/dev/vda"], "virtio");
    EXPECT_EQ(got["/dev/sdc"], "virtio");
    EXPECT_EQ(got["/dev/nvme0n1"], "NVMe");
    EXPECT_EQ(got["/dev/sdb"], "USB");
    EXPECT_EQ(got["/dev/sda"], "SATA/SCSI");
    EXPECT_EQ(got["/dev/mmcblk0"], "MMC");
    // The detail row keeps its place among the fourteen.
    DiskInfo d;
    d.InterfaceType = "NVMe";
    const DiskDetails details = describeDisk(d);
    ASSERT_EQ(details.rows.size(), 14u);
    EXPECT_EQ(details.rows[2].first, "3. Interface Type :");
    EXPECT_EQ(details.rows[2].second, "NVMe");
}

TEST(DiskInventory, AtMostTenDisks) {
    TempDir sys;
    for (int i = 0; i < 12; ++i) sys.write("block/sd" + std::string(1, static_cast<char>('a' + i)) + "/size", "100\n");
    std::vector<std::string> errors;
    const auto disks = EnumerateDisks({"/etc/hostname"}, errors, sys.path().string());
    EXPECT_EQ(disks.size(), 10u);
    EXPECT_EQ(disks.back().Index, 9);
    EXPECT_EQ(errors.size(), 1u);
}

TEST(DiskInventory, NodeTextOrderDiffersFromIndexOrder) {
    DiskInfo a, b;
    a.Index = 0;
    a.MediaType = "Removable media other than floppy";
    b.Index = 1;
    b.MediaType = "Fixed hard disk media";
    const auto sorted = sortedByNodeText({a, b});
    EXPECT_EQ(sorted[0].Index, 1);
    EXPECT_EQ(sorted[1].Index, 0);
}

TEST(RegistryStore, RebuildsRecordAndReportsUnwritableFolder) {
    TempDir dir;
    RegistryStore store(dir.path().string());
    DiskInfo d0, d1;
    d0.Index = 0;
    d1.Index = 1;
    std::string error;
    ASSERT_TRUE(store.rebuild({d0, d1}, error)) << error;
    EXPECT_EQ(store.keys().at("KWTLGX_param_E").at("Disk1"), "Disk1");
    EXPECT_EQ(store.keys().at("KWTLGX_param_E\\SectorsPerTrack").at("Disk0"), "");
    EXPECT_EQ(store.keys().size(), 7u);
    ASSERT_TRUE(store.rebuild({d0}, error));
    std::ifstream in(store.filePath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("Disk1"), std::string::npos);  // rebuilt, not appended
    EXPECT_NE(text.find("[KWTLGX_param_E\\Model]\nDisk0=\n"), std::string::npos);

    dir.write("blocker", "file");
    RegistryStore blocked((dir.path() / "blocker" / "sub").string());
    EXPECT_FALSE(blocked.rebuild({d0}, error));
    EXPECT_FALSE(error.empty());
}

TEST(RegistryStore, RebuildsAtOnceWithoutTakingEachOthersFile) {
    // Two listings running together (two qvx processes, or tests in parallel)
    // once shared one temporary name, and the later rename found it gone.
    TempDir dir;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            RegistryStore store(dir.path().string());
            DiskInfo d;
            d.Index = 0;
            for (int i = 0; i < 200; ++i) {
                std::string error;
                if (!store.rebuild({d}, error)) ++failures;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    std::size_t left = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) left += e.path().filename() != "registry.ini";
    EXPECT_EQ(left, 0u);
}

}  // namespace
}  // namespace qvx::disk
