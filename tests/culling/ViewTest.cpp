// Views: each keeps its own visibility history. On a seeded multi-frame
// scene with frame coherency and batching, a view's client calls must not
// depend on which other views are culled between its frames; views are
// created, destroyed and reused without leaking state; records recycled by
// removals and destroyed partitions start afresh in every view.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "KELPools.h"
#include "KELSettings.h"
#include "KELView.h"
#include "TestSupport.h"

namespace {

constexpr int kObjects = 900;
constexpr int kFrames = 12;

// Takes every split now, so that no frame of any view splits a zone (splits
// are shared work: the view that first reaches a crowded zone would do it).
struct Splitter : KELSpacePartitionTraversal {
  bool TestBox(const float*, const float*) override { return true; }
  void VisitObject(void*) override {}
};

// A crowded field of small boxes, a few walls and some boxes behind the
// first camera, in three partitions; entries move, load, unload and hide
// between frames, all from one seed.
class ViewWorld {
public:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  std::vector<void*> partitions;
  std::vector<void*> entries;
  int objects[kObjects] = {};

  explicit ViewWorld(uint64_t seed) : random_{seed} {
    const int counts[3] = {700, 60, 40};
    int object = 0;
    for (int p = 0; p < 3; ++p) {
      partitions.push_back(engine->CreateSpacePartition());
      for (int i = 0; i < counts[p]; ++i, ++object) {
        const float x = Uniform(-60, 60), y = Uniform(-4, 4), z = p == 2 ? Uniform(5, 40) : Uniform(-150, -3);
        const float size = p == 1 ? Uniform(4, 20) : Uniform(0.2f, 2.5f);
        const float min[3] = {x, y, z}, max[3] = {x + size, y + Uniform(0.5f, size), z + size * 0.3f};
        const float center[3] = {x + size / 2, y + size / 2, z + size * 0.15f};
        void* entry = engine->AddEntry(partitions[p], &objects[object], min, max, center, size, nullptr);
        entries.push_back(entry);
        if (i % 5 < 3) engine->EntryLoaded(entry);
        if (i % 23 == 0) engine->SetVisibility(entry, false);
      }
    }
    SplitAll();
  }
  ~ViewWorld() {
    for (void* partition : partitions) engine->DestroySpacePartition(partition);
  }

  // Between frames: the host's changes, the same for every run of a seed.
  void Change(int frame) {
    for (int k = 0; k < 30; ++k) {
      void* entry = entries[static_cast<size_t>((frame * 97 + k * 31) % entries.size())];
      if (k % 4 == 0) engine->EntryUnLoaded(entry);
      else if (k % 4 == 1) engine->EntryLoaded(entry);
      else if (k % 4 == 2) engine->SetVisibility(entry, k % 8 != 2);
      else Move(entry, Uniform(-50, 50), Uniform(-120, -5));
    }
    SplitAll();
  }
  void Move(void* entry, float x, float z) {
    const float min[3] = {x, 0, z}, max[3] = {x + 1, 1, z + 1}, center[3] = {x + 0.5f, 0.5f, z + 0.5f};
    engine->UpdateEntry(entry, min, max, center, 0.9f, nullptr);
  }
  void SplitAll() {
    Splitter splitter;
    for (void* partition : partitions) engine->TraverseSpacePartition(partition, &splitter, true);
  }
  bool Valid() const {
    for (void* partition : partitions)
      if (!CheckPartition(static_cast<KEL3DZone*>(partition))) return false;
    return true;
  }

private:
  float Uniform(float low, float high) { return random_.Uniform(low, high); }
  KELTestRandom random_;
};

// One client per view and run, so that the handles a view sees are its own.
struct ViewClient : RecordingClient {
  ViewClient() { answer = SeededAnswer; }
};

// Frame coherency on from the fourth frame and raised later, a lower
// threshold for a while: the same for every run.
void Settings(KELOcclusionCullingEngine* engine, int frame) {
  engine->SetFrameCoherency(frame < 3 || frame >= 10 ? 0 : (frame < 7 ? 2 : 6));
  engine->SetPixelHitsThreshold(frame >= 6 && frame < 8 ? 150 : 300);
}

// A walks down the field; B looks from 3 units to the side (a second eye),
// C from above and behind.
TestCamera CameraA(int frame) { return TestCamera(frame * 2.0f - 8.0f, 1.0f, 10.0f - frame * 6.0f); }
TestCamera CameraB(int frame) { return TestCamera(frame * 2.0f - 5.0f, 1.0f, 10.0f - frame * 6.0f); }
TestCamera CameraC(int frame) { return TestCamera(frame * -3.0f + 20.0f, 8.0f, 30.0f - frame * 2.0f); }

// Culls one frame of `view` (null: the default view) with its own client
// and returns its trace.
std::string Cull(ViewWorld& world, void* view, const TestCamera& camera, ViewClient& client) {
  KELOcclusionCullingEngine* engine = world.engine;
  engine->SetClient(&client);
  engine->SetView(view);
  camera.Apply(engine);
  client.ClearFrame();
  engine->StartCulling();
  for (void* partition : world.partitions) engine->AddPartition(partition);
  {
    KELQuietStdout quiet;
    engine->EndCulling();
  }
  engine->SetView(nullptr);
  return ClientTrace(client, world.objects);
}

class Views : public ::testing::Test {
protected:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();

  void SetUp() override {
    ResetSettings();
    KELSettings::_frameCounter = 1;
    const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1};
    engine->SetContributionCullingParameters(eye, dir, 0.05f, 0.2f);
  }
  void TearDown() override {
    for (void* view : views_) engine->DestroyView(view);
    engine->SetClient(nullptr);
    engine->SetView(nullptr);
    engine->StartCulling();
    const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1};
    engine->SetContributionCullingParameters(eye, dir, 0, 0);
    ResetSettings();
  }
  void* NewView() {
    void* view = engine->CreateView();
    EXPECT_NE(view, nullptr);
    views_.push_back(view);
    return view;
  }
  // A's traces over the walk; `others` are culled after A in every frame,
  // each from its own camera. Views are made fresh for the run (null: the
  // default view, whose frame counter starts at 0 too).
  std::vector<std::string> Walk(bool aIsDefault, const std::vector<int>& others) {
    ViewWorld world(99);
    // Where a created view starts.
    KELSettings::_frameCounter = 1;
    void* a = aIsDefault ? nullptr : NewView();
    std::vector<void*> other;
    for (int kind : others) other.push_back(kind == 0 ? nullptr : NewView());
    ViewClient clientA;
    std::vector<ViewClient> clients(others.size());
    std::vector<std::string> traces;
    for (int frame = 0; frame < kFrames; ++frame) {
      world.Change(frame);
      Settings(engine, frame);
      traces.push_back(Cull(world, a, CameraA(frame), clientA));
      for (size_t i = 0; i < other.size(); ++i)
        Cull(world, other[i], others[i] == 2 ? CameraC(frame) : CameraB(frame), clients[i]);
      EXPECT_TRUE(world.Valid()) << "frame " << frame;
    }
    for (void* view : views_) engine->DestroyView(view);
    views_.clear();
    return traces;
  }

  std::vector<void*> views_;
};

int Count(const std::string& trace, const std::string& what) {
  int n = 0;
  for (size_t at = trace.find(what); at != std::string::npos; at = trace.find(what, at + 1)) ++n;
  return n;
}

// Counts the queries of a trace that drew boxes of several subjects one
// after the other (batches), and the frames that differ.
int Batches(const std::vector<std::string>& traces) {
  int batches = 0;
  for (const std::string& trace : traces)
    for (size_t at = trace.find("BeginQuery"); at != std::string::npos; at = trace.find("BeginQuery", at + 1)) {
      const size_t end = trace.find("EndQuery", at);
      const size_t first = trace.find("EndDrawBoxes", at);
      if (first < end && trace.find("StartDrawBoxes", first) < end) ++batches;
    }
  return batches;
}

// Where two traces part, briefly (a full diff of long traces is slow to print).
::testing::AssertionResult SameTrace(const std::string& a, const std::string& b) {
  if (a == b) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const size_t from = at > 80 ? at - 80 : 0;
  return ::testing::AssertionFailure() << "traces part at " << at << ": ..." << a.substr(from, 160) << "\n  vs ..."
                                       << b.substr(from, 160);
}

::testing::AssertionResult SameTraces(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " frames vs " << b.size();
  for (size_t i = 0; i < a.size(); ++i)
    if (::testing::AssertionResult same = SameTrace(a[i], b[i]); !same) return same << " (frame " << i << ")";
  return ::testing::AssertionSuccess();
}

int Differing(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  int differing = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) differing += a[i] != b[i] ? 1 : 0;
  return differing;
}

}  // namespace

// The test that matters: culling A, B, A, B... gives A exactly the calls of
// A culled alone, whichever of them is the default view.
TEST_F(Views, AViewsCallsDoNotDependOnTheViewsCulledBetweenItsFrames) {
  for (bool aIsDefault : {false, true}) {
    SCOPED_TRACE(aIsDefault ? "A is the default view" : "A is a created view");
    const std::vector<std::string> alone = Walk(aIsDefault, {});
    // The scene exercises what the views must keep apart.
    EXPECT_GT(Batches(alone), 5);
    EXPECT_NE(alone[5].find("TouchObject"), std::string::npos);
    for (std::vector<int> others : {std::vector<int>{1}, std::vector<int>{1, 2}, std::vector<int>{aIsDefault ? 1 : 0}}) {
      EXPECT_TRUE(SameTraces(Walk(aIsDefault, others), alone)) << others.size() << " others";
    }
  }
}

// Without views of their own, B's frames change A's calls: what the test
// above guards against.
TEST_F(Views, SharingOneViewMakesAViewsCallsDependOnTheOther) {
  const std::vector<std::string> alone = Walk(true, {});
  ViewWorld world(99);
  KELSettings::_frameCounter = 1;
  ViewClient clientA, clientB;
  std::vector<std::string> shared;
  for (int frame = 0; frame < kFrames; ++frame) {
    world.Change(frame);
    Settings(engine, frame);
    shared.push_back(Cull(world, nullptr, CameraA(frame), clientA));
    Cull(world, nullptr, CameraB(frame), clientB);
  }
  EXPECT_GE(Differing(shared, alone), kFrames / 2);
}

// A created view behaves exactly as the default view: the compact state of
// created views loses nothing that these frames read.
TEST_F(Views, ACreatedViewCullsExactlyAsTheDefaultView) {
  EXPECT_TRUE(SameTraces(Walk(false, {}), Walk(true, {})));
}

// Frame coherency in one view across its counter's wrap, while another
// view culls between its frames: the same calls as away from the wrap.
TEST_F(Views, CoherencyHoldsAcrossAViewsCounterWrapWhileAnotherRuns) {
  std::vector<std::string> runs[3];
  for (int run = 0; run < 3; ++run) {
    ViewWorld world(7);
    void* a = NewView();
    void* b = NewView();
    static_cast<KELView*>(a)->iFrameCounter = run != 1 ? 1000 : INT32_MAX - 4;
    engine->SetFrameCoherency(run < 2 ? 3 : 0);
    ViewClient clientA, clientB;
    for (int frame = 0; frame < 10; ++frame) {
      world.Change(frame);
      runs[run].push_back(Cull(world, a, CameraA(frame), clientA));
      Cull(world, b, CameraB(frame), clientB);
      ASSERT_TRUE(world.Valid());
    }
    EXPECT_EQ(static_cast<KELView*>(a)->iFrameCounter, run != 1 ? 1010 : INT32_MIN + 5);
    EXPECT_EQ(static_cast<KELView*>(b)->iFrameCounter, 11);
    for (void* view : {a, b}) engine->DestroyView(view);
    views_.clear();
  }
  EXPECT_TRUE(SameTraces(runs[1], runs[0]));
  // Coherency did spare queries in those frames.
  int spared = 0;
  for (int frame = 0; frame < 10; ++frame) spared += Count(runs[2][frame], "BeginQuery") - Count(runs[0][frame], "BeginQuery");
  EXPECT_GT(spared, 50);
}

TEST_F(Views, FifteenViewsBesideTheDefaultThenNone) {
  std::vector<void*> made;
  for (int i = 0; i < kMaxViews - 1; ++i) made.push_back(NewView());
  for (size_t i = 0; i < made.size(); ++i)
    for (size_t j = 0; j < i; ++j) EXPECT_NE(made[i], made[j]);
  EXPECT_EQ(engine->CreateView(), nullptr);
  engine->DestroyView(made[6]);
  engine->DestroyView(made[6]);  // twice: nothing more happens
  EXPECT_EQ(engine->CreateView(), made[6]);
  EXPECT_EQ(engine->CreateView(), nullptr);
  engine->DestroyView(nullptr);
  engine->DestroyView(&made);  // not a view: ignored
  EXPECT_EQ(engine->CreateView(), nullptr);
}

// A view used for some frames, destroyed and made again starts afresh, like
// a view never used; an engine still naming it culls through the default
// view.
TEST_F(Views, ADestroyedViewIsForgottenAndItsPlaceStartsAfresh) {
  ViewWorld world(5);
  engine->SetFrameCoherency(2);
  void* used = NewView();
  ViewClient first;
  for (int frame = 0; frame < 5; ++frame) Cull(world, used, CameraA(frame), first);
  ASSERT_EQ(static_cast<KELView*>(used)->iFrameCounter, 6);

  // Destroyed between StartCulling and EndCulling: the default view culls.
  engine->SetView(used);
  engine->StartCulling();
  engine->DestroyView(used);
  const int32_t defaultFrame = KELSettings::_frameCounter;
  {
    KELQuietStdout quiet;
    first.ClearFrame();
    engine->EndCulling();
  }
  EXPECT_EQ(KELSettings::_frameCounter, defaultFrame + 1);
  // Selecting the destroyed handle selects the default view too.
  engine->SetView(used);
  engine->StartCulling();
  {
    KELQuietStdout quiet;
    engine->EndCulling();
  }
  EXPECT_EQ(KELSettings::_frameCounter, defaultFrame + 2);
  engine->SetView(nullptr);

  void* again = engine->CreateView();
  ASSERT_EQ(again, used);
  EXPECT_EQ(static_cast<KELView*>(again)->iFrameCounter, 1);
  void* fresh = NewView();
  ViewClient clientAgain, clientFresh;
  // A new view's first frame queries every subject alone: nothing it knows
  // nothing about waits in a batch, so nothing pops in a frame late.
  std::vector<std::string> opening;
  {
    ViewClient probe;
    void* other = NewView();
    opening.push_back(Cull(world, other, CameraA(5), probe));
  }
  EXPECT_EQ(Batches(opening), 0);
  EXPECT_GT(Count(opening[0], "BeginQuery"), 10);
  for (int frame = 5; frame < 9; ++frame)
    EXPECT_TRUE(SameTrace(Cull(world, again, CameraA(frame), clientAgain), Cull(world, fresh, CameraA(frame), clientFresh)))
        << "frame " << frame;
}

// Removed entries and destroyed partitions give their records back; in
// every view the records start without history when they are used again,
// so a view that culled the old partition culls the new one as a view
// that never saw either.
TEST_F(Views, RecycledRecordsStartAfreshInEveryView) {
  engine->SetFrameCoherency(2);
  void* old = NewView();
  std::vector<std::string> oldTraces, newTraces;
  {
    ViewWorld world(11);
    ViewClient client, clientDefault;
    for (int frame = 0; frame < 6; ++frame) {
      world.Change(frame);
      Cull(world, old, CameraA(frame), client);
      Cull(world, nullptr, CameraB(frame), clientDefault);
    }
    for (size_t i = 0; i < world.entries.size(); i += 3) {
      engine->RemoveEntry(world.entries[i]);
      world.entries[i] = world.entries.back();
      world.entries.pop_back();
      ASSERT_TRUE(world.Valid());
    }
    for (int frame = 6; frame < 8; ++frame) Cull(world, old, CameraA(frame), client);
  }  // destroys the partitions
  const KELPoolCensus census = KELPools::Census();
  EXPECT_GE(census.iEntries, 800u);
  EXPECT_GT(census.iZones, 10u);

  ViewWorld world(12);  // from the records just given back
  EXPECT_LT(KELPools::Census().iEntries, census.iEntries);
  for (void* entry : world.entries) {
    const KEL3DZoneEntry* record = static_cast<const KEL3DZoneEntry*>(entry);
    const KELViewEntryState& state = static_cast<KELView*>(old)->EntryState(record->iViewSlot);
    ASSERT_EQ(state.iHistoryFrame, 0u);
    ASSERT_EQ(state.iBits, 0u);
  }
  void* fresh = NewView();
  // The fresh view catches up with the old one's frame counter first.
  ViewClient clientOld, clientFresh;
  while (static_cast<KELView*>(fresh)->iFrameCounter < static_cast<KELView*>(old)->iFrameCounter) {
    engine->SetView(fresh);
    engine->SetClient(&clientFresh);
    engine->StartCulling();
    KELQuietStdout quiet;
    engine->EndCulling();
  }
  for (int frame = 0; frame < 6; ++frame) {
    world.Change(frame);
    EXPECT_TRUE(SameTrace(Cull(world, old, CameraA(frame), clientOld), Cull(world, fresh, CameraA(frame), clientFresh)))
        << "frame " << frame;
    ASSERT_TRUE(world.Valid());
  }
}

// Memory: a view that cannot get its tables is not made and nothing
// changes; an entry that would need a new chunk in a view's table is not
// added when the chunk cannot be had.
TEST_F(Views, CreateViewAndAddEntryFailCleanlyWithoutMemory) {
  KELPools::Drain();
  ViewWorld world(3);
  // Past the tables that views destroyed earlier in the process still hold,
  // so that a new view needs memory.
  int32_t covered = 0;
  for (const KELView& view : KELView::_views) covered = std::max(covered, view.iEntryChunks.count);
  int extra[5000];
  std::vector<void*> added;
  while (static_cast<int32_t>(KELView::_entrySlots >> 12) < covered)
    added.push_back(AddBox(engine, world.partitions[1], 0, 0, -10, 1, 1, -9, &extra[added.size() % 5000]));
  CountingAllocator counting;
  ScopedAllocator scope(&counting);
  counting.failing = true;
  EXPECT_EQ(engine->CreateView(), nullptr);
  counting.failing = false;
  void* view = NewView();
  ASSERT_NE(view, nullptr);
  EXPECT_GT(counting.allocations, 0);
  EXPECT_EQ(static_cast<KELView*>(view)->iFrameCounter, 1);

  // Fill up to the end of the view's last entry chunk, then fail the next
  // allocation: the chunk for one more record.
  while ((KELView::_entrySlots + 1) % 4096 != 0) {
    added.push_back(AddBox(engine, world.partitions[0], 0, 0, -10, 1, 1, -9, &extra[added.size() % 5000]));
    ASSERT_NE(added.back(), nullptr);
  }
  const uint32_t slots = KELView::_entrySlots;
  counting.FailAt(counting.calls, CountingAllocator::kOnlyAt);
  EXPECT_EQ(AddBox(engine, world.partitions[0], 0, 0, -10, 1, 1, -9, &extra[1]), nullptr);
  EXPECT_EQ(KELView::_entrySlots, slots);
  counting.Heal();
  KEL3DZoneEntry* entry = AddBox(engine, world.partitions[0], 0, 0, -10, 1, 1, -9, &extra[2]);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->iViewSlot, slots + 1);
  // The new chunk holds the new record's state apart from every other's.
  KELView* table = static_cast<KELView*>(view);
  EXPECT_NE(&table->EntryState(entry->iViewSlot), &table->EntryState(entry->iViewSlot - 4096));
  EXPECT_NE(&table->EntryState(entry->iViewSlot), &table->EntryState(0));
  ASSERT_TRUE(world.Valid());
  for (void* e : added) engine->RemoveEntry(e);
  engine->RemoveEntry(entry);
  ViewClient client;
  Cull(world, view, CameraA(0), client);
  EXPECT_TRUE(world.Valid());
}

// A created view keeps the last visible frame as a distance of up to 14
// frames before the entry's last sample; more counts as long ago.
TEST_F(Views, CreatedViewsKeepTheLastVisibleFrameUpToFourteenFramesBack) {
  ViewWorld world(1);
  KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(world.entries[0]);
  KELView* view = static_cast<KELView*>(NewView());
  KELViewScope scope(view);
  for (uint32_t distance = 0; distance < 20; ++distance) {
    view->iFrameCounter = 100;
    KELView::RecordEntry(entry, 100, true);
    KELView::MarkEntryVisible(entry, 100, 5000);
    view->iFrameCounter = static_cast<int32_t>(100 + distance);
    KELView::RecordEntry(entry, 100 + distance, false);
    view->iFrameCounter += 1;
    const int32_t ago = KELSettings::FramesSince(KELView::Frame(), KELView::EntryLastVisibleFrame(entry));
    if (distance < 15) EXPECT_EQ(ago, static_cast<int32_t>(distance) + 1) << distance;
    else EXPECT_LT(ago, 0) << distance;
    EXPECT_EQ(KELView::EntryPixelCount(entry), 5000u);
    EXPECT_EQ(KELView::EntryHistory(entry, static_cast<uint32_t>(KELView::Frame())), distance == 1 ? 2 : 0);
  }
}
