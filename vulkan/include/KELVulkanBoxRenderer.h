// Instanced drawing of world-space boxes on Vulkan: one draw of a unit cube
// per run of boxes, each instance carrying its min, max and a 32-bit value
// (a packed RGBA colour, or an ID for ID rendering). The Vulkan client draws
// its query boxes with it; simple hosts can draw box-shaped objects and
// their ground-truth ID images with it as well.
//
// Render states (depth test, depth write, colour write, the depth
// comparison) select one of a few pipelines, built on first use for the
// target's render pass and sample count. Depth compares less-or-equal, or
// greater-or-equal for reversed depth; face culling is off, so that a box
// around the camera still covers the screen.
#ifndef KEL_VULKAN_BOX_RENDERER_H
#define KEL_VULKAN_BOX_RENDERER_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

#include "KELVulkanExport.h"
#include "KELVulkanTarget.h"

struct KELVulkanBoxInstance {
  float iMin[3];
  float iMax[3];
  // Shaded mode: colour, red in the low byte. ID mode: written as is to
  // colour attachment 1.
  uint32_t iValue;
};

class KEL_VK_API KELVulkanBoxRenderer {
public:
  enum Mode { kShaded, kIds };

  KELVulkanBoxRenderer();
  ~KELVulkanBoxRenderer();
  KELVulkanBoxRenderer(const KELVulkanBoxRenderer&) = delete;
  KELVulkanBoxRenderer& operator=(const KELVulkanBoxRenderer&) = delete;

  // Builds shaders, the pipeline layout and the cube for `target`, which
  // must outlive the renderer. False when any step fails.
  bool Create(KELVulkanTarget* target);
  bool IsValid() const { return iLayout != VK_NULL_HANDLE; }
  // clip = viewProjection * p, 16 floats, column-major, OpenGL conventions.
  void SetViewProjection(const float* viewProjection);
  // The states of later draws; all on after Create.
  void SetDepthTest(bool enable) { iDepthTest = enable; }
  void SetDepthWrite(bool enable) { iDepthWrite = enable; }
  void SetColorWrite(bool enable) { iColorWrite = enable; }
  // Greater-or-equal instead of less-or-equal, for a target whose depth
  // runs reversed (cleared to 0, nearer is greater). Off after Create.
  void SetReversedDepth(bool reversed) { iReversedDepth = reversed; }
  // Records one instanced draw of `count` boxes into the target's command
  // buffer. Kinds kIds need a target with two colour attachments. False
  // when the draw could not be recorded (no pipeline, no instance memory,
  // or a renderer that was not created); nothing is recorded then.
  bool Draw(const KELVulkanBoxInstance* boxes, uint32_t count, Mode mode);
  // Recycles the instance storage. Call only when the device has finished
  // every draw recorded since the last Reset.
  void Reset();
  // Pipelines built so far (one per mode and state combination used).
  uint32_t GetPipelineCount() const;
  // Bytes of instance storage held (it grows in chunks, never shrinks).
  uint64_t GetInstanceCapacity() const;

private:
  struct KELChunk;
  VkPipeline GetPipeline(Mode mode);
  VkPipeline BuildPipeline(Mode mode, bool depthTest, bool depthWrite, bool colorWrite, bool reversed);
  bool Reserve(uint64_t bytes, KELChunk*& chunk);
  void Destroy();

  KELVulkanTarget* iTarget;
  VkDevice iDevice;
  VkShaderModule iShaders[3];
  VkPipelineLayout iLayout;
  VkPipeline iPipelines[32];
  // Pipelines whose build failed: not tried again on every draw.
  uint32_t iFailedPipelines;
  std::vector<KELChunk> iChunks;
  size_t iCurrentChunk;
  VkBuffer iCubeBuffer;
  VkDeviceMemory iCubeMemory;
  float iViewProjection[16];
  bool iDepthTest;
  bool iDepthWrite;
  bool iColorWrite;
  bool iReversedDepth;
};

#endif
