// Several views a frame on a Vulkan device: two eyes, and a light whose
// shadow map is culled through a view of its own.
#include <gtest/gtest.h>

#include "KELViewsWalkCheck.h"
#include "KELVulkanTestSupport.h"

namespace {

TEST(VulkanViews, StereoWalkMissesNothingInEitherEye) {
  KELViewsResult result;
  std::string error;
  if (!RunViewsWalk({KELDemoApi::kVulkan, KELDemoViewKind::kStereo, false, 300, 8}, result, error))
    KEL_SKIP_WITHOUT_VULKAN(error);
  ExpectNoStrictOrRepeatMisses(result);
  ExpectEachViewAsAlone(result);
}

TEST(VulkanViews, ShadowMapCulledAtThresholdZeroIsTheMapOfEveryCaster) {
  KELViewsResult result;
  std::string error;
  // The light covers the whole of a small city (see KELViewsWalkCheck.h).
  if (!RunViewsWalk({KELDemoApi::kVulkan, KELDemoViewKind::kNone, true, 0, 6}, result, error))
    KEL_SKIP_WITHOUT_VULKAN(error);
  ExpectShadowMapsIdentical(result);
  ExpectEachViewAsAlone(result);
}

}  // namespace
