#pragma once
// The texts of the wizard window: caption, help strip, messages. UTF-8.

namespace qvx::ui::texts {

inline constexpr const char* kCaption = "QVX - NTFS Recovery";

inline constexpr const char* kDiskScreenHelp =
    "Select the disk from left Panel from which you want to recover Data. Select the searching criteria (Standard "
    "Search or Advance Search) and Press \u2018Next\u2019 button to Proceed. Both the recovery Modes recover data using "
    "different recovery techniques in different cases of data loss.";
inline constexpr const char* kPartitionScreenHelp =
    "Select the Partition from left Panel from which you want to recover Data. If the partition (from which you want "
    "to recover your data) is not in the list, Press \u2018Search More Partitions\u2019 button to search other Lost or "
    "Deleted Partitions. Press \u2018Next\u2019 button to start searching Data.";
inline constexpr const char* kUnknownKindAdvanceHelp =
    "Select the Partition Type from which you want to recover Data and press 'Next' button to start searching Data. "
    "Or to select another Disk press 'Back' button.";
inline constexpr const char* kStandardNotPossibleHelp =
    "Select the partition to recover from left panel and then click on next button or use Searching Partition for "
    "search missing partition.";
inline constexpr const char* kAnalysisRunningHelp =
    "You can stop searching Files and Folders by clicking on 'Stop Search' button. However, it is strongly "
    "recommended that you should allow the software to complete the searching Process.";
inline constexpr const char* kFileSystemScreenHelp =
    "Press 'Next' button to Recover Data. Or to select another Partition press 'Back' button.";
inline constexpr const char* kResultsHelp =
    "Select Files and Folders from left Panel Directories' Tree and Click on 'Save' button in Toolbar to save "
    "recovered Files and Folders.";

inline constexpr const char* kSelectPartitionType = "Select partition type";
inline constexpr const char* kStartSectorInvalid = "Start sector is not valid";
inline constexpr const char* kEndSectorInvalid = "Ending sector is not valid";
inline constexpr const char* kSaveRecoveryQuestion = "Do you want to save the recovery?";
inline constexpr const char* kExitQuestion = "Do you want to exit from QVX - NTFS Recovery?";
inline constexpr const char* kQuitQuestion = "Do you want to Exit?";

inline constexpr const char* kNothingMarked =
    "Nothing is marked for saving. Tick the check boxes of the folders (left panel) or files (list) to save, or "
    "right-click a folder or file and choose 'Save'.";
inline constexpr const char* kGuideFileName = "guide.html";

inline constexpr const char* kAdvanceNotPossible =
    "No file system could be identified. Recovery is not possible in Advance Search mode.";
inline constexpr const char* kStandardNotPossible =
    "Recovery is not possible in Standard Search mode, use Advance Search to recover your data.";

// The vendor's addresses (placeholders on the project's own domain).
inline constexpr const char* kWebSite = "https://qvx-recovery.example/";
inline constexpr const char* kSupportMail = "support@qvx-recovery.example";
inline constexpr const char* kHelpFileName = "Software Guide.chm";

}  // namespace qvx::ui::texts
