// The destination writer's path handling on arbitrary names: folder
// components and a file name cut from the input at 0x00 bytes (the last
// piece names the file, the first byte picks the conflict policy). Every
// folder and file must come out inside the destination root: no component
// may be empty, "." or "..", or hold '/' or NUL, and the file must exist at
// the relative path the writer reports. The tree is emptied every few
// hundred runs so the disk does not fill.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "recover/destination_writer.h"

namespace {

using namespace qvx::recover;

const std::string& root() {
    static const std::string path = [] {
        std::string p = (std::filesystem::temp_directory_path() / ("qvx-fuzz-dest-" + std::to_string(::getpid()))).string();
        std::filesystem::remove_all(p);
        std::filesystem::create_directories(p);
        return p;
    }();
    return path;
}

void checkRelative(const std::string& relative) {
    if (relative.empty()) return;
    if (relative.front() == '/') std::abort();
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        const std::string part = relative.substr(start, slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos || part.size() > 255)
            std::abort();
        start = slash + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int runs = 0;
    if (size == 0 || size > 4096) return 0;
    if (++runs % 256 == 0) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(root(), ec)) std::filesystem::remove_all(e.path(), ec);
    }
    const ConflictPolicy policy = data[0] % 3 == 0 ? ConflictPolicy::Rename
                                  : data[0] % 3 == 1 ? ConflictPolicy::Overwrite
                                                     : ConflictPolicy::Skip;
    std::vector<std::string> parts;
    std::string piece;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            parts.push_back(piece);
            piece.clear();
        } else {
            piece.push_back(static_cast<char>(data[i]));
        }
    }
    parts.push_back(piece);
    if (parts.size() > 64) parts.resize(64);
    const std::string name = parts.back();
    parts.pop_back();

    const SourceIdentity source = SourceIdentity::forDevices({});
    DestinationWriter writer(root(), source, policy);
    std::string error;
    if (!writer.prepareRoot(error)) return 0;
    std::string folder;
    if (!writer.folder(parts, folder, error)) return 0;
    checkRelative(folder);
    struct stat st {};
    if (::lstat((root() + (folder.empty() ? "" : "/" + folder)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) std::abort();
    int fd = -1;
    std::string relative;
    bool renamed = false;
    if (writer.openFile(folder, name, fd, relative, renamed, error) != DestinationWriter::OpenResult::Opened) return 0;
    checkRelative(relative);
    if (relative.compare(0, folder.size(), folder) != 0) std::abort();
    (void)!::write(fd, "x", 1);
    bool replaced = false;
    writer.closeFile(fd, true, replaced, error);
    if (::lstat((root() + "/" + relative).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) std::abort();
    return 0;
}
