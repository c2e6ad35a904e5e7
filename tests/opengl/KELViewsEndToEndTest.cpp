// Several views a frame on a real OpenGL context: two eyes, and a light
// whose shadow map is culled through a view of its own.
#include <gtest/gtest.h>

#include "KELViewsWalkCheck.h"

namespace {

KELViewsResult Walk(KELDemoViewKind kind, bool shadow, uint32_t threshold, int citySize) {
  KELViewsResult result;
  std::string error;
  if (!RunViewsWalk({KELDemoApi::kOpenGL, kind, shadow, threshold, citySize}, result, error)) result.iEntries = 0;
  return result;
}

TEST(OpenGLViews, StereoWalkMissesNothingInEitherEye) {
  const KELViewsResult result = Walk(KELDemoViewKind::kStereo, false, 300, 8);
  if (result.iEntries == 0) GTEST_SKIP() << "no headless OpenGL context";
  ExpectNoStrictOrRepeatMisses(result);
  ExpectEachViewAsAlone(result);
}

TEST(OpenGLViews, ShadowMapCulledAtThresholdZeroIsTheMapOfEveryCaster) {
  // The light covers the whole of a small city (see KELViewsWalkCheck.h).
  const KELViewsResult result = Walk(KELDemoViewKind::kNone, true, 0, 6);
  if (result.iEntries == 0) GTEST_SKIP() << "no headless OpenGL context";
  ExpectShadowMapsIdentical(result);
  ExpectEachViewAsAlone(result);
}

}  // namespace
