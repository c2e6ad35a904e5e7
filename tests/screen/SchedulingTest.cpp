// Front-to-back scheduling: hidden nodes, leaves, refinement, and the near
// half handed out before the far half.
#include <gtest/gtest.h>

#include <vector>

#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "TestSupport.h"

namespace {

class Scheduling : public ::testing::Test {
protected:
  KELFrameState frame{nullptr, nullptr};
  FIFOQueue& childQueue = frame.iChildQueue;
  FIFOQueue& nodeQueue = frame.iNodeQueue;
  FIFOQueue& entryQueue = frame.iDrawQueue;
  KELScreenSpacePartition root;

  void SetUp() override { root.Initialize(-1, -1, -1, 1, 1, 1); }
  void TearDown() override {
    childQueue.Clear();
    nodeQueue.Clear();
    entryQueue.Clear();
    root.Release();
    root.iChildren.Release();
  }
  void Tested(KELScreenSpacePartition* node, bool visible) { node->OnNodeTested(visible, &frame); }
  std::vector<void*> Drain(FIFOQueue* queue) {
    std::vector<void*> values;
    while (!queue->IsEmpty()) values.push_back(queue->TakeFront());
    return values;
  }
  void LinkSmall(KELScreenSpacePartition* node, KEL3DZone* zone, float x, float y, float z) {
    node->InsertScreenZone(MakeScreenZone(zone, x, y, z, x + 0.01f, y + 0.01f, z + 0.01f), &frame);
  }
  // Eight child slots of which `present` are filled.
  void MakeChildren(KELScreenSpacePartition* node, std::initializer_list<int> present) {
    for (int i = 0; i < 8; ++i) node->AddChild(-1, -1, -1, 1, 1, 1);
    std::vector<bool> keep(8, false);
    for (int i : present) keep[i] = true;
    for (int i = 0; i < 8; ++i)
      if (!keep[i]) {
        KELPools::GiveBack(node->Child(i));
        node->iChildren.data[i] = nullptr;
      }
  }
};

}  // namespace

TEST_F(Scheduling, HiddenNodeOnlyNotifiesItsParent) {
  MakeChildren(&root, {0, 1});
  root.ScheduleNearChildren(&frame);
  EXPECT_EQ(root.iNearPending, 2u);
  Drain(&childQueue);
  KELScreenSpacePartition* child = root.Child(0);
  KEL3DZone zone{};
  LinkSmall(child, &zone, 0, 0, 0);
  LinkSmall(child, &zone, 0.5f, 0, 0);
  Tested(child, false);
  EXPECT_EQ(child->iChildren.count, 0);
  EXPECT_TRUE(childQueue.IsEmpty());
  EXPECT_TRUE(nodeQueue.IsEmpty());
  EXPECT_TRUE(entryQueue.IsEmpty());
  EXPECT_EQ(root.iNearPending, 1u);
}

TEST_F(Scheduling, DepthFifteenIsALeafWhateverItHolds) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* partition = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  KEL3DZoneEntry* loaded = AddBox(engine, partition, 0, 0, 0, 1, 1, 1);
  engine->EntryLoaded(loaded);
  KEL3DZone other{};
  root.iDepth = 15;
  LinkSmall(&root, partition, 0, 0, 0);
  LinkSmall(&root, &other, 0.5f, 0.5f, 0.5f);
  Tested(&root, true);
  EXPECT_EQ(root.iChildren.count, 0);
  EXPECT_EQ(Drain(&nodeQueue), std::vector<void*>{&root});
  EXPECT_EQ(Drain(&entryQueue), std::vector<void*>{loaded});
  root.iDepth = 0;
}

TEST_F(Scheduling, OneRecordLeafRules) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* partition = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  for (int i = 0; i < 100; ++i) AddBox(engine, partition, i * 1.0f, 0, 0, i + 0.5f, 0.5f, 0.5f);
  LinkSmall(&root, partition, 0, 0, 0);
  Tested(&root, true);
  EXPECT_EQ(root.iChildren.count, 0);  // 100 waiting, no children: a leaf
  EXPECT_EQ(Drain(&nodeQueue).size(), 1u);
  root.Release();

  AddBox(engine, partition, 200, 0, 0, 200.5f, 0.5f, 0.5f);
  root.Initialize(-1, -1, -1, 1, 1, 1);
  LinkSmall(&root, partition, 0, 0, 0);
  partition->iFlags |= kZoneFlagQueryPassed;
  Tested(&root, true);
  EXPECT_EQ(root.iChildren.count, 8);  // 101 waiting: refined
}

TEST_F(Scheduling, EmptyVisibleNodeIsALeafThatOnlyNotifies) {
  MakeChildren(&root, {2});
  root.ScheduleNearChildren(&frame);
  Drain(&childQueue);
  Tested(root.Child(2), true);
  EXPECT_TRUE(nodeQueue.IsEmpty());
  EXPECT_TRUE(entryQueue.IsEmpty());
  EXPECT_EQ(root.iNearPending, 0u);
}

TEST_F(Scheduling, AllChildrenPrunedNotifiesTheParentAtOnce) {
  MakeChildren(&root, {1});
  root.ScheduleNearChildren(&frame);
  Drain(&childQueue);
  KELScreenSpacePartition* child = root.Child(1);
  KEL3DZone failed{};  // query not passed: every record goes back at the split
  LinkSmall(child, &failed, 0, 0, 0);
  LinkSmall(child, &failed, 0.5f, 0.5f, 0.5f);
  Tested(child, true);
  EXPECT_EQ(child->iChildren.count, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(child->Child(i), nullptr);
  EXPECT_TRUE(childQueue.IsEmpty());
  EXPECT_TRUE(nodeQueue.IsEmpty());
  EXPECT_EQ(root.iNearPending, 0u);
}

TEST_F(Scheduling, OnlyFarChildrenAreQueuedAtOnce) {
  MakeChildren(&root, {5, 6});
  root.ScheduleNearChildren(&frame);
  EXPECT_EQ(root.iFarPending, 2u);
  std::vector<void*> expected = {root.Child(5), root.Child(6)};
  EXPECT_EQ(Drain(&childQueue), expected);
}

TEST_F(Scheduling, FarHalfWaitsForTheWholeNearHalf) {
  MakeChildren(&root, {0});
  root.ScheduleNearChildren(&frame);
  Drain(&childQueue);
  KELScreenSpacePartition* node = root.Child(0);
  MakeChildren(node, {0, 3, 6});
  node->ScheduleNearChildren(&frame);
  KELScreenSpacePartition *a = node->Child(0), *b = node->Child(3), *c = node->Child(6);
  EXPECT_EQ(Drain(&childQueue), (std::vector<void*>{a, b}));
  // A refines: its grandchild must finish before C appears.
  KEL3DZone passed{};
  passed.iFlags = kZoneFlagQueryPassed;
  LinkSmall(a, &passed, 0, 0, 0);
  LinkSmall(a, &passed, 0.5f, 0.5f, 0.5f);
  Tested(a, true);
  std::vector<void*> grandchildren = Drain(&childQueue);
  ASSERT_EQ(grandchildren.size(), 1u);  // the near grandchild
  Tested(b, true);
  EXPECT_TRUE(childQueue.IsEmpty());
  Tested(static_cast<KELScreenSpacePartition*>(grandchildren[0]), false);
  // Then A's far grandchild, then after it C.
  std::vector<void*> far = Drain(&childQueue);
  ASSERT_EQ(far.size(), 1u);
  Tested(static_cast<KELScreenSpacePartition*>(far[0]), false);
  EXPECT_EQ(Drain(&childQueue), std::vector<void*>{c});
  EXPECT_EQ(root.iNearPending, 1u);
  Tested(c, false);
  // The node finished: its parent (the root) is notified exactly once, and
  // the notification stops at the root.
  EXPECT_EQ(root.iNearPending, 0u);
  EXPECT_EQ(root.iFarPending, 0u);
  EXPECT_TRUE(childQueue.IsEmpty());
}
