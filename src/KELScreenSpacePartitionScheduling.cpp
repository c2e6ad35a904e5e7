// Front-to-back scheduling: a visible node is refined or treated as a leaf;
// its near children (slots 0-3) are handed out before its far ones (4-7).
#include "KEL3DZone.h"
#include "KELCullingFrame.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"

bool KELScreenSpacePartition::IsRefinable() const {
  if (iDepth >= kMaxSplitDepth || iScreenZoneCount == 0) return false;
  if (iScreenZoneCount == 1) {
    const KEL3DZone* zone = iScreenZones->iZone;
    if (zone->iPendingCount <= static_cast<uint32_t>(kMaxPendingEntries) && zone->iChildren.count == 0)
      return false;
  }
  return true;
}

void KELScreenSpacePartition::OnNodeTested(bool visible, FIFOQueue* childQueue, FIFOQueue* nodeQueue,
                                           FIFOQueue* entryQueue) {
  if (!visible) {
    if (iParent != nullptr) iParent->OnChildFinished(childQueue, nodeQueue, entryQueue);
    return;
  }
  const bool refinable = IsRefinable();
  if (refinable && Split()) {
    if (iScreenZoneCount != 0) nodeQueue->Append(this);
    ScheduleNearChildren(childQueue, nodeQueue, entryQueue);
    return;
  }
  if (refinable) LeaveOutSmallRecords();
  if (iScreenZoneCount != 0) nodeQueue->Append(this);
  for (KELScreenZone* record = iScreenZones; record != nullptr; record = record->iNext)
    if (record->iIsSmall) record->iZone->CollectLoadedEntries(entryQueue);
  if (iParent != nullptr) iParent->OnChildFinished(childQueue, nodeQueue, entryQueue);
}

// A node that cannot get its children (no memory) stays a leaf, whose fill
// would cover only its records' own zones: the small records, whose zones'
// subtrees the split would have tested, are left out instead (drawn and
// reported untested at the end of the frame), so the frame culls less.
void KELScreenSpacePartition::LeaveOutSmallRecords() {
  KELScreenZone* kept = nullptr;
  uint32_t keptCount = 0;
  for (KELScreenZone* record = iScreenZones; record != nullptr;) {
    KELScreenZone* next = record->iNext;
    if (record->iIsSmall) {
      KELLeaveOut(record->iZone);
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

// Queues the children of slots firstSlot..firstSlot+3. Only children that
// made it into the queue are counted, so a failed append cannot leave the
// node waiting for ever.
void KELScreenSpacePartition::ScheduleChildren(int32_t firstSlot, FIFOQueue* childQueue, uint32_t* pending) {
  *pending = 0;
  if (iChildren.count == 0) return;
  for (int32_t slot = firstSlot; slot < firstSlot + 4; ++slot) {
    KELScreenSpacePartition* child = Child(slot);
    if (child != nullptr && childQueue->Append(child)) *pending += 1;
  }
}

void KELScreenSpacePartition::ScheduleNearChildren(FIFOQueue* childQueue, FIFOQueue* nodeQueue,
                                                   FIFOQueue* entryQueue) {
  uint32_t pending;
  ScheduleChildren(0, childQueue, &pending);
  iNearPending = pending;
  if (iNearPending == 0) ScheduleFarChildren(childQueue, nodeQueue, entryQueue);
}

void KELScreenSpacePartition::ScheduleFarChildren(FIFOQueue* childQueue, FIFOQueue* nodeQueue,
                                                  FIFOQueue* entryQueue) {
  uint32_t pending;
  ScheduleChildren(4, childQueue, &pending);
  iFarPending = pending;
  if (iFarPending == 0 && iParent != nullptr) iParent->OnChildFinished(childQueue, nodeQueue, entryQueue);
}

void KELScreenSpacePartition::OnChildFinished(FIFOQueue* childQueue, FIFOQueue* nodeQueue, FIFOQueue* entryQueue) {
  KELScreenSpacePartition* node = this;
  while (node != nullptr) {
    if (node->iNearPending != 0) {
      node->iNearPending -= 1;
      if (node->iNearPending == 0) node->ScheduleFarChildren(childQueue, nodeQueue, entryQueue);
      return;
    }
    if (node->iFarPending == 0) return;
    node->iFarPending -= 1;
    if (node->iFarPending != 0) return;
    node = node->iParent;
  }
}
