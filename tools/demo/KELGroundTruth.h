// The exact visible set of a frame: every object in the view volume is
// drawn with its own ID into the integer attachment, and the pixels of each
// ID are counted.
#ifndef KEL_GROUND_TRUTH_H
#define KEL_GROUND_TRUTH_H

#include <cstdint>
#include <vector>

#include "KELDemoRenderer.h"
#include "KELScene.h"

struct KELVisibleObject {
  uint32_t iIndex;
  uint32_t iPixels;
};

class KELGroundTruth {
public:
  KELGroundTruth(const kel::KELScene& scene, KELDemoRenderer& renderer);

  // Renders with `viewProjection`; `planes` only skip objects outside the
  // view volume early. Returns visible objects by index.
  void Compute(const float* viewProjection, const float planes[6][4], std::vector<KELVisibleObject>& visible);
  // The last ID image (object index + 1, 0 for background), top row first.
  const std::vector<uint32_t>& GetIdImage() const { return iIds; }

private:
  const kel::KELScene& iScene;
  KELDemoRenderer& iRenderer;
  std::vector<uint32_t> iIndices;
  std::vector<uint32_t> iIds;
  std::vector<uint32_t> iCounts;
};

#endif
