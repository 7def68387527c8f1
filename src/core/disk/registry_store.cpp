#include "disk/registry_store.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qvx::disk {

namespace fs = std::filesystem;

namespace {
constexpr const char* kMainKey = "KWTLGX_param_E";
constexpr const char* kSubKeys[] = {"Cylinder", "Head", "MediaType", "Model", "SectorsPerTrack", "Size"};
}  // namespace

RegistryStore::RegistryStore(std::string configDir) : m_dir(std::move(configDir)) {}

std::string RegistryStore::defaultConfigDir() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return (fs::path(xdg) / "qvx").string();
    if (const char* home = std::getenv("HOME"); home && *home) return (fs::path(home) / ".config" / "qvx").string();
    return (fs::temp_directory_path() / "qvx").string();
}

std::string RegistryStore::filePath() const { return (fs::path(m_dir) / "registry.ini").string(); }

bool RegistryStore::rebuild(const std::vector<DiskInfo>& disks, std::string& error) {
    m_keys.clear();
    auto& main = m_keys[kMainKey];
    for (const auto& d : disks) {
        const std::string value = "Disk" + std::to_string(d.Index);
        main[value] = value;
        for (const char* sub : kSubKeys) m_keys[std::string(kMainKey) + "\\" + sub][value] = "";
    }

    std::error_code ec;
    fs::create_directories(m_dir, ec);
    const std::string path = filePath();
    // Several qvx processes may list the disks at once: each writes its own
    // temporary file, so one rename never takes another's file away.
    static std::atomic<unsigned> counter{0};
    const std::string temp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out) {
            error = "cannot write " + path;
            return false;
        }
        for (const auto& [key, values] : m_keys) {
            out << '[' << key << "]\n";
            for (const auto& [name, data] : values) out << name << '=' << data << '\n';
        }
        out.flush();
        if (!out) {
            error = "cannot write " + path;
            return false;
        }
    }
    fs::rename(temp, path, ec);
    if (ec) {
        error = "cannot write " + path + ": " + ec.message();
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

}  // namespace qvx::disk
