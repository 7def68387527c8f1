#include "engine/listing_pipeline.h"

#include <utility>

namespace qvx::engine {

namespace {
// Rows per batch: some 400 KiB of JSON, large enough that handing a batch
// over costs nothing beside formatting it.
constexpr std::size_t kBatchTasks = 256;
// Batches formatted but not yet written (waiting for an earlier one): the
// caller waits for the second thread past this many.
constexpr std::size_t kMaxPending = 3;
}  // namespace

void ListingPipeline::Batch::clear() {
    tasks.clear();
    prefixCount = 0;
    rowCount = 0;
    text.clear();
    done = false;
}

bool ListingPipeline::usable(const ListingWriter& writer, const RecoveryState& state) {
    return writer.formatsApart() &&
           records::volumeKindFromName(state.ActiveVolume.fileSystemName) == records::VolumeKind::Ntfs;
}

ListingPipeline::ListingPipeline(ListingWriter& writer, const RecoveryState& state, const ListingOptions& options)
    : m_writer(writer), m_state(state), m_options(options) {
    m_filling = freshBatch();
    // Only what formatting a row needs is kept: it reads no index and no
    // reader of the caller's.
    m_options.index = nullptr;
    m_options.later = nullptr;
    m_options.reader = nullptr;
    m_worker = std::thread([this] { work(); });
}

ListingPipeline::~ListingPipeline() {
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_finished = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable()) m_worker.join();
}

std::unique_ptr<ListingPipeline::Batch> ListingPipeline::freshBatch() {
    if (m_spare.empty()) {
        auto batch = std::make_unique<Batch>();
        batch->tasks.reserve(kBatchTasks);
        return batch;
    }
    std::unique_ptr<Batch> batch = std::move(m_spare.back());
    m_spare.pop_back();
    batch->clear();
    return batch;
}

void ListingPipeline::row(const std::string& path, const records::FileListRow& row, bool insideDeleted) {
    Batch& b = *m_filling;
    if (b.rowCount == b.rows.size()) {
        b.rows.emplace_back();
        b.paths.emplace_back();
    }
    b.rows[b.rowCount] = row;
    b.paths[b.rowCount] = path;
    Task t;
    t.row = static_cast<std::uint32_t>(b.rowCount++);
    t.insideDeleted = insideDeleted;
    b.tasks.push_back(t);
    if (b.tasks.size() >= kBatchTasks) dispatch();
}

void ListingPipeline::item(const std::string& prefix, const LaterFiles& later, std::size_t k, bool insideDeleted) {
    Batch& b = *m_filling;
    // The files of one folder come one after another: their prefix is kept once.
    if (b.prefixCount == 0 || b.prefixes[b.prefixCount - 1] != prefix) {
        if (b.prefixCount == b.prefixes.size()) b.prefixes.emplace_back();
        b.prefixes[b.prefixCount++] = prefix;
    }
    Task t;
    t.item = later.items[k];
    t.prefix = static_cast<std::uint32_t>(b.prefixCount - 1);
    t.markDeleted = later.insideDeleted;
    t.insideDeleted = insideDeleted;
    b.tasks.push_back(t);
    if (b.tasks.size() >= kBatchTasks) dispatch();
}

void ListingPipeline::format(Batch& batch, records::FileListRow& scratch, std::string& path) const {
    for (const Task& t : batch.tasks) {
        if (t.row != kNoRow) {
            m_writer.formatRow(batch.text, batch.paths[t.row], batch.rows[t.row], t.insideDeleted);
            continue;
        }
        fillLaterFileRow(m_state, t.item, t.markDeleted, m_options, scratch);
        path.assign(batch.prefixes[t.prefix]);
        path += scratch.cells[records::kListName];
        m_writer.formatRow(batch.text, path, scratch, t.insideDeleted);
    }
}

void ListingPipeline::dispatch() {
    if (m_filling->tasks.empty()) return;
    Batch* batch = m_filling.get();
    m_order.push_back(std::move(m_filling));
    m_filling = freshBatch();
    bool handed = false;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (m_workerBatch == nullptr && !m_failure) {
            m_workerBatch = batch;
            handed = true;
        }
    }
    if (handed) {
        m_changed.notify_all();
    } else {
        // The second thread is busy with an earlier batch: this one is
        // formatted here meanwhile.
        format(*batch, m_scratch, m_path);
        const std::lock_guard<std::mutex> lock(m_lock);
        batch->done = true;
    }
    writeDone(false);
}

void ListingPipeline::writeDone(bool all) {
    while (!m_order.empty()) {
        Batch& front = *m_order.front();
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!front.done) {
                if (!all && m_order.size() <= kMaxPending) return;
                m_changed.wait(lock, [&front] { return front.done; });
            }
            if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
        }
        m_writer.write(front.text);
        m_spare.push_back(std::move(m_order.front()));
        m_order.pop_front();
    }
}

void ListingPipeline::finish() {
    dispatch();
    writeDone(true);
}

void ListingPipeline::work() {
    records::FileListRow scratch;
    std::string path;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_workerBatch != nullptr || m_finished; });
        Batch* batch = m_workerBatch;
        if (batch == nullptr) return;
        lock.unlock();
        std::exception_ptr failure;
        try {
            format(*batch, scratch, path);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) m_failure = failure;
        batch->done = true;
        m_workerBatch = nullptr;
        m_changed.notify_all();
    }
}

}  // namespace qvx::engine
