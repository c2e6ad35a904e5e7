// The demo's scene as a pack: one entry per scene object, with the box,
// sphere and partition the demo culls with, and as geometry a model entry's
// mesh placed in world space (each copy of a grid written as geometry of
// its own) or a procedural object's box.
#ifndef KEL_DEMO_SCENE_PACK_H
#define KEL_DEMO_SCENE_PACK_H

#include <functional>
#include <string>

#include "KELModel.h"
#include "KELScene.h"
#include "KELStreaming.h"

struct KELScenePackStats {
  uint32_t iEntries = 0;
  uint64_t iTriangles = 0;
  uint64_t iPackedBytes = 0;
  uint64_t iUnpackedBytes = 0;
};

// The bounding sphere's radius the demo gives the library for an object:
// half the diagonal of its box, around the box's centre.
float GetSceneObjectRadius(const kel::KELSceneObject& object);

// Writes the pack; `model` (one entry per scene object) or null for a
// procedural scene. Only the model's meshes and one entry's geometry are
// held at a time. `progress` gets the entries written so far.
bool WriteScenePack(const kel::KELScene& scene, const kel::KELModel* model, const std::string& path,
                    KELScenePackStats& stats, std::string& error,
                    const std::function<void(uint32_t)>& progress = nullptr);

// Whether `index` holds the scene's objects: their count, boxes, spheres
// and partitions. False with the first difference in `error`.
bool CheckPackMatchesScene(const KELPackIndex& index, const kel::KELScene& scene, std::string& error);

#endif
