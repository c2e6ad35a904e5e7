// Shared test helpers: a counting (and failing) host allocator, a recording
// client and small geometry helpers. Built once, with the heap counter and
// the standard-output silencer, as kel_test_support.
#ifndef KEL_TEST_SUPPORT_H
#define KEL_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KELHeapCounter.h"
#include "KELQuietStdout.h"
#include "KELScreenSpacePartitioning.h"

struct KEL3DZone;
struct KEL3DZoneEntry;
struct KELScreenZone;

// Counts calls and bytes and can refuse: every allocation once `failAfter`
// successful ones have been made (negative: never), while `failing` is set,
// or the allocation of ordinal `failAt` (counted from 0 over all calls):
// that one only, or that one and every later one, until Heal().
class CountingAllocator : public KELAllocator {
public:
  enum Mode { kNever, kOnlyAt, kFromOn };
  int allocations = 0;  // successful ones
  int frees = 0;
  int failures = 0;
  int failAfter = -1;
  bool failing = false;
  long calls = 0;  // ordinal of the next call
  size_t bytes = 0;
  Mode mode = kNever;
  long failAt = -1;

  void FailAt(long ordinal, Mode how) {
    failAt = ordinal;
    mode = how;
  }
  void Heal() { mode = kNever; }
  void* Allocate(uint32_t size) override;
  void Free(void* pointer) override;
};

// Installs an allocator for the scope and restores the default afterwards.
class ScopedAllocator {
public:
  explicit ScopedAllocator(KELAllocator* allocator) { KELAllocator::SetAllocator(allocator); }
  ~ScopedAllocator() { KELAllocator::SetAllocator(nullptr); }
};

constexpr float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct DrawnBox {
  float min[3];
  float max[3];
  bool hasMatrix;
};

// Logs every call as text and answers queries from a script.
class RecordingClient : public KELOcclusionCullingClient {
public:
  std::vector<std::string> log;
  bool nullHandles = false;
  // Pixels for a finished query, from the boxes drawn into it. Default: 1000.
  std::function<uint32_t(const std::vector<DrawnBox>&)> answer;
  // How many times GetQueryResult answers false before true, per query.
  int notReadyCount = 0;
  bool logStates = true;
  bool logBoxes = true;

  std::vector<void*> drawnObjects;
  std::vector<void*> touchedObjects;
  std::vector<uint32_t> touchedPixels;
  std::vector<std::vector<DrawnBox>> queries;  // boxes of each query, in issue order
  int genQueries = 0;
  int resultCalls = 0;

  void ClearFrame();
  int Count(const std::string& prefix) const;

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
  void TouchObject(void* object, uint32_t pixels, const float* min, const float* max, const float* matrix) override;
  void OnEndOcclusionResults() override;
  void DebugViewportZone(const float* a, const float* b, bool flag, uint32_t value) override;

private:
  std::deque<int> handles_;
  std::map<void*, uint32_t> results_;
  std::map<void*, int> notReady_;
  std::vector<DrawnBox> current_;
};

// Everything a frame asked of the client, as text: the calls in order, the
// objects drawn and reported (as indices into `objects`) with their pixel
// counts, and the boxes of each query (exact, with an m for a matrix).
std::string ClientTrace(const RecordingClient& client, const int* objects);
// Pixels from the boxes' coordinates: about half the single boxes pass.
uint32_t SeededAnswer(const std::vector<DrawnBox>& boxes);

// Accepts every zone and entry and records the objects visited, in order.
struct AcceptingVisitor : KELSpacePartitionTraversal {
  int visits = 0;
  std::vector<void*> visited;
  bool TestBox(const float*, const float*) override { return true; }
  void VisitObject(void* object) override {
    ++visits;
    visited.push_back(object);
  }
};

// Engine access for tests (members are protected).
struct KELEngineAccess {
  static int32_t PlaneCount(const KELOcclusionCullingEngine* e) { return e->iClipPlaneCount; }
  static float** Planes(const KELOcclusionCullingEngine* e) { return e->iClipPlanes; }
  static const KELGrowArray& Partitions(const KELOcclusionCullingEngine* e) { return e->iPartitions; }
  static const float* View(const KELOcclusionCullingEngine* e) { return e->iViewMatrix; }
  static const float* Projection(const KELOcclusionCullingEngine* e) { return e->iProjectionMatrix; }
  static KELOcclusionCullingClient* Client(const KELOcclusionCullingEngine* e) { return e->iClient; }
  static bool ViewVolumeTests(const KELOcclusionCullingEngine* e) { return e->iViewVolumeTests; }
};

// An engine copy on the heap (the constructor is protected).
KELOcclusionCullingEngine* CopyEngine(const KELOcclusionCullingEngine& source);
// A new engine on the heap, as GetInstance makes it: a test that needs the
// state after construction cannot rely on the singleton, which every test
// before it may have used.
KELOcclusionCullingEngine* NewEngine();

// Adds an entry with box [min, max] and a sphere around it.
KEL3DZoneEntry* AddBox(KELOcclusionCullingEngine* engine, void* partition, float x0, float y0, float z0, float x1,
                       float y1, float z1, void* object = nullptr);
// A pooled screen record of `zone` with the box [x0, x1] in normalized
// device coordinates, flags clear; null when no record can be had.
KELScreenZone* MakeScreenZone(KEL3DZone* zone, float x0, float y0, float z0, float x1, float y1, float z1);

// Counts the entries in a zone list.
int ListLength(const KEL3DZoneEntry* head);
// A small deterministic generator (the tests must not depend on the
// standard library's distributions).
struct KELTestRandom {
  uint64_t iState;
  uint32_t Next();
  float Uniform(float low, float high);
};

// Resets the module-wide culling settings to their defaults.
void ResetSettings();

// The OpenGL perspective projection (column-major, looking down -z).
void KELTestPerspective(float fovY, float aspect, float zNear, float zFar, float* m);

// A perspective camera at `eye` looking down -z (OpenGL conventions), and
// the six frustum planes in the library's convention (inside < 0).
struct TestCamera {
  float view[16];
  float projection[16];
  float planeValues[6][4];
  const float* planes[6];
  TestCamera(float x, float y, float z, float fovY = 1.2f, float aspect = 1.0f, float zNear = 0.5f,
             float zFar = 1000.0f);
  void Apply(KELOcclusionCullingEngine* engine) const;
};

#endif
