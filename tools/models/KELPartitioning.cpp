#include "KELPartitioning.h"

#include <algorithm>
#include <cstdlib>

namespace kel {

namespace {

// Renumbers labels 0..count-1 in order of their value, dropping unused ones.
void Compact(std::vector<uint32_t> labels, KELPartitioning& partitioning) {
  std::vector<uint32_t> sorted = labels;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (uint32_t& label : labels) {
    label = static_cast<uint32_t>(std::lower_bound(sorted.begin(), sorted.end(), label) - sorted.begin());
  }
  partitioning.iCount = static_cast<uint32_t>(sorted.size());
  partitioning.iOfEntry = std::move(labels);
}

// Splits entries [first, last) of `order` at the median of their centres
// along the widest axis until each tile holds at most `limit`.
void SplitTiles(const KELModel& model, std::vector<uint32_t>& order, size_t first, size_t last, uint32_t limit,
                std::vector<uint32_t>& labels, uint32_t& next) {
  if (last - first <= limit) {
    for (size_t i = first; i < last; ++i) labels[order[i]] = next;
    ++next;
    return;
  }
  float min[3], max[3];
  for (int a = 0; a < 3; ++a) min[a] = max[a] = model.iEntries[order[first]].iCenter[a];
  for (size_t i = first; i < last; ++i) {
    for (int a = 0; a < 3; ++a) {
      min[a] = std::min(min[a], model.iEntries[order[i]].iCenter[a]);
      max[a] = std::max(max[a], model.iEntries[order[i]].iCenter[a]);
    }
  }
  int axis = 0;
  for (int a = 1; a < 3; ++a) if (max[a] - min[a] > max[axis] - min[axis]) axis = a;
  const size_t middle = first + (last - first) / 2;
  std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(first), order.begin() + static_cast<std::ptrdiff_t>(middle),
                   order.begin() + static_cast<std::ptrdiff_t>(last), [&](uint32_t x, uint32_t y) {
                     return model.iEntries[x].iCenter[axis] < model.iEntries[y].iCenter[axis];
                   });
  SplitTiles(model, order, first, middle, limit, labels, next);
  SplitTiles(model, order, middle, last, limit, labels, next);
}

// An entry goes to the lowest cluster whose leafs list it; entries no
// clustered leaf lists share one more partition.
void LabelClusters(const KELModel& model, std::vector<uint32_t>& labels) {
  const KELLevel& level = model.iLevel;
  const uint32_t unlisted = static_cast<uint32_t>(std::max(level.iClusterCount, 0));
  labels.assign(model.iEntries.size(), unlisted);
  for (const KELLevelLeaf& leaf : level.iLeafs) {
    if (leaf.iCluster < 0) continue;
    for (uint32_t f = 0; f < leaf.iFaceCount; ++f) {
      uint32_t& label = labels[level.iLeafEntries[leaf.iFirstFace + f]];
      label = std::min(label, static_cast<uint32_t>(leaf.iCluster));
    }
  }
}

void LabelGrid(const KELModel& model, uint32_t cells, std::vector<uint32_t>& labels) {
  labels.resize(model.iEntries.size());
  for (size_t e = 0; e < model.iEntries.size(); ++e) {
    uint32_t cell[2];
    for (int k = 0; k < 2; ++k) {
      const int a = k * 2;  // x, then z
      const float extent = model.iMax[a] - model.iMin[a];
      const float t = extent > 0 ? (model.iEntries[e].iCenter[a] - model.iMin[a]) / extent : 0;
      const float scaled = t * static_cast<float>(cells);
      cell[k] = scaled > 0 ? std::min(cells - 1, static_cast<uint32_t>(std::min(scaled, 1e9f))) : 0;
    }
    labels[e] = cell[1] * cells + cell[0];
  }
}

}  // namespace

bool ParsePartitionChoice(const std::string& text, KELPartitionChoice& choice, std::string& error) {
  const size_t colon = text.find(':');
  const std::string rule = text.substr(0, colon);
  long parameter = 0;
  if (colon != std::string::npos) {
    char* end = nullptr;
    parameter = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || parameter < 1 || parameter > 1000000) parameter = 0;
  }
  const bool wantsParameter = rule == "tiles" || rule == "grid";
  if ((rule == "groups" || rule == "clusters") && colon == std::string::npos) {
    choice.iRule = rule == "groups" ? KELPartitionRule::kGroups : KELPartitionRule::kClusters;
    choice.iParameter = 0;
    return true;
  }
  if (wantsParameter && parameter > 0 && (rule == "tiles" || parameter <= 1000)) {
    choice.iRule = rule == "tiles" ? KELPartitionRule::kTiles : KELPartitionRule::kGrid;
    choice.iParameter = static_cast<uint32_t>(parameter);
    return true;
  }
  error = "unknown partitioning '" + text + "' (groups, tiles:K, clusters, grid:N)";
  return false;
}

std::string DescribePartitionChoice(const KELPartitionChoice& choice) {
  switch (choice.iRule) {
    case KELPartitionRule::kGroups: return "groups";
    case KELPartitionRule::kTiles: return "tiles:" + std::to_string(choice.iParameter);
    case KELPartitionRule::kClusters: return "clusters";
    case KELPartitionRule::kGrid: return "grid:" + std::to_string(choice.iParameter);
  }
  return "";
}

bool AssignPartitions(const KELModel& model, const KELPartitionChoice& choice, KELPartitioning& partitioning,
                      std::string& error) {
  std::vector<uint32_t> labels(model.iEntries.size(), 0);
  switch (choice.iRule) {
    case KELPartitionRule::kGroups:
      for (size_t e = 0; e < labels.size(); ++e) labels[e] = model.iEntries[e].iGroup;
      break;
    case KELPartitionRule::kTiles: {
      if (choice.iParameter < 1) {
        error = "tiles need room for at least one entry";
        return false;
      }
      std::vector<uint32_t> order(labels.size());
      for (uint32_t e = 0; e < order.size(); ++e) order[e] = e;
      uint32_t next = 0;
      if (!order.empty()) SplitTiles(model, order, 0, order.size(), choice.iParameter, labels, next);
      break;
    }
    case KELPartitionRule::kClusters:
      if (!model.iIsLevel) {
        error = model.iName + " has no visibility clusters (not a level)";
        return false;
      }
      LabelClusters(model, labels);
      break;
    case KELPartitionRule::kGrid:
      if (choice.iParameter < 1) {
        error = "a grid needs at least one cell";
        return false;
      }
      LabelGrid(model, choice.iParameter, labels);
      break;
  }
  Compact(std::move(labels), partitioning);
  return true;
}

}  // namespace kel
