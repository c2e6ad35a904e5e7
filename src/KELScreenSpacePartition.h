// The per-frame screen-space tree: nodes that hold projected zones, their
// octant split, release into the pools, and the near-before-far scheduling
// of their children (KELScreenSpacePartitionScheduling.cpp).
#ifndef KEL_SCREEN_SPACE_PARTITION_H
#define KEL_SCREEN_SPACE_PARTITION_H

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"
#include "KELScreenZone.h"

struct KELFrameState;

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
  // replaces it by its zone's children, recursively, tested against the
  // frame's clip planes. A child zone that gets no record is left out of the
  // frame's tests.
  void InsertScreenZone(KELScreenZone* record, KELFrameState* frame);
  // Splits into eight octants of the small records' box and hands the small,
  // passed records down (inserted as above). False (node unchanged) when
  // memory runs out.
  bool Split(KELFrameState* frame);
  // Returns every record and node below to the pools.
  void Release();

  KELScreenSpacePartition* Child(int32_t slot) const {
    return static_cast<KELScreenSpacePartition*>(iChildren.data[slot]);
  }

  // The node's last zone result is in: schedules it (OnNodeTested), then
  // makes the zone tasks of the children handed out and the fill tasks of
  // the nodes to fill, into the frame's queues.
  void OnNodeJudged(bool visible, KELFrameState* frame);
  // Scheduling over the frame's child, node and draw queues: a visible node
  // is split or drawn as a leaf; children are handed out near half first.
  void OnNodeTested(bool visible, KELFrameState* frame);
  void ScheduleNearChildren(KELFrameState* frame);
  void ScheduleFarChildren(KELFrameState* frame);
  void OnChildFinished(KELFrameState* frame);

  static KELScreenSpacePartition* _freeList;

private:
  void SetUp(const float* min, const float* max);
  void Link(KELScreenZone* record);
  void InsertChildZones(KELScreenZone* record, bool crossing, KELFrameState* frame);
  void ComputeSplitBox(float* sums, float* mid) const;
  bool MakeChildren(const float* mid);
  void ReinsertRecords(const float* sums, KELFrameState* frame);
  uint32_t ScheduleChildren(int32_t firstSlot, KELFrameState* frame);
  bool IsRefinable() const;
  void LeaveOutSmallRecords(KELFrameState* frame);
};

#endif
