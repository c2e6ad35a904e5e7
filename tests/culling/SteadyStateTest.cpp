// Frames over a larger scene: no allocation in steady state, and a moving
// camera over many frames with the invariants checked after each.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "KELSettings.h"
#include "TestSupport.h"

namespace {

// Answers from the geometry alone, with storage fixed up front so that the
// client itself never allocates during a frame.
class GeometricClient : public KELOcclusionCullingClientAdapter {
public:
  static constexpr int kHandles = 200000;
  std::vector<uint32_t> results = std::vector<uint32_t>(kHandles);
  int next = 0;
  uint32_t current = 0;
  long drawn = 0, touched = 0, queries = 0;
  float visibleBelowX = 0;

  void* GenQuery() override { return &results[next++ % kHandles]; }
  void BeginQuery(void*) override {
    current = 0;
    ++queries;
  }
  void DrawBox(const float* mn, const float*, const float*) override {
    if (mn[0] < visibleBelowX) current += 400;
  }
  void EndQuery(void* query) override { *static_cast<uint32_t*>(query) = current; }
  bool GetQueryResult(void* query, uint32_t& pixels, bool) override {
    pixels = *static_cast<uint32_t*>(query);
    return true;
  }
  void DrawObject(void*, const float*, bool) override { ++drawn; }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override { ++touched; }
  void OnEndOcclusionResults() override { next = 0; }
};

struct Scene {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  std::vector<KEL3DZone*> partitions;
  std::vector<KEL3DZoneEntry*> entries;
  std::vector<int> objects = std::vector<int>(20000);

  // A grid of blocks in front of the camera, spread over four partitions,
  // every third entry loaded.
  explicit Scene(int count) {
    for (int p = 0; p < 4; ++p) partitions.push_back(static_cast<KEL3DZone*>(engine->CreateSpacePartition()));
    for (int i = 0; i < count; ++i) {
      float x = -100 + (i % 100) * 2.0f, z = -5 - (i / 100) * 2.0f, h = 0.5f + (i % 7) * 0.3f;
      KEL3DZoneEntry* e = AddBox(engine, partitions[i % 4], x, -1, z, x + 1.2f, -1 + h, z + 1.2f, &objects[i]);
      if (i % 3 == 0) engine->EntryLoaded(e);
      entries.push_back(e);
    }
  }
  void Frame(const TestCamera& camera) {
    camera.Apply(engine);
    engine->StartCulling();
    for (KEL3DZone* p : partitions) engine->AddPartition(p);
    KELQuietStdout quiet;
    engine->EndCulling();
  }
  bool Valid() const {
    for (KEL3DZone* p : partitions)
      if (!CheckPartition(p)) return false;
    return true;
  }
};

// Counts the allocations, with the client above and a given contribution
// scale; both tests end with objects drawn and reported.
class SteadyState : public ::testing::Test {
protected:
  CountingAllocator counting;
  ScopedAllocator scope{&counting};
  GeometricClient client;
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  void Start(float contributionScale) {
    engine->SetClient(&client);
    const float eye[3] = {0, 1, 0}, dir[3] = {0, 0, -1};
    engine->SetContributionCullingParameters(eye, dir, contributionScale, 1.0f);
  }
  void TearDown() override {
    EXPECT_EQ(counting.frees, 0);
    EXPECT_GT(client.drawn, 0);
    EXPECT_GT(client.touched, 0);
    engine->SetClient(nullptr);
  }
};

}  // namespace

TEST_F(SteadyState, UnchangedFramesAllocateNothing) {
  Scene scene(8000);
  Start(0.001f);
  TestCamera camera(0, 1, 0);
  int allocations = 0;
  long heapCalls = 0;
  {
    for (int frame = 0; frame < 3; ++frame) scene.Frame(camera);
    allocations = counting.allocations;
    KELHeapCounter::Start();
    for (int frame = 0; frame < 5; ++frame) scene.Frame(camera);
    heapCalls = KELHeapCounter::Stop();
  }
  ASSERT_GT(client.queries, 0);
  EXPECT_EQ(counting.allocations, allocations);
  if (KELHeapCounter::Available()) {
    EXPECT_EQ(heapCalls, 0);
  }
}

TEST_F(SteadyState, MovingCameraKeepsInvariantsAndPoolsSettle) {
  Scene scene(6000);
  Start(0.002f);
  int settled = 0;
  for (int frame = 0; frame < 100; ++frame) {
    // A loop of 25 positions: from the third lap on, nothing new is needed.
    float t = (frame % 25) / 25.0f * 6.2831853f;
    TestCamera camera(30 * std::sin(t), 1 + 10 * (1 + std::cos(t)), 20 * std::cos(t));
    client.visibleBelowX = 60 * std::sin(t);
    if (frame == 50) settled = counting.allocations;
    scene.Frame(camera);
    ASSERT_TRUE(scene.Valid()) << "frame " << frame;
  }
  EXPECT_EQ(counting.allocations, settled);
}

// Four views (the default and three created ones: two eyes, a light, a
// second viewport) culled in turn from cameras of their own: once each has
// seen its view, no frame of any of them allocates.
TEST_F(SteadyState, FramesOfFourViewsAllocateNothing) {
  Scene scene(8000);
  Start(0.001f);
  void* views[4] = {nullptr, engine->CreateView(), engine->CreateView(), engine->CreateView()};
  const TestCamera cameras[4] = {TestCamera(0, 1, 0), TestCamera(0.5f, 1, 0), TestCamera(-20, 30, 10),
                                 TestCamera(15, 2, -10)};
  auto round = [&]() {
    for (int v = 0; v < 4; ++v) {
      engine->SetView(views[v]);
      scene.Frame(cameras[v]);
    }
  };
  for (int frame = 0; frame < 3; ++frame) round();
  const int allocations = counting.allocations;
  const long queries = client.queries;
  KELHeapCounter::Start();
  for (int frame = 0; frame < 5; ++frame) round();
  const long heapCalls = KELHeapCounter::Stop();
  EXPECT_GT(client.queries, queries);
  EXPECT_EQ(counting.allocations, allocations);
  if (KELHeapCounter::Available()) {
    EXPECT_EQ(heapCalls, 0);
  }
  engine->SetView(nullptr);
  for (void* view : views) engine->DestroyView(view);
}
