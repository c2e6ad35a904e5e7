#include "KELVulkanHeadlessContext.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KELVulkanMemory.h"

namespace {

const char* const kValidationLayer = "VK_LAYER_KHRONOS_validation";
const VkFormat kColorFormat = VK_FORMAT_R8G8B8A8_UNORM;
const VkFormat kIdFormat = VK_FORMAT_R32_UINT;
enum { kColor, kIds, kDepth, kResolvedColor, kResolvedIds };

bool ValidationFromEnvironment() {
  const char* value = std::getenv("KEL_VULKAN_VALIDATION");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool HasLayer(const char* name) {
  uint32_t count = 0;
  vkEnumerateInstanceLayerProperties(&count, nullptr);
  std::vector<VkLayerProperties> layers(count);
  vkEnumerateInstanceLayerProperties(&count, layers.data());
  for (const VkLayerProperties& layer : layers)
    if (std::strcmp(layer.layerName, name) == 0) return true;
  return false;
}

VkImageMemoryBarrier ImageBarrier(VkImage image, VkImageLayout from, VkImageLayout to, VkAccessFlags source,
                                  VkAccessFlags destination, VkImageAspectFlags aspect) {
  VkImageMemoryBarrier barrier = {};
  barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  barrier.srcAccessMask = source;
  barrier.dstAccessMask = destination;
  barrier.oldLayout = from;
  barrier.newLayout = to;
  barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.image = image;
  barrier.subresourceRange = {aspect, 0, 1, 0, 1};
  return barrier;
}

}  // namespace

struct KELVulkanHeadlessContext::KELSlot {
  VkCommandBuffer iCommands = VK_NULL_HANDLE;
  VkFence iFence = VK_NULL_HANDLE;
  bool iInFlight = false;
};

struct KELVulkanHeadlessContext::KELImage {
  VkImage iImage = VK_NULL_HANDLE;
  VkDeviceMemory iMemory = VK_NULL_HANDLE;
  VkImageView iView = VK_NULL_HANDLE;
};

KELVulkanHeadlessContext::KELVulkanHeadlessContext()
    : iInstance(VK_NULL_HANDLE), iMessenger(VK_NULL_HANDLE), iPhysicalDevice(VK_NULL_HANDLE),
      iDevice(VK_NULL_HANDLE), iQueue(VK_NULL_HANDLE), iQueueFamily(0), iCommandPool(VK_NULL_HANDLE),
      iDepthFormat(VK_FORMAT_UNDEFINED), iRenderPass(VK_NULL_HANDLE), iFramebuffer(VK_NULL_HANDLE), iRecording(-1),
      iStagingBuffer(VK_NULL_HANDLE), iStagingMemory(VK_NULL_HANDLE), iStagingMapped(nullptr), iWidth(0),
      iHeight(0), iRequestedSamples(1), iClearDepth(1.0f), iSubmitResult(VK_SUCCESS), iSubmitCount(0),
      iValidationErrors(0) {}

KELVulkanHeadlessContext::~KELVulkanHeadlessContext() { Destroy(); }

bool KELVulkanHeadlessContext::Create(int width, int height, bool validation) {
  Destroy();
  iWidth = width;
  iHeight = height;
  if (width <= 0 || height <= 0) {
    iError = "framebuffer size must be positive";
    return false;
  }
  if (!CreateInstance(validation || ValidationFromEnvironment()) || !CreateDevice() || !CreateRenderPass() ||
      !CreateAttachments() || !PrepareAttachments()) {
    std::string error = iError;
    Destroy();
    iError = error;
    return false;
  }
  return true;
}

VkBool32 VKAPI_PTR KELVulkanHeadlessContext::OnValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                                 VkDebugUtilsMessageTypeFlagsEXT,
                                                                 const VkDebugUtilsMessengerCallbackDataEXT* data,
                                                                 void* user) {
  bool error = (severity & VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT) != 0;
  if (error) ++static_cast<KELVulkanHeadlessContext*>(user)->iValidationErrors;
  std::fprintf(stderr, "vulkan validation %s: %s\n", error ? "error" : "warning",
               data != nullptr && data->pMessage != nullptr ? data->pMessage : "");
  return VK_FALSE;
}

bool KELVulkanHeadlessContext::CreateInstance(bool validation) {
  VkApplicationInfo application = {};
  application.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  application.pApplicationName = "KELScreenSpacePartitioning";
  application.pEngineName = "KELScreenSpacePartitioning";
  application.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  info.pApplicationInfo = &application;
  const char* extension = VK_EXT_DEBUG_UTILS_EXTENSION_NAME;
  if (validation) {
    if (!HasLayer(kValidationLayer)) {
      iError = "validation asked for, but the validation layers are not installed";
      return false;
    }
    info.enabledLayerCount = 1;
    info.ppEnabledLayerNames = &kValidationLayer;
    info.enabledExtensionCount = 1;
    info.ppEnabledExtensionNames = &extension;
  }
  VkResult result = vkCreateInstance(&info, nullptr, &iInstance);
  if (result != VK_SUCCESS) {
    iInstance = VK_NULL_HANDLE;
    iError = "no Vulkan instance (error " + std::to_string(result) + ")";
    return false;
  }
  if (!validation) return true;
  auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
      vkGetInstanceProcAddr(iInstance, "vkCreateDebugUtilsMessengerEXT"));
  VkDebugUtilsMessengerCreateInfoEXT messenger = {};
  messenger.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  messenger.messageSeverity =
      VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  messenger.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT;
  messenger.pfnUserCallback = &KELVulkanHeadlessContext::OnValidationMessage;
  messenger.pUserData = this;
  if (create == nullptr || create(iInstance, &messenger, nullptr, &iMessenger) != VK_SUCCESS) {
    iMessenger = VK_NULL_HANDLE;
    iError = "cannot install the validation message callback";
    return false;
  }
  return true;
}

bool KELVulkanHeadlessContext::CreateDevice() {
  uint32_t count = 0;
  vkEnumeratePhysicalDevices(iInstance, &count, nullptr);
  std::vector<VkPhysicalDevice> devices(count);
  vkEnumeratePhysicalDevices(iInstance, &count, devices.data());
  VkPhysicalDeviceFeatures features = {};
  for (VkPhysicalDevice device : devices) {
    VkPhysicalDeviceProperties properties;
    vkGetPhysicalDeviceProperties(device, &properties);
    VkPhysicalDeviceHostQueryResetFeatures reset = {};
    reset.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_HOST_QUERY_RESET_FEATURES;
    VkPhysicalDeviceFeatures2 all = {};
    all.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
    all.pNext = &reset;
    if (properties.apiVersion < VK_API_VERSION_1_2) continue;
    vkGetPhysicalDeviceFeatures2(device, &all);
    if (!reset.hostQueryReset) continue;
    uint32_t families = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(device, &families, nullptr);
    std::vector<VkQueueFamilyProperties> familyProperties(families);
    vkGetPhysicalDeviceQueueFamilyProperties(device, &families, familyProperties.data());
    for (uint32_t family = 0; family < families && iPhysicalDevice == VK_NULL_HANDLE; ++family)
      if ((familyProperties[family].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0) {
        iPhysicalDevice = device;
        iQueueFamily = family;
        iDeviceName = properties.deviceName;
        features.occlusionQueryPrecise = all.features.occlusionQueryPrecise;
        // Shaded and ID draws write different attachments of one pass.
        features.independentBlend = all.features.independentBlend;
      }
    if (iPhysicalDevice != VK_NULL_HANDLE) break;
  }
  if (iPhysicalDevice == VK_NULL_HANDLE) {
    iError = "no Vulkan 1.2 device with a graphics queue and host query reset";
    return false;
  }
  const float priority = 1.0f;
  VkDeviceQueueCreateInfo queue = {};
  queue.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
  queue.queueFamilyIndex = iQueueFamily;
  queue.queueCount = 1;
  queue.pQueuePriorities = &priority;
  VkPhysicalDeviceHostQueryResetFeatures reset = {};
  reset.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_HOST_QUERY_RESET_FEATURES;
  reset.hostQueryReset = VK_TRUE;
  VkDeviceCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
  info.pNext = &reset;
  info.queueCreateInfoCount = 1;
  info.pQueueCreateInfos = &queue;
  info.pEnabledFeatures = &features;
  if (vkCreateDevice(iPhysicalDevice, &info, nullptr, &iDevice) != VK_SUCCESS) {
    iDevice = VK_NULL_HANDLE;
    iError = "cannot create the Vulkan device";
    return false;
  }
  vkGetDeviceQueue(iDevice, iQueueFamily, 0, &iQueue);
  VkCommandPoolCreateInfo pool = {};
  pool.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  pool.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pool.queueFamilyIndex = iQueueFamily;
  if (vkCreateCommandPool(iDevice, &pool, nullptr, &iCommandPool) != VK_SUCCESS) {
    iCommandPool = VK_NULL_HANDLE;
    iError = "cannot create a command pool";
    return false;
  }
  iInfo.iPhysicalDevice = iPhysicalDevice;
  iInfo.iDevice = iDevice;
  iInfo.iPreciseOcclusionQueries = features.occlusionQueryPrecise == VK_TRUE;
  iInfo.iHostQueryReset = true;
  return true;
}

bool KELVulkanHeadlessContext::CreateRenderPass() {
  const VkFormat depthCandidates[3] = {VK_FORMAT_D32_SFLOAT, VK_FORMAT_X8_D24_UNORM_PACK32, VK_FORMAT_D16_UNORM};
  for (VkFormat format : depthCandidates) {
    VkFormatProperties properties;
    vkGetPhysicalDeviceFormatProperties(iPhysicalDevice, format, &properties);
    if ((properties.optimalTilingFeatures & VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT) != 0) {
      iDepthFormat = format;
      iDepthReadable = (properties.optimalTilingFeatures & VK_FORMAT_FEATURE_TRANSFER_SRC_BIT) != 0;
      break;
    }
  }
  if (iDepthFormat == VK_FORMAT_UNDEFINED) {
    iError = "no depth format";
    return false;
  }
  iInfo.iSamples = static_cast<VkSampleCountFlagBits>(iRequestedSamples);
  const VkFormat attachmentFormats[3] = {kColorFormat, kIdFormat, iDepthFormat};
  bool supported = (iRequestedSamples & (iRequestedSamples - 1)) == 0;
  for (int i = 0; i < 3 && supported; ++i) {
    VkImageFormatProperties properties = {};
    const VkImageUsageFlags usage =
        i == kDepth ? VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT
                    : VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    supported = vkGetPhysicalDeviceImageFormatProperties(iPhysicalDevice, attachmentFormats[i], VK_IMAGE_TYPE_2D,
                                                         VK_IMAGE_TILING_OPTIMAL, usage, 0,
                                                         &properties) == VK_SUCCESS &&
                (properties.sampleCounts & iInfo.iSamples) != 0;
  }
  if (!supported) {
    iError = "the device cannot render " + std::to_string(iRequestedSamples) + " samples per pixel";
    return false;
  }
  // Contents are loaded and stored: a frame spans several command buffers,
  // one per submit, and must carry its attachments across them.
  VkAttachmentDescription attachments[3] = {};
  const VkFormat formats[3] = {kColorFormat, kIdFormat, iDepthFormat};
  for (int i = 0; i < 3; ++i) {
    VkImageLayout layout =
        i == kDepth ? VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
    attachments[i].format = formats[i];
    attachments[i].samples = iInfo.iSamples;
    attachments[i].loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
    attachments[i].storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    attachments[i].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    attachments[i].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    attachments[i].initialLayout = layout;
    attachments[i].finalLayout = layout;
  }
  const VkAttachmentReference colors[2] = {{kColor, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL},
                                           {kIds, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL}};
  const VkAttachmentReference depth = {kDepth, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
  VkSubpassDescription subpass = {};
  subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
  subpass.colorAttachmentCount = 2;
  subpass.pColorAttachments = colors;
  subpass.pDepthStencilAttachment = &depth;
  // Each command buffer's pass follows the previous one's writes and the
  // read-backs' copies.
  const VkPipelineStageFlags stages = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT |
                                      VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT |
                                      VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT;
  const VkAccessFlags access = VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT |
                               VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_READ_BIT |
                               VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
  VkSubpassDependency dependencies[2] = {};
  dependencies[0].srcSubpass = VK_SUBPASS_EXTERNAL;
  dependencies[0].dstSubpass = 0;
  dependencies[0].srcStageMask = stages | VK_PIPELINE_STAGE_TRANSFER_BIT;
  dependencies[0].dstStageMask = stages;
  dependencies[0].srcAccessMask = access | VK_ACCESS_TRANSFER_READ_BIT;
  dependencies[0].dstAccessMask = access;
  dependencies[1].srcSubpass = 0;
  dependencies[1].dstSubpass = VK_SUBPASS_EXTERNAL;
  dependencies[1].srcStageMask = stages;
  dependencies[1].dstStageMask = stages | VK_PIPELINE_STAGE_TRANSFER_BIT;
  dependencies[1].srcAccessMask = access;
  dependencies[1].dstAccessMask = access | VK_ACCESS_TRANSFER_READ_BIT;
  VkRenderPassCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
  info.attachmentCount = 3;
  info.pAttachments = attachments;
  info.subpassCount = 1;
  info.pSubpasses = &subpass;
  info.dependencyCount = 2;
  info.pDependencies = dependencies;
  if (vkCreateRenderPass(iDevice, &info, nullptr, &iRenderPass) != VK_SUCCESS) {
    iRenderPass = VK_NULL_HANDLE;
    iError = "cannot create the render pass";
    return false;
  }
  iInfo.iRenderPass = iRenderPass;
  iInfo.iSubpass = 0;
  iInfo.iColorAttachmentCount = 2;
  return true;
}

bool KELVulkanHeadlessContext::CreateImage(VkFormat format, VkImageUsageFlags usage, VkImageAspectFlags aspect,
                                           VkSampleCountFlagBits samples, KELImage& image) {
  VkImageCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = format;
  info.extent = {static_cast<uint32_t>(iWidth), static_cast<uint32_t>(iHeight), 1};
  info.mipLevels = 1;
  info.arrayLayers = 1;
  info.samples = samples;
  info.tiling = VK_IMAGE_TILING_OPTIMAL;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (vkCreateImage(iDevice, &info, nullptr, &image.iImage) != VK_SUCCESS) return false;
  VkMemoryRequirements requirements;
  vkGetImageMemoryRequirements(iDevice, image.iImage, &requirements);
  VkMemoryAllocateInfo allocation = {};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = requirements.size;
  allocation.memoryTypeIndex =
      KELFindMemoryType(iPhysicalDevice, requirements.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (allocation.memoryTypeIndex == UINT32_MAX)
    allocation.memoryTypeIndex = KELFindMemoryType(iPhysicalDevice, requirements.memoryTypeBits, 0);
  if (vkAllocateMemory(iDevice, &allocation, nullptr, &image.iMemory) != VK_SUCCESS ||
      vkBindImageMemory(iDevice, image.iImage, image.iMemory, 0) != VK_SUCCESS)
    return false;
  // Resolve targets are only copied to and from: no view.
  if ((usage & (VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT)) == 0) return true;
  VkImageViewCreateInfo view = {};
  view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  view.image = image.iImage;
  view.viewType = VK_IMAGE_VIEW_TYPE_2D;
  view.format = format;
  view.subresourceRange = {aspect, 0, 1, 0, 1};
  return vkCreateImageView(iDevice, &view, nullptr, &image.iView) == VK_SUCCESS;
}

bool KELVulkanHeadlessContext::CreateAttachments() {
  const bool multisampled = iInfo.iSamples != VK_SAMPLE_COUNT_1_BIT;
  iImages.resize(multisampled ? 5 : 3);
  const VkImageUsageFlags colorUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
  const VkImageUsageFlags resolveUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
  const VkSampleCountFlagBits samples = iInfo.iSamples;
  // Depth is read back only where it is one sample a pixel.
  iDepthReadable = iDepthReadable && !multisampled;
  const VkImageUsageFlags depthUsage =
      VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT |
      (iDepthReadable ? static_cast<VkImageUsageFlags>(VK_IMAGE_USAGE_TRANSFER_SRC_BIT) : 0u);
  if (!CreateImage(kColorFormat, colorUsage, VK_IMAGE_ASPECT_COLOR_BIT, samples, iImages[kColor]) ||
      !CreateImage(kIdFormat, colorUsage, VK_IMAGE_ASPECT_COLOR_BIT, samples, iImages[kIds]) ||
      !CreateImage(iDepthFormat, depthUsage, VK_IMAGE_ASPECT_DEPTH_BIT, samples, iImages[kDepth]) ||
      (multisampled && (!CreateImage(kColorFormat, resolveUsage, VK_IMAGE_ASPECT_COLOR_BIT, VK_SAMPLE_COUNT_1_BIT,
                                     iImages[kResolvedColor]) ||
                        !CreateImage(kIdFormat, resolveUsage, VK_IMAGE_ASPECT_COLOR_BIT, VK_SAMPLE_COUNT_1_BIT,
                                     iImages[kResolvedIds])))) {
    iError = "cannot create the attachments";
    return false;
  }
  const VkImageView views[3] = {iImages[kColor].iView, iImages[kIds].iView, iImages[kDepth].iView};
  VkFramebufferCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
  info.renderPass = iRenderPass;
  info.attachmentCount = 3;
  info.pAttachments = views;
  info.width = static_cast<uint32_t>(iWidth);
  info.height = static_cast<uint32_t>(iHeight);
  info.layers = 1;
  KELVulkanHostBuffer staging;
  if (vkCreateFramebuffer(iDevice, &info, nullptr, &iFramebuffer) != VK_SUCCESS ||
      !KELCreateHostBuffer(iPhysicalDevice, iDevice, static_cast<VkDeviceSize>(iWidth) * iHeight * 4,
                           VK_BUFFER_USAGE_TRANSFER_DST_BIT, staging)) {
    iError = "cannot create the framebuffer";
    return false;
  }
  iStagingBuffer = staging.iBuffer;
  iStagingMemory = staging.iMemory;
  iStagingMapped = staging.iMapped;
  return true;
}

bool KELVulkanHeadlessContext::PrepareAttachments() {
  // The render pass expects attachment layouts; images start undefined.
  KELSlot& slot = FreeSlot();
  VkCommandBufferBeginInfo begin = {};
  begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(slot.iCommands, &begin);
  // Resolve targets stay in the general layout, good for both copies.
  VkImageMemoryBarrier barriers[5];
  const uint32_t count = static_cast<uint32_t>(iImages.size());
  for (uint32_t i = 0; i < count; ++i)
    barriers[i] = ImageBarrier(
        iImages[i].iImage, VK_IMAGE_LAYOUT_UNDEFINED,
        i == kDepth  ? VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL
        : i < kDepth ? VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL
                     : VK_IMAGE_LAYOUT_GENERAL,
        0,
        i == kDepth  ? VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT
        : i < kDepth ? VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT
                     : VK_ACCESS_TRANSFER_WRITE_BIT,
        i == kDepth ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT);
  vkCmdPipelineBarrier(slot.iCommands, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT,
                       VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT | VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT |
                           VK_PIPELINE_STAGE_TRANSFER_BIT,
                       0, 0, nullptr, 0, nullptr, count, barriers);
  vkEndCommandBuffer(slot.iCommands);
  VkSubmitInfo submit = {};
  submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &slot.iCommands;
  if (vkQueueSubmit(iQueue, 1, &submit, slot.iFence) != VK_SUCCESS) {
    iError = "cannot submit to the queue";
    return false;
  }
  slot.iInFlight = true;
  WaitSlots();
  return true;
}

KELVulkanHeadlessContext::KELSlot& KELVulkanHeadlessContext::FreeSlot() {
  for (KELSlot& slot : iSlots) {
    if (!slot.iInFlight) return slot;
    if (vkGetFenceStatus(iDevice, slot.iFence) == VK_SUCCESS) {
      vkResetFences(iDevice, 1, &slot.iFence);
      slot.iInFlight = false;
      return slot;
    }
  }
  KELSlot slot;
  VkCommandBufferAllocateInfo allocation = {};
  allocation.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  allocation.commandPool = iCommandPool;
  allocation.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  allocation.commandBufferCount = 1;
  vkAllocateCommandBuffers(iDevice, &allocation, &slot.iCommands);
  VkFenceCreateInfo fence = {};
  fence.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  vkCreateFence(iDevice, &fence, nullptr, &slot.iFence);
  iSlots.push_back(slot);
  return iSlots.back();
}

VkResult KELVulkanHeadlessContext::WaitSlots() {
  std::vector<VkFence> fences;
  for (KELSlot& slot : iSlots)
    if (slot.iInFlight) fences.push_back(slot.iFence);
  if (fences.empty()) return VK_SUCCESS;
  const VkResult result =
      vkWaitForFences(iDevice, static_cast<uint32_t>(fences.size()), fences.data(), VK_TRUE, UINT64_MAX);
  vkResetFences(iDevice, static_cast<uint32_t>(fences.size()), fences.data());
  for (KELSlot& slot : iSlots) slot.iInFlight = false;
  return result;
}

VkCommandBuffer KELVulkanHeadlessContext::GetCommandBuffer() {
  if (iRecording >= 0) return iSlots[iRecording].iCommands;
  if (!IsValid()) return VK_NULL_HANDLE;
  KELSlot& slot = FreeSlot();
  iRecording = static_cast<int>(&slot - iSlots.data());
  VkCommandBufferBeginInfo begin = {};
  begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(slot.iCommands, &begin);
  VkRenderPassBeginInfo pass = {};
  pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
  pass.renderPass = iRenderPass;
  pass.framebuffer = iFramebuffer;
  pass.renderArea.extent = {static_cast<uint32_t>(iWidth), static_cast<uint32_t>(iHeight)};
  vkCmdBeginRenderPass(slot.iCommands, &pass, VK_SUBPASS_CONTENTS_INLINE);
  const VkViewport viewport = {0, 0, static_cast<float>(iWidth), static_cast<float>(iHeight), 0, 1};
  vkCmdSetViewport(slot.iCommands, 0, 1, &viewport);
  vkCmdSetScissor(slot.iCommands, 0, 1, &pass.renderArea);
  return slot.iCommands;
}

void KELVulkanHeadlessContext::Submit(bool wait) {
  if (iRecording >= 0) {
    KELSlot& slot = iSlots[iRecording];
    iRecording = -1;
    vkCmdEndRenderPass(slot.iCommands);
    vkEndCommandBuffer(slot.iCommands);
    VkSubmitInfo submit = {};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &slot.iCommands;
    iSubmitResult = vkQueueSubmit(iQueue, 1, &submit, slot.iFence);
    if (iSubmitResult == VK_SUCCESS) slot.iInFlight = true;
    ++iSubmitCount;
  } else {
    iSubmitResult = VK_SUCCESS;
  }
  if (wait) {
    const VkResult waited = WaitSlots();
    if (iSubmitResult == VK_SUCCESS) iSubmitResult = waited;
  }
}

void KELVulkanHeadlessContext::Clear(const float* rgba) {
  VkCommandBuffer commands = GetCommandBuffer();
  if (commands == VK_NULL_HANDLE) return;
  VkClearAttachment clears[3] = {};
  clears[0].aspectMask = VK_IMAGE_ASPECT_COLOR_BIT;
  clears[0].colorAttachment = kColor;
  std::memcpy(clears[0].clearValue.color.float32, rgba, 4 * sizeof(float));
  clears[1].aspectMask = VK_IMAGE_ASPECT_COLOR_BIT;
  clears[1].colorAttachment = kIds;
  clears[2].aspectMask = VK_IMAGE_ASPECT_DEPTH_BIT;
  clears[2].clearValue.depthStencil = {iClearDepth, 0};
  VkClearRect rect = {};
  rect.rect.extent = {static_cast<uint32_t>(iWidth), static_cast<uint32_t>(iHeight)};
  rect.layerCount = 1;
  vkCmdClearAttachments(commands, 3, clears, 1, &rect);
}

void KELVulkanHeadlessContext::ReadAttachment(int attachment, void* pixels) {
  if (!IsValid()) return;
  Submit(true);
  KELSlot& slot = FreeSlot();
  VkCommandBufferBeginInfo begin = {};
  begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(slot.iCommands, &begin);
  VkImage image = iImages[attachment].iImage;
  const bool depth = attachment == kDepth;
  const VkImageLayout layout =
      depth ? VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  const VkAccessFlags written =
      depth ? VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT : VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
  const VkAccessFlags used = depth ? VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_READ_BIT | written
                                   : VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | written;
  const VkPipelineStageFlags stages =
      depth ? VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT
            : VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
  const VkImageAspectFlags aspect = depth ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT;
  VkImageMemoryBarrier toCopy =
      ImageBarrier(image, layout, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, written, VK_ACCESS_TRANSFER_READ_BIT, aspect);
  vkCmdPipelineBarrier(slot.iCommands, stages, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0, nullptr, 1, &toCopy);
  VkImage source = image;
  VkImageLayout sourceLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  if (!depth && iImages.size() > kResolvedColor) {
    // One value per pixel: colour averaged, IDs one sample's.
    source = iImages[attachment == kColor ? kResolvedColor : kResolvedIds].iImage;
    sourceLayout = VK_IMAGE_LAYOUT_GENERAL;
    VkImageMemoryBarrier before = ImageBarrier(source, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL,
                                               VK_ACCESS_TRANSFER_READ_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                                               VK_IMAGE_ASPECT_COLOR_BIT);
    vkCmdPipelineBarrier(slot.iCommands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0,
                         nullptr, 0, nullptr, 1, &before);
    VkImageResolve resolve = {};
    resolve.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    resolve.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    resolve.extent = {static_cast<uint32_t>(iWidth), static_cast<uint32_t>(iHeight), 1};
    vkCmdResolveImage(slot.iCommands, image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, source, VK_IMAGE_LAYOUT_GENERAL, 1,
                      &resolve);
    VkImageMemoryBarrier after = ImageBarrier(source, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL,
                                              VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_TRANSFER_READ_BIT,
                                              VK_IMAGE_ASPECT_COLOR_BIT);
    vkCmdPipelineBarrier(slot.iCommands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0,
                         nullptr, 0, nullptr, 1, &after);
  }
  VkBufferImageCopy region = {};
  region.imageSubresource = {aspect, 0, 0, 1};
  region.imageExtent = {static_cast<uint32_t>(iWidth), static_cast<uint32_t>(iHeight), 1};
  vkCmdCopyImageToBuffer(slot.iCommands, source, sourceLayout, iStagingBuffer, 1, &region);
  VkImageMemoryBarrier back =
      ImageBarrier(image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, layout, VK_ACCESS_TRANSFER_READ_BIT, used, aspect);
  VkBufferMemoryBarrier host = {};
  host.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER;
  host.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
  host.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  host.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  host.buffer = iStagingBuffer;
  host.size = VK_WHOLE_SIZE;
  vkCmdPipelineBarrier(slot.iCommands, VK_PIPELINE_STAGE_TRANSFER_BIT, stages | VK_PIPELINE_STAGE_HOST_BIT, 0, 0,
                       nullptr, 1, &host, 1, &back);
  vkEndCommandBuffer(slot.iCommands);
  VkSubmitInfo submit = {};
  submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &slot.iCommands;
  if (vkQueueSubmit(iQueue, 1, &submit, slot.iFence) == VK_SUCCESS) slot.iInFlight = true;
  ++iSubmitCount;
  WaitSlots();
  // Colour, IDs and 32-bit depth are four bytes a pixel, 16-bit depth two;
  // rows tightly packed, top row first.
  const size_t bytes = depth && iDepthFormat == VK_FORMAT_D16_UNORM ? 2 : 4;
  std::memcpy(pixels, iStagingMapped, static_cast<size_t>(iWidth) * iHeight * bytes);
}

void KELVulkanHeadlessContext::ReadColor(uint8_t* rgba) { ReadAttachment(kColor, rgba); }

void KELVulkanHeadlessContext::ReadIds(uint32_t* ids) { ReadAttachment(kIds, ids); }

bool KELVulkanHeadlessContext::ReadDepth(float* depth) {
  if (!iDepthReadable || !IsValid()) return false;
  const size_t count = static_cast<size_t>(iWidth) * iHeight;
  if (iDepthFormat == VK_FORMAT_D32_SFLOAT) {
    ReadAttachment(kDepth, depth);
    return true;
  }
  // Unsigned normalised depth, widened to floats in place from the end.
  ReadAttachment(kDepth, depth);
  if (iDepthFormat == VK_FORMAT_D16_UNORM) {
    const uint16_t* values = reinterpret_cast<const uint16_t*>(depth);
    for (size_t i = count; i-- > 0;) depth[i] = static_cast<float>(values[i]) / 65535.0f;
  } else {
    const uint32_t* values = reinterpret_cast<const uint32_t*>(depth);
    for (size_t i = 0; i < count; ++i) depth[i] = static_cast<float>(values[i] & 0xFFFFFFu) / 16777215.0f;
  }
  return true;
}

void KELVulkanHeadlessContext::Destroy() {
  if (iDevice != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(iDevice);
    for (KELSlot& slot : iSlots)
      if (slot.iFence != VK_NULL_HANDLE) vkDestroyFence(iDevice, slot.iFence, nullptr);
    if (iCommandPool != VK_NULL_HANDLE) vkDestroyCommandPool(iDevice, iCommandPool, nullptr);
    if (iFramebuffer != VK_NULL_HANDLE) vkDestroyFramebuffer(iDevice, iFramebuffer, nullptr);
    if (iRenderPass != VK_NULL_HANDLE) vkDestroyRenderPass(iDevice, iRenderPass, nullptr);
    for (KELImage& image : iImages) {
      if (image.iView != VK_NULL_HANDLE) vkDestroyImageView(iDevice, image.iView, nullptr);
      if (image.iImage != VK_NULL_HANDLE) vkDestroyImage(iDevice, image.iImage, nullptr);
      if (image.iMemory != VK_NULL_HANDLE) vkFreeMemory(iDevice, image.iMemory, nullptr);
    }
    KELVulkanHostBuffer staging;
    staging.iBuffer = iStagingBuffer;
    staging.iMemory = iStagingMemory;
    KELDestroyHostBuffer(iDevice, staging);
    vkDestroyDevice(iDevice, nullptr);
  }
  if (iMessenger != VK_NULL_HANDLE) {
    auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(iInstance, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy != nullptr) destroy(iInstance, iMessenger, nullptr);
  }
  if (iInstance != VK_NULL_HANDLE) vkDestroyInstance(iInstance, nullptr);
  iSlots.clear();
  iImages.clear();
  iInstance = VK_NULL_HANDLE;
  iMessenger = VK_NULL_HANDLE;
  iPhysicalDevice = VK_NULL_HANDLE;
  iDevice = VK_NULL_HANDLE;
  iQueue = VK_NULL_HANDLE;
  iCommandPool = VK_NULL_HANDLE;
  iRenderPass = VK_NULL_HANDLE;
  iFramebuffer = VK_NULL_HANDLE;
  iStagingBuffer = VK_NULL_HANDLE;
  iStagingMemory = VK_NULL_HANDLE;
  iStagingMapped = nullptr;
  iRecording = -1;
  iInfo = KELVulkanTargetInfo();
  iDepthFormat = VK_FORMAT_UNDEFINED;
  iSubmitResult = VK_SUCCESS;
  iSubmitCount = 0;
  iValidationErrors = 0;
  iDeviceName.clear();
}
