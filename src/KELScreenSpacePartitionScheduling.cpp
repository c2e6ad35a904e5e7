// Front-to-back scheduling: a visible node is refined or treated as a leaf;
// its near children (slots 0-3) are handed out before its far ones (4-7).
#include "KEL3DZone.h"
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
  // A node that cannot get its children (no memory) is judged as a leaf:
  // it draws more, never less.
  if (IsRefinable() && Split()) {
    if (iScreenZoneCount != 0) nodeQueue->Append(this);
    ScheduleNearChildren(childQueue, nodeQueue, entryQueue);
    return;
  }
  if (iScreenZoneCount != 0) nodeQueue->Append(this);
  for (KELScreenZone* record = iScreenZones; record != nullptr; record = record->iNext)
    if (record->iIsSmall) record->iZone->CollectLoadedEntries(entryQueue);
  if (iParent != nullptr) iParent->OnChildFinished(childQueue, nodeQueue, entryQueue);
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
