// A KELOcclusionCullingClient on OpenGL 3.3 core: occlusion queries are
// GL_SAMPLES_PASSED queries, the boxes of each StartDrawBoxes..EndDrawBoxes
// run go out as one instanced draw of a unit cube, and objects are handed to
// the host, which draws them with its own meshes.
//
// Use (with the context current):
//   KELOpenGLClient client(&myHost);
//   client.Create();
//   engine->SetClient(&client);
//   each frame: clear the framebuffer, client.BeginFrame(view, projection),
//   then SetViewMatrix .. EndCulling on the engine.
//
// GL state: for its boxes the client binds its own program, vertex array
// and array buffer, turns face culling off and sets its depth comparison.
// Before every call on the host and when the frame ends it puts back what
// was bound and set when BeginFrame ran; after every host call it sets its
// own again. Counts are samples (with multisampling, pixels times samples),
// and they follow what stays the host's: stencil, viewport and scissor,
// polygon mode, clip distances, depth range and clamp, the framebuffer.
#ifndef KEL_OPENGL_CLIENT_H
#define KEL_OPENGL_CLIENT_H

#include <cstdint>
#include <vector>

#include "KELGLBoxRenderer.h"
#include "KELGLExport.h"
#include "KELOcclusionCullingClient.h"

// What the host implements: drawing its objects and taking the list of
// visible objects. The object pointers are those the host gave AddEntry.
class KELOpenGLHost {
public:
  virtual ~KELOpenGLHost() = default;
  // Draw `count` objects now, with the GL state as set (depth test on,
  // colour and depth writes on). matrices[i] is the entry's placement or
  // null (always null in the library's first draw pass), so a host draws
  // with its own transforms. The arrays are valid during the call only.
  virtual void DrawObjects(void* const* objects, const float* const* matrices, const bool* transparent,
                           uint32_t count) = 0;
  // A visible object and its latest visible-pixel count (see the client
  // interface); for an unloaded object, a request to load it.
  virtual void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                           const float* matrix) = 0;
  virtual void OnBeginOcclusionResults() {}
  virtual void OnEndOcclusionResults() {}
};

// Counters of one frame (reset by BeginFrame).
struct KELOpenGLClientStats {
  uint32_t iQueries = 0;       // queries issued (handle not null)
  uint32_t iFillQueries = 0;   // of those, with depth writes on
  uint32_t iBatches = 0;       // of those, with more than one run of boxes
  uint32_t iBoxes = 0;         // DrawBox calls
  uint32_t iBoxDraws = 0;      // instanced draw calls for boxes
  uint32_t iObjectsDrawn = 0;  // DrawObject calls
  uint32_t iObjectBatches = 0; // DrawObjects calls on the host
  uint32_t iTouched = 0;       // TouchObject calls
  double iClientSeconds = 0;   // wall time inside client calls (timing on)
};

class KEL_GL_API KELOpenGLClient : public KELOcclusionCullingClient {
public:
  explicit KELOpenGLClient(KELOpenGLHost* host);
  ~KELOpenGLClient();
  KELOpenGLClient(const KELOpenGLClient&) = delete;
  KELOpenGLClient& operator=(const KELOpenGLClient&) = delete;

  // Builds the box renderer in the current context. False when it cannot;
  // an uncreated client makes no queries, so the library counts every
  // subject as visible. Destroy the client with the same context current:
  // its GL names are deleted only there (with an EGL context; with another
  // kind the host must see to it).
  bool Create();
  // Before each EndCulling: sets the matrices for boxes, depth test on,
  // colour and depth writes on, remembers the host's bindings and states
  // that the client changes (vertex array, program, array buffer, face
  // culling, depth function), recycles the query objects of the previous
  // frame and resets the counters.
  void BeginFrame(const float* view, const float* projection);
  // Boxes are drawn with GL_LEQUAL (fill queries write boxes that entry
  // queries draw again), or with GL_GEQUAL for a host with reversed depth
  // (depth cleared to 0, nearer is greater; default off).
  void SetReversedDepth(bool reversed);
  bool IsReversedDepth() const { return iReversedDepth; }
  // Hands pending objects to the host. Called before every query and state
  // change; a host may call it too.
  void Flush();

  // Objects are handed to the host in runs of at most this many (default
  // 4096; 1 hands them over one by one).
  void SetObjectBatchSize(uint32_t size);
  // Measure the time spent inside client calls (off by default).
  void SetTiming(bool enable) { iTiming = enable; }
  const KELOpenGLClientStats& GetStats() const { return iStats; }
  // GL query objects made so far (they are recycled frame after frame).
  uint32_t GetQueryObjectCount() const { return static_cast<uint32_t>(iQueryObjects.size()); }

  void* GenQuery() override;
  void BeginQuery(void* query) override;
  void EndQuery(void* query) override;
  // Samples passed, read as 64 bits: a count above 2^31 - 1 reads as
  // 2^31 - 1, so that the library's signed reading of it stays positive.
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

private:
  class KELCallTimer;
  unsigned QueryObject(void* query) const;
  void RecycleQueries();
  void ClearPending();
  // The host may change any GL state in its calls: depth and colour state
  // and the box renderer's bindings are set again afterwards.
  void ForgetState();
  // Before a host call: the host's bindings and states back in place, and
  // (for its draws) the depth and colour state of the library's phase.
  void HandToHost(bool drawing);
  // Before a box draw: every state of the client's that a host call left
  // unknown.
  void TakeFromHost();
  void SetDepthTest(bool enable);
  void SetDepthWrite(bool enable);
  void SetColorWrite(bool enable);

  KELOpenGLHost* iHost;
  KELGLBoxRenderer iBoxes;
  std::vector<KELGLBoxInstance> iBoxRun;
  std::vector<unsigned> iQueryObjects;
  uint32_t iNextQuery;
  uint32_t iRunsInQuery;
  // What the client last set in GL (the depth write also counts fill
  // queries); each valid for GL while its bit in iKnownState is set.
  bool iDepthWrite;
  uint8_t iKnownState;
  bool iDepthTest;
  bool iColorWrite;
  bool iReversedDepth;
  // The host's, from BeginFrame; iHostStateOut while the client's replace
  // them.
  int iHostVertexArray;
  int iHostProgram;
  int iHostArrayBuffer;
  int iHostDepthFunc;
  bool iHostCullFace;
  bool iHostStateOut;
  bool iTiming;
  uint32_t iObjectBatchSize;
  std::vector<void*> iPendingObjects;
  std::vector<float> iPendingMatrices;
  std::vector<uint8_t> iPendingHasMatrix;
  std::vector<uint8_t> iPendingTransparent;
  KELOpenGLClientStats iStats;
  void* iContext;  // the EGL context of Create, or null
};

#endif
