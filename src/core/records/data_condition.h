#pragma once
// The condition of a deleted item's data: whether the clusters recovery
// would read are still free, or the volume has since given some or all of
// them to other files. Live items have none.

#include <cstdint>
#include <string>
#include <vector>

namespace qvx::records {

enum class DataConditionKind : std::uint8_t {
    None,               // a live item: its data is its own
    Intact,             // no cluster of its data is allocated now
    PartlyOverwritten,  // some are
    Overwritten,        // all are
    Unknown,            // the volume's allocation data could not be read
};

/// Paths of live files named as owners of reused clusters, at most.
inline constexpr std::size_t kMaxReusedBy = 4;

struct DataCondition {
    DataConditionKind kind = DataConditionKind::None;
    std::uint64_t reusedClusters = 0;
    std::uint64_t totalClusters = 0;
    /// Live files owning reused clusters, in cluster order (at most kMaxReusedBy).
    std::vector<std::string> reusedBy;

    bool known() const { return kind != DataConditionKind::None; }
    bool overwritten() const { return kind == DataConditionKind::Overwritten; }
    bool partlyOverwritten() const { return kind == DataConditionKind::PartlyOverwritten; }
};

/// "intact", "partly overwritten", "overwritten", "unknown"; empty for None.
const char* conditionText(DataConditionKind kind);

/// Intact, PartlyOverwritten or Overwritten for reused of total clusters
/// (no clusters at all, as for data held in the MFT record, is intact).
DataConditionKind conditionOfClusters(std::uint64_t reused, std::uint64_t total);

}  // namespace qvx::records
