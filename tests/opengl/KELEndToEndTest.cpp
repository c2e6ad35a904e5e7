// The library culls a city walkthrough on a real OpenGL context and is
// judged against the exact visible set of every frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KELWalkthrough.h"

namespace {

// A small city keeps the test fast; the path still walks streets and flies
// over the roofs.
kel::KELScene MakeTestCity() {
  kel::KELSceneOptions options;
  options.iSeed = 7;
  options.iSize = 8;
  return kel::MakeCity(options);
}

KELWalkthroughOptions TestOptions(uint32_t threshold) {
  KELWalkthroughOptions options;
  options.iWidth = 320;
  options.iHeight = 180;
  options.iFrames = 72;
  options.iPixelThreshold = threshold;
  options.iCheckedPixels = threshold;
  options.iFrameCoherency = 0;
  options.iContributionScale = 0;
  return options;
}

std::string Describe(const KELFrameRecord& r) {
  char text[200];
  std::snprintf(text, sizeof(text), "frame %d: drawn %u, visible %u, missed %u (%u above threshold), pops %u",
                r.iFrame, r.iDrawn, r.iVisible, r.iMissed, r.iMissedChecked, r.iPops);
  return text;
}

// Runs the library over the path and checks the promise: from the second
// frame on, an object above `threshold` pixels in this and the previous
// frame is drawn; one that just came into view may pop in one frame late,
// never two.
void CheckLibraryWalk(uint32_t threshold) {
  kel::KELScene scene = MakeTestCity();
  KELWalkthrough walk(scene, TestOptions(threshold));
  std::string error;
  if (!walk.Create(error)) GTEST_SKIP() << "no headless OpenGL context: " << error;
  walk.ComputeGroundTruth(nullptr);
  std::vector<KELFrameRecord> records = walk.Run(KELDemoMode::kLibrary, nullptr);
  ASSERT_EQ(records.size(), 72u);

  uint32_t pops = 0, visibleFrames = 0;
  for (const KELFrameRecord& record : records) {
    SCOPED_TRACE(Describe(record));
    if (record.iVisible > 0) ++visibleFrames;
    pops += record.iPops;
    if (record.iFrame == 0) continue;
    EXPECT_EQ(record.iLateMisses, 0u) << "objects visible in two frames running were not drawn";
    EXPECT_EQ(record.iRepeatMisses, 0u) << "objects missed two frames in a row";
    std::printf("%s\n", Describe(record).c_str());
  }
  // The walk must really look at things, or the checks above prove nothing.
  EXPECT_GT(visibleFrames, 60u);
  std::printf("threshold %u: %u one-frame pops over the walk\n", threshold, pops);
}

TEST(OpenGLEndToEnd, CityWalkWithoutThresholdDrawsEveryVisibleObject) { CheckLibraryWalk(0); }

TEST(OpenGLEndToEnd, CityWalkWithDefaultThresholdDrawsEveryObjectAboveIt) { CheckLibraryWalk(300); }

// The culling must actually cull: fewer objects drawn than in the view
// volume on most frames, and never fewer than visible above the threshold.
TEST(OpenGLEndToEnd, LibraryDrawsFewerObjectsThanFrustumCulling) {
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
TEST(OpenGLEndToEnd, ViewsFromAnyCameraFreezeAndOracle) {
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
