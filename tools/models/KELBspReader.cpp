#include "KELBspReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kel {

namespace {

enum KELLumpIndex {
  kLumpEntities = 0,
  kLumpPlanes = 2,
  kLumpNodes = 3,
  kLumpLeafs = 4,
  kLumpLeafFaces = 5,
  kLumpModels = 7,
  kLumpVertices = 10,
  kLumpMeshVertices = 11,
  kLumpFaces = 13,
  kLumpVisibility = 16,
  kLumpCount = 17
};

enum KELFaceType { kFacePolygon = 1, kFacePatch = 2, kFaceMesh = 3, kFaceBillboard = 4 };

constexpr size_t kHeaderSize = 8 + 8 * kLumpCount;
constexpr size_t kVertexSize = 44;
constexpr size_t kFaceSize = 104;
constexpr size_t kLeafSize = 48;
constexpr size_t kNodeSize = 36;
constexpr size_t kPlaneSize = 16;
constexpr size_t kModelSize = 40;
// Tessellation makes at most about 20 vertices of each control point; more
// output than this many vertices per input vertex (faces sharing their
// vertices over and over) means a file built to exhaust memory.
constexpr uint64_t kMaxExpansion = 32;

int32_t ReadInt(const uint8_t* p) {
  uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
  int32_t result;
  std::memcpy(&result, &v, sizeof(result));
  return result;
}

float ReadFloat(const uint8_t* p) {
  int32_t bits = ReadInt(p);
  float result;
  std::memcpy(&result, &bits, sizeof(result));
  return result;
}

// The file's (x, y, z) with z up, as (x, z, -y): a rotation, so windings and
// plane distances are kept.
void ReadPoint(const uint8_t* p, float* out) {
  out[0] = ReadFloat(p);
  out[1] = ReadFloat(p + 8);
  out[2] = -ReadFloat(p + 4);
}

struct KELLump {
  const uint8_t* iData = nullptr;
  size_t iCount = 0;
};

struct KELBspInput {
  const uint8_t* iData;
  size_t iSize;
  std::string& iError;
  KELLump iLumps[kLumpCount];
};

bool Fail(std::string& error, const std::string& message) {
  error = message;
  return false;
}

std::string Describe(const char* what, int64_t index) { return std::string(what) + " " + std::to_string(index); }

// True when [first, first + count) lies within [0, limit).
bool InRange(int64_t first, int64_t count, int64_t limit) {
  return first >= 0 && count >= 0 && first <= limit && count <= limit - first;
}

bool ReadHeader(KELBspInput& input) {
  if (input.iSize < kHeaderSize) {
    return Fail(input.iError, "truncated: " + std::to_string(input.iSize) + " bytes, shorter than the header");
  }
  if (std::memcmp(input.iData, "IBSP", 4) != 0) return Fail(input.iError, "not an IBSP file (wrong magic)");
  const int32_t version = ReadInt(input.iData + 4);
  if (version != 46) return Fail(input.iError, "IBSP version " + std::to_string(version) + ", only 46 is read");
  static const size_t kRecordSizes[kLumpCount] = {1, 72, kPlaneSize, kNodeSize, kLeafSize, 4, 4, kModelSize, 12, 8,
                                                  kVertexSize, 4, 72, kFaceSize, 1, 8, 1};
  for (int l = 0; l < kLumpCount; ++l) {
    const int64_t offset = ReadInt(input.iData + 8 + 8 * l);
    const int64_t length = ReadInt(input.iData + 12 + 8 * l);
    if (!InRange(offset, length, static_cast<int64_t>(input.iSize))) {
      return Fail(input.iError, Describe("lump", l) + ": offset " + std::to_string(offset) + " and length " +
                                    std::to_string(length) + " reach past the end of the " +
                                    std::to_string(input.iSize) + "-byte file");
    }
    if (static_cast<size_t>(length) % kRecordSizes[l] != 0) {
      return Fail(input.iError, Describe("lump", l) + ": length " + std::to_string(length) +
                                    " is not a whole number of records");
    }
    input.iLumps[l].iData = input.iData + offset;
    input.iLumps[l].iCount = static_cast<size_t>(length) / kRecordSizes[l];
  }
  return true;
}

struct KELFace {
  int32_t iType;
  int32_t iVertex;
  int32_t iVertexCount;
  int32_t iMeshVertex;
  int32_t iMeshVertexCount;
  int32_t iWidth;
  int32_t iHeight;
};

KELFace ReadFace(const KELBspInput& input, size_t index) {
  const uint8_t* p = input.iLumps[kLumpFaces].iData + index * kFaceSize;
  return {ReadInt(p + 8), ReadInt(p + 12), ReadInt(p + 16), ReadInt(p + 20), ReadInt(p + 24), ReadInt(p + 96),
          ReadInt(p + 100)};
}

uint32_t ReadColor(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void AppendVertex(const KELBspInput& input, int64_t vertex, KELMesh& mesh) {
  const uint8_t* p = input.iLumps[kLumpVertices].iData + static_cast<size_t>(vertex) * kVertexSize;
  float position[3];
  float normal[3];
  ReadPoint(p, position);
  ReadPoint(p + 28, normal);
  mesh.iPositions.insert(mesh.iPositions.end(), position, position + 3);
  mesh.iNormals.insert(mesh.iNormals.end(), normal, normal + 3);
  mesh.iColors.push_back(ReadColor(p + 40));
}

// Polygons and triangle meshes: the mesh vertices index the face's vertices.
// The file winds front faces clockwise; they are turned counter-clockwise.
bool ReadTriangles(const KELBspInput& input, size_t index, const KELFace& face, KELMesh& mesh) {
  if (face.iMeshVertexCount % 3 != 0) {
    return Fail(input.iError, Describe("face", static_cast<int64_t>(index)) + ": " +
                                  std::to_string(face.iMeshVertexCount) + " mesh vertices, not whole triangles");
  }
  if (!InRange(face.iMeshVertex, face.iMeshVertexCount, static_cast<int64_t>(input.iLumps[kLumpMeshVertices].iCount))) {
    return Fail(input.iError, Describe("face", static_cast<int64_t>(index)) + ": mesh vertex range out of range");
  }
  for (int32_t v = 0; v < face.iVertexCount; ++v) AppendVertex(input, static_cast<int64_t>(face.iVertex) + v, mesh);
  const uint8_t* offsets = input.iLumps[kLumpMeshVertices].iData + static_cast<size_t>(face.iMeshVertex) * 4;
  for (int32_t i = 0; i < face.iMeshVertexCount; i += 3) {
    uint32_t corners[3];
    for (int k = 0; k < 3; ++k) {
      const int32_t offset = ReadInt(offsets + 4 * static_cast<size_t>(i + k));
      if (offset < 0 || offset >= face.iVertexCount) {
        return Fail(input.iError, Describe("face", static_cast<int64_t>(index)) + ": mesh vertex " +
                                      std::to_string(offset) + " outside its " + std::to_string(face.iVertexCount) +
                                      " vertices");
      }
      corners[k] = static_cast<uint32_t>(offset);
    }
    mesh.iIndices.insert(mesh.iIndices.end(), {corners[0], corners[2], corners[1]});
  }
  return true;
}

float Bezier(float a, float b, float c, float t) {
  const float s = 1 - t;
  return s * s * a + 2 * s * t * b + t * t * c;
}

// One biquadratic patch from 3 x 3 control points (positions and normals),
// cut into kPatchSegments x kPatchSegments quads.
void TessellatePatch(const float (*control)[6], KELMesh& mesh) {
  const uint32_t base = static_cast<uint32_t>(mesh.iPositions.size() / 3);
  for (int j = 0; j <= kPatchSegments; ++j) {
    const float v = static_cast<float>(j) / kPatchSegments;
    for (int i = 0; i <= kPatchSegments; ++i) {
      const float u = static_cast<float>(i) / kPatchSegments;
      float out[6];
      for (int c = 0; c < 6; ++c) {
        float row[3];
        for (int r = 0; r < 3; ++r) row[r] = Bezier(control[r * 3][c], control[r * 3 + 1][c], control[r * 3 + 2][c], u);
        out[c] = Bezier(row[0], row[1], row[2], v);
      }
      float length = std::sqrt(out[3] * out[3] + out[4] * out[4] + out[5] * out[5]);
      if (!(length > 0)) {
        out[3] = 0;
        out[4] = 1;
        out[5] = 0;
        length = 1;
      }
      mesh.iPositions.insert(mesh.iPositions.end(), out, out + 3);
      mesh.iNormals.insert(mesh.iNormals.end(), {out[3] / length, out[4] / length, out[5] / length});
    }
  }
  const uint32_t row = kPatchSegments + 1;
  for (uint32_t j = 0; j < kPatchSegments; ++j) {
    for (uint32_t i = 0; i < kPatchSegments; ++i) {
      const uint32_t a = base + j * row + i;
      mesh.iIndices.insert(mesh.iIndices.end(), {a, a + 1, a + row, a + 1, a + row + 1, a + row});
    }
  }
}

// Turns the patch's triangles to face where its normals point.
void OrientPatch(KELMesh& mesh) {
  double facing = 0;
  const std::vector<float>& p = mesh.iPositions;
  for (size_t t = 0; t + 2 < mesh.iIndices.size(); t += 3) {
    const float* a = &p[mesh.iIndices[t] * 3];
    const float* b = &p[mesh.iIndices[t + 1] * 3];
    const float* c = &p[mesh.iIndices[t + 2] * 3];
    const float e[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const float f[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const float n[3] = {e[1] * f[2] - e[2] * f[1], e[2] * f[0] - e[0] * f[2], e[0] * f[1] - e[1] * f[0]};
    const float* normal = &mesh.iNormals[mesh.iIndices[t] * 3];
    facing += n[0] * normal[0] + n[1] * normal[1] + n[2] * normal[2];
  }
  if (facing < 0) {
    for (size_t t = 0; t + 2 < mesh.iIndices.size(); t += 3) std::swap(mesh.iIndices[t + 1], mesh.iIndices[t + 2]);
  }
}

// Curved surfaces: a grid of width x height control points (both odd) makes
// ((width - 1) / 2) x ((height - 1) / 2) patches sharing their edges.
bool ReadPatch(const KELBspInput& input, size_t index, const KELFace& face, KELMesh& mesh, float* controlMin,
               float* controlMax) {
  const int64_t width = face.iWidth;
  const int64_t height = face.iHeight;
  if (width < 3 || height < 3 || width % 2 == 0 || height % 2 == 0 || width * height > face.iVertexCount) {
    return Fail(input.iError, Describe("face", static_cast<int64_t>(index)) + ": patch of " + std::to_string(width) +
                                  " x " + std::to_string(height) + " control points does not fit its " +
                                  std::to_string(face.iVertexCount) + " vertices");
  }
  KELMesh points;
  for (int64_t v = 0; v < width * height; ++v) AppendVertex(input, face.iVertex + v, points);
  for (int a = 0; a < 3; ++a) {
    controlMin[a] = INFINITY;
    controlMax[a] = -INFINITY;
  }
  for (size_t v = 0; v < points.iPositions.size(); ++v) {
    controlMin[v % 3] = std::min(controlMin[v % 3], points.iPositions[v]);
    controlMax[v % 3] = std::max(controlMax[v % 3], points.iPositions[v]);
  }
  for (int64_t py = 0; py + 2 < height; py += 2) {
    for (int64_t px = 0; px + 2 < width; px += 2) {
      float control[9][6];
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
          const size_t source = static_cast<size_t>((py + r) * width + px + c) * 3;
          for (int k = 0; k < 3; ++k) {
            control[r * 3 + c][k] = points.iPositions[source + k];
            control[r * 3 + c][3 + k] = points.iNormals[source + k];
          }
        }
      }
      TessellatePatch(control, mesh);
    }
  }
  OrientPatch(mesh);
  return true;
}

// The faces of the world model (movers such as doors and platforms are
// left out: no leaf lists them, so the level's visibility cannot place them).
bool ReadWorldFaces(const KELBspInput& input, int64_t& first, int64_t& count) {
  const int64_t faces = static_cast<int64_t>(input.iLumps[kLumpFaces].iCount);
  first = 0;
  count = faces;
  if (input.iLumps[kLumpModels].iCount == 0) return true;
  first = ReadInt(input.iLumps[kLumpModels].iData + 24);
  count = ReadInt(input.iLumps[kLumpModels].iData + 28);
  if (!InRange(first, count, faces)) return Fail(input.iError, "the world model's faces are out of range");
  return true;
}

// One mesh and entry per world face with triangles; faceEntry maps every
// face of the file to its entry, or UINT32_MAX.
bool ReadFaces(const KELBspInput& input, KELModel& model, std::vector<uint32_t>& faceEntry) {
  const size_t faceCount = input.iLumps[kLumpFaces].iCount;
  const int64_t vertexCount = static_cast<int64_t>(input.iLumps[kLumpVertices].iCount);
  faceEntry.assign(faceCount, UINT32_MAX);
  int64_t first = 0;
  int64_t count = 0;
  if (!ReadWorldFaces(input, first, count)) return false;
  static const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  uint64_t emitted = 0;
  const uint64_t budget = kMaxExpansion * static_cast<uint64_t>(vertexCount) + (1u << 16);
  for (size_t f = static_cast<size_t>(first); f < static_cast<size_t>(first + count); ++f) {
    const KELFace face = ReadFace(input, f);
    if (face.iType < kFacePolygon || face.iType > kFaceBillboard) {
      return Fail(input.iError, Describe("face", static_cast<int64_t>(f)) + ": unknown type " +
                                    std::to_string(face.iType));
    }
    if (face.iType == kFaceBillboard) continue;
    if (!InRange(face.iVertex, face.iVertexCount, vertexCount)) {
      return Fail(input.iError, Describe("face", static_cast<int64_t>(f)) + ": vertices " +
                                    std::to_string(face.iVertex) + " + " + std::to_string(face.iVertexCount) +
                                    " outside the " + std::to_string(vertexCount) + " vertices");
    }
    KELMesh mesh;
    float controlMin[3];
    float controlMax[3];
    const bool patch = face.iType == kFacePatch;
    if (patch ? !ReadPatch(input, f, face, mesh, controlMin, controlMax) : !ReadTriangles(input, f, face, mesh)) {
      return false;
    }
    if (mesh.iIndices.empty()) continue;
    emitted += mesh.iPositions.size() / 3;
    if (emitted > budget) return Fail(input.iError, "the faces' geometry is far larger than the file's vertices");
    faceEntry[f] = static_cast<uint32_t>(model.iEntries.size());
    model.iMeshes.push_back(std::move(mesh));
    AddEntry(model, static_cast<uint32_t>(model.iMeshes.size() - 1), kIdentity, 0, patch ? controlMin : nullptr,
             patch ? controlMax : nullptr);
  }
  return true;
}

bool ReadTree(const KELBspInput& input, KELLevel& level) {
  const KELLump& planes = input.iLumps[kLumpPlanes];
  for (size_t p = 0; p < planes.iCount; ++p) {
    KELLevelPlane plane;
    ReadPoint(planes.iData + p * kPlaneSize, plane.iNormal);
    plane.iDistance = ReadFloat(planes.iData + p * kPlaneSize + 12);
    level.iPlanes.push_back(plane);
  }
  const KELLump& nodes = input.iLumps[kLumpNodes];
  const int64_t leafCount = static_cast<int64_t>(input.iLumps[kLumpLeafs].iCount);
  for (size_t n = 0; n < nodes.iCount; ++n) {
    const uint8_t* p = nodes.iData + n * kNodeSize;
    KELLevelNode node;
    node.iPlane = ReadInt(p);
    if (node.iPlane < 0 || static_cast<size_t>(node.iPlane) >= planes.iCount) {
      return Fail(input.iError, Describe("node", static_cast<int64_t>(n)) + ": plane " + std::to_string(node.iPlane) +
                                    " out of range");
    }
    for (int c = 0; c < 2; ++c) {
      const int64_t child = ReadInt(p + 4 + 4 * c);
      node.iChildren[c] = static_cast<int32_t>(child);
      if (child >= 0 ? child >= static_cast<int64_t>(nodes.iCount) : -(child + 1) >= leafCount) {
        return Fail(input.iError, Describe("node", static_cast<int64_t>(n)) + ": child " + std::to_string(child) +
                                      " out of range");
      }
    }
    level.iNodes.push_back(node);
  }
  return true;
}

// Leafs list their faces through the leaf-face lump; faces without an entry
// are dropped from the lists.
bool ReadLeafs(const KELBspInput& input, const std::vector<uint32_t>& faceEntry, KELLevel& level) {
  const KELLump& leafs = input.iLumps[kLumpLeafs];
  const KELLump& leafFaces = input.iLumps[kLumpLeafFaces];
  int32_t maxCluster = -1;
  for (size_t l = 0; l < leafs.iCount; ++l) {
    const uint8_t* p = leafs.iData + l * kLeafSize;
    KELLevelLeaf leaf;
    leaf.iCluster = ReadInt(p);
    // Each cluster holds at least one leaf.
    if (leaf.iCluster >= static_cast<int64_t>(leafs.iCount)) {
      return Fail(input.iError, Describe("leaf", static_cast<int64_t>(l)) + ": cluster " +
                                    std::to_string(leaf.iCluster) + " out of range");
    }
    const int64_t first = ReadInt(p + 32);
    const int64_t count = ReadInt(p + 36);
    if (!InRange(first, count, static_cast<int64_t>(leafFaces.iCount))) {
      return Fail(input.iError, Describe("leaf", static_cast<int64_t>(l)) + ": leaf faces out of range");
    }
    leaf.iFirstFace = static_cast<uint32_t>(level.iLeafEntries.size());
    for (int64_t k = first; k < first + count; ++k) {
      const int32_t face = ReadInt(leafFaces.iData + static_cast<size_t>(k) * 4);
      if (face < 0 || static_cast<size_t>(face) >= faceEntry.size()) {
        return Fail(input.iError, Describe("leaf face", k) + ": face " + std::to_string(face) + " out of range");
      }
      if (faceEntry[static_cast<size_t>(face)] != UINT32_MAX) {
        level.iLeafEntries.push_back(faceEntry[static_cast<size_t>(face)]);
      }
    }
    leaf.iFaceCount = static_cast<uint32_t>(level.iLeafEntries.size()) - leaf.iFirstFace;
    maxCluster = std::max(maxCluster, leaf.iCluster);
    level.iLeafs.push_back(leaf);
  }
  level.iClusterCount = maxCluster + 1;
  return true;
}

// The visibility lump: a count of clusters, the bytes per cluster, then one
// bit vector per cluster (bit `to` of row `from`). Without it every cluster
// sees every other.
bool ReadVisibility(const KELBspInput& input, KELLevel& level) {
  const KELLump& lump = input.iLumps[kLumpVisibility];
  if (lump.iCount == 0) return true;
  if (lump.iCount < 8) return Fail(input.iError, "visibility lump: truncated header");
  const int64_t clusters = ReadInt(lump.iData);
  const int64_t bytes = ReadInt(lump.iData + 4);
  if (clusters < 0 || bytes < 0 || bytes * 8 < clusters || clusters * bytes > static_cast<int64_t>(lump.iCount) - 8) {
    return Fail(input.iError, "visibility lump: " + std::to_string(clusters) + " clusters of " +
                                  std::to_string(bytes) + " bytes do not fit its " + std::to_string(lump.iCount) +
                                  " bytes");
  }
  if (level.iClusterCount > clusters) {
    return Fail(input.iError, "leaf cluster " + std::to_string(level.iClusterCount - 1) + " out of range (" +
                                  std::to_string(clusters) + " clusters)");
  }
  level.iClusterCount = static_cast<int32_t>(clusters);
  level.iClusterBytes = static_cast<int32_t>(bytes);
  level.iVisibility.assign(lump.iData + 8, lump.iData + 8 + clusters * bytes);
  return true;
}

using KELEntity = std::vector<std::pair<std::string, std::string>>;

// A block whose classname names a player start is a spawn point: its origin
// is required, its facing comes from "angle" or the yaw of "angles".
bool AddSpawnPoint(const KELEntity& entity, KELLevel& level, std::string& error) {
  std::string classname, origin, angle, angles;
  for (const auto& pair : entity) {
    if (pair.first == "classname") classname = pair.second;
    if (pair.first == "origin") origin = pair.second;
    if (pair.first == "angle") angle = pair.second;
    if (pair.first == "angles") angles = pair.second;  // pitch yaw roll
  }
  if (classname != "info_player_deathmatch" && classname != "info_player_start") return true;
  float q[3] = {0, 0, 0};
  if (std::sscanf(origin.c_str(), "%f %f %f", &q[0], &q[1], &q[2]) != 3) {
    return Fail(error, "entities: a spawn point without a readable origin");
  }
  float pitch = 0;
  float degrees = 0;
  if (std::sscanf(angle.c_str(), "%f", &degrees) != 1) std::sscanf(angles.c_str(), "%f %f", &pitch, &degrees);
  KELSpawnPoint spawn;
  spawn.iPosition[0] = q[0];
  spawn.iPosition[1] = q[2];
  spawn.iPosition[2] = -q[1];
  spawn.iYaw = degrees * 3.14159265f / 180.0f;
  level.iSpawnPoints.push_back(spawn);
  return true;
}

// Entity text: blocks of "key" "value" pairs in braces.
bool ReadEntities(const KELBspInput& input, KELLevel& level) {
  const KELLump& lump = input.iLumps[kLumpEntities];
  const std::string text(reinterpret_cast<const char*>(lump.iData), lump.iCount);
  KELEntity entity;
  std::string key;
  bool haveKey = false;
  bool inBlock = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{') {
      inBlock = true;
      haveKey = false;
      entity.clear();
    } else if (c == '}' && inBlock) {
      inBlock = false;
      if (!AddSpawnPoint(entity, level, input.iError)) return false;
    } else if (c == '"') {
      const size_t end = text.find('"', i + 1);
      if (end == std::string::npos) return Fail(input.iError, "entities: unterminated string");
      std::string token = text.substr(i + 1, end - i - 1);
      i = end;
      if (haveKey) entity.emplace_back(key, token);
      else key = token;
      haveKey = !haveKey;
    }
  }
  return true;
}

}  // namespace

bool ReadBsp(const uint8_t* data, size_t size, const std::string& name, KELModel& model, std::string& error) {
  model = KELModel();
  model.iName = name;
  model.iIsLevel = true;
  KELBspInput input{data, size, error, {}};
  std::vector<uint32_t> faceEntry;
  if (!ReadHeader(input) || !ReadFaces(input, model, faceEntry) || !ReadTree(input, model.iLevel) ||
      !ReadLeafs(input, faceEntry, model.iLevel) || !ReadVisibility(input, model.iLevel) ||
      !ReadEntities(input, model.iLevel)) {
    return false;
  }
  if (model.iLevel.iNodes.empty() || model.iLevel.iLeafs.empty()) return Fail(error, "the level has no BSP tree");
  IndexClusterEntries(model.iLevel);
  return true;
}

}  // namespace kel
