// The per-frame screen-space tree: insertion, split, release and pools.
#include <gtest/gtest.h>

#include <cstring>

#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "TestSupport.h"

namespace {

int RecordPoolSize() { return static_cast<int>(KELPools::Census().iScreenZones); }
int NodePoolSize() { return static_cast<int>(KELPools::Census().iNodes); }

class ScreenPartition : public ::testing::Test {
protected:
  KELScreenSpacePartition root;
  KEL3DZone zone{};
  KELFrameState frame{nullptr, nullptr};
  void SetUp() override { root.Initialize(-1, -1, -1, 1, 1, 1); }
  void TearDown() override {
    root.Release();
    root.iChildren.Release();
  }
};

}  // namespace

TEST_F(ScreenPartition, OffScreenRecordsAreRejectedOnlyPastTheEdges) {
  KELPools::GiveBack(KELScreenZone::Take());  // at least one pooled record to reuse
  int pool = RecordPoolSize();
  root.InsertScreenZone(MakeScreenZone(&zone, -2, 0, 0, -1, 0.5f, 0.5f), &frame);  // max.x exactly -1
  root.InsertScreenZone(MakeScreenZone(&zone, 0, 1, 0, 0.5f, 2, 0.5f), &frame);    // min.y exactly 1
  root.InsertScreenZone(MakeScreenZone(&zone, 0, -2, 0, 0.5f, -1, 0.5f), &frame);  // max.y exactly -1
  root.InsertScreenZone(MakeScreenZone(&zone, 1, 0, 0, 2, 0.5f, 0.5f), &frame);     // min.x exactly 1
  EXPECT_EQ(root.iScreenZoneCount, 0u);
  EXPECT_EQ(RecordPoolSize(), pool);
  EXPECT_FALSE(root.iUnfilled);
  root.InsertScreenZone(MakeScreenZone(&zone, -2, 0, 0, -0.999f, 0.5f, 0.5f), &frame);
  EXPECT_EQ(root.iScreenZoneCount, 1u);
}

TEST_F(ScreenPartition, SmallMeansAtMostHalfTheNodeOnEveryAxis) {
  root.InsertScreenZone(MakeScreenZone(&zone, -0.5f, -0.5f, 0, 0.5f, 0.5f, 1), &frame);
  ASSERT_EQ(root.iScreenZoneCount, 1u);
  EXPECT_TRUE(root.iScreenZones->iIsSmall);
  for (int a = 0; a < 3; ++a) {
    EXPECT_EQ(root.iSmallMin[a], root.iScreenZones->iMin[a]);
    EXPECT_EQ(root.iMin[a], root.iScreenZones->iMin[a]);
    EXPECT_EQ(root.iSmallMax[a], root.iScreenZones->iMax[a]);
  }
  // A wider record (zone without children) is linked but not small and
  // widens only the overall bounds.
  root.InsertScreenZone(MakeScreenZone(&zone, -0.6f, -0.5f, 0, 0.4001f, 0.5f, 1), &frame);
  ASSERT_EQ(root.iScreenZoneCount, 2u);
  EXPECT_FALSE(root.iScreenZones->iIsSmall);
  EXPECT_EQ(root.iMin[0], -0.6f);
  EXPECT_EQ(root.iSmallMin[0], -0.5f);
}

TEST_F(ScreenPartition, CrossingRecordsSkipEmptyChildZonesOthersVisitThem) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* partition = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  for (int i = 0; i < 60; ++i) AddBox(engine, partition, -0.9f + i * 0.001f, -0.9f, 2, -0.9f + i * 0.001f + 0.0005f, -0.89f, 2.01f);
  for (int i = 0; i < 60; ++i) AddBox(engine, partition, 0.8f + i * 0.001f, 0.8f, 3, 0.8f + i * 0.001f + 0.0005f, 0.81f, 3.01f);
  partition->Subdivide();
  ASSERT_EQ(partition->iChildren.count, 2);
  // Empty one child: mark it so.
  partition->Child(1)->iFlags |= kZoneFlagEmpty;

  KELScreenZone* crossing = MakeScreenZone(partition, -2, -2, -2, 2, 2, 2);
  crossing->iCrossesNearPlane = 1;
  root.InsertScreenZone(crossing, &frame);
  EXPECT_EQ(root.iScreenZoneCount, 2u);  // the crossing record and child 0
  EXPECT_EQ(root.iScreenZones, crossing);  // linked after its children
  EXPECT_FALSE(crossing->iIsSmall);
  root.Release();

  root.Initialize(-1, -1, -1, 1, 1, 1);
  root.InsertScreenZone(MakeScreenZone(partition, -1, -1, 0, 1, 1, 1), &frame);
  EXPECT_EQ(root.iScreenZoneCount, 3u);  // the record and both children
}

TEST_F(ScreenPartition, LargeRecordSubdividesAZoneWithMoreThanOneHundredWaiting) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* hundred = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  for (int i = 0; i < 100; ++i) AddBox(engine, hundred, i * 0.01f, 0, 2, i * 0.01f + 0.005f, 0.005f, 2.005f);
  root.InsertScreenZone(MakeScreenZone(hundred, -1, -1, 0, 1, 1, 1), &frame);
  EXPECT_FALSE(hundred->IsSubdivided());
  AddBox(engine, hundred, 0.5f, 0.5f, 2, 0.505f, 0.505f, 2.005f);
  root.InsertScreenZone(MakeScreenZone(hundred, -1, -1, 0, 1, 1, 1), &frame);
  EXPECT_TRUE(hundred->IsSubdivided());
}

TEST_F(ScreenPartition, SplitSendsPassedSmallRecordsToOctantsAndPrunesTheRest) {
  KEL3DZone passed{}, failed{};
  passed.iFlags = kZoneFlagQueryPassed;
  // Two small records spanning [-0.5, 0.5]: the midpoint is 0.
  root.InsertScreenZone(MakeScreenZone(&passed, -0.5f, -0.5f, -0.5f, -0.1f, -0.1f, -0.1f), &frame);
  root.InsertScreenZone(MakeScreenZone(&passed, 0.1f, 0.1f, 0.1f, 0.5f, 0.5f, 0.5f), &frame);
  KELScreenZone* centred = MakeScreenZone(&passed, -0.2f, -0.2f, -0.2f, 0.2f, 0.2f, 0.2f);
  root.InsertScreenZone(centred, &frame);
  root.InsertScreenZone(MakeScreenZone(&failed, 0.1f, -0.5f, 0.1f, 0.2f, -0.4f, 0.2f), &frame);
  KELScreenZone* large = MakeScreenZone(&passed, -1, -1, -1, 1, 1, 1);
  root.InsertScreenZone(large, &frame);
  ASSERT_EQ(root.iScreenZoneCount, 5u);
  int pool = RecordPoolSize();
  ASSERT_TRUE(root.Split(&frame));
  EXPECT_EQ(root.iChildren.count, 8);
  ASSERT_NE(root.Child(0), nullptr);
  ASSERT_NE(root.Child(7), nullptr);
  for (int slot = 1; slot < 7; ++slot) EXPECT_EQ(root.Child(slot), nullptr) << slot;
  EXPECT_EQ(root.Child(0)->iScreenZoneCount, 2u);  // includes the centred record
  EXPECT_EQ(root.Child(7)->iScreenZoneCount, 1u);
  EXPECT_EQ(root.iScreenZoneCount, 1u);  // the large record stays
  EXPECT_EQ(root.iScreenZones, large);
  EXPECT_EQ(RecordPoolSize(), pool + 1);  // the failed zone's record
  EXPECT_EQ(root.Child(0)->iDepth, 1u);
  EXPECT_EQ(root.Child(0)->iParent, &root);
  // A second split changes nothing.
  KELScreenSpacePartition* child0 = root.Child(0);
  EXPECT_TRUE(root.Split(&frame));
  EXPECT_EQ(root.Child(0), child0);
}

TEST_F(ScreenPartition, ReleaseReturnsEveryRecordAndNode) {
  KEL3DZone passed{};
  passed.iFlags = kZoneFlagQueryPassed;
  auto build = [&]() {
    root.Initialize(-1, -1, -1, 1, 1, 1);
    for (int i = 0; i < 10; ++i) {
      float x = -0.9f + i * 0.18f;
      root.InsertScreenZone(MakeScreenZone(&passed, x, x, x, x + 0.05f, x + 0.05f, x + 0.05f), &frame);
    }
    ASSERT_TRUE(root.Split(&frame));
    for (int slot = 0; slot < 8; ++slot)
      if (root.Child(slot) != nullptr && root.Child(slot)->iScreenZoneCount > 1) root.Child(slot)->Split(&frame);
  };
  build();  // warm the pools
  root.Release();
  int records = RecordPoolSize(), nodes = NodePoolSize();
  build();
  EXPECT_LT(RecordPoolSize(), records);
  EXPECT_LT(NodePoolSize(), nodes);
  root.Release();
  EXPECT_EQ(root.iScreenZoneCount, 0u);
  EXPECT_EQ(root.iChildren.count, 0);
  EXPECT_EQ(root.iScreenZones, nullptr);
  EXPECT_EQ(RecordPoolSize(), records);
  EXPECT_EQ(NodePoolSize(), nodes);
}

TEST_F(ScreenPartition, RecordCountDoesNotWrapAndEveryRecordIsReleased) {
  const uint32_t count = (1u << 17) + 3;
  KEL3DZone passed{};
  int before = RecordPoolSize();
  for (uint32_t i = 0; i < count; ++i) root.InsertScreenZone(MakeScreenZone(&passed, 0, 0, 0, 0.1f, 0.1f, 0.1f), &frame);
  EXPECT_EQ(root.iScreenZoneCount, count);
  root.Release();
  EXPECT_GE(RecordPoolSize(), static_cast<int>(count));
  EXPECT_GE(RecordPoolSize(), before);
}

TEST(ScreenPartitionPools, ASecondIdenticalFrameTakesNothingNew) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KEL3DZone* partition = static_cast<KEL3DZone*>(engine->CreateSpacePartition());
  for (int i = 0; i < 300; ++i) {
    float x = -50 + (i % 20) * 5.0f, y = -50 + (i / 20) * 7.0f;
    AddBox(engine, partition, x, y, -60, x + 1, y + 1, -59);
  }
  TestCamera camera(0, 0, 0);
  float vp[16];
  ComputeViewProjection(camera.projection, camera.view, vp);
  CountingAllocator counting;
  ScopedAllocator scope(&counting);
  KELFrameState state{nullptr, nullptr};
  state.iPlaneCount = 6;
  state.iPlanes = const_cast<float* const*>(camera.planes);
  auto frame = [&]() {
    KELScreenSpacePartition root;
    root.Initialize(-1, -1, -1, 1, 1, 1);
    root.InsertScreenZone(ProjectZone(vp, partition), &state);
    int records = 0;
    for (KELScreenZone* r = root.iScreenZones; r; r = r->iNext) {
      r->iZone->iFlags |= kZoneFlagQueryPassed;
      ++records;
    }
    if (root.Split(&state))
      for (int slot = 0; slot < 8; ++slot)
        if (root.Child(slot) != nullptr) root.Child(slot)->Split(&state);
    int before = RecordPoolSize();
    root.Release();
    root.iChildren.Release();
    return std::make_pair(records, RecordPoolSize() - before);
  };
  auto first = frame();
  EXPECT_GT(first.first, 1);
  int allocations = counting.allocations;
  auto second = frame();
  EXPECT_EQ(second.first, first.first);
  EXPECT_EQ(counting.allocations, allocations);
}
