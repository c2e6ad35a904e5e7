// The fuzzer's host: a model of the live entries, a client that answers
// queries from the input and checks every call it receives against the
// client contract, and a visitor that accepts or rejects from the input.
#ifndef KEL_FUZZ_CLIENT_H
#define KEL_FUZZ_CLIENT_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "KELScreenSpacePartitioning.h"

// Prints `what` and aborts, so that the fuzzer records the input.
[[noreturn]] void KELFuzzFail(const char* what);
inline void KELFuzzCheck(bool condition, const char* what) {
  if (!condition) KELFuzzFail(what);
}

struct KELFuzzEntry {
  void* iHandle;
  void* iObject;
  int iPartition;
  bool iLoaded;
  bool iHidden;
};

// What the host believes it has added, by object and by position.
class KELFuzzModel {
public:
  std::vector<KELFuzzEntry> iEntries;

  void Add(const KELFuzzEntry& entry);
  void RemoveAt(size_t index);
  // Null when the object names no live entry.
  const KELFuzzEntry* Find(void* object) const;
  void* NewObject() { return reinterpret_cast<void*>(++iLastObject * 16); }
  void Clear();

private:
  std::unordered_map<void*, size_t> iIndex;
  uintptr_t iLastObject = 0;
};

class KELFuzzClient : public KELOcclusionCullingClient {
public:
  FuzzedDataProvider* iInput = nullptr;
  const KELFuzzModel* iModel = nullptr;
  // Same partition added twice in a frame: its entries may be reported twice.
  bool iDuplicatesAllowed = false;
  // The planes the frame's view-volume tests use (none when they are off):
  // every path must apply the test, so no entry it rejects may be drawn or
  // reported.
  float* iViewPlanes[6] = {};
  int32_t iViewPlaneCount = 0;

  // Per-frame contract checks; EndFrame verifies the frame was closed.
  void BeginFrame();
  void EndFrame();

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
  enum QueryState { kIdle, kOpen, kEnded };
  int iHandles[4096] = {};
  int iHandleCount = 0;
  std::unordered_map<void*, QueryState> iQueries;
  std::unordered_map<void*, int> iNotReady;
  void* iOpenQuery = nullptr;
  bool iQueryOpen = false;
  bool iInBoxes = false;
  int iResultsBegun = 0;
  int iResultsEnded = 0;
  bool iColorWrite = true;
  bool iDepthWrite = true;
  std::unordered_set<void*> iTouched;
  volatile float iSink = 0;
};

class KELFuzzVisitor : public KELSpacePartitionTraversal {
public:
  FuzzedDataProvider* iInput = nullptr;
  const KELFuzzModel* iModel = nullptr;
  int iPartition = -1;
  bool TestBox(const float* min, const float* max) override;
  void VisitObject(void* object) override;
};

#endif
