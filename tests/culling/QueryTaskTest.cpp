// Query tasks over whole frames and one result at a time: frame coherency,
// batching, thresholds and the judgement of a node on its summed samples.
#include <algorithm>
#include <vector>

#include "CullingFixture.h"
#include "KELFrameState.h"
#include "KELPools.h"
#include "KELOcclusionQueryTask.h"
#include "KELScreenSpacePartition.h"

namespace {

std::vector<size_t> QuerySizes(const RecordingClient& client) {
  std::vector<size_t> sizes;
  for (const std::vector<DrawnBox>& q : client.queries) sizes.push_back(q.size());
  return sizes;
}

}  // namespace

// The same pattern far from the frame counter's wrap and right after it.
TEST_F(Culling, CoherencySkipsEntriesThroughCAndZonesThroughCMinusOne) {
  for (int32_t start : {9, INT32_MAX}) {
    KEL3DZone* p = NewPartition();
    KEL3DZoneEntry* a = AddBox(engine, p, 0.0f, 0.0f, 0.30f, 0.1f, 0.1f, 0.35f, &objects[0]);
    AddBox(engine, p, 0.2f, 0.0f, 0.30f, 0.3f, 0.1f, 0.35f, &objects[1]);
    engine->EntryLoaded(AddBox(engine, p, 0.0f, 0.2f, 0.40f, 0.4f, 0.3f, 0.45f, &objects[2]));
    engine->SetFrameCoherency(3);
    KELSettings::_frameCounter = start;
    struct Expect {
      bool zone, entry;
    };
    const Expect expected[5] = {{true, true}, {false, false}, {false, false}, {true, false}, {false, true}};
    const int32_t first = static_cast<int32_t>(static_cast<uint32_t>(start) + 1u);
    for (int f = 0; f < 5; ++f) {
      Frame({p});
      const int32_t frame = static_cast<int32_t>(static_cast<uint32_t>(first) + static_cast<uint32_t>(f));
      EXPECT_EQ(KELSettings::_frameCounter, frame);
      EXPECT_EQ(QueriesOf(p->iMin, p->iMax), expected[f].zone ? 1 : 0) << "frame " << frame;
      EXPECT_EQ(QueriesOf(a->iMin, a->iMax), expected[f].entry ? 1 : 0) << "frame " << frame;
      EXPECT_TRUE(Touched(&objects[0])) << "frame " << frame;
      if (expected[f].entry) {
        EXPECT_EQ(a->iLastVisibleFrame, frame);
      }
    }
    engine->DestroySpacePartition(p);
  }
}

TEST_F(Culling, FirstFrameSubjectsBatchAtHistoryZero) {
  KEL3DZone* p = NewPartition();
  for (int i = 0; i < 22; ++i) AddBox(engine, p, i * 0.02f, 0, 0.3f, i * 0.02f + 0.01f, 0.01f, 0.31f, &objects[i]);
  KELSettings::_frameCounter = 0;
  Frame({p});
  ASSERT_EQ(KELSettings::_frameCounter, 1);
  // Zone query, fill query, a batch issued at its 21st member, the flushed
  // batch of the 22nd; the batch results pass, so every member is then
  // queried alone.
  std::vector<size_t> sizes = QuerySizes(client);
  ASSERT_GE(sizes.size(), 4u);
  std::vector<size_t> head(sizes.begin(), sizes.begin() + 4);
  EXPECT_EQ(head, (std::vector<size_t>{1, 22, 21, 1}));
  EXPECT_EQ(std::count(sizes.begin() + 4, sizes.end(), 1u), 22);
  EXPECT_EQ(client.touchedObjects.size(), 22u);

  // In a later frame, subjects without history are queried alone.
  KEL3DZone* later = NewPartition();
  for (int i = 0; i < 22; ++i) AddBox(engine, later, i * 0.02f, 0, 0.3f, i * 0.02f + 0.01f, 0.01f, 0.31f, &objects[100 + i]);
  Frame({later});
  sizes = QuerySizes(client);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 21u), 0);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 1u), 23);  // zone and 22 entries
}

TEST_F(Culling, BatchResultsSendMembersBackOrHandThemZero) {
  for (uint32_t batchPixels : {1u, 0u}) {
    KEL3DZone* p = NewPartition();
    std::vector<KEL3DZoneEntry*> entries;
    for (int i = 0; i < 22; ++i)
      entries.push_back(AddBox(engine, p, i * 0.02f, 0, 0.3f, i * 0.02f + 0.01f, 0.01f, 0.31f, &objects[i]));
    client.answer = [batchPixels](const std::vector<DrawnBox>& boxes) {
      if (boxes.size() == 22) return 1000u;  // the fill query
      if (boxes.size() == 21) return batchPixels;
      return boxes.size() == 1 && boxes[0].max[0] - boxes[0].min[0] < 0.05f ? 0u : 1000u;  // entries hidden, zone visible
    };
    KELSettings::_frameCounter = 0;
    Frame({p});
    std::vector<size_t> sizes = QuerySizes(client);
    // Zone, fill, batch of 21, batch of 1 (answered 0), then the singles.
    ASSERT_GE(sizes.size(), 4u);
    const long singles = std::count(sizes.begin() + 4, sizes.end(), 1u);
    EXPECT_EQ(singles, batchPixels > 0 ? 21 : 0) << batchPixels;
    EXPECT_TRUE(client.touchedObjects.empty());
    for (KEL3DZoneEntry* e : entries) {
      EXPECT_EQ(e->iHistoryFrame, 1u);
      EXPECT_EQ(e->iHistory & 1u, 0u);
    }
  }
}

TEST_F(Culling, PartialBatchesAreFlushedAfterSingleTasksInHistoryOrder) {
  KEL3DZone* p = NewPartition();
  KELSettings::_frameCounter = 40;
  const uint32_t previous = 40;  // the next frame is 41
  KEL3DZoneEntry* single = AddBox(engine, p, 0.0f, 0, 0.3f, 0.01f, 0.01f, 0.31f, &objects[0]);
  single->iHistoryFrame = 7;  // stale history: -1, queried alone
  std::vector<KEL3DZoneEntry*> two, three;
  for (int i = 0; i < 2; ++i) two.push_back(AddBox(engine, p, 0.1f + i * 0.02f, 0, 0.3f, 0.11f + i * 0.02f, 0.01f, 0.31f, &objects[1 + i]));
  for (int i = 0; i < 3; ++i) three.push_back(AddBox(engine, p, 0.2f + i * 0.02f, 0, 0.3f, 0.21f + i * 0.02f, 0.01f, 0.31f, &objects[3 + i]));
  for (KEL3DZoneEntry* e : three) e->iHistory = 4, e->iHistoryFrame = previous;  // inserted last: listed first
  for (KEL3DZoneEntry* e : two) e->iHistory = 2, e->iHistoryFrame = previous;
  Frame({p});
  std::vector<size_t> sizes = QuerySizes(client);
  ASSERT_GE(sizes.size(), 5u);
  std::vector<size_t> head(sizes.begin(), sizes.begin() + 5);
  EXPECT_EQ(head, (std::vector<size_t>{1, 6, 1, 2, 3}));
  EXPECT_TRUE(SameBox(client.queries[2][0], single->iMin, single->iMax));
}

namespace {

class QueryTask : public Culling {
protected:
  KELClientQueryState state;
  KELFrameState frame{&client, &state};
  FIFOQueue& fill = frame.iFillQueue;
  FIFOQueue& query = frame.iQueryQueue;
  FIFOQueue& draw = frame.iDrawQueue;
  FIFOQueue& visible = frame.iVisibleEntries;

  void SetUp() override {
    Culling::SetUp();
    state.iClient = &client;
    state.iHandlePool.Init(KELAllocator::GetAllocator(), &KELPools::_sharedElementFreeList);
  }
  void TearDown() override {
    for (FIFOQueue* q : {&fill, &query, &draw, &visible}) q->Clear();
    Culling::TearDown();
  }
  void Handle(KELOcclusionQueryTask* task, int32_t pixels) {
    task->HandleResult(pixels, &frame);
    if (task->IsRecycledByCaller()) KELPools::GiveBack(task);
  }
};

}  // namespace

TEST_F(QueryTask, EntryThresholdIsStrictAndThePixelCountSaturates) {
  KEL3DZone* p = NewPartition();
  KEL3DZoneEntry* e = AddBox(engine, p, 0, 0, 0.3f, 0.1f, 0.1f, 0.4f);
  Handle(KELEntryQueryTask::Make(&client, &state, e), 300);
  EXPECT_TRUE(visible.IsEmpty());
  EXPECT_EQ(e->iHistory & 1u, 1u);  // any pixel at all sets the history bit
  Handle(KELEntryQueryTask::Make(&client, &state, e), 301);
  ASSERT_FALSE(visible.IsEmpty());
  EXPECT_EQ(visible.TakeFront(), e);
  EXPECT_EQ(e->PixelCount(), 301u);
  EXPECT_EQ(e->iLastVisibleFrame, KELSettings::_frameCounter);
  Handle(KELEntryQueryTask::Make(&client, &state, e), 5000000);
  visible.TakeFront();
  EXPECT_EQ(e->PixelCount(), 1048575u);
  // Not queried: reported without touching its records.
  e->iLastVisibleFrame = 3;
  Handle(KELEntryQueryTask::Make(&client, &state, e), -1);
  EXPECT_FALSE(visible.IsEmpty());
  EXPECT_EQ(e->iLastVisibleFrame, 3);
}

TEST_F(QueryTask, ZoneResultsSetTheirFlags) {
  KEL3DZone* p = NewPartition();
  KELScreenSpacePartition node;
  node.Initialize(-1, -1, -1, 1, 1, 1);
  node.iSampleCount = 0;
  Handle(KELZoneQueryTask::Make(&client, &state, p, &node, false, false), 301);
  EXPECT_TRUE(p->iFlags & kZoneFlagOwnHit);
  EXPECT_TRUE(p->iFlags & kZoneFlagQueryPassed);
  Handle(KELZoneQueryTask::Make(&client, &state, p, &node, false, false), 300);
  EXPECT_FALSE(p->iFlags & kZoneFlagQueryPassed);
  EXPECT_EQ(node.iSampleCount, 601u);
  Handle(KELZoneQueryTask::Make(&client, &state, p, &node, false, false), -1);
  EXPECT_TRUE(p->iFlags & kZoneFlagQueryPassed);
  EXPECT_EQ(node.iSampleCount, 902u);
  node.iChildren.Release();
}

TEST_F(QueryTask, ANodeIsJudgedOnItsSummedSamples) {
  for (int32_t last : {101, 100}) {
    KEL3DZone zones[3] = {};
    KELScreenSpacePartition node;
    node.Initialize(-1, -1, -1, 1, 1, 1);
    for (int i = 0; i < 3; ++i) {
      zones[i].iFlags = kZoneFlagQueryPassed;
      const float at = i * 0.3f;
      node.InsertScreenZone(MakeScreenZone(&zones[i], at, at, at, at + 0.1f, at + 0.1f, at + 0.1f), &frame);
    }
    node.iSampleCount = 0;
    Handle(KELZoneQueryTask::Make(&client, &state, &zones[0], &node, false, false), 100);
    Handle(KELZoneQueryTask::Make(&client, &state, &zones[1], &node, false, false), 100);
    Handle(KELZoneQueryTask::Make(&client, &state, &zones[2], &node, true, false), last);
    if (last == 101) {
      EXPECT_EQ(node.iChildren.count, 8) << "301 samples: visible, refined";
    } else {
      EXPECT_EQ(node.iChildren.count, 0) << "300 samples: hidden, released";
      EXPECT_EQ(node.iScreenZoneCount, 0u);
    }
    EXPECT_TRUE(frame.iChildQueue.IsEmpty());
    EXPECT_TRUE(frame.iNodeQueue.IsEmpty());
    node.Release();
    node.iChildren.Release();
  }
}

TEST_F(QueryTask, FillResultAtTheThresholdCreatesNoEntryTasks) {
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.1f, 0.1f, 0.4f);
  KEL3DZoneEntry* hidden = AddBox(engine, p, 0.2f, 0, 0.3f, 0.3f, 0.1f, 0.4f);
  engine->SetVisibility(hidden, false);
  KELScreenSpacePartition node;
  node.Initialize(-1, -1, -1, 1, 1, 1);
  node.InsertScreenZone(MakeScreenZone(p, 0, 0, 0, 0.1f, 0.1f, 0.1f), &frame);
  KELFillQueryTask* task = KELFillQueryTask::Make(&client, &state, &node);
  task->Draw(&frame);
  Handle(task, 300);
  EXPECT_TRUE(query.IsEmpty());
  task = KELFillQueryTask::Make(&client, &state, &node);
  task->Draw(&frame);
  Handle(task, 301);
  ASSERT_FALSE(query.IsEmpty());
  KELOcclusionQueryTask* entryTask = static_cast<KELOcclusionQueryTask*>(query.TakeFront());
  EXPECT_TRUE(query.IsEmpty());  // the hidden entry gets none
  KELPools::GiveBack(entryTask);
  node.Release();
  node.iChildren.Release();
}

// Unloaded entries answer to the report threshold, in their fills and their
// own queries; zones keep the pixel-hits threshold.
TEST_F(QueryTask, AReportThresholdJudgesUnloadedEntriesAlone) {
  engine->SetReportThreshold(20);
  KEL3DZone* p = NewPartition();
  KEL3DZoneEntry* e = AddBox(engine, p, 0, 0, 0.3f, 0.1f, 0.1f, 0.4f);
  Handle(KELEntryQueryTask::Make(&client, &state, e), 20);
  EXPECT_TRUE(visible.IsEmpty());
  Handle(KELEntryQueryTask::Make(&client, &state, e), 21);
  ASSERT_FALSE(visible.IsEmpty());
  EXPECT_EQ(visible.TakeFront(), e);
  EXPECT_EQ(e->PixelCount(), 21u);
  KELScreenSpacePartition node;
  node.Initialize(-1, -1, -1, 1, 1, 1);
  node.InsertScreenZone(MakeScreenZone(p, 0, 0, 0, 0.1f, 0.1f, 0.1f), &frame);
  KELFillQueryTask* fillTask = KELFillQueryTask::Make(&client, &state, &node);
  fillTask->Draw(&frame);
  Handle(fillTask, 21);
  ASSERT_FALSE(query.IsEmpty());
  KELPools::GiveBack(static_cast<KELOcclusionQueryTask*>(query.TakeFront()));
  node.iSampleCount = 0;
  Handle(KELZoneQueryTask::Make(&client, &state, p, &node, false, false), 200);
  EXPECT_FALSE(p->iFlags & kZoneFlagQueryPassed) << "zones keep the pixel-hits threshold";
  engine->SetReportThreshold(KELOcclusionCullingEngine::kFollowPixelHitsThreshold);
  Handle(KELEntryQueryTask::Make(&client, &state, e), 21);
  EXPECT_TRUE(visible.IsEmpty());
  node.Release();
  node.iChildren.Release();
}

// Fill queries write depth by default; without, the traversal leaves depth
// writes off for them and still reports what they find.
TEST_F(Culling, FillQueriesMayLeaveTheDepthBufferAlone) {
  for (bool write : {true, false}) {
    engine->SetFillDepthWrites(write);
    KEL3DZone* p = NewPartition();
    AddBox(engine, p, 0, 0, 0.3f, 0.1f, 0.1f, 0.4f, &objects[0]);
    Frame({p});
    const int fill = Find("BeginQuery", Find("BeginQuery") + 1);
    ASSERT_GT(fill, 0);
    int depth = fill;
    while (depth >= 0 && client.log[depth].rfind("EnableDepthWrite", 0) != 0) --depth;
    ASSERT_GE(depth, 0);
    EXPECT_EQ(client.log[depth], write ? "EnableDepthWrite(1)" : "EnableDepthWrite(0)");
    EXPECT_EQ(client.queries[1].size(), 1u) << "the fill query holds the unloaded box";
    EXPECT_TRUE(Touched(&objects[0]));
    engine->DestroySpacePartition(p);
  }
}
