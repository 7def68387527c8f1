#include "disk/containers.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <vector>

#include "util/shared_library.h"

namespace qvx::disk {

namespace {

namespace fs = std::filesystem;

// Each format's library is opened when the first image of its format is:
// the functions below are pointers of the same names, which the calls in
// this file find before the libraries' own declarations.
#define QVX_EWF_FUNCTIONS(X)                                                                                        \
    X(libewf_error_backtrace_sprint) X(libewf_error_free) X(libewf_glob) X(libewf_glob_free)                       \
    X(libewf_handle_initialize) X(libewf_handle_open) X(libewf_handle_close) X(libewf_handle_free)                 \
    X(libewf_handle_read_random) X(libewf_handle_get_media_size) X(libewf_handle_get_bytes_per_sector)              \
    X(libewf_handle_get_number_of_header_values) X(libewf_handle_get_header_value_identifier)                       \
    X(libewf_handle_get_utf8_header_value) X(libewf_handle_get_utf8_hash_value)
#define QVX_VMDK_FUNCTIONS(X)                                                                                       \
    X(libvmdk_error_backtrace_sprint) X(libvmdk_error_free) X(libvmdk_handle_initialize) X(libvmdk_handle_open)    \
    X(libvmdk_handle_close) X(libvmdk_handle_free) X(libvmdk_handle_read_buffer_at_offset)                          \
    X(libvmdk_handle_get_media_size) X(libvmdk_handle_get_utf8_parent_filename_size)                                \
    X(libvmdk_handle_set_extent_data_files_path) X(libvmdk_handle_open_extent_data_files)                           \
    X(libvmdk_handle_get_number_of_extents) X(libvmdk_handle_get_extent_descriptor)                                 \
    X(libvmdk_extent_descriptor_get_utf8_filename) X(libvmdk_extent_descriptor_free)
#define QVX_VHDI_FUNCTIONS(X)                                                                                       \
    X(libvhdi_error_backtrace_sprint) X(libvhdi_error_free) X(libvhdi_file_initialize) X(libvhdi_file_open)        \
    X(libvhdi_file_close) X(libvhdi_file_free) X(libvhdi_file_read_buffer_at_offset) X(libvhdi_file_get_disk_type) \
    X(libvhdi_file_get_media_size) X(libvhdi_file_get_bytes_per_sector)
#define QVX_QCOW_FUNCTIONS(X)                                                                                       \
    X(libqcow_error_backtrace_sprint) X(libqcow_error_free) X(libqcow_file_initialize) X(libqcow_file_open)        \
    X(libqcow_file_close) X(libqcow_file_free) X(libqcow_file_read_buffer_at_offset) X(libqcow_file_get_media_size) \
    X(libqcow_file_get_utf8_backing_filename_size) X(libqcow_file_get_encryption_method) X(libqcow_file_get_format_version)
QVX_EWF_FUNCTIONS(QVX_DECLARE_LOADED)
QVX_VMDK_FUNCTIONS(QVX_DECLARE_LOADED)
QVX_VHDI_FUNCTIONS(QVX_DECLARE_LOADED)
QVX_QCOW_FUNCTIONS(QVX_DECLARE_LOADED)

util::LoadedLibrary g_ewf(QVX_LIBEWF_SONAME, {QVX_EWF_FUNCTIONS(QVX_BIND_LOADED)});
util::LoadedLibrary g_vmdk(QVX_LIBVMDK_SONAME, {QVX_VMDK_FUNCTIONS(QVX_BIND_LOADED)});
util::LoadedLibrary g_vhdi(QVX_LIBVHDI_SONAME, {QVX_VHDI_FUNCTIONS(QVX_BIND_LOADED)});
util::LoadedLibrary g_qcow(QVX_LIBQCOW_SONAME, {QVX_QCOW_FUNCTIONS(QVX_BIND_LOADED)});

/// Opens a format's library; false with the reason, naming the image, when
/// it cannot be had.
bool loadLibrary(util::LoadedLibrary& library, const std::string& path, std::string& error) {
    std::string why;
    if (library.load(why)) return true;
    error = path + ": " + why;
    return false;
}

// Largest request handed to a format library at once: they decode chunk by
// chunk anyway, and a bounded request keeps one reader from holding the
// handle's lock for long.
constexpr std::size_t kMaxLibraryRead = 4u << 20;

// First bytes of every E01 segment file: "EVF", 09 0D 0A FF 00.
constexpr std::string_view kEwfSignature{"EVF\x09\x0D\x0A\xFF\x00", 8};

bool startsWith(const std::uint8_t* data, std::size_t size, std::string_view magic) {
    return size >= magic.size() && std::memcmp(data, magic.data(), magic.size()) == 0;
}

/// The library's error text on one line, then the error freed. The
/// libraries chain one line per function they passed through, innermost
/// first; that one says what was wrong.
template <class E, class SprintFn, class FreeFn>
std::string takeError(E*& error, SprintFn sprint, FreeFn free) {
    if (error == nullptr) return "unknown error";
    std::array<char, 4096> text{};
    sprint(error, text.data(), text.size() - 1);
    free(&error);
    error = nullptr;
    std::string s(text.data());
    const std::size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    // Lines read "function_name: message".
    const std::size_t colon = s.find(": ");
    if (colon != std::string::npos && s.substr(0, colon).find(' ') == std::string::npos) s = s.substr(colon + 2);
    return s.empty() ? "unknown error" : s;
}

std::string ewfError(libewf_error_t*& e) { return takeError(e, libewf_error_backtrace_sprint, libewf_error_free); }
std::string vmdkError(libvmdk_error_t*& e) { return takeError(e, libvmdk_error_backtrace_sprint, libvmdk_error_free); }
std::string vhdiError(libvhdi_error_t*& e) { return takeError(e, libvhdi_error_backtrace_sprint, libvhdi_error_free); }
std::string qcowError(libqcow_error_t*& e) { return takeError(e, libqcow_error_backtrace_sprint, libqcow_error_free); }

/// A container behind one library handle. The libraries keep a current
/// offset and caches inside the handle, so every read holds the lock.
template <class Handle>
class LibraryDevice : public BlockDevice {
public:
    using ReadFn = ssize_t (*)(Handle*, void*, std::size_t, off64_t);
    using CloseFn = void (*)(Handle*);

    LibraryDevice(Handle* handle, ReadFn read, CloseFn close, std::uint64_t size, std::uint32_t sectorSize,
                  ContainerInfo info)
        : m_handle(handle), m_read(read), m_close(close), m_size(size), m_sectorSize(sectorSize),
          m_info(std::move(info)) {}
    ~LibraryDevice() override { m_close(m_handle); }
    LibraryDevice(const LibraryDevice&) = delete;
    LibraryDevice& operator=(const LibraryDevice&) = delete;

    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override {
        if (byteOffset > m_size || length > m_size - byteOffset) return false;
        std::lock_guard lock(m_mutex);
        std::size_t done = 0;
        while (done < length) {
            const std::size_t want = std::min(length - done, kMaxLibraryRead);
            const ssize_t n = m_read(m_handle, out + done, want, static_cast<off64_t>(byteOffset + done));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::uint64_t sizeBytes() const override { return m_size; }
    std::uint32_t logicalSectorSize() const override { return m_sectorSize; }
    ContainerInfo containerInfo() const override { return m_info; }

private:
    Handle* m_handle;
    ReadFn m_read;
    CloseFn m_close;
    std::uint64_t m_size;
    std::uint32_t m_sectorSize;
    ContainerInfo m_info;
    std::mutex m_mutex;
};

std::uint32_t plausibleSectorSize(std::uint64_t bytes) {
    return bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0 ? static_cast<std::uint32_t>(bytes)
                                                                        : kSectorSize;
}

// ---- E01 ----------------------------------------------------------------

void closeEwf(libewf_handle_t* h) {
    libewf_error_t* e = nullptr;
    libewf_handle_close(h, &e);
    if (e != nullptr) libewf_error_free(&e);
    libewf_handle_free(&h, nullptr);
}

ssize_t readEwf(libewf_handle_t* h, void* buffer, std::size_t size, off64_t offset) {
    libewf_error_t* e = nullptr;
    const ssize_t n = libewf_handle_read_random(h, buffer, size, offset, &e);
    if (e != nullptr) libewf_error_free(&e);
    return n;
}

/// Readable names of the header values imaging tools write.
std::string ewfLabel(const std::string& identifier) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kLabels{{
        {"case_number", "Case number"},
        {"description", "Description"},
        {"examiner_name", "Examiner"},
        {"evidence_number", "Evidence number"},
        {"notes", "Notes"},
        {"acquiry_date", "Acquisition date"},
        {"system_date", "System date"},
        {"acquiry_operating_system", "Acquisition operating system"},
        {"acquiry_software", "Acquisition software"},
        {"acquiry_software_version", "Acquisition software version"},
        {"model", "Model"},
        {"serial_number", "Serial number"},
    }};
    for (const auto& [id, label] : kLabels)
        if (id == identifier) return std::string(label);
    return identifier;
}

std::string ewfValue(libewf_handle_t* h, const std::string& identifier, bool hash) {
    std::array<std::uint8_t, 4096> value{};
    libewf_error_t* e = nullptr;
    const auto* id = reinterpret_cast<const std::uint8_t*>(identifier.data());
    const int r = hash ? libewf_handle_get_utf8_hash_value(h, id, identifier.size(), value.data(), value.size(), &e)
                       : libewf_handle_get_utf8_header_value(h, id, identifier.size(), value.data(), value.size(), &e);
    if (e != nullptr) libewf_error_free(&e);
    if (r != 1) return {};
    value.back() = 0;
    return reinterpret_cast<const char*>(value.data());
}

void readEwfNotes(libewf_handle_t* h, ContainerInfo& info) {
    libewf_error_t* e = nullptr;
    std::uint32_t count = 0;
    if (libewf_handle_get_number_of_header_values(h, &count, &e) == 1) {
        for (std::uint32_t i = 0; i < count && i < 256; ++i) {
            std::array<std::uint8_t, 256> id{};
            if (libewf_handle_get_header_value_identifier(h, i, id.data(), id.size(), &e) != 1) {
                if (e != nullptr) libewf_error_free(&e);
                continue;
            }
            id.back() = 0;
            const std::string identifier(reinterpret_cast<const char*>(id.data()));
            std::string value = ewfValue(h, identifier, false);
            if (!value.empty()) info.notes.emplace_back(ewfLabel(identifier), std::move(value));
        }
    }
    if (e != nullptr) libewf_error_free(&e);
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    info.storedMd5 = lower(ewfValue(h, "MD5", true));
    info.storedSha1 = lower(ewfValue(h, "SHA1", true));
}

/// The next segment name after name in the E01 series: .E01 ... .E99, then
/// .EAA ... .EZZ, .FAA ... (the letters keep the first one's case).
std::string nextEwfName(const std::string& name) {
    std::string n = name;
    if (n.size() < 3) return {};
    char& a = n[n.size() - 3];
    char& b = n[n.size() - 2];
    char& c = n[n.size() - 1];
    if (std::isdigit(static_cast<unsigned char>(b)) && std::isdigit(static_cast<unsigned char>(c))) {
        const int v = (b - '0') * 10 + (c - '0') + 1;
        if (v <= 99) {
            b = static_cast<char>('0' + v / 10);
            c = static_cast<char>('0' + v % 10);
            return n;
        }
        const bool lower = std::islower(static_cast<unsigned char>(a)) != 0;
        b = lower ? 'a' : 'A';
        c = lower ? 'a' : 'A';
        return n;
    }
    const char top = std::islower(static_cast<unsigned char>(c)) ? 'z' : 'Z';
    const char bottom = std::islower(static_cast<unsigned char>(c)) ? 'a' : 'A';
    if (c != top) { ++c; return n; }
    c = bottom;
    if (b != top) { ++b; return n; }
    b = bottom;
    if (a != top) { ++a; return n; }
    return {};
}

/// Checks that the segment files form a whole set: each starts with the
/// signature and its own number, every segment but the last closes with a
/// "next" section and the last with "done". The library itself opens an
/// incomplete set without complaint and only fails (or reads zeros) later.
bool checkEwfSegments(const std::vector<std::string>& names, std::string& error) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        FILE* f = std::fopen(name.c_str(), "rb");
        if (f == nullptr) {
            error = name + ": " + std::strerror(errno);
            return false;
        }
        std::uint8_t head[13] = {};
        std::uint8_t tail[16] = {};
        bool ok = std::fread(head, 1, sizeof head, f) == sizeof head;
        ok = ok && std::fseek(f, -76, SEEK_END) == 0 && std::fread(tail, 1, sizeof tail, f) == sizeof tail;
        std::fclose(f);
        if (!ok || !startsWith(head, sizeof head, kEwfSignature)) {
            error = name + ": damaged E01 segment file (no segment header)";
            return false;
        }
        const unsigned number = head[9] | (unsigned{head[10]} << 8);
        if (number != i + 1) {
            error = name + ": E01 segment file numbered " + std::to_string(number) + " where segment " +
                    std::to_string(i + 1) + " was expected";
            return false;
        }
        const bool last = i + 1 == names.size();
        const bool closesNext = std::memcmp(tail, "next", 5) == 0;
        const bool closesDone = std::memcmp(tail, "done", 5) == 0;
        if (last && closesNext) {
            const std::string missing = nextEwfName(name);
            error = (missing.empty() ? name : missing) + ": E01 segment file missing (the image continues after " +
                    name + ")";
            return false;
        }
        if (!(last ? closesDone : closesNext)) {
            error = name + ": E01 segment file is truncated or damaged (it does not end with its closing section)";
            return false;
        }
    }
    return true;
}

std::unique_ptr<BlockDevice> openEwf(const std::string& path, std::string& error) {
    if (!loadLibrary(g_ewf, path, error)) return nullptr;
    libewf_error_t* e = nullptr;
    // The other segments (.E02, .E03 ... .EAA ...) are found from the first.
    char** globbed = nullptr;
    int globbedCount = 0;
    std::vector<std::string> names;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &globbedCount, &e) == 1) {
        for (int i = 0; i < globbedCount; ++i) names.emplace_back(globbed[i]);
        libewf_glob_free(globbed, globbedCount, nullptr);
    } else {
        // A name without the usual extension: the file alone.
        if (e != nullptr) libewf_error_free(&e);
        e = nullptr;
    }
    if (names.empty()) names.push_back(path);
    if (!checkEwfSegments(names, error)) return nullptr;

    std::vector<char*> argv;
    for (auto& n : names) argv.push_back(n.data());
    libewf_handle_t* h = nullptr;
    if (libewf_handle_initialize(&h, &e) != 1) {
        error = path + ": " + ewfError(e);
        return nullptr;
    }
    if (libewf_handle_open(h, argv.data(), static_cast<int>(argv.size()), LIBEWF_OPEN_READ, &e) != 1) {
        const std::string reason = ewfError(e);
        libewf_handle_free(&h, nullptr);
        error = path + ": damaged or incomplete E01 image (" + std::to_string(names.size()) + " segment file" +
                (names.size() == 1 ? "" : "s") + " found): " + reason;
        return nullptr;
    }
    size64_t media = 0;
    std::uint32_t bytesPerSector = 0;
    if (libewf_handle_get_media_size(h, &media, &e) != 1) {
        error = path + ": damaged E01 image: " + ewfError(e);
        closeEwf(h);
        return nullptr;
    }
    if (libewf_handle_get_bytes_per_sector(h, &bytesPerSector, &e) != 1) {
        if (e != nullptr) libewf_error_free(&e);
        bytesPerSector = kSectorSize;
    }
    ContainerInfo info;
    info.type = "E01";
    info.files = names;
    readEwfNotes(h, info);
    return std::make_unique<LibraryDevice<libewf_handle_t>>(h, readEwf, closeEwf, media,
                                                            plausibleSectorSize(bytesPerSector), std::move(info));
}

// ---- VMDK ---------------------------------------------------------------

void closeVmdk(libvmdk_handle_t* h) {
    libvmdk_error_t* e = nullptr;
    libvmdk_handle_close(h, &e);
    if (e != nullptr) libvmdk_error_free(&e);
    libvmdk_handle_free(&h, nullptr);
}

ssize_t readVmdk(libvmdk_handle_t* h, void* buffer, std::size_t size, off64_t offset) {
    libvmdk_error_t* e = nullptr;
    const ssize_t n = libvmdk_handle_read_buffer_at_offset(h, buffer, size, offset, &e);
    if (e != nullptr) libvmdk_error_free(&e);
    return n;
}

/// Extent file names as the descriptor lists them. Only their last
/// component counts: extents are looked for beside the descriptor, never at
/// a path the (untrusted) descriptor chooses.
std::vector<std::string> vmdkExtentNames(libvmdk_handle_t* h) {
    std::vector<std::string> out;
    libvmdk_error_t* e = nullptr;
    int count = 0;
    if (libvmdk_handle_get_number_of_extents(h, &count, &e) != 1) {
        if (e != nullptr) libvmdk_error_free(&e);
        return out;
    }
    for (int i = 0; i < count && i < 100000; ++i) {
        libvmdk_extent_descriptor_t* d = nullptr;
        if (libvmdk_handle_get_extent_descriptor(h, i, &d, &e) != 1) {
            if (e != nullptr) libvmdk_error_free(&e);
            e = nullptr;
            continue;
        }
        std::array<std::uint8_t, 4096> name{};
        if (libvmdk_extent_descriptor_get_utf8_filename(d, name.data(), name.size(), &e) == 1) {
            name.back() = 0;
            std::string n(reinterpret_cast<const char*>(name.data()));
            const std::size_t slash = n.find_last_of("/\\");
            if (slash != std::string::npos) n = n.substr(slash + 1);
            if (!n.empty()) out.push_back(n);
        }
        if (e != nullptr) libvmdk_error_free(&e);
        e = nullptr;
        libvmdk_extent_descriptor_free(&d, nullptr);
    }
    return out;
}

std::unique_ptr<BlockDevice> openVmdk(const std::string& path, std::string& error) {
    if (!loadLibrary(g_vmdk, path, error)) return nullptr;
    libvmdk_error_t* e = nullptr;
    libvmdk_handle_t* h = nullptr;
    if (libvmdk_handle_initialize(&h, &e) != 1) {
        error = path + ": " + vmdkError(e);
        return nullptr;
    }
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
        const std::string reason = vmdkError(e);
        libvmdk_handle_free(&h, nullptr);
        error = path + ": damaged VMDK descriptor: " + reason;
        return nullptr;
    }
    std::size_t parentSize = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(h, &parentSize, &e) == 1 && parentSize > 1) {
        closeVmdk(h);
        error = path + ": a VMDK that holds only the changes to a parent disk; open a full disk instead";
        return nullptr;
    }
    if (e != nullptr) libvmdk_error_free(&e);
    e = nullptr;
    std::string folder = fs::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    std::vector<std::string> files;
    for (const auto& name : vmdkExtentNames(h)) {
        const std::string full = (fs::path(folder) / name).lexically_normal().string();
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            closeVmdk(h);
            error = path + ": extent file " + full + " is missing";
            return nullptr;
        }
        if (std::find(files.begin(), files.end(), full) == files.end()) files.push_back(full);
    }
    if (libvmdk_handle_set_extent_data_files_path(h, folder.c_str(), folder.size(), &e) != 1 ||
        libvmdk_handle_open_extent_data_files(h, &e) != 1) {
        const std::string reason = vmdkError(e);
        closeVmdk(h);
        error = path + ": damaged or missing VMDK extent: " + reason;
        return nullptr;
    }
    size64_t media = 0;
    if (libvmdk_handle_get_media_size(h, &media, &e) != 1) {
        error = path + ": damaged VMDK: " + vmdkError(e);
        closeVmdk(h);
        return nullptr;
    }
    ContainerInfo info;
    info.type = "VMDK";
    info.files.push_back(path);
    for (const auto& f : files)
        if (fs::path(f).lexically_normal() != fs::path(path).lexically_normal()) info.files.push_back(f);
    return std::make_unique<LibraryDevice<libvmdk_handle_t>>(h, readVmdk, closeVmdk, media, kSectorSize,
                                                             std::move(info));
}

// ---- VHD and VHDX -------------------------------------------------------

void closeVhdi(libvhdi_file_t* f) {
    libvhdi_error_t* e = nullptr;
    libvhdi_file_close(f, &e);
    if (e != nullptr) libvhdi_error_free(&e);
    libvhdi_file_free(&f, nullptr);
}

ssize_t readVhdi(libvhdi_file_t* f, void* buffer, std::size_t size, off64_t offset) {
    libvhdi_error_t* e = nullptr;
    const ssize_t n = libvhdi_file_read_buffer_at_offset(f, buffer, size, offset, &e);
    if (e != nullptr) libvhdi_error_free(&e);
    return n;
}

std::unique_ptr<BlockDevice> openVhdi(const std::string& path, bool vhdx, std::string& error) {
    if (!loadLibrary(g_vhdi, path, error)) return nullptr;
    const char* type = vhdx ? "VHDX" : "VHD";
    libvhdi_error_t* e = nullptr;
    libvhdi_file_t* f = nullptr;
    if (libvhdi_file_initialize(&f, &e) != 1) {
        error = path + ": " + vhdiError(e);
        return nullptr;
    }
    if (libvhdi_file_open(f, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1) {
        const std::string reason = vhdiError(e);
        libvhdi_file_free(&f, nullptr);
        error = path + ": damaged " + type + " image: " + reason;
        return nullptr;
    }
    std::uint32_t diskType = 0;
    if (libvhdi_file_get_disk_type(f, &diskType, &e) == 1 && diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        closeVhdi(f);
        error = path + ": a differencing " + type + " that holds only the changes to a parent disk; open a full disk instead";
        return nullptr;
    }
    if (e != nullptr) libvhdi_error_free(&e);
    e = nullptr;
    size64_t media = 0;
    if (libvhdi_file_get_media_size(f, &media, &e) != 1) {
        error = path + ": damaged " + type + " image: " + vhdiError(e);
        closeVhdi(f);
        return nullptr;
    }
    std::uint32_t bytesPerSector = kSectorSize;
    if (libvhdi_file_get_bytes_per_sector(f, &bytesPerSector, &e) != 1) bytesPerSector = kSectorSize;
    if (e != nullptr) libvhdi_error_free(&e);
    ContainerInfo info;
    info.type = type;
    info.files.push_back(path);
    return std::make_unique<LibraryDevice<libvhdi_file_t>>(f, readVhdi, closeVhdi, media,
                                                           plausibleSectorSize(bytesPerSector), std::move(info));
}

// ---- qcow ---------------------------------------------------------------

void closeQcow(libqcow_file_t* f) {
    libqcow_error_t* e = nullptr;
    libqcow_file_close(f, &e);
    if (e != nullptr) libqcow_error_free(&e);
    libqcow_file_free(&f, nullptr);
}

ssize_t readQcow(libqcow_file_t* f, void* buffer, std::size_t size, off64_t offset) {
    libqcow_error_t* e = nullptr;
    const ssize_t n = libqcow_file_read_buffer_at_offset(f, buffer, size, offset, &e);
    if (e != nullptr) libqcow_error_free(&e);
    return n;
}

std::unique_ptr<BlockDevice> openQcow(const std::string& path, std::string& error) {
    if (!loadLibrary(g_qcow, path, error)) return nullptr;
    libqcow_error_t* e = nullptr;
    libqcow_file_t* f = nullptr;
    if (libqcow_file_initialize(&f, &e) != 1) {
        error = path + ": " + qcowError(e);
        return nullptr;
    }
    if (libqcow_file_open(f, path.c_str(), LIBQCOW_OPEN_READ, &e) != 1) {
        const std::string reason = qcowError(e);
        libqcow_file_free(&f, nullptr);
        error = path + ": damaged qcow image: " + reason;
        return nullptr;
    }
    std::size_t backingSize = 0;
    if (libqcow_file_get_utf8_backing_filename_size(f, &backingSize, &e) == 1 && backingSize > 1) {
        closeQcow(f);
        error = path + ": a qcow image that holds only the changes to a backing disk; open a full disk instead";
        return nullptr;
    }
    if (e != nullptr) libqcow_error_free(&e);
    e = nullptr;
    std::uint32_t method = 0;
    if (libqcow_file_get_encryption_method(f, &method, &e) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        closeQcow(f);
        error = path + ": an encrypted qcow image: not supported";
        return nullptr;
    }
    if (e != nullptr) libqcow_error_free(&e);
    e = nullptr;
    size64_t media = 0;
    if (libqcow_file_get_media_size(f, &media, &e) != 1) {
        error = path + ": damaged qcow image: " + qcowError(e);
        closeQcow(f);
        return nullptr;
    }
    std::uint32_t version = 0;
    if (libqcow_file_get_format_version(f, &version, &e) != 1) version = 0;
    if (e != nullptr) libqcow_error_free(&e);
    ContainerInfo info;
    info.type = version >= 2 ? "qcow2" : "qcow";
    info.files.push_back(path);
    return std::make_unique<LibraryDevice<libqcow_file_t>>(f, readQcow, closeQcow, media, kSectorSize,
                                                           std::move(info));
}

}  // namespace

ContainerKind recogniseContainer(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                                 std::size_t tailSize) {
    using namespace std::string_view_literals;
    // E01 segment files: "EVF", 09 0D 0A FF 00.
    if (startsWith(head, headSize, kEwfSignature)) return ContainerKind::Ewf;
    // Sparse extent ("KDMV"), hosted sparse extent of older versions ("COWD"),
    // or the text descriptor of a split or flat disk.
    if (startsWith(head, headSize, "KDMV"sv) || startsWith(head, headSize, "COWD"sv)) return ContainerKind::Vmdk;
    if (startsWith(head, headSize, "# Disk DescriptorFile"sv) ||
        startsWith(head, headSize, "\xEF\xBB\xBF# Disk DescriptorFile"sv))
        return ContainerKind::Vmdk;
    if (startsWith(head, headSize, "vhdxfile"sv)) return ContainerKind::Vhdx;
    // Dynamic VHDs copy their footer to the front; a fixed VHD is the raw
    // disk followed by the 512-byte footer.
    if (startsWith(head, headSize, "conectix"sv)) return ContainerKind::Vhd;
    if (startsWith(head, headSize, "QFI\xFB"sv)) return ContainerKind::Qcow;
    if (tailSize == 512 && startsWith(tail, tailSize, "conectix"sv)) return ContainerKind::Vhd;
    return ContainerKind::None;
}

std::unique_ptr<BlockDevice> openContainer(const std::string& path, ContainerKind kind, std::string& error) {
    switch (kind) {
    case ContainerKind::Ewf: return openEwf(path, error);
    case ContainerKind::Vmdk: return openVmdk(path, error);
    case ContainerKind::Vhd: return openVhdi(path, false, error);
    case ContainerKind::Vhdx: return openVhdi(path, true, error);
    case ContainerKind::Qcow: return openQcow(path, error);
    case ContainerKind::None: break;
    }
    error = path + ": not an image container";
    return nullptr;
}

}  // namespace qvx::disk
