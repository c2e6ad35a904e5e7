// Steady-state frames for a profiler: loads the city, warms up (the first
// frames split zones and fill the pools), then runs the requested frames at
// the fixed street view, or along the city walk, with a scripted client. The steady frames run
// inside KELProfiledFrames, so that a profiler can collect only there:
//   valgrind --tool=callgrind --toggle-collect=KELProfiledFrame kel_bench_profile
// Usage: kel_bench_profile [entries=100000] [answer=1000] [frames=5] [timed client=0] [view=street|walk]
//                          [host work=0] [records=heap|arena] [view tests=0]
//   host work 1: the plain frustum loop over the scene runs before each
//   frame (outside the profiled function), so the frame meets the caches
//   as it would in a host. arena: records come from a huge-page arena
//   (KELArenaAllocator) instead of the C heap.
//   walk: the frames are spread along the city walk; a first, unprofiled
//   lap over the same frames does the splits.
//   answer: pixels every query reports, or negative: visible within that
//   many units of the eye (see KELScriptedClient).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KELBenchSupport.h"

namespace {

// Keeps the host's loop from being optimised away.
volatile uint32_t _sink = 0;

struct KELProfileRun {
  KELOcclusionCullingEngine* iEngine;
  KELScriptedClient* iClient;
  const KELLoadedScene* iLoaded;
  std::vector<KELBenchCamera> iCameras;
  float iRange;  // > 0: the client answers by distance from each frame's eye
};

void RunFrame(const KELProfileRun& run, int frame) {
  const KELBenchCamera& camera = run.iCameras[static_cast<size_t>(frame) % run.iCameras.size()];
  if (run.iRange > 0) run.iClient->SetVisibleRange(camera.iEye, run.iRange);
  camera.Apply(run.iEngine);
  run.iEngine->StartCulling();
  run.iLoaded->AddTo(run.iEngine);
  run.iEngine->EndCulling();
}

}  // namespace

// One frame; returns its ticks. A profiler collects only in here.
extern "C" __attribute__((noinline)) uint64_t KELProfiledFrame(const KELProfileRun* run, int frame) {
  uint64_t start = KELTickClock::Now();
  RunFrame(*run, frame);
  return KELTickClock::Now() - start;
}

int main(int argc, char** argv) {
  int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
  int answer = argc > 2 ? std::atoi(argv[2]) : 1000;
  int frames = argc > 3 ? std::atoi(argv[3]) : 5;
  bool timed = argc > 4 && std::atoi(argv[4]) != 0;
  if (frames < 1) frames = 1;
  // The arena must outlive every record (the process).
  static KELArenaAllocator _arena(size_t(1) << 30);
  if (argc > 7 && std::strcmp(argv[7], "arena") == 0) KELAllocator::SetAllocator(&_arena);
  const kel::KELScene& scene = GetCity(entries);
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KELScriptedClient client(answer > 0 ? static_cast<uint32_t>(answer) : 0u);
  client.iTiming = timed;
  engine->SetClient(&client);
  engine->SetViewVolumeTests(argc > 8 && std::atoi(argv[8]) != 0);
  KELLoadedScene loaded;
  loaded.Load(scene, reinterpret_cast<char*>(const_cast<kel::KELSceneObject*>(scene.iObjects.data())),
              sizeof(kel::KELSceneObject), true);
  bool walk = argc > 5 && std::strcmp(argv[5], "walk") == 0;
  bool hostWork = argc > 6 && std::atoi(argv[6]) != 0;
  KELProfileRun run{engine, &client, &loaded, {}, answer < 0 ? static_cast<float>(-answer) : 0.0f};
  if (walk) {
    for (int frame = 0; frame < frames; ++frame)
      run.iCameras.push_back(MakePathCamera(scene, frames > 1 ? frame / static_cast<float>(frames - 1) : 0.0f));
  } else {
    run.iCameras.push_back(MakeStreetCamera(scene));
  }
  uint64_t ticks = 0, firstLap = 0;
  {
    KELQuietStdout quiet;
    if (walk) {
      for (int frame = 0; frame < frames; ++frame) {
        uint64_t start = KELTickClock::Now();
        RunFrame(run, frame);
        firstLap += KELTickClock::Now() - start;
      }
    } else {
      for (int frame = 0; frame < 3; ++frame) RunFrame(run, frame);
    }
    client.ResetCounters();
    for (int frame = 0; frame < frames; ++frame) {
      // The host's own per-frame work over its scene, as a real frame has
      // it; it also leaves the caches as a host would (not collected).
      if (hostWork) _sink = _sink + CountInFrustum(scene.iObjects, run.iCameras[0].iPlanes);
      ticks += KELProfiledFrame(&run, frame);
    }
  }
  if (walk)
    std::printf("first lap (with the splits): %.3f ms per EndCulling\n", KELTickClock::ToMilliseconds(firstLap) / frames);
  std::printf("%zu entries, %d frames: %.3f ms per EndCulling; per frame %llu queries, %llu boxes, %llu drawn, "
              "%llu touched\n",
              scene.iObjects.size(), frames, KELTickClock::ToMilliseconds(ticks) / frames,
              static_cast<unsigned long long>(client.iQueries / static_cast<uint64_t>(frames)),
              static_cast<unsigned long long>(client.iBoxes / static_cast<uint64_t>(frames)),
              static_cast<unsigned long long>(client.iDrawn / static_cast<uint64_t>(frames)),
              static_cast<unsigned long long>(client.iTouched / static_cast<uint64_t>(frames)));
  engine->SetClient(nullptr);
  return 0;
}
