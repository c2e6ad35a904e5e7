#include "KELDemoFrameLog.h"

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
