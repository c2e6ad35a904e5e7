#include "KELDemoFrameLog.h"

KELDemoFrameLog::KELDemoFrameLog(const kel::KELScene& scene)
    : iObjects(scene.iObjects), iDrawnStamp(scene.iObjects.size(), 0), iStamp(0), iDrawnCount(0) {}

void KELDemoFrameLog::BeginFrame() {
  ++iStamp;
  iDrawnCount = 0;
  iTouched.clear();
}

void KELDemoFrameLog::MarkDrawn(uint32_t index) {
  if (iDrawnStamp[index] == iStamp) return;
  iDrawnStamp[index] = iStamp;
  ++iDrawnCount;
}
