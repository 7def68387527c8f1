// Hostile destinations: FIFOs, symbolic links, hard links to files outside
// the destination and earlier reports are never opened for writing or
// truncated; overwriting replaces a file by renaming a new one over it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "recover/destination_writer.h"
#include "recover/report_file.h"

namespace {

using namespace qvx::recover;
namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

class HostileDestTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() /
               ("qvx-writer-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        dest = base / "dest";
        outside = base / "outside";
        fs::create_directories(dest);
        fs::create_directories(outside);
    }
    void TearDown() override { fs::remove_all(base); }

    void writeAll(int fd, const std::string& text) {
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    fs::path base, dest, outside;
    SourceIdentity source = SourceIdentity::forDevices({});
};

TEST_F(HostileDestTest, FifoIsAConflictNeverOpened) {
    ASSERT_EQ(::mkfifo((dest / "a.txt").c_str(), 0666), 0);
    for (ConflictPolicy policy : {ConflictPolicy::Rename, ConflictPolicy::Overwrite}) {
        DestinationWriter w(dest.string(), source, policy);
        int fd = -1;
        std::string rel, error;
        bool renamed = false;
        ASSERT_EQ(w.openFile("", "a.txt", fd, rel, renamed, error), DestinationWriter::OpenResult::Opened) << error;
        EXPECT_NE(rel, "a.txt");
        EXPECT_TRUE(renamed);
        bool replaced = false;
        EXPECT_TRUE(w.closeFile(fd, true, replaced, error));
        fs::remove(dest / rel);
    }
    DestinationWriter skip(dest.string(), source, ConflictPolicy::Skip);
    int fd = -1;
    std::string rel, error;
    bool renamed = false;
    EXPECT_EQ(skip.openFile("", "a.txt", fd, rel, renamed, error), DestinationWriter::OpenResult::Skipped);
    EXPECT_TRUE(fs::is_fifo(dest / "a.txt"));
}

TEST_F(HostileDestTest, OverwriteNeverWritesThroughAHardLink) {
    spit(outside / "victim.txt", "precious");
    ASSERT_EQ(::link((outside / "victim.txt").c_str(), (dest / "a.txt").c_str()), 0);
    DestinationWriter w(dest.string(), source, ConflictPolicy::Overwrite);
    int fd = -1;
    std::string rel, error;
    bool renamed = false;
    ASSERT_EQ(w.openFile("", "a.txt", fd, rel, renamed, error), DestinationWriter::OpenResult::Opened) << error;
    EXPECT_EQ(rel, "a.txt");
    EXPECT_TRUE(w.isOverwriting(fd));
    writeAll(fd, "recovered");
    bool replaced = false;
    ASSERT_TRUE(w.closeFile(fd, true, replaced, error)) << error;
    EXPECT_TRUE(replaced);
    EXPECT_EQ(slurp(outside / "victim.txt"), "precious");
    EXPECT_EQ(slurp(dest / "a.txt"), "recovered");
    struct stat st {};
    ASSERT_EQ(::stat((dest / "a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    // No temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dest)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(HostileDestTest, FailedOverwriteKeepsTheEarlierFile) {
    spit(dest / "a.txt", "earlier");
    DestinationWriter w(dest.string(), source, ConflictPolicy::Overwrite);
    int fd = -1;
    std::string rel, error;
    bool renamed = false;
    ASSERT_EQ(w.openFile("", "a.txt", fd, rel, renamed, error), DestinationWriter::OpenResult::Opened);
    writeAll(fd, "half");
    bool replaced = true;
    EXPECT_TRUE(w.closeFile(fd, false, replaced, error));
    EXPECT_FALSE(replaced);
    EXPECT_EQ(slurp(dest / "a.txt"), "earlier");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dest)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(HostileDestTest, SymlinkIsNeverFollowed) {
    spit(outside / "victim.txt", "precious");
    fs::create_symlink(outside / "victim.txt", dest / "a.txt");
    DestinationWriter w(dest.string(), source, ConflictPolicy::Overwrite);
    int fd = -1;
    std::string rel, error;
    bool renamed = false;
    ASSERT_EQ(w.openFile("", "a.txt", fd, rel, renamed, error), DestinationWriter::OpenResult::Opened);
    EXPECT_NE(rel, "a.txt");
    writeAll(fd, "recovered");
    bool replaced = false;
    EXPECT_TRUE(w.closeFile(fd, true, replaced, error));
    EXPECT_EQ(slurp(outside / "victim.txt"), "precious");
    EXPECT_TRUE(fs::is_symlink(dest / "a.txt"));
}

TEST_F(HostileDestTest, ReportNeverReusesAnExistingFile) {
    spit(outside / "victim.txt", "precious");
    ASSERT_EQ(::link((outside / "victim.txt").c_str(), (dest / "recovery-report.json").c_str()), 0);
    ASSERT_EQ(::mkfifo((dest / "recovery-report-2.json").c_str(), 0666), 0);
    DestinationWriter w(dest.string(), source, ConflictPolicy::Overwrite);
    ReportFile report;
    std::string error;
    ASSERT_TRUE(report.create(w, "recovery-report.json", error)) << error;
    EXPECT_EQ(report.relativePath(), "recovery-report-3.json");
    // A recovered file of the report's name does not replace it.
    int fd = -1;
    std::string rel;
    bool renamed = false;
    ASSERT_EQ(w.openFile("", "recovery-report-3.json", fd, rel, renamed, error), DestinationWriter::OpenResult::Opened);
    EXPECT_NE(rel, "recovery-report-3.json");
    bool replaced = false;
    EXPECT_TRUE(w.closeFile(fd, true, replaced, error));
    RecoveryReport r;
    EXPECT_TRUE(report.complete(r, "done", error)) << error;
    EXPECT_EQ(slurp(outside / "victim.txt"), "precious");
    EXPECT_NE(slurp(dest / "recovery-report-3.json").find("\"state\": \"done\""), std::string::npos);
}

/// Counts top-level rows in the "files" array by their "path" keys.
int rows(const std::string& doc) {
    int n = 0;
    for (std::size_t at = doc.find("\"path\""); at != std::string::npos; at = doc.find("\"path\"", at + 1)) ++n;
    return n;
}

TEST_F(HostileDestTest, ReportIsWholeWhileTheRunGoesOn) {
    DestinationWriter w(dest.string(), source, ConflictPolicy::Rename);
    ReportFile file;
    std::string error;
    ASSERT_TRUE(file.create(w, "recovery-report.json", error));
    const fs::path path = dest / "recovery-report.json";
    RecoveryReport report;
    ReportEntry a;
    a.path = "Docs/A_very_long_name_of_a_file_that_is_in_progress.txt";
    a.size = 123456789;
    file.inProgress(a, report);
    std::string doc = slurp(path);
    EXPECT_NE(doc.find("\"status\":\"stopped\""), std::string::npos);
    EXPECT_NE(doc.find("\"state\": \"running\""), std::string::npos);
    EXPECT_NE(doc.find("\"rows\": 1"), std::string::npos);
    ReportEntry done;
    done.path = "B";
    done.bytesWritten = 5;
    report.add(done);
    file.finished(report);
    doc = slurp(path);
    EXPECT_EQ(rows(doc), 1);
    EXPECT_EQ(doc.find("stopped"), std::string::npos);
    // The document ends in the closing brace and trailing blanks only.
    const std::size_t close = doc.rfind('}');
    ASSERT_NE(close, std::string::npos);
    EXPECT_EQ(doc.find_first_not_of(" \n", close + 1), std::string::npos);
    EXPECT_EQ(doc.find("  ]"), doc.rfind("  ]"));
    ASSERT_TRUE(file.complete(report, "stopped", error));
    doc = slurp(path);
    EXPECT_EQ(doc, report.toJson("stopped"));
}

}  // namespace
