// A model's meshes as one vertex array and one index array, the layout both
// of the demo's renderers upload: indices rebased so that each mesh draws
// its own index range with no base vertex, normals computed where the file
// gave none, white where it gave no colours.
#ifndef KEL_DEMO_MESH_DATA_H
#define KEL_DEMO_MESH_DATA_H

#include <cstdint>
#include <vector>

#include "KELModel.h"
#include "KELStreaming.h"

// The vertex both renderers draw is the packed one, so that streamed
// entries and uploaded models share their pipelines.
using KELDemoMeshVertex = KELPackVertex;

struct KELDemoMeshRange {
  uint32_t iFirstIndex;
  uint32_t iIndexCount;
};

struct KELDemoMeshData {
  std::vector<KELDemoMeshVertex> iVertices;
  std::vector<uint32_t> iIndices;
  std::vector<KELDemoMeshRange> iRanges;  // one per mesh of the model
};

// Gathers every mesh of `model`; triangles with an index out of range are
// dropped.
void BuildMeshData(const kel::KELModel& model, KELDemoMeshData& data);
// One mesh's vertices and its triangles, as BuildMeshData gathers them.
void BuildMeshVertices(const kel::KELMesh& mesh, std::vector<KELDemoMeshVertex>& vertices,
                       std::vector<uint32_t>& indices);

#endif
