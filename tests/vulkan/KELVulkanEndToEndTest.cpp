// The library culls a city walkthrough on the Vulkan client, judged against
// the exact visible set of every frame (rendered with Vulkan too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KELVulkanTestSupport.h"
#include "KELWalkthrough.h"

namespace {

class VulkanEndToEnd : public ::testing::TestWithParam<uint32_t> {};

// From the second frame on, an object above the threshold in this and the
// previous frame is drawn, and none is missed two frames running.
TEST_P(VulkanEndToEnd, CityWalkDrawsEveryObjectAboveTheThreshold) {
  kel::KELSceneOptions sceneOptions;
  sceneOptions.iSeed = 7;
  sceneOptions.iSize = 8;
  kel::KELScene scene = kel::MakeCity(sceneOptions);
  KELWalkthroughOptions options;
  options.iApi = KELDemoApi::kVulkan;
  options.iWidth = 320;
  options.iHeight = 180;
  options.iFrames = 72;
  options.iPixelThreshold = options.iCheckedPixels = GetParam();
  KELWalkthrough walk(scene, options);
  std::string error;
  if (!walk.Create(error)) KEL_SKIP_WITHOUT_VULKAN(error);
  walk.ComputeGroundTruth(nullptr);
  std::vector<KELFrameRecord> records = walk.Run(KELDemoMode::kLibrary, nullptr);
  ASSERT_EQ(records.size(), 72u);
  uint32_t visibleFrames = 0, submits = 0;
  for (const KELFrameRecord& record : records) {
    SCOPED_TRACE("frame " + std::to_string(record.iFrame));
    if (record.iVisible > 0) ++visibleFrames;
    submits += record.iSubmits;
    EXPECT_EQ(record.iLateMisses, 0u) << "objects visible in two frames running were not drawn";
    EXPECT_EQ(record.iRepeatMisses, 0u) << "objects missed two frames in a row";
  }
  // The walk must really look at things, or the checks above prove nothing.
  EXPECT_GT(visibleFrames, 60u);
  EXPECT_GT(submits, 0u);
  EXPECT_LE(walk.GetValidationErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, VulkanEndToEnd, ::testing::Values(0u, 300u));

}  // namespace
