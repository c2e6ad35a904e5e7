// Screen-space partition build: insertion of projected zones, the octant
// split of a visible node, and release into the pools.
#include "KELScreenSpacePartition.h"

#include <new>

#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELMemory.h"
#include "KELPools.h"
#include "KELView.h"


KELScreenSpacePartition::KELScreenSpacePartition()
    : iHalfExtent{0, 0, 0}, iMin{0, 0, 0}, iMax{0, 0, 0}, iSmallMin{0, 0, 0}, iSmallMax{0, 0, 0},
      iChildren(8), iScreenZones(nullptr), iParent(nullptr), iDepth(0), iUnfilled(1), iSpare(0),
      iNearPending(0), iFarPending(0), iSpareHigh(0), iScreenZoneCount(0), iSampleCount(0),
      iNextFree(nullptr) {}

void KELScreenSpacePartition::SetUp(const float* min, const float* max) {
  for (int a = 0; a < 3; ++a) {
    iHalfExtent[a] = (max[a] - min[a]) * 0.5f;
    iMin[a] = iSmallMin[a] = max[a];
    iMax[a] = iSmallMax[a] = min[a];
  }
  iChildren.count = 0;
  iScreenZones = nullptr;
  iScreenZoneCount = 0;
  iUnfilled = 1;
}

void KELScreenSpacePartition::Initialize(float minX, float minY, float minZ, float maxX, float maxY, float maxZ) {
  const float min[3] = {minX, minY, minZ};
  const float max[3] = {maxX, maxY, maxZ};
  SetUp(min, max);
  iDepth = 0;
  iParent = nullptr;
  iNextFree = nullptr;
}

KELScreenSpacePartition* KELScreenSpacePartition::AddChild(float minX, float minY, float minZ, float maxX,
                                                           float maxY, float maxZ) {
  KELScreenSpacePartition* child = _freeList;
  if (child != nullptr) {
    _freeList = child->iNextFree;
  } else {
    void* memory = KELAllocateRecord(sizeof(KELScreenSpacePartition));
    if (memory == nullptr) return nullptr;
    child = new (memory) KELScreenSpacePartition();
    // Room for a split from the start: a recycled node is then split in any
    // later frame without touching the heap.
    child->iChildren.Reserve(8);
  }
  const float min[3] = {minX, minY, minZ};
  const float max[3] = {maxX, maxY, maxZ};
  child->SetUp(min, max);
  child->iDepth = (iDepth + 1) & 15u;
  child->iParent = this;
  if (!iChildren.Append(child)) {
    KELPools::GiveBack(child);
    return nullptr;
  }
  return child;
}

void KELScreenSpacePartition::Link(KELScreenZone* record) {
  record->iNext = iScreenZones;
  iScreenZones = record;
  iScreenZoneCount += 1;
  for (int a = 0; a < 3; ++a) {
    if (record->iIsSmall) {
      // The overall bounds are only examined when the small bounds moved.
      if (iSmallMin[a] > record->iMin[a]) {
        iSmallMin[a] = record->iMin[a];
        if (iMin[a] > record->iMin[a]) iMin[a] = record->iMin[a];
      }
      if (iSmallMax[a] < record->iMax[a]) {
        iSmallMax[a] = record->iMax[a];
        if (iMax[a] < record->iMax[a]) iMax[a] = record->iMax[a];
      }
    } else {
      if (iMin[a] > record->iMin[a]) iMin[a] = record->iMin[a];
      if (iMax[a] < record->iMax[a]) iMax[a] = record->iMax[a];
    }
  }
}

// Replaces a large record by its zone's children. A child that cannot get a
// record (allocator failure) is left out of this frame's tests: its objects
// are drawn and reported untested at the end of the frame.
void KELScreenSpacePartition::InsertChildZones(KELScreenZone* record, bool crossing, KELFrameState* frame) {
  KEL3DZone* zone = record->iZone;
  if (zone->iPendingCount > static_cast<uint32_t>(kMaxPendingEntries)) zone->Subdivide();
  for (int32_t i = 0; i < zone->iChildren.count; ++i) {
    KEL3DZone* child = zone->Child(i);
    KELScreenZone* childRecord;
    if (!crossing && record->iIsInsideScreen) {
      childRecord = ProjectInsideZone(record->iViewProjection, child);
    } else {
      if (crossing && (child->iFlags & kZoneFlagEmpty)) continue;
      if (IsOutsideClipPlanes(frame->iPlaneCount, frame->iPlanes, child)) continue;
      childRecord = ProjectZone(record->iViewProjection, child);
    }
    if (childRecord == nullptr) frame->LeaveOut(child);
    InsertScreenZone(childRecord, frame);
  }
}

void KELScreenSpacePartition::InsertScreenZone(KELScreenZone* record, KELFrameState* frame) {
  iUnfilled = 0;
  if (record == nullptr) return;
  // Wholly behind the eye: not visible, dropped like a record off the screen
  // (otherwise it would count as crossing the near plane, pass unqueried and
  // have its objects drawn and reported).
  if (record->iBehindEye) {
    KELPools::GiveBack(record);
    return;
  }
  if (record->iCrossesNearPlane) {
    record->iIsSmall = 0;
    InsertChildZones(record, true, frame);
    Link(record);
    return;
  }
  if (record->iMax[0] <= -1.0f || record->iMin[0] >= 1.0f || record->iMax[1] <= -1.0f ||
      record->iMin[1] >= 1.0f) {
    KELPools::GiveBack(record);
    return;
  }
  bool small = true;
  for (int a = 0; a < 3; ++a)
    if (record->iMax[a] - record->iMin[a] > iHalfExtent[a]) small = false;
  record->iIsSmall = small ? 1 : 0;
  if (!small) InsertChildZones(record, false, frame);
  Link(record);
}

// The split point is the centre of the small records' box; `sums` keeps
// twice its coordinates for the octant test of ReinsertRecords.
void KELScreenSpacePartition::ComputeSplitBox(float* sums, float* mid) const {
  for (int a = 0; a < 3; ++a) {
    sums[a] = iSmallMin[a] + iSmallMax[a];
    mid[a] = sums[a] * 0.5f;
  }
}

// All or nothing: without eight children the node stays a leaf.
bool KELScreenSpacePartition::MakeChildren(const float* mid) {
  for (int i = 0; i < 8; ++i) {
    const float* lo[3] = {(i & 1) ? &mid[0] : &iSmallMin[0], (i & 2) ? &mid[1] : &iSmallMin[1],
                          (i & 4) ? &mid[2] : &iSmallMin[2]};
    const float* hi[3] = {(i & 1) ? &iSmallMax[0] : &mid[0], (i & 2) ? &iSmallMax[1] : &mid[1],
                          (i & 4) ? &iSmallMax[2] : &mid[2]};
    if (AddChild(*lo[0], *lo[1], *lo[2], *hi[0], *hi[1], *hi[2]) == nullptr) {
      for (int32_t made = 0; made < iChildren.count; ++made) KELPools::GiveBack(Child(made));
      iChildren.count = 0;
      return false;
    }
  }
  return true;
}

// Records of zones that failed their query go back to the pool, small ones
// move to the octant of their centre, large ones stay; children that got
// nothing go back to the pool and leave an empty slot.
void KELScreenSpacePartition::ReinsertRecords(const float* sums, KELFrameState* frame) {
  KELScreenZone* stayed = nullptr;
  uint32_t stayedCount = 0;
  KELScreenZone* record = iScreenZones;
  while (record != nullptr) {
    KELScreenZone* next = record->iNext;
    if (!KELView::HasZoneFlag(record->iZone, kZoneFlagQueryPassed)) {
      KELPools::GiveBack(record);
    } else if (record->iIsSmall) {
      int slot = 0;
      if (sums[2] < record->iMin[2] + record->iMax[2]) slot += 4;
      if (sums[1] < record->iMin[1] + record->iMax[1]) slot += 2;
      if (sums[0] < record->iMin[0] + record->iMax[0]) slot += 1;
      Child(slot)->InsertScreenZone(record, frame);
    } else {
      record->iNext = stayed;
      stayed = record;
      stayedCount += 1;
    }
    record = next;
  }
  iScreenZones = stayed;
  iScreenZoneCount = stayedCount;
  for (int32_t slot = 0; slot < 8; ++slot) {
    KELScreenSpacePartition* child = Child(slot);
    if (child->iUnfilled) {
      KELPools::GiveBack(child);
      iChildren.data[slot] = nullptr;
    }
  }
}

bool KELScreenSpacePartition::Split(KELFrameState* frame) {
  if (iChildren.count != 0) return true;
  float sums[3], mid[3];
  ComputeSplitBox(sums, mid);
  if (!MakeChildren(mid)) return false;
  ReinsertRecords(sums, frame);
  return true;
}

void KELScreenSpacePartition::Release() {
  if (iScreenZones != nullptr) {
    KELScreenZone* last = iScreenZones;
    while (last->iNext != nullptr) last = last->iNext;
    KELPools::GiveBackList(iScreenZones, last);
    iScreenZones = nullptr;
  }
  for (int32_t slot = 0; slot < iChildren.count; ++slot) {
    KELScreenSpacePartition* child = Child(slot);
    if (child == nullptr) continue;
    child->Release();
    KELPools::GiveBack(child);
  }
  iScreenZoneCount = 0;
  iChildren.count = 0;
}
