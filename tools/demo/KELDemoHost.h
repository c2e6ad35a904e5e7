// The demo's OpenGL host: its objects are the scene's boxes, drawn in
// instanced runs, or a model's meshes, drawn entry by entry; it remembers
// which objects were drawn and touched in the frame.
#ifndef KEL_DEMO_HOST_H
#define KEL_DEMO_HOST_H

#include <cstdint>
#include <vector>

#include "KELDemoFrameLog.h"
#include "KELDemoMeshesGL.h"
#include "KELGLBoxRenderer.h"
#include "KELOpenGLClient.h"
#include "KELScene.h"

class KELDemoHost : public KELOpenGLHost, public KELDemoFrameLog {
public:
  // `meshes` null: objects are drawn as their boxes.
  KELDemoHost(const kel::KELScene& scene, KELGLBoxRenderer& renderer, KELDemoMeshesGL* meshes = nullptr);
  ~KELDemoHost();
  KELDemoHost(const KELDemoHost&) = delete;
  KELDemoHost& operator=(const KELDemoHost&) = delete;

  // From now on the host behaves as many engines do (in the current
  // context): its own vertex array, bound when a frame begins, is where it
  // points its attributes before it draws (at a buffer of its own, without
  // divisors); after drawing it leaves GL_LESS (GL_GREATER with reversed
  // depth), back-face culling on and its vertex array bound.
  void SetEngineLike(bool reversedDepth);
  // Binds the engine's vertex array (does nothing unless engine-like).
  void BeginEngineFrame();

  // Draws scene objects by index, shaded (the modes without the library).
  void DrawIndices(const uint32_t* indices, uint32_t count);

  // Draws the objects the library hands over, but those the frame log
  // skips.
  void DrawObjects(void* const* objects, const float* const* matrices, const bool* transparent,
                   uint32_t count) override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;

private:
  void AddInstance(uint32_t index);
  void DrawInstances();
  void PointEngineAttributes();
  void LeaveEngineState();

  KELGLBoxRenderer& iRenderer;
  KELDemoMeshesGL* iMeshes;
  std::vector<KELGLBoxInstance> iInstances;
  // Engine-like only: its vertex array and attribute buffer.
  unsigned iEngineVertexArray = 0;
  unsigned iEngineBuffer = 0;
  bool iEngineReversedDepth = false;
};

#endif
