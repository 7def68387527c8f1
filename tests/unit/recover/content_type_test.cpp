#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "recover/content_type.h"

namespace qvx::recover {
namespace {

TEST(ContentType, ExtensionOfNames) {
    EXPECT_EQ(extensionOf("photo.JPG"), "jpg");
    EXPECT_EQ(extensionOf("archive.tar.gz"), "gz");
    EXPECT_EQ(extensionOf("README"), "");
    EXPECT_EQ(extensionOf(".profile"), "");
    EXPECT_EQ(extensionOf("trailing."), "");
    EXPECT_EQ(extensionOf("file13.dll:here"), "");
    EXPECT_EQ(extensionOf("file.txt:pic.jpg"), "jpg");
    EXPECT_EQ(extensionOf("Docs/a.b/c"), "");
}

TEST(ContentType, AJpegUnderAnotherExtensionDisagrees) {
    EXPECT_FALSE(typeMismatch("file1.jpg", "image/jpeg"));
    EXPECT_FALSE(typeMismatch("FILE1.JPEG", "image/jpeg"));
    EXPECT_TRUE(typeMismatch("file12.doc", "image/jpeg"));
    EXPECT_TRUE(typeMismatch("file2.dat", "image/jpeg"));
    EXPECT_TRUE(typeMismatch("file7.hmm", "image/jpeg"));
    EXPECT_TRUE(typeMismatch("file9.boo", "application/zip"));
}

TEST(ContentType, SharedSignaturesAgreeWithEveryExtensionOfTheFamily) {
    EXPECT_FALSE(typeMismatch("report.doc", "application/x-ole-storage"));
    EXPECT_FALSE(typeMismatch("sheet.xls", "application/CDFV2"));
    EXPECT_FALSE(typeMismatch("report.docx", "application/zip"));
    EXPECT_FALSE(typeMismatch("tool.dll", "application/vnd.microsoft.portable-executable"));
    EXPECT_FALSE(typeMismatch("old.doc", "text/rtf"));
}

TEST(ContentType, UnrecognisedContentsOrNoExtensionNeverDisagree) {
    EXPECT_FALSE(typeMismatch("file4.jpg", "application/octet-stream"));
    EXPECT_FALSE(typeMismatch("empty.pdf", "inode/x-empty"));
    EXPECT_FALSE(typeMismatch("noext", "image/jpeg"));
    EXPECT_FALSE(typeMismatch("notes.txt", "text/plain"));
    EXPECT_FALSE(typeMismatch("page.htm", "text/html"));
    EXPECT_FALSE(typeMismatch("file.jpg", ""));
}

TEST(ContentType, TextUnderABinaryExtensionDisagrees) {
    EXPECT_TRUE(typeMismatch("file3.jpg", "text/plain"));
    EXPECT_TRUE(typeMismatch("invoice.pdf", "text/html"));
}

TEST(ContentType, TheDatabaseNamesTheFirstBytes) {
    ContentTyper typer;
    ASSERT_TRUE(typer.ready());
    std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01};
    jpeg.resize(512, 0);
    EXPECT_EQ(typer.typeOf(jpeg.data(), jpeg.size()), "image/jpeg");
    const std::vector<std::uint8_t> pdf = {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n'};
    EXPECT_EQ(typer.typeOf(pdf.data(), pdf.size()), "application/pdf");
    EXPECT_EQ(typer.typeOf(nullptr, 0), "");
}

}  // namespace
}  // namespace qvx::recover
