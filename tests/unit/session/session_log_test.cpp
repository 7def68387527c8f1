#include "session/session_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "records/tables.h"

namespace qvx::session {
namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& out, std::initializer_list<int> bytes) {
    for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}
void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

/// The twelve parameters, in the log's order, numbered from first up.
void numberInOrder(partition::VolumeParameters& p, std::uint32_t first) {
    p.sectorsPerFat = first;
    p.sectorsPerCluster = first + 1;
    p.rootSectors = first + 2;
    p.rootStart = first + 3;
    p.reservedSectors = first + 4;
    p.cluster0Start = first + 5;
    p.firstFatStart = first + 6;
    p.secondFatStart = first + 7;
    p.mftStart = first + 8;
    p.mftMirrorStart = first + 9;
    p.sectorsPerMftRecord = first + 10;
    p.sectorsPerIndexRecord = first + 11;
}

SessionContent smallNtfsSession() {
    SessionContent c;
    SessionHeader& h = c.header;
    h.diskModelText = "M1";
    h.searchMode = 1;
    h.selectedDisk = 2;
    h.analysisDisk = 2;
    h.selectedPartition = 3;
    h.fileSystemKind = "NTFS";
    h.searchCriterion = kStandardCriterion;
    h.sectorRangeStart = 0x0102030405060708ull;
    h.sectorRangeEnd = 0x1122;
    numberInOrder(h.volumeParameters, 1);
    numberInOrder(h.activeParameters, 0x15);
    h.activeFileSystemName = "NTFS";
    c.folders.push_back({"ab", 0x0FFFFFFF, 5, 0x0102, 0, 1});
    c.files.push_back({"f", 0x10, 0x40, 5, -1, 7, 1});
    return c;
}

Bytes smallNtfsBytes() {
    Bytes b;
    append(b, "QVXWIN7SR2009");
    append(b, {2, 0, 0, 0});
    append(b, "M1");
    append(b, {1, 2, 2, 3});
    append(b, {4});
    append(b, "NTFS");
    append(b, {16});
    append(b, "Standard Search ");
    append(b, {8, 7, 6, 5, 4, 3, 2, 1});
    append(b, {0x22, 0x11, 0, 0, 0, 0, 0, 0});
    for (int i = 1; i <= 12; ++i) append(b, {i, 0, 0, 0});
    for (int i = 0x15; i <= 0x20; ++i) append(b, {i, 0, 0, 0});
    append(b, {4});
    append(b, "NTFS");
    append(b, {1, 0, 0, 0});
    append(b, {27, 0, 0, 0});
    append(b, "ab");
    append(b, {0xFF, 0xFF, 0xFF, 0x0F, 5, 0, 0, 0});
    append(b, {2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    append(b, {1, 0, 0, 0});
    append(b, {1, 0, 0, 0});
    append(b, "f");
    append(b, {0x10, 0, 0, 0, 0x40, 0, 0, 0, 5, 0, 0, 0});
    append(b, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    append(b, {7, 0, 0, 0, 1, 0, 0, 0});
    return b;
}

TEST(SessionLog, GoldenLayout) {
    EXPECT_EQ(encodeSession(smallNtfsSession()), smallNtfsBytes());
}

TEST(SessionLog, GoldenDecodesBack) {
    const auto decoded = decodeSession(smallNtfsBytes());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->header.selectedPartition, 3);
    EXPECT_EQ(decoded->header.activeParameters.mftStart, 0x1Du);
    ASSERT_EQ(decoded->files.size(), 1u);
    EXPECT_EQ(decoded->files[0].date, -1);
    EXPECT_EQ(encodeSession(*decoded), smallNtfsBytes());
}

TEST(SessionLog, FatSessionHasNoFileSection) {
    SessionContent c = smallNtfsSession();
    c.header.activeFileSystemName = "FAT32";
    const Bytes bytes = encodeSession(c);
    // The file section of the NTFS form is gone; "FAT32" is one longer than "NTFS".
    EXPECT_EQ(bytes.size(), smallNtfsBytes().size() - (4 + 4 + 1 + 12 + 8 + 8) + 1);
    const auto decoded = decodeSession(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(decoded->files.empty());
    EXPECT_EQ(decoded->folders.size(), 1u);
}

TEST(SessionLog, MarkerIsNotCompared) {
    Bytes bytes = smallNtfsBytes();
    for (int i = 0; i < 13; ++i) bytes[static_cast<std::size_t>(i)] = 'x';
    EXPECT_TRUE(decodeSession(bytes).has_value());
}

TEST(SessionLog, EveryTruncationIsRefused) {
    const Bytes bytes = smallNtfsBytes();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::string why;
        EXPECT_FALSE(decodeSession(std::span(bytes.data(), n), &why).has_value()) << n;
        EXPECT_FALSE(why.empty());
    }
}

TEST(SessionLog, TrailingBytesAreRefused) {
    Bytes bytes = smallNtfsBytes();
    bytes.push_back(0);
    EXPECT_FALSE(decodeSession(bytes).has_value());
}

TEST(SessionLog, OverlongTextsAndBadLengthsAreRefused) {
    {
        Bytes bytes = smallNtfsBytes();
        bytes[13] = 50;  // model length beyond 49
        EXPECT_FALSE(decodeSession(bytes).has_value());
    }
    {
        // A model length of 4 GiB must fail on the size, not allocate.
        Bytes bytes = smallNtfsBytes();
        bytes[13] = bytes[14] = bytes[15] = bytes[16] = 0xFF;
        EXPECT_FALSE(decodeSession(bytes).has_value());
    }
    const std::size_t folderCountAt = 13 + 4 + 2 + 4 + 5 + 17 + 16 + 96 + 5;
    {
        Bytes bytes = smallNtfsBytes();
        ASSERT_EQ(bytes[folderCountAt], 1);
        bytes[folderCountAt] = bytes[folderCountAt + 1] = bytes[folderCountAt + 2] = 0xFF;
        std::string why;
        EXPECT_FALSE(decodeSession(bytes, &why).has_value());
        EXPECT_NE(why.find("folder count"), std::string::npos);
    }
    {
        Bytes bytes = smallNtfsBytes();
        bytes[folderCountAt + 4] = 24;  // L below the fixed 25 bytes
        EXPECT_FALSE(decodeSession(bytes).has_value());
    }
    {
        Bytes bytes = smallNtfsBytes();
        const std::size_t nameAt = folderCountAt - 5;
        bytes[nameAt + 2] = 'X';  // "NXFS" is no file system
        EXPECT_FALSE(decodeSession(bytes).has_value());
    }
}

TEST(SessionLog, FileNameOfMoreThan255IsRefused) {
    SessionContent c = smallNtfsSession();
    c.files[0].name = std::string(255, 'n');
    Bytes bytes = encodeSession(c);
    ASSERT_TRUE(decodeSession(bytes).has_value());
    // Make the stored name one longer: length 256 and one more byte.
    const std::size_t lengthAt = bytes.size() - (4 + 255 + 12 + 8 + 8);
    ASSERT_EQ(bytes[lengthAt], 255);
    bytes[lengthAt] = 0;
    bytes[lengthAt + 1] = 1;
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(lengthAt + 4), 'n');
    EXPECT_FALSE(decodeSession(bytes).has_value());
}

TEST(SessionLog, TextsAreCutToTheirLimits) {
    SessionContent c = smallNtfsSession();
    c.header.diskModelText = std::string(60, 'm');
    c.files[0].name = std::string(300, 'f');
    const auto decoded = decodeSession(encodeSession(c));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->header.diskModelText, std::string(49, 'm'));
    EXPECT_EQ(decoded->files[0].name, std::string(255, 'f'));
}

TEST(SessionLog, CaptureSaturatesFieldsAndCutsNamesAtCharacters) {
    records::FolderNodeList nodes;
    records::ItemStore items;
    records::Item a;
    a.sector = 3000000000u;  // saturates to 2147483647
    a.record = 64;
    a.parent = 5;
    a.fileNameTimes.created = 132000000000000000;
    a.flags = records::kItemHasFileNameTimes;
    a.size = 12;
    // 254 ASCII bytes and a two-byte character: the cut keeps the character out.
    items.add(a, std::string(254, 'x') + "\xC3\xA9");
    records::Item b;
    b.flags = records::kItemDeleted;
    items.add(b, "b");
    records::Item folder;
    folder.flags = records::kItemFolder;
    items.add(folder, "not a file");
    SessionHeader h;
    h.activeFileSystemName = "NTFS";
    const SessionContent c = captureSession(h, nodes, items);
    ASSERT_EQ(c.files.size(), 2u);
    EXPECT_EQ(c.files[0].name, std::string(254, 'x'));
    EXPECT_EQ(c.files[0].sector, 2147483647u);
    EXPECT_EQ(c.files[0].date, 132000000000000000);
    EXPECT_EQ(c.files[0].deleted, 0u);
    EXPECT_EQ(c.files[1].deleted, 1u);
    h.activeFileSystemName = "FAT16";
    EXPECT_TRUE(captureSession(h, nodes, items).files.empty());
}

TEST(SessionLog, PositionsBeyond32BitsSaturateTheParameterFields) {
    SessionContent c = smallNtfsSession();
    c.header.volumeParameters.mftStart = (1ull << 32) + 2048;
    c.header.activeParameters.cluster0Start = 0xFFFFFFFFull;
    c.header.activeParameters.mftMirrorStart = 1ull << 40;
    c.header.sectorRangeStart = (1ull << 32) + 2048;
    const auto decoded = decodeSession(encodeSession(c));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header.volumeParameters.mftStart, 0xFFFFFFFFu);
    EXPECT_EQ(decoded->header.activeParameters.cluster0Start, 0xFFFFFFFFu);
    EXPECT_EQ(decoded->header.activeParameters.mftMirrorStart, 0xFFFFFFFFu);
    EXPECT_EQ(decoded->header.activeParameters.mftStart, 0x15u + 8) << "the fields around stay";
    EXPECT_EQ(decoded->header.sectorRangeStart, (1ull << 32) + 2048) << "the range is 64-bit";
    // Everything else is byte for byte what it was.
    c.header.volumeParameters.mftStart = 0xFFFFFFFFu;
    c.header.activeParameters.mftMirrorStart = 0xFFFFFFFFu;
    EXPECT_EQ(encodeSession(*decoded), encodeSession(c));
}

TEST(SessionLog, FileSectorsAreTheDisksOwnSectors) {
    records::FolderNodeList nodes;
    records::ItemStore items;
    records::Item a;
    a.sector = 2048 + 32;  // a 4096-byte record at 4096-byte sector 260
    a.record = 64;
    a.parent = 5;
    items.add(a, "a");
    a.sector = 8ull << 32;  // 4096-byte sector 2^32: past the signed field
    a.record = 65;
    items.add(a, "b");
    SessionHeader h;
    h.activeFileSystemName = "NTFS";
    const SessionContent c = captureSession(h, nodes, items, 8);
    ASSERT_EQ(c.files.size(), 2u);
    EXPECT_EQ(c.files[0].sector, 260u);
    EXPECT_EQ(c.files[1].sector, 2147483647u);
    records::RecordTable folders = records::makeFolderTable();
    records::ItemStore back;
    util::NullProgress progress;
    refillTables(c, folders, back, progress, 8);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].sector, 2048u + 32);
    EXPECT_EQ(back[1].sector, 2147483647u) << "a saturated sector stays as read";
}

TEST(SessionRefill, NamesReadAsUtf8OrLatin1AndStreamsFollowTheirFile) {
    SessionContent c = smallNtfsSession();
    c.files.clear();
    SessionFile f;
    f.self = 40;
    f.name = "\xD0\x96.txt";  // UTF-8
    c.files.push_back(f);
    f.name = "\xD0\x96.txt:Zone.Identifier";
    c.files.push_back(f);
    f.self = 41;
    f.name = "caf\xE9";  // an 8-bit name of an older log
    c.files.push_back(f);
    records::RecordTable folders = records::makeFolderTable();
    records::ItemStore items;
    util::NullProgress progress;
    refillTables(c, folders, items, progress);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items.name(0), "\xD0\x96.txt");
    EXPECT_TRUE(items[1].isStream());
    EXPECT_EQ(items.streamName(1), "Zone.Identifier");
    EXPECT_EQ(items.baseName(1), "\xD0\x96.txt");
    EXPECT_EQ(items.name(2), "caf\xC3\xA9");
}

// ---- Tables and tree ----------------------------------------------------------

void addFolder(records::RecordTable& t, const std::string& name, std::uint32_t self, std::uint32_t parent,
               std::int64_t date, bool deleted = false) {
    const int row = t.appendRow(name);
    t.setU32(row, records::kSelf, self);
    t.setU32(row, records::kParent, parent);
    t.setI64(row, records::kDate, date);
    t.setCell(row, records::kTime, "7");
    t.setCell(row, records::kType, "FOLDER");
    if (deleted) t.setCell(row, records::kDeleted, "1");
}

std::string treeShape(const records::FolderNodeList& nodes) {
    std::string out;
    for (const records::FolderNode& n : nodes.nodes()) {
        out += n.name + "/" + std::to_string(n.selfId) + "/" + std::to_string(n.parentId) + "/" +
               std::to_string(n.dateValue) + "/" + std::to_string(n.timeValue) + (n.deleted ? "/D" : "") + " <" +
               nodes.item(nodes.item(n.treeItem).parent).text + ">;";
    }
    return out;
}

std::string roundTripShape(records::VolumeKind kind, const char* fsName, records::RecordTable table) {
    records::FolderNodeList first;
    util::NullProgress progress;
    table.sortByColumn(records::kParent);
    records::BuildFolderTree(kind, table, first, progress);
    SessionHeader h;
    h.activeFileSystemName = fsName;
    const auto decoded = decodeSession(encodeSession(captureSession(h, first, records::ItemStore{})));
    EXPECT_TRUE(decoded.has_value());
    if (!decoded) return {};
    records::RecordTable folders = records::makeFolderTable();
    records::ItemStore files;
    refillTables(*decoded, folders, files, progress);
    for (int r = 1; r < folders.rowCount(); ++r)
        EXPECT_LE(records::compareCells(folders.cell(r - 1, records::kParent), folders.cell(r, records::kParent)), 0);
    records::FolderNodeList second;
    records::BuildFolderTree(kind, folders, second, progress);
    EXPECT_EQ(treeShape(first), treeShape(second));
    return treeShape(second);
}

TEST(SessionRefill, NtfsTreeComesBackInTheSameOrder) {
    records::RecordTable t = records::makeFolderTable();
    addFolder(t, records::kMiscFolderName, records::kMiscFolderId, records::kMiscFolderId, 0);
    addFolder(t, "b", 40, 5, 11);
    addFolder(t, "a", 41, 5, 12, true);
    addFolder(t, "c", 42, 5, 13);
    for (std::uint32_t i = 0; i < 30; ++i) addFolder(t, "x" + std::to_string(i), 100 + i, 40 + i % 3, i);
    addFolder(t, "lost", 500, records::kMiscFolderId, 1);
    addFolder(t, "big", 123456789, 41, 2);
    addFolder(t, "under-big", 600, 123456789, 3);
    const std::string shape = roundTripShape(records::VolumeKind::Ntfs, "NTFS", std::move(t));
    EXPECT_NE(shape.find("a/41/5/12/7/D <Root>"), std::string::npos);
    EXPECT_NE(shape.find("under-big/600/123456789"), std::string::npos);
}

TEST(SessionRefill, FatTreeComesBackInTheSameOrder) {
    records::RecordTable t = records::makeFolderTable();
    addFolder(t, records::kMiscFolderName, records::kMiscFolderId, 0, 0);
    for (std::uint32_t i = 0; i < 12; ++i) addFolder(t, "R" + std::to_string(i), 3 + i, 0, 0x3A21);
    for (std::uint32_t i = 0; i < 40; ++i) addFolder(t, "S" + std::to_string(i), 50 + i, 3 + (i * 7) % 12, i, i % 5 == 0);
    addFolder(t, "", 900, 50, 0);
    addFolder(t, "orphan", 901, records::kMiscFolderId, 0);
    roundTripShape(records::VolumeKind::Fat32, "FAT32", std::move(t));
}

TEST(SessionRefill, FileRowsAndDeletedFoldersAreRestored) {
    SessionContent c = smallNtfsSession();
    records::RecordTable folders = records::makeFolderTable();
    records::ItemStore files;
    util::NullProgress progress;
    refillTables(c, folders, files, progress);
    ASSERT_EQ(folders.rowCount(), 1);
    EXPECT_EQ(folders.cell(0, records::kDeleted), "1");
    EXPECT_EQ(folders.cell(0, records::kSelf), "268435455");
    EXPECT_EQ(folders.cell(0, records::kDate), "258");
    EXPECT_EQ(folders.cell(0, records::kSize), "0");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.name(0), "f");
    EXPECT_EQ(files[0].sector, 16u);
    EXPECT_EQ(files[0].fileNameTimes.created, -1);
    EXPECT_EQ(files[0].size, 7u);
    EXPECT_FALSE(files[0].isFolder());
    EXPECT_TRUE(files[0].deleted());
}

// ---- Files --------------------------------------------------------------------

std::filesystem::path tempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("qvx_session_" + std::to_string(::getpid()) + "_" + name);
}

TEST(SessionFile, LogExtensionAddedOnlyWhenMissing) {
    EXPECT_EQ(withLogExtension("run"), "run.LGX");
    EXPECT_EQ(withLogExtension("dir/Run.lgx"), "dir/Run.lgx");
    EXPECT_EQ(withLogExtension("a.LGX"), "a.LGX");
    EXPECT_EQ(withLogExtension("a.LG"), "a.LG.LGX");
    EXPECT_EQ(withLogExtension(""), ".LGX");
}

TEST(SessionFile, WriteThenReadKeepsBytesAndPathCase) {
    const auto path = tempPath("MixedCase.lgx");
    const Bytes bytes = smallNtfsBytes();
    std::string error;
    ASSERT_TRUE(writeSessionFile(path.string(), bytes, error)) << error;
    Bytes back;
    ASSERT_TRUE(readSessionFile(path.string(), back, error)) << error;
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(readSessionFile(path.string(), back, error, bytes.size() - 1));
    EXPECT_TRUE(back.empty());
    std::filesystem::remove(path);
}

TEST(SessionFile, OpenFailureNamesTheCause) {
    std::string error;
    EXPECT_FALSE(writeSessionFile((tempPath("no-such-dir") / "x.LGX").string(), smallNtfsBytes(), error));
    EXPECT_NE(error.find("Unable to open file"), std::string::npos);
    EXPECT_NE(error.find("No such file"), std::string::npos);
}

TEST(SessionFile, FailedWriteIsReportedAndThePartialFileRemoved) {
    // A file-size limit makes the write fail part way, as a full disk would.
    const auto path = tempPath("full.LGX");
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool ok = writeSessionFile(path.string(), Bytes(5000, 0xAB), error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("Unable to write"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SessionFile, FailedSaveKeepsThePreviousLog) {
    const auto path = tempPath("previous.LGX");
    const Bytes earlier = smallNtfsBytes();
    std::string error;
    ASSERT_TRUE(writeSessionFile(path.string(), earlier, error)) << error;
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = writeSessionFile(path.string(), Bytes(5000, 0xAB), error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    Bytes back;
    ASSERT_TRUE(readSessionFile(path.string(), back, error)) << error;
    EXPECT_EQ(back, earlier);
    // Nothing but the log is left in its folder from this save.
    for (const auto& e : std::filesystem::directory_iterator(path.parent_path()))
        EXPECT_EQ(e.path().filename().string().find(".previous.LGX."), std::string::npos) << e.path();
    std::filesystem::remove(path);
}

TEST(SessionFile, SaveReplacesAHardLinkInsteadOfWritingThroughIt) {
    const auto outside = tempPath("outside.bin");
    const auto path = tempPath("linked.LGX");
    { std::ofstream(outside) << "precious"; }
    std::filesystem::remove(path);
    std::filesystem::create_hard_link(outside, path);
    std::string error;
    ASSERT_TRUE(writeSessionFile(path.string(), smallNtfsBytes(), error)) << error;
    std::ifstream in(outside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    std::filesystem::remove(outside);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace qvx::session
