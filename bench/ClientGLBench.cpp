// What one occlusion query costs in the OpenGL client alone, without the
// library: N queries a frame, each of one small box, on the headless
// context (llvmpipe where there is no GPU). Either every result is waited
// for right after its query (a round trip per query), or all N are issued
// and read after the frame's glFinish (no waiting). The counter
// us_per_query is the frame's time over N.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"

namespace {

const int kWidth = 320;
const int kHeight = 180;
const int kBoxPixels = 4;
// No face culling: a box's front and back faces both pass.
const uint32_t kBoxSamples = 2 * kBoxPixels * kBoxPixels;
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct KELClientSetup {
  KELHeadlessContext iContext;
  std::unique_ptr<KELOpenGLClient> iClient;
  std::string iError;

  KELClientSetup() {
    if (!iContext.Create(kWidth, kHeight)) {
      iError = "no headless OpenGL: " + iContext.GetErrorText();
      return;
    }
    iClient.reset(new KELOpenGLClient(nullptr));
    if (!iClient->Create()) {
      iError = "cannot build the OpenGL client";
      iClient.reset();
    }
  }
  ~KELClientSetup() { iClient.reset(); }
};

KELClientSetup& Setup() {
  static KELClientSetup _setup;
  return _setup;
}

// Box `i` covers kBoxPixels x kBoxPixels whole pixels of a grid over the
// screen (identity matrices: the box is given in clip space), so each query
// must count exactly kBoxSamples.
void GridBox(uint32_t i, float* min, float* max) {
  const uint32_t columns = kWidth / kBoxPixels, rows = kHeight / kBoxPixels;
  const uint32_t cell = i % (columns * rows);
  const float x = static_cast<float>((cell % columns) * kBoxPixels);
  const float y = static_cast<float>((cell / columns) * kBoxPixels);
  min[0] = -1.0f + 2.0f * x / kWidth;
  min[1] = -1.0f + 2.0f * y / kHeight;
  max[0] = -1.0f + 2.0f * (x + kBoxPixels) / kWidth;
  max[1] = -1.0f + 2.0f * (y + kBoxPixels) / kHeight;
  min[2] = 0.0f;
  max[2] = 0.25f;
}

// One frame of `count` queries; returns how many counted other than their
// box's samples.
uint32_t QueryFrame(KELClientSetup& setup, const std::vector<float>& boxes, std::vector<void*>& queries, bool wait) {
  KELOpenGLClient& client = *setup.iClient;
  const float black[4] = {0, 0, 0, 1};
  uint32_t wrong = 0;
  setup.iContext.Clear(black);
  client.BeginFrame(kIdentity, kIdentity);
  // The library's state for entry and zone queries.
  client.EnableColorWrite(false);
  client.EnableDepthWrite(false);
  for (size_t i = 0; i < queries.size(); ++i) {
    void* query = queries[i] = client.GenQuery();
    client.BeginQuery(query);
    client.StartDrawBoxes();
    client.DrawBox(&boxes[6 * i], &boxes[6 * i + 3], nullptr);
    client.EndDrawBoxes();
    client.EndQuery(query);
    if (wait) {
      uint32_t pixels = 0;
      client.GetQueryResult(query, pixels, true);
      wrong += pixels != kBoxSamples;
    }
  }
  if (!wait) {
    KELGL().Finish();
    for (void* query : queries) {
      uint32_t pixels = 0;
      bool ready = client.GetQueryResult(query, pixels, false);
      wrong += !ready || pixels != kBoxSamples;
    }
  }
  client.EnableColorWrite(true);
  client.EnableDepthWrite(true);
  KELGL().Finish();
  return wrong;
}

// The measured frames only, by name, for callgrind's --toggle-collect.
__attribute__((noinline)) uint32_t KELMeasuredQueryFrame(KELClientSetup& setup, const std::vector<float>& boxes,
                                                         std::vector<void*>& queries, bool wait) {
  return QueryFrame(setup, boxes, queries, wait);
}

void BM_ClientQueries(benchmark::State& state) {
  KELClientSetup& setup = Setup();
  if (!setup.iClient) {
    state.SkipWithError(setup.iError.c_str());
    return;
  }
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const bool wait = state.range(1) != 0;
  std::vector<float> boxes(6 * count);
  for (uint32_t i = 0; i < count; ++i) GridBox(i, &boxes[6 * i], &boxes[6 * i + 3]);
  std::vector<void*> queries(count);
  // The first frame compiles the rasteriser's shader variants.
  uint32_t wrong = QueryFrame(setup, boxes, queries, wait);
  double seconds = 0, cpuSeconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    wrong += KELMeasuredQueryFrame(setup, boxes, queries, wait);
    cpuSeconds += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (wrong != 0) {
    state.SkipWithError("a query counted other than its box's samples");
    return;
  }
  const double issued = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["us_per_query"] = 1e6 * seconds / issued;
  // Every thread's processor time (the rasteriser's threads too): steadier
  // than wall time on a loaded machine.
  state.counters["cpu_us_per_query"] = 1e6 * cpuSeconds / issued;
}

BENCHMARK(BM_ClientQueries)
    ->ArgNames({"queries", "wait"})
    ->ArgsProduct({{100, 1000, 10000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
