// Every free list of the library's records, in one place: the records are
// declared by their own classes, defined and given back here. Records on a
// free list are never returned to the allocator while the process runs.
#ifndef KEL_POOLS_H
#define KEL_POOLS_H

#include <cstddef>

#include "KEL3DZone.h"
#include "KELOcclusionQueryTask.h"
#include "KELScreenSpacePartition.h"
#include "KELScreenZone.h"

// Lengths of the free lists, for tests and benchmarks.
struct KELPoolCensus {
  size_t iEntries = 0, iMatrices = 0, iZones = 0, iScreenZones = 0, iNodes = 0, iTasks = 0, iBatches = 0,
         iElements = 0, iRebuildElements = 0;
  size_t Total() const {
    return iEntries + iMatrices + iZones + iScreenZones + iNodes + iTasks + iBatches + iElements +
           iRebuildElements;
  }
};

struct KELPools {
  // The element free list shared by every queue of the culling pass.
  static FIFOElement* _sharedElementFreeList;
  // The element free list of a partition rebuild's gathering queue, kept
  // apart from the culling pass's so that the two never compete.
  static FIFOElement* _rebuildElementFreeList;
  // Every matrix made by AllocMatrix, newest first (kept reachable).
  static KELMatrix* _matrices;

  // Marked pooled, so that a partition destroyed twice is pooled once.
  static void GiveBack(KEL3DZone* zone) {
    zone->iFlags |= kZoneFlagPooled;
    zone->iNextFree = KEL3DZone::_pool;
    KEL3DZone::_pool = zone;
  }
  static void GiveBack(KELMatrix* matrix) {
    matrix->iNext = KEL3DZoneEntry::_freeMatrices;
    KEL3DZoneEntry::_freeMatrices = matrix;
  }
  // The entry keeps its box record; its matrix goes to the matrix list.
  static void GiveBack(KEL3DZoneEntry* entry) {
    if (entry->iMatrix != nullptr) GiveBack(entry->iMatrix);
    entry->iMatrix = nullptr;
    entry->iZone = nullptr;
    entry->iPrevEntry = nullptr;
    entry->iNextEntry = KEL3DZoneEntry::_freeList;
    KEL3DZoneEntry::_freeList = entry;
  }
  static void GiveBack(KELScreenZone* record) { GiveBackList(record, record); }
  // A whole list (first..last, linked through iNext) at once.
  static void GiveBackList(KELScreenZone* first, KELScreenZone* last) {
    last->iNext = KELScreenZone::_freeList;
    KELScreenZone::_freeList = first;
  }
  static void GiveBack(KELScreenSpacePartition* node) {
    node->iNextFree = KELScreenSpacePartition::_freeList;
    KELScreenSpacePartition::_freeList = node;
  }
  // An entry, zone or fill task: one list serves the three kinds.
  static void GiveBack(KELOcclusionQueryTask* task) {
    task->iQuery = nullptr;
    task->iNextTask = KELOcclusionQueryTask::_freeList;
    KELOcclusionQueryTask::_freeList = task;
  }
  // A batch keeps its (emptied) member storage.
  static void GiveBack(KELQueryBatchTask* batch) {
    batch->iNextTask = KELQueryBatchTask::_freeList;
    KELQueryBatchTask::_freeList = batch;
  }

  static KELPoolCensus Census();
  // Frees every record waiting on the lists, so that the next run allocates
  // as a fresh process would. Only between frames, with no partition or
  // entry alive that uses them (tests and harnesses).
  static void Drain();
};

#endif
