#include "KELModel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kel {

namespace {

void Transform(const float* m, const float* p, float* out) {
  for (int r = 0; r < 3; ++r) out[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r];
}

void GrowBox(float* min, float* max, const float* p) {
  for (int a = 0; a < 3; ++a) {
    min[a] = std::min(min[a], p[a]);
    max[a] = std::max(max[a], p[a]);
  }
}

}  // namespace

void AddEntry(KELModel& model, uint32_t mesh, const float* matrix, uint32_t group, const float* controlMin,
              const float* controlMax) {
  KELModelEntry entry;
  entry.iMesh = mesh;
  entry.iGroup = group;
  std::memcpy(entry.iMatrix, matrix, sizeof(entry.iMatrix));
  const std::vector<float>& positions = model.iMeshes[mesh].iPositions;
  for (int a = 0; a < 3; ++a) {
    entry.iMin[a] = INFINITY;
    entry.iMax[a] = -INFINITY;
  }
  float world[3];
  for (size_t v = 0; v + 2 < positions.size(); v += 3) {
    Transform(matrix, &positions[v], world);
    GrowBox(entry.iMin, entry.iMax, world);
  }
  if (controlMin && controlMax) {
    GrowBox(entry.iMin, entry.iMax, controlMin);
    GrowBox(entry.iMin, entry.iMax, controlMax);
  }
  if (!(entry.iMin[0] <= entry.iMax[0])) {
    for (int a = 0; a < 3; ++a) entry.iMin[a] = entry.iMax[a] = matrix[12 + a];
  }
  for (int a = 0; a < 3; ++a) entry.iCenter[a] = 0.5f * (entry.iMin[a] + entry.iMax[a]);
  // The sphere around the box centre that holds every vertex; where the box
  // was widened by control points, the box's half diagonal bounds it too.
  float radius2 = 0;
  for (size_t v = 0; v + 2 < positions.size(); v += 3) {
    Transform(matrix, &positions[v], world);
    float d2 = 0;
    for (int a = 0; a < 3; ++a) d2 += (world[a] - entry.iCenter[a]) * (world[a] - entry.iCenter[a]);
    radius2 = std::max(radius2, d2);
  }
  if (controlMin && controlMax) {
    float d2 = 0;
    for (int a = 0; a < 3; ++a) d2 += 0.25f * (entry.iMax[a] - entry.iMin[a]) * (entry.iMax[a] - entry.iMin[a]);
    radius2 = std::max(radius2, d2);
  }
  entry.iRadius = std::sqrt(radius2);
  if (model.iEntries.empty()) {
    std::memcpy(model.iMin, entry.iMin, sizeof(model.iMin));
    std::memcpy(model.iMax, entry.iMax, sizeof(model.iMax));
  } else {
    GrowBox(model.iMin, model.iMax, entry.iMin);
    GrowBox(model.iMin, model.iMax, entry.iMax);
  }
  model.iEntries.push_back(entry);
}

void UpdateModelBounds(KELModel& model) {
  for (int a = 0; a < 3; ++a) model.iMin[a] = model.iMax[a] = 0;
  for (size_t e = 0; e < model.iEntries.size(); ++e) {
    const KELModelEntry& entry = model.iEntries[e];
    if (e == 0) {
      std::memcpy(model.iMin, entry.iMin, sizeof(model.iMin));
      std::memcpy(model.iMax, entry.iMax, sizeof(model.iMax));
    }
    GrowBox(model.iMin, model.iMax, entry.iMin);
    GrowBox(model.iMin, model.iMax, entry.iMax);
  }
}

uint64_t CountTriangles(const KELModel& model) {
  uint64_t count = 0;
  for (const KELModelEntry& entry : model.iEntries) count += model.iMeshes[entry.iMesh].iIndices.size() / 3;
  return count;
}

bool MakeGrid(const KELModel& source, int count, float gap, KELModel& grid, std::string& error) {
  if (source.iIsLevel) {
    error = "a level cannot be copied into a grid: its BSP tree and visibility describe one copy";
    return false;
  }
  // Beyond this many entries a grid is a memory test, not a scene.
  constexpr uint64_t kMaxGridEntries = 1ull << 24;
  if (count < 1 || count > 1000 ||
      source.iEntries.size() * static_cast<uint64_t>(count) * static_cast<uint64_t>(count) > kMaxGridEntries) {
    error = "the grid size must be at least 1 and give at most " + std::to_string(kMaxGridEntries) + " entries";
    return false;
  }
  grid = KELModel();
  grid.iName = source.iName + " " + std::to_string(count) + "x" + std::to_string(count);
  grid.iMeshes = source.iMeshes;
  grid.iGroupCount = source.iGroupCount * static_cast<uint32_t>(count * count);
  grid.iEntries.reserve(source.iEntries.size() * static_cast<size_t>(count * count));
  const float pitchX = source.iMax[0] - source.iMin[0] + gap;
  const float pitchZ = source.iMax[2] - source.iMin[2] + gap;
  for (int row = 0; row < count; ++row) {
    for (int column = 0; column < count; ++column) {
      const uint32_t copy = static_cast<uint32_t>(row * count + column);
      const float offset[3] = {column * pitchX, 0, row * pitchZ};
      for (const KELModelEntry& entry : source.iEntries) {
        KELModelEntry moved = entry;
        for (int a = 0; a < 3; ++a) {
          moved.iMatrix[12 + a] += offset[a];
          moved.iMin[a] += offset[a];
          moved.iMax[a] += offset[a];
          moved.iCenter[a] += offset[a];
        }
        moved.iGroup = copy * source.iGroupCount + entry.iGroup;
        grid.iEntries.push_back(moved);
      }
    }
  }
  UpdateModelBounds(grid);
  return true;
}

int32_t FindLeaf(const KELLevel& level, const float* point) {
  if (level.iNodes.empty()) return -1;
  int32_t child = 0;
  // A well-formed tree reaches a leaf in fewer steps than it has nodes; the
  // bound keeps a cyclic tree from looping.
  for (size_t steps = 0; steps < level.iNodes.size() && child >= 0; ++steps) {
    const KELLevelNode& node = level.iNodes[static_cast<size_t>(child)];
    const KELLevelPlane& plane = level.iPlanes[static_cast<size_t>(node.iPlane)];
    const float side = plane.iNormal[0] * point[0] + plane.iNormal[1] * point[1] + plane.iNormal[2] * point[2] -
                       plane.iDistance;
    child = node.iChildren[side >= 0 ? 0 : 1];
  }
  if (child >= 0) return -1;
  return -(child + 1);
}

int32_t GetLeafCluster(const KELLevel& level, int32_t leaf) {
  if (leaf < 0 || static_cast<size_t>(leaf) >= level.iLeafs.size()) return -1;
  return level.iLeafs[static_cast<size_t>(leaf)].iCluster;
}

bool IsClusterVisible(const KELLevel& level, int32_t from, int32_t to) {
  if (from < 0 || to < 0 || from >= level.iClusterCount || to >= level.iClusterCount) return false;
  if (level.iVisibility.empty()) return true;
  const size_t byte = static_cast<size_t>(from) * static_cast<size_t>(level.iClusterBytes) + static_cast<size_t>(to / 8);
  return (level.iVisibility[byte] & (1u << (to % 8))) != 0;
}

void IndexClusterEntries(KELLevel& level) {
  const size_t clusters = static_cast<size_t>(std::max(level.iClusterCount, 0));
  std::vector<std::vector<uint32_t>> lists(clusters);
  for (const KELLevelLeaf& leaf : level.iLeafs) {
    if (leaf.iCluster < 0 || static_cast<size_t>(leaf.iCluster) >= clusters) continue;
    std::vector<uint32_t>& list = lists[static_cast<size_t>(leaf.iCluster)];
    list.insert(list.end(), level.iLeafEntries.begin() + leaf.iFirstFace,
                level.iLeafEntries.begin() + leaf.iFirstFace + leaf.iFaceCount);
  }
  level.iClusterFirst.assign(1, 0);
  level.iClusterEntries.clear();
  for (std::vector<uint32_t>& list : lists) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    level.iClusterEntries.insert(level.iClusterEntries.end(), list.begin(), list.end());
    level.iClusterFirst.push_back(static_cast<uint32_t>(level.iClusterEntries.size()));
  }
}

void CollectVisibleEntries(const KELModel& model, const float* point, std::vector<uint32_t>& entries) {
  entries.clear();
  const KELLevel& level = model.iLevel;
  const int32_t from = GetLeafCluster(level, FindLeaf(level, point));
  if (from < 0 || level.iClusterFirst.size() != static_cast<size_t>(level.iClusterCount) + 1) {
    for (uint32_t e = 0; e < model.iEntries.size(); ++e) entries.push_back(e);
    return;
  }
  // Marking, then one pass in order, keeps the result sorted without a sort.
  std::vector<uint8_t> seen(model.iEntries.size(), 0);
  for (int32_t to = 0; to < level.iClusterCount; ++to) {
    if (!IsClusterVisible(level, from, to)) continue;
    for (uint32_t k = level.iClusterFirst[static_cast<size_t>(to)]; k < level.iClusterFirst[static_cast<size_t>(to) + 1]; ++k) {
      seen[level.iClusterEntries[k]] = 1;
    }
  }
  for (uint32_t e = 0; e < seen.size(); ++e) {
    if (seen[e]) entries.push_back(e);
  }
}

bool IsWayClear(const KELLevel& level, const float* a, const float* b, float step) {
  float length2 = 0;
  for (int k = 0; k < 3; ++k) length2 += (b[k] - a[k]) * (b[k] - a[k]);
  const float length = std::sqrt(length2);
  if (!(step > 0) || !std::isfinite(length)) return false;
  const double samples = std::ceil(length / step);
  if (samples > 1e6) return false;
  const int count = std::max(1, static_cast<int>(samples));
  for (int i = 0; i <= count; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(count);
    const float p[3] = {a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])};
    if (GetLeafCluster(level, FindLeaf(level, p)) < 0) return false;
  }
  return true;
}

}  // namespace kel
