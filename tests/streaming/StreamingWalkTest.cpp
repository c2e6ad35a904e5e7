// End to end: a small city written as a pack streams into an empty view on
// OpenGL and on Vulkan, judged against the exact visible set. While the
// camera rests the first view completes and its holes close.
#include <gtest/gtest.h>

#include <string>

#include "KELDemoScenePack.h"
#include "KELQuietStdout.h"
#include "KELWalkthrough.h"

namespace {

class StreamingWalk : public testing::TestWithParam<KELDemoApi> {};

TEST_P(StreamingWalk, TheFirstViewCompletesAndItsHolesCloseWhileTheCameraRests) {
  kel::KELSceneOptions sceneOptions;
  sceneOptions.iSeed = 7;
  sceneOptions.iSize = 5;
  const kel::KELScene scene = kel::MakeCity(sceneOptions);
  const std::string path = testing::TempDir() + "/city-" + GetApiName(GetParam()) + ".kelpack";
  KELScenePackStats stats;
  std::string error;
  ASSERT_TRUE(WriteScenePack(scene, nullptr, path, stats, error)) << error;
  std::unique_ptr<KELPackSource> source = OpenPackFile(path, error);
  ASSERT_TRUE(source) << error;
  KELPackIndex index;
  ASSERT_TRUE(index.Open(*source, error)) << error;
  ASSERT_TRUE(CheckPackMatchesScene(index, scene, error)) << error;

  KELWalkthroughOptions options;
  options.iApi = GetParam();
  options.iWidth = 240;
  options.iHeight = 160;
  options.iFrames = 16;
  // Every visible pixel is drawn once loaded, and every visible object is
  // reported until it is.
  options.iPixelThreshold = options.iReportThreshold = options.iCheckedPixels = 0;
  options.iRestFrames = 20;
  options.iStream.iBudgetBytes = stats.iUnpackedBytes;
  // A few frames' worth of uploads for the first view.
  options.iStream.iUploadBytesPerFrame = stats.iUnpackedBytes / 40;
  KELWalkthrough walk(scene, options);
  if (!walk.Create(error)) GTEST_SKIP() << "no headless " << GetApiName(GetParam()) << ": " << error;
  walk.SetPack(&index, source.get());
  std::vector<KELFrameRecord> records, views;
  KELStreamingSummary summary;
  {
    KELQuietStdout quiet;  // the library's statistics lines
    walk.ComputeGroundTruth(nullptr);
    records = walk.RunStreaming(KELStreamingOrder::kOcclusion, nullptr);
    summary = walk.GetStreamingSummary();
    // The window's views stream the same way, starting empty.
    for (int frame = 0; frame < options.iRestFrames; ++frame)
      views.push_back(walk.RenderView(KELDemoMode::kStreaming, walk.GetCamera(0), true, nullptr));
  }
  ASSERT_EQ(records.size(), 36u);
  EXPECT_GT(records.front().iHolePct, 10.0) << "nothing is loaded at first";
  EXPECT_GT(summary.iFramesToComplete, 1);
  EXPECT_LE(summary.iFramesToComplete, options.iRestFrames);
  const KELFrameRecord& rested = records[options.iRestFrames - 1];
  EXPECT_TRUE(rested.iWarmup);
  EXPECT_EQ(rested.iHolePct, 0.0);
  EXPECT_EQ(rested.iVisibleUnloaded, 0u);
  EXPECT_GT(rested.iVisible, 20u) << "a view of nothing proves nothing";
  EXPECT_EQ(summary.iMissingMeshes, 0u);
  EXPECT_LE(summary.iPeakHeldBytes, options.iStream.iBudgetBytes);
  EXPECT_LT(summary.iReadBytes, index.GetPackedBytes()) << "only what was seen is read";
  EXPECT_TRUE(summary.iFailures.empty());
  EXPECT_LE(walk.GetValidationErrors(), 0);
  EXPECT_GT(views.front().iMissed, 0u);
  EXPECT_EQ(views.back().iMissed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Apis, StreamingWalk, testing::Values(KELDemoApi::kOpenGL, KELDemoApi::kVulkan),
                         [](const testing::TestParamInfo<KELDemoApi>& info) {
                           return std::string(GetApiName(info.param));
                         });

}  // namespace
