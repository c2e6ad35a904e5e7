#include "HardeningSupport.h"

#include <algorithm>
#include <cstdlib>

#include "FIFOQueue.h"
#include "KEL3DZone.h"
#include "KELOcclusionQueryTask.h"
#include "KELScreenSpacePartition.h"
#include "KELScreenZone.h"

void* KELFailingAllocator::Allocate(uint32_t size) {
  const long ordinal = iCount++;
  if ((iMode == kOnlyAt && ordinal == iFailAt) || (iMode == kFromOn && ordinal >= iFailAt)) {
    if (iFailures++ == 0) iFailedSize = size;
    return nullptr;
  }
  iBytes += size;
  return std::malloc(size);
}

void KELFailingAllocator::Free(void* pointer) { std::free(pointer); }

namespace {

template <typename Record, typename Next, typename Release>
void DrainList(Record** head, Next next, Release release) {
  while (*head != nullptr) {
    Record* record = *head;
    *head = next(record);
    release(record);
    std::free(record);
  }
}

void DrainElements(FIFOElement** head) {
  DrainList(head, [](FIFOElement* e) { return e->next; }, [](FIFOElement*) {});
}

}  // namespace

void DrainRecordPools() {
  DrainList(&KEL3DZoneEntry::_freeList, [](KEL3DZoneEntry* e) { return e->iNextEntry; },
            [](KEL3DZoneEntry* e) { std::free(e->iBox); });
  DrainList(&KEL3DZoneEntry::_freeMatrices, [](KELMatrix* m) { return m->iNext; }, [](KELMatrix*) {});
  DrainList(&KEL3DZone::_pool, [](KEL3DZone* z) { return z->iNextFree; },
            [](KEL3DZone* z) { z->iChildren.Release(); });
  DrainList(&KELScreenZone::_freeList, [](KELScreenZone* r) { return r->iNext; }, [](KELScreenZone*) {});
  DrainList(&KELScreenSpacePartition::_freeList, [](KELScreenSpacePartition* n) { return n->iNextFree; },
            [](KELScreenSpacePartition* n) { n->iChildren.Release(); });
  DrainList(&KELOcclusionQueryTask::_freeList, [](KELOcclusionQueryTask* t) { return t->iNextTask; },
            [](KELOcclusionQueryTask*) {});
  DrainList(&KELQueryBatchTask::_freeList,
            [](KELQueryBatchTask* b) { return static_cast<KELQueryBatchTask*>(b->iNextTask); },
            [](KELQueryBatchTask* b) { b->iMembers.Release(); });
  DrainElements(&_sharedElementFreeList);
  DrainElements(&_rebuildElementFreeList);
}

namespace {
template <typename Record, typename Next>
size_t Length(const Record* head, Next next) {
  size_t length = 0;
  for (; head != nullptr; head = next(head)) ++length;
  return length;
}
}  // namespace

KELPoolCensus CountRecordPools() {
  KELPoolCensus census;
  census.iEntries = Length(KEL3DZoneEntry::_freeList, [](const KEL3DZoneEntry* e) { return e->iNextEntry; });
  census.iMatrices = Length(KEL3DZoneEntry::_freeMatrices, [](const KELMatrix* m) { return m->iNext; });
  census.iZones = Length(KEL3DZone::_pool, [](const KEL3DZone* z) { return z->iNextFree; });
  census.iScreenZones = Length(KELScreenZone::_freeList, [](const KELScreenZone* r) { return r->iNext; });
  census.iNodes =
      Length(KELScreenSpacePartition::_freeList, [](const KELScreenSpacePartition* n) { return n->iNextFree; });
  census.iTasks = Length(KELOcclusionQueryTask::_freeList, [](const KELOcclusionQueryTask* t) { return t->iNextTask; });
  census.iBatches = Length(KELQueryBatchTask::_freeList, [](const KELQueryBatchTask* b) {
    return static_cast<const KELQueryBatchTask*>(b->iNextTask);
  });
  census.iElements = Length(_sharedElementFreeList, [](const FIFOElement* e) { return e->next; });
  census.iRebuildElements = Length(_rebuildElementFreeList, [](const FIFOElement* e) { return e->next; });
  return census;
}

bool KELUnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  return true;
#endif
#endif
  return false;
}

// ------------------------------------------------------------ region client

KELRegionClient::KELRegionClient(const float* regionMin, const float* regionMax) {
  for (int a = 0; a < 3; ++a) {
    iRegionMin[a] = regionMin[a];
    iRegionMax[a] = regionMax[a];
  }
}

void* KELRegionClient::GenQuery() {
  // Handles are reused only within their frame, so they restart each frame.
  return iHandleCount < kHandles ? &iHandles[iHandleCount++] : nullptr;
}

void KELRegionClient::BeginQuery(void*) { iHit = false; }

void KELRegionClient::EndQuery(void* query) {
  if (query != nullptr) iResults[static_cast<int*>(query) - iHandles] = iHit ? 1000u : 0u;
}

bool KELRegionClient::GetQueryResult(void* query, uint32_t& pixels, bool) {
  pixels = iResults[static_cast<int*>(query) - iHandles];
  return true;
}

void KELRegionClient::DrawBox(const float* min, const float* max, const float*) {
  bool meets = true;
  for (int a = 0; a < 3; ++a) meets = meets && min[a] <= iRegionMax[a] && max[a] >= iRegionMin[a];
  iHit = iHit || meets;
}

void KELRegionClient::DrawObject(void* object, const float*, bool) { iDrawn.push_back(object); }

void KELRegionClient::OnBeginOcclusionResults() {}

void KELRegionClient::TouchObject(void* object, uint32_t, const float*, const float*, const float*) {
  iTouched.push_back(object);
}

void KELRegionClient::OnEndOcclusionResults() {
  std::sort(iTouched.begin(), iTouched.end());
  std::sort(iDrawn.begin(), iDrawn.end());
  iHandleCount = 0;
  ++iFrames;
}

// ------------------------------------------------------------ random

uint32_t KELTestRandom::Next() {
  iState = iState * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(iState >> 33);
}

float KELTestRandom::Uniform(float low, float high) {
  return low + (high - low) * (static_cast<float>(Next() & 0xFFFFFF) / 16777216.0f);
}
