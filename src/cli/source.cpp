#include "cli/source.h"

#include <iostream>
#include <mutex>
#include <set>

#include "cli/commands.h"

namespace qvx::cli {

void warnOnce(const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard lock(mutex);
    if (seen.insert(text).second) std::cerr << "qvx: warning: " << text << '\n';
}

bool openSource(const std::string& source, disk::SectorReader& reader, OpenedSource& out, std::string& error) {
    out.inventory = engine::RefreshDisks({});
    if (!out.inventory.storeWarning.empty()) warnOnce(out.inventory.storeWarning);
    out.diskIndex = engine::selectSource(source, out.inventory, error);
    if (out.diskIndex < 0) return false;
    engine::attachDisks(out.inventory, reader);
    if (!reader.open(out.diskIndex, error)) return false;
    out.details = disk::describeDisk(out.inventory.disks[static_cast<std::size_t>(out.diskIndex)]);
    return true;
}

}  // namespace qvx::cli
