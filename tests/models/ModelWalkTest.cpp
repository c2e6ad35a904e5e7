// End to end on real data: the library culls a walk through a neighbourhood
// of BIM houses and a tour of a game level, drawing the real triangles, and
// is judged against their exact visible set (skipped where Debian's data
// packages are missing).
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "KELWalkthrough.h"

namespace {

struct KELModelWalkCase {
  const char* iName;
  const char* iPath;  // a file, or ARCHIVE:MEMBER
  int iGrid;
  uint32_t iThreshold;
  KELDemoApi iApi;
};

const char* const kHouse = "/usr/share/assimp/models/IFC/AC14-FZK-Haus.ifc";
const char* const kLevel = "/usr/share/games/openarena/baseoa/pak1-maps.pk3:maps/oa_dm1.bsp";

bool DataInstalled(const std::string& path) {
  FILE* file = std::fopen(path.substr(0, path.find(':')).c_str(), "rb");
  if (file) std::fclose(file);
  return file != nullptr;
}

void PrintTo(const KELModelWalkCase& test, std::ostream* out) { *out << test.iName; }

class KELModelWalk : public testing::TestWithParam<KELModelWalkCase> {};

// From the second frame on, an object above the threshold in this and the
// previous frame is drawn, and none is missed two frames running.
TEST_P(KELModelWalk, DrawsEveryObjectVisibleTwoFramesRunning) {
  const KELModelWalkCase& test = GetParam();
  if (!DataInstalled(test.iPath)) GTEST_SKIP() << test.iPath << " is missing (scripts/install-deps.sh installs it)";
  KELDemoModelOptions modelOptions;
  modelOptions.iPath = test.iPath;
  modelOptions.iGrid = test.iGrid;
  modelOptions.iFrames = 48;
  KELDemoModelScene model;
  std::string error;
  ASSERT_TRUE(MakeDemoModelScene(modelOptions, model, error)) << error;

  KELWalkthroughOptions options;
  options.iApi = test.iApi;
  options.iWidth = 192;
  options.iHeight = 108;
  options.iNearPlane = model.iNearPlane;
  options.iPixelThreshold = test.iThreshold;
  options.iCheckedPixels = test.iThreshold;
  options.iViewTests = true;
  options.iPvsPartitions = true;  // levels only
  options.iFrameCoherency = model.iModel.iIsLevel ? 4 : 0;  // the demo's defaults
  KELWalkthrough walk(model, options);
  if (!walk.Create(error)) GTEST_SKIP() << "no headless " << GetApiName(test.iApi) << ": " << error;
  walk.ComputeGroundTruth(nullptr);
  uint32_t lookingAtSomething = 0;
  for (const KELFrameRecord& record : walk.Run(KELDemoMode::kLibrary, nullptr)) {
    if (record.iVisible > 0) ++lookingAtSomething;
    EXPECT_EQ(record.iLateMisses + record.iRepeatMisses, 0u) << "frame " << record.iFrame;
  }
  // A walk that looks at nothing proves nothing.
  EXPECT_GT(lookingAtSomething, 40u);
}

INSTANTIATE_TEST_SUITE_P(RealData, KELModelWalk,
                         testing::Values(KELModelWalkCase{"HouseThreshold0", kHouse, 3, 0, KELDemoApi::kOpenGL},
                                         KELModelWalkCase{"HouseThreshold300", kHouse, 3, 300, KELDemoApi::kOpenGL},
                                         KELModelWalkCase{"LevelThreshold0", kLevel, 1, 0, KELDemoApi::kOpenGL},
                                         KELModelWalkCase{"LevelThreshold300", kLevel, 1, 300, KELDemoApi::kOpenGL},
                                         KELModelWalkCase{"LevelOnVulkan", kLevel, 1, 0, KELDemoApi::kVulkan}),
                         [](const testing::TestParamInfo<KELModelWalkCase>& info) { return info.param.iName; });

}  // namespace
