// Frames that cannot get memory: whatever a frame cannot queue, make or
// split is drawn or reported untested, never dropped and never twice.
#include <map>
#include <vector>

#include "CullingFixture.h"
#include "KELCullingFrame.h"
#include "KELCullingStatistics.h"
#include "KELOcclusionQueryTask.h"
#include "KELPools.h"
#include "KELScreenZone.h"

namespace {

class LowMemory : public Culling {
protected:
  std::vector<void*> shown;  // the objects a frame must draw or report
  std::vector<float> minX;   // per object, its box's least x

  // `count` small boxes over the screen at random depths, every third
  // loaded, every seventh hidden.
  void Scatter(KEL3DZone* p, int count, uint64_t seed) {
    KELTestRandom random{seed};
    for (int i = 0; i < count; ++i) {
      const float x = random.Uniform(-0.95f, 0.9f), y = random.Uniform(-0.95f, 0.9f), z = random.Uniform(0.1f, 0.9f);
      KEL3DZoneEntry* e = AddBox(engine, p, x, y, z, x + 0.05f, y + 0.05f, z + 0.05f, &objects[i]);
      minX.push_back(x);
      if (i % 3 == 0) engine->EntryLoaded(e);
      if (i % 7 == 0) engine->SetVisibility(e, false);
      else shown.push_back(&objects[i]);
    }
  }
  // Runs one frame with every allocation failing.
  void FrameWithoutMemory(KEL3DZone* p) {
    CountingAllocator failing;
    failing.failing = true;
    {
      ScopedAllocator scope(&failing);
      Frame({p});
    }
    EXPECT_GT(failing.failures, 0);
  }
  // The same with the pool of `freeList` empty, so that the frame must
  // allocate what it would otherwise have taken from there.
  template <typename Record>
  void FrameWithoutPool(KEL3DZone* p, Record*& freeList) {
    Record* pooled = freeList;
    freeList = nullptr;
    FrameWithoutMemory(p);
    freeList = pooled;
  }
  // Every shown object was drawn or reported exactly once, nothing else was.
  void ExpectEachShownOnce() const {
    std::map<const void*, int> seen;
    for (const void* o : client.drawnObjects) ++seen[o];
    for (const void* o : client.touchedObjects) ++seen[o];
    size_t once = 0;
    for (const void* o : shown) once += seen[o] == 1 ? 1 : 0;
    EXPECT_EQ(once, shown.size()) << "visible objects drawn or reported once";
    EXPECT_EQ(seen.size(), shown.size());
  }
};

}  // namespace

// The pools hold only what a frame needed in which zones were visible but
// no object on its own; the next frame sees every object and cannot get
// the queue elements, tasks or nodes for them.
TEST_F(LowMemory, AFrameWithoutMemoryDrawsOrReportsEveryVisibleObjectOnce) {
  KELPools::Drain();  // whatever earlier tests left in the pools
  KEL3DZone* p = NewPartition();
  Scatter(p, 600, 7);
  client.answer = [](const std::vector<DrawnBox>& boxes) {
    return boxes.size() == 1 && boxes[0].max[0] - boxes[0].min[0] < 0.06f ? 0u : 1000u;
  };
  Frame({p});
  client.answer = nullptr;
  FrameWithoutMemory(p);
  ExpectEachShownOnce();
  Frame({p});  // memory again: the frame culls as it would have
  ExpectEachShownOnce();
  // Without a screen record the partition goes untested: its objects are
  // drawn and reported at the end of the frame, after SetInside(false).
  FrameWithoutPool(p, KELScreenZone::_freeList);
  ExpectEachShownOnce();
  EXPECT_EQ(client.Count("BeginQuery"), 0);
  EXPECT_EQ(client.log[Find("SetInside(0)") + 1].rfind("DrawObject", 0), 0u);
}

// What a frame short of memory draws or reports untested passes the view
// test all the same: only the objects that reach x < 0 are shown.
TEST_F(LowMemory, WhatIsLeftOutKeepsToTheViewVolume) {
  KEL3DZone* p = NewPartition();
  Scatter(p, 300, 11);
  std::vector<void*> inView;
  for (void* o : shown)
    if (minX[static_cast<size_t>(static_cast<int*>(o) - objects)] < 0) inView.push_back(o);
  shown = inView;
  const float keep[4] = {1, 0, 0, 0}, none[4] = {0, 0, 0, -1};
  const float* planes[6] = {keep, none, none, none, none, none};
  engine->SetClippingPlanes(6, planes);
  engine->SetViewVolumeTests(true);
  Frame({p});
  FrameWithoutPool(p, KELOcclusionQueryTask::_freeList);
  ExpectEachShownOnce();
  FrameWithoutPool(p, KELScreenZone::_freeList);
  ExpectEachShownOnce();
}

// A root zone larger than half the screen has its loaded objects drawn
// before any query; when no zone task can be had for it, its node is left
// out, but those objects must not be drawn a second time.
TEST_F(LowMemory, ObjectsDrawnBeforeTheirNodeIsLeftOutAreNotDrawnAgain) {
  KEL3DZone* p = NewPartition();
  Scatter(p, 60, 3);
  Frame({p});  // fills the pools with the records this frame needs
  FrameWithoutPool(p, KELOcclusionQueryTask::_freeList);
  ExpectEachShownOnce();
}

// A partition that the frame list cannot take (no memory) is held aside and
// still culled; once the held store is full too, a partition is left out of
// the frame, and the frame's statistics count it.
TEST_F(LowMemory, PartitionsTheFrameListCannotTakeAreHeldOrCounted) {
  if (!KELHeapCounter::Available()) GTEST_SKIP() << "needs the heap interposer (not under sanitizers)";
  KEL3DZone* empty = NewPartition();
  KEL3DZone* p = NewPartition();
  AddBox(engine, p, 0, 0, 0.3f, 0.2f, 0.2f, 0.4f, &objects[0]);
  const KELGrowArray& list = KELEngineAccess::Partitions(engine);
  for (int dropped = 0; dropped < 2; ++dropped) {
    engine->StartCulling();  // makes room for the last frame's partitions
    do engine->AddPartition(empty);
    while (list.count < list.capacity);
    KELHeapCounter::Fail(true);
    engine->AddPartition(p);
    for (int i = 1; i < kHeldPartitionSlots + dropped; ++i) engine->AddPartition(empty);
    KELHeapCounter::Fail(false);
    client.ClearFrame();
    ::testing::internal::CaptureStdout();
    engine->EndCulling();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(client.touchedObjects, std::vector<void*>{&objects[0]});
    EXPECT_EQ(KELCullingStatistics::_last.iDroppedPartitions, dropped);
  }
  Frame({p});
  EXPECT_EQ(KELCullingStatistics::_last.iDroppedPartitions, 0);
}
