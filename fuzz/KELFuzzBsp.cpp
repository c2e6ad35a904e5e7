// libFuzzer harness for the level reader: any input either reads, and then
// answers every level query without a fault, or fails with a message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KELBspReader.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "level invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kel::KELModel model;
  std::string error;
  if (!kel::ReadBsp(data, size, "fuzz", model, error)) {
    Check(!error.empty(), "a failure without a message");
    return 0;
  }
  const kel::KELLevel& level = model.iLevel;
  for (uint32_t entry : level.iLeafEntries) Check(entry < model.iEntries.size(), "a leaf lists a missing entry");
  for (const kel::KELModelEntry& entry : model.iEntries) {
    Check(entry.iMesh < model.iMeshes.size(), "an entry without its mesh");
    const kel::KELMesh& mesh = model.iMeshes[entry.iMesh];
    for (uint32_t index : mesh.iIndices) Check(index < mesh.iPositions.size() / 3, "an index past the vertices");
  }
  // Probe the spawn points, the entries' centres and the ways between them.
  std::vector<const float*> points;
  for (const kel::KELSpawnPoint& spawn : level.iSpawnPoints) points.push_back(spawn.iPosition);
  for (size_t e = 0; e < model.iEntries.size() && e < 64; ++e) points.push_back(model.iEntries[e].iCenter);
  std::vector<uint32_t> visible;
  for (size_t p = 0; p < points.size(); ++p) {
    const int32_t leaf = kel::FindLeaf(level, points[p]);
    Check(leaf >= -1 && leaf < static_cast<int32_t>(level.iLeafs.size()), "a leaf out of range");
    kel::CollectVisibleEntries(model, points[p], visible);
    for (uint32_t entry : visible) Check(entry < model.iEntries.size(), "a visible entry out of range");
    if (p > 0) kel::IsWayClear(level, points[p - 1], points[p], 64);
  }
  return 0;
}
