#include "KELPools.h"

#include <cstdlib>
#include <initializer_list>

KEL3DZone* KEL3DZone::_pool = nullptr;
KEL3DZoneEntry* KEL3DZoneEntry::_freeList = nullptr;
KELMatrix* KEL3DZoneEntry::_freeMatrices = nullptr;
KELScreenZone* KELScreenZone::_freeList = nullptr;
KELScreenSpacePartition* KELScreenSpacePartition::_freeList = nullptr;
KELOcclusionQueryTask* KELOcclusionQueryTask::_freeList = nullptr;
KELQueryBatchTask* KELQueryBatchTask::_freeList = nullptr;
FIFOElement* KELPools::_sharedElementFreeList = nullptr;
FIFOElement* KELPools::_rebuildElementFreeList = nullptr;
KELMatrix* KELPools::_matrices = nullptr;

namespace {

template <typename Record, typename Next>
size_t Length(const Record* head, Next next) {
  size_t length = 0;
  for (; head != nullptr; head = next(head)) ++length;
  return length;
}

template <typename Record, typename Next, typename Release>
void DrainList(Record** head, Next next, Release release) {
  while (*head != nullptr) {
    Record* record = *head;
    *head = next(record);
    release(record);
    std::free(record);
  }
}

const FIFOElement* NextElement(const FIFOElement* e) { return e->next; }
const KELQueryBatchTask* NextBatch(const KELQueryBatchTask* b) {
  return static_cast<const KELQueryBatchTask*>(b->iNextTask);
}

}  // namespace

KELPoolCensus KELPools::Census() {
  KELPoolCensus census;
  census.iEntries = Length(KEL3DZoneEntry::_freeList, [](const KEL3DZoneEntry* e) { return e->iNextEntry; });
  census.iMatrices = Length(KEL3DZoneEntry::_freeMatrices, [](const KELMatrix* m) { return m->iNext; });
  census.iZones = Length(KEL3DZone::_pool, [](const KEL3DZone* z) { return z->iNextFree; });
  census.iScreenZones = Length(KELScreenZone::_freeList, [](const KELScreenZone* r) { return r->iNext; });
  census.iNodes =
      Length(KELScreenSpacePartition::_freeList, [](const KELScreenSpacePartition* n) { return n->iNextFree; });
  census.iTasks = Length(KELOcclusionQueryTask::_freeList, [](const KELOcclusionQueryTask* t) { return t->iNextTask; });
  census.iBatches = Length(KELQueryBatchTask::_freeList, NextBatch);
  census.iElements = Length(_sharedElementFreeList, NextElement);
  census.iRebuildElements = Length(_rebuildElementFreeList, NextElement);
  return census;
}

void KELPools::Drain() {
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
  for (FIFOElement** list : {&_sharedElementFreeList, &_rebuildElementFreeList})
    DrainList(list, [](FIFOElement* e) { return e->next; }, [](FIFOElement*) {});
}
