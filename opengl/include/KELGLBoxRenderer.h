// Instanced drawing of world-space boxes: one draw call of a unit cube per
// run of boxes, each instance carrying its min, max and a 32-bit value
// (a packed RGBA colour, or an ID for ID rendering). The OpenGL client draws
// its query boxes with it; simple hosts can draw box-shaped objects and their
// ground-truth ID images with it as well.
#ifndef KEL_GL_BOX_RENDERER_H
#define KEL_GL_BOX_RENDERER_H

#include <cstddef>
#include <cstdint>

#include "KELGLExport.h"

struct KELGLBoxInstance {
  float iMin[3];
  float iMax[3];
  // Shaded mode: colour, red in the low byte. ID mode: written as is to
  // fragment output 1.
  uint32_t iValue;
};

class KEL_GL_API KELGLBoxRenderer {
public:
  enum Mode { kShaded, kIds };

  KELGLBoxRenderer();
  ~KELGLBoxRenderer();
  KELGLBoxRenderer(const KELGLBoxRenderer&) = delete;
  KELGLBoxRenderer& operator=(const KELGLBoxRenderer&) = delete;

  // Builds the programs and buffers in the current context. Destroy the
  // renderer with that context current: its names are deleted only there
  // (with an EGL context; with another kind the host must see to it).
  bool Create();
  bool IsValid() const { return iPrograms[0] != 0 && iPrograms[1] != 0; }
  // clip = viewProjection * p, 16 floats, column-major.
  void SetViewProjection(const float* viewProjection);
  // Draws `count` boxes with the current depth and colour state. Face
  // culling is off so that a box around the camera still covers the screen.
  // Sets its program, vertex array and array buffer itself and leaves no
  // vertex array bound.
  void Draw(const KELGLBoxInstance* boxes, uint32_t count, Mode mode);
  // The same for many small draws in a row (query boxes): the program, the
  // vertex array, the array buffer and face culling are set only when they
  // may have changed since the previous call, and stay set afterwards. They
  // are set again after a Draw or a draw by another box renderer, or after
  // ForgetState: call it whenever other GL code may have changed them
  // (code that ran with this vertex array bound may have re-pointed its
  // attributes, so they are pointed again too).
  void DrawKeepingState(const KELGLBoxInstance* boxes, uint32_t count, Mode mode);
  void ForgetState() {
    iStateKept = false;
    iAttributeOffset = kUnknownOffset;
  }

private:
  static const size_t kUnknownOffset = ~static_cast<size_t>(0);
  void Destroy();
  void BindState(Mode mode);
  // Writes the instances to unused storage of the instance buffer (bound)
  // and points the instance attributes at them.
  void Upload(const KELGLBoxInstance* boxes, uint32_t count);

  unsigned iPrograms[2];
  int iViewProjectionLocations[2];
  unsigned iVertexArray;
  unsigned iCubeBuffer;
  unsigned iInstanceBuffer;
  float iViewProjection[16];
  // Whether each program's matrix uniform holds iViewProjection.
  bool iMatrixSet[2];
  // Instance storage is a ring: runs are appended, and the buffer gets fresh
  // storage when the next run does not fit.
  size_t iRingBytes;
  size_t iRingUsed;
  size_t iAttributeOffset;  // where the instance attributes point
  bool iStateKept;
  int iBoundMode;
  void* iContext;  // the EGL context of Create, or null
};

#endif
