#include "records/data_condition.h"

namespace qvx::records {

const char* conditionText(DataConditionKind kind) {
    switch (kind) {
    case DataConditionKind::Intact: return "intact";
    case DataConditionKind::PartlyOverwritten: return "partly overwritten";
    case DataConditionKind::Overwritten: return "overwritten";
    case DataConditionKind::Unknown: return "unknown";
    case DataConditionKind::None: break;
    }
    return "";
}

DataConditionKind conditionOfClusters(std::uint64_t reused, std::uint64_t total) {
    if (reused == 0 || total == 0) return DataConditionKind::Intact;
    return reused >= total ? DataConditionKind::Overwritten : DataConditionKind::PartlyOverwritten;
}

}  // namespace qvx::records
