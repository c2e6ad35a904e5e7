// Views: the created views' tables, their slots, and the bookkeeping of a
// created view (the default view's lives in the records).
#include "KELView.h"

#include <cstdlib>
#include <cstring>

#include "KELMemory.h"

KELView KELView::_views[kMaxViews];
KELView* KELView::_current = KELView::_views;
uint32_t KELView::_entrySlots = 0;
uint32_t KELView::_zoneSlots = 0;
bool KELView::_slotsRanOut = false;
int32_t KELView::_liveViews = 0;

namespace {

constexpr uint32_t kEntryChunkBytes = sizeof(KELViewEntryState) << KELView::kEntryChunkShift;
constexpr uint32_t kZoneChunkBytes = sizeof(KELViewZoneState) << KELView::kZoneChunkShift;

// Appends zeroed chunks until the directory holds `count`; false when
// memory runs out (the chunks made so far stay).
bool Grow(KELViewChunks& chunks, int64_t count, uint32_t chunkBytes) {
  while (chunks.count < count) {
    void* chunk = KELAllocateRecord(chunkBytes);
    if (chunk == nullptr) return false;
    std::memset(chunk, 0, chunkBytes);
    // Without room in the directory the chunk is lost to the view, not to
    // the process: the allocator's records are never given back anyway.
    if (!chunks.Append(chunk)) return false;
  }
  return true;
}

bool AnyCreatedViewLives() { return KELView::_liveViews > 0; }

// Gives every created, living view room for the slot.
template <typename Covers>
bool CoverLiving(Covers covers) {
  for (int32_t i = 1; i < kMaxViews && KELView::_liveViews > 0; ++i)
    if (KELView::_views[i].iLive && !covers(KELView::_views[i])) return false;
  return true;
}

}  // namespace

bool KELViewChunks::Append(void* chunk) {
  if (count == capacity) {
    void** grown = static_cast<void**>(std::realloc(data, sizeof(void*) * static_cast<size_t>(capacity + 16)));
    if (grown == nullptr) return false;
    data = grown;
    capacity += 16;
  }
  data[count++] = chunk;
  return true;
}

bool KELView::Cover(uint32_t entrySlot, uint32_t zoneSlot) {
  return Grow(iEntryChunks, (static_cast<int64_t>(entrySlot) >> kEntryChunkShift) + 1, kEntryChunkBytes) &&
         Grow(iZoneChunks, (static_cast<int64_t>(zoneSlot) >> kZoneChunkShift) + 1, kZoneChunkBytes);
}

void KELView::ClearTables() {
  for (int32_t i = 0; i < iEntryChunks.count; ++i) std::memset(iEntryChunks.data[i], 0, kEntryChunkBytes);
  for (int32_t i = 0; i < iZoneChunks.count; ++i) std::memset(iZoneChunks.data[i], 0, kZoneChunkBytes);
}

KELView* KELView::FromKey(uint32_t key) {
  const uint32_t index = key & 0xFFu;
  if (key == 0 || index >= static_cast<uint32_t>(kMaxViews)) return _views;
  KELView* view = &_views[index];
  return view->iLive && view->Key() == key ? view : _views;
}

KELView* KELView::FromHandle(void* handle) {
  for (int32_t i = 1; i < kMaxViews; ++i)
    if (handle == &_views[i]) return _views[i].iLive ? &_views[i] : nullptr;
  return nullptr;
}

KELView* KELView::Create() {
  if (_slotsRanOut) return nullptr;
  for (int32_t i = 1; i < kMaxViews; ++i) {
    KELView& view = _views[i];
    if (view.iLive) continue;
    // A record made before the view has state in it from the start.
    if (!view.Cover(_entrySlots, _zoneSlots)) return nullptr;
    view.ClearTables();
    view.iGeneration = (view.iGeneration + 1u) & 0xFFFFFFu;
    // As if one frame had passed in which the view saw nothing: its first
    // frame queries each subject alone. The library's own first frame
    // batches every subject it knows nothing about, and a screen node may
    // then be judged before its batched zones answer, so that an object
    // pops in a frame late: a light switched on, or a second viewport
    // opened, must not miss anything in its first frame.
    view.iFrameCounter = 1;
    view.iLive = true;
    _liveViews += 1;
    return &view;
  }
  return nullptr;
}

void KELView::Destroy() {
  if (IsDefault() || !iLive) return;
  iLive = false;
  _liveViews -= 1;
}

uint32_t KELView::NextEntrySlot(bool* make) {
  if (_entrySlots == kMaxEntrySlot) {
    *make = !AnyCreatedViewLives();
    return 0;
  }
  const uint32_t slot = _entrySlots + 1;
  *make = CoverLiving([slot](KELView& view) { return view.Cover(slot, 0); });
  return *make ? slot : 0;
}

uint32_t KELView::NextZoneSlot(bool* make) {
  if (_zoneSlots == kMaxZoneSlot) {
    *make = !AnyCreatedViewLives();
    return 0;
  }
  const uint32_t slot = _zoneSlots + 1;
  *make = CoverLiving([slot](KELView& view) { return view.Cover(0, slot); });
  return *make ? slot : 0;
}

void KELView::TakeEntrySlot(uint32_t slot) {
  if (slot == 0) _slotsRanOut = true;
  else _entrySlots = slot;
}

void KELView::TakeZoneSlot(uint32_t slot) {
  if (slot == 0) _slotsRanOut = true;
  else _zoneSlots = slot;
}

void KELView::ResetEntry(uint32_t slot) {
  for (int32_t i = 1; i < kMaxViews && _liveViews > 0; ++i)
    if (_views[i].iLive) _views[i].EntryState(slot) = KELViewEntryState{0, 0};
}

void KELView::ResetZone(uint32_t slot) {
  for (int32_t i = 1; i < kMaxViews && _liveViews > 0; ++i)
    if (_views[i].iLive) _views[i].ZoneState(slot) = KELViewZoneState{0, 0, 0, 0};
}

uint64_t KELView::TableBytes() {
  uint64_t bytes = 0;
  for (const KELView& view : _views)
    bytes += static_cast<uint64_t>(view.iEntryChunks.count) * kEntryChunkBytes +
             static_cast<uint64_t>(view.iZoneChunks.count) * kZoneChunkBytes;
  return bytes;
}

void KELView::AdvanceFrame() {
  if (_current->IsDefault()) KELSettings::AdvanceFrame();
  else _current->iFrameCounter = static_cast<int32_t>(static_cast<uint32_t>(_current->iFrameCounter) + 1u);
}

// ---------------------------------------------------------------- a created view's entries

int16_t KELView::EntryHistoryHere(const KEL3DZoneEntry* entry, uint32_t frame) const {
  const KELViewEntryState& state = EntryState(entry->iViewSlot);
  const uint32_t history = state.History();
  if (history & 1u) return -1;
  return frame == state.iHistoryFrame + 1u ? static_cast<int16_t>(history) : int16_t{-1};
}

void KELView::RecordEntryHere(KEL3DZoneEntry* entry, uint32_t frame, bool visible) const {
  KELViewEntryState& state = EntryState(entry->iViewSlot);
  const uint32_t gap = frame - state.iHistoryFrame;
  const uint32_t bit = visible ? 1u : 0u;
  const uint32_t history = gap == 1u ? ((state.History() << 1) | bit) : bit;
  uint32_t since = state.Since();
  if (since != KELViewEntryState::kSinceLongAgo)
    since = gap >= KELViewEntryState::kSinceLongAgo - since ? KELViewEntryState::kSinceLongAgo : since + gap;
  state.Set(history, state.PixelCount(), since);
  state.iHistoryFrame = frame;
}

// Long ago comes out as the frame after the current one, which every frame
// comparison takes for a frame more than 2^31 frames back.
int32_t KELView::EntryLastVisibleFrameHere(const KEL3DZoneEntry* entry) const {
  const KELViewEntryState& state = EntryState(entry->iViewSlot);
  const uint32_t since = state.Since();
  const uint32_t frame = since == KELViewEntryState::kSinceLongAgo ? static_cast<uint32_t>(iFrameCounter) + 1u
                                                                  : state.iHistoryFrame - since;
  return static_cast<int32_t>(frame);
}

void KELView::MarkEntryVisibleHere(KEL3DZoneEntry* entry, int32_t frame, uint32_t pixels) const {
  KELViewEntryState& state = EntryState(entry->iViewSlot);
  if (pixels > kEntryPixelMask) pixels = kEntryPixelMask;
  uint32_t history = state.History();
  // Visible without a sample of this frame (only when the threshold is so
  // large that it reads as negative, and no query ran): the distance is
  // kept from the history frame, so the frame is taken as a visible sample.
  // Batching may then group this entry otherwise than the default view
  // would; what is visible stays the same.
  const uint32_t now = static_cast<uint32_t>(frame);
  if (state.iHistoryFrame != now) {
    history = now - state.iHistoryFrame == 1u ? ((history << 1) | 1u) : 1u;
    state.iHistoryFrame = now;
  }
  state.Set(history, pixels, 0);
}

void KELView::PropagateHere(KEL3DZone* zone, int32_t frame) const {
  // As for the default view: stop at the first zone that holds the frame.
  for (; zone != nullptr; zone = zone->iParent) {
    KELViewZoneState& state = ZoneState(zone->iViewSlot);
    if (KELSettings::FramesSince(frame, state.iLastVisibleFrame) == 0) return;
    state.iLastVisibleFrame = frame;
  }
}
