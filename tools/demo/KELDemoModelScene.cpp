#include "KELDemoModelScene.h"

#include <algorithm>
#include <cmath>

#include "KELModelLoader.h"

namespace {

float Diagonal(const kel::KELModel& model) {
  float sum = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const float size = model.iMax[axis] - model.iMin[axis];
    sum += size * size;
  }
  return std::sqrt(sum);
}

// `count` poses spread evenly over `poses`; cuts stay where a skipped
// stretch held one.
void Resample(std::vector<kel::KELCameraPose>& poses, int count) {
  if (count <= 0 || static_cast<size_t>(count) >= poses.size()) return;
  std::vector<kel::KELCameraPose> picked;
  size_t previous = 0;
  for (int i = 0; i < count; ++i) {
    const double position = count > 1 ? static_cast<double>(i) * (poses.size() - 1) / (count - 1) : 0.0;
    const size_t index = static_cast<size_t>(std::llround(position));
    kel::KELCameraPose pose = poses[index];
    for (size_t k = previous + 1; k < index; ++k) pose.iCut = pose.iCut || poses[k].iCut;
    picked.push_back(pose);
    previous = index;
  }
  poses.swap(picked);
}

// A walk at `height` above the lowest point along the diagonal of the
// ground plane, corner to corner, a twentieth inside the bounds: in a grid it
// passes both through copies and between them.
void MakeDiagonalWalk(const kel::KELModel& model, float height, int frames, std::vector<kel::KELCameraPose>& poses) {
  const float from[2] = {0.95f * model.iMin[0] + 0.05f * model.iMax[0], 0.95f * model.iMin[2] + 0.05f * model.iMax[2]};
  const float to[2] = {0.05f * model.iMin[0] + 0.95f * model.iMax[0], 0.05f * model.iMin[2] + 0.95f * model.iMax[2]};
  for (int f = 0; f < frames; ++f) {
    const float t = frames > 1 ? static_cast<float>(f) / static_cast<float>(frames - 1) : 0.0f;
    kel::KELCameraPose pose;
    pose.iEye[0] = from[0] + t * (to[0] - from[0]);
    pose.iEye[1] = model.iMin[1] + height;
    pose.iEye[2] = from[1] + t * (to[1] - from[1]);
    pose.iYaw = std::atan2(-(to[1] - from[1]), to[0] - from[0]);
    pose.iCut = f == 0;
    poses.push_back(pose);
  }
}

// Levels: the spawn-point tour. Other models: half the frames orbit, half
// walk through.
void MakeModelPath(const KELDemoModelOptions& options, const kel::KELModel& model,
                   std::vector<kel::KELCameraPose>& poses) {
  if (model.iIsLevel) {
    kel::MakeLevelPath(model, kel::KELLevelPathOptions(), poses);
    Resample(poses, options.iFrames);
    return;
  }
  const int frames = options.iFrames > 0 ? options.iFrames : 240;
  kel::MakeOrbitPath(model, frames - frames / 2, poses);
  const float height = options.iWalkHeight >= 0 ? options.iWalkHeight : 0.15f * (model.iMax[1] - model.iMin[1]);
  MakeDiagonalWalk(model, height, frames / 2, poses);
}

}  // namespace

bool MakeDemoModelScene(const KELDemoModelOptions& options, KELDemoModelScene& scene, std::string& error) {
  kel::KELModel loaded;
  if (!kel::LoadModel(options.iPath, loaded, error)) return false;
  if (options.iGrid > 1) {
    if (!kel::MakeGrid(loaded, options.iGrid, 0.25f * Diagonal(loaded), scene.iModel, error)) return false;
  } else {
    scene.iModel = std::move(loaded);
  }
  const kel::KELModel& model = scene.iModel;
  std::string rule = options.iPartitions.empty() ? (model.iIsLevel ? "clusters" : "tiles:16") : options.iPartitions;
  kel::KELPartitioning partitioning;
  if (!kel::ParsePartitionChoice(rule, scene.iPartitionChoice, error) ||
      !kel::AssignPartitions(model, scene.iPartitionChoice, partitioning, error))
    return false;

  if (!options.iPathFile.empty()) {
    if (!kel::ReadPathFile(options.iPathFile, scene.iPoses, error)) return false;
  } else {
    MakeModelPath(options, model, scene.iPoses);
  }
  if (scene.iPoses.empty()) {
    error = "the camera path of " + options.iPath + " has no poses";
    return false;
  }

  // Flat faces have boxes of no thickness lying on other surfaces; a margin
  // keeps their queries from failing the depth test against that surface.
  const float diagonal = Diagonal(model);
  scene.iMargin = options.iMargin >= 0 ? options.iMargin : 2e-4f * diagonal;
  scene.iNearPlane = std::max(1e-3f, 5e-4f * diagonal);
  kel::KELScene& boxes = scene.iScene;
  boxes.iName = model.iName;
  boxes.iPartitionCount = partitioning.iCount;
  boxes.iFarPlane = 2 * diagonal;
  boxes.iObjects.resize(model.iEntries.size());
  for (size_t index = 0; index < model.iEntries.size(); ++index) {
    const kel::KELModelEntry& entry = model.iEntries[index];
    kel::KELSceneObject& object = boxes.iObjects[index];
    for (int axis = 0; axis < 3; ++axis) {
      object.iMin[axis] = entry.iMin[axis] - scene.iMargin;
      object.iMax[axis] = entry.iMax[axis] + scene.iMargin;
    }
    object.iColor = model.iMeshes[entry.iMesh].iColor;
    object.iPartition = partitioning.iOfEntry[index];
  }
  for (int axis = 0; axis < 3; ++axis) {
    boxes.iMin[axis] = model.iMin[axis] - scene.iMargin;
    boxes.iMax[axis] = model.iMax[axis] + scene.iMargin;
  }
  return true;
}
