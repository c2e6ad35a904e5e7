// Shared pieces of the benchmarks: the city scene at a requested entry
// count, loading it into partitions, fixed and path cameras, the plain
// per-entry frustum loop a host would run without the library, a cheap
// cycle clock and scripted clients that time themselves.
#ifndef KEL_BENCH_SUPPORT_H
#define KEL_BENCH_SUPPORT_H

#include <cstdint>
#include <vector>

#include "KELQuietStdout.h"
#include "KELScene.h"
#include "KELScreenSpacePartitioning.h"

// The time stamp counter where there is one (a few nanoseconds a read),
// otherwise the steady clock; converted to seconds with a rate measured once.
class KELTickClock {
public:
  static uint64_t Now();
  static double ToSeconds(uint64_t ticks);
  static double ToMilliseconds(uint64_t ticks) { return ToSeconds(ticks) * 1e3; }
};

// The city generated with about `entries` objects (10k, 100k, 1M: 6, 18 and
// 56 blocks a side), made once per process and kept.
const kel::KELScene& GetCity(int entries);
// The city's size in blocks a side for a requested entry count.
int GetCitySize(int entries);

// A scene's objects as entries of fresh partitions (one per scene
// partition). Objects are handed to the library as `objectBase + index`.
struct KELLoadedScene {
  std::vector<void*> iPartitions;
  std::vector<void*> iEntries;

  void Load(const kel::KELScene& scene, char* objectBase, size_t objectStride, bool loaded);
  // Removes every entry, so that the next load reuses their records.
  void Unload();
  // Splits every crowded zone by walking the partitions with a visitor that
  // enters everything (what many frames from every side would do).
  void SplitAll();
  void AddTo(KELOcclusionCullingEngine* engine) const;
};

// Sphere of an axis-aligned box.
void BoxSphere(const float* min, const float* max, float* center, float& radius);

// What the host hands the library each frame.
struct KELBenchCamera {
  float iView[16];
  float iProjection[16];
  float iViewProjection[16];
  float iPlanes[6][4];
  float iEye[3];
  float iDirection[3];

  // Matrices, planes and contribution parameters (scale 0: off).
  void Apply(KELOcclusionCullingEngine* engine) const;
};

// 640x360 perspective of the demo looking from eye to target.
KELBenchCamera MakeCamera(const float* eye, const float* target, float farPlane);
// Street level, at the city's edge, looking down the street between the
// first and second block columns; the same world position for every size.
KELBenchCamera MakeStreetCamera(const kel::KELScene& scene);
// The scene's walk at t in [0, 1].
KELBenchCamera MakePathCamera(const kel::KELScene& scene, float t);

// The host's own culling without the library: every object's box against
// the six planes. Returns how many boxes are not wholly outside.
uint32_t CountInFrustum(const std::vector<kel::KELSceneObject>& objects, const float planes[6][4]);
bool BoxOutside(const float planes[6][4], const float* min, const float* max);

// A client with scripted answers: every query reports `iPixels` samples
// (1000: everything visible; 0: everything hidden), or, with a range set,
// 1000 for a query with a box nearer than the range to the eye and 0 for
// the rest (a stand-in for occlusion in a dense scene: what is near shows).
// A handle is a number. With timing on, each call adds its own duration.
class KELScriptedClient : public KELOcclusionCullingClient {
public:
  explicit KELScriptedClient(uint32_t pixels) : iPixels(pixels) {}

  uint32_t iPixels;
  // Answers by distance from `eye` (storage for the answers is made here).
  void SetVisibleRange(const float* eye, float range);
  bool iTiming = true;
  uint64_t iTicks = 0;
  uint64_t iCalls = 0;
  uint64_t iQueries = 0;
  uint64_t iBoxes = 0;
  uint64_t iDrawn = 0;
  uint64_t iTouched = 0;

  uint64_t iDistinctDrawn = 0;

  // Counts distinct objects drawn, for objects at base + index * stride
  // (storage is made here, before any frame).
  void TrackObjects(const char* base, size_t stride, size_t count);
  // Starts a new frame's counts.
  void ResetCounters();
  // Seconds the library spent in this client since the last reset: the
  // measured time inside calls plus, per call, the timer's own cost that
  // falls outside the measured span.
  double ClientSeconds() const;
  // With timing off: an estimate of the same, from the calls made and the
  // measured cost of one untimed call.
  double UntimedClientSeconds() const;
  // Measures both per-call costs (once per process).
  static void Calibrate();
  static double OutsideTicksPerCall() { return _outsideTicksPerCall; }

  void* GenQuery() override;
  void BeginQuery(void* query) override;
  void EndQuery(void* query) override;
  bool GetQueryResult(void* query, uint32_t& pixels, bool wait) override;
  void SetInside(bool inside) override;
  void EnableDepthTest(bool enable) override;
  void EnableDepthWrite(bool enable) override;
  void EnableColorWrite(bool enable) override;
  void StartDrawBoxes() override;
  void DrawBox(const float* min, const float* max, const float* matrix) override;
  void EndDrawBoxes() override;
  void DrawObject(void* object, const float* matrix, bool transparent) override;
  void OnBeginOcclusionResults() override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;
  void OnEndOcclusionResults() override;
  void DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) override;

private:
  class KELSpan;
  uintptr_t iNextHandle = 0;
  float iEye[3] = {0, 0, 0};
  float iRangeSquared = 0;
  bool iNear = false;
  std::vector<uint8_t> iAnswers;
  const char* iObjectBase = nullptr;
  size_t iObjectStride = 1;
  std::vector<uint32_t> iDrawnStamp;
  uint32_t iStamp = 1;
  static double _outsideTicksPerCall;
  static double _untimedTicksPerCall;
};

// Forwards every call to another client and times it the way
// KELScriptedClient times itself (cycle counter, plus the calibrated cost of
// the timer that falls outside each span), so that every client's time is
// taken alike; it counts the calls too.
class KELTimedClient : public KELOcclusionCullingClient {
public:
  explicit KELTimedClient(KELOcclusionCullingClient* inner) : iInner(inner) {}

  uint64_t iTicks = 0;
  uint64_t iCalls = 0;
  void ResetCounters() { iTicks = iCalls = 0; }
  double ClientSeconds() const;

  void* GenQuery() override;
  void BeginQuery(void* query) override;
  void EndQuery(void* query) override;
  bool GetQueryResult(void* query, uint32_t& pixels, bool wait) override;
  void SetInside(bool inside) override;
  void EnableDepthTest(bool enable) override;
  void EnableDepthWrite(bool enable) override;
  void EnableColorWrite(bool enable) override;
  void StartDrawBoxes() override;
  void DrawBox(const float* min, const float* max, const float* matrix) override;
  void EndDrawBoxes() override;
  void DrawObject(void* object, const float* matrix, bool transparent) override;
  void OnBeginOcclusionResults() override;
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                   const float* matrix) override;
  void OnEndOcclusionResults() override;
  void DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) override;

private:
  class KELSpan;
  KELOcclusionCullingClient* iInner;
};

// A host allocator that hands out records from one large mapping, asking
// the kernel for huge pages (fewer TLB misses when a frame walks records
// spread over hundreds of megabytes). The library never frees records, so
// handing out is a pointer bump; null once the mapping is used up. The
// mapping is never released: the library's records must outlive it, and
// its unload code still touches some of them after a host's statics are
// gone.
class KELArenaAllocator : public KELAllocator {
public:
  explicit KELArenaAllocator(size_t bytes);
  KELArenaAllocator(const KELArenaAllocator&) = delete;
  KELArenaAllocator& operator=(const KELArenaAllocator&) = delete;

  void* Allocate(uint32_t size) override;
  void Free(void*) override {}
  size_t GetUsed() const { return iUsed; }

private:
  char* iBase;
  size_t iSize;
  size_t iUsed = 0;
};

// Median and nearest-rank percentile of a sample.
double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);

#endif
