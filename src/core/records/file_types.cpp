#include "records/file_types.h"

#include <array>
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

bool endsWith(std::string_view name, std::string_view ending) {
    return name.size() >= ending.size() && name.substr(name.size() - ending.size()) == ending;
}

}  // namespace

std::string LookupFileType(std::string_view name, FileTypeVariant variant) {
    const auto& table = groups();
    for (std::size_t position = 0; position < table.size(); ++position) {
        std::size_t index = position;
        if (variant == FileTypeVariant::Ntfs) {
            if (position == kBackupGroup) index = kCppGroup;
            else if (position == kCppGroup) index = kBackupGroup;
        }
        for (std::string_view ending : table[index].endings) {
            if (!endsWith(name, ending)) continue;
            if (variant != FileTypeVariant::FatClusterChain) {
                if (index == kCompressedGroup) return "Winzip File";
                if (index == kRegistryGroup) return "Registry file";
            }
            return std::string(table[index].description);
        }
    }
    return "File";
}

}  // namespace qvx::records
