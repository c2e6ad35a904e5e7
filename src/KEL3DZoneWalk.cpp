// The host's visit of a partition (behind the public
// TraverseSpacePartition). Like the gathering of loaded entries
// (ForEachLoadedEntry), it recurses as deep as the zone tree, which the
// split keeps within kMaxZoneDepth levels.
#include "KEL3DZone.h"
#include "KELSpacePartitionTraversal.h"

void KEL3DZone::WalkForHost(KELSpacePartitionTraversal* visitor, bool force) {
  if (!visitor->TestBox(iMin, iMax)) return;
  const uint32_t wasActive = iState & kZoneStateActive;
  if (force) iState |= kZoneStateActive;
  if (iPendingCount > static_cast<uint32_t>(kMaxPendingEntries)) Subdivide();
  iState = (iState & ~kZoneStateActive) | wasActive;

  KEL3DZoneEntry* lists[3] = {iLoaded, iUnloadedPending, iUnloadedFixed};
  for (KEL3DZoneEntry* entry : lists) {
    while (entry != nullptr) {
      if (visitor->TestBox(entry->iMin, entry->iMax)) visitor->VisitObject(entry->iObject);
      entry = entry->iNextEntry;
    }
  }
  for (int32_t i = 0; i < iChildren.count; ++i) {
    KEL3DZone* child = Child(i);
    if (child != nullptr) child->WalkForHost(visitor, force);
  }
}
