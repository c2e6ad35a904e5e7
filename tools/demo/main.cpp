// kel_demo: a headless walkthrough of a procedural scene or of a model,
// rendered in several modes side by side and compared with the exact
// visible set.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "KELDemoImages.h"
#include "KELDemoReport.h"
#include "KELDemoScenePack.h"
#include "KELDemoViews.h"
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
  int iViewTests = -1;  // the library's view-volume tests: -1 for the default (on for models)
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
  bool iHelp = false;
  KELDemoWindowOptions iWindowOptions;
  KELDemoViewOptions iViews;
  int iViewsShared = -1;
};

const uint32_t kLevelCoherency = 4;
const double kUnbounded = std::numeric_limits<double>::infinity();

const char* const kUsage =
    "usage: kel_demo [options]\n"
    "  --api opengl|vulkan    graphics interface for culling and ground truth (opengl)\n"
    "  --scene city|plant     scene to walk through (city)\n"
    "  --size N               city blocks / plant units per side (18 / 14)\n"
    "  --model PATH           walk through a model file, or a level (ARCHIVE.pk3:maps/NAME.bsp)\n"
    "  --grid N               model: N x N copies (1)\n"
    "  --partitions RULE      model: groups, tiles:K, clusters or grid:N (clusters / tiles:16)\n"
    "  --path FILE            model: camera keyframes, CSV x,y,z,yaw,pitch (degrees, +y up;\n"
    "                         yaw 0 looks along +x, 90 along -z; pitch 90 looks up)\n"
    "  --walk-height H        model: height of the walk above the lowest point (15% of the height)\n"
    "  --margin M             model: box margin (0.02% of the diagonal)\n"
    "  --view-tests 0|1       library skips partitions and objects outside the view (1 for models)\n"
    "  --pvs-partitions 0|1   levels: add only partitions, draw only entries, of the level's PVS (1)\n"
    "  --seed N               scene seed (1)\n"
    "  --frames N             frames along the camera path (240; levels: the whole tour, or N poses\n"
    "                         spread over it)\n"
    "  --width W --height H   framebuffer size (640 x 360)\n"
    "  --modes a,b,...        of draw-all,frustum,library,oracle,streaming,pvs (all; pvs for levels)\n"
    "  --threshold N          pixel-hits threshold (300)\n"
    "  --report-threshold N   pixels an unloaded entry needs to be reported (0)\n"
    "  --fill-depth 0|1       fill queries write the boxes of unloaded entries into depth (0)\n"
    "  --coherency N          frame coherency, 0 to 1000 (0; 4 for levels)\n"
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
    "  --prefetch 0|1         streaming, occlusion order: also the rest of a showing partition in view (1)\n"
    "  --prefetch-radius R    streaming, occlusion order: also every entry within R of the eye (0: none)\n"
    "  --truth FILE           keep the exact visible sets in FILE: reused by runs of the same scene, path\n"
    "                         and size, written otherwise\n"
    "  --pictures N           frames with pictures (4)\n"
    "  --out DIR              output directory (kel_demo_out)\n"
    "  --library-stats        print the library's six statistics lines of every frame\n"
    "  --views stereo|split   two eyes 6.4 cm apart, or two viewports on different paths, each\n"
    "                         culled through a library view of its own (instead of the modes)\n"
    "  --shadow               a light's shadow map culled through a view of its own, checked\n"
    "                         texel by texel against the map of every caster\n"
    "  --views-shared 0|1     1: the same views all through the default view (0)\n"
    "  --window               fly through the scene in a window instead (keys: tools/demo/README.md)\n"
    "  --window-frames N      close the window after N frames\n"
    "  --screenshot FILE      save the window's last image as PNG before it closes\n"
    "  --help                 this list\n";

bool ParseModes(const std::string& list, std::vector<KELDemoMode>& modes, std::string& error) {
  modes.clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string name = list.substr(start, end - start);
    KELDemoMode mode;
    if (!ParseModeName(name, mode)) {
      error = "unknown mode '" + name + "' in --modes (draw-all, frustum, library, oracle, streaming, pvs)";
      return false;
    }
    modes.push_back(mode);
    start = end + 1;
  }
  return true;
}

std::string FormatBound(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.15g", value);
  return text;
}

// Reads `value` as a number from `low` to `high` (whole for an integer
// `out`); false with a message that names the option.
template <typename T>
bool ReadNumber(const std::string& name, const std::string& value, double low, double high, T& out,
                std::string& error) {
  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  const double number = std::is_integral<T>::value ? static_cast<double>(std::strtoll(text, &end, 10))
                                                   : std::strtod(text, &end);
  if (end != text && *end == '\0' && errno == 0 && std::isfinite(number) && number >= low && number <= high) {
    out = static_cast<T>(number);
    return true;
  }
  error = name + " takes " + (std::is_integral<T>::value ? "a whole number" : "a number") + " from " +
          FormatBound(low) + (high < kUnbounded ? " to " + FormatBound(high) : " up") + ", not '" + value + "'";
  return false;
}

bool ReadSwitch(const std::string& name, const std::string& value, int& out, std::string& error) {
  return ReadNumber(name, value, 0, 1, out, error);
}

// The largest contribution scale that skips no object able to pass the
// threshold: a bounding sphere d pixels across covers about pi/4 d^2 pixels,
// up to 2.25 times that toward this field of view's corners, and a query box
// inside it counts its front and back faces: at most 3.5 d^2 samples.
float ContributionForThreshold(const KELWalkthroughOptions& walk, uint32_t threshold) {
  float pixels = std::sqrt(static_cast<float>(threshold) / 3.5f);
  return pixels * 2.0f * std::tan(0.5f * walk.iFovY) / static_cast<float>(walk.iHeight);
}

bool ParseOrders(const std::string& list, std::vector<KELStreamingOrder>& orders, std::string& error) {
  orders.clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string name = list.substr(start, end - start);
    KELStreamingOrder order;
    if (!ParseStreamingOrder(name, order)) {
      error = "unknown order '" + name + "' in --stream (occlusion, frustum, all)";
      return false;
    }
    orders.push_back(order);
    start = end + 1;
  }
  return true;
}

uint64_t MegabytesToBytes(double megabytes) { return static_cast<uint64_t>(megabytes * 1024.0 * 1024.0); }

// Reads a size in megabytes; false with a message naming the option.
bool ReadMegabytes(const std::string& name, const std::string& value, uint64_t& bytes, std::string& error) {
  double megabytes = 0;
  if (!ReadNumber(name, value, 0, 1e9, megabytes, error)) return false;
  bytes = MegabytesToBytes(megabytes);
  return true;
}

// False with a message naming the option for an unknown option, a missing
// value or a value out of range.
bool ParseArguments(int argc, char** argv, KELDemoOptions& options, std::string& error) {
  bool sizeGiven = false, contributionGiven = false;
  // Streaming runs by default report every visible unloaded entry, keep
  // unloaded boxes out of the depth buffer and prefetch the rest of a
  // showing partition in view (docs/streaming.md measures each); the other
  // runs keep the library's defaults.
  options.iWalk.iReportThreshold = 0;
  options.iWalk.iFillDepthWrites = false;
  options.iWalk.iStream.iPrefetchPartition = true;
  std::string modelOnly;  // a model option given without --model
  const uint32_t kMaxUnsigned = std::numeric_limits<uint32_t>::max();
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      options.iHelp = true;
      return true;
    }
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
    if (name.compare(0, 2, "--") != 0) {
      error = "unexpected argument '" + name + "'";
      return false;
    }
    if (i + 1 >= argc) {
      error = name + " needs a value";
      return false;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (name == "--grid" || name == "--partitions" || name == "--path" || name == "--walk-height" || name == "--margin")
      modelOnly = name;
    if (name == "--api") {
      ok = ParseApiName(value, options.iWalk.iApi);
      if (!ok) error = "unknown --api '" + value + "' (opengl or vulkan)";
    }
    else if (name == "--scene") {
      options.iScene = value;
      ok = value == "city" || value == "plant";
      if (!ok) error = "unknown --scene '" + value + "' (city or plant)";
    }
    else if (name == "--size") { ok = ReadNumber(name, value, 2, 200, options.iSceneOptions.iSize, error); sizeGiven = true; }
    else if (name == "--seed") ok = ReadNumber(name, value, 0, kMaxUnsigned, options.iSceneOptions.iSeed, error);
    else if (name == "--frames") {
      ok = ReadNumber(name, value, 1, 100000, options.iWalk.iFrames, error);
      options.iFramesGiven = true;
    }
    else if (name == "--model") options.iModel.iPath = value;
    else if (name == "--grid") ok = ReadNumber(name, value, 1, 64, options.iModel.iGrid, error);
    else if (name == "--partitions") options.iModel.iPartitions = value;
    else if (name == "--path") options.iModel.iPathFile = value;
    else if (name == "--walk-height") ok = ReadNumber(name, value, 0, kUnbounded, options.iModel.iWalkHeight, error);
    else if (name == "--margin") ok = ReadNumber(name, value, 0, kUnbounded, options.iModel.iMargin, error);
    else if (name == "--view-tests") ok = ReadSwitch(name, value, options.iViewTests, error);
    else if (name == "--pvs-partitions") ok = ReadSwitch(name, value, options.iPvsPartitions, error);
    else if (name == "--width") ok = ReadNumber(name, value, 1, 16384, options.iWalk.iWidth, error);
    else if (name == "--height") ok = ReadNumber(name, value, 1, 16384, options.iWalk.iHeight, error);
    else if (name == "--modes") { ok = ParseModes(value, options.iModes, error); options.iModesGiven = true; }
    else if (name == "--threshold") ok = ReadNumber(name, value, 0, kMaxUnsigned, options.iWalk.iPixelThreshold, error);
    else if (name == "--report-threshold")
      ok = ReadNumber(name, value, 0, kMaxUnsigned, options.iWalk.iReportThreshold, error);
    else if (name == "--fill-depth") {
      int on = 1;
      ok = ReadSwitch(name, value, on, error);
      options.iWalk.iFillDepthWrites = on != 0;
    }
    else if (name == "--coherency") {
      // Every run starts past the library's first frames, which takes this
      // many empty frames (KELWalkthrough).
      ok = ReadNumber(name, value, 0, 1000, options.iWalk.iFrameCoherency, error);
      options.iCoherencyGiven = true;
    }
    else if (name == "--contribution") {
      ok = ReadNumber(name, value, 0, kUnbounded, options.iWalk.iContributionScale, error);
      contributionGiven = true;
    }
    else if (name == "--stream") {
      ok = ParseOrders(value, options.iStreamOrders, error);
      options.iStreamGiven = true;
    }
    else if (name == "--pack") options.iPack = value;
    else if (name == "--truth") options.iTruthFile = value;
    else if (name == "--budget") ok = ReadMegabytes(name, value, options.iWalk.iStream.iBudgetBytes, error);
    else if (name == "--upload") ok = ReadMegabytes(name, value, options.iWalk.iStream.iUploadBytesPerFrame, error);
    else if (name == "--stream-threads") ok = ReadNumber(name, value, 1, 64, options.iWalk.iStream.iThreads, error);
    else if (name == "--rest") ok = ReadNumber(name, value, 0, 100000, options.iWalk.iRestFrames, error);
    else if (name == "--nearest-first") {
      int on = 0;
      ok = ReadSwitch(name, value, on, error);
      options.iWalk.iStream.iNearestFirst = on != 0;
    }
    else if (name == "--prefetch") {
      int on = 0;
      ok = ReadSwitch(name, value, on, error);
      options.iWalk.iStream.iPrefetchPartition = on != 0;
    }
    else if (name == "--prefetch-radius")
      ok = ReadNumber(name, value, 0, kUnbounded, options.iWalk.iStream.iPrefetchRadius, error);
    else if (name == "--stream-per-frame" || name == "--stream-delay") {
      error = name + " no longer applies: streaming reads a pack (see --upload and --stream-threads)";
      ok = false;
    }
    else if (name == "--pictures") ok = ReadNumber(name, value, 0, 1000, options.iPictures, error);
    else if (name == "--out") options.iOutput = value;
    else if (name == "--window-frames") ok = ReadNumber(name, value, 0, 1e9, options.iWindowOptions.iFrames, error);
    else if (name == "--screenshot") options.iWindowOptions.iScreenshot = value;
    else if (name == "--views") {
      ok = ParseViewKind(value, options.iViews.iKind);
      if (!ok) error = "unknown --views '" + value + "' (stereo or split)";
    }
    else if (name == "--views-shared") ok = ReadSwitch(name, value, options.iViewsShared, error);
    else {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (!ok) return false;
  }
  if (!modelOnly.empty() && options.iModel.iPath.empty()) {
    error = modelOnly + " applies to --model only";
    return false;
  }
  if (options.iOutput.empty()) {
    error = "--out needs a folder";
    return false;
  }
  options.iWindowOptions.iOutput = options.iOutput;
  // --stream alone runs the streaming orders alone; with --modes they take
  // the streaming mode's place, or follow the modes given.
  if (options.iStreamGiven) {
    if (!options.iModesGiven) options.iModes.clear();
    if (std::find(options.iModes.begin(), options.iModes.end(), KELDemoMode::kStreaming) == options.iModes.end())
      options.iModes.push_back(KELDemoMode::kStreaming);
  }
  // Sharing needs views to share, and the window shows one camera.
  if (options.iViewsShared >= 0 && !options.iViews.Enabled()) {
    error = "--views-shared needs --views or --shadow";
    return false;
  }
  if (options.iViews.Enabled() && options.iWindow) {
    error = "--views and --shadow run headless, not with --window";
    return false;
  }
  options.iViews.iShared = options.iViewsShared == 1;
  options.iViews.iPictures = options.iPictures;
  options.iViews.iOutput = options.iOutput;
  if (!sizeGiven && options.iScene == "plant") options.iSceneOptions.iSize = 14;
  // The view tests are the models' default; the procedural scenes keep
  // their figures.
  const bool model = !options.iModel.iPath.empty();
  options.iWalk.iViewTests = options.iViewTests < 0 ? model : options.iViewTests != 0;
  options.iWalk.iPvsPartitions = options.iPvsPartitions != 0;
  options.iWalk.iLibraryStatistics = options.iLibraryStats;
  if (options.iFramesGiven) options.iModel.iFrames = options.iWalk.iFrames;
  // Misses that matter are those the threshold promises to catch.
  options.iWalk.iCheckedPixels = options.iWalk.iPixelThreshold;
  // Streaming runs also report unloaded entries, which may take fewer pixels
  // than drawing: their scale follows the lower threshold.
  if (!contributionGiven) {
    options.iWalk.iContributionScale = ContributionForThreshold(options.iWalk, options.iWalk.iPixelThreshold);
    options.iWalk.iStreamContributionScale = ContributionForThreshold(
        options.iWalk, std::min(options.iWalk.iPixelThreshold, options.iWalk.iReportThreshold));
  } else {
    options.iWalk.iStreamContributionScale = options.iWalk.iContributionScale;
  }
  return true;
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

// The output folder, made now so that a run that cannot write its results
// stops before it starts. False with a message.
bool PrepareOutput(const std::string& directory, std::string& error) {
  std::error_code code;
  std::filesystem::create_directories(directory, code);
  if (code) {
    error = "cannot create the output folder '" + directory + "': " + code.message();
    return false;
  }
  const std::string probe = directory + "/frames.csv";
  FILE* file = std::fopen(probe.c_str(), "w");
  if (file == nullptr || std::fclose(file) != 0) {
    error = "cannot write in the output folder '" + directory + "'";
    return false;
  }
  return true;
}

// Saves the rendered view and the top-down view of chosen frames; false
// when a file cannot be written.
bool SavePictures(const KELFrameView& view, const std::string& directory, const std::set<int>& frames) {
  if (view.iWarmup || frames.count(view.iFrame) == 0) return true;
  if (view.iMode != KELDemoMode::kLibrary && view.iMode != KELDemoMode::kStreaming) return true;
  const std::string mode = view.iMode == KELDemoMode::kStreaming
                               ? std::string("stream-") + GetStreamingOrderName(view.iOrder)
                               : std::string(GetModeName(view.iMode));
  std::string stem = directory + "/" + mode + "-" + std::to_string(view.iFrame);
  KELDemoRenderer& renderer = view.iRenderer;
  std::vector<uint8_t> rgba(static_cast<size_t>(renderer.GetWidth()) * renderer.GetHeight() * 4);
  renderer.ReadColor(rgba.data());
  bool written = WritePng(stem + "-view.png", renderer.GetWidth(), renderer.GetHeight(), rgba.data());
  int width = 0, height = 0;
  DrawBirdsEye(view, *view.iScene, 768, rgba, width, height);
  return WritePng(stem + "-birdseye.png", width, height, rgba.data()) && written;
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
    if (!run.iLight && runs.empty()) runs.push_back(KELModeRun{KELDemoMode::kLibrary, run.iRecords, {}});
  WriteSummaryLine(out, name, walk.GetScene().iObjects.size(), walk.GetFrameCount(), runs);
  std::fflush(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static KELCountingAllocator allocator;
  KELAllocator::SetAllocator(&allocator);
  KELDemoOptions options;
  std::string problem;
  if (!ParseArguments(argc, argv, options, problem)) {
    std::fprintf(stderr, "kel_demo: %s; kel_demo --help lists the options\n", problem.c_str());
    return 2;
  }
  if (options.iHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!PrepareOutput(options.iOutput, problem)) {
    std::fprintf(stderr, "kel_demo: %s\n", problem.c_str());
    return 1;
  }
  FILE* out = stdout;

  kel::KELScene procedural;
  KELDemoModelScene model;
  // The pack outlives the walkthrough, whose streaming host reads it.
  KELPackIndex packIndex;
  std::unique_ptr<KELPackSource> packSource;
  std::unique_ptr<KELWalkthrough> walkOwner;
  if (options.iModel.iPath.empty()) {
    kel::MakeScene(options.iScene, options.iSceneOptions, procedural);
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
  const bool pvsAsked = std::count(options.iModes.begin(), options.iModes.end(), KELDemoMode::kPvs) > 0;
  if (pvsAsked && !walk.HasPvs()) {
    std::fprintf(stderr, "kel_demo: the pvs mode needs a level with a potentially visible set (--model "
                         "ARCHIVE.pk3:maps/NAME.bsp); %s has none\n", scene.iName.c_str());
    return 2;
  }
  if (walk.HasPvs() && !options.iModesGiven && !options.iStreamGiven) options.iModes.push_back(KELDemoMode::kPvs);
  std::string failure;
  if (!walk.Create(failure)) {
    std::fprintf(stderr, "kel_demo: no headless %s: %s\n", GetApiName(options.iWalk.iApi), failure.c_str());
    return 1;
  }
  std::fprintf(out, "scene %s: %zu objects in %u partitions; %d frames at %dx%d on %s\n", scene.iName.c_str(),
               scene.iObjects.size(), scene.iPartitionCount, walk.GetFrameCount(), options.iWalk.iWidth,
               options.iWalk.iHeight, walk.GetRendererName().c_str());
  if (!options.iModel.iPath.empty())
    std::fprintf(out, "model: %s partitions, box margin %g, view tests %s%s\n",
                 kel::DescribePartitionChoice(model.iPartitionChoice).c_str(), model.iMargin,
                 options.iWalk.iViewTests ? "on" : "off",
                 walk.HasPvs() ? (options.iWalk.iPvsPartitions ? ", pvs partitions on" : ", pvs partitions off") : "");
  // The views walk streams nothing.
  const bool streaming =
      !options.iViews.Enabled() &&
      (options.iWindow || std::count(options.iModes.begin(), options.iModes.end(), KELDemoMode::kStreaming) > 0);
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

  if (options.iViews.Enabled()) return RunViews(walk, options, model, out);

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
  bool picturesWritten = true;
  walk.SetFrameObserver([&](const KELFrameView& view) {
    picturesWritten = SavePictures(view, options.iOutput, pictureFrames) && picturesWritten;
  });

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

  const bool framesWritten = WriteFramesCsv(options.iOutput + "/frames.csv", runs);
  // Without gnuplot (an optional package) there is no plot, and the run
  // still counts.
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
  if (!framesWritten || !picturesWritten) {
    std::fprintf(stderr, "kel_demo: cannot write %s in %s\n", framesWritten ? "pictures" : "frames.csv",
                 options.iOutput.c_str());
    return 1;
  }
  return 0;
}
