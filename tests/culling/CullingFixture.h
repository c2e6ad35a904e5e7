// A fixture for whole frames: identity matrices (NDC = world coordinates,
// in front of the camera where z > 0), no clipping planes, a recording
// client, default settings.
#ifndef KEL_TEST_CULLING_FIXTURE_H
#define KEL_TEST_CULLING_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InvariantChecker.h"
#include "KEL3DZone.h"
#include "KELSettings.h"
#include "TestSupport.h"

class Culling : public ::testing::Test {
protected:
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  RecordingClient client;
  int objects[4096];

  void SetUp() override {
    engine->SetViewMatrix(kIdentity);
    engine->SetProjectionMatrix(kIdentity);
    engine->SetClippingPlanes(0, nullptr);
    const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, 1};
    engine->SetContributionCullingParameters(eye, dir, 0, 0);
    engine->SetClient(&client);
    engine->SetViewVolumeTests(false);
    ResetSettings();
  }
  void TearDown() override {
    engine->SetClient(nullptr);
    engine->StartCulling();
    ResetSettings();
  }
  KEL3DZone* NewPartition() { return static_cast<KEL3DZone*>(engine->CreateSpacePartition()); }
  // Runs one frame over `partitions`; returns the statistics lines printed.
  std::string Frame(std::initializer_list<KEL3DZone*> partitions) {
    client.ClearFrame();
    engine->StartCulling();
    for (KEL3DZone* p : partitions) engine->AddPartition(p);
    ::testing::internal::CaptureStdout();
    engine->EndCulling();
    return ::testing::internal::GetCapturedStdout();
  }
  // Index of the first log line equal to `line` at or after `from`, or -1.
  int Find(const std::string& line, int from = 0) const {
    for (size_t i = static_cast<size_t>(from); i < client.log.size(); ++i)
      if (client.log[i] == line) return static_cast<int>(i);
    return -1;
  }
  static bool SameBox(const DrawnBox& box, const float* mn, const float* mx) {
    for (int a = 0; a < 3; ++a)
      if (box.min[a] != mn[a] || box.max[a] != mx[a]) return false;
    return true;
  }
  // Queries of the frame that drew exactly the one box [mn, mx].
  int QueriesOf(const float* mn, const float* mx) const {
    int n = 0;
    for (const std::vector<DrawnBox>& q : client.queries)
      if (q.size() == 1 && SameBox(q[0], mn, mx)) ++n;
    return n;
  }
  static bool CheckPartitionOk(const KEL3DZone* p) { return CheckPartition(p); }
  bool Touched(const void* object) const {
    for (void* o : client.touchedObjects)
      if (o == object) return true;
    return false;
  }
};

#endif
