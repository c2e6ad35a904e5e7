// What a host's misuse gets: handles used again after removal, hostile
// geometry and degenerate cameras. None may crash, lose an entry or break a
// partition's invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "HardeningSupport.h"
#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "TestSupport.h"

namespace {

void* ObjectOf(int i) { return reinterpret_cast<void*>(static_cast<uintptr_t>(i + 1) * 16); }

size_t EntriesIn(void* partition) {
  KELPartitionCensus census;
  EXPECT_TRUE(CheckPartition(static_cast<KEL3DZone*>(partition), &census));
  return census.iEntries;
}

}  // namespace

TEST(Misuse, RemovedHandleIsIgnoredUntilItsRecordIsReused) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  void* partition = engine->CreateSpacePartition();
  KEL3DZoneEntry* kept = AddBox(engine, partition, 0, 0, 0, 1, 1, 1, ObjectOf(0));
  KEL3DZoneEntry* removed = AddBox(engine, partition, 5, 5, 5, 6, 6, 6, ObjectOf(1));
  engine->EntryLoaded(removed);
  removed->iHistory = 0xFF;  // as after frames in view
  removed->iHistoryFrame = 9;
  removed->iLastVisibleFrame = 9;
  engine->RemoveEntry(removed);
  ASSERT_EQ(EntriesIn(partition), 1u);

  // Every entry operation on the idle record leaves the partition as it is.
  const float min[3] = {-50, -50, -50}, max[3] = {-40, -40, -40}, center[3] = {-45, -45, -45};
  engine->RemoveEntry(removed);
  engine->UpdateEntry(removed, min, max, center, 9.0f, nullptr);
  engine->EntryLoaded(removed);
  engine->EntryUnLoaded(removed);
  engine->SetVisibility(removed, false);
  engine->SetTransparency(removed, true);
  EXPECT_EQ(EntriesIn(partition), 1u);
  EXPECT_EQ(static_cast<KEL3DZone*>(partition)->iMin[0], 0.0f) << "the idle record moved the bounds";
  EXPECT_EQ(kept->iZone, static_cast<KEL3DZone*>(partition));

  // The next entry takes the record over, fresh: unloaded, shown, opaque,
  // without the visibility history of the entry before.
  KEL3DZoneEntry* reused = AddBox(engine, partition, 2, 2, 2, 3, 3, 3, ObjectOf(2));
  EXPECT_EQ(reused, removed);
  EXPECT_EQ(reused->iHistory, 0);
  EXPECT_EQ(reused->iHistoryFrame, 0u);
  EXPECT_EQ(reused->iLastVisibleFrame, 0);
  EXPECT_FALSE(reused->IsLoaded());
  EXPECT_FALSE(reused->IsHidden());
  EXPECT_FALSE(reused->IsTransparent());
  EXPECT_EQ(reused->iObject, ObjectOf(2));
  EXPECT_EQ(EntriesIn(partition), 2u);
  engine->DestroySpacePartition(partition);
}

// A partition destroyed twice: the second call does nothing, so the pool
// holds its records once and later partitions get records of their own.
TEST(Misuse, APartitionDestroyedTwiceIsPooledOnce) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  void* destroyed = engine->CreateSpacePartition();
  engine->DestroySpacePartition(destroyed);
  engine->DestroySpacePartition(destroyed);
  void* first = engine->CreateSpacePartition();
  void* second = engine->CreateSpacePartition();
  EXPECT_NE(first, second);
  engine->DestroySpacePartition(first);
  engine->DestroySpacePartition(second);
}

// Entries with every kind of hostile box, culled through cameras that are
// sound, singular, projective (w = 0) or not finite, with hostile planes.
TEST(Misuse, HostileGeometryAndCamerasNeverBreakAFrame) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  ResetSettings();
  RecordingClient client;
  client.logStates = client.logBoxes = false;
  engine->SetClient(&client);
  void* partition = engine->CreateSpacePartition();
  std::vector<void*> handles;
  KELTestRandom random{5};
  for (int i = 0; i < 300; ++i) {
    const float x = random.Uniform(-50, 50), y = random.Uniform(-50, 50), z = random.Uniform(-90, -5);
    handles.push_back(AddBox(engine, partition, x, y, z, x + 1, y + 1, z + 1, ObjectOf(i)));
    if (i % 2 == 0) engine->EntryLoaded(handles.back());
  }
  const float kNan = NAN, kInf = INFINITY;
  const float hostile[][6] = {{kNan, 0, 0, 1, 1, 1},          {0, 0, 0, kNan, kNan, kNan},
                              {-kInf, -kInf, -kInf, kInf, kInf, kInf}, {5, 5, 5, -5, -5, -5},
                              {3, 3, 3, 3, 3, 3},             {-FLT_MAX, 0, 0, FLT_MAX, 1, 1},
                              {FLT_TRUE_MIN, 0, 0, 2 * FLT_TRUE_MIN, 0, 0}, {1e30f, 1e30f, 1e30f, 1e31f, 1e31f, 1e31f}};
  int next = 300;
  for (const float* box : hostile) {
    const float center[3] = {box[0], box[1], box[2]};
    void* handle = engine->AddEntry(partition, ObjectOf(next++), box, box + 3, center, -1.0f, nullptr);
    ASSERT_NE(handle, nullptr);
    handles.push_back(handle);
    if (next % 2 == 0) engine->EntryLoaded(handle);
  }
  ASSERT_EQ(EntriesIn(partition), handles.size());

  TestCamera sound(0, 0, 10);
  float singular[16] = {}, projective[16], notFinite[16];
  for (int i = 0; i < 16; ++i) projective[i] = notFinite[i] = (i % 5 == 0) ? 1.0f : 0.0f;
  projective[15] = 0.0f;
  notFinite[0] = kNan;
  notFinite[13] = kInf;
  const float* projections[] = {sound.projection, singular, projective, notFinite, sound.projection};
  const float nanPlane[4] = {kNan, kNan, kNan, kNan}, infPlane[4] = {kInf, 0, 0, -kInf};
  const float* badPlanes[6] = {nanPlane, infPlane, nullptr, sound.planes[3], sound.planes[4], sound.planes[5]};
  for (int f = 0; f < 10; ++f) {
    engine->SetViewMatrix(sound.view);
    engine->SetProjectionMatrix(projections[f % 5]);
    engine->SetClippingPlanes(6, f < 5 ? sound.planes : badPlanes);
    engine->StartCulling();
    engine->AddPartition(partition);
    client.ClearFrame();
    engine->EndCulling();
    ASSERT_EQ(EntriesIn(partition), handles.size()) << "frame " << f;
    // Whatever a frame decides, it only ever names live entries.
    for (void* object : client.touchedObjects) {
      const uintptr_t value = reinterpret_cast<uintptr_t>(object);
      EXPECT_TRUE(value % 16 == 0 && value >= 16 && value <= static_cast<uintptr_t>(next) * 16);
    }
  }
  // A sound camera again: the ordinary entries in view are seen.
  engine->SetProjectionMatrix(sound.projection);
  engine->SetClippingPlanes(6, sound.planes);
  engine->StartCulling();
  engine->AddPartition(partition);
  client.ClearFrame();
  engine->EndCulling();
  EXPECT_GT(client.touchedObjects.size() + client.drawnObjects.size(), 0u);

  for (void* handle : handles) engine->RemoveEntry(handle);
  EXPECT_EQ(EntriesIn(partition), 0u);
  // An empty frame hands the pooled query handles' elements back to the
  // library's free list before the client goes.
  engine->StartCulling();
  engine->EndCulling();
  engine->SetClient(nullptr);
  engine->SetClippingPlanes(0, nullptr);
  engine->DestroySpacePartition(partition);
}
