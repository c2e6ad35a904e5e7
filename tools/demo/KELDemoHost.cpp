#include "KELDemoHost.h"

#include "KELGLFunctions.h"

KELDemoHost::KELDemoHost(const kel::KELScene& scene, KELGLBoxRenderer& renderer, KELDemoMeshesGL* meshes)
    : KELDemoFrameLog(scene), iRenderer(renderer), iMeshes(meshes) {}

KELDemoHost::~KELDemoHost() {
  if (iEngineVertexArray == 0) return;
  KELGL().DeleteVertexArrays(1, &iEngineVertexArray);
  KELGL().DeleteBuffers(1, &iEngineBuffer);
}

void KELDemoHost::SetEngineLike(bool reversedDepth) {
  const KELGLFunctions& gl = KELGL();
  iEngineReversedDepth = reversedDepth;
  if (iEngineVertexArray != 0) return;
  gl.GenVertexArrays(1, &iEngineVertexArray);
  gl.GenBuffers(1, &iEngineBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, iEngineBuffer);
  // A mesh that is not there: what the client's boxes would draw if they
  // read it.
  const float zeros[64] = {};
  gl.BufferData(GL_ARRAY_BUFFER, sizeof(zeros), zeros, GL_STATIC_DRAW);
}

void KELDemoHost::BeginEngineFrame() {
  if (iEngineVertexArray != 0) KELGL().BindVertexArray(iEngineVertexArray);
}

void KELDemoHost::PointEngineAttributes() {
  const KELGLFunctions& gl = KELGL();
  gl.BindBuffer(GL_ARRAY_BUFFER, iEngineBuffer);
  for (GLuint attribute = 0; attribute <= 4; ++attribute) {
    gl.VertexAttribPointer(attribute, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    gl.VertexAttribDivisor(attribute, 0);
  }
}

void KELDemoHost::LeaveEngineState() {
  const KELGLFunctions& gl = KELGL();
  gl.BindVertexArray(iEngineVertexArray);
  gl.DepthFunc(iEngineReversedDepth ? GL_GREATER : GL_LESS);
  gl.Enable(GL_CULL_FACE);
}

void KELDemoHost::AddInstance(uint32_t index) {
  const kel::KELSceneObject& object = GetObject(index);
  MarkDrawn(index);
  if (iMeshes != nullptr) {
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
  if (iMeshes != nullptr) return;
  iRenderer.Draw(iInstances.data(), static_cast<uint32_t>(iInstances.size()), KELGLBoxRenderer::kShaded);
  iInstances.clear();
}

void KELDemoHost::DrawIndices(const uint32_t* indices, uint32_t count) {
  if (iMeshes != nullptr) iMeshes->Begin(KELDemoMeshesGL::kShaded);
  for (uint32_t i = 0; i < count; ++i) AddInstance(indices[i]);
  DrawInstances();
}

void KELDemoHost::DrawObjects(void* const* objects, const float* const*, const bool*, uint32_t count) {
  // Meshes carry their entry's matrix in the model, and boxes are in world
  // space: the placement matrices are not needed.
  if (iEngineVertexArray != 0) PointEngineAttributes();
  if (iMeshes != nullptr) iMeshes->Begin(KELDemoMeshesGL::kShaded);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t index = IndexOf(objects[i]);
    if (!IsSkipped(index)) AddInstance(index);
  }
  DrawInstances();
  if (iEngineVertexArray != 0) LeaveEngineState();
}

void KELDemoHost::TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) {
  AddTouched(IndexOf(object), pixels);
}
