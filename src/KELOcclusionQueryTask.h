// Occlusion query tasks: one unit of occlusion testing each (an entry's box,
// a zone's box, the unloaded entries of a screen node, or a batch of other
// tasks), the query that measures it and the handling of its result.
#ifndef KEL_OCCLUSION_QUERY_TASK_H
#define KEL_OCCLUSION_QUERY_TASK_H

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"
#include "KEL3DZone.h"
#include "KELView.h"

class KELOcclusionCullingClient;
struct KEL3DZone;
struct KEL3DZoneEntry;
struct KELFrameState;
struct KELScreenSpacePartition;

// One per client: the client, and the handles that came back this frame.
struct KELClientQueryState {
  KELOcclusionCullingClient* iClient;
  FIFOQueue iHandlePool;
};

class KELOcclusionQueryTask {
public:
  void* iQuery;
  KELOcclusionCullingClient* iClient;
  KELClientQueryState* iQueryState;
  uint8_t iBatchable;
  KELOcclusionQueryTask* iNextTask;
  void* iSubject;

  virtual void Issue(KELFrameState* frame);
  virtual void Draw(KELFrameState* frame) = 0;
  virtual int16_t GetOcclusionHistory();
  virtual int32_t GetLastVisibleFrame();
  virtual int IsOcclusionQueryTask();
  // pixels: the query's result, or -1 when no query was issued.
  virtual void HandleResult(int32_t pixels, KELFrameState* frame) = 0;
  virtual bool IsRecycledByCaller();

  // Shared by entry, zone and fill tasks (records of one common size).
  static KELOcclusionQueryTask* _freeList;
  // Pending-query queue, linked through iNextTask; results are read from
  // the head in issue order.
  static KELOcclusionQueryTask* _pendingHead;
  static KELOcclusionQueryTask* _pendingTail;
  // Appends to the pending-query queue, then issues.
  static void IssuePending(KELOcclusionQueryTask* task, KELFrameState* frame);
  // Unlinks and returns the head of the pending-query queue.
  static KELOcclusionQueryTask* TakePending();

protected:
  KELOcclusionQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state, void* subject);
  // Takes a handle (pool first, then GenQuery) and draws inside the query.
  void RunQuery(KELFrameState* frame);
};

class KELEntryQueryTask : public KELOcclusionQueryTask {
public:
  // Null when no record can be had.
  static KELEntryQueryTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                 KEL3DZoneEntry* entry);
  void Issue(KELFrameState* frame) override;
  void Draw(KELFrameState* frame) override;
  int16_t GetOcclusionHistory() override;
  int32_t GetLastVisibleFrame() override;
  void HandleResult(int32_t pixels, KELFrameState* frame) override;

private:
  using KELOcclusionQueryTask::KELOcclusionQueryTask;
};

class KELZoneQueryTask : public KELOcclusionQueryTask {
public:
  KELScreenSpacePartition* iNode;
  uint8_t iLastOfNode;
  // The zone's projection crossed the near plane: its box cannot be judged
  // by a query (the camera is inside or next to it), so it is never queried.
  uint8_t iCrossesNearPlane;

  static KELZoneQueryTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state, KEL3DZone* zone,
                                KELScreenSpacePartition* node, bool lastOfNode, bool crossesNearPlane);
  // What an unqueried result does for a zone whose task could not be had:
  // the zone counts as passed in its node.
  static void CountUnqueried(KEL3DZone* zone, KELScreenSpacePartition* node);
  void Issue(KELFrameState* frame) override;
  void Draw(KELFrameState* frame) override;
  int16_t GetOcclusionHistory() override;
  int32_t GetLastVisibleFrame() override;
  void HandleResult(int32_t pixels, KELFrameState* frame) override;

private:
  KELZoneQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state, KEL3DZone* zone,
                   KELScreenSpacePartition* node, bool lastOfNode, bool crossesNearPlane);
};

class KELFillQueryTask : public KELOcclusionQueryTask {
public:
  static KELFillQueryTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                KELScreenSpacePartition* node);
  void Draw(KELFrameState* frame) override;
  void HandleResult(int32_t pixels, KELFrameState* frame) override;

private:
  using KELOcclusionQueryTask::KELOcclusionQueryTask;
};

class KELQueryBatchTask : public KELOcclusionQueryTask {
public:
  KELGrowArray iMembers;

  static KELQueryBatchTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state);
  void Draw(KELFrameState* frame) override;
  void HandleResult(int32_t pixels, KELFrameState* frame) override;
  bool IsRecycledByCaller() override;
  KELOcclusionQueryTask* Member(int32_t index) const {
    return static_cast<KELOcclusionQueryTask*>(iMembers.data[index]);
  }

  static KELQueryBatchTask* _freeList;
  // Open batches by visibility history (only even slots are used); empty
  // outside the occlusion traversal.
  static constexpr int kSlotCount = 255;
  static KELQueryBatchTask* _batchSlots[kSlotCount];

private:
  KELQueryBatchTask(KELOcclusionCullingClient* client, KELClientQueryState* state);
};

// Clears kZoneFlagOwnHit on the zone and upwards, up to the first ancestor
// that does not have it, in the view being culled.
inline void ClearOwnHitUpwards(KEL3DZone* zone) { KELView::ClearOwnHitUpwards(zone); }

#endif
