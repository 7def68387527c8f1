#include "records/provenance.h"

namespace qvx::records {

const char* foundInText(FoundIn f) {
    switch (f) {
    case FoundIn::MftRecord: return "MFT record";
    case FoundIn::DirectoryEntry: return "directory entry";
    case FoundIn::DirectoryCluster: return "directory cluster";
    case FoundIn::Nowhere: break;
    }
    return "";
}

const char* parentByText(ParentBy p) {
    switch (p) {
    case ParentBy::ParentReference: return "parent reference";
    case ParentBy::FolderIndex: return "folder index";
    case ParentBy::Miscellaneous: return "QVX_Miscellaneous";
    case ParentBy::None: break;
    }
    return "";
}

}  // namespace qvx::records
