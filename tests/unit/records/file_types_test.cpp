#include "records/file_types.h"

#include <gtest/gtest.h>

namespace qvx::records {
namespace {

constexpr auto kChain = FileTypeVariant::FatClusterChain;
constexpr auto kRoot = FileTypeVariant::Fat16Root;
constexpr auto kNtfs = FileTypeVariant::Ntfs;

TEST(LookupFileType, ExactCaseSensitiveEndings) {
    EXPECT_EQ(LookupFileType("REPORT.DOC", kChain), "Microsoft Word File");
    EXPECT_EQ(LookupFileType("report.doc", kNtfs), "Microsoft Word File");
    EXPECT_EQ(LookupFileType("Report.Doc", kChain), "File");
    EXPECT_EQ(LookupFileType("README", kChain), "File");
    EXPECT_EQ(LookupFileType("notes.txt~", kChain), "File");
    EXPECT_EQ(LookupFileType("", kNtfs), "File");
}

TEST(LookupFileType, EndingsWithoutDotsAndLongerEndings) {
    EXPECT_EQ(LookupFileType("index.html", kChain), "Web file");
    EXPECT_EQ(LookupFileType("INDEX.HTML", kChain), "Web file");
    EXPECT_EQ(LookupFileType("page.xhtml", kChain), "Web file");
    EXPECT_EQ(LookupFileType("html", kChain), "Web file");  // equal to the ending
    EXPECT_EQ(LookupFileType("photo.JPEG", kChain), "Image File");
    EXPECT_EQ(LookupFileType("photo.jpeg", kChain), "Image File");
    EXPECT_EQ(LookupFileType("clip.rm", kChain), "Video File");
    EXPECT_EQ(LookupFileType("clip.RM", kChain), "Video File");
    EXPECT_EQ(LookupFileType("song.au", kChain), "Sound file");
    EXPECT_EQ(LookupFileType("radio.ra", kChain), "Sound file");
    EXPECT_EQ(LookupFileType("run.ws", kChain), "Scripting File");
}

TEST(LookupFileType, VariantsRenameTwoGroups) {
    EXPECT_EQ(LookupFileType("archive.zip", kChain), "Compressed File");
    EXPECT_EQ(LookupFileType("archive.zip", kRoot), "Winzip File");
    EXPECT_EQ(LookupFileType("archive.zip", kNtfs), "Winzip File");
    EXPECT_EQ(LookupFileType("settings.reg", kChain), "Windows Registry file");
    EXPECT_EQ(LookupFileType("settings.reg", kRoot), "Registry file");
    EXPECT_EQ(LookupFileType("settings.reg", kNtfs), "Registry file");
}

}  // namespace
}  // namespace qvx::records
