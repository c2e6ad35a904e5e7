// The host's walk over a partition and the gathering of loaded entries.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "TestSupport.h"

namespace {

struct EntryRejecter : KELSpacePartitionTraversal {
  std::set<const float*> zoneBoxes;
  int zoneTests = 0, entryTests = 0, visits = 0;
  bool TestBox(const float* min, const float*) override {
    if (zoneBoxes.count(min)) {
      ++zoneTests;
      return true;
    }
    ++entryTests;
    return false;
  }
  void VisitObject(void*) override { ++visits; }
};

class HostTraversal : public ::testing::Test {
protected:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* root = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  int objects[1000];
};

void CollectZoneBoxes(KEL3DZone* zone, std::set<const float*>* boxes) {
  boxes->insert(zone->iMin);
  for (int32_t i = 0; i < zone->iChildren.count; ++i) CollectZoneBoxes(zone->Child(i), boxes);
}

}  // namespace

TEST_F(HostTraversal, RejectedRootGetsOneCallAndIsNotSplit) {
  for (int i = 0; i < 101; ++i) AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  struct Reject : KELSpacePartitionTraversal {
    int calls = 0;
    float min[3], max[3];
    bool TestBox(const float* mn, const float* mx) override {
      ++calls;
      for (int a = 0; a < 3; ++a) min[a] = mn[a], max[a] = mx[a];
      return false;
    }
    void VisitObject(void*) override { ADD_FAILURE(); }
  } visitor;
  engine->TraverseSpacePartition(root, &visitor, true);
  EXPECT_EQ(visitor.calls, 1);
  EXPECT_FALSE(root->IsSubdivided());
  KEL3DZone* fresh = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  engine->TraverseSpacePartition(fresh, &visitor, false);
  EXPECT_EQ(visitor.min[0], 1e7f);
  EXPECT_EQ(visitor.max[0], -1e7f);
}

TEST_F(HostTraversal, VisitsLoadedThenWaitingThenFixedPreOrder) {
  KEL3DZoneEntry* fixedUnloaded = AddBox(engine, root, -3e7f, 0, 0, 3e7f, 1, 1, &objects[0]);
  KEL3DZoneEntry* pendingUnloaded = AddBox(engine, root, 0, 0, 0, 1, 1, 1, &objects[1]);
  KEL3DZoneEntry* loaded = AddBox(engine, root, 2, 0, 0, 3, 1, 1, &objects[2]);
  engine->EntryLoaded(loaded);
  KEL3DZoneEntry* hidden = AddBox(engine, root, 4, 0, 0, 5, 1, 1, &objects[3]);
  engine->SetVisibility(hidden, false);
  (void)fixedUnloaded;
  (void)pendingUnloaded;
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  std::vector<void*> expected = {&objects[2], &objects[3], &objects[1], &objects[0]};
  EXPECT_EQ(visitor.visited, expected);
}

TEST_F(HostTraversal, SplitDuringTheWalkVisitsEachEntryOnceInTheChildren) {
  for (int i = 0; i < 60; ++i) AddBox(engine, root, -100 + i * 0.1f, 0, 0, -100 + i * 0.1f + 0.05f, 0.05f, 0.05f, &objects[i]);
  for (int i = 60; i < 120; ++i) AddBox(engine, root, 100 + i * 0.1f, 0, 0, 100 + i * 0.1f + 0.05f, 0.05f, 0.05f, &objects[i]);
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  ASSERT_TRUE(root->IsSubdivided());
  ASSERT_EQ(root->iChildren.count, 2);
  ASSERT_EQ(visitor.visited.size(), 120u);
  std::set<void*> unique(visitor.visited.begin(), visitor.visited.end());
  EXPECT_EQ(unique.size(), 120u);
  // Pre-order, children in array order: the lower cluster (child 0) first.
  for (int i = 0; i < 60; ++i) EXPECT_LT(static_cast<int*>(visitor.visited[i]) - objects, 60);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(HostTraversal, RejectingEntriesStillTestsEveryZoneAndEntry) {
  for (int i = 0; i < 150; ++i) AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  root->Subdivide();
  EntryRejecter visitor;
  CollectZoneBoxes(root, &visitor.zoneBoxes);
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  engine->TraverseSpacePartition(root, &visitor, false);
  // Children with more than 100 entries may split during the walk: count
  // zones after it.
  KELPartitionCensus after;
  ASSERT_TRUE(CheckPartition(root, &after));
  if (after.iZones == census.iZones) {
    EXPECT_EQ(visitor.zoneTests, static_cast<int>(census.iZones));
  }
  EXPECT_EQ(visitor.entryTests, 150);
  EXPECT_EQ(visitor.visits, 0);
}

TEST_F(HostTraversal, ForceSplitsAnInactiveRootForOneWalk) {
  for (int i = 0; i < 101; ++i) AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  engine->ActivateSpacePartition(root, false);
  AcceptingVisitor visitor;
  engine->TraverseSpacePartition(root, &visitor, false);
  EXPECT_FALSE(root->IsSubdivided());
  EXPECT_EQ(visitor.visits, 101);
  engine->TraverseSpacePartition(root, &visitor, true);
  EXPECT_TRUE(root->IsSubdivided());
  EXPECT_FALSE(root->IsActive());
  EXPECT_EQ(visitor.visits, 202);
  EXPECT_TRUE(CheckPartition(root));
}

TEST_F(HostTraversal, LoadedEntriesAreHandedOutZoneFirstThenChildren) {
  std::vector<KEL3DZoneEntry*> handed;
  auto hand = [&handed](KEL3DZoneEntry* entry) { handed.push_back(entry); };
  for (int i = 0; i < 10; ++i) AddBox(engine, root, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  root->ForEachLoadedEntry(hand);
  EXPECT_TRUE(handed.empty());

  std::vector<KEL3DZoneEntry*> entries;
  for (int i = 0; i < 60; ++i) entries.push_back(AddBox(engine, root, -100 + i * 0.1f, 0, 0, -100 + i * 0.1f + 0.05f, 0.05f, 0.05f));
  for (int i = 0; i < 60; ++i) entries.push_back(AddBox(engine, root, 100 + i * 0.1f, 0, 0, 100 + i * 0.1f + 0.05f, 0.05f, 0.05f));
  KEL3DZoneEntry* big = AddBox(engine, root, -3e7f, 0, 0, 3e7f, 1, 1);
  root->Subdivide();
  engine->EntryLoaded(big);
  engine->EntryLoaded(entries[119]);
  engine->EntryLoaded(entries[0]);
  root->ForEachLoadedEntry(hand);
  EXPECT_EQ(handed, (std::vector<KEL3DZoneEntry*>{big, entries[0], entries[119]}));
}

TEST(TraversalStress, MillionEntriesVisitedExactlyOnce) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* root = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  const int count = 1000000;
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) * (1.0f / 16777216.0f);
  };
  std::vector<char> objects(count);
  for (int i = 0; i < count; ++i) {
    float x = next() * 10000, y = next() * 100, z = next() * 10000, s = 0.1f + next() * 5;
    const float mn[3] = {x, y, z}, mx[3] = {x + s, y + s, z + s}, c[3] = {x + s / 2, y + s / 2, z + s / 2};
    ASSERT_NE(engine->AddEntry(root, &objects[i], mn, mx, c, s, nullptr), nullptr);
  }
  struct Count : KELSpacePartitionTraversal {
    std::vector<char>* objects;
    char* base;
    long visits = 0, duplicates = 0;
    bool TestBox(const float*, const float*) override { return true; }
    void VisitObject(void* o) override {
      ++visits;
      char& mark = (*objects)[static_cast<char*>(o) - base];
      if (mark) ++duplicates;
      mark = 1;
    }
  } visitor;
  visitor.objects = &objects;
  visitor.base = objects.data();
  engine->TraverseSpacePartition(root, &visitor, false);
  EXPECT_EQ(visitor.visits, count);
  EXPECT_EQ(visitor.duplicates, 0);
  KELPartitionCensus census;
  ASSERT_TRUE(CheckPartition(root, &census));
  EXPECT_EQ(census.iEntries, static_cast<size_t>(count));
  EXPECT_GT(census.iZones, 1000u);
}
