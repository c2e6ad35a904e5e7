// The world partition on its own: bulk loading, moving entries, the first
// frame's splits and the host's own walk with a frustum visitor, each next
// to what it costs a host without the library.
#include <benchmark/benchmark.h>

#include <vector>

#include "KELBenchSupport.h"

namespace {

KELOcclusionCullingEngine* Engine() { return KELOcclusionCullingEngine::GetInstance(); }

char* ObjectBase(const kel::KELScene& scene) {
  // The library only hands object pointers back; they are never written.
  return reinterpret_cast<char*>(const_cast<kel::KELSceneObject*>(scene.iObjects.data()));
}

void SetEntryCounters(benchmark::State& state, const kel::KELScene& scene) {
  state.counters["entries"] = static_cast<double>(scene.iObjects.size());
  state.counters["city_size"] = GetCitySize(static_cast<int>(state.range(0)));
}

// Bulk AddEntry into fresh partitions.
void BM_AddEntry(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = Engine();
  KELLoadedScene loaded;
  std::vector<void*> partitions;
  loaded.iEntries.reserve(scene.iObjects.size());
  for (auto _ : state) {
    state.PauseTiming();
    loaded.Unload();
    partitions.clear();
    for (uint32_t p = 0; p < scene.iPartitionCount; ++p) partitions.push_back(engine->CreateSpacePartition());
    state.ResumeTiming();
    char* base = ObjectBase(scene);
    for (size_t index = 0; index < scene.iObjects.size(); ++index) {
      const kel::KELSceneObject& object = scene.iObjects[index];
      float center[3], radius;
      BoxSphere(object.iMin, object.iMax, center, radius);
      loaded.iEntries.push_back(engine->AddEntry(partitions[object.iPartition], base + index * sizeof(object),
                                                 object.iMin, object.iMax, center, radius, nullptr));
    }
  }
  loaded.Unload();
  SetEntryCounters(state, scene);
  state.counters["entries_per_second"] = benchmark::Counter(
      static_cast<double>(scene.iObjects.size()), benchmark::Counter::kIsIterationInvariantRate);
}

// UpdateEntry on a tenth of the entries per frame (a different tenth each
// frame), each moved a little, with a culling frame between the rounds.
void BM_UpdateEntryTenthPerFrame(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = Engine();
  KELLoadedScene loaded;
  loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
  loaded.SplitAll();
  KELScriptedClient client(0);
  client.iTiming = false;
  engine->SetClient(&client);
  KELBenchCamera camera = MakeStreetCamera(scene);
  KELQuietStdout quiet;
  size_t frame = 0, updated = 0;
  for (auto _ : state) {
    float shift = (frame / 10) % 2 == 0 ? 0.25f : -0.25f;
    for (size_t index = frame % 10; index < scene.iObjects.size(); index += 10) {
      const kel::KELSceneObject& object = scene.iObjects[index];
      float min[3] = {object.iMin[0] + shift, object.iMin[1], object.iMin[2]};
      float max[3] = {object.iMax[0] + shift, object.iMax[1], object.iMax[2]};
      float center[3], radius;
      BoxSphere(min, max, center, radius);
      engine->UpdateEntry(loaded.iEntries[index], min, max, center, radius, nullptr);
      ++updated;
    }
    state.PauseTiming();
    camera.Apply(engine);
    engine->StartCulling();
    loaded.AddTo(engine);
    engine->EndCulling();
    ++frame;
    state.ResumeTiming();
  }
  engine->SetClient(nullptr);
  loaded.Unload();
  SetEntryCounters(state, scene);
  state.counters["updates_per_frame"] = static_cast<double>(updated) / static_cast<double>(frame);
  state.counters["updates_per_second"] = benchmark::Counter(static_cast<double>(updated), benchmark::Counter::kIsRate);
}

// The first culling frame after a bulk load (every entry waits in its
// partition's root): its splits, against the second frame at the same view.
void BM_FirstFrameAfterBulkLoad(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = Engine();
  KELScriptedClient client(1000);
  client.iTiming = false;
  engine->SetClient(&client);
  KELBenchCamera camera = MakeStreetCamera(scene);
  KELLoadedScene loaded;
  KELQuietStdout quiet;
  double firstSeconds = 0, secondSeconds = 0;
  for (auto _ : state) {
    loaded.Unload();
    loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
    double seconds[2];
    for (double& frameSeconds : seconds) {
      camera.Apply(engine);
      engine->StartCulling();
      loaded.AddTo(engine);
      uint64_t start = KELTickClock::Now();
      engine->EndCulling();
      frameSeconds = KELTickClock::ToSeconds(KELTickClock::Now() - start);
    }
    state.SetIterationTime(seconds[0]);
    firstSeconds += seconds[0];
    secondSeconds += seconds[1];
  }
  engine->SetClient(nullptr);
  loaded.Unload();
  double iterations = static_cast<double>(state.iterations());
  SetEntryCounters(state, scene);
  state.counters["first_frame_ms"] = firstSeconds * 1e3 / iterations;
  state.counters["second_frame_ms"] = secondSeconds * 1e3 / iterations;
  state.counters["splits_ms"] = (firstSeconds - secondSeconds) * 1e3 / iterations;
}

// Splitting a bulk-loaded partition completely (a walk that enters every
// zone), the worst case of a first frame.
void BM_SplitEverything(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELLoadedScene loaded;
  for (auto _ : state) {
    state.PauseTiming();
    loaded.Unload();
    loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
    state.ResumeTiming();
    loaded.SplitAll();
  }
  loaded.Unload();
  SetEntryCounters(state, scene);
  state.counters["entries_per_second"] = benchmark::Counter(
      static_cast<double>(scene.iObjects.size()), benchmark::Counter::kIsIterationInvariantRate);
}

// Accepts what the frustum does not reject; counts the objects visited.
class KELFrustumVisitor : public KELSpacePartitionTraversal {
public:
  explicit KELFrustumVisitor(const float (*planes)[4]) : iPlanes(planes) {}
  bool TestBox(const float* min, const float* max) override { return !BoxOutside(iPlanes, min, max); }
  void VisitObject(void*) override { ++iVisited; }
  const float (*iPlanes)[4];
  uint32_t iVisited = 0;
};

// TraverseSpacePartition with a frustum visitor against the plain loop
// over every entry's box, same view, same run. The reported time is the
// walk's; the ratio is walk / loop.
void BM_TraverseFrustumVsLoop(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = Engine();
  KELLoadedScene loaded;
  loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
  loaded.SplitAll();
  KELBenchCamera camera = MakeStreetCamera(scene);
  double walkSeconds = 0, loopSeconds = 0;
  uint32_t visited = 0, inside = 0;
  for (auto _ : state) {
    KELFrustumVisitor visitor(camera.iPlanes);
    uint64_t start = KELTickClock::Now();
    for (void* partition : loaded.iPartitions) engine->TraverseSpacePartition(partition, &visitor, false);
    uint64_t middle = KELTickClock::Now();
    inside = CountInFrustum(scene.iObjects, camera.iPlanes);
    benchmark::DoNotOptimize(inside);
    uint64_t end = KELTickClock::Now();
    state.SetIterationTime(KELTickClock::ToSeconds(middle - start));
    walkSeconds += KELTickClock::ToSeconds(middle - start);
    loopSeconds += KELTickClock::ToSeconds(end - middle);
    visited = visitor.iVisited;
  }
  loaded.Unload();
  double iterations = static_cast<double>(state.iterations());
  SetEntryCounters(state, scene);
  state.counters["walk_ms"] = walkSeconds * 1e3 / iterations;
  state.counters["loop_ms"] = loopSeconds * 1e3 / iterations;
  state.counters["walk_to_loop"] = walkSeconds / loopSeconds;
  state.counters["visited"] = visited;
  state.counters["inside_loop"] = inside;
}

}  // namespace

BENCHMARK(BM_AddEntry)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateEntryTenthPerFrame)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FirstFrameAfterBulkLoad)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)
    ->UseManualTime()->Iterations(3);
BENCHMARK(BM_SplitEverything)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_TraverseFrustumVsLoop)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)
    ->UseManualTime();

BENCHMARK_MAIN();
