// Models made by others, as triangle meshes placed in the world: one entry
// per mesh instance (or per face of a game level), each with the world-space
// box and sphere of its transformed vertices. Coordinates are right-handed
// with +y up, like the procedural scenes. Plain C++, no graphics dependency.
#ifndef KEL_MODEL_H
#define KEL_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

struct KELMesh {
  std::vector<float> iPositions;  // x, y, z per vertex
  std::vector<float> iNormals;    // x, y, z per vertex, as the file gives them
  std::vector<uint32_t> iIndices; // triangles; counter-clockwise seen from the front in levels and glTF
  std::vector<uint32_t> iColors;  // RGBA8 per vertex (red in the low byte), or empty
  uint32_t iColor = 0xFFB4B4B4u;  // RGBA8, used where iColors is empty
};

// One drawable object: a mesh placed by a matrix.
struct KELModelEntry {
  uint32_t iMesh = 0;
  float iMatrix[16];      // column-major, translation in 12..14
  float iMin[3];          // world-space box of the transformed vertices
  float iMax[3];
  float iCenter[3];       // bounding sphere around the box centre
  float iRadius = 0;
  uint32_t iGroup = 0;    // top-level node of a mesh file, numbered apart in each copy of a grid
};

struct KELSpawnPoint {
  float iPosition[3];
  float iYaw = 0;  // radians about +y; 0 faces +x, pi/2 faces -z
};

struct KELLevelPlane {
  float iNormal[3];
  float iDistance = 0;  // points p with dot(normal, p) >= distance are in front
};

struct KELLevelNode {
  int32_t iPlane = 0;
  // >= 0: a node; < 0: the leaf -(child + 1).
  int32_t iChildren[2] = {0, 0};  // front, back
};

struct KELLevelLeaf {
  int32_t iCluster = -1;  // < 0: solid or outside the level
  uint32_t iFirstFace = 0;  // into KELLevel::iLeafEntries
  uint32_t iFaceCount = 0;
};

// The level's own spatial structure and precomputed visibility.
struct KELLevel {
  std::vector<KELLevelPlane> iPlanes;
  std::vector<KELLevelNode> iNodes;
  std::vector<KELLevelLeaf> iLeafs;
  // Entry index per leaf face; faces that give no entry (billboards, empty
  // faces, movers) are left out.
  std::vector<uint32_t> iLeafEntries;
  int32_t iClusterCount = 0;
  int32_t iClusterBytes = 0;        // bytes per cluster's row of iVisibility
  std::vector<uint8_t> iVisibility; // empty: every cluster sees every other
  // The entries of each cluster's leafs, each once: cluster c's are
  // iClusterEntries[iClusterFirst[c] .. iClusterFirst[c + 1]).
  std::vector<uint32_t> iClusterFirst;
  std::vector<uint32_t> iClusterEntries;
  std::vector<KELSpawnPoint> iSpawnPoints;
};

struct KELModel {
  std::string iName;
  std::vector<KELMesh> iMeshes;
  std::vector<KELModelEntry> iEntries;
  uint32_t iGroupCount = 1;
  float iMin[3] = {0, 0, 0};
  float iMax[3] = {0, 0, 0};
  bool iIsLevel = false;  // iLevel is filled
  KELLevel iLevel;
};

// Appends an entry for mesh `mesh` placed by `matrix` (column-major), with
// its box and sphere computed from the transformed vertices, and grows the
// model's bounds. `controlMin`/`controlMax`, when given, widen the box (the
// control points of a curved surface bound it more surely than its
// tessellation).
void AddEntry(KELModel& model, uint32_t mesh, const float* matrix, uint32_t group,
              const float* controlMin = nullptr, const float* controlMax = nullptr);
// Recomputes the model's bounds from its entries' boxes.
void UpdateModelBounds(KELModel& model);
// Total triangles over all entries.
uint64_t CountTriangles(const KELModel& model);

// N x N copies of `source` on the ground plane (x, z), `gap` apart between
// their bounds; the meshes are shared, each copy has its own groups. False
// (with a message) for a level, whose structure cannot be copied, for N < 1,
// and for more than 2^24 entries in all.
bool MakeGrid(const KELModel& source, int count, float gap, KELModel& grid, std::string& error);

// The leaf that holds `point` (walks the nodes), or -1 for a level without
// nodes or a malformed tree.
int32_t FindLeaf(const KELLevel& level, const float* point);
// The cluster of a leaf; < 0 for solid space or an invalid leaf.
int32_t GetLeafCluster(const KELLevel& level, int32_t leaf);
// Whether cluster `from` may see cluster `to` by the level's visibility data.
// False where either is negative or out of range.
bool IsClusterVisible(const KELLevel& level, int32_t from, int32_t to);
// Fills iClusterFirst and iClusterEntries from the leafs; call once the
// leafs and the cluster count are set, before CollectVisibleEntries.
void IndexClusterEntries(KELLevel& level);
// The entries (sorted, each once) of the leafs whose clusters the cluster of
// `point` may see. A point in solid space sees every entry: nothing can be
// ruled out from there.
void CollectVisibleEntries(const KELModel& model, const float* point, std::vector<uint32_t>& entries);
// Whether the straight way from a to b stays out of solid space, sampled
// every `step` units (both ends included).
bool IsWayClear(const KELLevel& level, const float* a, const float* b, float step);

}  // namespace kel

#endif
