// Helpers of the hardening tests: a client whose answers depend only on the
// geometry drawn, and a small deterministic generator.
#ifndef KEL_HARDENING_SUPPORT_H
#define KEL_HARDENING_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KELScreenSpacePartitioning.h"

// True in a build with AddressSanitizer or UBSan, where runs cost far more.
bool KELUnderSanitizer();

// Answers a query with 1000 samples when one of its boxes meets the region,
// else 0; so the visible set of a frame depends only on the scene and the
// camera (with frame coherency 0), never on earlier frames.
class KELRegionClient : public KELOcclusionCullingClientAdapter {
public:
  float iRegionMin[3];
  float iRegionMax[3];
  std::vector<void*> iTouched;  // of the latest frame, sorted at its end
  std::vector<void*> iDrawn;    // likewise
  std::vector<void*> iTouchedWithMatrix;  // likewise
  int iFrames = 0;

  KELRegionClient(const float* regionMin, const float* regionMax);
  // Forgets the previous frame's objects; call before EndCulling.
  void StartFrame() {
    iTouched.clear();
    iDrawn.clear();
    iTouchedWithMatrix.clear();
  }
  void* GenQuery() override;
  void BeginQuery(void* query) override;
  void EndQuery(void* query) override;
  bool GetQueryResult(void* query, uint32_t& pixels, bool wait) override;
  void DrawBox(const float* min, const float* max, const float* matrix) override;
  void DrawObject(void* object, const float* matrix, bool transparent) override;
  void OnBeginOcclusionResults() override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;
  void OnEndOcclusionResults() override;

private:
  static constexpr int kHandles = 1 << 16;
  int iHandles[kHandles] = {};
  uint32_t iResults[kHandles] = {};
  int iHandleCount = 0;
  bool iHit = false;
};


#endif
