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

  // Builds the box renderer in the current context. False when it cannot.
  bool Create();
  // Before each EndCulling: sets the matrices for boxes, depth test on with
  // GL_LEQUAL (fill queries write boxes that entry queries draw again),
  // colour and depth writes on, recycles the query objects of the previous
  // frame and resets the counters.
  void BeginFrame(const float* view, const float* projection);
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
  bool iTiming;
  uint32_t iObjectBatchSize;
  std::vector<void*> iPendingObjects;
  std::vector<float> iPendingMatrices;
  std::vector<uint8_t> iPendingHasMatrix;
  std::vector<uint8_t> iPendingTransparent;
  KELOpenGLClientStats iStats;
};

#endif
