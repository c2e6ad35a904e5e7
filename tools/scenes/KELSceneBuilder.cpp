#include "KELSceneBuilder.h"

#include <algorithm>
#include <cmath>

namespace kel {

uint32_t PackColor(int r, int g, int b) {
  auto clamp = [](int v) { return static_cast<uint32_t>(std::min(255, std::max(0, v))); };
  return clamp(r) | (clamp(g) << 8) | (clamp(b) << 16) | 0xff000000u;
}

uint32_t VaryColor(KELSceneRandom& random, int r, int g, int b, int spread) {
  int shift = static_cast<int>(random.Range(static_cast<float>(-spread), static_cast<float>(spread)));
  return PackColor(r + shift, g + shift, b + shift);
}

void AddBox(KELScene& scene, float x, float z, float base, float sizeX, float height, float sizeZ,
            uint32_t color, uint32_t partition) {
  KELSceneObject object;
  object.iMin[0] = x - sizeX * 0.5f;
  object.iMin[1] = base;
  object.iMin[2] = z - sizeZ * 0.5f;
  object.iMax[0] = x + sizeX * 0.5f;
  object.iMax[1] = base + height;
  object.iMax[2] = z + sizeZ * 0.5f;
  object.iColor = color;
  object.iPartition = partition;
  scene.iObjects.push_back(object);
}

void UpdateBounds(KELScene& scene) {
  for (int axis = 0; axis < 3; ++axis) {
    scene.iMin[axis] = 1e30f;
    scene.iMax[axis] = -1e30f;
  }
  for (const KELSceneObject& object : scene.iObjects)
    for (int axis = 0; axis < 3; ++axis) {
      scene.iMin[axis] = std::min(scene.iMin[axis], object.iMin[axis]);
      scene.iMax[axis] = std::max(scene.iMax[axis], object.iMax[axis]);
    }
}

}  // namespace kel
