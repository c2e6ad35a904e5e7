// Writes small IBSP level files for the tests and the fuzzer's seeds.
#ifndef KEL_BSP_WRITER_H
#define KEL_BSP_WRITER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct KELBspWriter {
  std::string iEntities;
  std::vector<std::array<float, 4>> iPlanes;     // normal, distance (z up)
  std::vector<std::array<int32_t, 3>> iNodes;    // plane, front, back
  std::vector<std::array<int32_t, 3>> iLeafs;    // cluster, first leaf face, count
  std::vector<int32_t> iLeafFaces;
  std::vector<std::array<float, 6>> iVertices;   // position, normal (z up)
  std::vector<int32_t> iMeshVertices;
  // type, vertex, vertex count, mesh vertex, mesh vertex count, width, height
  std::vector<std::array<int32_t, 7>> iFaces;
  int32_t iClusters = 0;
  int32_t iClusterBytes = 0;
  std::vector<uint8_t> iVisibility;  // iClusters rows of iClusterBytes
  bool iWorldModel = true;           // a models lump whose model 0 holds every face

  std::vector<uint8_t> Write() const;
};

// Along x, in z-up units: solid below 0, cluster 0 up to 100, a solid wall
// to 150, cluster 1 to 250, cluster 2 beyond. Cluster 0 sees itself only,
// 1 sees 1 and 2, 2 sees all. Faces: 0 a quad floor in cluster 0, 1 a
// triangle mesh in cluster 1, 2 a 3 x 3 patch bump 40 high in cluster 2
// (its rows run along x, so its grid order winds clockwise from above),
// 3 a billboard, 4 a triangle listed by the leafs of clusters 1 and 2.
// Two spawn points, at (50 20 30) facing 90 degrees ("angle") and at
// (200 0 0) facing 45 degrees ("angles").
KELBspWriter MakeTestLevel();

#endif
