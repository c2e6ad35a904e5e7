// A model's meshes on Vulkan, as KELDemoMeshesGL does on OpenGL: uploaded
// once into one vertex and one index buffer, each entry recorded with its
// own matrix into the target's command buffer, shaded or as IDs; streamed
// entries in a buffer each.
#ifndef KEL_DEMO_MESHES_VULKAN_H
#define KEL_DEMO_MESHES_VULKAN_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

#include "KELDemoMeshData.h"
#include "KELModel.h"
#include "KELStreaming.h"
#include "KELVulkanTarget.h"

class KELDemoMeshesVulkan {
public:
  enum Mode { kShaded, kIds };

  KELDemoMeshesVulkan() = default;
  ~KELDemoMeshesVulkan();
  KELDemoMeshesVulkan(const KELDemoMeshesVulkan&) = delete;
  KELDemoMeshesVulkan& operator=(const KELDemoMeshesVulkan&) = delete;

  // Builds both pipelines for `target` and uploads every mesh of `model`
  // (if any); both must outlive this. False when any step fails.
  bool Create(KELVulkanTarget* target, const kel::KELModel* model);
  // Depth compares greater-or-equal (reversed depth); set before Create.
  void SetReversedDepth(bool reversed) { iReversedDepth = reversed; }
  // clip = viewProjection * p, 16 floats, column-major, OpenGL conventions.
  void SetViewProjection(const float* viewProjection);
  // Starts a run of draws in `mode` in the command buffer being recorded.
  void Begin(Mode mode);
  // Records entry `index`; `value` is a packed RGBA tint (shaded) or the ID
  // written to attachment 1.
  void DrawEntry(uint32_t index, uint32_t value);

  // Streamed entry `index`: one buffer in memory of its own, vertices then
  // indices; `matrix` (null: world space) must outlive the entry. Release
  // frees at once: call it only when no submitted frame may still draw it.
  uint64_t GetStreamedBytes(const KELPackEntry& entry) const;
  bool UploadStreamed(uint32_t index, const KELPackGeometry& geometry, const float* matrix, uint64_t& bytes);
  void ReleaseStreamed(uint32_t index);
  // Records the streamed entry in the current run; false when it has none.
  bool DrawStreamed(uint32_t index, uint32_t value);

private:
  struct KELBuffer {
    VkBuffer iBuffer = VK_NULL_HANDLE;
    VkDeviceMemory iMemory = VK_NULL_HANDLE;
  };
  struct KELStreamed {
    KELBuffer iBuffer;
    uint32_t iIndexCount = 0;
    uint32_t iVertexBytes = 0;
    const float* iMatrix = nullptr;
  };
  bool Upload(const void* bytes, VkDeviceSize size, VkBufferUsageFlags usage, KELBuffer& buffer);
  bool MakeBuffer(VkDeviceSize size, VkBufferUsageFlags usage, KELBuffer& buffer, VkDeviceSize& allocated,
                  void** mapped);
  void Push(const float* matrix, uint32_t value);
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
  bool iModelBound = false;  // the model's buffers are bound in iCommands
  std::vector<KELStreamed> iStreamed;
  uint32_t iStreamedCount = 0;
  uint32_t iMaxAllocations = 0;       // of the device, less what the rest may need
  VkDeviceSize iStreamAlignment = 256;
  float iViewProjection[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  bool iReversedDepth = false;
};

#endif
