// Whole frames through EndCulling: call order, the first draw pass, render
// states, the near-plane rule, clients and statistics.
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "CullingFixture.h"
#include "KELPools.h"
#include "FIFOQueue.h"
#include "KELCullingFrame.h"
#include "KELScreenSpacePartition.h"

TEST_F(Culling, EmptyFrameCallsInOrderAndPrintsZeros) {
  std::string out = Frame({});
  std::vector<std::string> expected = {
      "EnableDepthWrite(1)", "EnableColorWrite(1)", "EnableDepthWrite(0)", "EnableColorWrite(0)",
      "EnableDepthWrite(1)", "EnableColorWrite(1)",  // the traversal's own start
      "EnableColorWrite(1)", "EnableDepthWrite(1)", "OnBeginOcclusionResults", "OnEndOcclusionResults"};
  EXPECT_EQ(client.log, expected);
  EXPECT_EQ(out,
            "fill query : 0\nzone traversed : 0\nzone entry traversed : 0\nzone entry filled : 0\n"
            "big zone entry filled : 0\nzone entry nothing : 0\n");
}

TEST_F(Culling, WithoutAClientNothingHappens) {
  engine->SetClient(nullptr);
  int32_t frame = KELSettings::_frameCounter;
  engine->StartCulling();
  engine->AddPartition(NewPartition());
  ::testing::internal::CaptureStdout();
  engine->EndCulling();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(KELSettings::_frameCounter, frame);
}

TEST_F(Culling, FirstPassDrawsShownLoadedEntriesOfLargeZonesWithoutMatrix) {
  KEL3DZone* p = NewPartition();
  float m[16] = {};
  const float mn[3] = {-0.8f, -0.8f, 0.2f}, mx[3] = {0.8f, 0.8f, 0.6f}, c[3] = {0, 0, 0.4f};
  void* withMatrix = engine->AddEntry(p, &objects[0], mn, mx, c, 1, m);
  KEL3DZoneEntry* hidden = AddBox(engine, p, -0.5f, -0.5f, 0.3f, 0, 0, 0.4f, &objects[1]);
  KEL3DZoneEntry* transparent = AddBox(engine, p, 0, 0, 0.3f, 0.5f, 0.5f, 0.4f, &objects[2]);
  AddBox(engine, p, 0.1f, 0.1f, 0.3f, 0.2f, 0.2f, 0.4f, &objects[3]);  // unloaded
  engine->EntryLoaded(withMatrix);
  engine->EntryLoaded(hidden);
  engine->EntryLoaded(transparent);
  engine->SetVisibility(hidden, false);
  engine->SetTransparency(transparent, true);
  Frame({p});
  // The first pass comes before any query, between the two state pairs.
  int begin = Find("EnableColorWrite(1)");
  int end = Find("EnableDepthWrite(0)");
  int firstQuery = Find("BeginQuery");
  ASSERT_LT(end, firstQuery);
  std::vector<std::string> pass(client.log.begin() + begin + 1, client.log.begin() + end);
  std::vector<std::string> expected = {"DrawObject(null,1)", "DrawObject(null,0)"};
  EXPECT_EQ(pass, expected);
  EXPECT_EQ(client.drawnObjects[0], &objects[2]);
  EXPECT_EQ(client.drawnObjects[1], &objects[0]);
}

TEST_F(Culling, SmallRootGetsOnlyItsZoneQuery) {
  KEL3DZone* p = NewPartition();
  engine->EntryLoaded(AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]));
  Frame({p});
  int firstQuery = Find("BeginQuery");
  for (int i = 0; i < firstQuery; ++i) EXPECT_NE(client.log[i].rfind("DrawObject", 0), 0u) << client.log[i];
  EXPECT_EQ(QueriesOf(p->iMin, p->iMax), 1);
  // Visible leaf: drawn in the traversal, with SetInside first.
  int draw = Find("DrawObject(null,0)");
  ASSERT_GT(draw, firstQuery);
  EXPECT_EQ(client.log[draw - 1], "SetInside(1)");
}

TEST_F(Culling, StateSwitchesOnlyOnChangeAndFillQueriesWriteDepthOnly) {
  KEL3DZone* p = NewPartition();
  for (int i = 0; i < 5; ++i) AddBox(engine, p, -0.5f + i * 0.2f, 0, 0.3f, -0.45f + i * 0.2f, 0.1f, 0.4f, &objects[i]);
  Frame({p});
  // Traversal: start (depth on, colour on), fill queries (colour off), then
  // entry queries (depth off): exactly one switch each.
  int traversalStart = Find("EnableDepthWrite(1)", Find("EnableColorWrite(0)"));
  int fillBegin = Find("BeginQuery", Find("EndQuery"));
  ASSERT_GT(fillBegin, traversalStart);
  std::vector<std::string> between(client.log.begin() + traversalStart, client.log.begin() + fillBegin);
  int colorOff = 0, depthOn = 0, other = 0;
  for (const std::string& line : between) {
    if (line == "EnableColorWrite(0)") ++colorOff;
    else if (line == "EnableDepthWrite(1)") ++depthOn;
    else if (line.rfind("Enable", 0) == 0 && line != "EnableColorWrite(1)") ++other;
  }
  EXPECT_EQ(colorOff, 1);
  EXPECT_EQ(other, 0);
  // The fill query drew the five unloaded boxes in one run.
  ASSERT_GE(client.queries.size(), 2u);
  EXPECT_EQ(client.queries[1].size(), 5u);
  EXPECT_EQ(client.Count("EnableDepthWrite(0)"), 2);  // step 10 and the entry queries
  EXPECT_EQ(client.touchedObjects.size(), 5u);
  // The frame leaves both writes on.
  int results = Find("OnBeginOcclusionResults");
  EXPECT_EQ(client.log[results - 2], "EnableColorWrite(1)");
  EXPECT_EQ(client.log[results - 1], "EnableDepthWrite(1)");
}

TEST_F(Culling, AResultNotReadyIsAskedForAgainAndNothingElseInBetween) {
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]);
  client.notReadyCount = 2;
  Frame({p});
  int first = -1;
  for (size_t i = 0; i < client.log.size(); ++i)
    if (client.log[i].rfind("GetQueryResult", 0) == 0) {
      first = static_cast<int>(i);
      break;
    }
  ASSERT_GE(first, 0);
  EXPECT_EQ(client.log[first], client.log[first + 1]);
  EXPECT_EQ(client.log[first], client.log[first + 2]);
  EXPECT_NE(client.log[first + 3].rfind("GetQueryResult", 0), 0u);
  EXPECT_EQ(client.log[first], "GetQueryResult(0,wait)");
}

TEST_F(Culling, AdapterClientNeverAsksForResultsAndReportsEverything) {
  KEL3DZone* p = NewPartition();
  for (int i = 0; i < 3; ++i) AddBox(engine, p, i * 0.2f, 0, 0.3f, i * 0.2f + 0.1f, 0.1f, 0.4f, &objects[i]);
  engine->EntryLoaded(AddBox(engine, p, -0.5f, -0.5f, 0.3f, -0.4f, -0.4f, 0.4f, &objects[3]));
  client.nullHandles = true;
  Frame({p});
  EXPECT_EQ(client.resultCalls, 0);
  EXPECT_EQ(client.Count("BeginQuery(null)"), client.Count("BeginQuery"));
  EXPECT_EQ(client.touchedObjects.size(), 3u);
  EXPECT_EQ(client.drawnObjects, std::vector<void*>{&objects[3]});
  // A client on the do-nothing adapter runs the frame to its end too.
  KELOcclusionCullingClientAdapter adapter;
  engine->SetClient(&adapter);
  Frame({p});
  engine->SetClient(&client);
  EXPECT_TRUE(CheckPartitionOk(p));
}

// The camera inside a zone: its box cannot be judged by a query (the zone's
// own objects, drawn first, hide its far faces), so it is not queried and
// its unloaded entries still get their fill and entry queries.
TEST_F(Culling, ZoneAroundTheCameraIsNotQueriedAndItsWallIsReported) {
  KEL3DZone* p = NewPartition();
  KEL3DZoneEntry* floor = AddBox(engine, p, -1, -1, -0.5f, 1, -0.9f, 0.9f, &objects[0]);
  engine->EntryLoaded(floor);
  AddBox(engine, p, -0.3f, -0.3f, 0.5f, 0.3f, 0.3f, 0.55f, &objects[1]);  // the wall ahead
  const float* zoneMin = p->iMin;
  const float* zoneMax = p->iMax;
  // The zone's box would come back empty: its far faces lie behind the floor.
  client.answer = [&](const std::vector<DrawnBox>& boxes) {
    for (const DrawnBox& b : boxes)
      if (SameBox(b, zoneMin, zoneMax)) return 0u;
    return 10000u;
  };
  for (int frame = 0; frame < 3; ++frame) {
    Frame({p});
    EXPECT_EQ(QueriesOf(zoneMin, zoneMax), 0);
    EXPECT_TRUE(Touched(&objects[1])) << "frame " << frame;
    EXPECT_TRUE(p->iFlags & kZoneFlagQueryPassed);
  }
}

// Behind the camera nothing is drawn or reported; a partition around the
// eye and one ahead of it are culled as before.
TEST_F(Culling, APartitionBehindTheEyeDrawsAndReportsNothing) {
  TestCamera camera(0, 0, 0);
  camera.Apply(engine);
  const float loadedZ[3] = {2, -5, -9}, unloadedZ[3] = {4, -3, -9};
  const float unloadedDepth[3] = {1, 4, 1};
  std::vector<KEL3DZone*> partitions;
  for (int p = 0; p < 3; ++p) {
    partitions.push_back(NewPartition());
    engine->EntryLoaded(AddBox(engine, partitions[p], -1, -1, loadedZ[p], 1, 1, loadedZ[p] + 1, &objects[2 * p]));
    AddBox(engine, partitions[p], 2, -1, unloadedZ[p], 3, 1, unloadedZ[p] + unloadedDepth[p], &objects[2 * p + 1]);
  }
  Frame({partitions[0], partitions[1], partitions[2]});
  for (int p = 0; p < 3; ++p) {
    const std::vector<void*>& drawn = client.drawnObjects;
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), &objects[2 * p]) > 0, p != 0) << "partition " << p;
    EXPECT_EQ(Touched(&objects[2 * p + 1]), p != 0) << "partition " << p;
    engine->DestroySpacePartition(partitions[p]);
  }
}

// A host with reversed depth says so: its projection (nearer is greater)
// then culls with exactly the calls of the forward one. Unsaid, almost
// every zone would count as crossing the near plane, unqueried.
TEST_F(Culling, AReversedProjectionCullsAsTheForwardOneWhenSaid) {
  auto build = [this]() {
    KEL3DZone* partition = NewPartition();
    for (int i = 0; i < 120; ++i) {
      const float x = static_cast<float>(i % 12 - 6), z = -4.0f - 0.6f * static_cast<float>(i);
      KEL3DZoneEntry* entry = AddBox(engine, partition, x, -1, z - 1, x + 0.8f, 1, z, &objects[i]);
      if (i % 3 != 0) engine->EntryLoaded(entry);
    }
    return partition;
  };
  auto run = [this](KEL3DZone* partition, bool reversed) {
    TestCamera camera(0, 0, 0);
    for (int column = 0; column < 4 && reversed; ++column) camera.projection[4 * column + 2] *= -1.0f;
    camera.Apply(engine);
    engine->SetReversedDepth(reversed);
    RecordingClient recorder;  // its own query handles, numbered from 0
    // Walls nearer than 30 hide what lies behind them.
    recorder.answer = [](const std::vector<DrawnBox>& boxes) { return boxes[0].max[2] > -30 ? 1000u : 0u; };
    engine->SetClient(&recorder);
    std::vector<std::string> calls;
    for (int frame = 0; frame < 3; ++frame) {
      Frame({partition});
      calls.insert(calls.end(), recorder.log.begin(), recorder.log.end());
      recorder.ClearFrame();
    }
    engine->SetClient(&client);
    return calls;
  };
  // Two scenes alike, both first culled after frame 1 (which batches
  // first-time subjects differently).
  KEL3DZone* forwardScene = build();
  KEL3DZone* reversedScene = build();
  Frame({});
  const std::vector<std::string> forward = run(forwardScene, false);
  EXPECT_GT(std::count(forward.begin(), forward.end(), "BeginQuery"), 10);
  EXPECT_EQ(run(reversedScene, true), forward);
}

// An AddPartition whose list cannot grow still gets its partition culled.
TEST_F(Culling, APartitionTheFrameListCannotHoldIsStillCulled) {
  if (!KELHeapCounter::Available()) GTEST_SKIP() << "needs the heap interposer (not under sanitizers)";
  KEL3DZone* empty = NewPartition();
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]);
  const KELGrowArray& list = KELEngineAccess::Partitions(engine);
  for (int frame = 0; frame < 2; ++frame) {
    engine->StartCulling();
    do engine->AddPartition(empty);
    while (list.count < list.capacity);
    KELHeapCounter::Fail(true);
    engine->AddPartition(p);
    KELHeapCounter::Fail(false);
    client.ClearFrame();
    ::testing::internal::CaptureStdout();
    engine->EndCulling();
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Touched(&objects[0])) << "frame " << frame;
  }
  engine->DestroySpacePartition(empty);
  engine->DestroySpacePartition(p);
}

// A visible node that cannot get its children (no memory) would be a leaf
// whose fill misses the entries below its small zones: those zones' objects
// are drawn (loaded) or reported (not loaded) untested instead.
TEST_F(Culling, AVisibleNodeThatCannotSplitLeavesOutItsSmallZones) {
  KEL3DZone* p = NewPartition();
  for (int i = 0; i < 101; ++i) {
    KEL3DZoneEntry* e = AddBox(engine, p, i * 0.002f, 0, 0.3f, i * 0.002f + 0.001f, 0.001f, 0.31f, &objects[i]);
    if (i % 2 == 0) engine->EntryLoaded(e);
  }
  Frame({p});  // splits the zone and fills the pools
  ASSERT_EQ(client.touchedObjects.size() + client.drawnObjects.size(), 101u);
  const size_t records = KELPools::Census().iScreenZones;
  KELScreenSpacePartition* pooledNodes = KELScreenSpacePartition::_freeList;
  KELScreenSpacePartition::_freeList = nullptr;
  CountingAllocator failing;
  failing.failing = true;
  {
    ScopedAllocator scope(&failing);
    Frame({p});
  }
  KELScreenSpacePartition::_freeList = pooledNodes;
  EXPECT_GT(failing.failures, 0);
  EXPECT_EQ(client.touchedObjects.size(), 50u);
  EXPECT_EQ(client.drawnObjects.size(), 51u);
  EXPECT_EQ(KELPools::Census().iScreenZones, records);  // the left-out records went back
}

TEST_F(Culling, ClientsGetARecordEachAndFreshHandlesEveryFrame) {
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]);
  RecordingClient other;
  Frame({p});
  int32_t records = KELClientStateCount();
  EXPECT_GE(client.genQueries, 1);
  EXPECT_EQ(client.log[Find("BeginQuery") - 1], "GenQuery");
  engine->SetClient(&other);
  Frame({p});
  EXPECT_EQ(KELClientStateCount(), records + 1);
  engine->SetClient(&client);
  Frame({p});
  // The handle pool was emptied: the frame's first query asks GenQuery again.
  EXPECT_EQ(client.log[Find("BeginQuery") - 1], "GenQuery");
  EXPECT_EQ(KELClientStateCount(), records + 1);
}

TEST_F(Culling, APartitionAddedTwiceIsCulledTwice) {
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]);
  auto firstPassQueries = [&]() {
    int n = 0;
    for (const std::string& line : client.log) {
      if (line.rfind("GetQueryResult", 0) == 0) break;
      if (line == "BeginQuery") ++n;
    }
    return n;
  };
  Frame({p, p});
  EXPECT_EQ(firstPassQueries(), 2);
  // EndCulling again without StartCulling culls the same list.
  client.ClearFrame();
  ::testing::internal::CaptureStdout();
  engine->EndCulling();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(firstPassQueries(), 2);
}

TEST_F(Culling, StatisticsOfOneFillQuery) {
  KEL3DZone* p = NewPartition();
  const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, 1};
  engine->SetContributionCullingParameters(eye, dir, 1, 1);
  // Pending entries: one large enough, one too small (distance 0.35 > 2 * 0.1).
  KEL3DZoneEntry* big = AddBox(engine, p, 0, 0, 0.3f, 0.1f, 0.1f, 0.4f, &objects[0]);
  big->iRadius = 1;
  KEL3DZoneEntry* tiny = AddBox(engine, p, 0.2f, 0, 0.3f, 0.21f, 0.01f, 0.4f, &objects[1]);
  tiny->iRadius = 0.1f;
  KEL3DZoneEntry* fixed = AddBox(engine, p, -2e7f, 0, 0.3f, 2e7f, 0.1f, 0.4f, &objects[2]);
  fixed->iRadius = 1e7f;
  engine->SetVisibility(fixed, false);
  std::string out = Frame({p});
  EXPECT_EQ(out,
            "fill query : 1\nzone traversed : 1\nzone entry traversed : 3\nzone entry filled : 1\n"
            "big zone entry filled : 0\nzone entry nothing : 0\n");
  EXPECT_TRUE(Touched(&objects[0]));
  EXPECT_FALSE(Touched(&objects[1]));
  EXPECT_FALSE(Touched(&objects[2]));
}

TEST_F(Culling, FillOverFixedEntriesOnlyCountsAsEmpty) {
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, -2e7f, 0, 0.3f, 2e7f, 0.1f, 0.4f, &objects[0]);
  std::string out = Frame({p});
  EXPECT_NE(out.find("big zone entry filled : 1\n"), std::string::npos);
  EXPECT_NE(out.find("zone entry nothing : 1\n"), std::string::npos);
}

TEST_F(Culling, FrameCountsFromOne) {
  if (KELSettings::_frameCounter != 0) GTEST_SKIP() << "needs a fresh process (ctest runs each test alone)";
  Frame({});
  EXPECT_EQ(KELSettings::_frameCounter, 1);
}

namespace {

// Hands out records from a private mapping and unmaps it when destroyed, as
// a host's static arena might at exit.
class UnmappingAllocator : public KELAllocator {
public:
  UnmappingAllocator() {
    base_ = static_cast<char*>(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~UnmappingAllocator() { munmap(base_, kSize); }
  void* Allocate(uint32_t size) override {
    size = (size + 15u) & ~15u;
    if (used_ + size > kSize) return nullptr;
    used_ += size;
    return base_ + used_ - size;
  }
  void Free(void*) override {}

private:
  static constexpr size_t kSize = 64u << 20;
  char* base_;
  size_t used_ = 0;
};

}  // namespace

// The library's own module-wide state is released after a host's static
// allocator is gone: that must not touch the allocator's memory.
TEST(CullingExit, AHostAllocatorDestroyedFirstIsNotTouchedAtExit) {
  EXPECT_EXIT(
      {
        static UnmappingAllocator allocator;
        KELAllocator::SetAllocator(&allocator);
        // Fresh free lists, so that every element comes from the mapping.
        KELPools::_sharedElementFreeList = nullptr;
        KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
        RecordingClient* client = new RecordingClient;
        engine->SetClient(client);
        void* p = engine->CreateSpacePartition();
        for (int i = 0; i < 30; ++i) AddBox(engine, p, i * 0.02f, 0, 0.3f, i * 0.02f + 0.01f, 0.01f, 0.31f);
        engine->StartCulling();
        engine->AddPartition(p);
        ::testing::internal::CaptureStdout();
        engine->EndCulling();
        ::testing::internal::GetCapturedStdout();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
