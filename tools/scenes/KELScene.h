// Procedural test scenes made of axis-aligned boxes, deterministic by seed.
// Objects never touch: the generators leave a small gap between them, so no
// two objects share a coplanar face and a ground-truth ID image does not
// depend on drawing order. Plain C++, no graphics dependency.
#ifndef KEL_SCENE_H
#define KEL_SCENE_H

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

struct KELSceneObject {
  float iMin[3];
  float iMax[3];
  uint32_t iColor;      // RGBA8, red in the low byte
  uint32_t iPartition;  // which of the scene's partitions holds it
};

struct KELCameraKey {
  float iEye[3];
  float iTarget[3];
};

struct KELScene {
  std::string iName;
  uint32_t iPartitionCount = 0;
  std::vector<KELSceneObject> iObjects;
  std::vector<KELCameraKey> iPath;  // walked at constant speed
  float iMin[3] = {0, 0, 0};
  float iMax[3] = {0, 0, 0};
  float iFarPlane = 1000;
};

struct KELSceneOptions {
  uint32_t iSeed = 1;
  // City: blocks per side; plant: process units per side.
  int iSize = 18;
};

// Blocks of buildings between streets full of small props, ground slabs,
// several partitions; a street-level walk that ends in a fly-over.
KELScene MakeCity(const KELSceneOptions& options);
// A dense process plant: tanks, pumps and pipe racks in corridors; a walk
// along the corridors and a fly-over.
KELScene MakePlant(const KELSceneOptions& options);
// By name ("city", "plant"); false for an unknown name.
bool MakeScene(const std::string& name, const KELSceneOptions& options, KELScene& scene);

// The camera at t in [0, 1] along the scene's path.
KELCameraKey SampleCameraPath(const KELScene& scene, float t);

// Whether any two objects overlap or touch (gap below `gap`); used to check
// the generators. Returns the first offending pair through a and b.
bool FindTouchingObjects(const KELScene& scene, float gap, size_t& a, size_t& b);

}  // namespace kel

#endif
