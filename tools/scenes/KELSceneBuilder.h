// Helpers shared by the scene generators.
#ifndef KEL_SCENE_BUILDER_H
#define KEL_SCENE_BUILDER_H

#include <cstdint>

#include "KELScene.h"

namespace kel {

// SplitMix64: small, fast and identical on every platform.
class KELSceneRandom {
public:
  explicit KELSceneRandom(uint64_t seed) : iState(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    uint64_t z = (iState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [low, high).
  float Range(float low, float high) {
    return low + (high - low) * static_cast<float>(Next() >> 40) / static_cast<float>(1ull << 24);
  }
  int Below(int count) { return static_cast<int>(Next() % static_cast<uint64_t>(count)); }

private:
  uint64_t iState;
};

uint32_t PackColor(int r, int g, int b);
// A colour near `base` (each channel moved by up to `spread`).
uint32_t VaryColor(KELSceneRandom& random, int r, int g, int b, int spread);
// Appends a box given by its centre on the ground (x, z), its base height
// and its size.
void AddBox(KELScene& scene, float x, float z, float base, float sizeX, float height, float sizeZ,
            uint32_t color, uint32_t partition);
// Recomputes the scene bounds from its objects.
void UpdateBounds(KELScene& scene);

}  // namespace kel

#endif
