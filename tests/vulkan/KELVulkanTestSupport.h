// Where the build found lavapipe installed (KEL_VULKAN_REQUIRED), failing
// to use a Vulkan device is a fault and fails the test; elsewhere it skips.
#ifndef KEL_VULKAN_TEST_SUPPORT_H
#define KEL_VULKAN_TEST_SUPPORT_H

#include <gtest/gtest.h>

#if defined(KEL_VULKAN_REQUIRED)
#define KEL_SKIP_WITHOUT_VULKAN(error) FAIL() << "no Vulkan device: " << (error)
const bool kVulkanDeviceRequired = true;
#else
#define KEL_SKIP_WITHOUT_VULKAN(error) GTEST_SKIP() << "no Vulkan device: " << (error)
const bool kVulkanDeviceRequired = false;
#endif

#endif
