#pragma once
// A small record of the disks found, kept outside the program under the
// user's configuration folder and rebuilt at every refresh. Keys and values
// are those of the record the original desktop build kept; nothing reads
// them back.

#include <map>
#include <string>
#include <vector>

#include "disk/inventory.h"

namespace qvx::disk {

class RegistryStore {
public:
    /// Store file under configDir (normally $XDG_CONFIG_HOME/qvx or ~/.config/qvx).
    explicit RegistryStore(std::string configDir);

    /// The default configuration folder of the user.
    static std::string defaultConfigDir();

    /// Deletes the record and writes it anew for the disks: under
    /// "KWTLGX_param_E" a value "DiskN" = "DiskN" per disk, and an empty
    /// "DiskN" under each of the six sub-keys. False with a reason if the
    /// store cannot be written.
    bool rebuild(const std::vector<DiskInfo>& disks, std::string& error);

    /// Key -> (value name -> data), as last written.
    const std::map<std::string, std::map<std::string, std::string>>& keys() const { return m_keys; }
    std::string filePath() const;

private:
    std::string m_dir;
    std::map<std::string, std::map<std::string, std::string>> m_keys;
};

}  // namespace qvx::disk
