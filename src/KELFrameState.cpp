// The frame's fallbacks for want of memory: objects that cannot be queued
// or tested are owed to the end of the frame, marked in their own records.
// A left-out zone's subtree holds no other listed zone (its zones never
// enter the frame's tree), so every owed object is drawn or reported once.
#include "KELFrameState.h"

#include "KELOcclusionCullingClient.h"
#include "KELScreenSpacePartition.h"
#include "KELView.h"

namespace {

const float* MatrixOf(const KEL3DZoneEntry* entry) {
  return entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr;
}

bool IsOwed(const KEL3DZoneEntry* entry) { return (entry->iPlacement & kEntryOwed) != 0; }

// Owed and left-out objects were never tested, and a left-out subtree
// reaches wherever its entries lie: the view test keeps them to what the
// view can show.
struct DrawShown {
  const KELFrameState* iFrame;
  KELOcclusionCullingClient* iClient;
  void operator()(const KEL3DZoneEntry* entry) const {
    if (!entry->IsHidden() && !iFrame->IsOutsideView(entry)) iClient->DrawObject(entry->iObject, MatrixOf(entry), entry->IsTransparent());
  }
};

// Calls `visit` on the unloaded entries of the zone, and of its subtree
// when `subtree` is set.
template <typename Visit>
void ForEachUnloadedEntry(const KEL3DZone* zone, bool subtree, const Visit& visit) {
  const KEL3DZoneEntry* lists[2] = {zone->iUnloadedFixed, zone->iUnloadedPending};
  for (const KEL3DZoneEntry* entry : lists)
    for (; entry != nullptr; entry = entry->iNextEntry) visit(entry);
  if (subtree)
    for (int32_t i = 0; i < zone->iChildren.count; ++i) ForEachUnloadedEntry(zone->Child(i), true, visit);
}

}  // namespace

void KELFrameState::List(KEL3DZone* zone) {
  if (zone->iFlags & kZoneFlagOwed) return;
  zone->iFlags |= kZoneFlagOwed;
  zone->iNextFree = iOwed;
  iOwed = zone;
}

void KELFrameState::Owe(KEL3DZoneEntry* entry) {
  entry->iPlacement |= kEntryOwed;
  List(entry->iZone);
}

void KELFrameState::LeaveOut(KEL3DZone* zone) {
  List(zone);
  zone->iFlags |= kZoneFlagLeftOut;
}

void KELFrameState::LeaveOutNode(const KELScreenSpacePartition* node, bool loadedHandedOut) {
  for (const KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    KEL3DZone* zone = record->iZone;
    if (record->iIsSmall) {
      LeaveOut(zone);
      continue;
    }
    KEL3DZoneEntry* lists[3] = {zone->iUnloadedFixed, zone->iUnloadedPending, loadedHandedOut ? nullptr : zone->iLoaded};
    for (KEL3DZoneEntry* entry : lists)
      for (; entry != nullptr; entry = entry->iNextEntry) Owe(entry);
  }
}

void KELFrameState::ReportUnfilled(const KELScreenSpacePartition* node) {
  for (const KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    KEL3DZoneEntry* lists[2] = {record->iZone->iUnloadedFixed, record->iZone->iUnloadedPending};
    for (KEL3DZoneEntry* entry : lists)
      for (; entry != nullptr; entry = entry->iNextEntry)
        if (!entry->IsHidden() && !MarkTooSmall(entry) && !IsOutsideView(entry)) Report(entry);
  }
}

void KELFrameState::Touch(const KEL3DZoneEntry* entry) const {
  // The pixel count is the view's own: another view's query must not change
  // what this one reports.
  iClient->TouchObject(entry->iObject, KELView::EntryPixelCount(entry), entry->iBox->iMin, entry->iBox->iMax, MatrixOf(entry));
}

void KELFrameState::DrawOwed() {
  if (iOwed == nullptr) return;
  iClient->SetInside(false);
  DrawShown draw{this, iClient};
  for (KEL3DZone* zone = iOwed; zone != nullptr; zone = zone->iNextFree) {
    if (zone->iFlags & kZoneFlagLeftOut) {
      zone->ForEachLoadedEntry(draw);
      continue;
    }
    for (const KEL3DZoneEntry* entry = zone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
      if (IsOwed(entry)) draw(entry);
  }
}

void KELFrameState::ReportOwed() {
  for (const KEL3DZone* zone = iOwed; zone != nullptr; zone = zone->iNextFree) {
    const bool leftOut = (zone->iFlags & kZoneFlagLeftOut) != 0;
    ForEachUnloadedEntry(zone, leftOut, [&](const KEL3DZoneEntry* entry) {
      if (!entry->IsHidden() && (leftOut || IsOwed(entry)) && !IsOutsideView(entry)) Touch(entry);
    });
  }
}

void KELFrameState::ForgetOwed() {
  while (iOwed != nullptr) {
    KEL3DZone* zone = iOwed;
    iOwed = zone->iNextFree;
    zone->iNextFree = nullptr;
    zone->iFlags &= ~(kZoneFlagOwed | kZoneFlagLeftOut);
    KEL3DZoneEntry* lists[3] = {zone->iLoaded, zone->iUnloadedFixed, zone->iUnloadedPending};
    for (KEL3DZoneEntry* entry : lists)
      for (; entry != nullptr; entry = entry->iNextEntry)
        if (IsOwed(entry)) entry->iPlacement &= ~kEntryOwed;
  }
}
