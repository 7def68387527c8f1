#include "engine/listing_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/file_listing.h"
#include "engine/listing_output.h"

namespace qvx::engine {
namespace {

constexpr std::int64_t kNoon = 127'225'296'000'000'000LL;  // 2004-02-29 12:00:00 UTC
constexpr std::int64_t kSecond = 10'000'000;

// An NTFS tree of a few thousand files in folders of 37, every seventh file
// deleted and each folder followed by the rows of its files, written once
// row by row and once through the pipeline: the texts are the same.
class ListingPipelineTest : public ::testing::Test {
protected:
    static constexpr std::size_t kFolders = 90;
    static constexpr std::size_t kFilesPerFolder = 37;

    void SetUp() override {
        state.ActiveVolume.fileSystemName = "NTFS";
        for (std::size_t f = 0; f < kFolders; ++f) {
            LaterFiles later;
            later.insideDeleted = f % 11 == 5;
            for (std::size_t k = 0; k < kFilesPerFolder; ++k) {
                records::Item it;
                it.record = 100 + state.items.size();
                it.parent = 1000 + f;
                it.size = 17 * k + f;
                it.sector = 4000 + it.record * 2;
                it.times = {kNoon + static_cast<std::int64_t>(k) * kSecond, kNoon, kNoon, kNoon};
                if (k % 7 == 3) it.flags |= records::kItemDeleted;
                later.items.push_back(static_cast<std::uint32_t>(state.items.size()));
                state.items.add(it, "file " + std::to_string(f) + "-" + std::to_string(k) + ".txt");
            }
            folders.push_back(later);
        }
    }

    records::FileListRow folderRow(std::size_t f) const {
        records::FileListRow row;
        row.isFolder = true;
        row.cells[records::kListName] = "Folder " + std::to_string(f);
        row.selfId = static_cast<std::uint32_t>(1000 + f);
        row.parentId = 5;
        return row;
    }

    // The walk as the command line's listing does it.
    template <class Folder, class File>
    void walk(Folder folder, File file) const {
        for (std::size_t f = 0; f < kFolders; ++f) {
            const bool insideDeleted = folders[f].insideDeleted;
            folder("Folder " + std::to_string(f), folderRow(f), false);
            for (std::size_t k = 0; k < folders[f].items.size(); ++k)
                file("Folder " + std::to_string(f) + "/", folders[f], k, insideDeleted);
        }
    }

    void feed(ListingPipeline& pipeline) const {
        walk([&](const std::string& path, const records::FileListRow& row,
                 bool insideDeleted) { pipeline.row(path, row, insideDeleted); },
             [&](const std::string& prefix, const LaterFiles& later, std::size_t k, bool insideDeleted) {
                 pipeline.item(prefix, later, k, insideDeleted);
             });
    }

    std::string rowByRow(ListingFormat format, const ListingVolume& volume) const {
        std::ostringstream out;
        auto writer = makeListingWriter(format, out, volume);
        writer->begin();
        ListingOptions options;
        options.shownCells = false;
        walk([&](const std::string& path, const records::FileListRow& row,
                 bool insideDeleted) { writer->row(path, row, insideDeleted); },
             [&](const std::string& prefix, const LaterFiles& later, std::size_t k, bool insideDeleted) {
                 const records::FileListRow row = laterFileRow(state, later, k, options);
                 writer->row(prefix + row.cells[records::kListName], row, insideDeleted);
             });
        writer->end();
        return out.str();
    }

    std::string pipelined(ListingFormat format, const ListingVolume& volume) const {
        std::ostringstream out;
        auto writer = makeListingWriter(format, out, volume);
        EXPECT_TRUE(ListingPipeline::usable(*writer, state));
        writer->begin();
        ListingOptions options;
        options.shownCells = false;
        ListingPipeline pipeline(*writer, state, options);
        feed(pipeline);
        pipeline.finish();
        writer->end();
        return out.str();
    }

    ListingVolume volumeWithExtra() {
        ListingVolume volume;
        volume.kind = records::VolumeKind::Ntfs;
        volume.items = &state.items;
        const std::thread::id caller = std::this_thread::get_id();
        volume.jsonExtra = [this, caller](std::string& out, const records::FileListRow& row, bool insideDeleted) {
            if (std::this_thread::get_id() != caller) ++elsewhere;
            out += ",\"x\":\"";
            out += insideDeleted ? "inside" : row.deleted ? "gone" : "live";
            out += '"';
        };
        return volume;
    }

    RecoveryState state;
    std::vector<LaterFiles> folders;
    std::atomic<int> elsewhere{0};
};

TEST_F(ListingPipelineTest, EveryFormatWritesWhatTheWriterWritesRowByRow) {
    const ListingVolume volume = volumeWithExtra();
    for (const ListingFormat format : {ListingFormat::Json, ListingFormat::Csv, ListingFormat::Bodyfile}) {
        const std::string expected = rowByRow(format, volume);
        ASSERT_GT(expected.size(), std::size_t{100'000});
        EXPECT_EQ(pipelined(format, volume), expected) << static_cast<int>(format);
    }
    // The first batch handed over always goes to the second thread.
    EXPECT_GT(elsewhere.load(), 0);
}

TEST_F(ListingPipelineTest, OnlyNtfsListingsOfWritersThatFormatApartUseIt) {
    ListingVolume volume = volumeWithExtra();
    std::ostringstream out;
    EXPECT_TRUE(ListingPipeline::usable(*makeListingWriter(ListingFormat::Json, out, volume), state));
    volume.kind = records::VolumeKind::Fat32;
    // A FAT body file asks the volume for each folder's chain.
    EXPECT_FALSE(makeListingWriter(ListingFormat::Bodyfile, out, volume)->formatsApart());
    state.ActiveVolume.fileSystemName = "FAT32";
    EXPECT_FALSE(ListingPipeline::usable(*makeListingWriter(ListingFormat::Json, out, volume), state));
}

TEST_F(ListingPipelineTest, AFailureWhileFormattingReachesTheCallerAndNothingHangs) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Ntfs;
    volume.items = &state.items;
    std::atomic<int> rows{0};
    volume.jsonExtra = [&rows](std::string&, const records::FileListRow&, bool) {
        if (++rows == 700) throw std::runtime_error("no room");
    };
    std::ostringstream out;
    auto writer = makeListingWriter(ListingFormat::Json, out, volume);
    ListingOptions options;
    options.shownCells = false;
    EXPECT_THROW(
        {
            ListingPipeline pipeline(*writer, state, options);
            feed(pipeline);
            pipeline.finish();
        },
        std::runtime_error);
    // A pipeline left before its end (the caller stopped, or failed) stops
    // its thread and writes nothing more.
    const std::size_t written = out.str().size();
    {
        ListingPipeline pipeline(*writer, state, options);
        pipeline.item("a/", folders[0], 0, false);
    }
    EXPECT_EQ(out.str().size(), written);
}

}  // namespace
}  // namespace qvx::engine
