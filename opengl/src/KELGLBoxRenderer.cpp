#include "KELGLBoxRenderer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "KELGLFunctions.h"

namespace {

// Room for about 37,000 boxes; grows when one run needs more.
const size_t kInitialRingBytes = 1 << 20;

// The renderer whose Draw or DrawKeepingState ran last on this thread: any
// other one finds its bindings changed.
thread_local const KELGLBoxRenderer* _lastDrawer = nullptr;

const char* const kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 aCorner;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec3 aMin;
layout(location = 3) in vec3 aMax;
layout(location = 4) in uint aValue;
uniform mat4 uViewProjection;
flat out uint vValue;
out float vLight;
// A fill box and its later query are drawn under different states; both
// must reach the same depth for less-or-equal to pass on the box itself.
invariant gl_Position;
void main() {
  vec3 world = mix(aMin, aMax, aCorner);
  gl_Position = uViewProjection * vec4(world, 1.0);
  vValue = aValue;
  vLight = 0.55 + 0.45 * abs(dot(aNormal, normalize(vec3(0.4, 0.8, 0.3))));
}
)";

const char* const kShadedFragmentShader = R"(#version 330 core
flat in uint vValue;
in float vLight;
layout(location = 0) out vec4 oColor;
void main() {
  vec4 color = vec4((uvec4(vValue) >> uvec4(0u, 8u, 16u, 24u)) & 0xffu) / 255.0;
  oColor = vec4(color.rgb * vLight, 1.0);
}
)";

const char* const kIdFragmentShader = R"(#version 330 core
flat in uint vValue;
in float vLight;
layout(location = 1) out uint oId;
void main() { oId = vValue; }
)";

// Corner (0..1) and face normal for the 36 vertices of a unit cube.
void BuildCube(float* vertices) {
  static const int kFaces[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1},
                                   {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
  static const float kNormals[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
  static const int kCornerOrder[6] = {0, 1, 2, 0, 2, 3};
  float* out = vertices;
  for (int face = 0; face < 6; ++face) {
    for (int k = 0; k < 6; ++k) {
      int corner = kFaces[face][kCornerOrder[k]];
      // Corner index bits: 1 = +x, 2 = +y, 4 = +z.
      *out++ = static_cast<float>(corner & 1);
      *out++ = static_cast<float>((corner >> 1) & 1);
      *out++ = static_cast<float>((corner >> 2) & 1);
      for (int axis = 0; axis < 3; ++axis) *out++ = kNormals[face][axis];
    }
  }
}

}  // namespace

KELGLBoxRenderer::KELGLBoxRenderer()
    : iPrograms{0, 0}, iViewProjectionLocations{-1, -1}, iVertexArray(0), iCubeBuffer(0), iInstanceBuffer(0),
      iViewProjection{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, iMatrixSet{false, false}, iRingBytes(0),
      iRingUsed(0), iAttributeOffset(0), iStateKept(false), iBoundMode(-1), iContext(nullptr) {}

KELGLBoxRenderer::~KELGLBoxRenderer() { Destroy(); }

bool KELGLBoxRenderer::Create() {
  Destroy();
  if (!KELGLFunctionsLoaded()) return false;
  const KELGLFunctions& gl = KELGL();
  iContext = KELCurrentGLContext();
  iPrograms[kShaded] = KELCompileGLProgram(kVertexShader, kShadedFragmentShader);
  iPrograms[kIds] = KELCompileGLProgram(kVertexShader, kIdFragmentShader);
  if (!IsValid()) {
    Destroy();
    return false;
  }
  for (int mode = 0; mode < 2; ++mode)
    iViewProjectionLocations[mode] = gl.GetUniformLocation(iPrograms[mode], "uViewProjection");

  float cube[36 * 6];
  BuildCube(cube);
  gl.GenVertexArrays(1, &iVertexArray);
  gl.BindVertexArray(iVertexArray);
  gl.GenBuffers(1, &iCubeBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, iCubeBuffer);
  gl.BufferData(GL_ARRAY_BUFFER, sizeof(cube), cube, GL_STATIC_DRAW);
  gl.VertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 6 * sizeof(float), nullptr);
  gl.VertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 6 * sizeof(float),
                         reinterpret_cast<const void*>(3 * sizeof(float)));
  gl.EnableVertexAttribArray(0);
  gl.EnableVertexAttribArray(1);

  gl.GenBuffers(1, &iInstanceBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, iInstanceBuffer);
  iRingBytes = kInitialRingBytes;
  iRingUsed = 0;
  gl.BufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(iRingBytes), nullptr, GL_STREAM_DRAW);
  const GLsizei stride = sizeof(KELGLBoxInstance);
  gl.VertexAttribPointer(2, 3, GL_FLOAT, GL_FALSE, stride,
                         reinterpret_cast<const void*>(offsetof(KELGLBoxInstance, iMin)));
  gl.VertexAttribPointer(3, 3, GL_FLOAT, GL_FALSE, stride,
                         reinterpret_cast<const void*>(offsetof(KELGLBoxInstance, iMax)));
  gl.VertexAttribIPointer(4, 1, GL_UNSIGNED_INT, stride,
                          reinterpret_cast<const void*>(offsetof(KELGLBoxInstance, iValue)));
  for (GLuint attribute = 2; attribute <= 4; ++attribute) {
    gl.EnableVertexAttribArray(attribute);
    gl.VertexAttribDivisor(attribute, 1);
  }
  iAttributeOffset = 0;
  gl.BindVertexArray(0);
  iMatrixSet[0] = iMatrixSet[1] = false;
  iStateKept = false;
  return true;
}

void KELGLBoxRenderer::Destroy() {
  if (!KELGLFunctionsLoaded()) return;
  const KELGLFunctions& gl = KELGL();
  // In another context the same names belong to someone else's objects:
  // leave them rather than delete those.
  const bool own = KELCurrentGLContext() == iContext;
  for (unsigned& program : iPrograms) {
    if (program != 0 && own) gl.DeleteProgram(program);
    program = 0;
  }
  if (own) {
    if (iCubeBuffer != 0) gl.DeleteBuffers(1, &iCubeBuffer);
    if (iInstanceBuffer != 0) gl.DeleteBuffers(1, &iInstanceBuffer);
    if (iVertexArray != 0) gl.DeleteVertexArrays(1, &iVertexArray);
  }
  iCubeBuffer = iInstanceBuffer = iVertexArray = 0;
  iContext = nullptr;
  iStateKept = false;
  if (_lastDrawer == this) _lastDrawer = nullptr;
}

void KELGLBoxRenderer::SetViewProjection(const float* viewProjection) {
  if (std::memcmp(iViewProjection, viewProjection, sizeof(iViewProjection)) == 0) return;
  std::memcpy(iViewProjection, viewProjection, sizeof(iViewProjection));
  iMatrixSet[0] = iMatrixSet[1] = false;
}

void KELGLBoxRenderer::BindState(Mode mode) {
  const KELGLFunctions& gl = KELGL();
  if (!iStateKept || _lastDrawer != this) {
    gl.BindVertexArray(iVertexArray);
    gl.BindBuffer(GL_ARRAY_BUFFER, iInstanceBuffer);
    gl.Disable(GL_CULL_FACE);
    iBoundMode = -1;
    iStateKept = true;
    _lastDrawer = this;
  }
  if (iBoundMode != mode) {
    gl.UseProgram(iPrograms[mode]);
    iBoundMode = mode;
  }
  // A program keeps its uniforms whatever is bound in between.
  if (!iMatrixSet[mode]) {
    gl.UniformMatrix4fv(iViewProjectionLocations[mode], 1, GL_FALSE, iViewProjection);
    iMatrixSet[mode] = true;
  }
}

void KELGLBoxRenderer::Upload(const KELGLBoxInstance* boxes, uint32_t count) {
  const KELGLFunctions& gl = KELGL();
  const size_t bytes = static_cast<size_t>(count) * sizeof(KELGLBoxInstance);
  if (iRingUsed + bytes > iRingBytes) {
    // Fresh storage: draws already issued keep the old one, so that the
    // unsynchronised writes below never touch data that a draw may still read.
    while (iRingBytes < bytes) iRingBytes *= 2;
    gl.BufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(iRingBytes), nullptr, GL_STREAM_DRAW);
    iRingUsed = 0;
  }
  const GLintptr offset = static_cast<GLintptr>(iRingUsed);
  // Unsynchronised: this range has not been drawn from since the storage
  // was made, so the driver need not wait for (or flush) earlier draws.
  void* target = gl.MapBufferRange(GL_ARRAY_BUFFER, offset, static_cast<GLsizeiptr>(bytes),
                                   GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_RANGE_BIT | GL_MAP_UNSYNCHRONIZED_BIT);
  if (target != nullptr) {
    std::memcpy(target, boxes, bytes);
    gl.UnmapBuffer(GL_ARRAY_BUFFER);
  } else {
    gl.BufferSubData(GL_ARRAY_BUFFER, offset, static_cast<GLsizeiptr>(bytes), boxes);
  }
  iRingUsed += bytes;
  if (static_cast<size_t>(offset) == iAttributeOffset) return;
  // No base instance in OpenGL 3.3: the run's offset goes into the pointers.
  const GLsizei stride = sizeof(KELGLBoxInstance);
  const char* base = reinterpret_cast<const char*>(static_cast<uintptr_t>(offset));
  gl.VertexAttribPointer(2, 3, GL_FLOAT, GL_FALSE, stride, base + offsetof(KELGLBoxInstance, iMin));
  gl.VertexAttribPointer(3, 3, GL_FLOAT, GL_FALSE, stride, base + offsetof(KELGLBoxInstance, iMax));
  gl.VertexAttribIPointer(4, 1, GL_UNSIGNED_INT, stride, base + offsetof(KELGLBoxInstance, iValue));
  iAttributeOffset = static_cast<size_t>(offset);
}

void KELGLBoxRenderer::DrawKeepingState(const KELGLBoxInstance* boxes, uint32_t count, Mode mode) {
  if (count == 0 || !IsValid()) return;
  BindState(mode);
  Upload(boxes, count);
  KELGL().DrawArraysInstanced(GL_TRIANGLES, 0, 36, static_cast<GLsizei>(count));
}

void KELGLBoxRenderer::Draw(const KELGLBoxInstance* boxes, uint32_t count, Mode mode) {
  if (count == 0 || !IsValid()) return;
  iStateKept = false;
  DrawKeepingState(boxes, count, mode);
  KELGL().BindVertexArray(0);
  iStateKept = false;
}
