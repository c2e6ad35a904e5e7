// kel_demo: a headless walkthrough of a procedural scene or of a model,
// rendered in several modes side by side and compared with the exact
// visible set.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KELDemoImages.h"
#include "KELDemoWindow.h"
#include "KELDemoReport.h"
#include "KELDemoViews.h"
#include "KELWalkthrough.h"

namespace {

struct KELDemoOptions {
  std::string iScene = "city";
  KELDemoModelOptions iModel;  // iPath empty: a procedural scene
  bool iFramesGiven = false;
  bool iModesGiven = false;
  bool iCoherencyGiven = false;
  int iViewPartitions = -1;    // host levers: -1 for the default (on for models)
  int iHostFrustum = -1;
  int iPvsPartitions = -1;
  kel::KELSceneOptions iSceneOptions;
  KELWalkthroughOptions iWalk;
  std::vector<KELDemoMode> iModes = {KELDemoMode::kDrawAll, KELDemoMode::kFrustum, KELDemoMode::kLibrary,
                                     KELDemoMode::kOracle, KELDemoMode::kStreaming};
  std::string iOutput = "kel_demo_out";
  int iPictures = 4;
  bool iLibraryStats = false;
  bool iWindow = false;
  KELDemoWindowOptions iWindowOptions;
  KELDemoViewOptions iViews;
  int iViewsShared = -1;
};

const uint32_t kLevelCoherency = 4;

const char* const kUsage =
    "usage: kel_demo [options]\n"
    "  --api opengl|vulkan    graphics interface for culling and ground truth (opengl)\n"
    "  --scene city|plant     scene to walk through (city)\n"
    "  --size N               city blocks / plant units per side (18 / 14)\n"
    "  --model PATH           walk through a model file, or a level (ARCHIVE.pk3:maps/NAME.bsp)\n"
    "  --grid N               model: N x N copies (1)\n"
    "  --partitions RULE      model: groups, tiles:K, clusters or grid:N (clusters / tiles:16)\n"
    "  --path FILE            model: camera keyframes, CSV x,y,z,yaw,pitch (degrees)\n"
    "  --walk-height H        model: height of the walk above the lowest point (15% of the height)\n"
    "  --margin M             model: box margin (0.02% of the diagonal)\n"
    "  --view-partitions 0|1  add only partitions that meet the view volume (1 for models)\n"
    "  --host-frustum 0|1     draw only handed objects that meet the view volume (1 for models)\n"
    "  --pvs-partitions 0|1   levels: add only partitions, draw only entries, of the level's PVS (1)\n"
    "  --seed N               scene seed (1)\n"
    "  --frames N             frames along the camera path (240)\n"
    "  --width W --height H   framebuffer size (640 x 360)\n"
    "  --modes a,b,...        of draw-all,frustum,library,oracle,streaming,pvs (all; pvs for levels)\n"
    "  --threshold N          pixel-hits threshold (300)\n"
    "  --coherency N          frame coherency (0; 4 for levels)\n"
    "  --contribution S       skip objects narrower than S times their distance (0: off;\n"
    "                         default: the largest that skips nothing able to pass the threshold)\n"
    "  --stream-per-frame K   streaming: loads per frame (400)\n"
    "  --stream-delay N       streaming: frames from touch to load (1)\n"
    "  --pictures N           frames with pictures (4)\n"
    "  --out DIR              output directory (kel_demo_out)\n"
    "  --library-stats        leave the library's statistics lines on standard output\n"
    "  --views stereo|split   two eyes 6.4 cm apart, or two viewports on different paths, each\n"
    "                         culled through a library view of its own (instead of the modes)\n"
    "  --shadow               a light's shadow map culled through a view of its own, checked\n"
    "                         texel by texel against the map of every caster\n"
    "  --views-shared 0|1     1: the same views all through the default view (0)\n"
    "  --window               fly through the scene in a window instead (keys: tools/demo/README.md)\n"
    "  --window-frames N      close the window after N frames\n"
    "  --screenshot FILE      save the window's last image as PNG before it closes\n";

bool ParseModes(const std::string& list, std::vector<KELDemoMode>& modes) {
  modes.clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    KELDemoMode mode;
    if (!ParseModeName(list.substr(start, end - start), mode)) return false;
    modes.push_back(mode);
    start = end + 1;
  }
  return !modes.empty();
}

// The largest contribution scale that skips no object able to pass the
// threshold: a bounding sphere d pixels across covers about pi/4 d^2 pixels,
// up to 2.25 times that toward this field of view's corners, and a query box
// inside it counts its front and back faces: at most 3.5 d^2 samples.
float ContributionForThreshold(const KELWalkthroughOptions& walk) {
  float pixels = std::sqrt(static_cast<float>(walk.iPixelThreshold) / 3.5f);
  return pixels * 2.0f * std::tan(0.5f * walk.iFovY) / static_cast<float>(walk.iHeight);
}

bool ParseArguments(int argc, char** argv, KELDemoOptions& options) {
  bool sizeGiven = false, contributionGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--library-stats") {
      options.iLibraryStats = true;
      continue;
    }
    if (name == "--window") {
      options.iWindow = true;
      continue;
    }
    if (name == "--shadow") {
      options.iViews.iShadow = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    long number = std::strtol(value.c_str(), nullptr, 10);
    if (name == "--api") { if (!ParseApiName(value, options.iWalk.iApi)) return false; }
    else if (name == "--scene") options.iScene = value;
    else if (name == "--size") { options.iSceneOptions.iSize = static_cast<int>(number); sizeGiven = true; }
    else if (name == "--seed") options.iSceneOptions.iSeed = static_cast<uint32_t>(number);
    else if (name == "--frames") { options.iWalk.iFrames = static_cast<int>(number); options.iFramesGiven = true; }
    else if (name == "--model") options.iModel.iPath = value;
    else if (name == "--grid") options.iModel.iGrid = static_cast<int>(number);
    else if (name == "--partitions") options.iModel.iPartitions = value;
    else if (name == "--path") options.iModel.iPathFile = value;
    else if (name == "--walk-height") options.iModel.iWalkHeight = std::strtof(value.c_str(), nullptr);
    else if (name == "--margin") options.iModel.iMargin = std::strtof(value.c_str(), nullptr);
    else if (name == "--view-partitions") options.iViewPartitions = number != 0;
    else if (name == "--host-frustum") options.iHostFrustum = number != 0;
    else if (name == "--pvs-partitions") options.iPvsPartitions = number != 0;
    else if (name == "--width") options.iWalk.iWidth = static_cast<int>(number);
    else if (name == "--height") options.iWalk.iHeight = static_cast<int>(number);
    else if (name == "--modes") { if (!ParseModes(value, options.iModes)) return false; options.iModesGiven = true; }
    else if (name == "--threshold") options.iWalk.iPixelThreshold = static_cast<uint32_t>(number);
    else if (name == "--coherency") {
      options.iWalk.iFrameCoherency = static_cast<uint32_t>(number);
      options.iCoherencyGiven = true;
    }
    else if (name == "--contribution") {
      options.iWalk.iContributionScale = std::strtof(value.c_str(), nullptr);
      contributionGiven = true;
    }
    else if (name == "--stream-per-frame") options.iWalk.iStreamPerFrame = static_cast<uint32_t>(number);
    else if (name == "--stream-delay") options.iWalk.iStreamDelay = static_cast<int>(number);
    else if (name == "--pictures") options.iPictures = static_cast<int>(number);
    else if (name == "--out") options.iOutput = value;
    else if (name == "--window-frames") options.iWindowOptions.iFrames = static_cast<int>(number);
    else if (name == "--screenshot") options.iWindowOptions.iScreenshot = value;
    else if (name == "--views") { if (!ParseViewKind(value, options.iViews.iKind)) return false; }
    else if (name == "--views-shared") options.iViewsShared = number != 0;
    else return false;
  }
  options.iWindowOptions.iOutput = options.iOutput;
  // Sharing needs views to share, and the window shows one camera.
  if (options.iViewsShared >= 0 && !options.iViews.Enabled()) return false;
  if (options.iViews.Enabled() && options.iWindow) return false;
  options.iViews.iShared = options.iViewsShared == 1;
  options.iViews.iPictures = options.iPictures;
  options.iViews.iOutput = options.iOutput;
  if (!sizeGiven && options.iScene == "plant") options.iSceneOptions.iSize = 14;
  // The host levers are the models' default; the procedural scenes keep
  // their figures.
  const bool model = !options.iModel.iPath.empty();
  options.iWalk.iViewPartitions = options.iViewPartitions < 0 ? model : options.iViewPartitions != 0;
  options.iWalk.iHostFrustum = options.iHostFrustum < 0 ? model : options.iHostFrustum != 0;
  options.iWalk.iPvsPartitions = options.iPvsPartitions != 0;
  if (options.iFramesGiven) options.iModel.iFrames = options.iWalk.iFrames;
  // Misses that matter are those the threshold promises to catch.
  options.iWalk.iCheckedPixels = options.iWalk.iPixelThreshold;
  if (!contributionGiven) options.iWalk.iContributionScale = ContributionForThreshold(options.iWalk);
  return options.iWalk.iFrames > 0 && options.iWalk.iWidth > 0 && options.iWalk.iHeight > 0;
}

// Sends the library's per-frame statistics lines to a log file and returns
// a stream on the original standard output for the demo's own report.
FILE* RedirectLibraryOutput(const std::string& logPath) {
  std::fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (saved < 0 || log < 0) return stdout;
  dup2(log, STDOUT_FILENO);
  close(log);
  FILE* out = fdopen(saved, "w");
  return out != nullptr ? out : stdout;
}

// Saves the rendered view and the top-down view of chosen frames.
void SavePictures(const KELFrameView& view, const std::string& directory, const std::set<int>& frames) {
  if (view.iWarmup || frames.count(view.iFrame) == 0) return;
  if (view.iMode != KELDemoMode::kLibrary && view.iMode != KELDemoMode::kStreaming) return;
  std::string stem = directory + "/" + GetModeName(view.iMode) + "-" + std::to_string(view.iFrame);
  KELDemoRenderer& renderer = view.iRenderer;
  std::vector<uint8_t> rgba(static_cast<size_t>(renderer.GetWidth()) * renderer.GetHeight() * 4);
  renderer.ReadColor(rgba.data());
  WritePng(stem + "-view.png", renderer.GetWidth(), renderer.GetHeight(), rgba.data());
  int width = 0, height = 0;
  DrawBirdsEye(view, *view.iScene, 768, rgba, width, height);
  WritePng(stem + "-birdseye.png", width, height, rgba.data());
}

// Scene units in a metre, for the eyes' distance: the city and the plant
// are in metres, a level's player is 56 units tall, other models are
// walked at eye height.
float UnitsPerMeter(const KELDemoOptions& options, const KELDemoModelScene& model) {
  if (options.iModel.iPath.empty()) return 1.0f;
  if (model.iModel.iIsLevel) return 32.0f;
  const float height = options.iModel.iWalkHeight >= 0 ? options.iModel.iWalkHeight
                                                       : 0.15f * (model.iModel.iMax[1] - model.iModel.iMin[1]);
  return height > 0 ? height / 1.6f : 1.0f;
}

// --views and --shadow: the views walk instead of the modes.
int RunViews(KELWalkthrough& walk, KELDemoOptions& options, const KELDemoModelScene& model, FILE* out) {
  options.iViews.iUnitsPerMeter = UnitsPerMeter(options, model);
  const KELViewsResult result = RunDemoViews(walk, options.iViews);
  WriteFramesCsv(options.iOutput + "/frames.csv", GetViewRows(result));
  WriteViewsSummary(out, result);
  std::fprintf(out, "\nper-frame figures: %s/frames.csv (a row per view and frame); pictures: %s/views-*.png\n",
               options.iOutput.c_str(), options.iOutput.c_str());
  if (walk.GetValidationErrors() >= 0) std::fprintf(out, "validation errors: %d\n", walk.GetValidationErrors());
  std::string name = walk.GetScene().iName;
  std::replace(name.begin(), name.end(), ' ', '-');
  // The first camera view, culled with the others, stands for the library.
  std::vector<KELModeRun> runs;
  for (const KELViewRun& run : result.iTogether)
    if (!run.iLight && runs.empty()) runs.push_back(KELModeRun{KELDemoMode::kLibrary, run.iRecords});
  WriteSummaryLine(out, name, walk.GetScene().iObjects.size(), walk.GetFrameCount(), runs);
  std::fflush(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  KELDemoOptions options;
  if (!ParseArguments(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(options.iOutput, error);
  FILE* out = options.iLibraryStats ? stdout : RedirectLibraryOutput(options.iOutput + "/library-stats.log");

  kel::KELScene procedural;
  KELDemoModelScene model;
  std::unique_ptr<KELWalkthrough> walkOwner;
  if (options.iModel.iPath.empty()) {
    if (!kel::MakeScene(options.iScene, options.iSceneOptions, procedural)) {
      std::fprintf(stderr, "kel_demo: unknown scene '%s'\n%s", options.iScene.c_str(), kUsage);
      return 2;
    }
    walkOwner.reset(new KELWalkthrough(procedural, options.iWalk));
  } else {
    std::string failure;
    if (!MakeDemoModelScene(options.iModel, model, failure)) {
      std::fprintf(stderr, "kel_demo: %s\n", failure.c_str());
      return 1;
    }
    options.iWalk.iNearPlane = model.iNearPlane;
    // Levels: results trusted for a few frames halve the queries at the
    // same drawn count; open models draw more with it (docs/models-hosts.md).
    if (model.iModel.iIsLevel && !options.iCoherencyGiven) options.iWalk.iFrameCoherency = kLevelCoherency;
    walkOwner.reset(new KELWalkthrough(model, options.iWalk));
  }
  KELWalkthrough& walk = *walkOwner;
  const kel::KELScene& scene = walk.GetScene();
  // The pvs mode needs a level; by default it joins the modes there.
  std::vector<KELDemoMode> modes;
  for (KELDemoMode mode : options.iModes)
    if (mode != KELDemoMode::kPvs || walk.HasPvs()) modes.push_back(mode);
  if (walk.HasPvs() && !options.iModesGiven) modes.push_back(KELDemoMode::kPvs);
  options.iModes = modes;
  std::string failure;
  if (!walk.Create(failure)) {
    std::fprintf(stderr, "kel_demo: no headless %s: %s\n", GetApiName(options.iWalk.iApi), failure.c_str());
    return 1;
  }
  std::fprintf(out, "scene %s: %zu objects in %u partitions; %d frames at %dx%d on %s\n", scene.iName.c_str(),
               scene.iObjects.size(), scene.iPartitionCount, walk.GetFrameCount(), options.iWalk.iWidth,
               options.iWalk.iHeight, walk.GetRendererName().c_str());
  if (!options.iModel.iPath.empty())
    std::fprintf(out, "model: %s partitions, box margin %g, view partitions %s, host frustum test %s%s\n",
                 kel::DescribePartitionChoice(model.iPartitionChoice).c_str(), model.iMargin,
                 options.iWalk.iViewPartitions ? "on" : "off", options.iWalk.iHostFrustum ? "on" : "off",
                 walk.HasPvs() ? (options.iWalk.iPvsPartitions ? ", pvs partitions on" : ", pvs partitions off") : "");
  std::fflush(out);
  if (options.iWindow) {
#ifdef KEL_DEMO_HAVE_WINDOW
    return RunDemoWindow(walk, options.iWindowOptions, out);
#else
    std::fputs("kel_demo: built without GLFW (Debian libglfw3-dev); no --window\n", stderr);
    return 1;
#endif
  }

  if (options.iViews.Enabled()) return RunViews(walk, options, model, out);

  KELProgress truthProgress("ground truth", walk.GetFrameCount());
  walk.ComputeGroundTruth([&](int frame) { truthProgress.Update(frame); });
  truthProgress.Finish();

  std::set<int> pictureFrames;
  for (int i = 0; i < options.iPictures; ++i)
    pictureFrames.insert((2 * i + 1) * walk.GetFrameCount() / (2 * options.iPictures));
  walk.SetFrameObserver([&](const KELFrameView& view) { SavePictures(view, options.iOutput, pictureFrames); });

  std::vector<KELModeRun> runs;
  for (KELDemoMode mode : options.iModes) {
    KELProgress progress(GetModeName(mode), walk.GetFrameCount());
    runs.push_back(KELModeRun{mode, walk.Run(mode, [&](int frame) { progress.Update(frame); })});
    progress.Finish();
  }

  WriteFramesCsv(options.iOutput + "/frames.csv", runs);
  std::vector<KELPlotSeries> series;
  for (const KELModeRun& run : runs) series.push_back(KELPlotSeries{run.iMode, &run.iRecords});
  WritePlot(options.iOutput + "/plot.png", series);
  WriteSummary(out, runs, &walk.GetStreamingSummary());
  std::fprintf(out, "\nper-frame figures: %s/frames.csv; plot: %s/plot.png; pictures: %s/*-view.png, *-birdseye.png\n",
               options.iOutput.c_str(), options.iOutput.c_str(), options.iOutput.c_str());
  if (walk.GetValidationErrors() >= 0) std::fprintf(out, "validation errors: %d\n", walk.GetValidationErrors());
  std::string name = scene.iName;
  std::replace(name.begin(), name.end(), ' ', '-');
  WriteSummaryLine(out, name, scene.iObjects.size(), walk.GetFrameCount(), runs);
  std::fflush(out);
  return 0;
}
