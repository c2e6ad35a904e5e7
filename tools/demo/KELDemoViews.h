// Several views a frame: two eyes (--views stereo), two viewports on
// different paths (--views split) and a shadow-casting light (--shadow),
// each culled through a library view of its own (or all through the default
// view, --views-shared 1) and each checked against its own ground truth.
// The light's shadow map, culled, is compared texel by texel with the map
// of every caster drawn.
#ifndef KEL_DEMO_VIEWS_H
#define KEL_DEMO_VIEWS_H

#include <cstdio>
#include <string>
#include <vector>

#include "KELDemoReport.h"
#include "KELWalkthrough.h"

enum class KELDemoViewKind { kNone, kStereo, kSplit };
// False for an unknown name ("stereo", "split").
bool ParseViewKind(const std::string& name, KELDemoViewKind& kind);

struct KELDemoViewOptions {
  KELDemoViewKind iKind = KELDemoViewKind::kNone;
  bool iShadow = false;
  // Every view through the default view, as a host without views must.
  bool iShared = false;
  // Scene units in a metre: the eyes are 6.4 cm apart at human scale.
  float iUnitsPerMeter = 1;
  int iPictures = 4;
  std::string iOutput = "kel_demo_out";
  bool Enabled() const { return iKind != KELDemoViewKind::kNone || iShadow; }
};

// One view's frames in one run.
struct KELViewRun {
  std::string iName;  // left, right; first, second; camera; light
  bool iLight = false;
  std::vector<KELFrameRecord> iRecords;
};

struct KELViewsResult {
  // Each view culled alone, in a run of its own, through the default view.
  std::vector<KELViewRun> iAlone;
  // Every view every frame, light first.
  std::vector<KELViewRun> iTogether;
  bool iShared = false;
  size_t iEntries = 0;
  // Through the allocator, per entry: after the first run alone (one view),
  // and with the views of the run together as well.
  double iBytesPerEntryOneView = 0;
  double iBytesPerEntryTogether = 0;
  int iLibraryViews = 1;  // views the library held in the run together
};

// Runs the views walk: each view alone, then all together; pictures of
// some frames go to the output directory.
KELViewsResult RunDemoViews(KELWalkthrough& walk, const KELDemoViewOptions& options);

// frames.csv rows of every run (view column: NAME, or NAME-alone), for
// WriteFramesCsv.
std::vector<KELModeRun> GetViewRows(const KELViewsResult& result);
// The per-view summary: medians, ratios to each view alone, misses, shadow
// texels, memory; then, per view of the run together:
// view_summary: view=NAME frames=F strict_misses=S repeat_misses=R
// queries_median=Q drawn_over_visible=X shadow_texels_differ=T
// (T: texels differing over the whole walk, - for camera views).
void WriteViewsSummary(FILE* out, const KELViewsResult& result);

#endif
