// The per-frame screen-space tree: nodes that hold projected zones, their
// octant split, release into the pools, and the near-before-far scheduling
// of their children.
#ifndef KEL_SCREEN_SPACE_PARTITION_H
#define KEL_SCREEN_SPACE_PARTITION_H

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"
#include "KELScreenZone.h"

constexpr uint32_t kMaxSplitDepth = 15;

struct KELScreenSpacePartition {
  float iHalfExtent[3];
  float iMin[3];
  float iMax[3];
  float iSmallMin[3];
  float iSmallMax[3];
  KELGrowArray iChildren;
  KELScreenZone* iScreenZones;
  KELScreenSpacePartition* iParent;
  uint32_t iDepth : 4;
  uint32_t iUnfilled : 1;
  uint32_t iSpare : 1;
  uint32_t iNearPending : 3;
  uint32_t iFarPending : 3;
  uint32_t iSpareHigh : 20;
  // A full word: one node may hold more records than a 17-bit count allows.
  uint32_t iScreenZoneCount;
  uint32_t iSampleCount;
  KELScreenSpacePartition* iNextFree;

  KELScreenSpacePartition();

  // Sets the node up as a root for the box (no parent, depth 0).
  void Initialize(float minX, float minY, float minZ, float maxX, float maxY, float maxZ);
  // A child for the box from the node pool (or the allocator), appended to
  // iChildren; null (nothing appended) when memory runs out.
  KELScreenSpacePartition* AddChild(float minX, float minY, float minZ, float maxX, float maxY, float maxZ);
  // Takes ownership of `record` (null is ignored): rejects, links, or
  // replaces it by its zone's children, recursively.
  void InsertScreenZone(KELScreenZone* record, int32_t planeCount, float* const* planes);
  // Splits into eight octants of the small records' box and hands the small,
  // passed records down. False (node unchanged) when memory runs out.
  bool Split();
  // Returns every record and node below to the pools.
  void Release();

  KELScreenSpacePartition* Child(int32_t slot) const {
    return static_cast<KELScreenSpacePartition*>(iChildren.data[slot]);
  }

  // Scheduling over the caller's queues.
  void OnNodeTested(bool visible, FIFOQueue* childQueue, FIFOQueue* nodeQueue, FIFOQueue* entryQueue);
  void ScheduleNearChildren(FIFOQueue* childQueue, FIFOQueue* nodeQueue, FIFOQueue* entryQueue);
  void ScheduleFarChildren(FIFOQueue* childQueue, FIFOQueue* nodeQueue, FIFOQueue* entryQueue);
  void OnChildFinished(FIFOQueue* childQueue, FIFOQueue* nodeQueue, FIFOQueue* entryQueue);

  static KELScreenSpacePartition* _freeList;
  // Plane list of the latest insertion, reused by Split's re-insertions.
  static float* const* _planes;
  static int32_t _planeCount;

private:
  void SetUp(const float* min, const float* max);
  void Link(KELScreenZone* record);
  void InsertChildZones(KELScreenZone* record, bool crossing, int32_t planeCount, float* const* planes);
  void ScheduleChildren(int32_t firstSlot, FIFOQueue* childQueue, uint32_t* pending);
  bool IsRefinable() const;
  void LeaveOutSmallRecords();
};

#endif
