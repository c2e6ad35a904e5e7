#include "KELBenchSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define KEL_BENCH_HAS_TSC 1
#endif

#include "KELSceneMath.h"

// ------------------------------------------------------------ clock

namespace {

uint64_t SteadyNanoseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

double MeasureTicksPerSecond() {
#ifdef KEL_BENCH_HAS_TSC
  uint64_t startNs = SteadyNanoseconds();
  uint64_t startTicks = __rdtsc();
  while (SteadyNanoseconds() - startNs < 50000000) {
  }
  uint64_t ticks = __rdtsc() - startTicks;
  uint64_t ns = SteadyNanoseconds() - startNs;
  return static_cast<double>(ticks) * 1e9 / static_cast<double>(ns);
#else
  return 1e9;
#endif
}

}  // namespace

uint64_t KELTickClock::Now() {
#ifdef KEL_BENCH_HAS_TSC
  return __rdtsc();
#else
  return SteadyNanoseconds();
#endif
}

double KELTickClock::ToSeconds(uint64_t ticks) {
  static const double kTicksPerSecond = MeasureTicksPerSecond();
  return static_cast<double>(ticks) / kTicksPerSecond;
}

// ------------------------------------------------------------ scenes

int GetCitySize(int entries) {
  // About 315 objects per block (ground, buildings, three rows of props a
  // side); the sizes are chosen so that the counts land near 10k/100k/1M.
  if (entries <= 10000) return 6;
  if (entries <= 100000) return 18;
  return 56;
}

const kel::KELScene& GetCity(int entries) {
  static std::map<int, std::unique_ptr<kel::KELScene>> _cities;
  int size = GetCitySize(entries);
  std::unique_ptr<kel::KELScene>& city = _cities[size];
  if (!city) {
    kel::KELSceneOptions options;
    options.iSize = size;
    city.reset(new kel::KELScene(kel::MakeCity(options)));
  }
  return *city;
}

void BoxSphere(const float* min, const float* max, float* center, float& radius) {
  float sum = 0;
  for (int axis = 0; axis < 3; ++axis) {
    center[axis] = 0.5f * (min[axis] + max[axis]);
    float half = 0.5f * (max[axis] - min[axis]);
    sum += half * half;
  }
  radius = std::sqrt(sum);
}

void KELLoadedScene::Load(const kel::KELScene& scene, char* objectBase, size_t objectStride, bool loaded) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  iPartitions.clear();
  for (uint32_t p = 0; p < scene.iPartitionCount; ++p) iPartitions.push_back(engine->CreateSpacePartition());
  iEntries.resize(scene.iObjects.size());
  for (size_t index = 0; index < scene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = scene.iObjects[index];
    float center[3], radius;
    BoxSphere(object.iMin, object.iMax, center, radius);
    void* entry = engine->AddEntry(iPartitions[object.iPartition], objectBase + index * objectStride, object.iMin,
                                   object.iMax, center, radius, nullptr);
    if (loaded) engine->EntryLoaded(entry);
    iEntries[index] = entry;
  }
}

void KELLoadedScene::Unload() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  for (void* entry : iEntries) engine->RemoveEntry(entry);
  iEntries.clear();
  iPartitions.clear();
}

namespace {

class KELEnterEverything : public KELSpacePartitionTraversal {
public:
  bool TestBox(const float*, const float*) override { return true; }
  void VisitObject(void*) override {}
};

}  // namespace

void KELLoadedScene::SplitAll() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  KELEnterEverything visitor;
  for (void* partition : iPartitions) engine->TraverseSpacePartition(partition, &visitor, true);
}

void KELLoadedScene::AddTo(KELOcclusionCullingEngine* engine) const {
  for (void* partition : iPartitions) engine->AddPartition(partition);
}

// ------------------------------------------------------------ cameras

void KELBenchCamera::Apply(KELOcclusionCullingEngine* engine) const {
  engine->SetViewMatrix(iView);
  engine->SetProjectionMatrix(iProjection);
  const float* planes[6];
  for (int i = 0; i < 6; ++i) planes[i] = iPlanes[i];
  engine->SetClippingPlanes(6, planes);
  engine->SetContributionCullingParameters(iEye, iDirection, 0.0f, 1.0f);
}

KELBenchCamera MakeCamera(const float* eye, const float* target, float farPlane) {
  KELBenchCamera camera;
  kel::Perspective(1.0f, 640.0f / 360.0f, 0.5f, farPlane, camera.iProjection);
  kel::LookAt(eye, target, camera.iView);
  kel::Multiply(camera.iProjection, camera.iView, camera.iViewProjection);
  kel::FrustumPlanes(camera.iViewProjection, camera.iPlanes);
  float length = 0;
  for (int axis = 0; axis < 3; ++axis) {
    camera.iEye[axis] = eye[axis];
    camera.iDirection[axis] = target[axis] - eye[axis];
    length += camera.iDirection[axis] * camera.iDirection[axis];
  }
  length = std::sqrt(length);
  for (float& value : camera.iDirection) value /= length;
  return camera;
}

KELBenchCamera MakeStreetCamera(const kel::KELScene& scene) {
  // The street after the second block column (blocks of 48 with streets of
  // 16 between them), eye height 1.7, a little outside the first row.
  const float eye[3] = {120.0f, 1.7f, -8.0f};
  const float target[3] = {120.0f, 1.7f, 22.0f};
  return MakeCamera(eye, target, scene.iFarPlane);
}

KELBenchCamera MakePathCamera(const kel::KELScene& scene, float t) {
  kel::KELCameraKey key = kel::SampleCameraPath(scene, t);
  return MakeCamera(key.iEye, key.iTarget, scene.iFarPlane);
}

// ------------------------------------------------------------ frustum loop

bool BoxOutside(const float planes[6][4], const float* min, const float* max) {
  for (int i = 0; i < 6; ++i) {
    // The corner furthest inside the plane decides.
    const float* plane = planes[i];
    float distance = plane[3];
    distance += plane[0] * (plane[0] < 0 ? max[0] : min[0]);
    distance += plane[1] * (plane[1] < 0 ? max[1] : min[1]);
    distance += plane[2] * (plane[2] < 0 ? max[2] : min[2]);
    if (distance >= 0) return true;
  }
  return false;
}

uint32_t CountInFrustum(const std::vector<kel::KELSceneObject>& objects, const float planes[6][4]) {
  uint32_t inside = 0;
  for (const kel::KELSceneObject& object : objects)
    if (!BoxOutside(planes, object.iMin, object.iMax)) ++inside;
  return inside;
}

// ------------------------------------------------------------ scripted client

double KELScriptedClient::_outsideTicksPerCall = 0;
double KELScriptedClient::_untimedTicksPerCall = 0;

// Adds the duration of one client call to the client's total.
class KELScriptedClient::KELSpan {
public:
  explicit KELSpan(KELScriptedClient& client) : iClient(client), iStart(client.iTiming ? KELTickClock::Now() : 0) {
    ++client.iCalls;
  }
  ~KELSpan() {
    if (iClient.iTiming) iClient.iTicks += KELTickClock::Now() - iStart;
  }

private:
  KELScriptedClient& iClient;
  uint64_t iStart;
};

void KELScriptedClient::TrackObjects(const char* base, size_t stride, size_t count) {
  iObjectBase = base;
  iObjectStride = stride;
  iDrawnStamp.assign(count, 0);
}

void KELScriptedClient::SetVisibleRange(const float* eye, float range) {
  for (int axis = 0; axis < 3; ++axis) iEye[axis] = eye[axis];
  iRangeSquared = range * range;
  // More handles than any frame here needs; a handle past the end is
  // answered visible.
  if (iAnswers.empty()) iAnswers.assign(1u << 20, 0);
}

void KELScriptedClient::ResetCounters() {
  iTicks = iCalls = iQueries = iBoxes = iDrawn = iTouched = iDistinctDrawn = 0;
  ++iStamp;
}

double KELScriptedClient::ClientSeconds() const {
  double outside = iTiming ? _outsideTicksPerCall * static_cast<double>(iCalls) : 0.0;
  return KELTickClock::ToSeconds(iTicks) + KELTickClock::ToSeconds(static_cast<uint64_t>(outside));
}

double KELScriptedClient::UntimedClientSeconds() const {
  return KELTickClock::ToSeconds(static_cast<uint64_t>(_untimedTicksPerCall * static_cast<double>(iCalls)));
}

void KELScriptedClient::Calibrate() {
  if (_outsideTicksPerCall > 0) return;
  KELScriptedClient client(0);
  // Through a volatile pointer, so that the calls stay virtual.
  KELOcclusionCullingClient* volatile base = &client;
  const int kCalls = 2000000;
  uint64_t start = KELTickClock::Now();
  for (int i = 0; i < kCalls; ++i) base->EnableColorWrite(true);
  uint64_t total = KELTickClock::Now() - start;
  double outside = static_cast<double>(total - client.iTicks) / kCalls;
  _outsideTicksPerCall = outside > 0 ? outside : 0.0;
  client.iTiming = false;
  start = KELTickClock::Now();
  for (int i = 0; i < kCalls; ++i) base->EnableColorWrite(true);
  _untimedTicksPerCall = static_cast<double>(KELTickClock::Now() - start) / kCalls;
}

void* KELScriptedClient::GenQuery() {
  KELSpan span(*this);
  return reinterpret_cast<void*>(++iNextHandle);
}

void KELScriptedClient::BeginQuery(void*) {
  KELSpan span(*this);
  ++iQueries;
  iNear = false;
}

void KELScriptedClient::EndQuery(void* query) {
  KELSpan span(*this);
  size_t handle = reinterpret_cast<uintptr_t>(query);
  if (handle < iAnswers.size()) iAnswers[handle] = iNear ? 1 : 0;
}

bool KELScriptedClient::GetQueryResult(void* query, uint32_t& pixels, bool) {
  KELSpan span(*this);
  size_t handle = reinterpret_cast<uintptr_t>(query);
  if (iAnswers.empty()) pixels = iPixels;
  else pixels = handle >= iAnswers.size() || iAnswers[handle] != 0 ? 1000u : 0u;
  return true;
}

void KELScriptedClient::SetInside(bool) { KELSpan span(*this); }
void KELScriptedClient::EnableDepthTest(bool) { KELSpan span(*this); }
void KELScriptedClient::EnableDepthWrite(bool) { KELSpan span(*this); }
void KELScriptedClient::EnableColorWrite(bool) { KELSpan span(*this); }
void KELScriptedClient::StartDrawBoxes() { KELSpan span(*this); }

void KELScriptedClient::DrawBox(const float* min, const float* max, const float*) {
  KELSpan span(*this);
  ++iBoxes;
  if (iAnswers.empty()) return;
  // Squared distance from the eye to the box.
  float distance = 0;
  for (int axis = 0; axis < 3; ++axis) {
    float outside = iEye[axis] < min[axis] ? min[axis] - iEye[axis] : (iEye[axis] > max[axis] ? iEye[axis] - max[axis] : 0.0f);
    distance += outside * outside;
  }
  if (distance < iRangeSquared) iNear = true;
}

void KELScriptedClient::EndDrawBoxes() { KELSpan span(*this); }

void KELScriptedClient::DrawObject(void* object, const float*, bool) {
  KELSpan span(*this);
  ++iDrawn;
  if (iDrawnStamp.empty()) return;
  size_t index = static_cast<size_t>(static_cast<const char*>(object) - iObjectBase) / iObjectStride;
  if (index < iDrawnStamp.size() && iDrawnStamp[index] != iStamp) {
    iDrawnStamp[index] = iStamp;
    ++iDistinctDrawn;
  }
}

void KELScriptedClient::OnBeginOcclusionResults() { KELSpan span(*this); }

void KELScriptedClient::TouchObject(void*, uint32_t, const float*, const float*, const float*) {
  KELSpan span(*this);
  ++iTouched;
}

void KELScriptedClient::OnEndOcclusionResults() {
  KELSpan span(*this);
  // Handles are only reused within their frame.
  iNextHandle = 0;
}

void KELScriptedClient::DebugViewportZone(const float*, const float*, bool, uint32_t) { KELSpan span(*this); }

// ------------------------------------------------------------ timed client

class KELTimedClient::KELSpan {
public:
  explicit KELSpan(KELTimedClient& client) : iClient(client), iStart(KELTickClock::Now()) { ++client.iCalls; }
  ~KELSpan() { iClient.iTicks += KELTickClock::Now() - iStart; }

private:
  KELTimedClient& iClient;
  uint64_t iStart;
};

double KELTimedClient::ClientSeconds() const {
  double outside = KELScriptedClient::OutsideTicksPerCall() * static_cast<double>(iCalls);
  return KELTickClock::ToSeconds(iTicks) + KELTickClock::ToSeconds(static_cast<uint64_t>(outside));
}

void* KELTimedClient::GenQuery() {
  KELSpan span(*this);
  return iInner->GenQuery();
}

void KELTimedClient::BeginQuery(void* query) {
  KELSpan span(*this);
  iInner->BeginQuery(query);
}

void KELTimedClient::EndQuery(void* query) {
  KELSpan span(*this);
  iInner->EndQuery(query);
}

bool KELTimedClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  KELSpan span(*this);
  return iInner->GetQueryResult(query, pixels, wait);
}

void KELTimedClient::SetInside(bool inside) {
  KELSpan span(*this);
  iInner->SetInside(inside);
}

void KELTimedClient::EnableDepthTest(bool enable) {
  KELSpan span(*this);
  iInner->EnableDepthTest(enable);
}

void KELTimedClient::EnableDepthWrite(bool enable) {
  KELSpan span(*this);
  iInner->EnableDepthWrite(enable);
}

void KELTimedClient::EnableColorWrite(bool enable) {
  KELSpan span(*this);
  iInner->EnableColorWrite(enable);
}

void KELTimedClient::StartDrawBoxes() {
  KELSpan span(*this);
  iInner->StartDrawBoxes();
}

void KELTimedClient::DrawBox(const float* min, const float* max, const float* matrix) {
  KELSpan span(*this);
  iInner->DrawBox(min, max, matrix);
}

void KELTimedClient::EndDrawBoxes() {
  KELSpan span(*this);
  iInner->EndDrawBoxes();
}

void KELTimedClient::DrawObject(void* object, const float* matrix, bool transparent) {
  KELSpan span(*this);
  iInner->DrawObject(object, matrix, transparent);
}

void KELTimedClient::OnBeginOcclusionResults() {
  KELSpan span(*this);
  iInner->OnBeginOcclusionResults();
}

void KELTimedClient::TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                                 const float* matrix) {
  KELSpan span(*this);
  iInner->TouchObject(object, pixels, min, max, matrix);
}

void KELTimedClient::OnEndOcclusionResults() {
  KELSpan span(*this);
  iInner->OnEndOcclusionResults();
}

void KELTimedClient::DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) {
  KELSpan span(*this);
  iInner->DebugViewportZone(a, b, flag, value);
}

// ------------------------------------------------------------ arena

KELArenaAllocator::KELArenaAllocator(size_t bytes) : iBase(nullptr), iSize(0) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  madvise(memory, bytes, MADV_HUGEPAGE);
  iBase = static_cast<char*>(memory);
  iSize = bytes;
}

void* KELArenaAllocator::Allocate(uint32_t size) {
  size_t rounded = (static_cast<size_t>(size) + 15) & ~static_cast<size_t>(15);
  if (iBase == nullptr || rounded > iSize - iUsed) return nullptr;
  void* record = iBase + iUsed;
  iUsed += rounded;
  return record;
}

// ------------------------------------------------------------ statistics

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  rank = std::min(std::max<size_t>(rank, 1), values.size());
  return values[rank - 1];
}

double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }
