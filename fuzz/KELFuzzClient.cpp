#include "KELFuzzClient.h"

#include <cstdio>
#include <cstdlib>

#include "KEL3DZone.h"
#include "KELScreenZone.h"
#include "KELFuzzInput.h"
#include "KELSettings.h"

namespace {
// Reads a pointer's floats so that the sanitizer checks they are readable.
float Touch(const float* values, int count) {
  float sum = 0.0f;
  for (int i = 0; i < count; ++i) sum += values[i];
  return sum;
}
}  // namespace

void KELFuzzFail(const char* what) {
  std::fprintf(stderr, "kel_fuzz_api: %s\n", what);
  std::abort();
}

// ------------------------------------------------------------ model

void KELFuzzModel::Add(const KELFuzzEntry& entry) {
  iIndex[entry.iObject] = iEntries.size();
  iEntries.push_back(entry);
}

void KELFuzzModel::RemoveAt(size_t index) {
  iIndex.erase(iEntries[index].iObject);
  if (index + 1 != iEntries.size()) {
    iEntries[index] = iEntries.back();
    iIndex[iEntries[index].iObject] = index;
  }
  iEntries.pop_back();
}

const KELFuzzEntry* KELFuzzModel::Find(void* object) const {
  auto found = iIndex.find(object);
  return found != iIndex.end() ? &iEntries[found->second] : nullptr;
}

void KELFuzzModel::Clear() {
  iEntries.clear();
  iIndex.clear();
}

// ------------------------------------------------------------ client

void KELFuzzClient::BeginFrame() {
  iHandleCount = 0;
  iQueries.clear();
  iNotReady.clear();
  iTouched.clear();
  iQueryOpen = iInBoxes = false;
  iResultsBegun = iResultsEnded = 0;
}

void KELFuzzClient::EndFrame() {
  KELFuzzCheck(!iQueryOpen && !iInBoxes, "frame ended inside a query");
  KELFuzzCheck(iResultsBegun == 1 && iResultsEnded == 1, "results not bracketed once per frame");
  KELFuzzCheck(iColorWrite && iDepthWrite, "EndCulling left colour or depth writes off");
  for (const auto& query : iQueries) KELFuzzCheck(query.second != kOpen, "a query was never ended");
}

void* KELFuzzClient::GenQuery() {
  KELFuzzCheck(!iQueryOpen, "GenQuery inside a query");
  // A null handle now and then: the library must treat its subject as visible.
  if (iInput->ConsumeIntegralInRange<int>(0, 15) == 0 || iHandleCount == 4096) return nullptr;
  void* handle = &iHandles[iHandleCount++];
  iQueries[handle] = kIdle;
  return handle;
}

void KELFuzzClient::BeginQuery(void* query) {
  KELFuzzCheck(!iQueryOpen, "nested BeginQuery");
  if (query != nullptr) {
    auto found = iQueries.find(query);
    KELFuzzCheck(found != iQueries.end(), "BeginQuery with a handle not made this frame");
    KELFuzzCheck(found->second == kIdle, "BeginQuery reuses a handle whose result was not read");
    found->second = kOpen;
  }
  iQueryOpen = true;
  iOpenQuery = query;
}

void KELFuzzClient::EndQuery(void* query) {
  KELFuzzCheck(iQueryOpen && query == iOpenQuery && !iInBoxes, "EndQuery does not match BeginQuery");
  iQueryOpen = false;
  if (query == nullptr) return;
  iQueries[query] = kEnded;
  iNotReady[query] = iInput->ConsumeIntegralInRange<int>(0, 3);
}

bool KELFuzzClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  KELFuzzCheck(wait, "GetQueryResult without wait");
  KELFuzzCheck(query != nullptr, "result asked for a null handle");
  KELFuzzCheck(!iQueryOpen, "result asked inside a query");
  auto found = iQueries.find(query);
  KELFuzzCheck(found != iQueries.end() && found->second == kEnded, "result asked for a query not ended");
  int& notReady = iNotReady[query];
  if (notReady > 0) {
    --notReady;
    return false;
  }
  found->second = kIdle;
  pixels = PickPixels(*iInput, KELSettings::_pixelHitsThreshold);
  return true;
}

void KELFuzzClient::SetInside(bool) {}
void KELFuzzClient::EnableDepthTest(bool) { KELFuzzFail("EnableDepthTest is never called by the library"); }
void KELFuzzClient::EnableDepthWrite(bool enable) { iDepthWrite = enable; }
void KELFuzzClient::EnableColorWrite(bool enable) { iColorWrite = enable; }

void KELFuzzClient::StartDrawBoxes() {
  KELFuzzCheck(iQueryOpen && !iInBoxes, "StartDrawBoxes outside a query");
  iInBoxes = true;
}

void KELFuzzClient::DrawBox(const float* min, const float* max, const float* matrix) {
  KELFuzzCheck(iInBoxes, "DrawBox outside StartDrawBoxes");
  KELFuzzCheck(min != nullptr && max != nullptr, "DrawBox without a box");
  iSink = iSink + Touch(min, 3) + Touch(max, 3) + (matrix != nullptr ? Touch(matrix, 16) : 0.0f);
}

void KELFuzzClient::EndDrawBoxes() {
  KELFuzzCheck(iInBoxes, "EndDrawBoxes without StartDrawBoxes");
  iInBoxes = false;
}

void KELFuzzClient::DrawObject(void* object, const float* matrix, bool) {
  KELFuzzCheck(!iQueryOpen, "DrawObject inside a query");
  KELFuzzCheck(iColorWrite && iDepthWrite, "DrawObject with colour or depth writes off");
  const KELFuzzEntry* entry = iModel->Find(object);
  KELFuzzCheck(entry != nullptr, "DrawObject of an object that is not a live entry");
  KELFuzzCheck(entry->iLoaded && !entry->iHidden, "DrawObject of an unloaded or hidden entry");
  const KEL3DZoneEntry* record = static_cast<const KEL3DZoneEntry*>(entry->iHandle);
  KELFuzzCheck(!IsBoxOutsideClipPlanes(iViewPlaneCount, iViewPlanes, record->iMin, record->iMax),
               "DrawObject of an entry outside the view volume");
  if (matrix != nullptr) iSink = iSink + Touch(matrix, 16);
}

void KELFuzzClient::OnBeginOcclusionResults() {
  KELFuzzCheck(iResultsBegun == 0, "OnBeginOcclusionResults twice");
  ++iResultsBegun;
}

void KELFuzzClient::TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                                const float* matrix) {
  KELFuzzCheck(iResultsBegun == 1 && iResultsEnded == 0, "TouchObject outside the results");
  KELFuzzCheck(pixels <= 0xFFFFFu, "pixel count over 20 bits");
  const KELFuzzEntry* entry = iModel->Find(object);
  KELFuzzCheck(entry != nullptr, "TouchObject of an object that is not a live entry");
  KELFuzzCheck(!entry->iHidden, "TouchObject of a hidden entry");
  KELFuzzCheck(!IsBoxOutsideClipPlanes(iViewPlaneCount, iViewPlanes, min, max),
               "TouchObject of an entry outside the view volume");
  KELFuzzCheck(iTouched.insert(object).second || iDuplicatesAllowed, "an entry reported twice in one frame");
  iSink = iSink + Touch(min, 3) + Touch(max, 3) + (matrix != nullptr ? Touch(matrix, 16) : 0.0f);
}

void KELFuzzClient::OnEndOcclusionResults() {
  KELFuzzCheck(iResultsBegun == 1 && iResultsEnded == 0, "OnEndOcclusionResults out of order");
  ++iResultsEnded;
}

void KELFuzzClient::DebugViewportZone(const float*, const float*, bool, uint32_t) {
  KELFuzzFail("DebugViewportZone is never called by the library");
}

// ------------------------------------------------------------ visitor

bool KELFuzzVisitor::TestBox(const float* min, const float* max) {
  KELFuzzCheck(min != nullptr && max != nullptr, "TestBox without a box");
  volatile float sink = Touch(min, 3) + Touch(max, 3);
  (void)sink;
  return iInput->ConsumeIntegralInRange<int>(0, 7) != 0;
}

void KELFuzzVisitor::VisitObject(void* object) {
  const KELFuzzEntry* entry = iModel->Find(object);
  KELFuzzCheck(entry != nullptr, "VisitObject of an object that is not a live entry");
  KELFuzzCheck(entry->iPartition == iPartition, "VisitObject of another partition's entry");
}
