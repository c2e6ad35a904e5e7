#include "KELDemoFrameLog.h"

#include "KELSceneMath.h"

KELDemoFrameLog::KELDemoFrameLog(const kel::KELScene& scene)
    : iObjects(scene.iObjects), iDrawnStamp(scene.iObjects.size(), 0), iStamp(0) {}

void KELDemoFrameLog::BeginFrame() {
  ++iStamp;
  iDrawn.clear();
  iTouched.clear();
  iMissingMeshes = 0;
}

void KELDemoFrameLog::MarkDrawn(uint32_t index) {
  if (iDrawnStamp[index] == iStamp) return;
  iDrawnStamp[index] = iStamp;
  iDrawn.push_back(index);
}

bool KELDemoFrameLog::IsSkipped(uint32_t index) const {
  if (iAllowed != nullptr && !iAllowed[index]) return true;
  return iViewPlanes != nullptr && kel::BoxOutsidePlanes(iViewPlanes, iObjects[index].iMin, iObjects[index].iMax);
}
