// Front-to-back scheduling: a visible node is refined or treated as a leaf;
// its near children (slots 0-3) are handed out before its far ones (4-7),
// and each handed-out child gets its zone tasks, each leaf its fill task.
#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELOcclusionQueryTask.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "KELSettings.h"

namespace {

// Without a fill task the node's unloaded entries are reported untested.
void QueueFill(KELScreenSpacePartition* node, KELFrameState* frame) {
  if (!KELFrameState::Queue(&frame->iFillQueue, KELFillQueryTask::Make(frame->iClient, frame->iQueryState, node)))
    frame->ReportUnfilled(node);
}

// A node that keeps records gets a fill; without a queue element for it,
// its unloaded entries are reported untested (except those outside the
// view, which the fill would have left out too).
void QueueForFill(KELScreenSpacePartition* node, KELFrameState* frame) {
  if (node->iScreenZoneCount != 0 && !frame->iNodeQueue.Append(node)) frame->ReportUnfilled(node);
}

// For each handed-out child node: its large zones' loaded entries go to
// drawing at once, and every record gets a zone task. A record whose task
// cannot be had counts as passed unqueried; when it was the node's last,
// the task made before it judges the node instead, and a node that would
// never be judged also tells its parent it is done, so that the far half
// of the parent is still handed out.
void QueueChildNodeWork(KELFrameState* frame) {
  FIFOQueue& childQueue = frame->iChildQueue;
  while (!childQueue.IsEmpty()) {
    KELScreenSpacePartition* child = static_cast<KELScreenSpacePartition*>(childQueue.TakeFront());
    child->iSampleCount = 0;
    KELZoneQueryTask* previous = nullptr;
    for (KELScreenZone* record = child->iScreenZones; record != nullptr; record = record->iNext) {
      // A large record's own entries spread over more than half its node,
      // in view or not: the view test drops those outside.
      if (!record->iIsSmall) {
        for (KEL3DZoneEntry* entry = record->iZone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
          if (!frame->MarkTooSmall(entry) && !frame->IsOutsideView(entry)) frame->HandToDrawing(entry);
      }
      const bool last = record->iNext == nullptr;
      KELZoneQueryTask* task = KELZoneQueryTask::Make(frame->iClient, frame->iQueryState, record->iZone, child, last,
                                                      record->iCrossesNearPlane != 0);
      if (KELFrameState::Queue(&frame->iQueryQueue, task)) {
        previous = task;
        continue;
      }
      KELZoneQueryTask::CountUnqueried(record->iZone, child);
      if (!last) continue;
      if (previous != nullptr) {
        previous->iLastOfNode = 1;
      } else {
        frame->LeaveOutNode(child, true);
        if (child->iParent != nullptr) child->iParent->OnChildFinished(frame);
      }
    }
  }
}

}  // namespace

void KELScreenSpacePartition::OnNodeJudged(bool visible, KELFrameState* frame) {
  KELAllocator* allocator = KELAllocator::GetAllocator();
  frame->iChildQueue.allocator = allocator;
  frame->iNodeQueue.allocator = allocator;
  OnNodeTested(visible, frame);
  QueueChildNodeWork(frame);
  while (!frame->iNodeQueue.IsEmpty())
    QueueFill(static_cast<KELScreenSpacePartition*>(frame->iNodeQueue.TakeFront()), frame);
}

bool KELScreenSpacePartition::IsRefinable() const {
  if (iDepth >= kMaxSplitDepth || iScreenZoneCount == 0) return false;
  if (iScreenZoneCount == 1) {
    const KEL3DZone* zone = iScreenZones->iZone;
    if (zone->iPendingCount <= static_cast<uint32_t>(kMaxPendingEntries) && zone->iChildren.count == 0)
      return false;
  }
  return true;
}

void KELScreenSpacePartition::OnNodeTested(bool visible, KELFrameState* frame) {
  if (!visible) {
    if (iParent != nullptr) iParent->OnChildFinished(frame);
    return;
  }
  const bool refinable = IsRefinable();
  if (refinable && Split(frame)) {
    QueueForFill(this, frame);
    ScheduleNearChildren(frame);
    return;
  }
  if (refinable) LeaveOutSmallRecords(frame);
  QueueForFill(this, frame);
  // A leaf hands over the loaded entries of its small records' whole zone
  // subtrees, whose child zones were never clip-tested: with the view test
  // on, those outside the view stay behind.
  auto hand = [frame](KEL3DZoneEntry* entry) {
    if (!frame->IsOutsideView(entry)) frame->HandToDrawing(entry);
  };
  for (KELScreenZone* record = iScreenZones; record != nullptr; record = record->iNext)
    if (record->iIsSmall) record->iZone->ForEachLoadedEntry(hand);
  if (iParent != nullptr) iParent->OnChildFinished(frame);
}

// A node that cannot get its children (no memory) stays a leaf, whose fill
// would cover only its records' own zones: the small records, whose zones'
// subtrees the split would have tested, are left out instead (drawn and
// reported untested at the end of the frame), so the frame culls less.
void KELScreenSpacePartition::LeaveOutSmallRecords(KELFrameState* frame) {
  KELScreenZone* kept = nullptr;
  uint32_t keptCount = 0;
  for (KELScreenZone* record = iScreenZones; record != nullptr;) {
    KELScreenZone* next = record->iNext;
    if (record->iIsSmall) {
      frame->LeaveOut(record->iZone);
      KELPools::GiveBack(record);
    } else {
      record->iNext = kept;
      kept = record;
      keptCount += 1;
    }
    record = next;
  }
  // Back in their former order.
  iScreenZones = nullptr;
  while (kept != nullptr) {
    KELScreenZone* next = kept->iNext;
    kept->iNext = iScreenZones;
    iScreenZones = kept;
    kept = next;
  }
  iScreenZoneCount = keptCount;
}

// Queues the children of slots firstSlot..firstSlot+3; returns how many. A
// child without a queue element is never tested: it is left out (its
// objects drawn and reported untested) and not counted, so that the node
// does not wait for it.
uint32_t KELScreenSpacePartition::ScheduleChildren(int32_t firstSlot, KELFrameState* frame) {
  uint32_t pending = 0;
  if (iChildren.count == 0) return 0;
  for (int32_t slot = firstSlot; slot < firstSlot + 4; ++slot) {
    KELScreenSpacePartition* child = Child(slot);
    if (child == nullptr) continue;
    if (frame->iChildQueue.Append(child)) pending += 1;
    else frame->LeaveOutNode(child, false);
  }
  return pending;
}

void KELScreenSpacePartition::ScheduleNearChildren(KELFrameState* frame) {
  iNearPending = ScheduleChildren(0, frame);
  if (iNearPending == 0) ScheduleFarChildren(frame);
}

void KELScreenSpacePartition::ScheduleFarChildren(KELFrameState* frame) {
  iFarPending = ScheduleChildren(4, frame);
  if (iFarPending == 0 && iParent != nullptr) iParent->OnChildFinished(frame);
}

void KELScreenSpacePartition::OnChildFinished(KELFrameState* frame) {
  KELScreenSpacePartition* node = this;
  while (node != nullptr) {
    if (node->iNearPending != 0) {
      node->iNearPending -= 1;
      if (node->iNearPending == 0) node->ScheduleFarChildren(frame);
      return;
    }
    if (node->iFarPending == 0) return;
    node->iFarPending -= 1;
    if (node->iFarPending != 0) return;
    node = node->iParent;
  }
}
