// Ways to put a model's entries into the library's partitions: how many
// entries a visible zone hands to drawing depends on it.
#ifndef KEL_PARTITIONING_H
#define KEL_PARTITIONING_H

#include <cstdint>
#include <string>
#include <vector>

#include "KELModel.h"

namespace kel {

enum class KELPartitionRule {
  kGroups,    // one per top-level node of a mesh file, or per copy of a grid
  kTiles,     // spatial tiles of at most iParameter entries (median splits)
  kClusters,  // one per visibility cluster of a level
  kGrid       // iParameter x iParameter cells over the ground plane (x, z)
};

struct KELPartitionChoice {
  KELPartitionRule iRule = KELPartitionRule::kTiles;
  uint32_t iParameter = 64;
};

struct KELPartitioning {
  uint32_t iCount = 0;              // partitions, none of them empty
  std::vector<uint32_t> iOfEntry;   // partition of each entry
};

// Parses "groups", "tiles:K", "clusters" or "grid:N". False with a message
// for anything else.
bool ParsePartitionChoice(const std::string& text, KELPartitionChoice& choice, std::string& error);
// The name ParsePartitionChoice reads back.
std::string DescribePartitionChoice(const KELPartitionChoice& choice);
// Assigns every entry of `model` to a partition. False with a message where
// the rule does not apply (clusters of a model that is not a level).
bool AssignPartitions(const KELModel& model, const KELPartitionChoice& choice, KELPartitioning& partitioning,
                      std::string& error);

}  // namespace kel

#endif
