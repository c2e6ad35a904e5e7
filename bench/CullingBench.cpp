// The culling frame with scripted clients: the library's own time per
// EndCulling (EndCulling minus the time inside client calls) on the city at
// 10k, 100k and 1M entries, at one fixed street view, next to the plain
// per-entry frustum loop in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "KELBenchSupport.h"

namespace {

KELOcclusionCullingEngine* Engine() { return KELOcclusionCullingEngine::GetInstance(); }

char* ObjectBase(const kel::KELScene& scene) {
  return reinterpret_cast<char*>(const_cast<kel::KELSceneObject*>(scene.iObjects.data()));
}

// One frame: returns the seconds spent in EndCulling.
double RunFrame(KELOcclusionCullingEngine* engine, const KELLoadedScene& loaded, const KELBenchCamera& camera) {
  camera.Apply(engine);
  engine->StartCulling();
  loaded.AddTo(engine);
  uint64_t start = KELTickClock::Now();
  engine->EndCulling();
  return KELTickClock::ToSeconds(KELTickClock::Now() - start);
}

double TimeFrustumLoop(const kel::KELScene& scene, const KELBenchCamera& camera, uint32_t& inside) {
  uint64_t start = KELTickClock::Now();
  inside = CountInFrustum(scene.iObjects, camera.iPlanes);
  benchmark::DoNotOptimize(inside);
  return KELTickClock::ToSeconds(KELTickClock::Now() - start);
}

// state.range(0): entries; state.range(1): the answer, pixels every query
// reports (1000: all visible, 0: all hidden) or, negative, the range within
// which boxes are visible (-150: what lies within 150 units of the eye). Reported time: the library's own
// (EndCulling less the time inside client calls).
void BM_CullingFrame(benchmark::State& state) {
  KELScriptedClient::Calibrate();
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = Engine();
  const int64_t answer = state.range(1);
  KELScriptedClient client(answer > 0 ? static_cast<uint32_t>(answer) : 0u);
  KELBenchCamera camera = MakeStreetCamera(scene);
  if (answer < 0) client.SetVisibleRange(camera.iEye, static_cast<float>(-answer));
  client.TrackObjects(ObjectBase(scene), sizeof(kel::KELSceneObject), scene.iObjects.size());
  engine->SetClient(&client);
  KELLoadedScene loaded;
  loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
  KELQuietStdout quiet;
  // Warm-up: the first frames split zones and fill the pools.
  for (int frame = 0; frame < 3; ++frame) RunFrame(engine, loaded, camera);
  double cullSeconds = 0, clientSeconds = 0, loopSeconds = 0, untimedSeconds = 0, untimedClientSeconds = 0;
  uint64_t calls = 0, queries = 0, drawn = 0, distinct = 0, touched = 0, boxes = 0;
  uint32_t inside = 0;
  std::vector<double> libraryMs;
  for (auto _ : state) {
    // Each timed frame first runs untimed: reading the clock in every one of
    // up to a million client calls slows the library's own code around them
    // too, so the untimed frame gives the less disturbed figure.
    // Both frames follow a run of the host's plain loop, so that they meet
    // the caches in the same state (as after the host's own frame work).
    double loop = TimeFrustumLoop(scene, camera, inside);
    client.iTiming = false;
    client.ResetCounters();
    double untimed = RunFrame(engine, loaded, camera);
    double untimedClient = client.UntimedClientSeconds();
    loop += TimeFrustumLoop(scene, camera, inside);
    client.iTiming = true;
    client.ResetCounters();
    double cull = RunFrame(engine, loaded, camera);
    double inClient = client.ClientSeconds();
    state.SetIterationTime(untimed - untimedClient);
    libraryMs.push_back((untimed - untimedClient) * 1e3);
    untimedSeconds += untimed;
    untimedClientSeconds += untimedClient;
    cullSeconds += cull;
    clientSeconds += inClient;
    loopSeconds += loop;
    calls += client.iCalls;
    queries += client.iQueries;
    drawn += client.iDrawn;
    distinct += client.iDistinctDrawn;
    touched += client.iTouched;
    boxes += client.iBoxes;
  }
  engine->SetClient(nullptr);
  loaded.Unload();
  double frames = static_cast<double>(state.iterations());
  state.counters["entries"] = static_cast<double>(scene.iObjects.size());
  // library_ms: untimed EndCulling less the estimated client share;
  // library_timed_ms: timed EndCulling less the measured client time.
  state.counters["endculling_ms"] = untimedSeconds * 1e3 / frames;
  state.counters["client_est_ms"] = untimedClientSeconds * 1e3 / frames;
  state.counters["library_ms"] = (untimedSeconds - untimedClientSeconds) * 1e3 / frames;
  state.counters["library_median_ms"] = Median(libraryMs);
  state.counters["endculling_timed_ms"] = cullSeconds * 1e3 / frames;
  state.counters["client_timed_ms"] = clientSeconds * 1e3 / frames;
  state.counters["library_timed_ms"] = (cullSeconds - clientSeconds) * 1e3 / frames;
  state.counters["loop_ms"] = loopSeconds * 1e3 / (2 * frames);
  state.counters["library_to_loop"] = 2 * (untimedSeconds - untimedClientSeconds) / loopSeconds;
  state.counters["in_frustum"] = inside;
  state.counters["client_calls"] = static_cast<double>(calls) / frames;
  state.counters["queries"] = static_cast<double>(queries) / frames;
  state.counters["boxes"] = static_cast<double>(boxes) / frames;
  state.counters["drawn"] = static_cast<double>(drawn) / frames;
  state.counters["drawn_distinct"] = static_cast<double>(distinct) / frames;
  state.counters["touched"] = static_cast<double>(touched) / frames;
}

// The same frames with the library's view-volume tests on: what the tests
// cost per handed entry against what they save in drawing and queries.
void BM_CullingFrameViewTests(benchmark::State& state) {
  Engine()->SetViewVolumeTests(true);
  BM_CullingFrame(state);
  Engine()->SetViewVolumeTests(false);
}

// EndCulling with no partition: what is left is the six statistics lines
// (formatting and writing) and the frame's fixed work.
void BM_EmptyFrame(benchmark::State& state) {
  KELOcclusionCullingEngine* engine = Engine();
  KELScriptedClient client(0);
  client.iTiming = false;
  engine->SetClient(&client);
  KELQuietStdout quiet;
  // Range 1: line buffered, as on a terminal (one write per line).
  if (state.range(0) == 1) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  for (auto _ : state) {
    engine->StartCulling();
    engine->EndCulling();
  }
  std::fflush(stdout);
  if (state.range(0) == 1) std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  engine->SetClient(nullptr);
}

}  // namespace

BENCHMARK(BM_CullingFrame)
    ->ArgNames({"entries", "answer"})
    ->Args({10000, 1000})->Args({100000, 1000})->Args({1000000, 1000})
    ->Args({10000, 0})->Args({100000, 0})->Args({1000000, 0})
    ->Args({10000, -150})->Args({100000, -150})->Args({1000000, -150})
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);
BENCHMARK(BM_CullingFrameViewTests)
    ->ArgNames({"entries", "answer"})
    ->Args({1000000, 1000})->Args({1000000, 0})->Args({1000000, -150})
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);
BENCHMARK(BM_EmptyFrame)->ArgName("line_buffered")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
