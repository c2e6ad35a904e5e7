// Lazy zone subdivision and the rebuild of a split partition.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "InvariantChecker.h"
#include "KELPools.h"
#include "KEL3DZone.h"
#include "TestSupport.h"

namespace {

int PoolSize() { return static_cast<int>(KELPools::Census().iZones); }

class Subdivision : public ::testing::Test {
protected:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* root = static_cast<KEL3DZone*>(engine->CreateSpacePartition());

  void AddCluster(float x, float y, float z, int count, float spacing = 0.01f) {
    for (int i = 0; i < count; ++i) {
      float o = i * spacing;
      AddBox(engine, root, x + o, y, z, x + o + spacing * 0.5f, y + spacing * 0.5f, z + spacing * 0.5f);
    }
  }
};

}  // namespace

TEST_F(Subdivision, SplitsAboveOneHundredWaitingEntries) {
  AddCluster(0, 0, 0, 50);
  AddCluster(10, 10, 10, 50);
  root->Subdivide();  // called directly it splits regardless of the count...
  EXPECT_TRUE(root->IsSubdivided());
  KEL3DZone* other = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  for (int i = 0; i < 100; ++i) AddBox(engine, other, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  // ...but a walk only splits a zone with more than one hundred.
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(other, &visitor, false);
  EXPECT_FALSE(other->IsSubdivided());
  AddBox(engine, other, 200, 0, 0, 200.5f, 0.5f, 0.5f);
  engine->TraverseSpacePartition(other, &visitor, false);
  EXPECT_TRUE(other->IsSubdivided());
  EXPECT_EQ(other->iPendingCount, 0u);
  EXPECT_TRUE(CheckPartition(other));
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, IdenticalBoxesAreAllFixedInTheLowerChild) {
  for (int i = 0; i < 101; ++i) AddBox(engine, root, 0, 0, 0, 4, 4, 4);
  int poolBefore = PoolSize();
  root->Subdivide();
  ASSERT_EQ(root->iChildren.count, 1);
  KEL3DZone* child = root->Child(0);
  EXPECT_EQ(child->iHalfSize[0], 1.0f);  // a quarter of the box's extent
  EXPECT_EQ(ListLength(child->iUnloadedFixed), 101);
  EXPECT_EQ(child->iPendingCount, 0u);
  EXPECT_EQ(child->iMin[0], 0.0f);
  EXPECT_EQ(child->iMax[0], 4.0f);
  // Seven children were made and went straight back to the pool.
  EXPECT_EQ(PoolSize(), poolBefore >= 8 ? poolBefore - 1 : 7);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, TwoCornerClustersGiveTwoChildrenInOctantOrder) {
  AddCluster(100, 100, 100, 60);
  AddCluster(-100, -100, -100, 60);
  root->Subdivide();
  ASSERT_EQ(root->iChildren.count, 2);
  EXPECT_LT(root->Child(0)->iMax[0], 0.0f);  // octant 0 (lower) first
  EXPECT_GT(root->Child(1)->iMin[0], 0.0f);  // octant 7
  EXPECT_EQ(root->Child(0)->iPendingCount, 60u);
  EXPECT_EQ(root->Child(1)->iPendingCount, 60u);
  EXPECT_EQ(root->iPendingCount, 0u);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, FixedEntriesStayLoadedOnesInReverseOrder) {
  AddCluster(0, 0, 0, 101, 1.0f);
  KEL3DZoneEntry* fixed1 = AddBox(engine, root, -3e7f, 0, 0, 3e7f, 1, 1);
  KEL3DZoneEntry* fixed2 = AddBox(engine, root, -3e7f, 2, 0, 3e7f, 3, 1);
  KEL3DZoneEntry* fixed3 = AddBox(engine, root, -3e7f, 4, 0, 3e7f, 5, 1);
  KEL3DZoneEntry* unloadedFixed = AddBox(engine, root, -3e7f, 6, 0, 3e7f, 7, 1);
  engine->EntryLoaded(fixed1);
  engine->EntryLoaded(fixed2);
  engine->EntryLoaded(fixed3);
  // A loaded waiting entry goes down with the others.
  KEL3DZoneEntry* loadedPending = AddBox(engine, root, 5, 0, 0, 5.5f, 0.5f, 0.5f);
  engine->EntryLoaded(loadedPending);
  ASSERT_EQ(root->iLoaded, loadedPending);
  root->Subdivide();
  EXPECT_EQ(root->iLoaded, fixed1);
  EXPECT_EQ(fixed1->iNextEntry, fixed2);
  EXPECT_EQ(fixed2->iNextEntry, fixed3);
  EXPECT_EQ(fixed3->iNextEntry, nullptr);
  EXPECT_EQ(root->iUnloadedFixed, unloadedFixed);
  EXPECT_NE(loadedPending->iZone, root);
  EXPECT_EQ(root->iPendingCount, 0u);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, EntryTooLargeForItsChildIsFixedThere) {
  AddCluster(0, 0, 0, 100, 1.0f);
  KEL3DZoneEntry* wide = AddBox(engine, root, 0, 0, 0, 60, 0.5f, 0.5f);
  root->Subdivide();
  EXPECT_NE(wide->iZone, root);
  EXPECT_FALSE(wide->IsPending());
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, InactiveZoneIsNotSplit) {
  AddCluster(0, 0, 0, 101, 1.0f);
  engine->ActivateSpacePartition(root, false);
  root->Subdivide();
  EXPECT_FALSE(root->IsSubdivided());
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, RebuildFlattensThreeLevelsAndRecyclesZones) {
  CountingAllocator counting;
  ScopedAllocator scope(&counting);
  AddCluster(0, 0, 0, 150, 0.01f);
  AddCluster(100, 0, 0, 150, 0.01f);
  AddCluster(100, 100, 100, 10, 0.01f);
  KEL3DZoneEntry* fixed = AddBox(engine, root, -3e7f, 0, 0, 3e7f, 1, 1);
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  KELPartitionCensus split;
  ASSERT_TRUE(CheckPartition(root, &split));
  ASSERT_GE(split.iMaxDepth, 2u);
  int poolBefore = PoolSize();

  engine->ActivateSpacePartition(root, true);
  KELPartitionCensus flat;
  ASSERT_TRUE(CheckPartition(root, &flat));
  EXPECT_EQ(flat.iZones, 1u);
  EXPECT_EQ(flat.iEntries, split.iEntries);
  EXPECT_FALSE(root->IsSubdivided());
  EXPECT_TRUE(root->IsActive());
  EXPECT_EQ(root->iChildren.count, 0);
  EXPECT_EQ(root->iPendingCount, flat.iPending);
  EXPECT_EQ(flat.iPending, split.iEntries - 1);
  EXPECT_EQ(fixed->iZone, root);
  EXPECT_EQ(PoolSize(), poolBefore + static_cast<int>(split.iZones) - 1);

  // The next split takes its children from the pool, not the allocator.
  int allocations = counting.allocations;
  root->Subdivide();
  EXPECT_EQ(counting.allocations, allocations);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(Subdivision, DeactivatingKeepsTheTree) {
  AddCluster(0, 0, 0, 101, 1.0f);
  root->Subdivide();
  engine->ActivateSpacePartition(root, false);
  EXPECT_TRUE(root->IsSubdivided());
  EXPECT_FALSE(root->IsActive());
  EXPECT_GT(root->iChildren.count, 0);
}

TEST_F(Subdivision, CoincidentPointsAreFixedInsteadOfSplitForever) {
  for (int i = 0; i < 300; ++i) AddBox(engine, root, 7, 7, 7, 7, 7, 7);
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  EXPECT_EQ(visitor.visits, 300);
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  EXPECT_EQ(census.iEntries, 300u);
  EXPECT_EQ(census.iZones, 1u);
  EXPECT_EQ(census.iPending, 0u);
  // Adjacent floats: the cut rounds onto a bound and cannot separate them.
  KEL3DZone* other = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  const float a = 1.0f, b = std::nextafter(1.0f, 2.0f);
  for (int i = 0; i < 200; ++i) {
    float p = (i % 2) ? a : b;
    AddBox(engine, other, p, p, p, p, p, p);
  }
  visitor.visits = 0;
  engine->TraverseSpacePartition(other, &visitor, false);
  EXPECT_EQ(visitor.visits, 200);
  KELPartitionCensus adjacent;
  ASSERT_TRUE(CheckPartition(other, &adjacent));
  EXPECT_LE(adjacent.iMaxDepth, 3u);
}

// Entries held together because no split could separate them split again
// once moved apart; moved back onto one point they are held again.
TEST_F(Subdivision, HeldEntriesSplitAgainOnceMovedApart) {
  std::vector<KEL3DZoneEntry*> entries;
  for (int i = 0; i < 200; ++i) entries.push_back(AddBox(engine, root, 7, 7, 7, 7, 7, 7));
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  ASSERT_EQ(ListLength(root->iUnloadedFixed), 200);
  // A move that leaves the split bounds as they were keeps them held.
  const float same[3] = {7, 7, 7};
  engine->UpdateEntry(entries[0], same, same, same, 0, nullptr);
  EXPECT_EQ(ListLength(root->iUnloadedFixed), 200);
  for (float spread : {1000.0f, 0.0f}) {  // over 20,000 units, then one point
    for (int i = 0; i < 200; ++i) {
      const float at[3] = {spread * static_cast<float>(i % 20), spread * static_cast<float>(i / 20), 7};
      engine->UpdateEntry(entries[i], at, at, at, 0, nullptr);
    }
    for (int walk = 0; walk < 3; ++walk) {
      visitor.visits = 0;
      engine->TraverseSpacePartition(root, &visitor, false);
      EXPECT_EQ(visitor.visits, 200);
    }
    KELPartitionCensus census;
    ASSERT_TRUE(CheckPartition(root, &census));
    EXPECT_TRUE(root->IsSubdivided());
    EXPECT_GT(census.iZones, 1u);
  }
}

TEST_F(Subdivision, ClustersAtEverSmallerScalesStayWithinTheDepthLimit) {
  for (int i = 0; i < 101; ++i) AddBox(engine, root, i * 1e-30f, 0, 0, i * 1e-30f, 0, 0);
  for (int i = 0; i < 101; ++i) AddBox(engine, root, 1e7f - i, 1e7f - i, 0, 1e7f - i, 1e7f - i, 0);
  AcceptingVisitor visitor;
  for (int walk = 0; walk < 3; ++walk) {
    visitor.visits = 0;
    engine->TraverseSpacePartition(root, &visitor, false);
    EXPECT_EQ(visitor.visits, 202);
  }
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  EXPECT_LE(census.iMaxDepth, kMaxZoneDepth);
  EXPECT_EQ(census.iEntries, 202u);
}

TEST_F(Subdivision, NanBoxesTerminate) {
  const float nan = std::nanf("");
  for (int i = 0; i < 150; ++i) AddBox(engine, root, nan, 0, 0, nan, 1, 1);
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  EXPECT_EQ(visitor.visits, 150);
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  EXPECT_LE(census.iMaxDepth, kMaxZoneDepth);
}

TEST_F(Subdivision, AllocationFailureDuringASplitLosesNothing) {
  AddCluster(0, 0, 0, 101, 1.0f);
  CountingAllocator counting;
  ScopedAllocator scope(&counting);
  // Empty the pool so the split must allocate, then refuse after three zones.
  std::vector<KEL3DZone*> taken;
  while (KEL3DZone::_pool != nullptr) taken.push_back(KEL3DZone::AllocZone());
  counting.failAfter = counting.allocations + 3;
  root->Subdivide();
  EXPECT_FALSE(root->IsSubdivided());
  EXPECT_EQ(root->iPendingCount, 101u);
  EXPECT_TRUE(CheckPartition(root));
  EXPECT_EQ(PoolSize(), 3);  // the zones it got are kept for later
  counting.failAfter = -1;
  root->Subdivide();
  EXPECT_TRUE(root->IsSubdivided());
  KELPartitionCensus census;
  EXPECT_TRUE(CheckPartition(root, &census));
  EXPECT_EQ(census.iEntries, 101u);
  for (KEL3DZone* zone : taken) KELPools::GiveBack(zone);
}
