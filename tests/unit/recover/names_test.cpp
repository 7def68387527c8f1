// Destination names: UTF-16 and 8-bit names to UTF-8, names Linux cannot
// hold, numbered alternatives, and the writer's conflict policies.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "recover/destination_writer.h"
#include "recover/names.h"

namespace {

using namespace qvx::recover;
namespace fs = std::filesystem;

std::vector<std::uint8_t> utf16(std::initializer_list<std::uint16_t> units) {
    std::vector<std::uint8_t> out;
    for (auto u : units) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

TEST(Names, Utf16AndLatin1BecomeUtf8) {
    EXPECT_EQ(utf16ToUtf8(utf16({'C', 'a', 'f', 0xE9})), "Caf\xC3\xA9");
    EXPECT_EQ(utf16ToUtf8(utf16({0x0416, 0x20AC})), "\xD0\x96\xE2\x82\xAC");
    EXPECT_EQ(utf16ToUtf8(utf16({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf16ToUtf8(utf16({0xD83D, 'x'})), "\xEF\xBF\xBDx");  // unpaired surrogate
    EXPECT_EQ(utf16LowBytes(utf16({0x0416, 'a'})), std::string("\x16" "a"));
    EXPECT_EQ(latin1ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
}

TEST(Names, UncreatableNamesAreMadeCreatable) {
    EXPECT_EQ(sanitizeName(std::string("a/b\0c", 5)), "a_b_c");
    EXPECT_EQ(sanitizeName("."), "_.");
    EXPECT_EQ(sanitizeName(".."), "_..");
    EXPECT_EQ(sanitizeName(""), "_");
    EXPECT_EQ(sanitizeName("ok name?.txt"), "ok name?.txt");
    // Over-long: cut at a character boundary, extension kept.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 400 bytes
    longName += ".txt";
    const std::string cut = sanitizeName(longName);
    EXPECT_LE(cut.size(), kMaxNameBytes);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".txt");
    EXPECT_EQ((cut.size() - 4) % 2, 0u);
}

TEST(Names, NumberedAlternatives) {
    EXPECT_EQ(numberedName("report.doc", 1), "report (1).doc");
    EXPECT_EQ(numberedName(".profile", 2), ".profile (2)");
    EXPECT_EQ(numberedName("noext", 3), "noext (3)");
    EXPECT_LE(numberedName(std::string(255, 'x'), 12).size(), kMaxNameBytes);
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("qvx-writer-" + std::to_string(::getpid()));
        fs::remove_all(root);
        image = root.string() + "-image.img";
        std::ofstream(image) << "IMAGE";
    }
    void TearDown() override {
        fs::remove_all(root);
        fs::remove(image);
    }
    std::string write(DestinationWriter& w, const std::string& folder, const std::string& name, const std::string& text,
                      DestinationWriter::OpenResult expect = DestinationWriter::OpenResult::Opened) {
        int fd = -1;
        std::string rel, error;
        bool renamed = false;
        EXPECT_EQ(w.openFile(folder, name, fd, rel, renamed, error), expect) << error;
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            bool replaced = false;
            EXPECT_TRUE(w.closeFile(fd, true, replaced, error)) << error;
        }
        return rel;
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path root;
    std::string image;
};

TEST_F(WriterTest, RenameOverwriteAndSkip) {
    SourceIdentity source(image);
    std::string error, folder;
    DestinationWriter rename(root.string(), source, ConflictPolicy::Rename);
    ASSERT_TRUE(rename.prepareRoot(error));
    ASSERT_TRUE(rename.folder({"Docs", "a/b"}, folder, error)) << error;
    EXPECT_EQ(folder, "Docs/a_b");
    EXPECT_EQ(write(rename, folder, "x.txt", "one"), "Docs/a_b/x.txt");
    EXPECT_EQ(write(rename, folder, "x.txt", "two"), "Docs/a_b/x (1).txt");

    DestinationWriter overwrite(root.string(), source, ConflictPolicy::Overwrite);
    ASSERT_TRUE(overwrite.folder({"Docs", "a/b"}, folder, error));
    EXPECT_EQ(write(overwrite, folder, "x.txt", "new"), "Docs/a_b/x.txt");
    EXPECT_EQ(read(root / "Docs/a_b/x.txt"), "new");

    DestinationWriter skip(root.string(), source, ConflictPolicy::Skip);
    ASSERT_TRUE(skip.folder({"Docs", "a/b"}, folder, error));
    write(skip, folder, "x.txt", "never", DestinationWriter::OpenResult::Skipped);
    EXPECT_EQ(read(root / "Docs/a_b/x.txt"), "new");
}

TEST_F(WriterTest, FolderBlockedByAFileGetsAnotherName) {
    SourceIdentity source(image);
    std::string error, folder;
    DestinationWriter w(root.string(), source, ConflictPolicy::Rename);
    ASSERT_TRUE(w.prepareRoot(error));
    write(w, "", "Photos", "a file");
    ASSERT_TRUE(w.folder({"Photos"}, folder, error));
    EXPECT_EQ(folder, "Photos (1)");
    // The same listing folder maps to the same place every time.
    ASSERT_TRUE(w.folder({"Photos"}, folder, error));
    EXPECT_EQ(folder, "Photos (1)");
}

TEST_F(WriterTest, NeverOverwritesTheSourceImageOrFollowsLinks) {
    SourceIdentity source(image);
    std::string error;
    DestinationWriter w(root.string(), source, ConflictPolicy::Overwrite);
    ASSERT_TRUE(w.prepareRoot(error));
    fs::create_hard_link(image, root / "disk.img");
    write(w, "", "disk.img", "clobber", DestinationWriter::OpenResult::Failed);
    fs::create_symlink(image, root / "link.img");
    // A symbolic link is a conflict that is never opened: the copy gets
    // another name.
    EXPECT_EQ(write(w, "", "link.img", "clobber"), "link (1).img");
    EXPECT_EQ(read(image), "IMAGE");
    EXPECT_TRUE(source.isSourceFile(image));
    EXPECT_FALSE(checkDestination(image, source).allowed);
}

}  // namespace
