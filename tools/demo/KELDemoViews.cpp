#include "KELDemoViews.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <set>

#include "KELDemoImages.h"
#include "KELDemoViewCameras.h"
#include "KELOcclusionCullingEngine.h"
#include "KELSceneMath.h"

namespace {

const float kSky[4] = {0.62f, 0.74f, 0.88f, 1.0f};
const float kLightClear[4] = {1, 1, 1, 1};
// Eyes 6.4 cm apart at human scale.
const float kEyeSeparationMeters = 0.064f;

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Counts what the library asks of the allocator (the demo's memory figure).
class KELCountingAllocator : public KELAllocator {
public:
  uint64_t iBytes = 0;
  void* Allocate(uint32_t size) override {
    iBytes += size;
    return std::malloc(size);
  }
  void Free(void* pointer) override { std::free(pointer); }
};

// Enters everything: one walk takes every split before the frames.
struct KELSplitter : KELSpacePartitionTraversal {
  bool TestBox(const float*, const float*) override { return true; }
  void VisitObject(void*) override {}
};

// A view's cameras and ground truth over the walk.
struct KELViewPlan {
  std::string iName;
  bool iLight = false;
  std::vector<KELFrameCamera> iCameras;
  std::vector<std::vector<KELVisibleObject>> iTruth;
};

// The walkthrough's judgement of misses, kept per view: an object above the
// checked pixels missed while above them in the previous frame too is a
// late (strict) miss; one missed two frames running, a repeat miss.
struct KELMissTracker {
  std::vector<uint32_t> iPixelsPrevious;
  std::vector<int> iMissedFrame;
  const std::vector<KELVisibleObject>* iPreviousTruth = nullptr;

  explicit KELMissTracker(size_t objects) : iPixelsPrevious(objects, 0), iMissedFrame(objects, -2) {}

  void Compare(int frame, const std::vector<KELVisibleObject>& truth, const KELDemoFrameLog& log, uint32_t checked,
               KELFrameRecord& record) {
    record.iVisible = static_cast<uint32_t>(truth.size());
    uint32_t drawnVisible = 0;
    for (const KELVisibleObject& object : truth) {
      if (log.WasDrawn(object.iIndex)) {
        ++drawnVisible;
        continue;
      }
      ++record.iMissed;
      if (object.iPixels <= checked) continue;
      ++record.iMissedChecked;
      if (iPixelsPrevious[object.iIndex] > checked) ++record.iLateMisses;
      else ++record.iPops;
      if (iMissedFrame[object.iIndex] == frame - 1) ++record.iRepeatMisses;
      iMissedFrame[object.iIndex] = frame;
    }
    record.iExtra = record.iDrawn - drawnVisible;
    if (iPreviousTruth != nullptr)
      for (const KELVisibleObject& object : *iPreviousTruth) iPixelsPrevious[object.iIndex] = 0;
    for (const KELVisibleObject& object : truth) iPixelsPrevious[object.iIndex] = object.iPixels;
    iPreviousTruth = &truth;
  }
};

}  // namespace

// The views walk: each view alone, then all together (a friend of the
// walkthrough, whose renderer, ground truth and partitions it uses).
class KELViewsWalk {
public:
  KELViewsWalk(KELWalkthrough& walk, const KELDemoViewOptions& options)
      : iWalk(walk), iOptions(options), iEngine(KELOcclusionCullingEngine::GetInstance()) {}

  KELViewsResult Run();

private:
  void MakeViews();
  void ComputeGroundTruth();
  void StartRun();
  std::vector<KELFrameRecord> RunAlone(size_t view);
  std::vector<KELViewRun> RunTogether(uint64_t* tableBytes);
  KELFrameRecord Frame(size_t view, int frame, KELMissTracker& misses, bool pictures);
  void Cull(const KELViewPlan& plan, const KELFrameCamera& camera, KELFrameRecord& record);
  int64_t CompareShadowMap(const KELFrameCamera& light, int frame, bool picture);
  void SavePicture(const KELViewPlan& plan, const KELFrameCamera& camera, int frame);
  KELDemoRenderer& Renderer() { return *iWalk.iRenderer; }
  KELDemoFrameLog& Log() { return iWalk.Log(); }

  KELWalkthrough& iWalk;
  KELDemoViewOptions iOptions;
  KELOcclusionCullingEngine* iEngine;
  std::vector<KELViewPlan> iViews;
  std::set<int> iPictureFrames;
  std::vector<float> iDepth, iShadowMap;
  KELFrameCamera iShadowCamera = {};
  bool iHaveShadowMap = false;
  KELCountingAllocator* iCounting = nullptr;
};

void KELViewsWalk::MakeViews() {
  const KELWalkthroughOptions& walk = iWalk.iOptions;
  const float farPlane = iWalk.GetScene().iFarPlane;
  const int frames = iWalk.GetFrameCount();
  const float half = 0.5f * kEyeSeparationMeters * iOptions.iUnitsPerMeter;
  if (iOptions.iShadow) iViews.push_back(KELViewPlan{"light", true, {}, {}});
  if (iOptions.iKind == KELDemoViewKind::kStereo) {
    iViews.push_back(KELViewPlan{"left", false, {}, {}});
    iViews.push_back(KELViewPlan{"right", false, {}, {}});
  } else if (iOptions.iKind == KELDemoViewKind::kSplit) {
    iViews.push_back(KELViewPlan{"first", false, {}, {}});
    iViews.push_back(KELViewPlan{"second", false, {}, {}});
  } else {
    iViews.push_back(KELViewPlan{"camera", false, {}, {}});
  }
  for (int frame = 0; frame < frames; ++frame) {
    const KELFrameCamera& path = iWalk.GetCamera(frame);
    for (KELViewPlan& plan : iViews) {
      if (plan.iLight) {
        plan.iCameras.push_back(MakeLightCamera(path, iWalk.GetScene(), walk.iWidth, walk.iHeight));
      } else if (plan.iName == "left" || plan.iName == "right") {
        plan.iCameras.push_back(MakeEyeCamera(path, plan.iName == "left" ? -half : half, walk, farPlane));
      } else if (plan.iName == "second") {
        // The second viewport walks the path the other way.
        plan.iCameras.push_back(iWalk.GetCamera(frames - 1 - frame));
      } else {
        plan.iCameras.push_back(path);
      }
    }
  }
  for (int i = 0; i < iOptions.iPictures; ++i) iPictureFrames.insert((2 * i + 1) * frames / (2 * iOptions.iPictures));
}

void KELViewsWalk::ComputeGroundTruth() {
  for (KELViewPlan& plan : iViews) {
    KELProgress progress("ground truth " + plan.iName, iWalk.GetFrameCount());
    plan.iTruth.resize(plan.iCameras.size());
    for (size_t frame = 0; frame < plan.iCameras.size(); ++frame) {
      iWalk.iGroundTruth->Compute(plan.iCameras[frame].iViewProjection, plan.iCameras[frame].iPlanes,
                                  plan.iTruth[frame]);
      progress.Update(static_cast<int>(frame));
    }
    progress.Finish();
  }
}

// Fresh partitions from the pools, split once: no frame of any view splits
// a zone, so each view's frames depend on its own history alone.
void KELViewsWalk::StartRun() {
  for (void* partition : iWalk.iPartitions) iEngine->DestroySpacePartition(partition);
  iWalk.iPartitions.clear();
  iWalk.ApplyLibrarySettings(false);
  iWalk.BuildPartitions(true);
  KELSplitter splitter;
  for (void* partition : iWalk.iPartitions) iEngine->TraverseSpacePartition(partition, &splitter, true);
}

void KELViewsWalk::Cull(const KELViewPlan& plan, const KELFrameCamera& camera, KELFrameRecord& record) {
  const KELWalkthroughOptions& walk = iWalk.iOptions;
  iEngine->SetViewMatrix(camera.iView);
  iEngine->SetProjectionMatrix(camera.iProjection);
  const float* planes[6];
  for (int i = 0; i < 6; ++i) planes[i] = camera.iPlanes[i];
  iEngine->SetClippingPlanes(6, planes);
  // A light's map counts every caster however far: no contribution culling.
  iEngine->SetContributionCullingParameters(camera.iEye, camera.iDirection,
                                            plan.iLight ? 0.0f : walk.iContributionScale, 1.0f);
  Renderer().BeginCulling(camera.iView, camera.iProjection);
  iEngine->StartCulling();
  if (plan.iLight) {
    // The level's visible set is the eye's, not the light's; partitions
    // outside the light's volume are the library's to skip (view tests).
    for (void* partition : iWalk.iPartitions) iEngine->AddPartition(partition);
  } else {
    iWalk.AddPartitions(camera);
  }
  auto start = std::chrono::steady_clock::now();
  iEngine->EndCulling();
  record.iCullMs = MillisecondsSince(start);
  const KELDemoClientStats stats = Renderer().GetClientStats();
  record.iClientMs = stats.iClientSeconds * 1000.0;
  record.iQueries = stats.iQueries;
  record.iSubmits = stats.iSubmits;
  record.iBatches = stats.iBatches;
  record.iFillQueries = stats.iFillQueries;
  record.iBoxes = stats.iBoxes;
}

KELFrameRecord KELViewsWalk::Frame(size_t view, int frame, KELMissTracker& misses, bool pictures) {
  const KELViewPlan& plan = iViews[view];
  const KELFrameCamera& camera = plan.iCameras[frame];
  KELFrameRecord record;
  record.iMode = KELDemoMode::kLibrary;
  record.iFrame = frame;
  record.iView = plan.iName;
  Log().BeginFrame();
  Log().SetAllowed(nullptr);
  auto start = std::chrono::steady_clock::now();
  Renderer().BeginFrame(plan.iLight ? kLightClear : kSky, camera.iViewProjection);
  Cull(plan, camera, record);
  Renderer().EndFrame();
  record.iFrameMs = MillisecondsSince(start);
  record.iDrawn = Log().GetDrawnCount();
  record.iTouched = static_cast<uint32_t>(Log().GetTouched().size());
  record.iLoaded = static_cast<uint32_t>(iWalk.iEntries.size());
  misses.Compare(frame, plan.iTruth[frame], Log(), iWalk.iOptions.iCheckedPixels, record);
  const bool picture = pictures && iPictureFrames.count(frame) != 0;
  if (plan.iLight) record.iShadowTexelsDiffer = CompareShadowMap(camera, frame, picture);
  else if (picture) SavePicture(plan, camera, frame);
  return record;
}

// The map the library culled against the map of every caster in the
// light's volume: texels whose depth differs at all. -1 where the renderer
// cannot read depth back.
int64_t KELViewsWalk::CompareShadowMap(const KELFrameCamera& light, int frame, bool picture) {
  const size_t texels = static_cast<size_t>(Renderer().GetWidth()) * Renderer().GetHeight();
  iShadowMap.resize(texels);
  iDepth.resize(texels);
  iHaveShadowMap = Renderer().ReadDepth(iShadowMap.data());
  if (!iHaveShadowMap) return -1;
  iShadowCamera = light;
  std::vector<uint32_t> casters;
  const kel::KELScene& scene = iWalk.GetScene();
  for (uint32_t index = 0; index < scene.iObjects.size(); ++index)
    if (!kel::BoxOutsidePlanes(light.iPlanes, scene.iObjects[index].iMin, scene.iObjects[index].iMax))
      casters.push_back(index);
  Renderer().BeginFrame(kLightClear, light.iViewProjection);
  Renderer().DrawObjects(casters.data(), static_cast<uint32_t>(casters.size()));
  Renderer().EndFrame();
  Renderer().ReadDepth(iDepth.data());
  int64_t differ = 0;
  for (size_t i = 0; i < texels; ++i) differ += iShadowMap[i] != iDepth[i] ? 1 : 0;
  if (picture) {
    std::vector<uint8_t> grey(texels * 4);
    for (size_t i = 0; i < texels; ++i) {
      const uint8_t value = static_cast<uint8_t>(std::min(1.0f, std::max(0.0f, iShadowMap[i])) * 255.0f);
      grey[4 * i] = grey[4 * i + 1] = grey[4 * i + 2] = value;
      grey[4 * i + 3] = 255;
    }
    WritePng(iOptions.iOutput + "/views-light-" + std::to_string(frame) + "-map.png", Renderer().GetWidth(),
             Renderer().GetHeight(), grey.data());
  }
  return differ;
}

// The camera's image, shaded with this frame's culled shadow map where
// there is one: each pixel's point goes to the light's map, and a point
// further from the light than all of the 3 x 3 texels around it, by more
// than two texels' worth of slope, is in shadow (no acne on lit faces).
void KELViewsWalk::SavePicture(const KELViewPlan& plan, const KELFrameCamera& camera, int frame) {
  const int width = Renderer().GetWidth(), height = Renderer().GetHeight();
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  Renderer().ReadColor(rgba.data());
  float inverse[16];
  const float* light = iShadowCamera.iViewProjection;
  const float bias = 2.0f * 2.0f / (iShadowCamera.iProjection[0] * width) * 0.5f * std::fabs(iShadowCamera.iProjection[10]);
  // (Shaded with the usual depth direction only.)
  if (iHaveShadowMap && !iWalk.iOptions.iTarget.iReversedDepth && Renderer().ReadDepth(iDepth.data()) &&
      InvertMatrix(camera.iViewProjection, inverse)) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const size_t pixel = static_cast<size_t>(y) * width + x;
        if (iDepth[pixel] >= 1.0f) continue;
        const float ndc[4] = {(x + 0.5f) / width * 2 - 1, 1 - (y + 0.5f) / height * 2, 2 * iDepth[pixel] - 1, 1};
        float world[4], lit[4];
        for (int r = 0; r < 4; ++r)
          world[r] = inverse[r] * ndc[0] + inverse[4 + r] * ndc[1] + inverse[8 + r] * ndc[2] + inverse[12 + r];
        for (int r = 0; r < 4; ++r)
          lit[r] = (light[r] * world[0] + light[4 + r] * world[1] + light[8 + r] * world[2] + light[12 + r] * world[3]) /
                   world[3];
        const int tx = static_cast<int>((lit[0] / lit[3] + 1) * 0.5f * width);
        const int ty = static_cast<int>((1 - lit[1] / lit[3]) * 0.5f * height);
        if (tx < 1 || ty < 1 || tx >= width - 1 || ty >= height - 1) continue;
        float farthest = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            farthest = std::max(farthest, iShadowMap[static_cast<size_t>(ty + dy) * width + tx + dx]);
        const float depth = 0.5f * lit[2] / lit[3] + 0.5f;
        if (depth > farthest + bias)
          for (int c = 0; c < 3; ++c) rgba[4 * pixel + c] = static_cast<uint8_t>(rgba[4 * pixel + c] * 0.55f);
      }
  }
  WritePng(iOptions.iOutput + "/views-" + plan.iName + "-" + std::to_string(frame) + ".png", width, height,
           rgba.data());
}

// Through a view made for the run: from the same start as a library that
// culls this view alone.
std::vector<KELFrameRecord> KELViewsWalk::RunAlone(size_t view) {
  StartRun();
  void* handle = iEngine->CreateView();
  iEngine->SetView(handle);
  KELMissTracker misses(iWalk.GetScene().iObjects.size());
  std::vector<KELFrameRecord> records;
  KELProgress progress(iViews[view].iName + " alone", iWalk.GetFrameCount());
  for (int frame = 0; frame < iWalk.GetFrameCount(); ++frame) {
    records.push_back(Frame(view, frame, misses, false));
    records.back().iView += "-alone";
    progress.Update(frame);
  }
  progress.Finish();
  iEngine->SetView(nullptr);
  iEngine->DestroyView(handle);
  return records;
}

std::vector<KELViewRun> KELViewsWalk::RunTogether(uint64_t* tableBytes) {
  StartRun();
  std::vector<void*> handles(iViews.size(), nullptr);
  const uint64_t before = iCounting->iBytes;
  if (!iOptions.iShared)
    for (void*& handle : handles) handle = iEngine->CreateView();
  *tableBytes = iCounting->iBytes - before;
  std::vector<KELMissTracker> misses(iViews.size(), KELMissTracker(iWalk.GetScene().iObjects.size()));
  std::vector<KELViewRun> runs;
  for (const KELViewPlan& plan : iViews) runs.push_back(KELViewRun{plan.iName, plan.iLight, {}});
  KELProgress progress(iOptions.iShared ? "views shared" : "views", iWalk.GetFrameCount());
  for (int frame = 0; frame < iWalk.GetFrameCount(); ++frame) {
    for (size_t view = 0; view < iViews.size(); ++view) {
      iEngine->SetView(handles[view]);
      runs[view].iRecords.push_back(Frame(view, frame, misses[view], true));
    }
    progress.Update(frame);
  }
  progress.Finish();
  iEngine->SetView(nullptr);
  for (void* handle : handles) iEngine->DestroyView(handle);
  return runs;
}

// The run together comes first, so that the default view starts at the
// library's first frame when the views share it.
KELViewsResult KELViewsWalk::Run() {
  // Installed before the first record is made, for the rest of the process
  // (records are never given back).
  static KELCountingAllocator counting;
  KELAllocator::SetAllocator(&counting);
  iCounting = &counting;
  MakeViews();
  ComputeGroundTruth();
  KELViewsResult result;
  result.iShared = iOptions.iShared;
  result.iEntries = iWalk.GetScene().iObjects.size();
  const double entries = std::max<double>(1.0, static_cast<double>(result.iEntries));
  uint64_t tables = 0;
  result.iTogether = RunTogether(&tables);
  // One view: the records and the frames' pools; the views add their tables.
  result.iBytesPerEntryOneView = static_cast<double>(counting.iBytes - tables) / entries;
  result.iBytesPerEntryTogether = static_cast<double>(counting.iBytes) / entries;
  result.iLibraryViews = iOptions.iShared ? 1 : 1 + static_cast<int>(iViews.size());
  for (size_t view = 0; view < iViews.size(); ++view)
    result.iAlone.push_back(KELViewRun{iViews[view].iName, iViews[view].iLight, RunAlone(view)});
  return result;
}

// ---------------------------------------------------------------- report

namespace {

double Median(const std::vector<KELFrameRecord>& records, double (*value)(const KELFrameRecord&)) {
  std::vector<double> values;
  for (const KELFrameRecord& record : records) values.push_back(value(record));
  return Percentile(values, 0.5);
}

double Sum(const std::vector<KELFrameRecord>& records, double (*value)(const KELFrameRecord&)) {
  double sum = 0;
  for (const KELFrameRecord& record : records) sum += value(record);
  return sum;
}

double Queries(const KELFrameRecord& r) { return r.iQueries; }
double Drawn(const KELFrameRecord& r) { return r.iDrawn; }
double Visible(const KELFrameRecord& r) { return r.iVisible; }
double DrawnOverVisible(const KELFrameRecord& r) { return r.iVisible > 0 ? static_cast<double>(r.iDrawn) / r.iVisible : 0; }

std::string Ratio(double a, double b) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", b > 0 ? a / b : 0.0);
  return b > 0 ? text : "-";
}

// Texels differing over the walk, and in how many frames; "-" without a map.
std::string ShadowTexels(const KELViewRun& run, int* frames) {
  int64_t total = 0;
  *frames = 0;
  for (const KELFrameRecord& record : run.iRecords) {
    if (record.iShadowTexelsDiffer < 0) return "-";
    total += record.iShadowTexelsDiffer;
    *frames += record.iShadowTexelsDiffer > 0 ? 1 : 0;
  }
  return std::to_string(total);
}

}  // namespace

bool ParseViewKind(const std::string& name, KELDemoViewKind& kind) {
  if (name == "stereo") kind = KELDemoViewKind::kStereo;
  else if (name == "split") kind = KELDemoViewKind::kSplit;
  else return false;
  return true;
}

KELViewsResult RunDemoViews(KELWalkthrough& walk, const KELDemoViewOptions& options) {
  KELViewsWalk views(walk, options);
  return views.Run();
}

std::vector<KELModeRun> GetViewRows(const KELViewsResult& result) {
  std::vector<KELModeRun> rows;
  for (const std::vector<KELViewRun>* runs : {&result.iAlone, &result.iTogether})
    for (const KELViewRun& run : *runs) rows.push_back(KELModeRun{KELDemoMode::kLibrary, run.iRecords, {}});
  return rows;
}

void WriteViewsSummary(FILE* out, const KELViewsResult& result) {
  std::fprintf(out, "\nviews %s: %d library view%s; each view also culled alone, in a run of its own\n",
               result.iShared ? "shared (every view through the default view)" : "of their own",
               result.iLibraryViews, result.iLibraryViews == 1 ? "" : "s");
  std::fprintf(out, "%-8s %-9s %9s %9s %9s %9s %7s %7s %6s %14s\n", "view", "run", "queries", "drawn", "visible",
               "drawn/vis", "strict", "repeat", "pops", "shadow texels");
  for (size_t v = 0; v < result.iTogether.size(); ++v) {
    for (const KELViewRun* run : {&result.iAlone[v], &result.iTogether[v]}) {
      unsigned strict = 0, repeat = 0, pops = 0;
      for (const KELFrameRecord& r : run->iRecords) {
        strict += r.iLateMisses;
        repeat += r.iRepeatMisses;
        pops += r.iPops;
      }
      int frames = 0;
      const std::string texels = ShadowTexels(*run, &frames);
      std::fprintf(out, "%-8s %-9s %9.1f %9.1f %9.1f %9.3f %7u %7u %6u %14s\n", result.iTogether[v].iName.c_str(),
                   run == &result.iAlone[v] ? "alone" : (result.iShared ? "shared" : "views"),
                   Median(run->iRecords, Queries), Median(run->iRecords, Drawn), Median(run->iRecords, Visible),
                   Median(run->iRecords, DrawnOverVisible), strict, repeat, pops,
                   run->iLight ? (texels + " (" + std::to_string(frames) + " fr)").c_str() : "-");
    }
  }
  std::fprintf(out, "medians per frame; strict: missed above the threshold while above it the frame before\n");
  std::fprintf(out, "library memory: %zu entries, %.1f bytes per entry with one view, %.1f with %d\n",
               result.iEntries, result.iBytesPerEntryOneView, result.iBytesPerEntryTogether, result.iLibraryViews);
  for (size_t v = 0; v < result.iTogether.size(); ++v) {
    const KELViewRun& alone = result.iAlone[v];
    const KELViewRun& together = result.iTogether[v];
    std::fprintf(out, "view_alone: view=%s queries_over_alone=%s drawn_over_alone=%s\n", together.iName.c_str(),
                 Ratio(Sum(together.iRecords, Queries), Sum(alone.iRecords, Queries)).c_str(),
                 Ratio(Sum(together.iRecords, Drawn), Sum(alone.iRecords, Drawn)).c_str());
  }
  for (const KELViewRun& run : result.iTogether) {
    unsigned strict = 0, repeat = 0;
    for (const KELFrameRecord& r : run.iRecords) {
      strict += r.iLateMisses;
      repeat += r.iRepeatMisses;
    }
    int frames = 0;
    const std::string texels = run.iLight ? ShadowTexels(run, &frames) : "-";
    std::fprintf(out,
                 "view_summary: view=%s frames=%zu strict_misses=%u repeat_misses=%u queries_median=%g "
                 "drawn_over_visible=%.3f shadow_texels_differ=%s\n",
                 run.iName.c_str(), run.iRecords.size(), strict, repeat, Median(run.iRecords, Queries),
                 Median(run.iRecords, DrawnOverVisible), texels.c_str());
  }
}
