// The library culls a city walkthrough on the Vulkan client, judged against
// the exact visible set of every frame (rendered with Vulkan too), with
// validation layers where installed.
#include <gtest/gtest.h>

#include "KELCityWalkCheck.h"
#include "KELVulkanTestSupport.h"

namespace {

using namespace kel_walk_tests;

class VulkanEndToEnd : public ::testing::TestWithParam<KELWalkCase> {};

TEST_P(VulkanEndToEnd, CityWalkDrawsEveryObjectAboveTheThreshold) {
  CheckCityWalk(KELDemoApi::kVulkan, GetParam(), kVulkanDeviceRequired);
}

INSTANTIATE_TEST_SUITE_P(Targets, VulkanEndToEnd, ::testing::ValuesIn(CommonWalkCases()));

}  // namespace
