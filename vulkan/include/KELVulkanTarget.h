// Where the Vulkan client and box renderer record their work: the host's
// device, its render pass and the command buffer it is recording. The
// headless context implements it; a windowed host implements it over its
// own frame.
#ifndef KEL_VULKAN_TARGET_H
#define KEL_VULKAN_TARGET_H

#include <vulkan/vulkan.h>

#include <cstdint>

struct KELVulkanTargetInfo {
  VkPhysicalDevice iPhysicalDevice = VK_NULL_HANDLE;
  VkDevice iDevice = VK_NULL_HANDLE;
  // The render pass and subpass that every recorded draw runs in. Colour
  // attachment 0 takes shaded colour; attachment 1, where present, takes
  // 32-bit object IDs.
  VkRenderPass iRenderPass = VK_NULL_HANDLE;
  uint32_t iSubpass = 0;
  uint32_t iColorAttachmentCount = 1;
  // The device was created with occlusionQueryPrecise and hostQueryReset
  // enabled (the second is required by the client).
  bool iPreciseOcclusionQueries = false;
  bool iHostQueryReset = false;
};

class KELVulkanTarget {
public:
  virtual ~KELVulkanTarget() = default;
  virtual const KELVulkanTargetInfo& GetInfo() const = 0;
  // The command buffer being recorded, inside the render pass, with
  // viewport and scissor set. Valid until the next Submit.
  virtual VkCommandBuffer GetCommandBuffer() = 0;
  // Ends and submits what has been recorded. With `wait`, returns once the
  // device has finished all submitted work. Attachment contents carry over
  // to the next command buffer.
  virtual void Submit(bool wait) = 0;
};

#endif
