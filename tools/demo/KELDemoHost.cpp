#include "KELDemoHost.h"

KELDemoHost::KELDemoHost(const kel::KELScene& scene, KELGLBoxRenderer& renderer)
    : KELDemoFrameLog(scene), iRenderer(renderer) {}

void KELDemoHost::AddInstance(uint32_t index) {
  const kel::KELSceneObject& object = GetObject(index);
  KELGLBoxInstance instance;
  for (int axis = 0; axis < 3; ++axis) {
    instance.iMin[axis] = object.iMin[axis];
    instance.iMax[axis] = object.iMax[axis];
  }
  instance.iValue = object.iColor;
  iInstances.push_back(instance);
  MarkDrawn(index);
}

void KELDemoHost::DrawInstances() {
  iRenderer.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELGLBoxRenderer::kShaded);
  iInstances.clear();
}

void KELDemoHost::DrawIndices(const uint32_t* indices, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) AddInstance(indices[i]);
  DrawInstances();
}

void KELDemoHost::DrawObjects(void* const* objects, const float* const*, const bool*, uint32_t count) {
  // Every scene object is a box in world space, so the placement matrices
  // are not needed.
  for (uint32_t i = 0; i < count; ++i) AddInstance(IndexOf(objects[i]));
  DrawInstances();
}

void KELDemoHost::TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) {
  AddTouched(IndexOf(object), pixels);
}
