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
struct KELScreenSpacePartition;

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
  // Zones that owe objects to the end of the frame (kZoneFlagOwed).
  KEL3DZone* iOwed;

  // Queues over the shared element free list and the current allocator.
  KELFrameState(KELOcclusionCullingClient* client, KELClientQueryState* queryState)
      : iClient(client), iQueryState(queryState), iPlaneCount(0), iPlanes(nullptr), iViewVolumeTests(false),
        iOwed(nullptr) {
    KELAllocator* allocator = KELAllocator::GetAllocator();
    for (FIFOQueue* queue : {&iDrawQueue, &iFillQueue, &iQueryQueue, &iVisibleEntries, &iChildQueue, &iNodeQueue})
      queue->Init(allocator, &KELPools::_sharedElementFreeList);
    const float none[3] = {0, 0, 0};
    iContribution.Set(none, 0);
  }
  // Zones and entries never keep the marks of a frame that is over.
  ~KELFrameState() { ForgetOwed(); }
  KELFrameState(const KELFrameState&) = delete;
  KELFrameState& operator=(const KELFrameState&) = delete;

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

  // What a frame short of memory does instead: it culls less, never more,
  // never hands an object out twice, and the fallbacks need no memory (the
  // owed objects are marked in their records and found through their zones).
  //
  // A loaded entry for the next draw step; without a queue element it is
  // drawn at the end of the frame instead.
  void HandToDrawing(KEL3DZoneEntry* entry) {
    if (!iDrawQueue.Append(entry)) Owe(entry);
  }
  // An entry found visible; without a queue element it is reported after
  // the others.
  void Report(KEL3DZoneEntry* entry) {
    if (!iVisibleEntries.Append(entry)) Owe(entry);
  }
  // The zone's subtree goes untested: its shown loaded objects are drawn and
  // its shown unloaded ones reported at the end of the frame.
  void LeaveOut(KEL3DZone* zone);
  // A node that will never be judged. Its small records' zones are left
  // out; a large record's child zones have records of their own, so the
  // zone only owes its own objects: the unloaded ones, and the loaded ones
  // unless `loadedHandedOut` (they went to drawing when the node was
  // handed out).
  void LeaveOutNode(const KELScreenSpacePartition* node, bool loadedHandedOut);
  // A node whose fill cannot be queued or made: its shown unloaded entries
  // that are not too small are reported untested.
  void ReportUnfilled(const KELScreenSpacePartition* node);

  // The end of the frame: DrawOwed after the traversal (with SetInside
  // false before the first), ReportOwed between the client's results
  // brackets, after the visible entries; ForgetOwed clears the marks.
  void DrawOwed();
  void ReportOwed();
  void ForgetOwed();
  void Touch(const KEL3DZoneEntry* entry) const;

private:
  void Owe(KEL3DZoneEntry* entry);
  void List(KEL3DZone* zone);
};

#endif
