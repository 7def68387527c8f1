// qvx disks: the disk list with the details of each disk.

#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/source.h"
#include "disk/inventory.h"
#include "engine/disk_inventory.h"

namespace qvx::cli {

namespace {

struct DisksOptions {
    std::vector<std::string> images;
    bool json = false;
};

void runDisks(const DisksOptions& opt, CliContext& ctx) {
    engine::Inventory inv = engine::RefreshDisks(opt.images);
    if (!inv.storeWarning.empty()) warnOnce(inv.storeWarning);
    for (const auto& e : inv.errors) std::cerr << "qvx: " << e << '\n';
    if (!inv.errors.empty()) ctx.exitCode = kExitUsage;
    for (const auto& d : disk::sortedByNodeText(inv.disks)) {
        const disk::DiskDetails details = disk::describeDisk(d);
        if (opt.json) {
            nlohmann::ordered_json rows = nlohmann::ordered_json::array();
            for (const auto& [label, value] : details.rows) rows.push_back({label, value});
            nlohmann::ordered_json j = {{"index", d.Index},
                                {"node", disk::diskNodeText(d)},
                                {"device", disk::PhysicalDriveNames[static_cast<std::size_t>(d.Index)]},
                                {"path", d.path},
                                {"image", d.isImage},
                                {"model", d.Model},
                                {"total_sectors", d.TotalSectors},
                                {"capacity_mb", details.capacityMb},
                                {"details", rows}};
            if (!d.containerType.empty()) {
                j["container"] = d.containerType;
                j["container_files"] = d.containerFiles;
                j["logical_sector_size"] = d.logicalSectorSize;
                nlohmann::ordered_json notes = nlohmann::ordered_json::array();
                for (const auto& [label, value] : d.acquisitionNotes) notes.push_back({label, value});
                j["acquisition_notes"] = notes;
                j["stored_md5"] = d.storedMd5;
                j["stored_sha1"] = d.storedSha1;
            }
            std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        } else {
            std::cout << disk::diskNodeText(d) << "  " << d.path << '\n';
            for (const auto& [label, value] : details.rows) std::cout << "    " << label << ' ' << value << '\n';
            for (const auto& [label, value] : details.containerRows)
                std::cout << "    " << label << ' ' << value << '\n';
        }
    }
}

}  // namespace

void registerDisksCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<DisksOptions>();
    CLI::App* cmd = app.add_subcommand("disks", "List the disks (block devices, and image files named with --image)");
    cmd->add_option("--image", opt->images, "Disk-image file to list as a disk (repeatable)");
    cmd->add_flag("--json", opt->json, "One JSON object per disk");
    cmd->callback([opt, &ctx] { runDisks(*opt, ctx); });
}

}  // namespace qvx::cli
