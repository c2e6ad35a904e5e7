#include "KELValidator.h"

#include <cmath>
#include <cstdio>

#include "KEL3DZone.h"
#include "KELSettings.h"
#include "KELView.h"

namespace {

class Validator {
public:
  KELVerdict iVerdict;
  KELPartitionCensus iCensus;

  // False at the first violation.
  bool CheckZone(const KEL3DZone* zone, size_t depth) {
    iCensus.iZones += 1;
    if (depth > iCensus.iMaxDepth) iCensus.iMaxDepth = depth;
    if (zone->iDepth != depth) return Fail(zone, "depth field does not match the tree depth");
    if (!BoundsContainSplitBounds(zone)) return Fail(zone, "bounds do not contain split bounds");
    size_t pending = 0;
    if (!CheckList(zone, zone->iLoaded, 0, &pending)) return false;
    if (!CheckList(zone, zone->iUnloadedPending, 1, &pending)) return false;
    if (!CheckList(zone, zone->iUnloadedFixed, 2, &pending)) return false;
    if (pending != zone->iPendingCount) return Fail(zone, "pending count does not match the pending entries");
    if (pending != 0 && zone->IsSubdivided()) return Fail(zone, "a split zone holds waiting entries");
    if (!zone->IsSubdivided() && zone->iChildren.count != 0) return Fail(zone, "an unsplit zone has children");
    if (!CheckViews(zone)) return false;
    for (int32_t i = 0; i < zone->iChildren.count; ++i) {
      const KEL3DZone* child = zone->Child(i);
      if (child == nullptr) return Fail(zone, "null child");
      if (child->iParent != zone) return Fail(child, "child does not point back to its parent");
      if (!CheckZone(child, depth + 1)) return false;
    }
    return true;
  }

  bool Fail(const void* zone, const char* what) {
    iVerdict.iValid = false;
    std::snprintf(iVerdict.iMessage, sizeof(iVerdict.iMessage), "%s (zone %p)", what, zone);
    return false;
  }

private:
  // In every view: the zone has a slot of its own in the created views'
  // tables, was not last seen later than its parent (visibility propagates
  // upwards), and a created view holds no frame later than its own.
  bool CheckViews(const KEL3DZone* zone) {
    if (zone->iViewSlot > KELView::_zoneSlots || (zone->iViewSlot == 0 && !KELView::_slotsRanOut))
      return Fail(zone, "zone without a view slot of its own");
    for (KELView& view : KELView::_views) {
      if (!view.IsDefault() && !view.iLive) continue;
      KELViewScope scope(&view);
      const int32_t seen = KELView::ZoneLastVisibleFrame(zone);
      if (zone->iParent != nullptr && seen != 0 &&
          KELSettings::FramesSince(KELView::ZoneLastVisibleFrame(zone->iParent), seen) < 0)
        return Fail(zone, "zone seen later than its parent in a view");
      if (view.IsDefault()) continue;
      const KELViewZoneState& state = view.ZoneState(zone->iViewSlot);
      if (Later(view, state.iLastVisibleFrame) || Later(view, static_cast<int32_t>(state.iHistoryFrame)))
        return Fail(zone, "zone state later than its view's frame");
    }
    return true;
  }

  bool CheckEntryViews(const KEL3DZone* zone, const KEL3DZoneEntry* entry) {
    if (entry->iViewSlot > KELView::_entrySlots || (entry->iViewSlot == 0 && !KELView::_slotsRanOut))
      return Fail(zone, "entry without a view slot of its own");
    for (int32_t i = 1; i < kMaxViews; ++i) {
      const KELView& view = KELView::_views[i];
      if (view.iLive && Later(view, static_cast<int32_t>(view.EntryState(entry->iViewSlot).iHistoryFrame)))
        return Fail(zone, "entry state later than its view's frame");
    }
    return true;
  }

  // A frame (other than the 0 of a record never seen) after the view's own.
  static bool Later(const KELView& view, int32_t frame) {
    return frame != 0 && KELSettings::FramesSince(view.iFrameCounter, frame) < 0;
  }

  static bool BoundsContainSplitBounds(const KEL3DZone* zone) {
    for (int a = 0; a < 3; ++a) {
      if (zone->iMin[a] > zone->iSplitMin[a]) return false;
      if (zone->iMax[a] < zone->iSplitMax[a]) return false;
    }
    return true;
  }

  static bool ContainsBox(const KEL3DZone* zone, const KEL3DZoneEntry* entry) {
    for (int a = 0; a < 3; ++a) {
      if (!std::isnan(entry->iMin[a]) && zone->iMin[a] > entry->iMin[a]) return false;
      if (!std::isnan(entry->iMax[a]) && zone->iMax[a] < entry->iMax[a]) return false;
    }
    return true;
  }

  // kind: 0 loaded list, 1 unloaded pending list, 2 unloaded fixed list.
  bool CheckList(const KEL3DZone* zone, const KEL3DZoneEntry* head, int kind, size_t* pending) {
    const KEL3DZoneEntry* previous = nullptr;
    size_t guard = 0;
    for (const KEL3DZoneEntry* entry = head; entry != nullptr; entry = entry->iNextEntry) {
      if (++guard > 50000000) return Fail(zone, "entry list does not end");
      if (entry->iNextEntry == entry) return Fail(zone, "an entry is its own successor");
      if (entry->iZone != zone) return Fail(zone, "entry's iZone does not name the zone holding it");
      if (entry->iPrevEntry != previous) return Fail(zone, "entry's iPrevEntry is inconsistent");
      if (entry->iBox == nullptr) return Fail(zone, "entry without a box record");
      for (int a = 0; a < 3; ++a) {
        bool same = (entry->iBox->iMin[a] == entry->iMin[a] || std::isnan(entry->iMin[a])) &&
                    (entry->iBox->iMax[a] == entry->iMax[a] || std::isnan(entry->iMax[a]));
        if (!same) return Fail(zone, "entry's box record differs from its box");
      }
      const int expected = entry->IsLoaded() ? 0 : (entry->IsPending() ? 1 : 2);
      if (expected != kind) return Fail(zone, "entry sits in the wrong list for its load state and pending flag");
      if ((entry->iFlags & kEntryLoadMask) > 1) return Fail(zone, "invalid load state");
      if (!CheckEntryViews(zone, entry)) return false;
      // The zone and every ancestor must contain the entry's box.
      for (const KEL3DZone* holder = zone; holder != nullptr; holder = holder->iParent)
        if (!ContainsBox(holder, entry)) return Fail(holder, "zone bounds miss an entry box of its subtree");
      if (entry->IsPending()) *pending += 1;
      iCensus.iEntries += 1;
      if (entry->IsPending()) iCensus.iPending += 1;
      previous = entry;
    }
    return true;
  }
};

}  // namespace

KELVerdict KELValidatePartition(const KEL3DZone* root, KELPartitionCensus* census) {
  Validator validator;
  if (root == nullptr) {
    validator.Fail(root, "null partition");
  } else if (root->iParent != nullptr) {
    validator.Fail(root, "root has a parent");
  } else if (validator.CheckZone(root, 0) && census != nullptr) {
    *census = validator.iCensus;
  }
  return validator.iVerdict;
}
