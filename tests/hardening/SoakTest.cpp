// Soak: thousands of frames of a moving camera with edits between every two
// frames (adds, removes, moves, load and visibility changes) over two
// partitions. The partitions must stay valid and complete throughout, and
// the memory taken from the allocator and the pools must stop growing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "HardeningSupport.h"
#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "KELPools.h"
#include "TestSupport.h"

namespace {

constexpr int kPartitions = 2;
constexpr int kStartEntries = 1500;
constexpr int kCheckpoints = 10;

int SoakFrames() {
  if (const char* frames = std::getenv("KEL_SOAK_FRAMES")) return std::max(kCheckpoints, std::atoi(frames));
  return 10000;
}

struct SoakEntry {
  void* iHandle;
  int iPartition;
  float iCenter[3];
  float iHalf;
};

class Soak {
public:
  Soak() : iClient(kZero, kZero) {
    iPrevious = KELAllocator::GetAllocator();
    KELAllocator::SetAllocator(&iAllocator);
    KELPools::Drain();
    ResetSettings();
    iEngine->SetFrameCoherency(1);
    iEngine->SetClient(&iClient);
    for (void*& partition : iPartition) partition = iEngine->CreateSpacePartition();
    for (int i = 0; i < kStartEntries; ++i) Add();
  }

  ~Soak() {
    for (void* partition : iPartition) iEngine->DestroySpacePartition(partition);
    iEngine->StartCulling();
    iEngine->EndCulling();
    iEngine->SetClient(nullptr);
    ResetSettings();
    KELAllocator::SetAllocator(iPrevious);
  }

  // One frame of camera movement, then a round of edits.
  void Step(int frame) {
    const float t = static_cast<float>(frame) * 0.01f;
    const float eye[3] = {150.0f * std::sin(t), 20.0f * std::sin(t * 3.0f), 150.0f * std::cos(t) + 20.0f};
    TestCamera camera(eye[0], eye[1], eye[2]);
    camera.Apply(iEngine);
    const float direction[3] = {0.0f, 0.0f, -1.0f};
    iEngine->SetContributionCullingParameters(eye, direction, 0.01f, 1.0f);
    // What the camera sees of the scene: a box ahead of it.
    for (int a = 0; a < 3; ++a) {
      iClient.iRegionMin[a] = eye[a] - 60.0f;
      iClient.iRegionMax[a] = eye[a] + 60.0f;
    }
    iClient.iRegionMax[2] = eye[2] - 5.0f;
    iEngine->StartCulling();
    for (void* partition : iPartition) iEngine->AddPartition(partition);
    iClient.StartFrame();
    iEngine->EndCulling();
    Edit();
  }

  ::testing::AssertionResult Check() const {
    size_t expected[kPartitions] = {};
    for (const SoakEntry& entry : iEntries) expected[entry.iPartition] += 1;
    for (int p = 0; p < kPartitions; ++p) {
      KELPartitionCensus census;
      ::testing::AssertionResult valid = CheckPartition(static_cast<KEL3DZone*>(iPartition[p]), &census);
      if (!valid) return valid;
      if (census.iEntries != expected[p])
        return ::testing::AssertionFailure() << "partition " << p << " holds " << census.iEntries << " entries, "
                                             << expected[p] << " added";
    }
    return ::testing::AssertionSuccess();
  }

  CountingAllocator iAllocator;
  KELRegionClient iClient;
  size_t iTouched = 0;

private:
  static constexpr float kZero[3] = {0, 0, 0};
  KELAllocator* iPrevious;
  KELOcclusionCullingEngine* iEngine = KELOcclusionCullingEngine::GetInstance();
  void* iPartition[kPartitions] = {};
  std::vector<SoakEntry> iEntries;
  KELTestRandom iRandom{99};
  float iMatrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

  void Geometry(const SoakEntry& entry, float* min, float* max) const {
    for (int a = 0; a < 3; ++a) {
      min[a] = entry.iCenter[a] - entry.iHalf;
      max[a] = entry.iCenter[a] + entry.iHalf;
    }
  }

  void Add() {
    SoakEntry entry;
    entry.iPartition = static_cast<int>(iRandom.Next() % kPartitions);
    for (int a = 0; a < 3; ++a) entry.iCenter[a] = iRandom.Uniform(-200.0f, 200.0f);
    entry.iHalf = iRandom.Uniform(0.2f, 5.0f);
    float min[3], max[3];
    Geometry(entry, min, max);
    const bool withMatrix = (iRandom.Next() & 3) == 0;
    entry.iHandle = iEngine->AddEntry(iPartition[entry.iPartition], reinterpret_cast<void*>(iEntries.size() * 16 + 16),
                                      min, max, entry.iCenter, entry.iHalf * 1.7f, withMatrix ? iMatrix : nullptr);
    ASSERT_NE(entry.iHandle, nullptr);
    if ((iRandom.Next() & 1) == 0) iEngine->EntryLoaded(entry.iHandle);
    iEntries.push_back(entry);
  }

  void RemoveOne() {
    const size_t index = iRandom.Next() % iEntries.size();
    iEngine->RemoveEntry(iEntries[index].iHandle);
    iEntries[index] = iEntries.back();
    iEntries.pop_back();
  }

  void MoveOne() {
    SoakEntry& entry = iEntries[iRandom.Next() % iEntries.size()];
    // Mostly small steps, now and then a jump across the scene.
    const float step = (iRandom.Next() % 10) == 0 ? 150.0f : 3.0f;
    for (int a = 0; a < 3; ++a) entry.iCenter[a] += iRandom.Uniform(-step, step);
    float min[3], max[3];
    Geometry(entry, min, max);
    iEngine->UpdateEntry(entry.iHandle, min, max, entry.iCenter, entry.iHalf * 1.7f, nullptr);
  }

  void Edit() {
    const int adds = static_cast<int>(iRandom.Next() % 8);
    for (int i = 0; i < adds; ++i) Add();
    for (int i = 0; i < adds; ++i) RemoveOne();
    for (int i = 0; i < 25; ++i) MoveOne();
    for (int i = 0; i < 6; ++i) {
      void* handle = iEntries[iRandom.Next() % iEntries.size()].iHandle;
      if (iRandom.Next() & 1) iEngine->EntryLoaded(handle);
      else iEngine->EntryUnLoaded(handle);
    }
    void* handle = iEntries[iRandom.Next() % iEntries.size()].iHandle;
    iEngine->SetVisibility(handle, (iRandom.Next() & 3) != 0);
    // Now and then a partition is rebuilt, as a host does after large edits.
    if (iRandom.Next() % 500 == 0) {
      void* partition = iPartition[iRandom.Next() % kPartitions];
      iEngine->ActivateSpacePartition(partition, false);
      iEngine->ActivateSpacePartition(partition, true);
    }
  }
};

}  // namespace

// A viewer opening and closing models for days: once the pools hold what
// one cycle of create, fill, cull and destroy needs, the cycles take
// nothing more from the allocator, and a partition made after them is sound.
TEST(Soak, DestroyedPartitionsAreReused) {
  const int cycles = KELUnderSanitizer() ? 1000 : 10000;
  CountingAllocator allocator;
  KELAllocator* previous = KELAllocator::GetAllocator();
  KELAllocator::SetAllocator(&allocator);
  KELPools::Drain();
  ResetSettings();
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  TestCamera(0, 0, 10).Apply(engine);
  const float zero[3] = {0, 0, 0}, regionMin[3] = {-40, -30, -150}, regionMax[3] = {35, 40, -20};
  engine->SetContributionCullingParameters(zero, zero, 0, 0);
  KELRegionClient client(regionMin, regionMax);
  engine->SetClient(&client);
  size_t bytesAfter100 = 0;
  void* partition = nullptr;
  ::testing::internal::CaptureStdout();
  for (int cycle = 1; cycle <= cycles + 1; ++cycle) {
    if (partition != nullptr) engine->DestroySpacePartition(partition);
    if (cycle == 101) bytesAfter100 = allocator.bytes;
    partition = engine->CreateSpacePartition();
    KELTestRandom random{11};
    for (int i = 0; i < 1000; ++i) {
      const float x = random.Uniform(-80, 80), y = random.Uniform(-80, 80), z = random.Uniform(-200, -5);
      const float min[3] = {x, y, z}, max[3] = {x + 2, y + 2, z + 2};
      void* entry = engine->AddEntry(partition, reinterpret_cast<void*>(16 * (i + 1)), min, max, min, 2, nullptr);
      if (i % 3 == 0) engine->EntryLoaded(entry);
    }
    engine->StartCulling();
    engine->AddPartition(partition);
    client.StartFrame();
    engine->EndCulling();
  }
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(allocator.bytes, bytesAfter100);
  EXPECT_GT(client.iTouched.size() + client.iDrawn.size(), 0u);
  KELPartitionCensus census;
  EXPECT_TRUE(CheckPartition(static_cast<KEL3DZone*>(partition), &census));
  EXPECT_EQ(census.iEntries, 1000u);
  engine->DestroySpacePartition(partition);
  engine->SetClient(nullptr);
  KELPools::Drain();
  KELAllocator::SetAllocator(previous);
}

TEST(Soak, MemoryPlateausAndPartitionsStayValid) {
  const int frames = SoakFrames();
  Soak soak;
  ASSERT_TRUE(soak.Check());
  std::vector<size_t> bytes;
  std::vector<long> records;
  size_t touched = 0, drawn = 0;
  for (int frame = 1; frame <= frames; ++frame) {
    soak.Step(frame);
    touched += soak.iClient.iTouched.size();
    drawn += soak.iClient.iDrawn.size();
    ASSERT_TRUE(soak.Check()) << "after frame " << frame;
    if (frame % (frames / kCheckpoints) == 0) {
      bytes.push_back(soak.iAllocator.bytes);
      records.push_back(soak.iAllocator.calls);
      const KELPoolCensus pools = KELPools::Census();
      std::printf("[ soak     ] frame %6d: %zu bytes in %ld records; pooled: %zu entries, %zu zones, "
                  "%zu screen zones, %zu nodes, %zu tasks, %zu batches, %zu elements\n",
                  frame, soak.iAllocator.bytes, soak.iAllocator.calls, pools.iEntries, pools.iZones,
                  pools.iScreenZones, pools.iNodes, pools.iTasks, pools.iBatches,
                  pools.iElements + pools.iRebuildElements);
    }
  }
  // The camera saw something and culled something on the way.
  EXPECT_GT(touched, static_cast<size_t>(frames));
  EXPECT_GT(drawn, static_cast<size_t>(frames));
  // Plateau: every record the pools hold came from the allocator, so the
  // records made bound the pools. After the first half they may rise only
  // with rare new peaks of the scene, by at most 2%; a record lost per
  // frame would double them.
  const size_t middleBytes = bytes[kCheckpoints / 2 - 1];
  const long middleRecords = records[kCheckpoints / 2 - 1];
  EXPECT_LE(bytes.back(), middleBytes + middleBytes / 50) << "allocator memory keeps growing";
  EXPECT_LE(records.back(), middleRecords + middleRecords / 50) << "records keep being made";
}
