// Prints what a model holds, to check the loaders on real data:
//   kel_model_info PATH [--grid N] [--gap UNITS]
// PATH is a mesh file assimp reads, a .bsp level, or ARCHIVE.pk3:maps/NAME.bsp.
// Exits with 1 and a message on standard error for a file that does not load.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KELCameraPaths.h"
#include "KELModelLoader.h"
#include "KELPartitioning.h"

namespace {

void PrintPartitions(const kel::KELModel& model) {
  std::printf("partitions:");
  const char* choices[] = {"groups", "tiles:16", "tiles:64", "grid:4", "clusters"};
  for (const char* text : choices) {
    kel::KELPartitionChoice choice;
    kel::KELPartitioning partitioning;
    std::string error;
    if (!kel::ParsePartitionChoice(text, choice, error) || !kel::AssignPartitions(model, choice, partitioning, error)) {
      continue;
    }
    std::vector<uint32_t> sizes(partitioning.iCount, 0);
    for (uint32_t p : partitioning.iOfEntry) ++sizes[p];
    const uint32_t largest = sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
    std::printf(" %s=%u(largest %u)", text, partitioning.iCount, largest);
  }
  std::printf("\n");
}

// The level's structure, and what its own visibility leaves to draw from
// each spawn point.
void PrintLevel(const kel::KELModel& model) {
  const kel::KELLevel& level = model.iLevel;
  size_t solid = 0;
  for (const kel::KELLevelLeaf& leaf : level.iLeafs) solid += leaf.iCluster < 0;
  std::printf("level: nodes=%zu leafs=%zu (solid %zu) clusters=%d visibility=%s\n", level.iNodes.size(),
              level.iLeafs.size(), solid, level.iClusterCount, level.iVisibility.empty() ? "none" : "yes");
  std::vector<size_t> potentially;
  size_t inSolid = 0;
  std::vector<uint32_t> entries;
  for (const kel::KELSpawnPoint& spawn : level.iSpawnPoints) {
    if (kel::GetLeafCluster(level, kel::FindLeaf(level, spawn.iPosition)) < 0) ++inSolid;
    kel::CollectVisibleEntries(model, spawn.iPosition, entries);
    potentially.push_back(entries.size());
  }
  std::sort(potentially.begin(), potentially.end());
  std::printf("spawn points: %zu (in solid %zu); faces in the visible clusters from a spawn point: median %zu, max %zu\n",
              level.iSpawnPoints.size(), inSolid, potentially.empty() ? 0 : potentially[potentially.size() / 2],
              potentially.empty() ? 0 : potentially.back());
  std::vector<kel::KELCameraPose> poses;
  kel::MakeLevelPath(model, kel::KELLevelPathOptions(), poses);
  size_t cuts = 0;
  for (const kel::KELCameraPose& pose : poses) cuts += pose.iCut;
  const size_t ways = level.iSpawnPoints.empty() ? 0 : level.iSpawnPoints.size() - 1;
  std::printf("camera tour: %zu frames, %zu of %zu ways between spawn points walked, %zu cut\n", poses.size(),
              ways - cuts, ways, cuts);
  for (size_t s = 0; s < level.iSpawnPoints.size() && s < 3; ++s) {
    const kel::KELSpawnPoint& spawn = level.iSpawnPoints[s];
    std::printf("  spawn %zu: (%.0f %.0f %.0f) yaw %.0f deg\n", s, spawn.iPosition[0], spawn.iPosition[1],
                spawn.iPosition[2], spawn.iYaw * 180.0f / 3.14159265f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int grid = 1;
  float gap = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--grid") == 0 && i + 1 < argc) {
      grid = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--gap") == 0 && i + 1 < argc) {
      gap = static_cast<float>(std::atof(argv[++i]));
    } else if (path.empty() && argv[i][0] != '-') {
      path = argv[i];
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: kel_model_info PATH [--grid N] [--gap UNITS]\n"
                         "  PATH: a mesh file (glTF, IFC, OBJ, ...), a .bsp level or ARCHIVE.pk3:maps/NAME.bsp\n");
    return 2;
  }
  kel::KELModel model;
  std::string error;
  if (!kel::LoadModel(path, model, error)) {
    std::fprintf(stderr, "kel_model_info: %s\n", error.c_str());
    return 1;
  }
  if (grid != 1) {
    kel::KELModel copies;
    // By default a fifth of the model's larger side between copies.
    if (gap < 0) gap = 0.2f * std::max(model.iMax[0] - model.iMin[0], model.iMax[2] - model.iMin[2]);
    if (!kel::MakeGrid(model, grid, gap, copies, error)) {
      std::fprintf(stderr, "kel_model_info: %s\n", error.c_str());
      return 1;
    }
    model = std::move(copies);
  }
  std::printf("model: %s\n", model.iName.c_str());
  std::printf("meshes=%zu entries=%zu triangles=%llu groups=%u\n", model.iMeshes.size(), model.iEntries.size(),
              static_cast<unsigned long long>(kel::CountTriangles(model)), model.iGroupCount);
  std::printf("bounds: (%.2f %.2f %.2f) to (%.2f %.2f %.2f), size %.2f x %.2f x %.2f (y up)\n", model.iMin[0],
              model.iMin[1], model.iMin[2], model.iMax[0], model.iMax[1], model.iMax[2], model.iMax[0] - model.iMin[0],
              model.iMax[1] - model.iMin[1], model.iMax[2] - model.iMin[2]);
  PrintPartitions(model);
  if (model.iIsLevel) PrintLevel(model);
  return 0;
}
