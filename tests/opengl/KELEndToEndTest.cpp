// The library culls a city walkthrough on a real OpenGL context and is
// judged against the exact visible set of every frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KELCityWalkCheck.h"

namespace {

using namespace kel_walk_tests;

KELWalkthroughOptions TestOptions(uint32_t threshold) { return WalkOptions(KELDemoApi::kOpenGL, threshold); }

class OpenGLEndToEnd : public ::testing::TestWithParam<KELWalkCase> {};

TEST_P(OpenGLEndToEnd, CityWalkDrawsEveryObjectAboveTheThreshold) {
  CheckCityWalk(KELDemoApi::kOpenGL, GetParam(), false);
}

// Besides the common cases, a host that leaves its own GL state behind as
// many engines do (GL_LESS, face culling, attributes pointed in whatever
// vertex array is bound).
std::vector<KELWalkCase> OpenGLCases() {
  std::vector<KELWalkCase> cases = CommonWalkCases();
  KELDemoTargetOptions engineLike;
  engineLike.iEngineLikeHost = true;
  cases.push_back({"engine-like host", 300, 300, engineLike});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Targets, OpenGLEndToEnd, ::testing::ValuesIn(OpenGLCases()));

// The culling must actually cull: fewer objects drawn than in the view
// volume on most frames, and never fewer than visible above the threshold.
TEST(OpenGLWalk, LibraryDrawsFewerObjectsThanFrustumCulling) {
  kel::KELScene scene = MakeTestCity();
  KELWalkthrough walk(scene, TestOptions(0));
  std::string error;
  if (!walk.Create(error)) GTEST_SKIP() << "no headless OpenGL context: " << error;
  walk.ComputeGroundTruth(nullptr);
  std::vector<KELFrameRecord> frustum = walk.Run(KELDemoMode::kFrustum, nullptr);
  std::vector<KELFrameRecord> library = walk.Run(KELDemoMode::kLibrary, nullptr);
  ASSERT_EQ(frustum.size(), library.size());
  size_t fewer = 0;
  for (size_t i = 0; i < library.size(); ++i)
    if (library[i].iDrawn < frustum[i].iDrawn) ++fewer;
  EXPECT_GT(fewer, library.size() * 3 / 4);
}

// The interactive window's views: the library seen twice from one camera
// misses nothing the second time (all was visible the first time); its
// result frozen and seen from elsewhere is drawn as it
// is, without queries; the oracle draws exactly the visible set.
TEST(OpenGLWalk, ViewsFromAnyCameraFreezeAndOracle) {
  kel::KELScene scene = MakeTestCity();
  KELWalkthrough walk(scene, TestOptions(0));
  std::string error;
  if (!walk.Create(error)) GTEST_SKIP() << "no headless OpenGL context: " << error;
  const KELFrameCamera& here = walk.GetCamera(10);
  const KELFrameCamera& there = walk.GetCamera(50);
  walk.RenderView(KELDemoMode::kLibrary, here, false, nullptr);
  KELFrameRecord library = walk.RenderView(KELDemoMode::kLibrary, here, true, nullptr);
  EXPECT_GT(library.iVisible, 0u);
  EXPECT_GT(library.iQueries, 0u);
  EXPECT_EQ(library.iMissed, 0u);
  std::vector<uint32_t> frozen;
  walk.GetDrawnObjects(frozen);
  EXPECT_EQ(frozen.size(), library.iDrawn);
  KELFrameRecord moved = walk.RenderView(KELDemoMode::kLibrary, there, false, &frozen);
  EXPECT_EQ(moved.iDrawn, frozen.size());
  EXPECT_EQ(moved.iQueries, 0u);
  KELFrameRecord oracle = walk.RenderView(KELDemoMode::kOracle, there, false, nullptr);
  EXPECT_GT(oracle.iVisible, 0u);
  EXPECT_EQ(oracle.iDrawn, oracle.iVisible);
  EXPECT_EQ(oracle.iMissed, 0u);
}

}  // namespace
