#include "HardeningSupport.h"

#include <algorithm>
#include <cstdlib>

bool KELUnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  return true;
#endif
#endif
  return false;
}

// ------------------------------------------------------------ region client

KELRegionClient::KELRegionClient(const float* regionMin, const float* regionMax) {
  for (int a = 0; a < 3; ++a) {
    iRegionMin[a] = regionMin[a];
    iRegionMax[a] = regionMax[a];
  }
}

void* KELRegionClient::GenQuery() {
  // Handles are reused only within their frame, so they restart each frame.
  return iHandleCount < kHandles ? &iHandles[iHandleCount++] : nullptr;
}

void KELRegionClient::BeginQuery(void*) { iHit = false; }

void KELRegionClient::EndQuery(void* query) {
  if (query != nullptr) iResults[static_cast<int*>(query) - iHandles] = iHit ? 1000u : 0u;
}

bool KELRegionClient::GetQueryResult(void* query, uint32_t& pixels, bool) {
  pixels = iResults[static_cast<int*>(query) - iHandles];
  return true;
}

void KELRegionClient::DrawBox(const float* min, const float* max, const float*) {
  bool meets = true;
  for (int a = 0; a < 3; ++a) meets = meets && min[a] <= iRegionMax[a] && max[a] >= iRegionMin[a];
  iHit = iHit || meets;
}

void KELRegionClient::DrawObject(void* object, const float*, bool) { iDrawn.push_back(object); }

void KELRegionClient::OnBeginOcclusionResults() {}

void KELRegionClient::TouchObject(void* object, uint32_t, const float*, const float*, const float* matrix) {
  iTouched.push_back(object);
  if (matrix != nullptr) iTouchedWithMatrix.push_back(object);
}

void KELRegionClient::OnEndOcclusionResults() {
  std::sort(iTouched.begin(), iTouched.end());
  std::sort(iDrawn.begin(), iDrawn.end());
  std::sort(iTouchedWithMatrix.begin(), iTouchedWithMatrix.end());
  iHandleCount = 0;
  ++iFrames;
}

// ------------------------------------------------------------ random

