// Zones and entries: placement, movement, removal, load state, flags,
// bookkeeping, and the failure policy for null handles and allocation.
#include <gtest/gtest.h>

#include <vector>

#include "InvariantChecker.h"
#include "KELPools.h"
#include "KEL3DZone.h"
#include "TestSupport.h"

namespace {

class Zone : public ::testing::Test {
protected:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* root = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
};

}  // namespace

TEST_F(Zone, NewPartitionHasInvertedBoundsThenTheFirstBox) {
  float mn[4] = {0, 0, 0, 42}, mx[3];  // one float more: only three are written
  engine->GetPartitionBounds(root, mn, mx);
  for (int a = 0; a < 3; ++a) {
    EXPECT_EQ(mn[a], 1e7f);
    EXPECT_EQ(mx[a], -1e7f);
  }
  EXPECT_TRUE(root->iFlags & kZoneFlagEmpty);
  AddBox(engine, root, 1, 2, 3, 4, 5, 6);
  engine->GetPartitionBounds(root, mn, mx);
  EXPECT_EQ(mn[0], 1.0f);
  EXPECT_EQ(mn[2], 3.0f);
  EXPECT_EQ(mx[1], 5.0f);
  EXPECT_FALSE(root->iFlags & kZoneFlagEmpty);
  EXPECT_EQ(mn[3], 42.0f);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Zone, EntryLargerThanTheHalfSizeIsFixed) {
  KEL3DZoneEntry* fits = AddBox(engine, root, -5e6f, -5e6f, -5e6f, 5e6f, 5e6f, 5e6f);  // extent exactly 1e7
  KEL3DZoneEntry* large = AddBox(engine, root, -6e6f, 0, 0, 6e6f, 1, 1);
  EXPECT_TRUE(fits->IsPending());
  EXPECT_FALSE(large->IsPending());
  EXPECT_EQ(root->iUnloadedPending, fits);
  EXPECT_EQ(root->iUnloadedFixed, large);
  EXPECT_EQ(root->iLoaded, nullptr);
  EXPECT_EQ(root->iPendingCount, 1u);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Zone, LoadStateMovesEntriesBetweenListsOnly) {
  KEL3DZoneEntry* a = AddBox(engine, root, 0, 0, 0, 1, 1, 1);
  KEL3DZoneEntry* b = AddBox(engine, root, 2, 0, 0, 3, 1, 1);
  float mn[3], mx[3];
  engine->GetPartitionBounds(root, mn, mx);
  engine->EntryLoaded(a);
  EXPECT_EQ(root->iLoaded, a);
  EXPECT_EQ(root->iUnloadedPending, b);
  EXPECT_EQ(root->iPendingCount, 2u);
  EXPECT_TRUE(CheckPartition(root));
  engine->EntryLoaded(b);
  engine->EntryLoaded(a);  // already loaded: order must not change
  EXPECT_EQ(root->iLoaded, b);
  EXPECT_EQ(b->iNextEntry, a);
  engine->EntryUnLoaded(a);
  engine->EntryUnLoaded(a);
  EXPECT_EQ(root->iUnloadedPending, a);
  EXPECT_EQ(root->iLoaded, b);
  EXPECT_EQ(root->iPendingCount, 2u);
  float mn2[3], mx2[3];
  engine->GetPartitionBounds(root, mn2, mx2);
  EXPECT_EQ(mn[0], mn2[0]);
  EXPECT_EQ(mx[0], mx2[0]);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Zone, VisibilityAndTransparencyFlags) {
  KEL3DZoneEntry* e = AddBox(engine, root, 0, 0, 0, 1, 1, 1);
  engine->SetVisibility(e, false);
  EXPECT_TRUE(e->IsHidden());
  EXPECT_EQ(root->iUnloadedPending, e);
  engine->SetVisibility(e, true);
  EXPECT_FALSE(e->IsHidden());
  engine->SetTransparency(e, true);
  EXPECT_TRUE(e->IsTransparent());
  engine->SetTransparency(e, false);
  EXPECT_FALSE(e->IsTransparent());
}

TEST_F(Zone, UpdateKeepsOrGainsAMatrix) {
  float m[16] = {};
  m[0] = 2;
  const float mn[3] = {0, 0, 0}, mx[3] = {1, 1, 1}, c[3] = {0.5f, 0.5f, 0.5f};
  KEL3DZoneEntry* withMatrix = static_cast<KEL3DZoneEntry*>(engine->AddEntry(root, nullptr, mn, mx, c, 1, m));
  KEL3DZoneEntry* without = static_cast<KEL3DZoneEntry*>(engine->AddEntry(root, nullptr, mn, mx, c, 1, nullptr));
  ASSERT_NE(withMatrix->iMatrix, nullptr);
  EXPECT_EQ(without->iMatrix, nullptr);
  engine->UpdateEntry(withMatrix, mn, mx, c, 1, nullptr);
  ASSERT_NE(withMatrix->iMatrix, nullptr);
  EXPECT_EQ(withMatrix->iMatrix->iElements[0], 2.0f);
  m[0] = 3;
  engine->UpdateEntry(without, mn, mx, c, 1, m);
  ASSERT_NE(without->iMatrix, nullptr);
  EXPECT_EQ(without->iMatrix->iElements[0], 3.0f);
  EXPECT_TRUE(CheckPartition(root));
}

// After a split, a waiting entry that moves out of its zone is placed again
// from the parent; every zone up to the root must still cover it, or the
// culling pass could prune a subtree that holds a visible object.
TEST_F(Zone, MovedEntryIsCoveredByEveryAncestor) {
  std::vector<KEL3DZoneEntry*> entries;
  for (int i = 0; i < 101; ++i) entries.push_back(AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f));
  root->Subdivide();
  ASSERT_TRUE(CheckPartition(root));
  // Deepen: another split below the root.
  KEL3DZone* child = root->Child(0);
  for (int i = 0; i < 101; ++i) entries.push_back(AddBox(engine, root, i * 0.01f, 0, 0, i * 0.01f + 0.005f, 0.005f, 0.005f));
  if (child->iPendingCount > 100) child->Subdivide();
  ASSERT_TRUE(CheckPartition(root));
  KEL3DZoneEntry* mover = entries.back();
  const float mn[3] = {-500, 0, 0}, mx[3] = {-499, 1, 1}, c[3] = {-499.5f, 0.5f, 0.5f};
  engine->UpdateEntry(mover, mn, mx, c, 1, nullptr);
  EXPECT_TRUE(CheckPartition(root));
  float rmn[3], rmx[3];
  engine->GetPartitionBounds(root, rmn, rmx);
  EXPECT_LE(rmn[0], -500.0f);
}

TEST_F(Zone, FixedEntryMovedFarAwayStaysAndGrowsAncestors) {
  for (int i = 0; i < 101; ++i) AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  root->Subdivide();
  // A box too large for any child is fixed in the root.
  KEL3DZoneEntry* big = AddBox(engine, root, 0, 0, 0, 90, 1, 1);
  ASSERT_FALSE(big->IsPending());
  KEL3DZone* zone = big->iZone;
  const float mn[3] = {1e5f, 0, 0}, mx[3] = {1e5f + 90, 1, 1}, c[3] = {1e5f + 45, 0.5f, 0.5f};
  engine->UpdateEntry(big, mn, mx, c, 45, nullptr);
  EXPECT_EQ(big->iZone, zone);
  float rmn[3], rmx[3];
  engine->GetPartitionBounds(root, rmn, rmx);
  EXPECT_GE(rmx[0], 1e5f + 90);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Zone, PendingEntryMovedWithinItsZoneChangesNothing) {
  KEL3DZoneEntry* a = AddBox(engine, root, 0, 0, 0, 10, 10, 10);
  KEL3DZoneEntry* b = AddBox(engine, root, 1, 1, 1, 2, 2, 2);
  const float mn[3] = {3, 3, 3}, mx[3] = {4, 4, 4}, c[3] = {3.5f, 3.5f, 3.5f};
  engine->UpdateEntry(b, mn, mx, c, 1, nullptr);
  EXPECT_EQ(root->iUnloadedPending, b);
  EXPECT_EQ(b->iNextEntry, a);
  EXPECT_EQ(root->iPendingCount, 2u);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Zone, RemoveAdjustsPendingCountButNotBounds) {
  KEL3DZoneEntry* pending = AddBox(engine, root, 0, 0, 0, 1, 1, 1);
  KEL3DZoneEntry* fixed = AddBox(engine, root, -2e7f, 0, 0, 2e7f, 1, 1);
  engine->EntryLoaded(pending);
  engine->RemoveEntry(pending);
  EXPECT_EQ(root->iPendingCount, 0u);
  EXPECT_EQ(root->iLoaded, nullptr);
  engine->RemoveEntry(fixed);
  EXPECT_EQ(root->iUnloadedFixed, nullptr);
  float mn[3], mx[3];
  engine->GetPartitionBounds(root, mn, mx);
  EXPECT_EQ(mn[0], -2e7f);
  EXPECT_TRUE(CheckPartition(root));
}

// Removed records are recycled, so that days of adding and removing do not
// grow the allocator's share without bound.
TEST_F(Zone, RemovedEntriesAreRecycledWithoutNewAllocations) {
  CountingAllocator counting;
  ScopedAllocator scope(&counting);
  float m[16] = {};
  const float mn[3] = {0, 0, 0}, mx[3] = {1, 1, 1}, c[3] = {0.5f, 0.5f, 0.5f};
  std::vector<void*> entries;
  for (int i = 0; i < 50; ++i) entries.push_back(engine->AddEntry(root, nullptr, mn, mx, c, 1, m));
  int afterFirst = counting.allocations;
  for (int round = 0; round < 20; ++round) {
    for (void* e : entries) engine->RemoveEntry(e);
    entries.clear();
    for (int i = 0; i < 50; ++i) entries.push_back(engine->AddEntry(root, nullptr, mn, mx, c, 1, i % 2 ? m : nullptr));
  }
  EXPECT_EQ(counting.allocations, afterFirst);
  EXPECT_EQ(counting.frees, 0);
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  EXPECT_EQ(census.iEntries, 50u);
  engine->RemoveEntry(entries[0]);
  engine->RemoveEntry(entries[0]);  // a second removal must not corrupt the free list
  void* x = engine->AddEntry(root, nullptr, mn, mx, c, 1, nullptr);
  void* y = engine->AddEntry(root, nullptr, mn, mx, c, 1, nullptr);
  EXPECT_NE(x, y);
  EXPECT_TRUE(CheckPartition(root));
}

TEST(EntryRecord, PixelCountSaturatesAtTwentyBits) {
  KEL3DZoneEntry entry{};
  entry.iFlags = kEntryHidden | kEntryUnloaded;
  entry.SetPixelCount(1234);
  EXPECT_EQ(entry.PixelCount(), 1234u);
  entry.SetPixelCount(3840u * 2160u);
  EXPECT_EQ(entry.PixelCount(), 1048575u);
  entry.SetPixelCount(0xFFFFFFFFu);
  EXPECT_EQ(entry.PixelCount(), 1048575u);
  EXPECT_TRUE(entry.IsHidden());
  EXPECT_FALSE(entry.IsLoaded());
}

TEST(ZonePendingCount, DoesNotWrapPastNineteenBits) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* root = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  const uint32_t count = (1u << 19) + 5;
  for (uint32_t i = 0; i < count; ++i) AddBox(engine, root, i * 1e-3f, 0, 0, i * 1e-3f + 1e-3f, 1, 1);
  EXPECT_EQ(root->iPendingCount, count);
  EXPECT_GT(root->iPendingCount, static_cast<uint32_t>(kMaxPendingEntries));
}

TEST(History, RecordsConsecutiveFramesAndRestartsOnAGap) {
  KEL3DZone zone{};
  zone.RecordVisibility(5, false);
  EXPECT_EQ(zone.GetVisibilityHistory(6), 0);
  zone.RecordVisibility(6, true);
  EXPECT_EQ(zone.GetVisibilityHistory(7), -1);  // newest bit set
  zone.RecordVisibility(7, false);
  EXPECT_EQ(zone.GetVisibilityHistory(8), 2);
  EXPECT_EQ(zone.GetVisibilityHistory(9), -1);  // not recorded in the frame before
  zone.RecordVisibility(9, false);
  EXPECT_EQ(zone.iHistory, 0);  // gap: older samples dropped
  // Eight shifts drop the oldest bit.
  zone.iHistory = 0x80;
  zone.iHistoryFrame = 1;
  zone.RecordVisibility(2, false);
  EXPECT_EQ(zone.iHistory, 0);
}

TEST(History, LastVisibleFramePropagatesUpwardsUntilAZoneHasIt) {
  KEL3DZone top{}, middle{}, bottom{};
  middle.iParent = &top;
  bottom.iParent = &middle;
  middle.iLastVisibleFrame = 7;
  bottom.PropagateLastVisibleFrame(7);
  EXPECT_EQ(bottom.iLastVisibleFrame, 7);
  EXPECT_EQ(top.iLastVisibleFrame, 0);
  // Across the frame counter's wrap the current frame still wins, also over
  // the 0 of a zone never seen.
  middle.iLastVisibleFrame = INT32_MAX;
  bottom.PropagateLastVisibleFrame(INT32_MIN + 1);
  EXPECT_EQ(middle.iLastVisibleFrame, INT32_MIN + 1);
  EXPECT_EQ(top.iLastVisibleFrame, INT32_MIN + 1);
}

// The validator the other tests rely on notices a corrupted zone or entry.
TEST_F(Zone, TheValidatorNoticesCorruptedRecords) {
  KEL3DZoneEntry* entry = AddBox(engine, root, 0, 0, 0, 1, 1, 1);
  ASSERT_TRUE(CheckPartition(root));
  float* fields[] = {&root->iSplitMin[0], &root->iSplitMax[1], &entry->iBox->iMin[2], &entry->iBox->iMax[0]};
  const float shifts[] = {-1, 1, -0.5f, 0.5f};
  for (int i = 0; i < 4; ++i) {
    const float saved = *fields[i];
    *fields[i] += shifts[i];
    EXPECT_FALSE(CheckPartition(root)) << "field " << i;
    *fields[i] = saved;
  }
  EXPECT_TRUE(CheckPartition(root));
}
