// Instanced drawing of world-space boxes: one draw call of a unit cube per
// run of boxes, each instance carrying its min, max and a 32-bit value
// (a packed RGBA colour, or an ID for ID rendering). The OpenGL client draws
// its query boxes with it; simple hosts can draw box-shaped objects and their
// ground-truth ID images with it as well.
#ifndef KEL_GL_BOX_RENDERER_H
#define KEL_GL_BOX_RENDERER_H

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

  // Builds the programs and buffers in the current context.
  bool Create();
  bool IsValid() const { return iPrograms[0] != 0 && iPrograms[1] != 0; }
  // clip = viewProjection * p, 16 floats, column-major.
  void SetViewProjection(const float* viewProjection);
  // Draws `count` boxes with the current depth and colour state. Face
  // culling is off so that a box around the camera still covers the screen.
  void Draw(const KELGLBoxInstance* boxes, uint32_t count, Mode mode);

private:
  void Destroy();

  unsigned iPrograms[2];
  int iViewProjectionLocations[2];
  unsigned iVertexArray;
  unsigned iCubeBuffer;
  unsigned iInstanceBuffer;
  float iViewProjection[16];
};

#endif
