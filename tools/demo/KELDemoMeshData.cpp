#include "KELDemoMeshData.h"

#include <cstring>

namespace {

// Area-weighted vertex normals for meshes whose file gave none.
std::vector<float> ComputeNormals(const kel::KELMesh& mesh) {
  std::vector<float> normals(mesh.iPositions.size(), 0.0f);
  const size_t vertices = mesh.iPositions.size() / 3;
  for (size_t t = 0; t + 2 < mesh.iIndices.size(); t += 3) {
    const uint32_t* corner = &mesh.iIndices[t];
    if (corner[0] >= vertices || corner[1] >= vertices || corner[2] >= vertices) continue;
    const float* a = &mesh.iPositions[corner[0] * 3];
    const float* b = &mesh.iPositions[corner[1] * 3];
    const float* c = &mesh.iPositions[corner[2] * 3];
    float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    float v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    for (int k = 0; k < 3; ++k)
      for (int axis = 0; axis < 3; ++axis) normals[corner[k] * 3 + axis] += n[axis];
  }
  return normals;
}

}  // namespace

void BuildMeshVertices(const kel::KELMesh& mesh, std::vector<KELDemoMeshVertex>& vertices,
                       std::vector<uint32_t>& indices) {
  vertices.clear();
  indices.clear();
  const size_t count = mesh.iPositions.size() / 3;
  std::vector<float> computed;
  const float* normals = mesh.iNormals.size() == mesh.iPositions.size() ? mesh.iNormals.data() : nullptr;
  if (normals == nullptr) {
    computed = ComputeNormals(mesh);
    normals = computed.data();
  }
  for (size_t v = 0; v < count; ++v) {
    KELDemoMeshVertex vertex;
    std::memcpy(vertex.iPosition, &mesh.iPositions[v * 3], sizeof(vertex.iPosition));
    std::memcpy(vertex.iNormal, &normals[v * 3], sizeof(vertex.iNormal));
    vertex.iColor = v < mesh.iColors.size() ? mesh.iColors[v] : 0xFFFFFFFFu;
    vertices.push_back(vertex);
  }
  for (size_t t = 0; t + 2 < mesh.iIndices.size(); t += 3) {
    if (mesh.iIndices[t] >= count || mesh.iIndices[t + 1] >= count || mesh.iIndices[t + 2] >= count) continue;
    for (int k = 0; k < 3; ++k) indices.push_back(mesh.iIndices[t + k]);
  }
}

void BuildMeshData(const kel::KELModel& model, KELDemoMeshData& data) {
  data = KELDemoMeshData();
  std::vector<KELDemoMeshVertex> vertices;
  std::vector<uint32_t> indices;
  for (const kel::KELMesh& mesh : model.iMeshes) {
    const uint32_t base = static_cast<uint32_t>(data.iVertices.size());
    BuildMeshVertices(mesh, vertices, indices);
    data.iVertices.insert(data.iVertices.end(), vertices.begin(), vertices.end());
    KELDemoMeshRange range{static_cast<uint32_t>(data.iIndices.size()), static_cast<uint32_t>(indices.size())};
    for (uint32_t index : indices) data.iIndices.push_back(base + index);
    data.iRanges.push_back(range);
  }
}
