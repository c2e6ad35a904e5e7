// The demo's renderer on Vulkan: the headless device, the box renderer for
// objects and IDs (or a model's meshes), and the Vulkan client. Validation layers follow
// KEL_VULKAN_VALIDATION=1.
#include <memory>
#include <vector>

#include "KELDemoMeshesVulkan.h"
#include "KELDemoRenderer.h"
#include "KELVulkanBoxRenderer.h"
#include "KELVulkanClient.h"
#include "KELVulkanHeadlessContext.h"

namespace {

// Objects are the scene's boxes, recorded in instanced runs into the
// command buffer being recorded, or a model's meshes, entry by entry.
class KELDemoVulkanHost : public KELVulkanHost, public KELDemoFrameLog {
public:
  // Objects are boxes unless `modelMeshes`: then the meshes `meshes` holds.
  KELDemoVulkanHost(const kel::KELScene& scene, KELVulkanBoxRenderer& boxes, KELDemoMeshesVulkan& meshes,
                    bool modelMeshes)
      : KELDemoFrameLog(scene), iBoxes(boxes), iMeshes(meshes), iModelMeshes(modelMeshes) {}
  // The library's objects come from the streamed meshes (a streaming run).
  void SetStreamed(bool streamed) { iStreamed = streamed; }

  void DrawIndices(const uint32_t* indices, uint32_t count) {
    if (iModelMeshes) {
      iMeshes.Begin(KELDemoMeshesVulkan::kShaded);
      for (uint32_t i = 0; i < count; ++i) {
        iMeshes.DrawEntry(indices[i], GetObject(indices[i]).iColor);
        MarkDrawn(indices[i]);
      }
      return;
    }
    iInstances.clear();
    for (uint32_t i = 0; i < count; ++i) {
      const kel::KELSceneObject& object = GetObject(indices[i]);
      KELVulkanBoxInstance instance;
      for (int axis = 0; axis < 3; ++axis) {
        instance.iMin[axis] = object.iMin[axis];
        instance.iMax[axis] = object.iMax[axis];
      }
      instance.iValue = object.iColor;
      iInstances.push_back(instance);
      MarkDrawn(indices[i]);
    }
    iBoxes.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELVulkanBoxRenderer::kShaded);
  }

  // The box renderer records into the target's command buffer, the one
  // handed over here. Boxes are world space; matrices are not needed.
  void DrawObjects(VkCommandBuffer, void* const* objects, const float* const*, const bool*,
                   uint32_t count) override {
    iIndices.clear();
    for (uint32_t i = 0; i < count; ++i)
      if (!IsSkipped(IndexOf(objects[i]))) iIndices.push_back(IndexOf(objects[i]));
    if (!iStreamed) {
      DrawIndices(iIndices.data(), static_cast<uint32_t>(iIndices.size()));
      return;
    }
    iMeshes.Begin(KELDemoMeshesVulkan::kShaded);
    for (uint32_t index : iIndices) {
      if (iMeshes.DrawStreamed(index, GetObject(index).iColor)) MarkDrawn(index);
      else AddMissingMesh();
    }
  }
  void TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) override {
    AddTouched(IndexOf(object), pixels);
  }

private:
  KELVulkanBoxRenderer& iBoxes;
  KELDemoMeshesVulkan& iMeshes;
  bool iModelMeshes;
  bool iStreamed = false;
  std::vector<KELVulkanBoxInstance> iInstances;
  std::vector<uint32_t> iIndices;
};

// Streamed entries become buffers of the meshes.
class KELDemoStreamStoreVulkan : public KELStreamingUploader {
public:
  explicit KELDemoStreamStoreVulkan(KELDemoMeshesVulkan*& meshes) : iMeshes(meshes) {}
  uint64_t GetUploadBytes(const KELPackEntry& entry) override {
    return iMeshes != nullptr ? iMeshes->GetStreamedBytes(entry) : 0;
  }
  bool Upload(uint32_t entry, const KELPackGeometry& geometry, const float* matrix, uint64_t& bytes) override {
    return iMeshes != nullptr && iMeshes->UploadStreamed(entry, geometry, matrix, bytes);
  }
  // The demo waits for every frame it submits: nothing in flight still
  // draws what is released.
  void Release(uint32_t entry) override {
    if (iMeshes != nullptr) iMeshes->ReleaseStreamed(entry);
  }

private:
  KELDemoMeshesVulkan*& iMeshes;
};

class KELDemoRendererVulkan : public KELDemoRenderer {
public:
  ~KELDemoRendererVulkan() override {
    // Client and boxes go before the device that holds their objects.
    iClient.reset();
    iMeshPointer = nullptr;
    iMeshes.reset();
  }

  bool Create(const kel::KELScene& scene, const kel::KELModel* model, int width, int height,
              std::string& error) override {
    iScene = &scene;
    iContext.SetSampleCount(iTargetOptions.iSamples);
    iContext.SetDepthClearValue(iTargetOptions.iReversedDepth ? 0.0f : 1.0f);
    if (!iContext.Create(width, height)) {
      error = iContext.GetErrorText();
      return false;
    }
    if (!iBoxes.Create(&iContext)) {
      error = "cannot build the box renderer";
      return false;
    }
    iBoxes.SetReversedDepth(iTargetOptions.iReversedDepth);
    iMeshes.reset(new KELDemoMeshesVulkan());
    iMeshPointer = iMeshes.get();
    iMeshes->SetReversedDepth(iTargetOptions.iReversedDepth);
    if (!iMeshes->Create(&iContext, model)) {
      error = "cannot build the mesh pipelines or upload the model's meshes";
      return false;
    }
    iModelMeshes = model != nullptr;
    iHost.reset(new KELDemoVulkanHost(scene, iBoxes, *iMeshes, iModelMeshes));
    iClient.reset(new KELVulkanClient(&iContext, iHost.get()));
    if (!iClient->Create()) {
      error = "cannot build the Vulkan client";
      return false;
    }
    iClient->SetTiming(true);
    iClient->SetReversedDepth(iTargetOptions.iReversedDepth);
    return true;
  }
  std::string GetDeviceName() const override { return iContext.GetDeviceName(); }
  int GetWidth() const override { return iContext.GetWidth(); }
  int GetHeight() const override { return iContext.GetHeight(); }
  int GetValidationErrors() const override {
    return iContext.IsValidating() ? static_cast<int>(iContext.GetValidationErrorCount()) : -1;
  }
  KELDemoFrameLog& GetFrameLog() override { return *iHost; }

  void BeginFrame(const float* rgba, const float* viewProjection) override {
    iBoxes.SetViewProjection(viewProjection);
    iMeshes->SetViewProjection(viewProjection);
    iContext.Clear(rgba);
  }
  void DrawObjects(const uint32_t* indices, uint32_t count) override { iHost->DrawIndices(indices, count); }
  void EndFrame() override {
    iContext.Submit(true);
    iBoxes.Reset();
  }

  KELOcclusionCullingClient* GetClient() override { return iClient.get(); }
  void BeginCulling(const float* view, const float* projection) override { iClient->BeginFrame(view, projection); }
  KELDemoClientStats GetClientStats() const override {
    const KELVulkanClientStats& stats = iClient->GetStats();
    KELDemoClientStats result;
    result.iQueries = stats.iQueries;
    result.iFillQueries = stats.iFillQueries;
    result.iBatches = stats.iBatches;
    result.iBoxes = stats.iBoxes;
    result.iSubmits = stats.iSubmits;
    result.iClientSeconds = stats.iClientSeconds;
    return result;
  }

  void RenderIds(const uint32_t* indices, uint32_t count, const float* viewProjection, uint32_t* ids) override {
    if (iModelMeshes) {
      // Ground truth on the real triangles.
      const float background[4] = {0, 0, 0, 1};
      iMeshes->SetViewProjection(viewProjection);
      iContext.Clear(background);
      iMeshes->Begin(KELDemoMeshesVulkan::kIds);
      for (uint32_t i = 0; i < count; ++i) iMeshes->DrawEntry(indices[i], indices[i] + 1);
      iContext.ReadIds(ids);
      return;
    }
    iInstances.clear();
    for (uint32_t i = 0; i < count; ++i) {
      const kel::KELSceneObject& object = iScene->iObjects[indices[i]];
      KELVulkanBoxInstance instance;
      for (int axis = 0; axis < 3; ++axis) {
        instance.iMin[axis] = object.iMin[axis];
        instance.iMax[axis] = object.iMax[axis];
      }
      instance.iValue = indices[i] + 1;
      iInstances.push_back(instance);
    }
    const float background[4] = {0, 0, 0, 1};
    iBoxes.SetViewProjection(viewProjection);
    iContext.Clear(background);
    iBoxes.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELVulkanBoxRenderer::kIds);
    iContext.ReadIds(ids);
    iBoxes.Reset();
  }
  void ReadColor(uint8_t* rgba) override { iContext.ReadColor(rgba); }
  KELStreamingUploader& GetStreamStore() override { return iStreamStore; }
  void SetStreamedDrawing(bool streamed) override { iHost->SetStreamed(streamed); }
  bool ReadDepth(float* depth) override { return iContext.ReadDepth(depth); }

private:
  const kel::KELScene* iScene = nullptr;
  KELVulkanHeadlessContext iContext;
  KELVulkanBoxRenderer iBoxes;
  std::unique_ptr<KELDemoMeshesVulkan> iMeshes;
  KELDemoMeshesVulkan* iMeshPointer = nullptr;  // what the stream store uploads to
  KELDemoStreamStoreVulkan iStreamStore{iMeshPointer};
  bool iModelMeshes = false;
  std::unique_ptr<KELDemoVulkanHost> iHost;
  std::unique_ptr<KELVulkanClient> iClient;
  std::vector<KELVulkanBoxInstance> iInstances;
};

}  // namespace

std::unique_ptr<KELDemoRenderer> MakeVulkanDemoRenderer() {
  return std::unique_ptr<KELDemoRenderer>(new KELDemoRendererVulkan());
}
