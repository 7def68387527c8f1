#include "records/file_types.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

namespace qvx::records {

namespace {

struct Group {
    std::string_view description;
    std::vector<std::string_view> endings;
};

// Groups in the order of the FAT cluster-chain variant; the other variants
// rename groups 9 and 12, and NTFS tests "C++ file" before "Backup File".
const std::array<Group, 35>& groups() {
    static const std::array<Group, 35> kGroups{{
        {"Microsoft Word File", {".DOC", ".doc", ".docx", ".DOCX"}},
        {"Microsoft Power Point File", {".PPT", ".ppt", ".PPTX", ".pptx", ".PPSX", ".ppsx", ".PPS", ".pps"}},
        {"Microsoft Excel File", {".XLS", ".xls", ".XLSX", ".xlsx"}},
        {"Icon file", {".ICO", ".ico"}},
        {"PDF file", {".PDF", ".pdf"}},
        {"Executable file", {".EXE", ".exe", ".bat", ".BAT", ".com", ".COM"}},
        {"Font file", {".TTF", ".ttf", ".FON", ".fon", ".FNT", ".fnt", ".OTF", ".otf"}},
        {"Image File", {".PS",  ".ps",  ".AI",  ".ai",  ".BMP", ".bmp", ".GIF", ".gif",  ".PNG",
                        ".png", ".PSD", ".psd", ".PSP", ".psp", ".THM", ".thm", ".TIF", ".tif",
                        ".DRW", ".drw", ".DXF", ".dxf", ".EPS", ".eps", ".SVG", ".svg", ".JPG",
                        ".jpg", ".MNG", ".mng", ".PCT", ".pct", ".JPEG", ".jpeg"}},
        {"Compressed File", {".ZIP", ".zip", ".RAR", ".rar", ".7Z", ".7z", ".DEB", ".deb", ".GZ", ".gz", ".PKG",
                             ".pkg", ".SEA", ".sea", ".SIT", ".sit", ".SITX", ".sitx"}},
        {"Web file", {".htm", ".HTM", "HTML", "html", ".ASP", ".asp", ".CSS", ".css", ".JS", ".js", ".JSP", ".jsp",
                      ".PHP", ".php", ".XHTML", "xhtml"}},
        {"Help File", {".chm", ".CHM"}},
        {"Windows Registry file", {".REG", ".reg"}},
        {"Sound file", {".WAV", ".wav", ".AU",  ".au",  ".MP3", ".mp3", ".M4A", ".m4a", ".MID", ".mid",
                        ".MIDI", ".midi", ".MPA", ".mpa", ".WMA", ".wma", ".AMR", ".amr", ".RA", ".ra",
                        ".RAM", ".ram", ".M3U", ".m3u", ".IFF", ".iff", ".AIF", ".aif", ".AAC", ".aac"}},
        {"Video File", {".AVI", ".avi", ".MOV", ".mov", ".MKV", ".mkv", ".FLV", ".flv", ".ASX", ".asx",
                        ".ASF", ".asf", ".3GP", ".3gp", ".3G2", ".3g2", ".MP4", ".mp4", ".MPG", ".mpg",
                        ".SWF", ".swf", ".VOB", ".vob", ".WMV", ".wmv", ".QT",  ".qt",  ".RM",  ".rm"}},
        {"Backup File", {".BAK", ".bak", ".BUP", ".bup", ".GHO", ".gho", ".OLD", ".old", ".ORI", ".ori"}},
        {"C++ file", {".CPP", ".cpp", ".C", ".c"}},
        {"Scripting File", {".VB", ".vb", ".WS", ".ws"}},
        {"System File", {".LNK", ".lnk", ".SYS", ".sys"}},
        {"Disk File", {".ISO", ".iso", ".VCD", ".vcd"}},
        {"Database File", {".MDBX", ".mdbx", ".SQL", ".sql", ".MDB", ".mdb", ".DB", ".db"}},
        {"Java Source Code File", {".JAVA", ".java"}},
        {"Program Information File", {".PIF", ".pif"}},
        {"BitTorrent File", {".TORRENT", ".torrent"}},
        {"Perl Script File", {".PL", ".pl"}},
        {"Temporary File", {".TMP", ".tmp"}},
        {"Header file", {".H", ".h"}},
        {"Windows Installer Package File", {".MSI", ".msi"}},
        {"Rich Text Format File", {".RTF", ".rtf"}},
        {"Mail Message File", {".MSG", ".msg"}},
        {"Comma Separated Values File", {".CSV", ".csv"}},
        {"Data File", {".DAT", ".dat"}},
        {"Dynamic Link Library File", {".DLL", ".dll"}},
        {"XML File", {".XML", ".xml"}},
        {"Microsoft Works Spreadsheet File", {".WKS", ".wks"}},
        {"Text file", {".TXT", ".txt", ".LOG", ".log"}},
    }};
    return kGroups;
}

constexpr std::size_t kCompressedGroup = 8;
constexpr std::size_t kRegistryGroup = 11;
constexpr std::size_t kBackupGroup = 14;
constexpr std::size_t kCppGroup = 15;

constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

}  // namespace

namespace {

// Position of each group in a variant's test order: NTFS tests "C++ file"
// before "Backup File"; the FAT variants test the groups in table order.
std::size_t positionOf(std::size_t group, FileTypeVariant variant) {
    if (variant == FileTypeVariant::Ntfs) {
        if (group == kBackupGroup) return kCppGroup;
        if (group == kCppGroup) return kBackupGroup;
    }
    return group;
}

// Every ending with the first position (in the variant's order) of a group
// holding it, so one lookup per distinct ending length finds the group the
// ordered walk over the table would find first.
struct EndingIndex {
    std::unordered_map<std::string_view, std::size_t> firstPosition;
    std::vector<std::size_t> lengths;  // distinct ending lengths
    std::array<std::size_t, 35> groupAt{};
};

EndingIndex makeIndex(FileTypeVariant variant) {
    EndingIndex index;
    const auto& table = groups();
    for (std::size_t group = 0; group < table.size(); ++group) {
        const std::size_t position = positionOf(group, variant);
        index.groupAt[position] = group;
        for (std::string_view ending : table[group].endings) {
            auto [it, inserted] = index.firstPosition.emplace(ending, position);
            if (!inserted && position < it->second) it->second = position;
            if (std::find(index.lengths.begin(), index.lengths.end(), ending.size()) == index.lengths.end())
                index.lengths.push_back(ending.size());
        }
    }
    return index;
}

const EndingIndex& indexFor(FileTypeVariant variant) {
    static const EndingIndex kChain = makeIndex(FileTypeVariant::FatClusterChain);
    static const EndingIndex kRoot = makeIndex(FileTypeVariant::Fat16Root);
    static const EndingIndex kNtfs = makeIndex(FileTypeVariant::Ntfs);
    switch (variant) {
    case FileTypeVariant::FatClusterChain: return kChain;
    case FileTypeVariant::Fat16Root: return kRoot;
    case FileTypeVariant::Ntfs: break;
    }
    return kNtfs;
}

}  // namespace

std::string_view fileTypeText(std::string_view name, FileTypeVariant variant) {
    const EndingIndex& index = indexFor(variant);
    std::size_t best = kNoPosition;
    for (std::size_t length : index.lengths) {
        if (name.size() < length) continue;
        const auto it = index.firstPosition.find(name.substr(name.size() - length));
        if (it != index.firstPosition.end() && it->second < best) best = it->second;
    }
    if (best == kNoPosition) return "File";
    const std::size_t group = index.groupAt[best];
    if (variant != FileTypeVariant::FatClusterChain) {
        if (group == kCompressedGroup) return "Winzip File";
        if (group == kRegistryGroup) return "Registry file";
    }
    return groups()[group].description;
}

std::string LookupFileType(std::string_view name, FileTypeVariant variant) {
    return std::string(fileTypeText(name, variant));
}

}  // namespace qvx::records
