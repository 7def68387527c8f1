// The session-log loader: a whole log decoded from memory, the tables
// refilled from it, and the decoded content encoded and decoded once more.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "records/tables.h"
#include "session/session_log.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string whyNot;
    const std::optional<qvx::session::SessionContent> content =
        qvx::session::decodeSession(std::span<const std::uint8_t>(data, size), &whyNot);
    if (!content) return 0;
    qvx::records::RecordTables tables;
    qvx::util::NullProgress progress;
    qvx::records::ItemStore items;
    qvx::session::refillTables(*content, tables.FolderTable, items, progress);
    // What was decoded must encode to a log that decodes again.
    if (!qvx::session::decodeSession(qvx::session::encodeSession(*content))) __builtin_trap();
    return 0;
}
