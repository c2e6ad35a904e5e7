// What one culling frame works with: owned by EndCulling and handed down to
// the occlusion traversal, the query tasks and the screen-space tree, so
// that none of them reaches for it through statics.
#ifndef KEL_FRAME_STATE_H
#define KEL_FRAME_STATE_H

#include <cstdint>
#include <initializer_list>

#include "FIFOQueue.h"
#include "KELContribution.h"
#include "KELCullingStatistics.h"
#include "KELPools.h"
#include "KELScreenZone.h"

class KELOcclusionCullingClient;
struct KELClientQueryState;

struct KELFrameState {
  KELOcclusionCullingClient* iClient;
  KELClientQueryState* iQueryState;
  // The occlusion traversal's work: entries to draw, fill tasks, zone and
  // entry tasks; and the entries found visible, reported at the end.
  FIFOQueue iDrawQueue;
  FIFOQueue iFillQueue;
  FIFOQueue iQueryQueue;
  FIFOQueue iVisibleEntries;
  // A judged node's children to test and nodes to fill; empty between
  // judgements.
  FIFOQueue iChildQueue;
  FIFOQueue iNodeQueue;
  // The clip planes in use (null ones dropped, at most six): the
  // re-insertions of the splits test with them too.
  int32_t iPlaneCount;
  float* const* iPlanes;
  // The engine's SetViewVolumeTests: boxes outside those planes are dropped.
  bool iViewVolumeTests;
  // The contribution parameters of the engine running the frame; off (only
  // a negative radius is too small) until set.
  KELContribution iContribution;
  KELCullingStatistics iStatistics;

  // Queues over the shared element free list and the current allocator.
  KELFrameState(KELOcclusionCullingClient* client, KELClientQueryState* queryState)
      : iClient(client), iQueryState(queryState), iPlaneCount(0), iPlanes(nullptr),
        iViewVolumeTests(false) {
    KELAllocator* allocator = KELAllocator::GetAllocator();
    for (FIFOQueue* queue : {&iDrawQueue, &iFillQueue, &iQueryQueue, &iVisibleEntries, &iChildQueue, &iNodeQueue})
      queue->Init(allocator, &KELPools::_sharedElementFreeList);
    const float none[3] = {0, 0, 0};
    iContribution.Set(none, 0);
  }

  // The contribution test; marks the entry and returns the result. The flag
  // is written only when it changes, so that a steady frame leaves the
  // entry's cache line clean.
  bool MarkTooSmall(KEL3DZoneEntry* entry) const {
    const bool tooSmall = iContribution.IsTooSmall(entry->iCenter, entry->iRadius);
    if (tooSmall != entry->IsTooSmall()) entry->SetTooSmall(tooSmall);
    return tooSmall;
  }

  // The view-volume test, where the setting is on: the box lies wholly
  // outside one of the frame's planes, so nothing of it can be seen.
  bool IsOutsideView(const float* min, const float* max) const {
    return iViewVolumeTests && IsBoxOutsideClipPlanes(iPlaneCount, iPlanes, min, max);
  }
  bool IsOutsideView(const KEL3DZoneEntry* entry) const { return IsOutsideView(entry->iMin, entry->iMax); }

  // Appends a new task; false when there is none (failed allocation) or no
  // queue element for it, in which case the task goes back to its pool.
  static bool Queue(FIFOQueue* queue, KELOcclusionQueryTask* task) {
    if (task == nullptr) return false;
    if (queue->Append(task)) return true;
    KELPools::GiveBack(task);
    return false;
  }
};

#endif
