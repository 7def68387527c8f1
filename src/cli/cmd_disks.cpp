// qvx disks: the disk list with the details of each disk.

#include <algorithm>
#include <array>
#include <charconv>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/source.h"
#include "disk/inventory.h"
#include "engine/disk_inventory.h"

namespace qvx::cli {

namespace {

// JSON names of the fourteen detail rows, in row order; the numeric ones
// are written as numbers.
constexpr std::array<const char*, 14> kDetailKeys = {
    "model",         "media_type",        "interface_type", "capacity",      "cylinders",
    "heads",         "sectors",           "bytes_per_sector", "sectors_per_track", "firmware_revision",
    "pnp_device_id", "serial_number",     "system_name",    "physical_device_id"};

bool numericKey(const std::string& key) {
    return key == "cylinders" || key == "heads" || key == "sectors" || key == "bytes_per_sector" ||
           key == "sectors_per_track";
}

/// The detail rows as an object keyed by field name.
nlohmann::ordered_json detailsObject(const disk::DiskDetails& details) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < details.rows.size(); ++i) {
        const auto& [label, value] = details.rows[i];
        const std::string key = i < kDetailKeys.size() ? kDetailKeys[i] : label;
        std::uint64_t number = 0;
        const auto r = std::from_chars(value.data(), value.data() + value.size(), number);
        if (numericKey(key) && r.ec == std::errc() && r.ptr == value.data() + value.size() && !value.empty())
            out[key] = number;
        else
            out[key] = value;
    }
    return out;
}

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
            nlohmann::ordered_json j = {{"index", d.Index},
                                {"node", disk::diskNodeText(d)},
                                {"device", disk::PhysicalDriveNames[static_cast<std::size_t>(d.Index)]},
                                {"path", d.path},
                                {"image", d.isImage},
                                {"model", d.Model},
                                {"total_sectors", d.TotalSectors / std::max<std::uint32_t>(1, d.logicalSectorSize / 512)},
                                {"capacity_mb", details.capacityMb},
                                {"details", detailsObject(details)}};
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
