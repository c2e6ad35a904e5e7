// Zone subdivision: the lazy octant split of a crowded zone and the rebuild
// that flattens a split partition again.
#include <cstring>

#include "KEL3DZone.h"
#include "KELMemory.h"
#include "KELPools.h"


namespace {

int Octant(const KEL3DZoneEntry* entry, const float* sums) {
  int octant = 0;
  if (entry->iMin[2] + entry->iMax[2] > sums[2]) octant |= 4;
  if (entry->iMin[1] + entry->iMax[1] > sums[1]) octant |= 2;
  if (entry->iMin[0] + entry->iMax[0] > sums[0]) octant |= 1;
  return octant;
}

void ChildCell(const KEL3DZone* zone, const float* center, int octant, float* lower, float* upper) {
  for (int a = 0; a < 3; ++a) {
    bool upperHalf = (octant >> a) & 1;
    lower[a] = upperHalf ? center[a] : zone->iSplitMin[a];
    upper[a] = upperHalf ? zone->iSplitMax[a] : center[a];
  }
}

// The single octant that receives every waiting entry, or -1 when they
// spread over several (or none wait).
int CommonOctant(const KEL3DZone* zone, const float* sums) {
  int common = -1;
  const KEL3DZoneEntry* lists[2] = {zone->iUnloadedPending, zone->iLoaded};
  for (const KEL3DZoneEntry* head : lists) {
    for (const KEL3DZoneEntry* entry = head; entry != nullptr; entry = entry->iNextEntry) {
      if (!entry->IsPending()) continue;
      int octant = Octant(entry, sums);
      if (common >= 0 && octant != common) return -1;
      common = octant;
    }
  }
  return common;
}

// True when splitting would hand every waiting entry to one child whose
// cell is the zone's own split box: that child would split the same way
// again, forever (coincident points, or a cut that rounds onto a bound).
bool SplitCannotSeparate(const KEL3DZone* zone, const float* sums, const float* center) {
  int octant = CommonOctant(zone, sums);
  if (octant < 0) return false;
  float lower[3], upper[3];
  ChildCell(zone, center, octant, lower, upper);
  for (int a = 0; a < 3; ++a)
    if (lower[a] != zone->iSplitMin[a] || upper[a] != zone->iSplitMax[a]) return false;
  return true;
}

// Fixes every waiting entry in the zone itself, marked as held there.
void FixWaitingEntries(KEL3DZone* zone) {
  while (zone->iUnloadedPending != nullptr) {
    KEL3DZoneEntry* entry = zone->iUnloadedPending;
    KEL3DZone::Unlink(&zone->iUnloadedPending, entry);
    entry->iPlacement = (entry->iPlacement & ~kEntryPending) | kEntryHeld;
    KEL3DZone::PushFront(&zone->iUnloadedFixed, entry);
  }
  for (KEL3DZoneEntry* entry = zone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
    if (entry->IsPending()) entry->iPlacement = (entry->iPlacement & ~kEntryPending) | kEntryHeld;
  zone->iPendingCount = 0;
}

// Takes eight zones and sets them up as children; all or nothing.
bool MakeChildren(KEL3DZone* zone, const float* center) {
  KEL3DZone* children[8];
  for (int octant = 0; octant < 8; ++octant) {
    children[octant] = KEL3DZone::AllocZone();
    if (children[octant] == nullptr) {
      while (octant-- > 0) KELPools::GiveBack(children[octant]);
      return false;
    }
  }
  for (int octant = 0; octant < 8; ++octant) {
    KEL3DZone* child = children[octant];
    float lower[3], upper[3];
    ChildCell(zone, center, octant, lower, upper);
    child->iFlags = (child->iFlags & ~kZoneFlagSubdivided) | kZoneFlagEmpty;
    child->iParent = zone;
    child->iDepth = zone->iDepth + 1;
    child->SetCell(lower, upper);
    if (!zone->iChildren.Append(child)) {
      for (int32_t i = 0; i < zone->iChildren.count; ++i) KELPools::GiveBack(zone->Child(i));
      zone->iChildren.count = 0;
      for (int rest = octant; rest < 8; ++rest) KELPools::GiveBack(children[rest]);
      return false;
    }
  }
  return true;
}

void Redistribute(KEL3DZone* zone, const float* sums) {
  while (zone->iUnloadedPending != nullptr) {
    KEL3DZoneEntry* entry = zone->iUnloadedPending;
    KEL3DZone::Unlink(&zone->iUnloadedPending, entry);
    zone->Child(Octant(entry, sums))->Insert(entry);
  }
  // Fixed loaded entries stay, collected in reverse order.
  KEL3DZoneEntry* holding = nullptr;
  while (zone->iLoaded != nullptr) {
    KEL3DZoneEntry* entry = zone->iLoaded;
    KEL3DZone::Unlink(&zone->iLoaded, entry);
    if (entry->IsPending()) zone->Child(Octant(entry, sums))->Insert(entry);
    else KEL3DZone::PushFront(&holding, entry);
  }
  zone->iLoaded = holding;
}

// Drops the children that received nothing, keeping the others in order.
void CompactChildren(KEL3DZone* zone) {
  int32_t kept = 0;
  for (int32_t i = 0; i < zone->iChildren.count; ++i) {
    KEL3DZone* child = zone->Child(i);
    if (child->iFlags & kZoneFlagEmpty) KELPools::GiveBack(child);
    else zone->iChildren.data[kept++] = child;
  }
  zone->iChildren.count = kept;
}

// Depth first, zone before children: fixed, waiting, then loaded entries.
void Gather(KEL3DZone* zone, FIFOQueue* queue, KEL3DZoneEntry** overflow) {
  KEL3DZoneEntry** lists[3] = {&zone->iUnloadedFixed, &zone->iUnloadedPending, &zone->iLoaded};
  for (KEL3DZoneEntry** list : lists) {
    while (*list != nullptr) {
      KEL3DZoneEntry* entry = *list;
      KEL3DZone::Unlink(list, entry);
      // Without a queue element the entry waits on an intrusive list instead:
      // an allocation failure must never lose an entry.
      if (!queue->Append(entry)) KEL3DZone::PushFront(overflow, entry);
    }
  }
  for (int32_t i = 0; i < zone->iChildren.count; ++i) Gather(zone->Child(i), queue, overflow);
}

void ReleaseBelow(KEL3DZone* zone) {
  zone->iPendingCount = 0;
  for (int32_t i = 0; i < zone->iChildren.count; ++i) {
    KEL3DZone* child = zone->Child(i);
    ReleaseBelow(child);
    KELPools::GiveBack(child);
  }
  zone->iChildren.count = 0;
}

}  // namespace

void KEL3DZone::Subdivide() {
  // A zone that owes objects to the end of the frame keeps its entries
  // where the frame will look for them; a later walk splits it.
  if (IsSubdivided() || !IsActive() || (iFlags & kZoneFlagOwed)) return;
  // Depth guard: walks recurse as deep as the tree, so the tree stays
  // shallow whatever the geometry (entries at ever smaller scales, NaNs).
  if (iDepth >= kMaxZoneDepth) return;
  float sums[3], center[3];
  for (int a = 0; a < 3; ++a) {
    sums[a] = iSplitMin[a] + iSplitMax[a];
    center[a] = sums[a] * 0.5f;
  }
  if (SplitCannotSeparate(this, sums, center)) {
    FixWaitingEntries(this);
    return;
  }
  // Without memory for the children the zone simply stays unsplit; its
  // entries keep waiting and a later walk tries again.
  if (!MakeChildren(this, center)) return;
  iFlags |= kZoneFlagSubdivided;
  Redistribute(this, sums);
  iPendingCount = 0;
  CompactChildren(this);
}

void KEL3DZone::Rebuild() {
  FIFOQueue queue;
  queue.Init(KELAllocator::GetAllocator(), &KELPools::_rebuildElementFreeList);
  KEL3DZoneEntry* overflow = nullptr;
  Gather(this, &queue, &overflow);
  iFlags = (iFlags & ~kZoneFlagSubdivided) | kZoneFlagEmpty;
  ReleaseBelow(this);
  while (!queue.IsEmpty()) Insert(static_cast<KEL3DZoneEntry*>(queue.TakeFront()));
  while (overflow != nullptr) {
    KEL3DZoneEntry* entry = overflow;
    Unlink(&overflow, entry);
    Insert(entry);
  }
}
