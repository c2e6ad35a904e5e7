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
  // enabled (the second is required by the client). Precise queries are
  // assumed by default: create the device with the feature wherever the
  // physical device has it (desktop GPUs do), and say false otherwise.
  // Without them a query may report any non-zero count for one sample, so
  // the client reads every non-zero count as visible and the pixel-hits
  // threshold no longer hides small objects.
  bool iPreciseOcclusionQueries = true;
  bool iHostQueryReset = false;
  // Samples per pixel of the subpass's attachments: the client's pipelines
  // are built for it, and query counts are samples (the pixel-hits
  // threshold scales with it).
  VkSampleCountFlagBits iSamples = VK_SAMPLE_COUNT_1_BIT;
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
  // How the last Submit went: VK_SUCCESS, or the error of its queue submit
  // or, with wait, of its wait (VK_ERROR_DEVICE_LOST above all). The client
  // stops waiting for results after an error. A target that does not
  // override it reports success.
  virtual VkResult GetSubmitResult() const { return VK_SUCCESS; }
};

#endif
