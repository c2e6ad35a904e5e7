#include "KELVulkanMemory.h"

uint32_t KELFindMemoryType(VkPhysicalDevice physicalDevice, uint32_t typeBits, VkMemoryPropertyFlags flags) {
  VkPhysicalDeviceMemoryProperties properties;
  vkGetPhysicalDeviceMemoryProperties(physicalDevice, &properties);
  for (uint32_t i = 0; i < properties.memoryTypeCount; ++i)
    if ((typeBits & (1u << i)) != 0 && (properties.memoryTypes[i].propertyFlags & flags) == flags) return i;
  return UINT32_MAX;
}

bool KELCreateHostBuffer(VkPhysicalDevice physicalDevice, VkDevice device, VkDeviceSize size,
                         VkBufferUsageFlags usage, KELVulkanHostBuffer& buffer) {
  KELDestroyHostBuffer(device, buffer);
  VkBufferCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (vkCreateBuffer(device, &info, nullptr, &buffer.iBuffer) != VK_SUCCESS) return false;
  VkMemoryRequirements requirements;
  vkGetBufferMemoryRequirements(device, buffer.iBuffer, &requirements);
  VkMemoryAllocateInfo allocation = {};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = requirements.size;
  allocation.memoryTypeIndex =
      KELFindMemoryType(physicalDevice, requirements.memoryTypeBits,
                        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  if (allocation.memoryTypeIndex == UINT32_MAX ||
      vkAllocateMemory(device, &allocation, nullptr, &buffer.iMemory) != VK_SUCCESS ||
      vkBindBufferMemory(device, buffer.iBuffer, buffer.iMemory, 0) != VK_SUCCESS ||
      vkMapMemory(device, buffer.iMemory, 0, VK_WHOLE_SIZE, 0, &buffer.iMapped) != VK_SUCCESS) {
    KELDestroyHostBuffer(device, buffer);
    return false;
  }
  buffer.iSize = size;
  return true;
}

void KELDestroyHostBuffer(VkDevice device, KELVulkanHostBuffer& buffer) {
  if (buffer.iBuffer != VK_NULL_HANDLE) vkDestroyBuffer(device, buffer.iBuffer, nullptr);
  // Freeing the memory also unmaps it.
  if (buffer.iMemory != VK_NULL_HANDLE) vkFreeMemory(device, buffer.iMemory, nullptr);
  buffer = KELVulkanHostBuffer();
}
