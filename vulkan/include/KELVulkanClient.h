// A KELOcclusionCullingClient on Vulkan: occlusion queries come from query
// pools (precise where the device allows), the boxes of each
// StartDrawBoxes..EndDrawBoxes run go out as one instanced draw of a unit
// cube, and objects are handed to the host, which records them into the
// same command buffer with its own pipelines.
//
// Waiting for a query result submits what has been recorded and waits for
// the device: one submit and one wait per result that is not in yet. The
// library asks for every result with wait set, so a frame costs about one
// submit per round of queries; GetStats counts them.
//
// Failures never hide anything: a query whose boxes could not be drawn,
// one that cannot be made, and every query after the device failed (a
// submit, a wait or a result read returned an error, e.g.
// VK_ERROR_DEVICE_LOST) count as visible. After a failure the client stops
// submitting and waiting, prints one line on standard error and reports
// the error in GetDeviceStatus; Create starts afresh.
//
// Use:
//   KELVulkanClient client(&target, &myHost);
//   client.Create();
//   engine->SetClient(&client);
//   each frame, with the target recording inside its render pass:
//   client.BeginFrame(view, projection), then SetViewMatrix .. EndCulling.
#ifndef KEL_VULKAN_CLIENT_H
#define KEL_VULKAN_CLIENT_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

#include "KELOcclusionCullingClient.h"
#include "KELVulkanBoxRenderer.h"
#include "KELVulkanExport.h"
#include "KELVulkanTarget.h"

// What the host implements: recording its objects and taking the list of
// visible objects. The object pointers are those the host gave AddEntry.
class KELVulkanHost {
public:
  virtual ~KELVulkanHost() = default;
  // Record `count` objects into `commands` (inside the target's render
  // pass) with depth test on and colour and depth writes on. matrices[i] is
  // the entry's placement or null (always null in the library's first draw
  // pass). The arrays are valid during the call only. The host may bind
  // its own pipelines and buffers; the client binds its own again.
  virtual void DrawObjects(VkCommandBuffer commands, void* const* objects, const float* const* matrices,
                           const bool* transparent, uint32_t count) = 0;
  // A visible object and its latest visible-pixel count (see the client
  // interface); for an unloaded object, a request to load it.
  virtual void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                           const float* matrix) = 0;
  virtual void OnBeginOcclusionResults() {}
  virtual void OnEndOcclusionResults() {}
};

// Counters of one frame (reset by BeginFrame).
struct KELVulkanClientStats {
  uint32_t iQueries = 0;       // queries issued (handle not null)
  uint32_t iFillQueries = 0;   // of those, with depth writes on
  uint32_t iBatches = 0;       // of those, with more than one run of boxes
  uint32_t iBoxes = 0;         // DrawBox calls
  uint32_t iBoxDraws = 0;      // instanced draws for boxes
  uint32_t iObjectsDrawn = 0;  // DrawObject calls
  uint32_t iObjectBatches = 0; // DrawObjects calls on the host
  uint32_t iTouched = 0;       // TouchObject calls
  uint32_t iSubmits = 0;       // submits made to get query results
  double iClientSeconds = 0;   // wall time inside client calls (timing on)
};

class KEL_VK_API KELVulkanClient : public KELOcclusionCullingClient {
public:
  // `target` must outlive the client; `host` may be null (objects are then
  // dropped).
  KELVulkanClient(KELVulkanTarget* target, KELVulkanHost* host);
  // Waits for the device to go idle (vkDeviceWaitIdle) before destroying
  // its query pools: no other thread may use the device's queues then.
  ~KELVulkanClient();
  KELVulkanClient(const KELVulkanClient&) = delete;
  KELVulkanClient& operator=(const KELVulkanClient&) = delete;

  // Builds the box renderer. False when it cannot, or when the device lacks
  // host query reset (queries are recycled from the host); an uncreated
  // client makes no queries, so the library counts every subject as
  // visible. Clears a device failure.
  bool Create();
  // Before each EndCulling: sets the matrices for boxes, depth test on
  // (less-or-equal), colour and depth writes on, recycles the queries of
  // the previous frame and resets the counters.
  void BeginFrame(const float* view, const float* projection);
  // Boxes compare greater-or-equal, for a target whose depth runs reversed
  // (cleared to 0, nearer is greater; default off).
  void SetReversedDepth(bool reversed);
  bool IsReversedDepth() const { return iReversedDepth; }
  // VK_SUCCESS, or the first error that a submit, a wait or a result read
  // returned; from then on every query counts as visible.
  VkResult GetDeviceStatus() const { return iDeviceStatus; }
  // Hands pending objects to the host. Called before every query and state
  // change; a host may call it too.
  void Flush();

  // Objects are handed to the host in runs of at most this many (default
  // 4096; 1 hands them over one by one).
  void SetObjectBatchSize(uint32_t size);
  // Measure the time spent inside client calls (off by default).
  void SetTiming(bool enable) { iTiming = enable; }
  const KELVulkanClientStats& GetStats() const { return iStats; }
  // Queries made so far in all pools (they are recycled frame after frame).
  uint32_t GetQueryCapacity() const;
  // Bytes of box instance storage held (recycled frame after frame).
  uint64_t GetBoxStorageBytes() const { return iBoxes.GetInstanceCapacity(); }

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
  enum QueryState : uint8_t { kQueryFree, kQueryRecorded, kQuerySubmitted, kQueryRead };
  // The query index of a handle, or UINT32_MAX for one not made this frame.
  uint32_t QueryIndex(void* query) const;
  void SubmitRecorded(bool wait);
  // Enters the failed state (once): logged, and every later query visible.
  void Fail(VkResult result);
  // The count to hand the library for a read result.
  uint32_t CountFor(uint32_t index, uint64_t samples) const;
  void RecycleQueries();
  void ClearPending();
  void Destroy();

  KELVulkanTarget* iTarget;
  KELVulkanHost* iHost;
  KELVulkanBoxRenderer iBoxes;
  std::vector<KELVulkanBoxInstance> iBoxRun;
  std::vector<VkQueryPool> iPools;
  std::vector<uint8_t> iQueryStates;
  // Per query: one of its runs of boxes could not be drawn.
  std::vector<uint8_t> iQueryIncomplete;
  std::vector<uint32_t> iRecordedQueries;  // ended since the last submit
  uint32_t iNextQuery;
  uint32_t iCurrentQuery;  // between BeginQuery and EndQuery, else UINT32_MAX
  uint32_t iRunsInQuery;
  VkResult iDeviceStatus;
  bool iPrecise;  // counts are exact (precise queries in use)
  bool iReversedDepth;
  bool iDepthWrite;
  bool iTiming;
  uint32_t iObjectBatchSize;
  std::vector<void*> iPendingObjects;
  std::vector<float> iPendingMatrices;
  std::vector<uint8_t> iPendingHasMatrix;
  std::vector<uint8_t> iPendingTransparent;
  KELVulkanClientStats iStats;
};

#endif
