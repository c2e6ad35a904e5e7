// Zones and entries: placement, movement, removal, load state, the zone
// pool and the visibility bookkeeping that the culling pass uses.
#include "KEL3DZone.h"

#include <cassert>
#include <cstring>
#include <new>

#include "KELMemory.h"
#include "KELPools.h"
#include "KELSettings.h"
#include "KELView.h"


namespace {

bool IsTooLarge(const KEL3DZone* zone, const KEL3DZoneEntry* entry) {
  for (int a = 0; a < 3; ++a)
    if (zone->iHalfSize[a] < entry->iMax[a] - entry->iMin[a]) return true;
  return false;
}

bool Contains(const KEL3DZone* zone, const KEL3DZoneEntry* entry) {
  for (int a = 0; a < 3; ++a)
    if (!(zone->iMin[a] <= entry->iMin[a] && zone->iMax[a] >= entry->iMax[a])) return false;
  return true;
}

bool ContainsPoint(const KEL3DZone* zone, const float* point) {
  for (int a = 0; a < 3; ++a)
    if (!(zone->iMin[a] <= point[a] && point[a] <= zone->iMax[a])) return false;
  return true;
}

// Strict comparisons: a NaN never replaces a bound.
void Grow(float* min, float* max, const KEL3DZoneEntry* entry) {
  for (int a = 0; a < 3; ++a) {
    if (min[a] > entry->iMin[a]) min[a] = entry->iMin[a];
    if (max[a] < entry->iMax[a]) max[a] = entry->iMax[a];
  }
}

// Zero-filled record with an empty child array (growth step 8) and a view
// slot of its own; null when memory runs out.
KEL3DZone* NewZoneRecord() {
  bool make = false;
  const uint32_t slot = KELView::NextZoneSlot(&make);
  if (!make) return nullptr;
  void* memory = KELAllocateRecord(sizeof(KEL3DZone));
  if (memory == nullptr) return nullptr;
  std::memset(memory, 0, sizeof(KEL3DZone));
  KEL3DZone* zone = static_cast<KEL3DZone*>(memory);
  new (&zone->iChildren) KELGrowArray(8);
  zone->iFlags = kZoneFlagEmpty;
  zone->iState = kZoneStateActive;
  KELView::TakeZoneSlot(slot);
  zone->iViewSlot = slot;
  KELView::ResetZone(slot);
  return zone;
}

}  // namespace

// ---------------------------------------------------------------- entries

void KEL3DZoneEntry::SetPixelCount(uint32_t pixels) {
  if (pixels > kEntryPixelMask) pixels = kEntryPixelMask;
  iFlags = (iFlags & ~(kEntryPixelMask << kEntryPixelShift)) | (pixels << kEntryPixelShift);
}

void KEL3DZoneEntry::SetNextEntry(KEL3DZoneEntry* next) {
  iNextEntry = next;
  assert(this != iNextEntry);
}

// ---------------------------------------------------------------- zones

KEL3DZone* KEL3DZone::CreateRoot() {
  KEL3DZone* zone = AllocZone();
  if (zone == nullptr) return nullptr;
  zone->iParent = nullptr;
  zone->iDepth = 0;
  const float lower[3] = {-kRootHalfSize, -kRootHalfSize, -kRootHalfSize};
  const float upper[3] = {kRootHalfSize, kRootHalfSize, kRootHalfSize};
  zone->SetCell(lower, upper);
  return zone;
}

KEL3DZone* KEL3DZone::AllocZone() {
  if (_pool == nullptr) return NewZoneRecord();
  KEL3DZone* zone = _pool;
  _pool = zone->iNextFree;
  // A pooled zone may have served another partition: its culling history
  // must not leak into the zone it becomes.
  zone->iNextFree = nullptr;
  zone->iFlags = kZoneFlagEmpty;
  zone->iState = kZoneStateActive;
  zone->iHistory = 0;
  zone->iHistoryFrame = 0;
  zone->iLastVisibleFrame = 0;
  KELView::ResetZone(zone->iViewSlot);
  zone->iPendingCount = 0;
  zone->iChildren.count = 0;
  zone->iUnloadedPending = zone->iUnloadedFixed = zone->iLoaded = nullptr;
  return zone;
}

void KEL3DZone::SetCell(const float* lower, const float* upper) {
  for (int a = 0; a < 3; ++a) {
    iHalfSize[a] = (upper[a] - lower[a]) * 0.5f;
    iMin[a] = iSplitMin[a] = upper[a];
    iMax[a] = iSplitMax[a] = lower[a];
  }
}

KEL3DZoneEntry** KEL3DZone::ListFor(const KEL3DZoneEntry* entry) {
  if (entry->IsLoaded()) return &iLoaded;
  return entry->IsPending() ? &iUnloadedPending : &iUnloadedFixed;
}

void KEL3DZone::PushFront(KEL3DZoneEntry** list, KEL3DZoneEntry* entry) {
  entry->iPrevEntry = nullptr;
  entry->SetNextEntry(*list);
  if (*list != nullptr) (*list)->iPrevEntry = entry;
  *list = entry;
}

void KEL3DZone::Unlink(KEL3DZoneEntry** list, KEL3DZoneEntry* entry) {
  if (entry->iPrevEntry != nullptr) entry->iPrevEntry->SetNextEntry(entry->iNextEntry);
  else *list = entry->iNextEntry;
  if (entry->iNextEntry != nullptr) entry->iNextEntry->iPrevEntry = entry->iPrevEntry;
  entry->iNextEntry = nullptr;
  entry->iPrevEntry = nullptr;
}

void KEL3DZone::GrowBounds(const KEL3DZoneEntry* entry, bool toRoot) {
  for (KEL3DZone* zone = this; zone != nullptr; zone = toRoot ? zone->iParent : nullptr)
    Grow(zone->iMin, zone->iMax, entry);
}

void KEL3DZone::GrowBoundsAndSplit(const KEL3DZoneEntry* entry) {
  Grow(iSplitMin, iSplitMax, entry);
  Grow(iMin, iMax, entry);
}

void KEL3DZone::Insert(KEL3DZoneEntry* entry) {
  KEL3DZone* zone = this;
  bool pending = false;
  bool toRoot = false;
  for (;;) {
    if (IsTooLarge(zone, entry)) break;
    if (!zone->IsSubdivided()) {
      pending = true;
      break;
    }
    float center[3];
    for (int a = 0; a < 3; ++a) center[a] = (entry->iMin[a] + entry->iMax[a]) * 0.5f;
    KEL3DZone* next = nullptr;
    for (int32_t i = 0; i < zone->iChildren.count && next == nullptr; ++i) {
      KEL3DZone* child = zone->Child(i);
      if (Contains(child, entry)) {
        next = child;
      } else if (ContainsPoint(child, center)) {
        zone->GrowBoundsAndSplit(entry);
        next = child;
      }
    }
    if (next == nullptr) {
      toRoot = true;
      break;
    }
    zone = next;
  }
  entry->iPlacement &= ~kEntryHeld;
  if (pending) {
    entry->iPlacement |= kEntryPending;
    PushFront(entry->IsLoaded() ? &zone->iLoaded : &zone->iUnloadedPending, entry);
    zone->iPendingCount += 1;
    zone->GrowBoundsAndSplit(entry);
  } else {
    entry->iPlacement &= ~kEntryPending;
    PushFront(entry->IsLoaded() ? &zone->iLoaded : &zone->iUnloadedFixed, entry);
    zone->GrowBounds(entry, toRoot);
  }
  entry->iZone = zone;
  zone->iFlags &= ~kZoneFlagEmpty;
}

void KEL3DZone::Remove(KEL3DZoneEntry* entry) {
  Unlink(ListFor(entry), entry);
  if (entry->IsPending()) iPendingCount -= 1;
  entry->iZone = nullptr;
}

void KEL3DZone::Relocate(KEL3DZoneEntry* entry) {
  if (entry->iPlacement & kEntryHeld) {
    RelocateHeld(entry);
    return;
  }
  if (!entry->IsPending()) {
    GrowBounds(entry, true);
    return;
  }
  if (Contains(this, entry)) return;
  Remove(entry);
  KEL3DZone* start = iParent != nullptr ? iParent : this;
  start->Insert(entry);
  // Placement from the parent grows only the zones on the new path; the
  // culling pass prunes whole subtrees by their zone's box, so every zone up
  // to the root must cover the moved entry.
  entry->iZone->GrowBounds(entry, true);
}

// A held entry stays in its zone like any fixed one; but a move that widens
// the zone's split bounds may give the split a cut that separates the held
// entries now, so they all wait again (coincident ones are held again by the
// next split).
void KEL3DZone::RelocateHeld(KEL3DZoneEntry* entry) {
  float before[6];
  std::memcpy(before, iSplitMin, sizeof(iSplitMin));
  std::memcpy(before + 3, iSplitMax, sizeof(iSplitMax));
  GrowBoundsAndSplit(entry);
  GrowBounds(entry, true);
  if (std::memcmp(before, iSplitMin, sizeof(iSplitMin)) != 0 ||
      std::memcmp(before + 3, iSplitMax, sizeof(iSplitMax)) != 0)
    ReleaseHeld();
}

void KEL3DZone::ReleaseHeld() {
  KEL3DZoneEntry* held = nullptr;
  KEL3DZoneEntry** lists[2] = {&iUnloadedFixed, &iLoaded};
  for (KEL3DZoneEntry** list : lists) {
    for (KEL3DZoneEntry* entry = *list; entry != nullptr;) {
      KEL3DZoneEntry* next = entry->iNextEntry;
      if (entry->iPlacement & kEntryHeld) {
        Unlink(list, entry);
        PushFront(&held, entry);
      }
      entry = next;
    }
  }
  while (held != nullptr) {
    KEL3DZoneEntry* entry = held;
    Unlink(&held, entry);
    Insert(entry);
  }
}

void KEL3DZone::SetEntryLoaded(KEL3DZoneEntry* entry) {
  if (entry->IsLoaded()) return;
  Unlink(ListFor(entry), entry);
  entry->iFlags &= ~kEntryLoadMask;
  PushFront(&iLoaded, entry);
}

void KEL3DZone::SetEntryUnloaded(KEL3DZoneEntry* entry) {
  if (!entry->IsLoaded()) return;
  Unlink(&iLoaded, entry);
  entry->iFlags = (entry->iFlags & ~kEntryLoadMask) | kEntryUnloaded;
  PushFront(ListFor(entry), entry);
}

void KEL3DZone::SetActive(bool active) {
  if (active && IsSubdivided()) Rebuild();
  iState = active ? (iState | kZoneStateActive) : (iState & ~kZoneStateActive);
}

void KEL3DZone::PropagateLastVisibleFrame(int32_t frame) {
  // Stored frames are never later than the current one: a value that looks
  // later in serial arithmetic lies more than 2^31 frames back (or is the
  // 0 of a zone never seen) and is replaced too. A zone that already holds
  // this frame has had it propagated above it.
  for (KEL3DZone* zone = this; zone != nullptr; zone = zone->iParent) {
    if (KELSettings::FramesSince(frame, zone->iLastVisibleFrame) == 0) return;
    zone->iLastVisibleFrame = frame;
  }
}

// ---------------------------------------------------------------- engine-level entry operations

namespace {

KELMatrix* TakeMatrix() {
  KELMatrix* matrix = KEL3DZoneEntry::_freeMatrices;
  if (matrix != nullptr) {
    KEL3DZoneEntry::_freeMatrices = matrix->iNext;
  } else {
    matrix = static_cast<KELMatrix*>(KELGlobalAllocate(sizeof(KELMatrix)));
    if (matrix == nullptr) return nullptr;
  }
  matrix->iNext = nullptr;
  matrix->iLink = nullptr;
  return matrix;
}

// An entry record with its box record, from the free list or the allocator.
KEL3DZoneEntry* TakeEntry() {
  KEL3DZoneEntry* entry = KEL3DZoneEntry::_freeList;
  if (entry != nullptr) {
    KEL3DZoneEntry::_freeList = entry->iNextEntry;
  } else {
    bool make = false;
    const uint32_t slot = KELView::NextEntrySlot(&make);
    if (!make) return nullptr;
    entry = static_cast<KEL3DZoneEntry*>(KELAllocateRecord(sizeof(KEL3DZoneEntry)));
    if (entry == nullptr) return nullptr;
    std::memset(entry, 0, sizeof(KEL3DZoneEntry));
    KELView::TakeEntrySlot(slot);
    entry->iViewSlot = slot;
  }
  if (entry->iBox == nullptr) {
    entry->iBox = static_cast<KEL3DZoneBox*>(KELAllocateRecord(sizeof(KEL3DZoneBox)));
    if (entry->iBox == nullptr) {
      KELPools::GiveBack(entry);
      return nullptr;
    }
  }
  return entry;
}

void SetGeometry(KEL3DZoneEntry* entry, const float* min, const float* max, const float* center,
                 float radius) {
  for (int a = 0; a < 3; ++a) {
    entry->iBox->iMin[a] = entry->iMin[a] = min[a];
    entry->iBox->iMax[a] = entry->iMax[a] = max[a];
    entry->iCenter[a] = center[a];
  }
  entry->iRadius = radius;
}

}  // namespace

KEL3DZoneEntry* KELCreateEntry(KEL3DZone* root, void* object, const float* min, const float* max,
                               const float* center, float radius, const float* matrix) {
  if (root == nullptr) return nullptr;
  KEL3DZoneEntry* entry = TakeEntry();
  if (entry == nullptr) return nullptr;
  KELMatrix* copy = nullptr;
  if (matrix != nullptr) {
    copy = TakeMatrix();
    if (copy == nullptr) {
      KELPools::GiveBack(entry);
      return nullptr;
    }
    std::memcpy(copy->iElements, matrix, sizeof(copy->iElements));
  }
  // A recycled record starts without the removed entry's history, in
  // every view.
  KEL3DZoneBox* box = entry->iBox;
  const uint32_t slot = entry->iViewSlot;
  std::memset(entry, 0, sizeof(KEL3DZoneEntry));
  entry->iBox = box;
  entry->iViewSlot = slot;
  KELView::ResetEntry(slot);
  entry->iMatrix = copy;
  entry->iObject = object;
  SetGeometry(entry, min, max, center, radius);
  entry->SetNextEntry(nullptr);
  entry->iFlags = kEntryUnloaded;
  root->Insert(entry);
  return entry;
}

void KELUpdateEntry(KEL3DZoneEntry* entry, const float* min, const float* max, const float* center,
                    float radius, const float* matrix) {
  if (entry == nullptr || entry->iZone == nullptr) return;
  SetGeometry(entry, min, max, center, radius);
  if (matrix != nullptr) {
    if (entry->iMatrix == nullptr) entry->iMatrix = TakeMatrix();
    // Without memory for a matrix the entry keeps none; its geometry still moves.
    if (entry->iMatrix != nullptr) std::memcpy(entry->iMatrix->iElements, matrix, sizeof(float) * 16);
  }
  entry->iZone->Relocate(entry);
}

void KEL3DZone::Destroy() {
  for (int32_t i = 0; i < iChildren.count; ++i) Child(i)->Destroy();
  iChildren.count = 0;
  KEL3DZoneEntry** lists[3] = {&iLoaded, &iUnloadedPending, &iUnloadedFixed};
  for (KEL3DZoneEntry** list : lists) {
    for (KEL3DZoneEntry* entry = *list; entry != nullptr;) {
      KEL3DZoneEntry* next = entry->iNextEntry;
      KELPools::GiveBack(entry);
      entry = next;
    }
    *list = nullptr;
  }
  iPendingCount = 0;
  KELPools::GiveBack(this);
}

void KELRemoveEntry(KEL3DZoneEntry* entry) {
  if (entry == nullptr || entry->iZone == nullptr) return;
  entry->iZone->Remove(entry);
  KELPools::GiveBack(entry);
}
