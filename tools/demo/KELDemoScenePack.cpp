#include "KELDemoScenePack.h"

#include <cmath>
#include <cstring>

#include "KELDemoMeshData.h"

namespace {

struct KELMeshVertices {
  std::vector<KELDemoMeshVertex> iVertices;
  std::vector<uint32_t> iIndices;
};

// A procedural object: its box with a face normal per side.
void BoxVertices(const kel::KELSceneObject& object, KELMeshVertices& mesh) {
  mesh.iVertices.clear();
  mesh.iIndices.clear();
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int u = (axis + 1) % 3, v = (axis + 2) % 3;
      const uint32_t base = static_cast<uint32_t>(mesh.iVertices.size());
      for (int corner = 0; corner < 4; ++corner) {
        KELDemoMeshVertex vertex = {};
        vertex.iPosition[axis] = side ? object.iMax[axis] : object.iMin[axis];
        vertex.iPosition[u] = (corner & 1) ? object.iMax[u] : object.iMin[u];
        vertex.iPosition[v] = (corner & 2) ? object.iMax[v] : object.iMin[v];
        vertex.iNormal[axis] = side ? 1.0f : -1.0f;
        vertex.iColor = 0xFFFFFFFFu;
        mesh.iVertices.push_back(vertex);
      }
      for (uint32_t index : {0u, 1u, 3u, 0u, 3u, 2u}) mesh.iIndices.push_back(base + index);
    }
}

// A model entry's mesh in world space: positions through its matrix,
// normals through its upper 3x3 (the shaders normalise them).
void PlaceVertices(const KELMeshVertices& mesh, const float* m, KELMeshVertices& placed) {
  placed.iVertices.resize(mesh.iVertices.size());
  for (size_t v = 0; v < mesh.iVertices.size(); ++v) {
    const KELDemoMeshVertex& in = mesh.iVertices[v];
    KELDemoMeshVertex& out = placed.iVertices[v];
    for (int r = 0; r < 3; ++r) {
      out.iPosition[r] = m[r] * in.iPosition[0] + m[4 + r] * in.iPosition[1] + m[8 + r] * in.iPosition[2] + m[12 + r];
      out.iNormal[r] = m[r] * in.iNormal[0] + m[4 + r] * in.iNormal[1] + m[8 + r] * in.iNormal[2];
    }
    out.iColor = in.iColor;
  }
  placed.iIndices = mesh.iIndices;
}

}  // namespace

float GetSceneObjectRadius(const kel::KELSceneObject& object) {
  float radius = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const float half = 0.5f * (object.iMax[axis] - object.iMin[axis]);
    radius += half * half;
  }
  return std::sqrt(radius);
}

bool WriteScenePack(const kel::KELScene& scene, const kel::KELModel* model, const std::string& path,
                    KELScenePackStats& stats, std::string& error, const std::function<void(uint32_t)>& progress) {
  stats = KELScenePackStats();
  if (model != nullptr && model->iEntries.size() != scene.iObjects.size()) {
    error = "the model and the scene do not match";
    return false;
  }
  KELPackWriter writer;
  if (!writer.Open(path, scene.iPartitionCount, error)) return false;
  // Each mesh once, as the renderers build it; entries place a copy.
  std::vector<KELMeshVertices> meshes(model != nullptr ? model->iMeshes.size() : 0);
  for (size_t m = 0; m < meshes.size(); ++m)
    BuildMeshVertices(model->iMeshes[m], meshes[m].iVertices, meshes[m].iIndices);
  KELMeshVertices placed;
  for (uint32_t index = 0; index < scene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = scene.iObjects[index];
    if (model != nullptr) {
      const kel::KELModelEntry& entry = model->iEntries[index];
      PlaceVertices(meshes[entry.iMesh], entry.iMatrix, placed);
    } else {
      BoxVertices(object, placed);
    }
    KELPackWriterEntry input;
    std::memcpy(input.iMin, object.iMin, sizeof(input.iMin));
    std::memcpy(input.iMax, object.iMax, sizeof(input.iMax));
    input.iRadius = GetSceneObjectRadius(object);
    input.iPartition = object.iPartition;
    input.iVertices = placed.iVertices.data();
    input.iVertexCount = static_cast<uint32_t>(placed.iVertices.size());
    input.iIndices = placed.iIndices.data();
    input.iIndexCount = static_cast<uint32_t>(placed.iIndices.size());
    if (!writer.Add(input, error)) return false;
    stats.iTriangles += input.iIndexCount / 3;
    if (progress && (index % 4096 == 0 || index + 1 == scene.iObjects.size())) progress(index + 1);
  }
  stats.iEntries = writer.GetEntryCount();
  stats.iPackedBytes = writer.GetPackedBytes();
  stats.iUnpackedBytes = writer.GetUnpackedBytes();
  return writer.Finish(error);
}

bool CheckPackMatchesScene(const KELPackIndex& index, const kel::KELScene& scene, std::string& error) {
  if (index.GetEntryCount() != scene.iObjects.size() || index.GetPartitionCount() != scene.iPartitionCount) {
    error = "the pack holds " + std::to_string(index.GetEntryCount()) + " entries in " +
            std::to_string(index.GetPartitionCount()) + " partitions, the scene " +
            std::to_string(scene.iObjects.size()) + " in " + std::to_string(scene.iPartitionCount) +
            ": it was written for another model or other options";
    return false;
  }
  for (uint32_t e = 0; e < index.GetEntryCount(); ++e) {
    const KELPackEntry& entry = index.GetEntry(e);
    const kel::KELSceneObject& object = scene.iObjects[e];
    if (std::memcmp(entry.iMin, object.iMin, sizeof(entry.iMin)) != 0 ||
        std::memcmp(entry.iMax, object.iMax, sizeof(entry.iMax)) != 0 || entry.iPartition != object.iPartition ||
        entry.iRadius != GetSceneObjectRadius(object)) {
      error = "entry " + std::to_string(e) +
              " of the pack differs from the scene's (box, sphere or partition): it was written for another model "
              "or other options";
      return false;
    }
  }
  return true;
}
