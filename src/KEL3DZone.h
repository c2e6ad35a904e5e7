// World-space partition: zones (an octree built lazily, with bounds that
// grow with their content) and the entries they hold.
#ifndef KEL_3D_ZONE_H
#define KEL_3D_ZONE_H

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"

class KELSpacePartitionTraversal;
struct KEL3DZone;

// Entry placement bits.
constexpr uint32_t kEntryPending = 1u << 0;   // waits in its zone for the split
constexpr uint32_t kEntryTooSmall = 1u << 1;  // contribution test result of this frame
// Fixed because the zone's split could not separate its waiting entries
// (not because it is too large): such an entry may wait again once the
// zone's split bounds have grown.
constexpr uint32_t kEntryHeld = 1u << 2;
// Owed to the end of the frame: it could not be queued for drawing or
// reporting, so the frame draws or reports it last (its zone is on the
// frame's list of zones that owe objects). Cleared when the frame ends.
constexpr uint32_t kEntryOwed = 1u << 3;

// Entry flag bits.
constexpr uint32_t kEntryLoadMask = 3u;       // 0 loaded, 1 unloaded
constexpr uint32_t kEntryUnloaded = 1u;
constexpr uint32_t kEntryPixelShift = 2u;
constexpr uint32_t kEntryPixelMask = 0xFFFFFu;  // 20 bits
constexpr uint32_t kEntryTransparent = 1u << 22;
constexpr uint32_t kEntryHidden = 1u << 23;

// Zone flag bits.
constexpr uint32_t kZoneFlagOwnHit = 1u << 0;
constexpr uint32_t kZoneFlagQueryPassed = 1u << 1;
constexpr uint32_t kZoneFlagEmpty = 1u << 2;
constexpr uint32_t kZoneFlagInsideScreen = 1u << 3;
constexpr uint32_t kZoneFlagSubdivided = 1u << 4;
// Left out of the frame's tests for want of memory: every object of its
// subtree is drawn or reported at the end of the frame.
constexpr uint32_t kZoneFlagLeftOut = 1u << 5;
// On the frame's list of zones that owe objects to the end of the frame,
// left out or holding owed entries (linked through iNextFree, which a zone
// in use does not need).
constexpr uint32_t kZoneFlagOwed = 1u << 6;
// Waiting in the zone pool (a destroyed partition's zones).
constexpr uint32_t kZoneFlagPooled = 1u << 7;

// Zone state bits.
constexpr uint32_t kZoneStateActive = 1u << 0;

constexpr int32_t kMaxPendingEntries = 100;
// Deepest zone that may still be split; keeps every walk's recursion shallow
// whatever the host's geometry.
constexpr uint32_t kMaxZoneDepth = 64;
constexpr float kRootHalfSize = 1e7f;

// Visibility history shared by zones and entries: newest sample in bit 0;
// a gap of more than one frame restarts it.
template <typename Record>
inline void KELRecordHistory(Record* record, uint32_t frame, bool visible) {
  const uint8_t bit = visible ? 1 : 0;
  if (frame == record->iHistoryFrame + 1u)
    record->iHistory = static_cast<uint8_t>((record->iHistory << 1) | bit);
  else
    record->iHistory = bit;
  record->iHistoryFrame = frame;
}

// -1 when the newest sample saw it, or when it was not sampled in the frame
// just before; else the history byte.
template <typename Record>
inline int16_t KELHistoryFor(const Record* record, uint32_t frame) {
  if (record->iHistory & 1u) return -1;
  if (frame == record->iHistoryFrame + 1u) return record->iHistory;
  return -1;
}

struct KEL3DZoneBox {
  float iMin[3];
  float iMax[3];
};

struct KEL3DZoneEntry {
  float iCenter[3];
  float iRadius;
  KEL3DZoneBox* iBox;
  KELMatrix* iMatrix;
  KEL3DZone* iZone;
  float iMin[3];
  float iMax[3];
  uint32_t iPlacement;
  uint8_t iHistory;
  uint32_t iFlags;
  // Index of the record's state in the tables of created views (fills
  // padding: the record keeps its size).
  uint32_t iViewSlot;
  void* iObject;
  int32_t iLastVisibleFrame;
  uint32_t iHistoryFrame;
  KEL3DZoneEntry* iNextEntry;
  KEL3DZoneEntry* iPrevEntry;

  bool IsLoaded() const { return (iFlags & kEntryLoadMask) == 0; }
  bool IsPending() const { return (iPlacement & kEntryPending) != 0; }
  bool IsHidden() const { return (iFlags & kEntryHidden) != 0; }
  bool IsTransparent() const { return (iFlags & kEntryTransparent) != 0; }
  bool IsTooSmall() const { return (iPlacement & kEntryTooSmall) != 0; }
  void SetTooSmall(bool tooSmall) {
    iPlacement = tooSmall ? (iPlacement | kEntryTooSmall) : (iPlacement & ~kEntryTooSmall);
  }
  uint32_t PixelCount() const { return (iFlags >> kEntryPixelShift) & kEntryPixelMask; }
  // Stores the count saturated at the largest 20-bit value, so that a large
  // visible object is never reported with a small count.
  void SetPixelCount(uint32_t pixels);

  void RecordVisibility(uint32_t frame, bool visible) { KELRecordHistory(this, frame, visible); }
  int16_t GetVisibilityHistory(uint32_t frame) const { return KELHistoryFor(this, frame); }
  // Sets iNextEntry; asserts (debug builds) that an entry never follows itself.
  void SetNextEntry(KEL3DZoneEntry* next);

  // Removed entries and their box and matrix records are recycled here.
  static KEL3DZoneEntry* _freeList;
  static KELMatrix* _freeMatrices;
};

struct KEL3DZone {
  float iHalfSize[3];
  float iMin[3];
  float iMax[3];
  float iSplitMin[3];
  float iSplitMax[3];
  uint8_t iHistory;
  uint32_t iFlags;
  uint32_t iState;
  KELGrowArray iChildren;
  KEL3DZoneEntry* iUnloadedPending;
  KEL3DZoneEntry* iUnloadedFixed;
  KEL3DZoneEntry* iLoaded;
  KEL3DZone* iNextFree;
  KEL3DZone* iParent;
  int32_t iLastVisibleFrame;
  uint32_t iHistoryFrame;
  // Entries waiting for the split. A full word: a host may bulk-load far
  // more than a 19-bit count allows into one zone before its first frame.
  uint32_t iPendingCount;
  // Depth below the root (root 0; at most kMaxZoneDepth), and the index of
  // the zone's state in the tables of created views, in one word so that
  // the record keeps its size.
  uint32_t iDepth : 8;
  uint32_t iViewSlot : 24;

  // --- creation and the zone pool ---
  // A root zone for the cell +-1e7, from the pool (zones of destroyed
  // partitions) or the allocator; null on failure.
  static KEL3DZone* CreateRoot();
  // Gives every entry of the tree (with its box and matrix records) back to
  // the free lists and every zone, this one included, to the pool.
  void Destroy();
  // A zone from the pool, or a new one; null when memory runs out.
  static KEL3DZone* AllocZone();
  static KEL3DZone* _pool;

  // Sets the cell: half size from the corners, bounds inverted (empty).
  void SetCell(const float* lower, const float* upper);
  KEL3DZone* Child(int32_t index) const { return static_cast<KEL3DZone*>(iChildren.data[index]); }
  bool IsSubdivided() const { return (iFlags & kZoneFlagSubdivided) != 0; }
  bool IsActive() const { return (iState & kZoneStateActive) != 0; }
  bool IsPooled() const { return (iFlags & kZoneFlagPooled) != 0; }

  // --- entries ---
  void Insert(KEL3DZoneEntry* entry);
  void Remove(KEL3DZoneEntry* entry);
  void Relocate(KEL3DZoneEntry* entry);
  void RelocateHeld(KEL3DZoneEntry* entry);
  // Places every held entry of the zone again, starting at the zone.
  void ReleaseHeld();
  void SetEntryLoaded(KEL3DZoneEntry* entry);
  void SetEntryUnloaded(KEL3DZoneEntry* entry);
  void SetActive(bool active);
  void GrowBounds(const KEL3DZoneEntry* entry, bool toRoot);
  void GrowBoundsAndSplit(const KEL3DZoneEntry* entry);

  // --- subdivision ---
  void Subdivide();
  void Rebuild();

  // --- walks ---
  // The host's visit (TraverseSpacePartition): pre-order, splitting
  // crowded zones on the way.
  void WalkForHost(KELSpacePartitionTraversal* visitor, bool force);
  // Hands every loaded entry of the zone and of its descendants to `hand`:
  // the zone's own in list order, then its children's, depth first.
  template <typename Hand>
  void ForEachLoadedEntry(Hand& hand) {
    for (KEL3DZoneEntry* entry = iLoaded; entry != nullptr; entry = entry->iNextEntry) hand(entry);
    for (int32_t i = 0; i < iChildren.count; ++i) Child(i)->ForEachLoadedEntry(hand);
  }

  // --- culling bookkeeping ---
  void RecordVisibility(uint32_t frame, bool visible) { KELRecordHistory(this, frame, visible); }
  int16_t GetVisibilityHistory(uint32_t frame) const { return KELHistoryFor(this, frame); }
  void PropagateLastVisibleFrame(int32_t frame);

  // --- list helpers (internal to the zone code) ---
  KEL3DZoneEntry** ListFor(const KEL3DZoneEntry* entry);
  static void PushFront(KEL3DZoneEntry** list, KEL3DZoneEntry* entry);
  static void Unlink(KEL3DZoneEntry** list, KEL3DZoneEntry* entry);
};

// Engine-level entry operations, null-safe (see the public header).
KEL3DZoneEntry* KELCreateEntry(KEL3DZone* root, void* object, const float* min, const float* max,
                               const float* center, float radius, const float* matrix);
void KELUpdateEntry(KEL3DZoneEntry* entry, const float* min, const float* max, const float* center,
                    float radius, const float* matrix);
void KELRemoveEntry(KEL3DZoneEntry* entry);

#endif
