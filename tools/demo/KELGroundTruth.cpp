#include "KELGroundTruth.h"

#include <algorithm>

#include "KELGLFunctions.h"
#include "KELSceneMath.h"

KELGroundTruth::KELGroundTruth(const kel::KELScene& scene, KELHeadlessContext& context, KELGLBoxRenderer& renderer)
    : iScene(scene), iContext(context), iRenderer(renderer), iCounts(scene.iObjects.size() + 1, 0) {}

void KELGroundTruth::Compute(const float planes[6][4], std::vector<KELVisibleObject>& visible) {
  iInstances.clear();
  for (size_t index = 0; index < iScene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = iScene.iObjects[index];
    if (kel::BoxOutsidePlanes(planes, object.iMin, object.iMax)) continue;
    KELGLBoxInstance instance;
    for (int axis = 0; axis < 3; ++axis) {
      instance.iMin[axis] = object.iMin[axis];
      instance.iMax[axis] = object.iMax[axis];
    }
    instance.iValue = static_cast<uint32_t>(index + 1);
    iInstances.push_back(instance);
  }
  const KELGLFunctions& gl = KELGL();
  const float background[4] = {0, 0, 0, 1};
  iContext.Clear(background);
  gl.Enable(GL_DEPTH_TEST);
  gl.DepthFunc(GL_LEQUAL);
  iContext.UseIdTarget();
  iRenderer.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELGLBoxRenderer::kIds);
  iContext.UseColorTarget();
  iIds.resize(static_cast<size_t>(iContext.GetWidth()) * iContext.GetHeight());
  iContext.ReadIds(iIds.data());

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
