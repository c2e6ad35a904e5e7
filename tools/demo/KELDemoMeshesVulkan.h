// A model's meshes on Vulkan, as KELDemoMeshesGL does on OpenGL: uploaded
// once into one vertex and one index buffer, each entry recorded with its
// own matrix into the target's command buffer, shaded or as IDs.
#ifndef KEL_DEMO_MESHES_VULKAN_H
#define KEL_DEMO_MESHES_VULKAN_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

#include "KELDemoMeshData.h"
#include "KELModel.h"
#include "KELVulkanTarget.h"

class KELDemoMeshesVulkan {
public:
  enum Mode { kShaded, kIds };

  KELDemoMeshesVulkan() = default;
  ~KELDemoMeshesVulkan();
  KELDemoMeshesVulkan(const KELDemoMeshesVulkan&) = delete;
  KELDemoMeshesVulkan& operator=(const KELDemoMeshesVulkan&) = delete;

  // Builds both pipelines for `target` and uploads every mesh of `model`;
  // both must outlive this. False when any step fails.
  bool Create(KELVulkanTarget* target, const kel::KELModel& model);
  // Depth compares greater-or-equal (reversed depth); set before Create.
  void SetReversedDepth(bool reversed) { iReversedDepth = reversed; }
  // clip = viewProjection * p, 16 floats, column-major, OpenGL conventions.
  void SetViewProjection(const float* viewProjection);
  // Starts a run of draws in `mode` in the command buffer being recorded.
  void Begin(Mode mode);
  // Records entry `index`; `value` is a packed RGBA tint (shaded) or the ID
  // written to attachment 1.
  void DrawEntry(uint32_t index, uint32_t value);

private:
  struct KELBuffer {
    VkBuffer iBuffer = VK_NULL_HANDLE;
    VkDeviceMemory iMemory = VK_NULL_HANDLE;
  };
  bool Upload(const void* bytes, VkDeviceSize size, VkBufferUsageFlags usage, KELBuffer& buffer);
  VkPipeline BuildPipeline(Mode mode);
  void Destroy();

  KELVulkanTarget* iTarget = nullptr;
  VkDevice iDevice = VK_NULL_HANDLE;
  const kel::KELModel* iModel = nullptr;
  std::vector<KELDemoMeshRange> iRanges;
  VkShaderModule iShaders[3] = {VK_NULL_HANDLE, VK_NULL_HANDLE, VK_NULL_HANDLE};
  VkPipelineLayout iLayout = VK_NULL_HANDLE;
  VkPipeline iPipelines[2] = {VK_NULL_HANDLE, VK_NULL_HANDLE};
  KELBuffer iVertices;
  KELBuffer iIndices;
  VkCommandBuffer iCommands = VK_NULL_HANDLE;
  float iViewProjection[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  bool iReversedDepth = false;
};

#endif
