// Engine singleton, settings, clipping planes and the contribution test.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <new>

#include "KEL3DZone.h"
#include "KELContribution.h"
#include "KELOcclusionQueryTask.h"
#include "KELScreenZone.h"
#include "KELSettings.h"
#include "TestSupport.h"

TEST(Engine, PartitionListGrowsByTenAndStartCullingEmptiesIt) {
  // A new engine: the singleton's list holds whatever earlier tests left.
  std::unique_ptr<KELOcclusionCullingEngine> engine(NewEngine());
  void* partition = KELOcclusionCullingEngine::GetInstance()->CreateSpacePartition();
  for (int i = 0; i < 10; ++i) engine->AddPartition(partition);
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).capacity, 10);
  engine->AddPartition(partition);
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).count, 11);
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).capacity, 20);
  engine->StartCulling();
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).count, 0);
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).capacity, 20);
  engine->AddPartition(nullptr);
  EXPECT_EQ(KELEngineAccess::Partitions(engine.get()).count, 0);
  KELOcclusionCullingEngine::GetInstance()->DestroySpacePartition(partition);
}

TEST(Engine, ClippingPlanesAreReplacedAndOwnedPerCopy) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  float p[3][4] = {{1, 0, 0, -1}, {0, 1, 0, -2}, {0, 0, 1, -3}};
  const float* planes[3] = {p[0], p[1], p[2]};
  engine->SetClippingPlanes(3, planes);
  EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 3);
  EXPECT_EQ(KELEngineAccess::Planes(engine)[2][3], -3.0f);
  p[2][3] = 9;  // the engine holds its own copy
  EXPECT_EQ(KELEngineAccess::Planes(engine)[2][3], -3.0f);

  engine->SetViewVolumeTests(true);  // copied with the planes it applies to
  KELOcclusionCullingEngine* copy = CopyEngine(*engine);
  engine->SetViewVolumeTests(false);
  EXPECT_TRUE(KELEngineAccess::ViewVolumeTests(copy));
  EXPECT_NE(KELEngineAccess::Planes(copy), KELEngineAccess::Planes(engine));
  // Replacing the original's planes must leave the copy's readable (the
  // sanitizer build would flag a use after free here).
  engine->SetClippingPlanes(0, nullptr);
  EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 0);
  EXPECT_EQ(KELEngineAccess::Planes(engine), nullptr);
  EXPECT_EQ(KELEngineAccess::PlaneCount(copy), 3);
  EXPECT_EQ(KELEngineAccess::Planes(copy)[1][3], -2.0f);
  *copy = *copy;
  EXPECT_EQ(KELEngineAccess::Planes(copy)[1][3], -2.0f);
  *engine = *copy;
  EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 3);
  EXPECT_TRUE(KELEngineAccess::ViewVolumeTests(engine));
  engine->SetViewVolumeTests(false);
  EXPECT_NE(KELEngineAccess::Planes(engine), KELEngineAccess::Planes(copy));
  delete copy;
  EXPECT_EQ(KELEngineAccess::Planes(engine)[0][0], 1.0f);

  // A count of zero or below clears the planes, whatever the pointer, and
  // replacing planes gives the old block back.
  engine->SetClippingPlanes(-4, planes);
  EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 0);
  engine->SetClippingPlanes(3, planes);
  engine->SetClippingPlanes(0, planes);
  EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 0);
  if (KELHeapCounter::Available()) {
    KELHeapCounter::Start();
    for (int i = 0; i < 100; ++i) engine->SetClippingPlanes(2 + i % 2, planes);
    KELHeapCounter::Stop();
    EXPECT_LT(KELHeapCounter::NetBytes(), 1000);  // one block, not a hundred
  }
  // A null plane rejects nothing, even a zone whose bounds are infinite
  // (where any stand-in plane would meet 0 * inf); also when a call of the
  // same count reuses the block.
  KEL3DZone zone{};
  zone.iMin[0] = -INFINITY, zone.iMax[0] = INFINITY, zone.iMax[1] = zone.iMax[2] = 1;
  const float* withNull[2][2] = {{p[0], nullptr}, {nullptr, p[0]}};
  for (const float* const* planesWithNull : withNull) {
    engine->SetClippingPlanes(2, planesWithNull);
    EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 2);
    float* used[6];
    const int32_t count = KELUsedClipPlanes(2, KELEngineAccess::Planes(engine), used);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(IsOutsideClipPlanes(count, used, &zone));
  }
  EXPECT_EQ(KELEngineAccess::Planes(engine)[0], nullptr);
  EXPECT_EQ(KELEngineAccess::Planes(engine)[1][3], -1.0f);
  engine->SetClippingPlanes(0, nullptr);
}

namespace {
void ThrowBadAlloc() { throw std::bad_alloc(); }
}  // namespace

// Out of memory, with and without a new-handler that throws: nothing
// escapes, SetClippingPlanes keeps the previous planes, and a frame for a
// new client (whose record cannot be made) runs to its end.
TEST(Engine, NoMemoryThrowsNothingAndKeepsThePlanes) {
  if (!KELHeapCounter::Available()) GTEST_SKIP() << "needs the heap interposer (not under sanitizers)";
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  float p[2][4] = {{1, 0, 0, -1}, {0, 1, 0, -2}};
  const float* planes[2] = {p[0], p[1]};
  void* partition = engine->CreateSpacePartition();
  AddBox(engine, partition, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f);
  for (std::new_handler handler : {std::new_handler(nullptr), ThrowBadAlloc}) {
    engine->SetClippingPlanes(2, planes);
    KELOcclusionCullingClientAdapter freshClient;
    engine->SetClient(&freshClient);
    engine->StartCulling();
    engine->AddPartition(partition);
    std::new_handler previous = std::set_new_handler(handler);
    bool threw = false;
    KELHeapCounter::Fail(true);
    try {
      engine->SetClippingPlanes(1, planes);
      engine->EndCulling();
    } catch (...) {
      threw = true;
    }
    KELHeapCounter::Fail(false);
    std::set_new_handler(previous);
    engine->SetClient(nullptr);
    EXPECT_FALSE(threw);
    EXPECT_EQ(KELEngineAccess::PlaneCount(engine), 2);
    EXPECT_EQ(KELEngineAccess::Planes(engine)[1][3], -2.0f);
    EXPECT_EQ(KELOcclusionQueryTask::_pendingHead, nullptr);
  }
  engine->SetClippingPlanes(0, nullptr);
  engine->DestroySpacePartition(partition);
}

TEST(Engine, IsTooSmallComparesDiameterWithDistanceAhead) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, 1};
  engine->SetContributionCullingParameters(eye, dir, 1.0f, 1.0f);
  const float center[3] = {0, 0, 10};
  EXPECT_TRUE(engine->IsTooSmall(center, 4.0f));
  EXPECT_FALSE(engine->IsTooSmall(center, 5.0f));  // 10 is not > 10
  const float behind[3] = {0, 0, -10};
  EXPECT_FALSE(engine->IsTooSmall(behind, 0.0f));
  const float nanCenter[3] = {NAN, 0, 0};
  EXPECT_FALSE(engine->IsTooSmall(nanCenter, 0.0f));

  const float eye2[3] = {0, 0, 5};
  engine->SetContributionCullingParameters(eye2, dir, 2.0f, 0.5f);
  EXPECT_FALSE(engine->IsTooSmall(center, 2.5f));  // (10 - 5) is not > 5
  EXPECT_TRUE(engine->IsTooSmall(center, 2.4f));

  // The eye's offset along a direction with a y component.
  const float eyeUp[3] = {0, 5, 0}, up[3] = {0, 1, 0}, above[3] = {0, 15, 0};
  engine->SetContributionCullingParameters(eyeUp, up, 1.0f, 1.0f);
  EXPECT_FALSE(engine->IsTooSmall(above, 5.0f));  // 10 is not > 10
  EXPECT_TRUE(engine->IsTooSmall(above, 4.9f));

  engine->SetContributionCullingParameters(eye, dir, 0.0f, 3.0f);
  engine->SetContributionCullingParameters(eye, nullptr, 1.0f, 1.0f);  // ignored
  EXPECT_FALSE(engine->IsTooSmall(center, 0.0f));
  const float far[3] = {0, 0, 1e30f};
  EXPECT_FALSE(engine->IsTooSmall(far, 0.0f));
}

// A host that sets nothing gets identity matrices and no contribution
// culling; only a process whose engine this test makes can tell.
TEST(Engine, StartsWithIdentityMatricesAndNothingTooSmall) {
  if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1)
    GTEST_SKIP() << "needs a process of its own (ctest runs each test alone)";
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  for (const float* m : {KELEngineAccess::View(engine), KELEngineAccess::Projection(engine)})
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m[i], kIdentity[i]) << i;
  const float far[3] = {1e6f, 1e6f, 1e6f};
  EXPECT_FALSE(engine->IsTooSmall(far, 0.0f));
  EXPECT_FALSE(KELEngineAccess::ViewVolumeTests(engine));
}

TEST(Engine, NullHandlesAreIgnored) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  const float mn[3] = {0, 0, 0}, mx[3] = {1, 1, 1};
  EXPECT_EQ(engine->AddEntry(nullptr, nullptr, mn, mx, mn, 1, nullptr), nullptr);
  engine->UpdateEntry(nullptr, mn, mx, mn, 1, nullptr);
  engine->RemoveEntry(nullptr);
  engine->EntryLoaded(nullptr);
  engine->EntryUnLoaded(nullptr);
  engine->SetVisibility(nullptr, false);
  engine->SetTransparency(nullptr, true);
  engine->ActivateSpacePartition(nullptr, true);
  float a[3] = {5, 5, 5}, b[3] = {5, 5, 5};
  engine->GetPartitionBounds(nullptr, a, b);
  EXPECT_EQ(a[0], 5.0f);
  engine->TraverseSpacePartition(nullptr, nullptr, true);
  void* partition = engine->CreateSpacePartition();
  engine->TraverseSpacePartition(partition, nullptr, true);
  EXPECT_EQ(engine->AddEntry(partition, nullptr, nullptr, mx, mn, 1, nullptr), nullptr);
  engine->DestroySpacePartition(nullptr);
  // A destroyed partition leaves the frame list, every time it was added.
  void* other = engine->CreateSpacePartition();
  engine->StartCulling();
  for (void* added : {partition, other, partition}) engine->AddPartition(added);
  engine->DestroySpacePartition(partition);
  ASSERT_EQ(KELEngineAccess::Partitions(engine).count, 1);
  EXPECT_EQ(KELEngineAccess::Partitions(engine).data[0], other);
  engine->DestroySpacePartition(other);
}

// The frame's shortcut for disabled contribution culling must answer as the
// full test does, for every centre and radius.
TEST(Contribution, ShortcutMatchesTheFullTest) {
  const float values[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-45f, -1e-45f, 3e38f, -3e38f, INFINITY, -INFINITY, NAN};
  const float zero[3] = {0, 0, 0};
  const float negativeZero[3] = {-0.0f, 0.0f, -0.0f};
  for (const float* direction : {zero, negativeZero}) {
    KELContribution contribution;
    contribution.Set(direction, 0.0f);
    ASSERT_TRUE(contribution.iOff);
    for (float x : values)
      for (float y : values)
        for (float radius : values) {
          const float center[3] = {x, y, 1.0f};
          EXPECT_EQ(contribution.IsTooSmall(center, radius), KELIsTooSmall(direction, 0.0f, center, radius))
              << x << " " << y << " " << radius;
        }
  }
  const float direction[3] = {0, 0, 1};
  KELContribution on;
  on.Set(direction, 0.0f);
  EXPECT_FALSE(on.iOff);
  const float center[3] = {0, 0, 10};
  EXPECT_TRUE(on.IsTooSmall(center, 4.0f));
  EXPECT_FALSE(on.IsTooSmall(center, 5.0f));
}
