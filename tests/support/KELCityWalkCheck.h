// The library culling a walk through a small city on a real device, judged
// against the exact visible set of every frame: the end-to-end check that
// both clients' test programs run, on targets and hosts of several kinds.
#ifndef KEL_CITY_WALK_CHECK_H
#define KEL_CITY_WALK_CHECK_H

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "KELWalkthrough.h"

namespace kel_walk_tests {

struct KELWalkCase {
  const char* iName;
  uint32_t iThreshold;      // the library's, in samples
  uint32_t iCheckedPixels;  // misses count above this many visible pixels
  KELDemoTargetOptions iTarget;
};

inline void PrintTo(const KELWalkCase& walkCase, std::ostream* out) { *out << walkCase.iName; }

// A small city keeps the walk fast; the path still walks streets and flies
// over the roofs.
inline kel::KELScene MakeTestCity() {
  kel::KELSceneOptions options;
  options.iSeed = 7;
  options.iSize = 8;
  return kel::MakeCity(options);
}

inline KELWalkthroughOptions WalkOptions(KELDemoApi api, uint32_t threshold) {
  KELWalkthroughOptions options;
  options.iApi = api;
  options.iWidth = 320;
  options.iHeight = 180;
  options.iFrames = 72;
  options.iPixelThreshold = threshold;
  options.iCheckedPixels = threshold;
  return options;  // no frame coherency, no contribution culling
}

// The promise: from the second frame on, an object above the checked pixel
// count in this and the previous frame is drawn; one that just came into
// view may pop in one frame late, never two. Without a device the check
// skips, or fails where one must exist.
inline void CheckCityWalk(KELDemoApi api, const KELWalkCase& walkCase, bool deviceRequired) {
  kel::KELScene scene = MakeTestCity();
  KELWalkthroughOptions options = WalkOptions(api, walkCase.iThreshold);
  options.iCheckedPixels = walkCase.iCheckedPixels;
  options.iTarget = walkCase.iTarget;
  KELWalkthrough walk(scene, options);
  std::string error;
  if (!walk.Create(error)) {
    if (deviceRequired) FAIL() << "no " << GetApiName(api) << " device: " << error;
    GTEST_SKIP() << "no " << GetApiName(api) << " device: " << error;
  }
  walk.ComputeGroundTruth(nullptr);
  std::vector<KELFrameRecord> records = walk.Run(KELDemoMode::kLibrary, nullptr);
  ASSERT_EQ(records.size(), 72u);
  uint32_t pops = 0, visibleFrames = 0;
  for (const KELFrameRecord& record : records) {
    SCOPED_TRACE("frame " + std::to_string(record.iFrame) + ": " + std::to_string(record.iMissedChecked) +
                 " missed above the checked pixels of " + std::to_string(record.iVisible) + " visible");
    if (record.iVisible > 0) ++visibleFrames;
    pops += record.iPops;
    EXPECT_EQ(record.iLateMisses, 0u) << "objects visible in two frames running were not drawn";
    EXPECT_EQ(record.iRepeatMisses, 0u) << "objects missed two frames in a row";
  }
  // The walk must really look at things, or the checks above prove nothing.
  EXPECT_GT(visibleFrames, 60u);
  EXPECT_LE(walk.GetValidationErrors(), 0);
  std::printf("%s: %u one-frame pops over the walk\n", walkCase.iName, pops);
}

// The same walk on every kind of target: thresholds 0 and the default, a
// host with reversed depth, and a 4x multisampled target (counts are
// samples: the threshold is four times the pixels checked). Reversed depth
// runs at the default threshold: at 0, a node is sometimes judged before
// the batched re-query of one of its zones comes back (the library's
// judgement order), which depth rounding of one or the other kind can
// bring about on a few pixels.
inline std::vector<KELWalkCase> CommonWalkCases() {
  KELDemoTargetOptions reversed, multisampled;
  reversed.iReversedDepth = true;
  multisampled.iSamples = 4;
  return {{"threshold 0", 0, 0, {}},
          {"threshold 300", 300, 300, {}},
          {"reversed depth", 300, 300, reversed},
          {"4x multisampling", 4 * 300, 300, multisampled}};
}

}  // namespace kel_walk_tests

#endif
