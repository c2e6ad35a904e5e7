// Occlusion query tasks: issuing with frame coherency, drawing the boxes of
// a query, and turning results into visibility records and further work.
#include "KELOcclusionQueryTask.h"

#include <cstdio>
#include <new>

#include "KEL3DZone.h"
#include "KELCullingFrame.h"
#include "KELMemory.h"
#include "KELOcclusionCullingClient.h"
#include "KELOcclusionCullingEngine.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "KELSettings.h"

KELOcclusionQueryTask* KELOcclusionQueryTask::_pendingHead = nullptr;
KELOcclusionQueryTask* KELOcclusionQueryTask::_pendingTail = nullptr;
KELContribution KELOcclusionQueryTask::_contribution = {{0, 0, 0}, 0, true, false};
FIFOQueue KELZoneQueryTask::_childQueue = {nullptr, &KELPools::_sharedElementFreeList, nullptr, nullptr};
FIFOQueue KELZoneQueryTask::_nodeQueue = {nullptr, &KELPools::_sharedElementFreeList, nullptr, nullptr};

int32_t KELCullingStatistics::_fillQueries = 0;
int32_t KELCullingStatistics::_zonesTraversed = 0;
int32_t KELCullingStatistics::_entriesTraversed = 0;
int32_t KELCullingStatistics::_entriesFilled = 0;
int32_t KELCullingStatistics::_bigEntriesFilled = 0;
int32_t KELCullingStatistics::_emptyFillQueries = 0;

void KELCullingStatistics::Reset() {
  _fillQueries = _zonesTraversed = _entriesTraversed = 0;
  _entriesFilled = _bigEntriesFilled = _emptyFillQueries = 0;
}

void KELCullingStatistics::Print() {
  const char* labels[6] = {"fill query : ",          "zone traversed : ",        "zone entry traversed : ",
                           "zone entry filled : ",   "big zone entry filled : ", "zone entry nothing : "};
  const int32_t values[6] = {_fillQueries,   _zonesTraversed,   _entriesTraversed,
                             _entriesFilled, _bigEntriesFilled, _emptyFillQueries};
  for (int i = 0; i < 6; ++i) {
    std::printf("%s%d\n", labels[i], static_cast<int>(values[i]));
    std::fflush(stdout);
  }
}

namespace {

int32_t Frame() { return KELSettings::_frameCounter; }
int32_t SignedThreshold() { return static_cast<int32_t>(KELSettings::_pixelHitsThreshold); }

const float* MatrixOf(const KEL3DZoneEntry* entry) {
  return entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr;
}

// Contribution test of the frame's engine; marks the entry and returns the
// result. The flag is written only when it changes, so that a steady frame
// leaves the entry's cache line clean.
bool MarkTooSmall(KEL3DZoneEntry* entry) {
  bool tooSmall;
  if (KELOcclusionQueryTask::_contribution.iSet) {
    tooSmall = KELOcclusionQueryTask::_contribution.IsTooSmall(entry->iCenter, entry->iRadius);
  } else {
    KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
    tooSmall = engine != nullptr && engine->IsTooSmall(entry->iCenter, entry->iRadius);
  }
  if (tooSmall != entry->IsTooSmall()) entry->SetTooSmall(tooSmall);
  return tooSmall;
}

// Appends a new task; false when there is none (failed allocation) or no
// queue element for it, in which case the task goes back to its free list.
bool QueueTask(FIFOQueue* queue, KELOcclusionQueryTask* task) {
  if (task == nullptr) return false;
  if (queue->Append(task)) return true;
  KELPools::GiveBack(task);
  return false;
}

}  // namespace

// ---------------------------------------------------------------- base

KELOcclusionQueryTask::KELOcclusionQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                             void* subject)
    : iQuery(nullptr), iClient(client), iQueryState(state), iBatchable(1), iNextTask(nullptr), iSubject(subject) {}

// Fill and batch tasks have no last visible frame: they always query.
void KELOcclusionQueryTask::Issue() { RunQuery(); }

void KELOcclusionQueryTask::RunQuery() {
  FIFOQueue* pool = &iQueryState->iHandlePool;
  iQuery = pool->IsEmpty() ? iClient->GenQuery() : pool->TakeFront();
  iClient->BeginQuery(iQuery);
  Draw();
  iClient->EndQuery(iQuery);
}

int16_t KELOcclusionQueryTask::GetOcclusionHistory() { return -1; }
int32_t KELOcclusionQueryTask::GetLastVisibleFrame() { return -1; }
int KELOcclusionQueryTask::IsOcclusionQueryTask() { return 1; }
bool KELOcclusionQueryTask::IsRecycledByCaller() { return true; }

void KELOcclusionQueryTask::IssuePending(KELOcclusionQueryTask* task) {
  task->iNextTask = nullptr;
  if (_pendingTail != nullptr) _pendingTail->iNextTask = task;
  else _pendingHead = task;
  _pendingTail = task;
  task->Issue();
}

KELOcclusionQueryTask* KELOcclusionQueryTask::TakePending() {
  KELOcclusionQueryTask* task = _pendingHead;
  _pendingHead = task->iNextTask;
  if (_pendingHead == nullptr) _pendingTail = nullptr;
  task->iNextTask = nullptr;
  return task;
}

namespace {

constexpr size_t kTaskRecordSize =
    sizeof(KELEntryQueryTask) > sizeof(KELZoneQueryTask)
        ? (sizeof(KELEntryQueryTask) > sizeof(KELFillQueryTask) ? sizeof(KELEntryQueryTask) : sizeof(KELFillQueryTask))
        : (sizeof(KELZoneQueryTask) > sizeof(KELFillQueryTask) ? sizeof(KELZoneQueryTask) : sizeof(KELFillQueryTask));

// Raw storage for an entry, zone or fill task: any record of the shared
// free list serves any of the three kinds.
void* TakeTaskRecord() {
  KELOcclusionQueryTask* record = KELOcclusionQueryTask::_freeList;
  if (record != nullptr) {
    KELOcclusionQueryTask::_freeList = record->iNextTask;
    return record;
  }
  return KELAllocateRecord(kTaskRecordSize);
}

}  // namespace

// ---------------------------------------------------------------- entry task

KELEntryQueryTask* KELEntryQueryTask::Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                           KEL3DZoneEntry* entry) {
  void* memory = TakeTaskRecord();
  return memory != nullptr ? new (memory) KELEntryQueryTask(client, state, entry) : nullptr;
}

void KELEntryQueryTask::Draw() {
  KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(iSubject);
  if (entry->IsHidden()) return;
  iClient->StartDrawBoxes();
  iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
  iClient->EndDrawBoxes();
}

int16_t KELEntryQueryTask::GetOcclusionHistory() {
  return static_cast<KEL3DZoneEntry*>(iSubject)->GetVisibilityHistory(static_cast<uint32_t>(Frame()));
}

int32_t KELEntryQueryTask::GetLastVisibleFrame() { return static_cast<KEL3DZoneEntry*>(iSubject)->iLastVisibleFrame; }

// Rule A: skip while the entry was visible within the last `coherency` frames.
void KELEntryQueryTask::Issue() {
  const int32_t ago = KELSettings::FramesSince(Frame(), GetLastVisibleFrame());
  if (ago >= 0 && ago <= static_cast<int32_t>(KELSettings::_frameCoherency)) return;
  RunQuery();
}

void KELEntryQueryTask::HandleResult(int32_t pixels, FIFOQueue*, FIFOQueue*, FIFOQueue*, FIFOQueue* visibleEntries) {
  KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(iSubject);
  const int32_t threshold = SignedThreshold();
  if (pixels != -1) {
    entry->RecordVisibility(static_cast<uint32_t>(Frame()), pixels > 0);
    if (pixels <= threshold) return;
  }
  if (pixels != -1 || threshold < -1) {
    entry->iLastVisibleFrame = Frame();
    entry->iZone->PropagateLastVisibleFrame(Frame());
    ClearOwnHitUpwards(entry->iZone);
    entry->SetPixelCount(static_cast<uint32_t>(pixels));
  }
  visibleEntries->Append(entry);
}

// ---------------------------------------------------------------- zone task

KELZoneQueryTask::KELZoneQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state, KEL3DZone* zone,
                                   KELScreenSpacePartition* node, bool lastOfNode, bool crossesNearPlane)
    : KELOcclusionQueryTask(client, state, zone), iNode(node), iLastOfNode(lastOfNode ? 1 : 0),
      iCrossesNearPlane(crossesNearPlane ? 1 : 0) {}

KELZoneQueryTask* KELZoneQueryTask::Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                         KEL3DZone* zone, KELScreenSpacePartition* node, bool lastOfNode,
                                         bool crossesNearPlane) {
  void* memory = TakeTaskRecord();
  if (memory == nullptr) return nullptr;
  return new (memory) KELZoneQueryTask(client, state, zone, node, lastOfNode, crossesNearPlane);
}

// Rule B: skip while the zone was visible less than `coherency` frames ago.
void KELZoneQueryTask::Issue() {
  if (iCrossesNearPlane) return;
  const int32_t ago = KELSettings::FramesSince(Frame(), GetLastVisibleFrame());
  if (ago >= 0 && ago < static_cast<int32_t>(KELSettings::_frameCoherency)) return;
  RunQuery();
}

void KELZoneQueryTask::Draw() {
  KEL3DZone* zone = static_cast<KEL3DZone*>(iSubject);
  iClient->StartDrawBoxes();
  iClient->DrawBox(zone->iMin, zone->iMax, nullptr);
  iClient->EndDrawBoxes();
}

int16_t KELZoneQueryTask::GetOcclusionHistory() {
  // Never batched: a crossing zone is not queried at all.
  if (iCrossesNearPlane) return -1;
  return static_cast<KEL3DZone*>(iSubject)->GetVisibilityHistory(static_cast<uint32_t>(Frame()));
}

int32_t KELZoneQueryTask::GetLastVisibleFrame() { return static_cast<KEL3DZone*>(iSubject)->iLastVisibleFrame; }

void KELZoneQueryTask::CountUnqueried(KEL3DZone* zone, KELScreenSpacePartition* node) {
  node->iSampleCount += KELSettings::_pixelHitsThreshold + 1u;
  zone->iFlags |= kZoneFlagQueryPassed;
}

void KELZoneQueryTask::HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue,
                                    FIFOQueue* drawQueue, FIFOQueue* visibleEntries) {
  KEL3DZone* zone = static_cast<KEL3DZone*>(iSubject);
  KELScreenSpacePartition* node = iNode;
  const int32_t threshold = SignedThreshold();
  if (pixels == -1) {
    CountUnqueried(zone, node);
  } else {
    zone->RecordVisibility(static_cast<uint32_t>(Frame()), pixels > 0);
    node->iSampleCount += static_cast<uint32_t>(pixels);
    zone->iFlags = pixels > threshold ? (zone->iFlags | kZoneFlagQueryPassed) : (zone->iFlags & ~kZoneFlagQueryPassed);
  }
  if (pixels > threshold) {
    zone->PropagateLastVisibleFrame(Frame());
    zone->iFlags |= kZoneFlagOwnHit;
  }
  if (!iLastOfNode) return;
  const bool visible = node->iSampleCount > KELSettings::_pixelHitsThreshold;
  KELAllocator* allocator = KELAllocator::GetAllocator();
  _childQueue.allocator = allocator;
  _nodeQueue.allocator = allocator;
  node->OnNodeTested(visible, &_childQueue, &_nodeQueue, drawQueue);
  QueueChildNodeWork(queryQueue, drawQueue);
  while (!_nodeQueue.IsEmpty())
    QueueFill(static_cast<KELScreenSpacePartition*>(_nodeQueue.TakeFront()), fillQueue, visibleEntries);
  if (!visible) node->Release();
}

// Without a fill task the node's unloaded entries are reported untested.
void KELZoneQueryTask::QueueFill(KELScreenSpacePartition* node, FIFOQueue* fillQueue, FIFOQueue* visibleEntries) {
  if (QueueTask(fillQueue, KELFillQueryTask::Make(iClient, iQueryState, node))) return;
  for (KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    KEL3DZoneEntry* lists[2] = {record->iZone->iUnloadedFixed, record->iZone->iUnloadedPending};
    for (KEL3DZoneEntry* entry : lists)
      for (; entry != nullptr; entry = entry->iNextEntry)
        if (!entry->IsHidden() && !MarkTooSmall(entry)) visibleEntries->Append(entry);
  }
}

// For each handed-out child node: its large zones' loaded entries go to
// drawing at once, and every record gets a zone task. A record whose task
// cannot be had is handled as in IssueZoneQueries; a node that would never
// be judged also tells its parent it is done, so that the far half of the
// parent is still handed out.
void KELZoneQueryTask::QueueChildNodeWork(FIFOQueue* queryQueue, FIFOQueue* drawQueue) {
  while (!_childQueue.IsEmpty()) {
    KELScreenSpacePartition* child = static_cast<KELScreenSpacePartition*>(_childQueue.TakeFront());
    child->iSampleCount = 0;
    KELZoneQueryTask* previous = nullptr;
    for (KELScreenZone* record = child->iScreenZones; record != nullptr; record = record->iNext) {
      if (!record->iIsSmall) {
        for (KEL3DZoneEntry* entry = record->iZone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
          if (!MarkTooSmall(entry)) drawQueue->Append(entry);
      }
      const bool last = record->iNext == nullptr;
      KELZoneQueryTask* task =
          Make(iClient, iQueryState, record->iZone, child, last, record->iCrossesNearPlane != 0);
      if (QueueTask(queryQueue, task)) {
        previous = task;
        continue;
      }
      CountUnqueried(record->iZone, child);
      if (!last) continue;
      if (previous != nullptr) {
        previous->iLastOfNode = 1;
      } else {
        KELLeaveOutNode(child);
        if (child->iParent != nullptr) child->iParent->OnChildFinished(&_childQueue, &_nodeQueue, drawQueue);
      }
    }
  }
}

// ---------------------------------------------------------------- fill task

KELFillQueryTask* KELFillQueryTask::Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                         KELScreenSpacePartition* node) {
  void* memory = TakeTaskRecord();
  return memory != nullptr ? new (memory) KELFillQueryTask(client, state, node) : nullptr;
}

void KELFillQueryTask::Draw() {
  typedef KELCullingStatistics Stats;
  KELScreenSpacePartition* node = static_cast<KELScreenSpacePartition*>(iSubject);
  Stats::_fillQueries += 1;
  iClient->StartDrawBoxes();
  bool filled = false;
  for (KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    Stats::_zonesTraversed += 1;
    for (KEL3DZoneEntry* entry = record->iZone->iUnloadedFixed; entry != nullptr; entry = entry->iNextEntry) {
      Stats::_entriesTraversed += 1;
      if (MarkTooSmall(entry) || entry->IsHidden()) continue;
      Stats::_bigEntriesFilled += 1;
      iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
    }
    for (KEL3DZoneEntry* entry = record->iZone->iUnloadedPending; entry != nullptr; entry = entry->iNextEntry) {
      Stats::_entriesTraversed += 1;
      if (MarkTooSmall(entry)) continue;
      Stats::_entriesFilled += 1;
      filled = true;
      if (!entry->IsHidden()) iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
    }
  }
  if (!filled) Stats::_emptyFillQueries += 1;
  iClient->EndDrawBoxes();
}

// A fill that could not be queried (the client gave no handle) counts as
// passed, like every other unqueried subject: otherwise a client without
// queries would never learn of a single unloaded object.
// An entry whose task cannot be had is reported untested.
void KELFillQueryTask::HandleResult(int32_t pixels, FIFOQueue*, FIFOQueue* queryQueue, FIFOQueue*,
                                    FIFOQueue* visibleEntries) {
  if (pixels != -1 && pixels <= SignedThreshold()) return;
  KELScreenSpacePartition* node = static_cast<KELScreenSpacePartition*>(iSubject);
  for (KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    KEL3DZoneEntry* lists[2] = {record->iZone->iUnloadedFixed, record->iZone->iUnloadedPending};
    for (KEL3DZoneEntry* entry : lists) {
      for (; entry != nullptr; entry = entry->iNextEntry)
        if (!entry->IsTooSmall() && !entry->IsHidden() &&
            !QueueTask(queryQueue, KELEntryQueryTask::Make(iClient, iQueryState, entry)))
          visibleEntries->Append(entry);
    }
  }
}

// ---------------------------------------------------------------- batch

KELQueryBatchTask::KELQueryBatchTask(KELOcclusionCullingClient* client, KELClientQueryState* state)
    : KELOcclusionQueryTask(client, state, nullptr), iMembers(10) {}

KELQueryBatchTask* KELQueryBatchTask::Make(KELOcclusionCullingClient* client, KELClientQueryState* state) {
  KELQueryBatchTask* batch = _freeList;
  if (batch == nullptr) {
    void* memory = KELAllocateRecord(sizeof(KELQueryBatchTask));
    return memory != nullptr ? new (memory) KELQueryBatchTask(client, state) : nullptr;
  }
  // A recycled batch keeps its member storage (already emptied).
  _freeList = static_cast<KELQueryBatchTask*>(batch->iNextTask);
  batch->iQuery = nullptr;
  batch->iClient = client;
  batch->iQueryState = state;
  batch->iBatchable = 1;
  batch->iNextTask = nullptr;
  return batch;
}

void KELQueryBatchTask::Draw() {
  for (int32_t i = 0; i < iMembers.count; ++i) Member(i)->Draw();
}

void KELQueryBatchTask::HandleResult(int32_t pixels, FIFOQueue* fillQueue, FIFOQueue* queryQueue,
                                     FIFOQueue* drawQueue, FIFOQueue* visibleEntries) {
  for (int32_t i = 0; i < iMembers.count; ++i) {
    KELOcclusionQueryTask* member = Member(i);
    if (pixels > 0) {
      // Something of the group is visible: each member is queried alone, or
      // (no queue element) passes unqueried.
      member->iBatchable = 0;
      if (queryQueue->Append(member)) continue;
      member->HandleResult(-1, fillQueue, queryQueue, drawQueue, visibleEntries);
      KELPools::GiveBack(member);
    } else {
      // An unqueried batch (no handle) leaves its members as unqueried as
      // if they had been issued alone: visible, never silently hidden.
      member->HandleResult(pixels == -1 ? -1 : 0, fillQueue, queryQueue, drawQueue, visibleEntries);
      KELPools::GiveBack(member);
    }
  }
  iMembers.count = 0;
  iQuery = nullptr;
  KELPools::GiveBack(this);
}

bool KELQueryBatchTask::IsRecycledByCaller() { return false; }
