#include "KELPackTestData.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

void MakeBoxMesh(const float* min, const float* max, uint32_t color, std::vector<KELPackVertex>& vertices,
                 std::vector<uint32_t>& indices) {
  vertices.clear();
  indices.clear();
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int u = (axis + 1) % 3, v = (axis + 2) % 3;
      const uint32_t base = static_cast<uint32_t>(vertices.size());
      for (int corner = 0; corner < 4; ++corner) {
        KELPackVertex vertex = {};
        vertex.iPosition[axis] = side ? max[axis] : min[axis];
        vertex.iPosition[u] = (corner & 1) ? max[u] : min[u];
        vertex.iPosition[v] = (corner & 2) ? max[v] : min[v];
        vertex.iNormal[axis] = side ? 1.0f : -1.0f;
        vertex.iColor = color;
        vertices.push_back(vertex);
      }
      for (uint32_t index : {0u, 1u, 3u, 0u, 3u, 2u}) indices.push_back(base + index);
    }
}

bool WriteTestPack(const std::string& path, const KELTestPack& pack, std::string& error) {
  KELPackWriter writer;
  if (!writer.Open(path, pack.iPartitions, error)) return false;
  std::vector<KELPackVertex> vertices;
  std::vector<uint32_t> indices;
  for (uint32_t e = 0; e < pack.iEntries; ++e) {
    const float x = 1.5f * static_cast<float>(e % pack.iColumns), z = 1.5f * static_cast<float>(e / pack.iColumns);
    const bool placed = pack.iMatrices && e % 3 == 1;
    // A placed entry's mesh sits at the origin; its matrix moves it.
    const float origin[3] = {placed ? 0.0f : x, 0.0f, placed ? 0.0f : z};
    const float meshMin[3] = {origin[0], origin[1], origin[2]};
    const float meshMax[3] = {origin[0] + 1.0f, origin[1] + 1.0f + 0.1f * static_cast<float>(e % 5), origin[2] + 1.0f};
    MakeBoxMesh(meshMin, meshMax, 0xFF000000u | (e * 2654435761u >> 8), vertices, indices);
    const float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, 0, z, 1};
    KELPackWriterEntry entry;
    const float min[3] = {x, 0.0f, z};
    const float max[3] = {x + 1.0f, meshMax[1], z + 1.0f};
    for (int axis = 0; axis < 3; ++axis) {
      entry.iMin[axis] = min[axis];
      entry.iMax[axis] = max[axis];
    }
    entry.iRadius = 1.0f;
    entry.iPartition = e % pack.iPartitions;
    entry.iMatrix = placed ? matrix : nullptr;
    entry.iVertices = vertices.data();
    entry.iVertexCount = static_cast<uint32_t>(vertices.size());
    entry.iIndices = indices.data();
    entry.iIndexCount = static_cast<uint32_t>(indices.size());
    if (!writer.Add(entry, error)) return false;
  }
  return writer.Finish(error);
}

std::string TestPackPath(const std::string& name) {
  return std::filesystem::temp_directory_path().string() + "/" + name + "-" + std::to_string(getpid()) + ".kelpack";
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}
