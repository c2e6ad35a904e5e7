// The demo's views walk on a small city, judged per view against its own
// ground truth: shared by the OpenGL and the Vulkan end-to-end tests.
#ifndef KEL_VIEWS_WALK_CHECK_H
#define KEL_VIEWS_WALK_CHECK_H

#include <gtest/gtest.h>

#include <string>

#include "KELDemoViews.h"
#include "KELWalkthrough.h"

struct KELViewsWalkCase {
  KELDemoApi iApi;
  KELDemoViewKind iKind;
  bool iShadow;
  uint32_t iThreshold;
  int iCitySize;
};

// Runs the walk; false (with `error`) when the API has no device here.
inline bool RunViewsWalk(const KELViewsWalkCase& test, KELViewsResult& result, std::string& error) {
  kel::KELSceneOptions sceneOptions;
  sceneOptions.iSeed = 7;
  sceneOptions.iSize = test.iCitySize;
  const kel::KELScene scene = kel::MakeCity(sceneOptions);
  KELWalkthroughOptions options;
  options.iApi = test.iApi;
  options.iWidth = 320;
  options.iHeight = 180;
  options.iFrames = 30;
  options.iPixelThreshold = options.iCheckedPixels = test.iThreshold;
  KELWalkthrough walk(scene, options);
  if (!walk.Create(error)) return false;
  KELDemoViewOptions views;
  views.iKind = test.iKind;
  views.iShadow = test.iShadow;
  views.iPictures = 0;
  result = RunDemoViews(walk, views);
  EXPECT_LE(walk.GetValidationErrors(), 0);
  return true;
}

// Every view culled with the others gets exactly what it gets culled
// alone (its own history: nothing of another view's frames reaches it), and
// the walk really looks at things.
inline void ExpectEachViewAsAlone(const KELViewsResult& result) {
  ASSERT_EQ(result.iTogether.size(), result.iAlone.size());
  for (size_t v = 0; v < result.iTogether.size(); ++v) {
    const KELViewRun& together = result.iTogether[v];
    const KELViewRun& alone = result.iAlone[v];
    ASSERT_EQ(together.iRecords.size(), alone.iRecords.size());
    uint32_t visibleFrames = 0;
    for (size_t f = 0; f < together.iRecords.size(); ++f) {
      const KELFrameRecord& a = together.iRecords[f];
      const KELFrameRecord& b = alone.iRecords[f];
      SCOPED_TRACE(together.iName + " frame " + std::to_string(f));
      EXPECT_EQ(a.iQueries, b.iQueries);
      EXPECT_EQ(a.iDrawn, b.iDrawn);
      EXPECT_EQ(a.iMissed, b.iMissed);
      visibleFrames += a.iVisible > 0 ? 1 : 0;
    }
    EXPECT_GT(visibleFrames, together.iRecords.size() * 3 / 4) << together.iName;
  }
}

// No object above the threshold in this and the previous frame is missed,
// and none twice running, in any view.
inline void ExpectNoStrictOrRepeatMisses(const KELViewsResult& result) {
  for (const KELViewRun& run : result.iTogether)
    for (const KELFrameRecord& record : run.iRecords) {
      EXPECT_EQ(record.iLateMisses, 0u) << run.iName << " frame " << record.iFrame;
      EXPECT_EQ(record.iRepeatMisses, 0u) << run.iName << " frame " << record.iFrame;
    }
}

// The light's culled shadow map equals the map of every caster, texel for
// texel, in every frame. On a light volume of a size-6 city: on larger ones
// the library alone (one view, too) can miss an object that is seen only
// through its own zone's box, every other frame (its zone's query, issued
// after the zone's objects were drawn, reads hidden; the next frame batches
// the zone and may judge its node before it answers).
inline void ExpectShadowMapsIdentical(const KELViewsResult& result) {
  ASSERT_FALSE(result.iTogether.empty());
  const KELViewRun& light = result.iTogether.front();
  ASSERT_TRUE(light.iLight);
  for (const KELFrameRecord& record : light.iRecords) {
    EXPECT_EQ(record.iShadowTexelsDiffer, 0) << "frame " << record.iFrame;
    EXPECT_GT(record.iVisible, 100u);
  }
}

#endif
