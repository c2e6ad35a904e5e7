#include "KELModelLoader.h"

#ifdef KEL_MODELS_HAVE_ASSIMP
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#endif

#include <algorithm>
#include <cmath>
#include <vector>

namespace kel {

#ifdef KEL_MODELS_HAVE_ASSIMP

namespace {

uint32_t PackUnitColor(float r, float g, float b, float a) {
  auto channel = [](float v) {
    const float clamped = v > 0 ? (v < 1 ? v : 1) : 0;  // NaN gives 0
    return static_cast<uint32_t>(clamped * 255.0f + 0.5f);
  };
  return channel(r) | channel(g) << 8 | channel(b) << 16 | channel(a) << 24;
}

// The triangles of one assimp mesh; points and lines are left out. Meshes
// without normals get flat ones from their triangles.
KELMesh ConvertMesh(const aiScene& scene, const aiMesh& source) {
  KELMesh mesh;
  for (unsigned v = 0; v < source.mNumVertices; ++v) {
    const aiVector3D& p = source.mVertices[v];
    mesh.iPositions.insert(mesh.iPositions.end(), {p.x, p.y, p.z});
    const aiVector3D n = source.mNormals ? source.mNormals[v] : aiVector3D(0, 1, 0);
    mesh.iNormals.insert(mesh.iNormals.end(), {n.x, n.y, n.z});
    if (source.mColors[0]) {
      const aiColor4D& c = source.mColors[0][v];
      mesh.iColors.push_back(PackUnitColor(c.r, c.g, c.b, c.a));
    }
  }
  for (unsigned f = 0; f < source.mNumFaces; ++f) {
    const aiFace& face = source.mFaces[f];
    // Importers differ in how they check indices; one past the vertices
    // would send a renderer out of its buffer.
    if (face.mNumIndices != 3 || face.mIndices[0] >= source.mNumVertices || face.mIndices[1] >= source.mNumVertices ||
        face.mIndices[2] >= source.mNumVertices) {
      continue;
    }
    mesh.iIndices.insert(mesh.iIndices.end(), {face.mIndices[0], face.mIndices[1], face.mIndices[2]});
  }
  aiColor4D diffuse;
  if (source.mMaterialIndex < scene.mNumMaterials &&
      scene.mMaterials[source.mMaterialIndex]->Get(AI_MATKEY_COLOR_DIFFUSE, diffuse) == AI_SUCCESS) {
    mesh.iColor = PackUnitColor(diffuse.r, diffuse.g, diffuse.b, 1);
  }
  return mesh;
}

// assimp's matrices are row-major with the translation in the last column;
// ours are column-major.
void ToColumnMajor(const aiMatrix4x4& m, float* out) {
  const float rows[4][4] = {{m.a1, m.a2, m.a3, m.a4}, {m.b1, m.b2, m.b3, m.b4}, {m.c1, m.c2, m.c3, m.c4},
                            {m.d1, m.d2, m.d3, m.d4}};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out[c * 4 + r] = rows[r][c];
}

// Groups are the nodes of the first level of the tree that has at least
// this many nodes: a house's storeys are too few to matter, its walls and
// windows are not. Meshes above that level share one more group.
constexpr size_t kMinGroups = 8;
constexpr int kMaxDepth = 256;

int FindGroupDepth(const aiNode& root) {
  std::vector<const aiNode*> level = {&root};
  int depth = 0;
  while (level.size() < kMinGroups && depth < kMaxDepth) {
    std::vector<const aiNode*> next;
    for (const aiNode* node : level)
      for (unsigned c = 0; c < node->mNumChildren; ++c) next.push_back(node->mChildren[c]);
    if (next.empty()) break;
    level.swap(next);
    ++depth;
  }
  return depth;
}

struct KELNodeWalk {
  const std::vector<int64_t>& iMeshOf;
  int iGroupDepth;
  uint32_t iNextGroup = 0;
  KELModel& iModel;
};

// Adds an entry per mesh of `node` and its descendants. Deeper or cyclic
// node graphs stop at a fixed depth.
void AddNode(const aiNode& node, const aiMatrix4x4& parent, int depth, uint32_t group, KELNodeWalk& walk) {
  if (depth > kMaxDepth) return;
  if (depth == walk.iGroupDepth) group = walk.iNextGroup++;
  const aiMatrix4x4 world = parent * node.mTransformation;
  float matrix[16];
  ToColumnMajor(world, matrix);
  for (unsigned m = 0; m < node.mNumMeshes; ++m) {
    const unsigned source = node.mMeshes[m];
    if (source < walk.iMeshOf.size() && walk.iMeshOf[source] >= 0) {
      AddEntry(walk.iModel, static_cast<uint32_t>(walk.iMeshOf[source]), matrix, group);
    }
  }
  for (unsigned c = 0; c < node.mNumChildren; ++c) AddNode(*node.mChildren[c], world, depth + 1, group, walk);
}

}  // namespace

bool LoadSceneFile(const std::string& path, KELModel& model, std::string& error) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(
      path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices | aiProcess_GenSmoothNormals | aiProcess_SortByPType);
  if (!scene || !scene->mRootNode) {
    error = path + ": " + importer.GetErrorString();
    return false;
  }
  model = KELModel();
  const size_t slash = path.find_last_of('/');
  model.iName = slash == std::string::npos ? path : path.substr(slash + 1);
  std::vector<int64_t> meshOf(scene->mNumMeshes, -1);
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    KELMesh mesh = ConvertMesh(*scene, *scene->mMeshes[m]);
    if (mesh.iIndices.empty()) continue;
    meshOf[m] = static_cast<int64_t>(model.iMeshes.size());
    model.iMeshes.push_back(std::move(mesh));
  }
  KELNodeWalk walk{meshOf, FindGroupDepth(*scene->mRootNode), 0, model};
  AddNode(*scene->mRootNode, aiMatrix4x4(), 0, UINT32_MAX, walk);
  // The meshes above the group level make the last group.
  for (KELModelEntry& entry : model.iEntries) entry.iGroup = std::min(entry.iGroup, walk.iNextGroup);
  model.iGroupCount = walk.iNextGroup + 1;
  if (model.iEntries.empty()) {
    error = path + ": no triangles";
    return false;
  }
  return true;
}

#else

bool LoadSceneFile(const std::string& path, KELModel& model, std::string& error) {
  (void)model;
  error = path + ": this build reads no mesh files (assimp was missing)";
  return false;
}

#endif

}  // namespace kel
