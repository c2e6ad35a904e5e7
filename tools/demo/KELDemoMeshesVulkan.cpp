#include "KELDemoMeshesVulkan.h"

#include <cstddef>
#include <cstring>

#include "KELDemoMeshShaders.h"
#include "KELSceneMath.h"

namespace {

// What each draw pushes; the layout of the vertex shader's push block.
struct KELMeshPush {
  float iModelViewProjection[16];
  float iNormalRows[3][4];
  uint32_t iValue;
};

VkShaderModule MakeShader(VkDevice device, const uint32_t* code, size_t bytes) {
  VkShaderModuleCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
  info.codeSize = bytes;
  info.pCode = code;
  VkShaderModule module = VK_NULL_HANDLE;
  return vkCreateShaderModule(device, &info, nullptr, &module) == VK_SUCCESS ? module : VK_NULL_HANDLE;
}

}  // namespace

KELDemoMeshesVulkan::~KELDemoMeshesVulkan() { Destroy(); }

bool KELDemoMeshesVulkan::Create(KELVulkanTarget* target, const kel::KELModel& model) {
  Destroy();
  if (target == nullptr || target->GetInfo().iDevice == VK_NULL_HANDLE) return false;
  iTarget = target;
  iDevice = target->GetInfo().iDevice;
  iModel = &model;
  iShaders[0] = MakeShader(iDevice, kKELMeshVertexShader, sizeof(kKELMeshVertexShader));
  iShaders[1 + kShaded] = MakeShader(iDevice, kKELMeshShadedFragmentShader, sizeof(kKELMeshShadedFragmentShader));
  iShaders[1 + kIds] = MakeShader(iDevice, kKELMeshIdFragmentShader, sizeof(kKELMeshIdFragmentShader));
  VkPushConstantRange push = {VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(KELMeshPush)};
  VkPipelineLayoutCreateInfo layout = {};
  layout.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  layout.pushConstantRangeCount = 1;
  layout.pPushConstantRanges = &push;
  bool made = iShaders[0] != VK_NULL_HANDLE && iShaders[1] != VK_NULL_HANDLE && iShaders[2] != VK_NULL_HANDLE &&
              vkCreatePipelineLayout(iDevice, &layout, nullptr, &iLayout) == VK_SUCCESS;
  if (made) {
    iPipelines[kShaded] = BuildPipeline(kShaded);
    iPipelines[kIds] = BuildPipeline(kIds);
    made = iPipelines[kShaded] != VK_NULL_HANDLE && iPipelines[kIds] != VK_NULL_HANDLE;
  }
  KELDemoMeshData data;
  BuildMeshData(model, data);
  iRanges = data.iRanges;
  // An empty buffer is not allowed: one unused element keeps both valid.
  if (data.iVertices.empty()) data.iVertices.resize(1);
  if (data.iIndices.empty()) data.iIndices.resize(1, 0);
  made = made &&
         Upload(data.iVertices.data(), data.iVertices.size() * sizeof(KELDemoMeshVertex),
                VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, iVertices) &&
         Upload(data.iIndices.data(), data.iIndices.size() * sizeof(uint32_t), VK_BUFFER_USAGE_INDEX_BUFFER_BIT,
                iIndices);
  if (!made) Destroy();
  return made;
}

bool KELDemoMeshesVulkan::Upload(const void* bytes, VkDeviceSize size, VkBufferUsageFlags usage, KELBuffer& buffer) {
  // Host-visible memory, written once; software devices have no other kind.
  VkBufferCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (vkCreateBuffer(iDevice, &info, nullptr, &buffer.iBuffer) != VK_SUCCESS) return false;
  VkMemoryRequirements requirements;
  vkGetBufferMemoryRequirements(iDevice, buffer.iBuffer, &requirements);
  VkPhysicalDeviceMemoryProperties properties;
  vkGetPhysicalDeviceMemoryProperties(iTarget->GetInfo().iPhysicalDevice, &properties);
  const VkMemoryPropertyFlags wanted = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  uint32_t type = UINT32_MAX;
  for (uint32_t t = 0; t < properties.memoryTypeCount && type == UINT32_MAX; ++t)
    if ((requirements.memoryTypeBits & (1u << t)) && (properties.memoryTypes[t].propertyFlags & wanted) == wanted)
      type = t;
  if (type == UINT32_MAX) return false;
  VkMemoryAllocateInfo allocation = {};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = requirements.size;
  allocation.memoryTypeIndex = type;
  void* mapped = nullptr;
  if (vkAllocateMemory(iDevice, &allocation, nullptr, &buffer.iMemory) != VK_SUCCESS ||
      vkBindBufferMemory(iDevice, buffer.iBuffer, buffer.iMemory, 0) != VK_SUCCESS ||
      vkMapMemory(iDevice, buffer.iMemory, 0, size, 0, &mapped) != VK_SUCCESS)
    return false;
  std::memcpy(mapped, bytes, size);
  vkUnmapMemory(iDevice, buffer.iMemory);
  return true;
}

VkPipeline KELDemoMeshesVulkan::BuildPipeline(Mode mode) {
  const KELVulkanTargetInfo& info = iTarget->GetInfo();
  VkPipelineShaderStageCreateInfo stages[2] = {};
  stages[0].sType = stages[1].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
  stages[0].module = iShaders[0];
  stages[0].pName = "main";
  stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
  stages[1].module = iShaders[1 + mode];
  stages[1].pName = "main";
  const VkVertexInputBindingDescription binding = {0, sizeof(KELDemoMeshVertex), VK_VERTEX_INPUT_RATE_VERTEX};
  const VkVertexInputAttributeDescription attributes[3] = {
      {0, 0, VK_FORMAT_R32G32B32_SFLOAT, offsetof(KELDemoMeshVertex, iPosition)},
      {1, 0, VK_FORMAT_R32G32B32_SFLOAT, offsetof(KELDemoMeshVertex, iNormal)},
      {2, 0, VK_FORMAT_R8G8B8A8_UNORM, offsetof(KELDemoMeshVertex, iColor)}};
  VkPipelineVertexInputStateCreateInfo vertexInput = {};
  vertexInput.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  vertexInput.vertexBindingDescriptionCount = 1;
  vertexInput.pVertexBindingDescriptions = &binding;
  vertexInput.vertexAttributeDescriptionCount = 3;
  vertexInput.pVertexAttributeDescriptions = attributes;
  VkPipelineInputAssemblyStateCreateInfo assembly = {};
  assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  VkPipelineViewportStateCreateInfo viewport = {};
  viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
  viewport.viewportCount = 1;
  viewport.scissorCount = 1;
  // Both faces drawn: files do not agree on windings.
  VkPipelineRasterizationStateCreateInfo raster = {};
  raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
  raster.polygonMode = VK_POLYGON_MODE_FILL;
  raster.cullMode = VK_CULL_MODE_NONE;
  raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  raster.lineWidth = 1.0f;
  VkPipelineMultisampleStateCreateInfo multisample = {};
  multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
  multisample.rasterizationSamples = info.iSamples;
  VkPipelineDepthStencilStateCreateInfo depth = {};
  depth.sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO;
  depth.depthTestEnable = VK_TRUE;
  depth.depthWriteEnable = VK_TRUE;
  depth.depthCompareOp = iReversedDepth ? VK_COMPARE_OP_GREATER_OR_EQUAL : VK_COMPARE_OP_LESS_OR_EQUAL;
  // Shaded draws write attachment 0, ID draws attachment 1.
  std::vector<VkPipelineColorBlendAttachmentState> blends(info.iColorAttachmentCount);
  if (static_cast<uint32_t>(mode) < blends.size())
    blends[mode].colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                                  VK_COLOR_COMPONENT_A_BIT;
  VkPipelineColorBlendStateCreateInfo blend = {};
  blend.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
  blend.attachmentCount = info.iColorAttachmentCount;
  blend.pAttachments = blends.data();
  const VkDynamicState dynamics[2] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
  VkPipelineDynamicStateCreateInfo dynamic = {};
  dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
  dynamic.dynamicStateCount = 2;
  dynamic.pDynamicStates = dynamics;
  VkGraphicsPipelineCreateInfo pipeline = {};
  pipeline.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
  pipeline.stageCount = 2;
  pipeline.pStages = stages;
  pipeline.pVertexInputState = &vertexInput;
  pipeline.pInputAssemblyState = &assembly;
  pipeline.pViewportState = &viewport;
  pipeline.pRasterizationState = &raster;
  pipeline.pMultisampleState = &multisample;
  pipeline.pDepthStencilState = &depth;
  pipeline.pColorBlendState = &blend;
  pipeline.pDynamicState = &dynamic;
  pipeline.layout = iLayout;
  pipeline.renderPass = info.iRenderPass;
  pipeline.subpass = info.iSubpass;
  VkPipeline made = VK_NULL_HANDLE;
  if (vkCreateGraphicsPipelines(iDevice, VK_NULL_HANDLE, 1, &pipeline, nullptr, &made) != VK_SUCCESS)
    return VK_NULL_HANDLE;
  return made;
}

void KELDemoMeshesVulkan::Destroy() {
  if (iDevice != VK_NULL_HANDLE) {
    // Submitted draws may still read the buffers.
    vkDeviceWaitIdle(iDevice);
    for (VkPipeline& pipeline : iPipelines) {
      if (pipeline != VK_NULL_HANDLE) vkDestroyPipeline(iDevice, pipeline, nullptr);
      pipeline = VK_NULL_HANDLE;
    }
    if (iLayout != VK_NULL_HANDLE) vkDestroyPipelineLayout(iDevice, iLayout, nullptr);
    for (VkShaderModule& module : iShaders) {
      if (module != VK_NULL_HANDLE) vkDestroyShaderModule(iDevice, module, nullptr);
      module = VK_NULL_HANDLE;
    }
    for (KELBuffer* buffer : {&iVertices, &iIndices}) {
      if (buffer->iBuffer != VK_NULL_HANDLE) vkDestroyBuffer(iDevice, buffer->iBuffer, nullptr);
      if (buffer->iMemory != VK_NULL_HANDLE) vkFreeMemory(iDevice, buffer->iMemory, nullptr);
      *buffer = KELBuffer();
    }
  }
  iLayout = VK_NULL_HANDLE;
  iDevice = VK_NULL_HANDLE;
  iTarget = nullptr;
}

void KELDemoMeshesVulkan::SetViewProjection(const float* viewProjection) {
  std::memcpy(iViewProjection, viewProjection, sizeof(iViewProjection));
}

void KELDemoMeshesVulkan::Begin(Mode mode) {
  iCommands = VK_NULL_HANDLE;
  if (iLayout == VK_NULL_HANDLE) return;
  iCommands = iTarget->GetCommandBuffer();
  vkCmdBindPipeline(iCommands, VK_PIPELINE_BIND_POINT_GRAPHICS, iPipelines[mode]);
  const VkDeviceSize offset = 0;
  vkCmdBindVertexBuffers(iCommands, 0, 1, &iVertices.iBuffer, &offset);
  vkCmdBindIndexBuffer(iCommands, iIndices.iBuffer, 0, VK_INDEX_TYPE_UINT32);
}

void KELDemoMeshesVulkan::DrawEntry(uint32_t index, uint32_t value) {
  if (iCommands == VK_NULL_HANDLE || index >= iModel->iEntries.size()) return;
  const kel::KELModelEntry& entry = iModel->iEntries[index];
  const KELDemoMeshRange& range = iRanges[entry.iMesh];
  if (range.iIndexCount == 0) return;
  KELMeshPush push;
  kel::Multiply(iViewProjection, entry.iMatrix, push.iModelViewProjection);
  // The rotation's rows; shading normalises, so scale does not matter.
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) push.iNormalRows[row][column] = entry.iMatrix[column * 4 + row];
    push.iNormalRows[row][3] = 0;
  }
  push.iValue = value;
  vkCmdPushConstants(iCommands, iLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(push), &push);
  vkCmdDrawIndexed(iCommands, range.iIndexCount, 1, range.iFirstIndex, 0, 0);
}
