#include "KELDemoHost.h"

KELDemoHost::KELDemoHost(const kel::KELScene& scene, KELGLBoxRenderer& renderer, KELDemoMeshesGL* meshes,
                         bool modelMeshes)
    : KELDemoFrameLog(scene), iRenderer(renderer), iMeshes(meshes), iModelMeshes(modelMeshes && meshes != nullptr) {}

void KELDemoHost::AddInstance(uint32_t index) {
  const kel::KELSceneObject& object = GetObject(index);
  MarkDrawn(index);
  if (iModelMeshes) {
    iMeshes->DrawEntry(index, object.iColor);
    return;
  }
  KELGLBoxInstance instance;
  for (int axis = 0; axis < 3; ++axis) {
    instance.iMin[axis] = object.iMin[axis];
    instance.iMax[axis] = object.iMax[axis];
  }
  instance.iValue = object.iColor;
  iInstances.push_back(instance);
}

void KELDemoHost::DrawInstances() {
  if (iModelMeshes) return;
  iRenderer.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELGLBoxRenderer::kShaded);
  iInstances.clear();
}

void KELDemoHost::DrawIndices(const uint32_t* indices, uint32_t count) {
  if (iModelMeshes) iMeshes->Begin(KELDemoMeshesGL::kShaded);
  for (uint32_t i = 0; i < count; ++i) AddInstance(indices[i]);
  DrawInstances();
}

void KELDemoHost::DrawObjects(void* const* objects, const float* const*, const bool*, uint32_t count) {
  // Meshes carry their entry's matrix in the model or the pack, and boxes
  // are in world space: the placement matrices are not needed.
  const bool streamed = iStreamed && iMeshes != nullptr;
  if (iModelMeshes || streamed) iMeshes->Begin(KELDemoMeshesGL::kShaded);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t index = IndexOf(objects[i]);
    if (IsSkipped(index)) continue;
    if (!streamed) AddInstance(index);
    else if (iMeshes->DrawStreamed(index, GetObject(index).iColor)) MarkDrawn(index);
    else AddMissingMesh();
  }
  if (!streamed) DrawInstances();
}

void KELDemoHost::TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) {
  AddTouched(IndexOf(object), pixels);
}
