#include "InvariantChecker.h"

#include <cmath>
#include <sstream>
#include <vector>

#include "KEL3DZone.h"

namespace {

class Checker {
public:
  std::ostringstream error;
  PartitionCensus census;

  // Returns false at the first violation; `boxes` collects the subtree's
  // entry boxes for the containment check of the ancestors.
  bool CheckZone(const KEL3DZone* zone, size_t depth, std::vector<const KEL3DZoneEntry*>* boxes) {
    census.zones += 1;
    if (depth > census.maxDepth) census.maxDepth = depth;
    if (zone->iDepth != depth) return Fail(zone, "depth field does not match the tree depth");
    if (!BoundsContainSplitBounds(zone)) return Fail(zone, "bounds do not contain split bounds");
    size_t pending = 0;
    const size_t first = boxes->size();
    if (!CheckList(zone, zone->iLoaded, 0, &pending, boxes)) return false;
    if (!CheckList(zone, zone->iUnloadedPending, 1, &pending, boxes)) return false;
    if (!CheckList(zone, zone->iUnloadedFixed, 2, &pending, boxes)) return false;
    if (pending != zone->iPendingCount) return Fail(zone, "pending count does not match the pending entries");
    if (pending != 0 && zone->IsSubdivided()) return Fail(zone, "a split zone holds waiting entries");
    if (!zone->IsSubdivided() && zone->iChildren.count != 0) return Fail(zone, "an unsplit zone has children");
    for (int32_t i = 0; i < zone->iChildren.count; ++i) {
      const KEL3DZone* child = zone->Child(i);
      if (child == nullptr) return Fail(zone, "null child");
      if (child->iParent != zone) return Fail(child, "child does not point back to its parent");
      if (!CheckZone(child, depth + 1, boxes)) return false;
    }
    for (size_t i = first; i < boxes->size(); ++i)
      if (!ContainsBox(zone, (*boxes)[i])) return Fail(zone, "zone bounds miss an entry box of its subtree");
    return true;
  }

private:
  bool Fail(const KEL3DZone* zone, const char* what) {
    error << what << " (zone " << static_cast<const void*>(zone) << ")";
    return false;
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
  bool CheckList(const KEL3DZone* zone, const KEL3DZoneEntry* head, int kind, size_t* pending,
                 std::vector<const KEL3DZoneEntry*>* boxes) {
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
      const bool loaded = entry->IsLoaded();
      const int expected = loaded ? 0 : (entry->IsPending() ? 1 : 2);
      if (expected != kind) return Fail(zone, "entry sits in the wrong list for its load state and pending flag");
      if ((entry->iFlags & kEntryLoadMask) > 1) return Fail(zone, "invalid load state");
      if (entry->IsPending()) *pending += 1;
      census.entries += 1;
      if (entry->IsPending()) census.pending += 1;
      boxes->push_back(entry);
      previous = entry;
    }
    return true;
  }
};

}  // namespace

::testing::AssertionResult CheckPartition(const KEL3DZone* root, PartitionCensus* census) {
  if (root == nullptr) return ::testing::AssertionFailure() << "null partition";
  if (root->iParent != nullptr) return ::testing::AssertionFailure() << "root has a parent";
  Checker checker;
  std::vector<const KEL3DZoneEntry*> boxes;
  if (!checker.CheckZone(root, 0, &boxes)) return ::testing::AssertionFailure() << checker.error.str();
  if (census != nullptr) *census = checker.census;
  return ::testing::AssertionSuccess();
}
