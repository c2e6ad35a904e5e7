// Views: each keeps the visibility history that frame coherency and batching
// read (histories, last visible frames, the zones' own-hit, query-passed and
// inside-screen flags, the pixel count reported with TouchObject, the frame
// counter), so that two eyes, a light and a second viewport culled in one
// frame never act on each other's results. Partitions, entries, their load,
// hidden and transparent states and the settings are shared.
//
// The default view keeps its state in the zone and entry records, where it
// has always been: a host with one view pays nothing. A created view keeps
// its state in side tables from the pluggable allocator, indexed by the
// record's view slot (every zone and entry record gets one when it is first
// made, and keeps it while it is recycled): 8 bytes per entry record and 12
// per zone record, in chunks of 4096 entries and 1024 zones.
#ifndef KEL_VIEW_H
#define KEL_VIEW_H

#include <cstdint>

#include "KEL3DZone.h"
#include "KELAllocator.h"
#include "KELSettings.h"

// The default view and up to 15 created ones.
constexpr int32_t kMaxViews = 16;
// Zone slots are 24 bits wide (they share a word with the zone's depth).
constexpr uint32_t kMaxZoneSlot = (1u << 24) - 1u;
constexpr uint32_t kMaxEntrySlot = UINT32_MAX;

// A created view's state of one entry. The last visible frame is kept as
// its distance before the history frame, up to 14 frames; 15 stands for
// 15 or more, which frame coherency treats as long ago. That is exact
// for every coherency below 15, and for larger ones too while the coherency
// stays as it is: an entry is sampled again only once its coherency has run
// out, so a distance above zero is already above the coherency.
struct KELViewEntryState {
  uint32_t iHistoryFrame;
  uint32_t iBits;  // bits 0-7 history, 8-27 pixel count, 28-31 frames since visible

  static constexpr uint32_t kPixelShift = 8;
  static constexpr uint32_t kSinceShift = 28;
  static constexpr uint32_t kSinceLongAgo = 15;
  uint32_t History() const { return iBits & 0xFFu; }
  uint32_t PixelCount() const { return (iBits >> kPixelShift) & kEntryPixelMask; }
  uint32_t Since() const { return iBits >> kSinceShift; }
  void Set(uint32_t history, uint32_t pixels, uint32_t since) {
    iBits = (history & 0xFFu) | (pixels << kPixelShift) | (since << kSinceShift);
  }
};
static_assert(sizeof(KELViewEntryState) == 8, "8 bytes per entry and view");

// A created view's state of one zone; the flags use the zone flag bits.
struct KELViewZoneState {
  int32_t iLastVisibleFrame;
  uint32_t iHistoryFrame;
  uint8_t iHistory;
  uint8_t iFlags;
};
static_assert(sizeof(KELViewZoneState) == 12, "12 bytes per zone and view");

// The zone flags that belong to a view.
constexpr uint32_t kZoneViewFlags = kZoneFlagOwnHit | kZoneFlagQueryPassed | kZoneFlagInsideScreen;

// A view's chunk directory: pointers on the C heap, grown by 16. It has no
// destructor on purpose: like every record from the allocator, the chunks
// stay reachable until the process ends.
struct KELViewChunks {
  int32_t count;
  int32_t capacity;
  void** data;
  // False (nothing changed) when the directory cannot grow.
  bool Append(void* chunk);
};

class KELView {
public:
  // --- the views: index 0 is the default view ---
  static KELView _views[kMaxViews];
  // The view EndCulling culls through; the default view outside it.
  static KELView* _current;
  // Slots handed out so far (slot 0 is a scratch slot for records made
  // outside the library's pools, and for records made after the slots ran
  // out while no created view lived).
  static uint32_t _entrySlots;
  static uint32_t _zoneSlots;
  // Records without a slot exist: no view can be created any more.
  static bool _slotsRanOut;
  // Created views alive: without any, making and recycling records costs
  // nothing more than it did before views.
  static int32_t _liveViews;

  // Counts the creations of this view's record, so that an engine that
  // still names a destroyed view notices.
  uint32_t iGeneration = 0;
  bool iLive = false;
  // A created view's frame counter; the default view's is the module-wide
  // one. Wraps like it.
  int32_t iFrameCounter = 0;
  KELViewChunks iEntryChunks = {0, 0, nullptr};
  KELViewChunks iZoneChunks = {0, 0, nullptr};

  static constexpr uint32_t kEntryChunkShift = 12;
  static constexpr uint32_t kZoneChunkShift = 10;

  int32_t Index() const { return static_cast<int32_t>(this - _views); }
  bool IsDefault() const { return this == _views; }
  // A key naming this view in this life (0: the default view).
  uint32_t Key() const { return IsDefault() ? 0u : (iGeneration << 8) | static_cast<uint32_t>(Index()); }
  // The live view the key names, or the default view.
  static KELView* FromKey(uint32_t key);
  // The live created view behind a host's handle, or null.
  static KELView* FromHandle(void* handle);

  // A new view (null when every view is taken, or no memory for its
  // tables); it starts with no history, at frame 1 (see Create).
  static KELView* Create();
  // Frees the view's record for a later Create; its tables are kept for it.
  void Destroy();

  // --- slots, when a record is made or starts a new life ---
  // The slot the next new record gets, with room for it in every created
  // view's tables; 0 when there is no memory for that (and then the record
  // must not be made) or no slot is left (then, while no created view
  // lives, the record is made with slot 0).
  static uint32_t NextEntrySlot(bool* make);
  static uint32_t NextZoneSlot(bool* make);
  // Counts the slot as handed out (after the record was made).
  static void TakeEntrySlot(uint32_t slot);
  static void TakeZoneSlot(uint32_t slot);
  // Clears the record's state in every created view.
  static void ResetEntry(uint32_t slot);
  static void ResetZone(uint32_t slot);
  // Bytes held by every view's tables (destroyed views' included).
  static uint64_t TableBytes();

  KELViewEntryState& EntryState(uint32_t slot) const {
    return static_cast<KELViewEntryState*>(
        iEntryChunks.data[slot >> kEntryChunkShift])[slot & ((1u << kEntryChunkShift) - 1u)];
  }
  KELViewZoneState& ZoneState(uint32_t slot) const {
    return static_cast<KELViewZoneState*>(
        iZoneChunks.data[slot >> kZoneChunkShift])[slot & ((1u << kZoneChunkShift) - 1u)];
  }

  // --- the frame counter of the view being culled ---
  static int32_t Frame() { return _current->IsDefault() ? KELSettings::_frameCounter : _current->iFrameCounter; }
  static void AdvanceFrame();

  // --- bookkeeping in the view being culled; the default view's goes to
  // the records, as it always has ---
  static int16_t EntryHistory(const KEL3DZoneEntry* entry, uint32_t frame) {
    return _current->IsDefault() ? entry->GetVisibilityHistory(frame) : _current->EntryHistoryHere(entry, frame);
  }
  static void RecordEntry(KEL3DZoneEntry* entry, uint32_t frame, bool visible) {
    if (_current->IsDefault()) entry->RecordVisibility(frame, visible);
    else _current->RecordEntryHere(entry, frame, visible);
  }
  static int32_t EntryLastVisibleFrame(const KEL3DZoneEntry* entry) {
    return _current->IsDefault() ? entry->iLastVisibleFrame : _current->EntryLastVisibleFrameHere(entry);
  }
  // The entry was found visible in `frame` with `pixels` (saturated at 20 bits).
  static void MarkEntryVisible(KEL3DZoneEntry* entry, int32_t frame, uint32_t pixels) {
    if (_current->IsDefault()) {
      entry->iLastVisibleFrame = frame;
      entry->SetPixelCount(pixels);
    } else {
      _current->MarkEntryVisibleHere(entry, frame, pixels);
    }
  }
  static uint32_t EntryPixelCount(const KEL3DZoneEntry* entry) {
    return _current->IsDefault() ? entry->PixelCount() : _current->EntryState(entry->iViewSlot).PixelCount();
  }

  static int16_t ZoneHistory(const KEL3DZone* zone, uint32_t frame) {
    return _current->IsDefault() ? zone->GetVisibilityHistory(frame)
                                 : KELHistoryFor(&_current->ZoneState(zone->iViewSlot), frame);
  }
  static void RecordZone(KEL3DZone* zone, uint32_t frame, bool visible) {
    if (_current->IsDefault()) zone->RecordVisibility(frame, visible);
    else KELRecordHistory(&_current->ZoneState(zone->iViewSlot), frame, visible);
  }
  static int32_t ZoneLastVisibleFrame(const KEL3DZone* zone) {
    return _current->IsDefault() ? zone->iLastVisibleFrame : _current->ZoneState(zone->iViewSlot).iLastVisibleFrame;
  }
  static void PropagateLastVisibleFrame(KEL3DZone* zone, int32_t frame) {
    if (_current->IsDefault()) zone->PropagateLastVisibleFrame(frame);
    else _current->PropagateHere(zone, frame);
  }
  // Only for the flags of kZoneViewFlags.
  static bool HasZoneFlag(const KEL3DZone* zone, uint32_t flag) {
    const uint32_t flags = _current->IsDefault() ? zone->iFlags : _current->ZoneState(zone->iViewSlot).iFlags;
    return (flags & flag) != 0;
  }
  static void SetZoneFlag(KEL3DZone* zone, uint32_t flag, bool on) {
    if (_current->IsDefault()) {
      zone->iFlags = on ? (zone->iFlags | flag) : (zone->iFlags & ~flag);
    } else {
      uint8_t& flags = _current->ZoneState(zone->iViewSlot).iFlags;
      flags = static_cast<uint8_t>(on ? (flags | flag) : (flags & ~flag));
    }
  }
  // Clears the own-hit flag on the zone and upwards, up to the first
  // ancestor that does not have it.
  static void ClearOwnHitUpwards(KEL3DZone* zone) {
    for (; zone != nullptr && HasZoneFlag(zone, kZoneFlagOwnHit); zone = zone->iParent)
      SetZoneFlag(zone, kZoneFlagOwnHit, false);
  }

private:
  bool Cover(uint32_t entrySlot, uint32_t zoneSlot);
  void ClearTables();
  int16_t EntryHistoryHere(const KEL3DZoneEntry* entry, uint32_t frame) const;
  void RecordEntryHere(KEL3DZoneEntry* entry, uint32_t frame, bool visible) const;
  int32_t EntryLastVisibleFrameHere(const KEL3DZoneEntry* entry) const;
  void MarkEntryVisibleHere(KEL3DZoneEntry* entry, int32_t frame, uint32_t pixels) const;
  void PropagateHere(KEL3DZone* zone, int32_t frame) const;
};

// Culls through `view` for the scope, then through the default view again.
class KELViewScope {
public:
  explicit KELViewScope(KELView* view) { KELView::_current = view; }
  ~KELViewScope() { KELView::_current = &KELView::_views[0]; }
  KELViewScope(const KELViewScope&) = delete;
  KELViewScope& operator=(const KELViewScope&) = delete;
};

#endif
