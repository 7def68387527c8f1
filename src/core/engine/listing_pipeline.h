#pragma once
// Writing an NTFS listing of a large volume is mostly making its rows: each
// file item decoded, its name, times and numbers turned into text. The tree
// is walked on the caller's thread, which hands the rows over in batches; a
// second thread formats every other batch while the caller formats the
// next, and the texts are written in the tree's order. The output is the
// same, byte for byte, as the writer's own row by row.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_listing.h"
#include "engine/listing_output.h"
#include "engine/recovery_state.h"
#include "records/file_list.h"

namespace qvx::engine {

class ListingPipeline {
public:
    /// Rows for writer (which must format apart) of state's NTFS tree: its
    /// items and run tables are only read while the pipeline runs, and the
    /// writer's volume's jsonExtra may be called from both threads.
    ListingPipeline(ListingWriter& writer, const RecoveryState& state, const ListingOptions& options);
    ~ListingPipeline();
    ListingPipeline(const ListingPipeline&) = delete;
    ListingPipeline& operator=(const ListingPipeline&) = delete;

    /// Whether rows of this writer on this state may be formatted apart.
    static bool usable(const ListingWriter& writer, const RecoveryState& state);

    /// A row made by the caller (a folder's), copied, at its path.
    void row(const std::string& path, const records::FileListRow& row, bool insideDeleted);
    /// The row of later's k-th file (as laterFileRow makes it), made where it
    /// is formatted, at prefix + its name.
    void item(const std::string& prefix, const LaterFiles& later, std::size_t k, bool insideDeleted);
    /// Writes everything handed over; the writer may then end.
    void finish();

private:
    static constexpr std::uint32_t kNoRow = 0xFFFFFFFFu;
    struct Task {
        std::size_t item = 0;
        std::uint32_t prefix = 0;
        std::uint32_t row = kNoRow;  // else a copied row: rows[row] at paths[row]
        bool markDeleted = false;    // the item's folder is deleted
        bool insideDeleted = false;
    };
    struct Batch {
        std::vector<Task> tasks;
        std::vector<std::string> prefixes;
        std::size_t prefixCount = 0;
        std::vector<records::FileListRow> rows;
        std::vector<std::string> paths;
        std::size_t rowCount = 0;
        std::string text;
        bool done = false;
        void clear();
    };
    void format(Batch& batch, records::FileListRow& scratch, std::string& path) const;
    void dispatch();
    void writeDone(bool all);
    void work();
    std::unique_ptr<Batch> freshBatch();

    ListingWriter& m_writer;
    const RecoveryState& m_state;
    ListingOptions m_options;
    std::unique_ptr<Batch> m_filling;
    std::deque<std::unique_ptr<Batch>> m_order;  // handed over, in the tree's order
    std::vector<std::unique_ptr<Batch>> m_spare;
    records::FileListRow m_scratch;
    std::string m_path;

    std::mutex m_lock;
    std::condition_variable m_changed;
    Batch* m_workerBatch = nullptr;  // the batch the second thread formats
    std::exception_ptr m_failure;
    bool m_finished = false;
    std::thread m_worker;  // joined by the destructor
};

}  // namespace qvx::engine
