// A seeded multi-frame scene whose whole client call trace (every call, the
// objects drawn and reported, the boxes of every query, the statistics)
// must stay exactly as recorded: a guard for changes that are meant to
// leave behaviour alone.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "KELSettings.h"
#include "TestSupport.h"

namespace {

uint32_t _seed = 12345;
float Random(float low, float high) {
  _seed = _seed * 1664525u + 1013904223u;
  return low + (high - low) * static_cast<float>(_seed >> 8) / 16777216.0f;
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

}  // namespace

TEST(GoldenTrace, SeededSceneGivesTheRecordedCallTrace) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  static int objects[1200];
  RecordingClient client;
  std::string trace;
  auto record = [&]() { trace += ClientTrace(client, objects); };
  client.answer = SeededAnswer;
  ResetSettings();
  KELSettings::_frameCounter = 0;
  engine->SetClient(&client);
  const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1};
  engine->SetContributionCullingParameters(eye, dir, 0.05f, 0.2f);

  // Three partitions: a crowded field of small boxes (it splits), a few
  // large walls, and a handful behind the first camera.
  const int counts[3] = {900, 60, 40};
  void* partitions[3];
  std::vector<void*> entries;
  int object = 0;
  for (int p = 0; p < 3; ++p) {
    partitions[p] = engine->CreateSpacePartition();
    for (int i = 0; i < counts[p]; ++i, ++object) {
      const float x = Random(-60, 60), y = Random(-4, 4), z = p == 2 ? Random(5, 40) : Random(-150, -3);
      const float size = p == 1 ? Random(4, 20) : Random(0.2f, 2.5f);
      const float min[3] = {x, y, z}, max[3] = {x + size, y + Random(0.5f, size), z + size * 0.3f};
      const float center[3] = {x + size / 2, y + size / 2, z + size * 0.15f};
      float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, Random(-1, 1), 0, 0, 1};
      void* entry = engine->AddEntry(partitions[p], &objects[object], min, max, center, size, i % 9 == 0 ? matrix
                                                                                                        : nullptr);
      entries.push_back(entry);
      if (i % 5 < 3) engine->EntryLoaded(entry);
      if (i % 23 == 0) engine->SetVisibility(entry, false);
      if (i % 17 == 0) engine->SetTransparency(entry, true);
    }
  }

  for (int frame = 0; frame < 10; ++frame) {
    engine->SetFrameCoherency(frame >= 4 && frame < 8 ? 2 : 0);
    if (frame == 6) engine->SetPixelHitsThreshold(150);
    // Some entries move, load, unload or change visibility between frames.
    for (int k = 0; k < 40; ++k) {
      void* entry = entries[static_cast<size_t>((frame * 97 + k * 31) % entries.size())];
      if (k % 4 == 0) engine->EntryUnLoaded(entry);
      else if (k % 4 == 1) engine->EntryLoaded(entry);
      else if (k % 4 == 2) engine->SetVisibility(entry, k % 8 != 2);
      else {
        const float x = Random(-50, 50), z = Random(-120, -5);
        const float min[3] = {x, 0, z}, max[3] = {x + 1, 1, z + 1}, center[3] = {x + 0.5f, 0.5f, z + 0.5f};
        engine->UpdateEntry(entry, min, max, center, 0.9f, nullptr);
      }
    }
    TestCamera camera(frame * 2.0f - 8.0f, 1.0f, 10.0f - frame * 6.0f);
    camera.Apply(engine);
    client.ClearFrame();
    engine->StartCulling();
    for (void* partition : partitions) engine->AddPartition(partition);
    ::testing::internal::CaptureStdout();
    engine->EndCulling();
    trace += ::testing::internal::GetCapturedStdout();
    record();
  }

  for (void* partition : partitions) engine->DestroySpacePartition(partition);
  engine->SetClient(nullptr);
  engine->StartCulling();
  engine->SetClippingPlanes(0, nullptr);
  engine->SetContributionCullingParameters(eye, dir, 0, 0);
  ResetSettings();

  // KEL_TRACE_OUT names a file for the whole trace, to compare by eye.
  if (const char* path = std::getenv("KEL_TRACE_OUT")) std::ofstream(path) << trace;
  char hash[32];
  std::snprintf(hash, sizeof(hash), "%016" PRIx64, Fnv1a(trace));
  EXPECT_EQ(std::string(hash), "55fa1e53f66a73a6");
}
