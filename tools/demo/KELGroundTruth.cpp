#include "KELGroundTruth.h"

#include <algorithm>

#include "KELSceneMath.h"

KELGroundTruth::KELGroundTruth(const kel::KELScene& scene, KELDemoRenderer& renderer)
    : iScene(scene), iRenderer(renderer), iCounts(scene.iObjects.size() + 1, 0) {}

void KELGroundTruth::Compute(const float* viewProjection, const float planes[6][4],
                             std::vector<KELVisibleObject>& visible) {
  iIndices.clear();
  for (size_t index = 0; index < iScene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = iScene.iObjects[index];
    if (!kel::BoxOutsidePlanes(planes, object.iMin, object.iMax)) iIndices.push_back(static_cast<uint32_t>(index));
  }
  iIds.resize(static_cast<size_t>(iRenderer.GetWidth()) * iRenderer.GetHeight());
  iRenderer.RenderIds(iIndices.data(), static_cast<uint32_t>(iIndices.size()), viewProjection, iIds.data());

  visible.clear();
  for (uint32_t id : iIds)
    if (id != 0 && id < iCounts.size() && iCounts[id]++ == 0) visible.push_back(KELVisibleObject{id - 1, 0});
  for (KELVisibleObject& object : visible) {
    object.iPixels = iCounts[object.iIndex + 1];
    iCounts[object.iIndex + 1] = 0;
  }
  std::sort(visible.begin(), visible.end(),
            [](const KELVisibleObject& a, const KELVisibleObject& b) { return a.iIndex < b.iIndex; });
}
