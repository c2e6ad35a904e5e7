// kel_demo: a headless walkthrough of a procedural scene or of a model,
// rendered in several modes side by side and compared with the exact
// visible set.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include "KELDemoReport.h"
#include "KELDemoScenePack.h"
#include "KELDemoWindow.h"
#include "KELWalkthrough.h"

namespace {

// The library's allocator, counting: what the library holds for its
// partitions, entries and frame records (it never frees through it).
class KELCountingAllocator : public KELAllocator {
public:
  void* Allocate(uint32_t size) override {
    iBytes += size;
    return std::malloc(size);
  }
  void Free(void* pointer) override { std::free(pointer); }
  uint64_t GetBytes() const { return iBytes; }

private:
  uint64_t iBytes = 0;
};

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
  // Streaming runs, in the place of the streaming mode.
  std::vector<KELStreamingOrder> iStreamOrders = {KELStreamingOrder::kOcclusion};
  bool iStreamGiven = false;
  std::string iPack;  // a pack file or URL; empty: written into the output folder
  std::string iTruthFile;  // the exact visible sets, reused where they match
  std::string iOutput = "kel_demo_out";
  int iPictures = 4;
  bool iLibraryStats = false;
  bool iWindow = false;
  KELDemoWindowOptions iWindowOptions;
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
    "  --report-threshold N   pixels an unloaded entry needs to be reported (as --threshold)\n"
    "  --fill-depth 0|1       fill queries write the boxes of unloaded entries into depth (1)\n"
    "  --coherency N          frame coherency (0; 4 for levels)\n"
    "  --contribution S       skip objects narrower than S times their distance (0: off;\n"
    "                         default: the largest that skips nothing able to pass the threshold)\n"
    "  --stream ORDER,...     stream from a pack in these orders: occlusion, frustum, all (alone unless\n"
    "                         --modes is given; --modes streaming is the occlusion order)\n"
    "  --pack FILE|URL        the pack to stream (default: written into --out from the scene)\n"
    "  --budget MB            streaming: memory for GPU copies and staging (0: no limit)\n"
    "  --upload MB            streaming: uploads per frame (16; 0: no limit)\n"
    "  --stream-threads N     streaming: reading and decoding threads (2)\n"
    "  --rest N               streaming: frames the camera rests at the first pose (30)\n"
    "  --nearest-first 0|1    streaming, occlusion order: nearer reports first (0: larger first)\n"
    "  --prefetch 0|1         streaming, occlusion order: also the rest of a showing partition in view (0)\n"
    "  --prefetch-radius R    streaming, occlusion order: also every entry within R of the eye (0: none)\n"
    "  --truth FILE           keep the exact visible sets in FILE: reused by runs of the same scene, path\n"
    "                         and size, written otherwise\n"
    "  --pictures N           frames with pictures (4)\n"
    "  --out DIR              output directory (kel_demo_out)\n"
    "  --library-stats        leave the library's statistics lines on standard output\n"
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
  // Reports of unloaded entries may take fewer pixels than drawing.
  const uint32_t threshold = std::min(walk.iPixelThreshold, walk.iReportThreshold);
  float pixels = std::sqrt(static_cast<float>(threshold) / 3.5f);
  return pixels * 2.0f * std::tan(0.5f * walk.iFovY) / static_cast<float>(walk.iHeight);
}

bool ParseOrders(const std::string& list, std::vector<KELStreamingOrder>& orders) {
  orders.clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    KELStreamingOrder order;
    if (!ParseStreamingOrder(list.substr(start, end - start), order)) return false;
    orders.push_back(order);
    start = end + 1;
  }
  return !orders.empty();
}

uint64_t MegabytesToBytes(double megabytes) { return static_cast<uint64_t>(megabytes * 1024.0 * 1024.0); }

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
    else if (name == "--report-threshold") options.iWalk.iReportThreshold = static_cast<uint32_t>(number);
    else if (name == "--fill-depth") options.iWalk.iFillDepthWrites = number != 0;
    else if (name == "--coherency") {
      options.iWalk.iFrameCoherency = static_cast<uint32_t>(number);
      options.iCoherencyGiven = true;
    }
    else if (name == "--contribution") {
      options.iWalk.iContributionScale = std::strtof(value.c_str(), nullptr);
      contributionGiven = true;
    }
    else if (name == "--stream") { if (!ParseOrders(value, options.iStreamOrders)) return false; options.iStreamGiven = true; }
    else if (name == "--pack") options.iPack = value;
    else if (name == "--truth") options.iTruthFile = value;
    else if (name == "--budget") options.iWalk.iStream.iBudgetBytes = MegabytesToBytes(std::strtod(value.c_str(), nullptr));
    else if (name == "--upload") options.iWalk.iStream.iUploadBytesPerFrame = MegabytesToBytes(std::strtod(value.c_str(), nullptr));
    else if (name == "--stream-threads") options.iWalk.iStream.iThreads = static_cast<int>(number);
    else if (name == "--rest") options.iWalk.iRestFrames = static_cast<int>(number);
    else if (name == "--nearest-first") options.iWalk.iStream.iNearestFirst = number != 0;
    else if (name == "--prefetch") options.iWalk.iStream.iPrefetchPartition = number != 0;
    else if (name == "--prefetch-radius") options.iWalk.iStream.iPrefetchRadius = std::strtof(value.c_str(), nullptr);
    else if (name == "--stream-per-frame" || name == "--stream-delay")
      std::fprintf(stderr, "kel_demo: %s no longer applies: streaming reads a pack (see --upload and --stream-threads)\n",
                   name.c_str());
    else if (name == "--pictures") options.iPictures = static_cast<int>(number);
    else if (name == "--out") options.iOutput = value;
    else if (name == "--window-frames") options.iWindowOptions.iFrames = static_cast<int>(number);
    else if (name == "--screenshot") options.iWindowOptions.iScreenshot = value;
    else return false;
  }
  options.iWindowOptions.iOutput = options.iOutput;
  // --stream alone runs the streaming orders alone; with --modes they take
  // the streaming mode's place, or follow the modes given.
  if (options.iStreamGiven) {
    if (!options.iModesGiven) options.iModes.clear();
    if (std::find(options.iModes.begin(), options.iModes.end(), KELDemoMode::kStreaming) == options.iModes.end())
      options.iModes.push_back(KELDemoMode::kStreaming);
  }
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
  return options.iWalk.iFrames > 0 && options.iWalk.iWidth > 0 && options.iWalk.iHeight > 0 &&
         options.iWalk.iStream.iThreads > 0 && options.iWalk.iStream.iThreads <= 64 && options.iWalk.iRestFrames >= 0;
}

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// The pack the streaming runs read: --pack, or the scene written into the
// output folder. False with a message on stderr.
bool PreparePack(const KELDemoOptions& options, const kel::KELScene& scene, const kel::KELModel* model,
                 KELPackIndex& index, std::unique_ptr<KELPackSource>& source, FILE* out) {
  std::string error, name = options.iPack;
  if (name.empty()) {
    name = options.iOutput + "/scene.kelpack";
    KELProgress progress("writing the pack", static_cast<int>(scene.iObjects.size()));
    KELScenePackStats stats;
    if (!WriteScenePack(scene, model, name, stats, error, [&](uint32_t done) { progress.Update(static_cast<int>(done) - 1); })) {
      std::fprintf(stderr, "kel_demo: %s\n", error.c_str());
      return false;
    }
    progress.Finish();
  }
  const auto start = std::chrono::steady_clock::now();
  source = OpenPackSource(name, error);
  if (!source || !index.Open(*source, error)) {
    std::fprintf(stderr, "kel_demo: %s\n", error.c_str());
    return false;
  }
  const double openMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!CheckPackMatchesScene(index, scene, error)) {
    std::fprintf(stderr, "kel_demo: %s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  const double entries = std::max(1u, index.GetEntryCount());
  std::fprintf(out, "pack %s: %u entries, %llu triangles, %.1f MB of geometry packed (%.1f MB unpacked); opened in "
                    "%.1f ms; the index holds %.1f bytes an entry in memory, the streaming host %zu more\n",
               name.c_str(), index.GetEntryCount(), static_cast<unsigned long long>(index.GetTriangles()),
               Megabytes(index.GetPackedBytes()), Megabytes(index.GetUnpackedBytes()), openMs,
               static_cast<double>(index.GetMemoryBytes()) / entries, KELStreamingHost::GetBytesPerEntry());
  return true;
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
  const std::string mode = view.iMode == KELDemoMode::kStreaming
                               ? std::string("stream-") + GetStreamingOrderName(view.iOrder)
                               : std::string(GetModeName(view.iMode));
  std::string stem = directory + "/" + mode + "-" + std::to_string(view.iFrame);
  KELDemoRenderer& renderer = view.iRenderer;
  std::vector<uint8_t> rgba(static_cast<size_t>(renderer.GetWidth()) * renderer.GetHeight() * 4);
  renderer.ReadColor(rgba.data());
  WritePng(stem + "-view.png", renderer.GetWidth(), renderer.GetHeight(), rgba.data());
  int width = 0, height = 0;
  DrawBirdsEye(view, *view.iScene, 768, rgba, width, height);
  WritePng(stem + "-birdseye.png", width, height, rgba.data());
}

}  // namespace

int main(int argc, char** argv) {
  static KELCountingAllocator allocator;
  KELAllocator::SetAllocator(&allocator);
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
  // The pack outlives the walkthrough, whose streaming host reads it.
  KELPackIndex packIndex;
  std::unique_ptr<KELPackSource> packSource;
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
  const bool streaming =
      options.iWindow || std::find(modes.begin(), modes.end(), KELDemoMode::kStreaming) != modes.end();
  if (streaming) {
    if (!PreparePack(options, scene, options.iModel.iPath.empty() ? nullptr : &model.iModel, packIndex, packSource,
                     out))
      return 1;
    walk.SetPack(&packIndex, packSource.get());
  }
  std::fflush(out);
  if (options.iWindow) {
#ifdef KEL_DEMO_HAVE_WINDOW
    return RunDemoWindow(walk, options.iWindowOptions, out);
#else
    std::fputs("kel_demo: built without GLFW (Debian libglfw3-dev); no --window\n", stderr);
    return 1;
#endif
  }

  if (options.iTruthFile.empty() || !walk.LoadGroundTruth(options.iTruthFile)) {
    KELProgress truthProgress("ground truth", walk.GetFrameCount());
    walk.ComputeGroundTruth([&](int frame) { truthProgress.Update(frame); });
    truthProgress.Finish();
    if (!options.iTruthFile.empty() && !walk.SaveGroundTruth(options.iTruthFile))
      std::fprintf(stderr, "kel_demo: cannot write %s\n", options.iTruthFile.c_str());
  } else {
    std::fprintf(out, "ground truth: %s\n", options.iTruthFile.c_str());
  }

  std::set<int> pictureFrames;
  for (int i = 0; i < options.iPictures; ++i)
    pictureFrames.insert((2 * i + 1) * walk.GetFrameCount() / (2 * options.iPictures));
  walk.SetFrameObserver([&](const KELFrameView& view) { SavePictures(view, options.iOutput, pictureFrames); });

  std::vector<KELModeRun> runs;
  for (KELDemoMode mode : options.iModes) {
    if (mode != KELDemoMode::kStreaming) {
      KELProgress progress(GetModeName(mode), walk.GetFrameCount());
      runs.push_back(KELModeRun{mode, walk.Run(mode, [&](int frame) { progress.Update(frame); }), {}});
      progress.Finish();
      continue;
    }
    for (KELStreamingOrder order : options.iStreamOrders) {
      KELProgress progress(std::string("stream-") + GetStreamingOrderName(order), walk.GetFrameCount());
      std::vector<KELFrameRecord> records = walk.RunStreaming(order, [&](int frame) { progress.Update(frame); });
      runs.push_back(KELModeRun{mode, std::move(records), walk.GetStreamingSummary()});
      progress.Finish();
    }
  }

  WriteFramesCsv(options.iOutput + "/frames.csv", runs);
  std::vector<KELPlotSeries> series, streamSeries;
  for (const KELModeRun& run : runs) {
    const bool streamed = run.iMode == KELDemoMode::kStreaming;
    series.push_back(KELPlotSeries{GetRunLabel(run),
                                   streamed ? GetPlotColor(run.iStreaming.iOrder) : GetPlotColor(run.iMode),
                                   &run.iRecords});
    if (streamed) streamSeries.push_back(series.back());
  }
  WritePlot(options.iOutput + "/plot.png", series);
  if (!streamSeries.empty()) WriteStreamPlot(options.iOutput + "/stream.png", streamSeries);
  WriteSummary(out, runs);
  std::fprintf(out, "\nper-frame figures: %s/frames.csv; plot: %s/plot.png%s; pictures: %s/*-view.png, "
                    "*-birdseye.png\n",
               options.iOutput.c_str(), options.iOutput.c_str(),
               streamSeries.empty() ? "" : (", " + options.iOutput + "/stream.png").c_str(), options.iOutput.c_str());
  if (walk.GetValidationErrors() >= 0) std::fprintf(out, "validation errors: %d\n", walk.GetValidationErrors());
  // Partitions of earlier runs went back to the library's pools: this is
  // what the largest run needed.
  std::fprintf(out, "library: %.1f MB through its allocator, %.1f bytes an entry\n", Megabytes(allocator.GetBytes()),
               static_cast<double>(allocator.GetBytes()) / std::max<size_t>(1, scene.iObjects.size()));
  std::string name = scene.iName;
  std::replace(name.begin(), name.end(), ' ', '-');
  WriteStreamSummaries(out, runs);
  WriteSummaryLine(out, name, scene.iObjects.size(), walk.GetFrameCount(), runs);
  std::fflush(out);
  return 0;
}
