// Occlusion query tasks: one unit of occlusion testing each (an entry's box,
// a zone's box, the unloaded entries of a screen node, or a batch of other
// tasks), the query that measures it and the handling of its result.
#ifndef KEL_OCCLUSION_QUERY_TASK_H
#define KEL_OCCLUSION_QUERY_TASK_H

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"
#include "KEL3DZone.h"
#include "KELContribution.h"

class KELOcclusionCullingClient;
class KELOcclusionCullingEngine;
struct KEL3DZone;
struct KEL3DZoneEntry;
struct KELScreenSpacePartition;

// One per client: the client, and the handles that came back this frame.
struct KELClientQueryState {
  KELOcclusionCullingClient* iClient;
  FIFOQueue iHandlePool;
};

// The six counters printed at the end of every traversal.
struct KELCullingStatistics {
  static int32_t _fillQueries;
  static int32_t _zonesTraversed;
  static int32_t _entriesTraversed;
  static int32_t _entriesFilled;
  static int32_t _bigEntriesFilled;
  static int32_t _emptyFillQueries;
  static void Reset();
  static void Print();
};

class KELOcclusionQueryTask {
public:
  void* iQuery;
  KELOcclusionCullingClient* iClient;
  KELClientQueryState* iQueryState;
  uint8_t iBatchable;
  KELOcclusionQueryTask* iNextTask;
  void* iSubject;

  virtual void Issue();
  virtual void Draw() = 0;
  virtual int16_t GetOcclusionHistory();
  virtual int32_t GetLastVisibleFrame();
  virtual int IsOcclusionQueryTask();
  virtual void HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue, FIFOQueue* drawQueue,
                            FIFOQueue* visibleEntries) = 0;
  virtual bool IsRecycledByCaller();

  // Shared by entry, zone and fill tasks (records of one common size).
  static KELOcclusionQueryTask* _freeList;
  // Pending-query queue, linked through iNextTask; results are read from
  // the head in issue order.
  static KELOcclusionQueryTask* _pendingHead;
  static KELOcclusionQueryTask* _pendingTail;
  // Contribution parameters of the engine running the frame; when unset,
  // the singleton's are read at every test.
  static KELContribution _contribution;

  // Appends to the pending-query queue, then issues.
  static void IssuePending(KELOcclusionQueryTask* task);
  // Unlinks and returns the head of the pending-query queue.
  static KELOcclusionQueryTask* TakePending();

protected:
  KELOcclusionQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state, void* subject);
  // Takes a handle (pool first, then GenQuery) and draws inside the query.
  void RunQuery();
};

class KELEntryQueryTask : public KELOcclusionQueryTask {
public:
  // Null when no record can be had.
  static KELEntryQueryTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                 KEL3DZoneEntry* entry);
  void Issue() override;
  void Draw() override;
  int16_t GetOcclusionHistory() override;
  int32_t GetLastVisibleFrame() override;
  void HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue, FIFOQueue* drawQueue,
                    FIFOQueue* visibleEntries) override;

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
  void Issue() override;
  void Draw() override;
  int16_t GetOcclusionHistory() override;
  int32_t GetLastVisibleFrame() override;
  void HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue, FIFOQueue* drawQueue,
                    FIFOQueue* visibleEntries) override;

  // Process-wide scheduling queues, empty between calls.
  static FIFOQueue _childQueue;
  static FIFOQueue _nodeQueue;

private:
  KELZoneQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state, KEL3DZone* zone,
                   KELScreenSpacePartition* node, bool lastOfNode, bool crossesNearPlane);
  void QueueChildNodeWork(FIFOQueue* queryQueue, FIFOQueue* drawQueue);
  void QueueFill(KELScreenSpacePartition* node, FIFOQueue* fillQueue, FIFOQueue* visibleEntries);
};

class KELFillQueryTask : public KELOcclusionQueryTask {
public:
  static KELFillQueryTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                KELScreenSpacePartition* node);
  void Draw() override;
  void HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue, FIFOQueue* drawQueue,
                    FIFOQueue* visibleEntries) override;

private:
  using KELOcclusionQueryTask::KELOcclusionQueryTask;
};

class KELQueryBatchTask : public KELOcclusionQueryTask {
public:
  KELGrowArray iMembers;

  static KELQueryBatchTask* Make(KELOcclusionCullingClient* client, KELClientQueryState* state);
  void Draw() override;
  void HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue, FIFOQueue* drawQueue,
                    FIFOQueue* visibleEntries) override;
  bool IsRecycledByCaller() override;
  KELOcclusionQueryTask* Member(int32_t index) const {
    return static_cast<KELOcclusionQueryTask*>(iMembers.data[index]);
  }

  static KELQueryBatchTask* _freeList;

private:
  KELQueryBatchTask(KELOcclusionCullingClient* client, KELClientQueryState* state);
};

// Clears kZoneFlagOwnHit on the zone and upwards, up to the first ancestor
// that does not have it.
inline void ClearOwnHitUpwards(KEL3DZone* zone) {
  for (; zone != nullptr && (zone->iFlags & kZoneFlagOwnHit); zone = zone->iParent) zone->iFlags &= ~kZoneFlagOwnHit;
}

#endif
