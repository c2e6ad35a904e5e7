// The culling frame with the OpenGL client on the headless context
// (llvmpipe where there is no GPU): the library's own time (EndCulling less
// the client's measured time in its calls) at a fixed street view and along
// the city walk, next to the plain per-entry frustum loop in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "KELBenchSupport.h"
#include "KELDemoHost.h"
#include "KELGLBoxRenderer.h"
#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"

namespace {

const float kSky[4] = {0.62f, 0.74f, 0.88f, 1.0f};

// One context for the process; null when there is no headless OpenGL.
struct KELGLSetup {
  KELHeadlessContext iContext;
  KELGLBoxRenderer iRenderer;
  bool iValid = false;
  std::string iError;

  KELGLSetup() {
    if (!iContext.Create(640, 360)) {
      iError = "no headless OpenGL: " + iContext.GetErrorText();
      return;
    }
    iValid = iRenderer.Create();
    if (!iValid) iError = "cannot build the box renderer";
  }
};

KELGLSetup& GL() {
  static KELGLSetup _setup;
  return _setup;
}

// The scene in partitions, drawn by the demo's host through the client.
// The library talks to the OpenGL client through a timing wrapper, so that
// its time is taken as for the scripted clients; the OpenGL client's own
// timer (steady clock) runs too, as a cross-check.
struct KELGLScene {
  const kel::KELScene& iScene;
  KELDemoHost iHost;
  KELOpenGLClient iClient;
  KELTimedClient iTimed;
  KELLoadedScene iLoaded;

  explicit KELGLScene(const kel::KELScene& scene)
      : iScene(scene), iHost(scene, GL().iRenderer), iClient(&iHost), iTimed(&iClient) {
    KELScriptedClient::Calibrate();
    iClient.Create();
    iClient.SetTiming(true);
    iLoaded.Load(scene, static_cast<char*>(iHost.ObjectPointer(0)), sizeof(kel::KELSceneObject), true);
    KELOcclusionCullingEngine::GetInstance()->SetClient(&iTimed);
  }
  ~KELGLScene() {
    KELOcclusionCullingEngine::GetInstance()->SetClient(nullptr);
    iLoaded.Unload();
  }
};

struct KELGLFrame {
  double iCullSeconds;
  double iClientSeconds;      // the wrapper's
  double iOwnTimerSeconds;    // the OpenGL client's own timer
  uint64_t iCalls;
  double iFrameSeconds;  // clear to glFinish
  uint32_t iQueries;
  uint32_t iDrawn;
};

KELGLFrame RunFrame(KELGLScene& scene, const KELBenchCamera& camera) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  uint64_t frameStart = KELTickClock::Now();
  scene.iHost.BeginFrame();
  GL().iRenderer.SetViewProjection(camera.iViewProjection);
  GL().iContext.Clear(kSky);
  camera.Apply(engine);
  scene.iClient.BeginFrame(camera.iView, camera.iProjection);
  scene.iTimed.ResetCounters();
  engine->StartCulling();
  scene.iLoaded.AddTo(engine);
  uint64_t start = KELTickClock::Now();
  engine->EndCulling();
  uint64_t end = KELTickClock::Now();
  KELGL().Finish();
  const KELOpenGLClientStats& stats = scene.iClient.GetStats();
  return KELGLFrame{KELTickClock::ToSeconds(end - start), scene.iTimed.ClientSeconds(), stats.iClientSeconds,
                    scene.iTimed.iCalls, KELTickClock::ToSeconds(KELTickClock::Now() - frameStart),
                    stats.iQueries, scene.iHost.GetDrawnCount()};
}

double TimeFrustumLoop(const kel::KELScene& scene, const KELBenchCamera& camera) {
  uint64_t start = KELTickClock::Now();
  uint32_t inside = CountInFrustum(scene.iObjects, camera.iPlanes);
  benchmark::DoNotOptimize(inside);
  return KELTickClock::ToSeconds(KELTickClock::Now() - start);
}

// Fixed street view; reported time: the library's own per frame.
void BM_CullingFrameGL(benchmark::State& state) {
  if (!GL().iValid) {
    state.SkipWithError(GL().iError.c_str());
    return;
  }
  const kel::KELScene& city = GetCity(static_cast<int>(state.range(0)));
  KELGLScene scene(city);
  KELBenchCamera camera = MakeStreetCamera(city);
  KELQuietStdout quiet;
  for (int frame = 0; frame < 3; ++frame) RunFrame(scene, camera);
  double library = 0, client = 0, ownTimer = 0, loop = 0, frameTotal = 0;
  double queries = 0, drawn = 0, calls = 0;
  for (auto _ : state) {
    KELGLFrame frame = RunFrame(scene, camera);
    double loopSeconds = TimeFrustumLoop(city, camera);
    state.SetIterationTime(frame.iCullSeconds - frame.iClientSeconds);
    library += frame.iCullSeconds - frame.iClientSeconds;
    client += frame.iClientSeconds;
    ownTimer += frame.iCullSeconds - frame.iOwnTimerSeconds;
    calls += static_cast<double>(frame.iCalls);
    loop += loopSeconds;
    frameTotal += frame.iFrameSeconds;
    queries += frame.iQueries;
    drawn += frame.iDrawn;
  }
  double frames = static_cast<double>(state.iterations());
  state.counters["entries"] = static_cast<double>(city.iObjects.size());
  state.counters["library_ms"] = library * 1e3 / frames;
  state.counters["client_ms"] = client * 1e3 / frames;
  state.counters["library_own_timer_ms"] = ownTimer * 1e3 / frames;
  state.counters["client_calls"] = calls / frames;
  state.counters["frame_ms"] = frameTotal * 1e3 / frames;
  state.counters["loop_ms"] = loop * 1e3 / frames;
  state.counters["library_to_loop"] = library / loop;
  state.counters["queries"] = queries / frames;
  state.counters["drawn"] = drawn / frames;
}

// The city walk from fresh partitions (the first frames split zones), as
// the demo runs it; each frame also times the plain loop at its view.
void BM_WalkthroughGL(benchmark::State& state) {
  if (!GL().iValid) {
    state.SkipWithError(GL().iError.c_str());
    return;
  }
  const kel::KELScene& city = GetCity(static_cast<int>(state.range(0)));
  const int frames = static_cast<int>(state.range(1));
  // range(2) 1: the library's records come from a host arena instead of the
  // C heap (run in a process of its own: recycled records stay where they
  // were). The arena lives as long as the process.
  static KELArenaAllocator* _arena = nullptr;
  if (state.range(2) == 1) {
    if (_arena == nullptr) _arena = new KELArenaAllocator(size_t(1) << 30);
    KELAllocator::SetAllocator(_arena);
  }
  std::vector<double> libraryMs, loopMs, ratios, frameMs;
  double queries = 0, drawn = 0;
  for (auto _ : state) {
    KELGLScene scene(city);
    KELQuietStdout quiet;
    double library = 0;
    for (int i = 0; i < frames; ++i) {
      KELBenchCamera camera = MakePathCamera(city, frames > 1 ? i / static_cast<float>(frames - 1) : 0.0f);
      KELGLFrame frame = RunFrame(scene, camera);
      double loop = TimeFrustumLoop(city, camera);
      double own = frame.iCullSeconds - frame.iClientSeconds;
      library += own;
      libraryMs.push_back(own * 1e3);
      loopMs.push_back(loop * 1e3);
      ratios.push_back(own / loop);
      frameMs.push_back(frame.iFrameSeconds * 1e3);
      queries += frame.iQueries;
      drawn += frame.iDrawn;
    }
    state.SetIterationTime(library);
  }
  double count = static_cast<double>(libraryMs.size());
  double librarySum = 0, loopSum = 0;
  for (double value : libraryMs) librarySum += value;
  for (double value : loopMs) loopSum += value;
  state.counters["entries"] = static_cast<double>(city.iObjects.size());
  state.counters["frames"] = count;
  state.counters["library_median_ms"] = Median(libraryMs);
  state.counters["library_p95_ms"] = Percentile(libraryMs, 0.95);
  state.counters["library_mean_ms"] = librarySum / count;
  state.counters["loop_median_ms"] = Median(loopMs);
  state.counters["library_to_loop_median"] = Median(ratios);
  state.counters["library_to_loop_p95"] = Percentile(ratios, 0.95);
  state.counters["library_to_loop_total"] = librarySum / loopSum;
  state.counters["frame_median_ms"] = Median(frameMs);
  state.counters["queries"] = queries / count;
  state.counters["drawn"] = drawn / count;
  if (state.range(2) == 1) KELAllocator::SetAllocator(nullptr);
}

}  // namespace

BENCHMARK(BM_CullingFrameGL)->ArgName("entries")->Arg(10000)->Arg(100000)->Arg(1000000)
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(60);
BENCHMARK(BM_WalkthroughGL)->ArgNames({"entries", "frames", "arena"})->Args({100000, 120, 0})
    ->Args({1000000, 120, 0})->Args({1000000, 120, 1})
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();

BENCHMARK_MAIN();
