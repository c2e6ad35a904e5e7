// The renderer callback that a host implements. The library never touches a
// graphics interface itself: every query, box and object draw goes through
// this interface, and only from inside KELOcclusionCullingEngine::EndCulling,
// on the thread that called it, one call at a time.
//
// No callback may call back into the library (no engine or entry operation,
// no EndCulling): the library's per-frame state is not reentrant.
//
// Geometry contract: boxes are world space, passed as min[3] and max[3] that
// point into the library's own copies, valid only during the call. A matrix
// argument is the host's own placement matrix as given to AddEntry (16
// floats, translation in 12..14) or null. The library never applies it; in
// particular a box given to DrawBox is already in world space and must be
// drawn as it is.
#ifndef KEL_OCCLUSION_CULLING_CLIENT_H
#define KEL_OCCLUSION_CULLING_CLIENT_H

#include <cstdint>

#include "KELExport.h"

class KEL_API KELOcclusionCullingClient {
public:
  KELOcclusionCullingClient();
  KELOcclusionCullingClient(const KELOcclusionCullingClient&);
  KELOcclusionCullingClient& operator=(const KELOcclusionCullingClient&);

  // Called when a query is about to start and no handle of this frame is
  // free for reuse. Any value is accepted; a null handle marks the query as
  // not issued: BeginQuery/EndQuery still bracket its boxes but its result
  // is never asked for and the subject counts as visible. Handles are never
  // deleted by the library; a handle is reused only within the frame that
  // made it, so a client may recycle its handles at the start of each frame.
  virtual void* GenQuery() = 0;
  // Start counting samples for `query`; one or more StartDrawBoxes..
  // EndDrawBoxes runs follow before EndQuery.
  virtual void BeginQuery(void* query) = 0;
  virtual void EndQuery(void* query) = 0;
  // Called for the oldest pending query, with wait always true. Return true
  // and write `pixels` (samples that passed the depth test) once the result
  // is known; false makes the library ask again at once for the same query.
  virtual bool GetQueryResult(void* query, uint32_t& pixels, bool wait) = 0;
  // Called before each object of the traversal's draw phase: whether its
  // zone projected strictly inside the screen (no clipping needed).
  virtual void SetInside(bool inside) = 0;
  // Never called by the library: depth testing must stay on throughout.
  virtual void EnableDepthTest(bool enable) = 0;
  // Depth and colour writes; each setting stays in force until changed.
  // EndCulling leaves both on when it returns.
  virtual void EnableDepthWrite(bool enable) = 0;
  virtual void EnableColorWrite(bool enable) = 0;
  // Bracket a run of DrawBox calls inside one query.
  virtual void StartDrawBoxes() = 0;
  // A world-space box; `matrix` is the entry's matrix (or null for zones),
  // handed over for information only.
  virtual void DrawBox(const float* min, const float* max, const float* matrix) = 0;
  virtual void EndDrawBoxes() = 0;
  // Draw the host's object now, with colour and depth writes on. `matrix`
  // is null in the first draw pass, else the entry's matrix (or null).
  virtual void DrawObject(void* object, const float* matrix, bool transparent) = 0;
  // Once per frame, before the first TouchObject.
  virtual void OnBeginOcclusionResults() = 0;
  // Once per unloaded, shown entry found visible in the frame, in the order
  // found: its own box query passed the pixel-hits threshold, or frame
  // coherency spared it one. Loaded entries are drawn with DrawObject
  // instead and are not reported here. Passes the host's object, its latest
  // visible-pixel count (at most 1,048,575), the entry's box and matrix.
  virtual void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                           const float* matrix) = 0;
  // Once per frame, after the last TouchObject.
  virtual void OnEndOcclusionResults() = 0;
  // Never called by the library; free for a host's own debugging.
  virtual void DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) = 0;
};

// A client whose every operation does nothing. GenQuery returns null and
// GetQueryResult returns true without writing, so a host deriving from it
// and overriding nothing gets every subject treated as visible.
class KEL_API KELOcclusionCullingClientAdapter : public KELOcclusionCullingClient {
public:
  KELOcclusionCullingClientAdapter();
  KELOcclusionCullingClientAdapter(const KELOcclusionCullingClientAdapter&);
  KELOcclusionCullingClientAdapter& operator=(const KELOcclusionCullingClientAdapter&);

  void* GenQuery() override;
  void BeginQuery(void* query) override;
  void EndQuery(void* query) override;
  bool GetQueryResult(void* query, uint32_t& pixels, bool wait) override;
  void SetInside(bool inside) override;
  void EnableDepthTest(bool enable) override;
  void EnableDepthWrite(bool enable) override;
  void EnableColorWrite(bool enable) override;
  void StartDrawBoxes() override;
  void DrawBox(const float* min, const float* max, const float* matrix) override;
  void EndDrawBoxes() override;
  void DrawObject(void* object, const float* matrix, bool transparent) override;
  void OnBeginOcclusionResults() override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;
  void OnEndOcclusionResults() override;
  void DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) override;
};

#endif
