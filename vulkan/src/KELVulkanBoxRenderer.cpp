#include "KELVulkanBoxRenderer.h"

#include <cstddef>
#include <cstring>

#include "KELVulkanMemory.h"
#include "KELVulkanShaders.h"

namespace {

const uint64_t kFirstChunkBytes = 64 * 1024;
const int kVertexShader = 0;

// Corner (0..1) and face normal for the 36 vertices of a unit cube.
void BuildCube(float* vertices) {
  static const int kFaces[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1},
                                   {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
  static const float kNormals[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
  static const int kCornerOrder[6] = {0, 1, 2, 0, 2, 3};
  float* out = vertices;
  for (int face = 0; face < 6; ++face)
    for (int k = 0; k < 6; ++k) {
      int corner = kFaces[face][kCornerOrder[k]];
      // Corner index bits: 1 = +x, 2 = +y, 4 = +z.
      *out++ = static_cast<float>(corner & 1);
      *out++ = static_cast<float>((corner >> 1) & 1);
      *out++ = static_cast<float>((corner >> 2) & 1);
      for (int axis = 0; axis < 3; ++axis) *out++ = kNormals[face][axis];
    }
}

VkShaderModule MakeShader(VkDevice device, const uint32_t* code, size_t bytes) {
  VkShaderModuleCreateInfo info = {};
  info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
  info.codeSize = bytes;
  info.pCode = code;
  VkShaderModule module = VK_NULL_HANDLE;
  return vkCreateShaderModule(device, &info, nullptr, &module) == VK_SUCCESS ? module : VK_NULL_HANDLE;
}

}  // namespace

// One piece of the per-frame instance storage. Draws recorded but not yet
// executed read from it, so a full chunk is never rewritten before Reset.
struct KELVulkanBoxRenderer::KELChunk {
  KELVulkanHostBuffer iBuffer;
  uint64_t iUsed = 0;
};

KELVulkanBoxRenderer::KELVulkanBoxRenderer()
    : iTarget(nullptr), iDevice(VK_NULL_HANDLE), iShaders{}, iLayout(VK_NULL_HANDLE), iPipelines{},
      iFailedPipelines(0), iCurrentChunk(0), iCubeBuffer(VK_NULL_HANDLE), iCubeMemory(VK_NULL_HANDLE),
      iViewProjection{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, iDepthTest(true), iDepthWrite(true),
      iColorWrite(true), iReversedDepth(false) {}

KELVulkanBoxRenderer::~KELVulkanBoxRenderer() { Destroy(); }

bool KELVulkanBoxRenderer::Create(KELVulkanTarget* target) {
  Destroy();
  if (target == nullptr || target->GetInfo().iDevice == VK_NULL_HANDLE) return false;
  iTarget = target;
  iDevice = target->GetInfo().iDevice;
  iShaders[kVertexShader] = MakeShader(iDevice, kKELBoxVertexShader, sizeof(kKELBoxVertexShader));
  iShaders[1 + kShaded] = MakeShader(iDevice, kKELBoxShadedFragmentShader, sizeof(kKELBoxShadedFragmentShader));
  iShaders[1 + kIds] = MakeShader(iDevice, kKELBoxIdFragmentShader, sizeof(kKELBoxIdFragmentShader));
  for (VkShaderModule module : iShaders)
    if (module == VK_NULL_HANDLE) {
      Destroy();
      return false;
    }
  VkPushConstantRange push = {VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(iViewProjection)};
  VkPipelineLayoutCreateInfo layout = {};
  layout.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  layout.pushConstantRangeCount = 1;
  layout.pPushConstantRanges = &push;
  VkPipelineLayout made = VK_NULL_HANDLE;
  KELVulkanHostBuffer cube;
  float vertices[36 * 6];
  BuildCube(vertices);
  if (vkCreatePipelineLayout(iDevice, &layout, nullptr, &made) != VK_SUCCESS ||
      !KELCreateHostBuffer(target->GetInfo().iPhysicalDevice, iDevice, sizeof(vertices),
                           VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, cube)) {
    if (made != VK_NULL_HANDLE) vkDestroyPipelineLayout(iDevice, made, nullptr);
    Destroy();
    return false;
  }
  std::memcpy(cube.iMapped, vertices, sizeof(vertices));
  iCubeBuffer = cube.iBuffer;
  iCubeMemory = cube.iMemory;
  iLayout = made;
  iDepthTest = iDepthWrite = iColorWrite = true;
  iReversedDepth = false;
  return true;
}

void KELVulkanBoxRenderer::Destroy() {
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
    for (KELChunk& chunk : iChunks) KELDestroyHostBuffer(iDevice, chunk.iBuffer);
    KELVulkanHostBuffer cube;
    cube.iBuffer = iCubeBuffer;
    cube.iMemory = iCubeMemory;
    KELDestroyHostBuffer(iDevice, cube);
  }
  iLayout = VK_NULL_HANDLE;
  iFailedPipelines = 0;
  iChunks.clear();
  iCurrentChunk = 0;
  iCubeBuffer = VK_NULL_HANDLE;
  iCubeMemory = VK_NULL_HANDLE;
  iDevice = VK_NULL_HANDLE;
  iTarget = nullptr;
}

void KELVulkanBoxRenderer::SetViewProjection(const float* viewProjection) {
  std::memcpy(iViewProjection, viewProjection, sizeof(iViewProjection));
}

uint32_t KELVulkanBoxRenderer::GetPipelineCount() const {
  uint32_t count = 0;
  for (VkPipeline pipeline : iPipelines)
    if (pipeline != VK_NULL_HANDLE) ++count;
  return count;
}

uint64_t KELVulkanBoxRenderer::GetInstanceCapacity() const {
  uint64_t bytes = 0;
  for (const KELChunk& chunk : iChunks) bytes += chunk.iBuffer.iSize;
  return bytes;
}

VkPipeline KELVulkanBoxRenderer::GetPipeline(Mode mode) {
  // Without a depth test nothing is written to depth either, as in OpenGL.
  bool depthWrite = iDepthTest && iDepthWrite;
  int key = (mode << 4) | (iReversedDepth ? 8 : 0) | (iDepthTest ? 4 : 0) | (depthWrite ? 2 : 0) |
            (iColorWrite ? 1 : 0);
  if (iPipelines[key] == VK_NULL_HANDLE && (iFailedPipelines & (1u << key)) == 0) {
    iPipelines[key] = BuildPipeline(mode, iDepthTest, depthWrite, iColorWrite, iReversedDepth);
    if (iPipelines[key] == VK_NULL_HANDLE) iFailedPipelines |= 1u << key;
  }
  return iPipelines[key];
}

VkPipeline KELVulkanBoxRenderer::BuildPipeline(Mode mode, bool depthTest, bool depthWrite, bool colorWrite,
                                               bool reversed) {
  const KELVulkanTargetInfo& info = iTarget->GetInfo();
  VkPipelineShaderStageCreateInfo stages[2] = {};
  stages[0].sType = stages[1].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
  stages[0].module = iShaders[kVertexShader];
  stages[0].pName = "main";
  stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
  stages[1].module = iShaders[1 + mode];
  stages[1].pName = "main";

  const VkVertexInputBindingDescription bindings[2] = {
      {0, 6 * sizeof(float), VK_VERTEX_INPUT_RATE_VERTEX},
      {1, sizeof(KELVulkanBoxInstance), VK_VERTEX_INPUT_RATE_INSTANCE}};
  const VkVertexInputAttributeDescription attributes[5] = {
      {0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
      {1, 0, VK_FORMAT_R32G32B32_SFLOAT, 3 * sizeof(float)},
      {2, 1, VK_FORMAT_R32G32B32_SFLOAT, offsetof(KELVulkanBoxInstance, iMin)},
      {3, 1, VK_FORMAT_R32G32B32_SFLOAT, offsetof(KELVulkanBoxInstance, iMax)},
      {4, 1, VK_FORMAT_R32_UINT, offsetof(KELVulkanBoxInstance, iValue)}};
  VkPipelineVertexInputStateCreateInfo vertexInput = {};
  vertexInput.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  vertexInput.vertexBindingDescriptionCount = 2;
  vertexInput.pVertexBindingDescriptions = bindings;
  vertexInput.vertexAttributeDescriptionCount = 5;
  vertexInput.pVertexAttributeDescriptions = attributes;
  VkPipelineInputAssemblyStateCreateInfo assembly = {};
  assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  VkPipelineViewportStateCreateInfo viewport = {};
  viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
  viewport.viewportCount = 1;
  viewport.scissorCount = 1;
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
  depth.depthTestEnable = depthTest ? VK_TRUE : VK_FALSE;
  depth.depthWriteEnable = depthWrite ? VK_TRUE : VK_FALSE;
  // Fill queries write boxes that entry queries draw again; those must be
  // able to pass on the boxes' own surfaces.
  depth.depthCompareOp = reversed ? VK_COMPARE_OP_GREATER_OR_EQUAL : VK_COMPARE_OP_LESS_OR_EQUAL;
  // Shaded draws write attachment 0, ID draws attachment 1, each only when
  // colour writes are on; one blend state per attachment of the subpass.
  std::vector<VkPipelineColorBlendAttachmentState> blends(info.iColorAttachmentCount);
  const VkColorComponentFlags all = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                                    VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
  if (colorWrite && static_cast<uint32_t>(mode) < blends.size()) blends[mode].colorWriteMask = all;
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

bool KELVulkanBoxRenderer::Reserve(uint64_t bytes, KELChunk*& chunk) {
  while (iCurrentChunk < iChunks.size()) {
    KELChunk& current = iChunks[iCurrentChunk];
    if (current.iBuffer.iSize - current.iUsed >= bytes) {
      chunk = &current;
      return true;
    }
    ++iCurrentChunk;
  }
  // A new chunk, at least twice the last one, so that a frame needs few.
  uint64_t size = iChunks.empty() ? kFirstChunkBytes : 2 * iChunks.back().iBuffer.iSize;
  while (size < bytes) size *= 2;
  KELChunk added;
  if (!KELCreateHostBuffer(iTarget->GetInfo().iPhysicalDevice, iDevice, size, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT,
                           added.iBuffer))
    return false;
  iChunks.push_back(added);
  iCurrentChunk = iChunks.size() - 1;
  chunk = &iChunks.back();
  return true;
}

void KELVulkanBoxRenderer::Reset() {
  for (KELChunk& chunk : iChunks) chunk.iUsed = 0;
  iCurrentChunk = 0;
}

bool KELVulkanBoxRenderer::Draw(const KELVulkanBoxInstance* boxes, uint32_t count, Mode mode) {
  if (count == 0) return true;
  if (!IsValid()) return false;
  VkPipeline pipeline = GetPipeline(mode);
  uint64_t bytes = static_cast<uint64_t>(count) * sizeof(KELVulkanBoxInstance);
  KELChunk* chunk = nullptr;
  if (pipeline == VK_NULL_HANDLE || !Reserve(bytes, chunk)) return false;
  VkDeviceSize offset = chunk->iUsed;
  std::memcpy(static_cast<uint8_t*>(chunk->iBuffer.iMapped) + offset, boxes, bytes);
  chunk->iUsed += bytes;
  VkCommandBuffer commands = iTarget->GetCommandBuffer();
  vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
  vkCmdPushConstants(commands, iLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(iViewProjection), iViewProjection);
  const VkBuffer buffers[2] = {iCubeBuffer, chunk->iBuffer.iBuffer};
  const VkDeviceSize offsets[2] = {0, offset};
  vkCmdBindVertexBuffers(commands, 0, 2, buffers, offsets);
  vkCmdDraw(commands, 36, count, 0, 0);
  return true;
}
