// A headless Vulkan device with a framebuffer of a given size: an RGBA8
// colour attachment, a 32-bit unsigned ID attachment and a depth
// attachment, multisampled where asked, all kept between command buffers.
// Tests and tools render into it without a window and read both colour
// attachments back.
//
// Validation layers are enabled when Create is asked to, or when the
// environment variable KEL_VULKAN_VALIDATION is set to 1; their errors are
// printed on standard error and counted.
#ifndef KEL_VULKAN_HEADLESS_CONTEXT_H
#define KEL_VULKAN_HEADLESS_CONTEXT_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KELVulkanExport.h"
#include "KELVulkanTarget.h"

class KEL_VK_API KELVulkanHeadlessContext : public KELVulkanTarget {
public:
  KELVulkanHeadlessContext();
  ~KELVulkanHeadlessContext();
  KELVulkanHeadlessContext(const KELVulkanHeadlessContext&) = delete;
  KELVulkanHeadlessContext& operator=(const KELVulkanHeadlessContext&) = delete;

  // Picks the first device with a graphics queue and Vulkan 1.2, builds the
  // attachments and the render pass. False (with GetErrorText) when any
  // step fails, also when validation is asked for and not installed.
  bool Create(int width, int height, bool validation = false);
  // Samples per pixel of the attachments made by the next Create (default
  // 1; Create fails where the device cannot). Queries then count samples;
  // read-backs give one value per pixel (IDs: one sample's).
  void SetSampleCount(int samples) { iRequestedSamples = samples > 1 ? samples : 1; }
  // The depth Clear writes (default 1; 0 for a reversed depth range).
  void SetDepthClearValue(float depth) { iClearDepth = depth; }
  bool IsValid() const { return iFramebuffer != VK_NULL_HANDLE; }
  const std::string& GetErrorText() const { return iError; }
  // The device's name (e.g. which software rasteriser runs).
  std::string GetDeviceName() const { return iDeviceName; }
  int GetWidth() const { return iWidth; }
  int GetHeight() const { return iHeight; }

  const KELVulkanTargetInfo& GetInfo() const override { return iInfo; }
  VkCommandBuffer GetCommandBuffer() override;
  void Submit(bool wait) override;
  VkResult GetSubmitResult() const override { return iSubmitResult; }
  // Submits made since Create.
  uint64_t GetSubmitCount() const { return iSubmitCount; }

  // Records clears: colour to `rgba`, IDs to 0, depth to the clear value.
  void Clear(const float* rgba);
  // Read back, top row first: width*height*4 bytes of RGBA, or width*height
  // IDs. Both submit what is recorded and wait for it.
  void ReadColor(uint8_t* rgba);
  void ReadIds(uint32_t* ids);
  // Depth as the depth test sees it (0 near, 1 far), width*height floats,
  // top row first; false where the device cannot copy its depth format.
  bool ReadDepth(float* depth);

  bool IsValidating() const { return iMessenger != VK_NULL_HANDLE; }
  // Validation errors reported since Create.
  uint32_t GetValidationErrorCount() const { return iValidationErrors; }

private:
  struct KELSlot;
  struct KELImage;
  static VkBool32 VKAPI_PTR OnValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                VkDebugUtilsMessageTypeFlagsEXT types,
                                                const VkDebugUtilsMessengerCallbackDataEXT* data, void* user);
  bool CreateInstance(bool validation);
  bool CreateDevice();
  bool CreateAttachments();
  bool CreateImage(VkFormat format, VkImageUsageFlags usage, VkImageAspectFlags aspect,
                   VkSampleCountFlagBits samples, KELImage& image);
  bool CreateRenderPass();
  bool PrepareAttachments();
  void ReadAttachment(int attachment, void* pixels);
  KELSlot& FreeSlot();
  // Waits for every submitted command buffer; the wait's result.
  VkResult WaitSlots();
  void Destroy();

  VkInstance iInstance;
  VkDebugUtilsMessengerEXT iMessenger;
  VkPhysicalDevice iPhysicalDevice;
  VkDevice iDevice;
  VkQueue iQueue;
  uint32_t iQueueFamily;
  VkCommandPool iCommandPool;
  VkFormat iDepthFormat;
  // The depth image can be copied out (single-sampled, a copyable format).
  bool iDepthReadable = false;
  // Colour, IDs, depth; multisampled, also the single-sampled colour and
  // IDs that read-backs resolve into.
  std::vector<KELImage> iImages;
  VkRenderPass iRenderPass;
  VkFramebuffer iFramebuffer;
  std::vector<KELSlot> iSlots;
  int iRecording;  // slot being recorded, -1 if none
  // Host buffer for read-back, mapped.
  VkBuffer iStagingBuffer;
  VkDeviceMemory iStagingMemory;
  void* iStagingMapped;
  KELVulkanTargetInfo iInfo;
  int iWidth;
  int iHeight;
  int iRequestedSamples;
  float iClearDepth;
  VkResult iSubmitResult;
  uint64_t iSubmitCount;
  uint32_t iValidationErrors;
  std::string iDeviceName;
  std::string iError;
};

#endif
