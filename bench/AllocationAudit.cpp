// Allocation audit: allocator calls and C heap calls per steady-state frame
// (the design allows none), and the library's memory per entry at 1M
// entries. The C allocator's entry points are replaced for the whole
// process (KELHeapCounter), so counting is switched on only around the
// library's own calls.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "KELBenchSupport.h"
#include "KELHeapCounter.h"
#include "TestSupport.h"

namespace {

CountingAllocator& InstalledCounter() {
  static CountingAllocator _counting;
  KELAllocator::SetAllocator(&_counting);
  return _counting;
}

char* ObjectBase(const kel::KELScene& scene) {
  return reinterpret_cast<char*>(const_cast<kel::KELSceneObject*>(scene.iObjects.data()));
}

void RunFrame(KELOcclusionCullingEngine* engine, const KELLoadedScene& loaded, const KELBenchCamera& camera) {
  camera.Apply(engine);
  engine->StartCulling();
  loaded.AddTo(engine);
  engine->EndCulling();
}

// The library's memory for the city at 1M entries: everything obtained
// while loading, splitting every zone and culling frames from several
// views. Runs first, in a fresh process, before any record is recycled.
void BM_MemoryPerEntry(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  CountingAllocator& counting = InstalledCounter();
  KELScriptedClient client(1000);
  client.iTiming = false;
  engine->SetClient(&client);
  std::vector<KELBenchCamera> cameras = {MakeStreetCamera(scene)};
  for (int i = 0; i < 8; ++i) cameras.push_back(MakePathCamera(scene, i / 7.0f));
  KELQuietStdout quiet;
  long long heapBytes = 0, allocatorBytes = 0;
  long allocatorCalls = 0;
  for (auto _ : state) {
    KELLoadedScene loaded;
    loaded.iEntries.reserve(scene.iObjects.size());
    loaded.iPartitions.reserve(scene.iPartitionCount);
    long callsBefore = counting.calls;
    long long bytesBefore = counting.bytes;
    KELHeapCounter::Start();
    loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
    loaded.SplitAll();
    for (const KELBenchCamera& camera : cameras) RunFrame(engine, loaded, camera);
    KELHeapCounter::Stop();
    heapBytes = KELHeapCounter::NetBytes();
    allocatorBytes = counting.bytes - bytesBefore;
    allocatorCalls = counting.calls - callsBefore;
    loaded.Unload();
  }
  engine->SetClient(nullptr);
  double entries = static_cast<double>(scene.iObjects.size());
  state.counters["entries"] = entries;
  state.counters["heap_bytes_per_entry"] = static_cast<double>(heapBytes) / entries;
  state.counters["allocator_bytes_per_entry"] = static_cast<double>(allocatorBytes) / entries;
  state.counters["allocator_calls_per_entry"] = static_cast<double>(allocatorCalls) / entries;
  state.counters["heap_mib"] = static_cast<double>(heapBytes) / (1024.0 * 1024.0);
}

// What created views add: the scene is loaded once and given back, so that
// the second load takes every record from the pools; what the allocator
// gives while `views` - 1 views are made and every view culls the cameras
// is the views' tables. range(0): entries; range(1): views, the default
// one included.
void BM_ViewMemoryPerEntry(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  CountingAllocator& counting = InstalledCounter();
  KELScriptedClient client(1000);
  client.iTiming = false;
  engine->SetClient(&client);
  std::vector<KELBenchCamera> cameras = {MakeStreetCamera(scene)};
  for (int i = 0; i < 8; ++i) cameras.push_back(MakePathCamera(scene, i / 7.0f));
  KELQuietStdout quiet;
  long long viewBytes = 0;
  for (auto _ : state) {
    KELLoadedScene warm;
    warm.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
    warm.SplitAll();
    warm.Unload();
    KELLoadedScene loaded;
    loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
    loaded.SplitAll();
    // The default view's frames first: what any frame needs (its queues
    // and records) is not the views' own.
    for (const KELBenchCamera& camera : cameras) RunFrame(engine, loaded, camera);
    const long long before = counting.bytes;
    std::vector<void*> views;
    for (int64_t v = 1; v < state.range(1); ++v) views.push_back(engine->CreateView());
    for (void* view : views) {
      engine->SetView(view);
      for (const KELBenchCamera& camera : cameras) RunFrame(engine, loaded, camera);
    }
    viewBytes = counting.bytes - before;
    engine->SetView(nullptr);
    for (void* view : views) engine->DestroyView(view);
    loaded.Unload();
  }
  engine->SetClient(nullptr);
  const double entries = static_cast<double>(scene.iObjects.size());
  state.counters["entries"] = entries;
  state.counters["views"] = static_cast<double>(state.range(1));
  state.counters["view_bytes_per_entry"] = static_cast<double>(viewBytes) / entries;
  state.counters["bytes_per_entry_per_extra_view"] =
      state.range(1) > 1 ? static_cast<double>(viewBytes) / entries / static_cast<double>(state.range(1) - 1) : 0.0;
}

// Steady state: after warm-up frames over the same views, each frame is
// counted. range(0): entries; range(1): pixels every query reports;
// range(2): 0 a still camera, 1 a camera cycling through eight views.
void BM_SteadyFrameAllocations(benchmark::State& state) {
  const kel::KELScene& scene = GetCity(static_cast<int>(state.range(0)));
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  CountingAllocator& counting = InstalledCounter();
  KELScriptedClient client(static_cast<uint32_t>(state.range(1)));
  client.iTiming = false;
  engine->SetClient(&client);
  KELLoadedScene loaded;
  loaded.Load(scene, ObjectBase(scene), sizeof(kel::KELSceneObject), true);
  std::vector<KELBenchCamera> cameras = {MakeStreetCamera(scene)};
  if (state.range(2) == 1)
    for (int i = 0; i < 7; ++i) cameras.push_back(MakePathCamera(scene, i / 6.0f));
  KELQuietStdout quiet;
  for (int lap = 0; lap < 3; ++lap)
    for (const KELBenchCamera& camera : cameras) RunFrame(engine, loaded, camera);
  long allocatorCalls = 0, heapCalls = 0;
  size_t frame = 0;
  for (auto _ : state) {
    const KELBenchCamera& camera = cameras[frame++ % cameras.size()];
    long before = counting.calls;
    KELHeapCounter::Start();
    RunFrame(engine, loaded, camera);
    KELHeapCounter::Stop();
    allocatorCalls += counting.calls - before;
    heapCalls += KELHeapCounter::Calls();
  }
  engine->SetClient(nullptr);
  loaded.Unload();
  double frames = static_cast<double>(state.iterations());
  state.counters["entries"] = static_cast<double>(scene.iObjects.size());
  state.counters["allocator_calls_per_frame"] = static_cast<double>(allocatorCalls) / frames;
  state.counters["heap_calls_per_frame"] = static_cast<double>(heapCalls) / frames;
  state.counters["frames"] = frames;
}

}  // namespace

BENCHMARK(BM_MemoryPerEntry)->ArgName("entries")->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewMemoryPerEntry)
    ->ArgNames({"entries", "views"})->Args({1000000, 1})->Args({1000000, 4})
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SteadyFrameAllocations)
    ->ArgNames({"entries", "pixels", "moving"})
    ->Args({100000, 1000, 0})->Args({100000, 0, 0})->Args({100000, 1000, 1})
    ->Args({1000000, 1000, 0})->Args({1000000, 1000, 1})
    ->Iterations(16)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
