#include "KELScene.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace kel {

bool MakeScene(const std::string& name, const KELSceneOptions& options, KELScene& scene) {
  if (name == "city")
    scene = MakeCity(options);
  else if (name == "plant")
    scene = MakePlant(options);
  else
    return false;
  return true;
}

KELCameraKey SampleCameraPath(const KELScene& scene, float t) {
  const std::vector<KELCameraKey>& path = scene.iPath;
  if (path.empty()) return KELCameraKey{{0, 0, 0}, {0, 0, -1}};
  std::vector<float> lengths(path.size(), 0.0f);
  for (size_t k = 1; k < path.size(); ++k) {
    float squared = 0;
    for (int axis = 0; axis < 3; ++axis) {
      float d = path[k].iEye[axis] - path[k - 1].iEye[axis];
      squared += d * d;
    }
    lengths[k] = lengths[k - 1] + std::sqrt(squared);
  }
  float along = std::min(1.0f, std::max(0.0f, t)) * lengths.back();
  size_t k = 1;
  while (k + 1 < path.size() && lengths[k] < along) ++k;
  if (path.size() == 1) return path[0];
  float span = lengths[k] - lengths[k - 1];
  float f = span > 0 ? (along - lengths[k - 1]) / span : 1.0f;
  f = std::min(1.0f, std::max(0.0f, f));
  KELCameraKey key;
  for (int axis = 0; axis < 3; ++axis) {
    key.iEye[axis] = path[k - 1].iEye[axis] + f * (path[k].iEye[axis] - path[k - 1].iEye[axis]);
    key.iTarget[axis] = path[k - 1].iTarget[axis] + f * (path[k].iTarget[axis] - path[k - 1].iTarget[axis]);
  }
  return key;
}

namespace {

bool Touching(const KELSceneObject& a, const KELSceneObject& b, float gap) {
  for (int axis = 0; axis < 3; ++axis)
    if (a.iMax[axis] + gap <= b.iMin[axis] || b.iMax[axis] + gap <= a.iMin[axis]) return false;
  return true;
}

}  // namespace

bool FindTouchingObjects(const KELScene& scene, float gap, size_t& a, size_t& b) {
  // A uniform grid on x and z; each object is listed in every cell it spans.
  const float cell = 8.0f;
  std::unordered_map<int64_t, std::vector<size_t>> grid;
  for (size_t index = 0; index < scene.iObjects.size(); ++index) {
    const KELSceneObject& object = scene.iObjects[index];
    int x0 = static_cast<int>(std::floor((object.iMin[0] - gap) / cell));
    int x1 = static_cast<int>(std::floor((object.iMax[0] + gap) / cell));
    int z0 = static_cast<int>(std::floor((object.iMin[2] - gap) / cell));
    int z1 = static_cast<int>(std::floor((object.iMax[2] + gap) / cell));
    for (int x = x0; x <= x1; ++x)
      for (int z = z0; z <= z1; ++z) {
        std::vector<size_t>& list = grid[(static_cast<int64_t>(x) << 32) ^ static_cast<uint32_t>(z)];
        for (size_t other : list)
          if (Touching(scene.iObjects[other], object, gap)) {
            a = other;
            b = index;
            return true;
          }
        list.push_back(index);
      }
  }
  return false;
}

}  // namespace kel
