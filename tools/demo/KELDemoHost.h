// The demo's host: its objects are the scene's boxes, drawn in instanced
// runs; it remembers which objects were drawn and touched in the frame.
#ifndef KEL_DEMO_HOST_H
#define KEL_DEMO_HOST_H

#include <cstdint>
#include <utility>
#include <vector>

#include "KELGLBoxRenderer.h"
#include "KELOpenGLClient.h"
#include "KELScene.h"

class KELDemoHost : public KELOpenGLHost {
public:
  KELDemoHost(const kel::KELScene& scene, KELGLBoxRenderer& renderer);

  // Starts a frame: forgets what was drawn and touched.
  void BeginFrame();
  // The object pointer the library holds for scene object `index`.
  void* ObjectPointer(uint32_t index) { return &iObjects[index]; }
  // Draws scene objects by index, shaded (the modes without the library).
  void DrawIndices(const uint32_t* indices, uint32_t count);

  bool WasDrawn(uint32_t index) const { return iDrawnStamp[index] == iStamp; }
  uint32_t GetDrawnCount() const { return iDrawnCount; }
  // Objects touched this frame with their pixel counts.
  const std::vector<std::pair<uint32_t, uint32_t>>& GetTouched() const { return iTouched; }

  void DrawObjects(void* const* objects, const float* const* matrices, const bool* transparent,
                   uint32_t count) override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;

private:
  uint32_t IndexOf(const void* object) const {
    return static_cast<uint32_t>(static_cast<const kel::KELSceneObject*>(object) - iObjects.data());
  }
  void AddInstance(uint32_t index);
  void DrawInstances();

  std::vector<kel::KELSceneObject> iObjects;
  KELGLBoxRenderer& iRenderer;
  std::vector<KELGLBoxInstance> iInstances;
  std::vector<uint32_t> iDrawnStamp;
  uint32_t iStamp;
  uint32_t iDrawnCount;
  std::vector<std::pair<uint32_t, uint32_t>> iTouched;
};

#endif
