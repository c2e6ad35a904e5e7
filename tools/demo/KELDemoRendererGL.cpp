// The demo's renderer on OpenGL: the headless EGL context, the box renderer
// for objects and IDs, and the OpenGL client.
#include <algorithm>
#include <memory>
#include <vector>

#include "KELDemoHost.h"
#include "KELDemoRenderer.h"
#include "KELGLBoxRenderer.h"
#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"

namespace {

// Streamed entries become buffers of the meshes; their size is exactly the
// unpacked geometry's.
class KELDemoStreamStoreGL : public KELStreamingUploader {
public:
  explicit KELDemoStreamStoreGL(KELDemoMeshesGL*& meshes) : iMeshes(meshes) {}
  uint64_t GetUploadBytes(const KELPackEntry& entry) override { return entry.iUnpackedBytes; }
  bool Upload(uint32_t entry, const KELPackGeometry& geometry, const float* matrix, uint64_t& bytes) override {
    return iMeshes != nullptr && iMeshes->UploadStreamed(entry, geometry, matrix, bytes);
  }
  void Release(uint32_t entry) override {
    if (iMeshes != nullptr) iMeshes->ReleaseStreamed(entry);
  }

private:
  KELDemoMeshesGL*& iMeshes;
};

class KELDemoRendererGL : public KELDemoRenderer {
public:
  ~KELDemoRendererGL() override {
    // The client goes before the context that holds its query objects.
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
    if (!iBoxes.Create()) {
      error = "cannot build the box renderer";
      return false;
    }
    iMeshes.reset(new KELDemoMeshesGL());
    iMeshPointer = iMeshes.get();
    if (!iMeshes->Create(model)) {
      error = "cannot build the mesh programs or upload the model's meshes";
      return false;
    }
    iModelMeshes = model != nullptr;
    iHost.reset(new KELDemoHost(scene, iBoxes, iMeshes.get(), iModelMeshes));
    iClient.reset(new KELOpenGLClient(iHost.get()));
    if (!iClient->Create()) {
      error = "cannot build the OpenGL client";
      return false;
    }
    iClient->SetTiming(true);
    iClient->SetReversedDepth(iTargetOptions.iReversedDepth);
    if (iTargetOptions.iEngineLikeHost) iHost->SetEngineLike(iTargetOptions.iReversedDepth);
    return true;
  }
  std::string GetDeviceName() const override { return iContext.GetRendererName(); }
  int GetWidth() const override { return iContext.GetWidth(); }
  int GetHeight() const override { return iContext.GetHeight(); }
  KELDemoFrameLog& GetFrameLog() override { return *iHost; }

  void BeginFrame(const float* rgba, const float* viewProjection) override {
    iBoxes.SetViewProjection(viewProjection);
    iMeshes->SetViewProjection(viewProjection);
    iContext.Clear(rgba);
    SetDepthState();
    iHost->BeginEngineFrame();
  }
  void DrawObjects(const uint32_t* indices, uint32_t count) override { iHost->DrawIndices(indices, count); }
  void EndFrame() override { KELGL().Finish(); }

  KELOcclusionCullingClient* GetClient() override { return iClient.get(); }
  void BeginCulling(const float* view, const float* projection) override { iClient->BeginFrame(view, projection); }
  KELDemoClientStats GetClientStats() const override {
    const KELOpenGLClientStats& stats = iClient->GetStats();
    KELDemoClientStats result;
    result.iQueries = stats.iQueries;
    result.iFillQueries = stats.iFillQueries;
    result.iBatches = stats.iBatches;
    result.iBoxes = stats.iBoxes;
    result.iClientSeconds = stats.iClientSeconds;
    return result;
  }

  void RenderIds(const uint32_t* indices, uint32_t count, const float* viewProjection, uint32_t* ids) override {
    if (iModelMeshes) {
      RenderMeshIds(indices, count, viewProjection, ids);
      return;
    }
    iInstances.clear();
    for (uint32_t i = 0; i < count; ++i) {
      const kel::KELSceneObject& object = iScene->iObjects[indices[i]];
      KELGLBoxInstance instance;
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
    SetDepthState();
    iContext.UseIdTarget();
    iBoxes.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELGLBoxRenderer::kIds);
    iContext.UseColorTarget();
    iContext.ReadIds(ids);
  }
  void ReadColor(uint8_t* rgba) override { iContext.ReadColor(rgba); }
  KELStreamingUploader& GetStreamStore() override { return iStreamStore; }
  void SetStreamedDrawing(bool streamed) override { iHost->SetStreamed(streamed); }
  bool ReadDepth(float* depth) override {
    // A multisampled depth buffer cannot be read as pixels.
    if (iTargetOptions.iSamples > 1) return false;
    const int width = iContext.GetWidth(), height = iContext.GetHeight();
    KELGL().PixelStorei(GL_PACK_ALIGNMENT, 4);
    KELGL().ReadPixels(0, 0, width, height, GL_DEPTH_COMPONENT, GL_FLOAT, depth);
    // GL reads the bottom row first.
    for (int y = 0; y < height / 2; ++y)
      std::swap_ranges(depth + static_cast<size_t>(y) * width, depth + static_cast<size_t>(y + 1) * width,
                       depth + static_cast<size_t>(height - 1 - y) * width);
    return true;
  }

private:
  // Ground truth on the real triangles.
  void RenderMeshIds(const uint32_t* indices, uint32_t count, const float* viewProjection, uint32_t* ids) {
    const float background[4] = {0, 0, 0, 1};
    iMeshes->SetViewProjection(viewProjection);
    iContext.Clear(background);
    SetDepthState();
    iContext.UseIdTarget();
    iMeshes->Begin(KELDemoMeshesGL::kIds);
    for (uint32_t i = 0; i < count; ++i) iMeshes->DrawEntry(indices[i], indices[i] + 1);
    iContext.UseColorTarget();
    iContext.ReadIds(ids);
  }

  void SetDepthState() {
    KELGL().Enable(GL_DEPTH_TEST);
    KELGL().DepthFunc(iTargetOptions.iReversedDepth ? GL_GEQUAL : GL_LEQUAL);
  }

  const kel::KELScene* iScene = nullptr;
  KELHeadlessContext iContext;
  KELGLBoxRenderer iBoxes;
  std::unique_ptr<KELDemoMeshesGL> iMeshes;
  KELDemoMeshesGL* iMeshPointer = nullptr;  // what the stream store uploads to
  KELDemoStreamStoreGL iStreamStore{iMeshPointer};
  bool iModelMeshes = false;
  std::unique_ptr<KELDemoHost> iHost;
  std::unique_ptr<KELOpenGLClient> iClient;
  std::vector<KELGLBoxInstance> iInstances;
};

}  // namespace

std::unique_ptr<KELDemoRenderer> MakeOpenGLDemoRenderer() {
  return std::unique_ptr<KELDemoRenderer>(new KELDemoRendererGL());
}
