// The library culls a city walkthrough on the Vulkan client, judged against
// the exact visible set of every frame (rendered with Vulkan too), with
// validation layers where installed.
#include <gtest/gtest.h>

#include "KELCityWalkCheck.h"

namespace {

using namespace kel_walk_tests;

#if defined(KEL_VULKAN_REQUIRED)
const bool kDeviceRequired = true;
#else
const bool kDeviceRequired = false;
#endif

class VulkanEndToEnd : public ::testing::TestWithParam<KELWalkCase> {};

TEST_P(VulkanEndToEnd, CityWalkDrawsEveryObjectAboveTheThreshold) {
  CheckCityWalk(KELDemoApi::kVulkan, GetParam(), kDeviceRequired);
}

INSTANTIATE_TEST_SUITE_P(Targets, VulkanEndToEnd, ::testing::ValuesIn(CommonWalkCases()));

}  // namespace
