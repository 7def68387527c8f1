#include "disk/split_raw.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "disk/containers.h"
#include "disk/inventory.h"
#include "disk/sector_reader.h"

namespace qvx::disk {
namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() : m_path(fs::temp_directory_path() / ("qvx-split-" + std::to_string(::getpid()) + "-" + std::to_string(s_n++))) {
        fs::create_directories(m_path);
    }
    ~Folder() { fs::remove_all(m_path); }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::ofstream out(m_path / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }

private:
    static inline int s_n = 0;
    fs::path m_path;
};

/// A disk of n bytes whose byte i holds i * 7 mod 251, cut into pieces of
/// the given sizes named base.001, base.002 ...
std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 % 251);
    return v;
}

std::vector<std::uint8_t> writeSplit(const Folder& dir, const std::string& base, const std::vector<std::size_t>& sizes,
                                     int firstNumber = 1) {
    std::size_t total = 0;
    for (auto s : sizes) total += s;
    const auto whole = pattern(total);
    std::size_t at = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03d", static_cast<int>(i) + firstNumber);
        dir.write(base + suffix, std::vector<std::uint8_t>(whole.begin() + static_cast<std::ptrdiff_t>(at),
                                                           whole.begin() + static_cast<std::ptrdiff_t>(at + sizes[i])));
        at += sizes[i];
    }
    return whole;
}

TEST(SplitRaw, FindsTheNumberedSeriesFromTheFirstFile) {
    Folder dir;
    writeSplit(dir, "disk", {1024, 1024, 512});
    std::string error;
    EXPECT_EQ(splitRawSegments(dir.file("disk.001"), error),
              (std::vector<std::string>{dir.file("disk.001"), dir.file("disk.002"), dir.file("disk.003")}));
    EXPECT_TRUE(error.empty());
    // Not the first piece, not a number, or a lone piece: no series.
    EXPECT_TRUE(splitRawSegments(dir.file("disk.002"), error).empty());
    EXPECT_TRUE(splitRawSegments(dir.file("disk.img"), error).empty());
    dir.write("lone.001", pattern(512));
    EXPECT_TRUE(splitRawSegments(dir.file("lone.001"), error).empty());
    EXPECT_TRUE(error.empty());
}

TEST(SplitRaw, ASeriesMayStartAtZero) {
    Folder dir;
    writeSplit(dir, "zero", {512, 512}, 0);
    std::string error;
    EXPECT_EQ(splitRawSegments(dir.file("zero.000"), error).size(), 2u);
}

TEST(SplitRaw, AGapInTheSeriesNamesTheMissingPiece) {
    Folder dir;
    writeSplit(dir, "gap", {512, 512, 512, 512});
    fs::remove(dir.file("gap.003"));
    std::string error;
    EXPECT_TRUE(splitRawSegments(dir.file("gap.001"), error).empty());
    EXPECT_NE(error.find(dir.file("gap.003")), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(openFileDevice(dir.file("gap.001"), error), nullptr);
    EXPECT_NE(error.find("gap.003"), std::string::npos) << error;
}

TEST(SplitRaw, ReadsAcrossPiecesAsOneDisk) {
    Folder dir;
    const auto whole = writeSplit(dir, "cut", {1536, 1000, 2048, 512});  // 1000: cut inside a sector
    std::string error;
    auto dev = openFileDevice(dir.file("cut.001"), error);
    ASSERT_NE(dev, nullptr) << error;
    EXPECT_EQ(dev->sizeBytes(), whole.size());
    EXPECT_EQ(dev->containerInfo().type, "Split raw");
    EXPECT_EQ(dev->containerInfo().files.size(), 4u);
    std::vector<std::uint8_t> all(whole.size());
    ASSERT_TRUE(dev->readAt(0, all.size(), all.data()));
    EXPECT_EQ(all, whole);
    std::vector<std::uint8_t> part(3000);
    ASSERT_TRUE(dev->readAt(1024, part.size(), part.data()));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 1024));
    EXPECT_FALSE(dev->readAt(whole.size() - 100, 512, part.data()));

    SectorReader reader;
    reader.attachPath(0, dir.file("cut.001"));
    EXPECT_EQ(reader.totalSectors(0), whole.size() / 512);
    std::vector<std::uint8_t> sector(512);
    EXPECT_EQ(reader.ReadSectors(0, 3, 1, sector.data()), 1);  // bytes 1536..2047: the second piece
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), whole.begin() + 1536));
}

TEST(SplitRaw, ManyPiecesAreReadWithABoundedNumberOfOpenFiles) {
    Folder dir;
    const auto whole = writeSplit(dir, "many", std::vector<std::size_t>(150, 512));
    std::string error;
    auto dev = openFileDevice(dir.file("many.001"), error);
    ASSERT_NE(dev, nullptr) << error;
    std::vector<std::uint8_t> all(whole.size());
    for (int pass = 0; pass < 2; ++pass) {  // the second pass reopens pieces let go of
        ASSERT_TRUE(dev->readAt(0, all.size(), all.data()));
        EXPECT_EQ(all, whole);
    }
}

TEST(SplitRaw, AnEmptyPieceInTheMiddleIsRefused) {
    Folder dir;
    writeSplit(dir, "hole", {512, 0, 512});
    std::string error;
    EXPECT_EQ(openFileDevice(dir.file("hole.001"), error), nullptr);
    EXPECT_NE(error.find("hole.002"), std::string::npos) << error;
}

TEST(SplitRaw, TheInventoryReportsTheWholeSeries) {
    Folder dir;
    writeSplit(dir, "inv", {16065 * 512, 16065 * 512});
    DiskInfo info;
    std::string error;
    ASSERT_TRUE(describeImage(dir.file("inv.001"), info, error)) << error;
    EXPECT_EQ(info.TotalSectors, 2u * 16065);
    EXPECT_EQ(info.containerType, "Split raw");
    const DiskDetails details = describeDisk(info);
    EXPECT_EQ(details.rows.size(), 14u);
    ASSERT_GE(details.containerRows.size(), 2u);
    EXPECT_EQ(details.containerRows[0], (std::pair<std::string, std::string>{"Container :", "Split raw"}));
    EXPECT_EQ(details.containerRows[1], (std::pair<std::string, std::string>{"Container Files :", "2"}));
}

TEST(Containers, RecognisedByTheirSignatureNotTheirName) {
    auto kind = [](const std::string& head, const std::string& tail = {}) {
        return recogniseContainer(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(),
                                  reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size());
    };
    using namespace std::string_literals;
    EXPECT_EQ(kind("EVF\x09\x0D\x0A\xFF\x00\x01"s), ContainerKind::Ewf);
    EXPECT_EQ(kind("KDMV\x01\x00\x00\x00"s), ContainerKind::Vmdk);
    EXPECT_EQ(kind("# Disk DescriptorFile\nversion=1\n"), ContainerKind::Vmdk);
    EXPECT_EQ(kind("vhdxfile"), ContainerKind::Vhdx);
    EXPECT_EQ(kind("conectix"), ContainerKind::Vhd);
    EXPECT_EQ(kind("QFI\xFB\x00\x00\x00\x03"s), ContainerKind::Qcow);
    std::string footer(512, '\0');
    footer.replace(0, 8, "conectix");
    EXPECT_EQ(kind(std::string(512, '\0'), footer), ContainerKind::Vhd);  // fixed VHD: footer only
    EXPECT_EQ(kind(std::string(512, '\0'), std::string(512, '\0')), ContainerKind::None);
    EXPECT_EQ(kind("EVF"), ContainerKind::None);  // too short to tell
}

TEST(Containers, ADamagedContainerNamesItsFile) {
    Folder dir;
    std::vector<std::uint8_t> bytes(4096, 0);
    const std::string magic = "QFI\xFB";
    std::copy(magic.begin(), magic.end(), bytes.begin());
    const std::string qcow = dir.write("broken.img", bytes);  // any name: the signature decides
    std::string error;
    EXPECT_EQ(openFileDevice(qcow, error), nullptr);
    EXPECT_NE(error.find(qcow), std::string::npos) << error;
    EXPECT_NE(error.find("qcow"), std::string::npos) << error;

    std::fill(bytes.begin(), bytes.end(), 0);
    const std::string evf = "EVF\x09\x0D\x0A\xFF\x00\x01\x01\x00";
    std::copy(evf.begin(), evf.end(), bytes.begin());
    const std::string e01 = dir.write("case.E01", bytes);
    error.clear();
    EXPECT_EQ(openFileDevice(e01, error), nullptr);
    EXPECT_NE(error.find(e01), std::string::npos) << error;

    error.clear();
    const std::string vmdk = dir.write("disk.vmdk", std::vector<std::uint8_t>(
        {'#', ' ', 'D', 'i', 's', 'k', ' ', 'D', 'e', 's', 'c', 'r', 'i', 'p', 't', 'o', 'r', 'F', 'i', 'l', 'e', '\n'}));
    EXPECT_EQ(openFileDevice(vmdk, error), nullptr);
    EXPECT_NE(error.find(vmdk), std::string::npos) << error;
}

TEST(Containers, ARawImageIsReportedAsRaw) {
    Folder dir;
    const std::string raw = dir.write("plain.img", pattern(4096));
    std::string error;
    auto dev = openFileDevice(raw, error);
    ASSERT_NE(dev, nullptr) << error;
    EXPECT_EQ(dev->containerInfo().type, "Raw");
    EXPECT_EQ(dev->logicalSectorSize(), 512u);
    EXPECT_EQ(dev->sizeBytes(), 4096u);
}

}  // namespace
}  // namespace qvx::disk
