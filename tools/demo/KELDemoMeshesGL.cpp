#include "KELDemoMeshesGL.h"

#include <EGL/egl.h>

#include <cstddef>
#include <cstring>

#include "KELDemoMeshData.h"
#include "KELGLFunctions.h"

namespace {

const char* const kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 aPosition;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec4 aColor;
uniform mat4 uViewProjection;
uniform mat4 uModel;
out vec4 vColor;
out float vLight;
void main() {
  gl_Position = uViewProjection * (uModel * vec4(aPosition, 1.0));
  vec3 normal = mat3(uModel) * aNormal;
  float length2 = dot(normal, normal);
  vLight = length2 > 0.0 ? 0.45 + 0.55 * abs(dot(normal * inversesqrt(length2), normalize(vec3(0.4, 0.8, 0.3))))
                         : 0.8;
  vColor = aColor;
}
)";

const char* const kShadedFragmentShader = R"(#version 330 core
in vec4 vColor;
in float vLight;
uniform uint uValue;
layout(location = 0) out vec4 oColor;
void main() {
  vec4 tint = vec4((uvec4(uValue) >> uvec4(0u, 8u, 16u, 24u)) & 0xffu) / 255.0;
  // Vertex colours of levels hold baked light, often dim: half of it.
  oColor = vec4(tint.rgb * (0.5 + 0.5 * vColor.rgb) * vLight, 1.0);
}
)";

const char* const kIdFragmentShader = R"(#version 330 core
in vec4 vColor;
in float vLight;
uniform uint uValue;
layout(location = 1) out uint oId;
void main() { oId = uValue; }
)";

// Entry points the companion library's table does not carry.
struct KELMeshFunctions {
  PFNGLDRAWELEMENTSPROC iDrawElements = nullptr;
  PFNGLUNIFORM1UIPROC iUniform1ui = nullptr;
};

const KELMeshFunctions& MeshGL() {
  static const KELMeshFunctions functions = [] {
    KELMeshFunctions loaded;
    loaded.iDrawElements = reinterpret_cast<PFNGLDRAWELEMENTSPROC>(eglGetProcAddress("glDrawElements"));
    loaded.iUniform1ui = reinterpret_cast<PFNGLUNIFORM1UIPROC>(eglGetProcAddress("glUniform1ui"));
    return loaded;
  }();
  return functions;
}

}  // namespace

KELDemoMeshesGL::~KELDemoMeshesGL() { Destroy(); }

bool KELDemoMeshesGL::Create(const kel::KELModel* model) {
  Destroy();
  if (!KELGLFunctionsLoaded() || MeshGL().iDrawElements == nullptr || MeshGL().iUniform1ui == nullptr) return false;
  const KELGLFunctions& gl = KELGL();
  iPrograms[kShaded] = KELCompileGLProgram(kVertexShader, kShadedFragmentShader);
  iPrograms[kIds] = KELCompileGLProgram(kVertexShader, kIdFragmentShader);
  if (iPrograms[kShaded] == 0 || iPrograms[kIds] == 0) {
    Destroy();
    return false;
  }
  for (int mode = 0; mode < 2; ++mode) {
    iViewProjectionLocations[mode] = gl.GetUniformLocation(iPrograms[mode], "uViewProjection");
    iModelLocations[mode] = gl.GetUniformLocation(iPrograms[mode], "uModel");
    iValueLocations[mode] = gl.GetUniformLocation(iPrograms[mode], "uValue");
  }
  iModel = model;
  if (model != nullptr) Upload(*model);
  gl.GenVertexArrays(1, &iStreamVertexArray);
  return true;
}

namespace {

// The vertex layout, read from the bound array buffer.
void SetVertexLayout() {
  const KELGLFunctions& gl = KELGL();
  const GLsizei stride = sizeof(KELDemoMeshVertex);
  gl.VertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride,
                         reinterpret_cast<const void*>(offsetof(KELDemoMeshVertex, iPosition)));
  gl.VertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride,
                         reinterpret_cast<const void*>(offsetof(KELDemoMeshVertex, iNormal)));
  gl.VertexAttribPointer(2, 4, GL_UNSIGNED_BYTE, GL_TRUE, stride,
                         reinterpret_cast<const void*>(offsetof(KELDemoMeshVertex, iColor)));
  for (GLuint attribute = 0; attribute < 3; ++attribute) gl.EnableVertexAttribArray(attribute);
}

}  // namespace

void KELDemoMeshesGL::Upload(const kel::KELModel& model) {
  KELDemoMeshData data;
  BuildMeshData(model, data);
  iRanges = data.iRanges;
  const std::vector<KELDemoMeshVertex>& vertices = data.iVertices;
  const std::vector<uint32_t>& indices = data.iIndices;
  const KELGLFunctions& gl = KELGL();
  gl.GenVertexArrays(1, &iVertexArray);
  gl.BindVertexArray(iVertexArray);
  gl.GenBuffers(1, &iVertexBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, iVertexBuffer);
  gl.BufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(KELDemoMeshVertex)), vertices.data(),
                GL_STATIC_DRAW);
  SetVertexLayout();
  gl.GenBuffers(1, &iIndexBuffer);
  gl.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, iIndexBuffer);
  gl.BufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(uint32_t)), indices.data(),
                GL_STATIC_DRAW);
  gl.BindVertexArray(0);
}

void KELDemoMeshesGL::Destroy() {
  if (!KELGLFunctionsLoaded()) return;
  const KELGLFunctions& gl = KELGL();
  for (unsigned& program : iPrograms) {
    if (program != 0) gl.DeleteProgram(program);
    program = 0;
  }
  if (iVertexBuffer != 0) gl.DeleteBuffers(1, &iVertexBuffer);
  if (iIndexBuffer != 0) gl.DeleteBuffers(1, &iIndexBuffer);
  if (iVertexArray != 0) gl.DeleteVertexArrays(1, &iVertexArray);
  for (uint32_t index = 0; index < iStreamed.size(); ++index) ReleaseStreamed(index);
  if (iStreamVertexArray != 0) gl.DeleteVertexArrays(1, &iStreamVertexArray);
  iVertexBuffer = iIndexBuffer = iVertexArray = iStreamVertexArray = 0;
}

void KELDemoMeshesGL::SetViewProjection(const float* viewProjection) {
  std::memcpy(iViewProjection, viewProjection, sizeof(iViewProjection));
}

void KELDemoMeshesGL::Begin(Mode mode) {
  if (iPrograms[mode] == 0) return;
  const KELGLFunctions& gl = KELGL();
  iMode = mode;
  gl.UseProgram(iPrograms[mode]);
  gl.UniformMatrix4fv(iViewProjectionLocations[mode], 1, GL_FALSE, iViewProjection);
  // The OpenGL client leaves its own vertex array bound.
  gl.BindVertexArray(iVertexArray);
}

void KELDemoMeshesGL::DrawEntry(uint32_t index, uint32_t value) {
  if (iModel == nullptr || index >= iModel->iEntries.size()) return;
  const kel::KELModelEntry& entry = iModel->iEntries[index];
  const KELDemoMeshRange& range = iRanges[entry.iMesh];
  if (range.iIndexCount == 0) return;
  KELGL().UniformMatrix4fv(iModelLocations[iMode], 1, GL_FALSE, entry.iMatrix);
  MeshGL().iUniform1ui(iValueLocations[iMode], value);
  MeshGL().iDrawElements(GL_TRIANGLES, static_cast<GLsizei>(range.iIndexCount), GL_UNSIGNED_INT,
                         reinterpret_cast<const void*>(static_cast<uintptr_t>(range.iFirstIndex) * sizeof(uint32_t)));
}

bool KELDemoMeshesGL::UploadStreamed(uint32_t index, const KELPackGeometry& geometry, const float* matrix,
                                     uint64_t& bytes) {
  if (iStreamVertexArray == 0) return false;
  if (index >= iStreamed.size()) iStreamed.resize(index + 1);
  KELStreamed& streamed = iStreamed[index];
  if (streamed.iBuffer != 0) return false;
  const size_t vertexBytes = geometry.iVertices.size() * sizeof(KELDemoMeshVertex);
  const size_t indexBytes = geometry.iIndices.size() * sizeof(uint32_t);
  const KELGLFunctions& gl = KELGL();
  gl.GenBuffers(1, &streamed.iBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, streamed.iBuffer);
  gl.BufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertexBytes + indexBytes), nullptr, GL_STATIC_DRAW);
  if (vertexBytes > 0)
    gl.BufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(vertexBytes), geometry.iVertices.data());
  if (indexBytes > 0)
    gl.BufferSubData(GL_ARRAY_BUFFER, static_cast<GLintptr>(vertexBytes), static_cast<GLsizeiptr>(indexBytes),
                     geometry.iIndices.data());
  streamed.iIndexCount = static_cast<uint32_t>(geometry.iIndices.size());
  streamed.iVertexBytes = static_cast<uint32_t>(vertexBytes);
  streamed.iMatrix = matrix;
  bytes = vertexBytes + indexBytes;
  return true;
}

void KELDemoMeshesGL::ReleaseStreamed(uint32_t index) {
  if (index >= iStreamed.size() || iStreamed[index].iBuffer == 0) return;
  KELGL().DeleteBuffers(1, &iStreamed[index].iBuffer);
  iStreamed[index] = KELStreamed();
}

bool KELDemoMeshesGL::DrawStreamed(uint32_t index, uint32_t value) {
  if (index >= iStreamed.size() || iStreamed[index].iBuffer == 0) return false;
  const KELStreamed& streamed = iStreamed[index];
  if (streamed.iIndexCount == 0) return true;
  static const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const KELGLFunctions& gl = KELGL();
  gl.BindVertexArray(iStreamVertexArray);
  gl.BindBuffer(GL_ARRAY_BUFFER, streamed.iBuffer);
  SetVertexLayout();
  gl.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, streamed.iBuffer);
  gl.UniformMatrix4fv(iModelLocations[iMode], 1, GL_FALSE, streamed.iMatrix != nullptr ? streamed.iMatrix : kIdentity);
  MeshGL().iUniform1ui(iValueLocations[iMode], value);
  MeshGL().iDrawElements(GL_TRIANGLES, static_cast<GLsizei>(streamed.iIndexCount), GL_UNSIGNED_INT,
                         reinterpret_cast<const void*>(static_cast<uintptr_t>(streamed.iVertexBytes)));
  return true;
}
