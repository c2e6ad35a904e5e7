// Small helpers shared by the Vulkan companion's classes: memory types and
// mapped host buffers. Not exported.
#ifndef KEL_VULKAN_MEMORY_H
#define KEL_VULKAN_MEMORY_H

#include <vulkan/vulkan.h>

#include <cstdint>

struct KELVulkanHostBuffer {
  VkBuffer iBuffer = VK_NULL_HANDLE;
  VkDeviceMemory iMemory = VK_NULL_HANDLE;
  void* iMapped = nullptr;
  VkDeviceSize iSize = 0;
};

// The first memory type allowed by `typeBits` that has all of `flags`, or
// UINT32_MAX.
uint32_t KELFindMemoryType(VkPhysicalDevice physicalDevice, uint32_t typeBits, VkMemoryPropertyFlags flags);

// A buffer in host-visible, coherent memory, mapped for its lifetime.
bool KELCreateHostBuffer(VkPhysicalDevice physicalDevice, VkDevice device, VkDeviceSize size,
                         VkBufferUsageFlags usage, KELVulkanHostBuffer& buffer);
void KELDestroyHostBuffer(VkDevice device, KELVulkanHostBuffer& buffer);

#endif
