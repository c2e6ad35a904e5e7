// What the demo's hosts record of a frame, whatever the graphics API: the
// scene's objects (their addresses are the object pointers the library
// holds), which were drawn and which were touched with their pixel counts.
#ifndef KEL_DEMO_FRAME_LOG_H
#define KEL_DEMO_FRAME_LOG_H

#include <cstdint>
#include <utility>
#include <vector>

#include "KELScene.h"

class KELDemoFrameLog {
public:
  explicit KELDemoFrameLog(const kel::KELScene& scene);

  // Starts a frame: forgets what was drawn and touched.
  void BeginFrame();
  // The object pointer the library holds for scene object `index`; the
  // objects lie in one array, in scene order.
  void* ObjectPointer(uint32_t index) { return &iObjects[index]; }
  uint32_t IndexOf(const void* object) const {
    return static_cast<uint32_t>(static_cast<const kel::KELSceneObject*>(object) - iObjects.data());
  }
  const kel::KELSceneObject& GetObject(uint32_t index) const { return iObjects[index]; }

  // Counts an object as drawn in this frame (once, however often drawn).
  void MarkDrawn(uint32_t index);
  void AddTouched(uint32_t index, uint32_t pixels) { iTouched.emplace_back(index, pixels); }

  // Per object, whether the host may draw it (a level's potentially visible
  // set), or null to allow all.
  void SetAllowed(const uint8_t* allowed) { iAllowed = allowed; }
  // Whether the host skips object `index` handed by the library: it is not
  // allowed.
  bool IsSkipped(uint32_t index) const { return iAllowed != nullptr && !iAllowed[index]; }

  bool WasDrawn(uint32_t index) const { return iDrawnStamp[index] == iStamp; }
  uint32_t GetDrawnCount() const { return static_cast<uint32_t>(iDrawn.size()); }
  // The objects drawn in this frame, each once, in the order first drawn.
  const std::vector<uint32_t>& GetDrawn() const { return iDrawn; }
  // Streaming: the library handed over an object whose mesh is not loaded
  // (the host's bookkeeping failed; 0 in a sound run).
  void AddMissingMesh() { ++iMissingMeshes; }
  uint32_t GetMissingMeshes() const { return iMissingMeshes; }
  // Objects touched this frame with their pixel counts.
  const std::vector<std::pair<uint32_t, uint32_t>>& GetTouched() const { return iTouched; }

private:
  std::vector<kel::KELSceneObject> iObjects;
  std::vector<uint32_t> iDrawnStamp;
  uint32_t iStamp;
  std::vector<uint32_t> iDrawn;
  uint32_t iMissingMeshes = 0;
  std::vector<std::pair<uint32_t, uint32_t>> iTouched;
  const uint8_t* iAllowed = nullptr;
};

#endif
