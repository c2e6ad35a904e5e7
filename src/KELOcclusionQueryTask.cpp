// Occlusion query tasks: issuing with frame coherency, drawing the boxes of
// a query, and turning results into visibility records and further work.
#include "KELOcclusionQueryTask.h"

#include <new>

#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELMemory.h"
#include "KELOcclusionCullingClient.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "KELSettings.h"
#include "KELView.h"

KELOcclusionQueryTask* KELOcclusionQueryTask::_pendingHead = nullptr;
KELOcclusionQueryTask* KELOcclusionQueryTask::_pendingTail = nullptr;
KELQueryBatchTask* KELQueryBatchTask::_batchSlots[KELQueryBatchTask::kSlotCount] = {};

namespace {

// The frame of the view being culled.
int32_t Frame() { return KELView::Frame(); }
int32_t SignedThreshold() { return static_cast<int32_t>(KELSettings::_pixelHitsThreshold); }

const float* MatrixOf(const KEL3DZoneEntry* entry) {
  return entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- base

KELOcclusionQueryTask::KELOcclusionQueryTask(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                             void* subject)
    : iQuery(nullptr), iClient(client), iQueryState(state), iBatchable(1), iNextTask(nullptr), iSubject(subject) {}

// Fill and batch tasks have no last visible frame: they always query.
void KELOcclusionQueryTask::Issue(KELFrameState* frame) { RunQuery(frame); }

void KELOcclusionQueryTask::RunQuery(KELFrameState* frame) {
  FIFOQueue* pool = &iQueryState->iHandlePool;
  iQuery = pool->IsEmpty() ? iClient->GenQuery() : pool->TakeFront();
  iClient->BeginQuery(iQuery);
  Draw(frame);
  iClient->EndQuery(iQuery);
}

int16_t KELOcclusionQueryTask::GetOcclusionHistory() { return -1; }
int32_t KELOcclusionQueryTask::GetLastVisibleFrame() { return -1; }
int KELOcclusionQueryTask::IsOcclusionQueryTask() { return 1; }
bool KELOcclusionQueryTask::IsRecycledByCaller() { return true; }

void KELOcclusionQueryTask::IssuePending(KELOcclusionQueryTask* task, KELFrameState* frame) {
  task->iNextTask = nullptr;
  if (_pendingTail != nullptr) _pendingTail->iNextTask = task;
  else _pendingHead = task;
  _pendingTail = task;
  task->Issue(frame);
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

void KELEntryQueryTask::Draw(KELFrameState*) {
  KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(iSubject);
  if (entry->IsHidden()) return;
  iClient->StartDrawBoxes();
  iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
  iClient->EndDrawBoxes();
}

int16_t KELEntryQueryTask::GetOcclusionHistory() {
  return KELView::EntryHistory(static_cast<KEL3DZoneEntry*>(iSubject), static_cast<uint32_t>(Frame()));
}

int32_t KELEntryQueryTask::GetLastVisibleFrame() {
  return KELView::EntryLastVisibleFrame(static_cast<KEL3DZoneEntry*>(iSubject));
}

// Rule A: skip while the entry was visible within the last `coherency` frames.
void KELEntryQueryTask::Issue(KELFrameState* frame) {
  const int32_t ago = KELSettings::FramesSince(Frame(), GetLastVisibleFrame());
  if (ago >= 0 && ago <= static_cast<int32_t>(KELSettings::_frameCoherency)) return;
  RunQuery(frame);
}

void KELEntryQueryTask::HandleResult(int32_t pixels, KELFrameState* frame) {
  KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(iSubject);
  const int32_t threshold = KELSettings::SignedReportThreshold();
  if (pixels != -1) {
    KELView::RecordEntry(entry, static_cast<uint32_t>(Frame()), pixels > 0);
    if (pixels <= threshold) return;
  }
  if (pixels != -1 || threshold < -1) {
    KELView::MarkEntryVisible(entry, Frame(), static_cast<uint32_t>(pixels));
    KELView::PropagateLastVisibleFrame(entry->iZone, Frame());
    ClearOwnHitUpwards(entry->iZone);
  }
  frame->Report(entry);
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
void KELZoneQueryTask::Issue(KELFrameState* frame) {
  if (iCrossesNearPlane) return;
  const int32_t ago = KELSettings::FramesSince(Frame(), GetLastVisibleFrame());
  if (ago >= 0 && ago < static_cast<int32_t>(KELSettings::_frameCoherency)) return;
  RunQuery(frame);
}

void KELZoneQueryTask::Draw(KELFrameState*) {
  KEL3DZone* zone = static_cast<KEL3DZone*>(iSubject);
  iClient->StartDrawBoxes();
  iClient->DrawBox(zone->iMin, zone->iMax, nullptr);
  iClient->EndDrawBoxes();
}

int16_t KELZoneQueryTask::GetOcclusionHistory() {
  // Never batched: a crossing zone is not queried at all.
  if (iCrossesNearPlane) return -1;
  return KELView::ZoneHistory(static_cast<KEL3DZone*>(iSubject), static_cast<uint32_t>(Frame()));
}

int32_t KELZoneQueryTask::GetLastVisibleFrame() {
  return KELView::ZoneLastVisibleFrame(static_cast<KEL3DZone*>(iSubject));
}

void KELZoneQueryTask::CountUnqueried(KEL3DZone* zone, KELScreenSpacePartition* node) {
  node->iSampleCount += KELSettings::_pixelHitsThreshold + 1u;
  KELView::SetZoneFlag(zone, kZoneFlagQueryPassed, true);
}

void KELZoneQueryTask::HandleResult(int32_t pixels, KELFrameState* frame) {
  KEL3DZone* zone = static_cast<KEL3DZone*>(iSubject);
  KELScreenSpacePartition* node = iNode;
  const int32_t threshold = SignedThreshold();
  if (pixels == -1) {
    CountUnqueried(zone, node);
  } else {
    KELView::RecordZone(zone, static_cast<uint32_t>(Frame()), pixels > 0);
    node->iSampleCount += static_cast<uint32_t>(pixels);
    KELView::SetZoneFlag(zone, kZoneFlagQueryPassed, pixels > threshold);
  }
  if (pixels > threshold) {
    KELView::PropagateLastVisibleFrame(zone, Frame());
    KELView::SetZoneFlag(zone, kZoneFlagOwnHit, true);
  }
  if (!iLastOfNode) return;
  const bool visible = node->iSampleCount > KELSettings::_pixelHitsThreshold;
  node->OnNodeJudged(visible, frame);
  if (!visible) node->Release();
}

// ---------------------------------------------------------------- fill task

KELFillQueryTask* KELFillQueryTask::Make(KELOcclusionCullingClient* client, KELClientQueryState* state,
                                         KELScreenSpacePartition* node) {
  void* memory = TakeTaskRecord();
  return memory != nullptr ? new (memory) KELFillQueryTask(client, state, node) : nullptr;
}

// Entries outside the view add no box (they would draw nothing anyway) and
// do not count as filled.
void KELFillQueryTask::Draw(KELFrameState* frame) {
  KELCullingStatistics& stats = frame->iStatistics;
  KELScreenSpacePartition* node = static_cast<KELScreenSpacePartition*>(iSubject);
  stats.iFillQueries += 1;
  iClient->StartDrawBoxes();
  bool filled = false;
  for (KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    stats.iZonesTraversed += 1;
    for (KEL3DZoneEntry* entry = record->iZone->iUnloadedFixed; entry != nullptr; entry = entry->iNextEntry) {
      stats.iEntriesTraversed += 1;
      if (frame->MarkTooSmall(entry) || entry->IsHidden() || frame->IsOutsideView(entry)) continue;
      stats.iBigEntriesFilled += 1;
      iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
    }
    for (KEL3DZoneEntry* entry = record->iZone->iUnloadedPending; entry != nullptr; entry = entry->iNextEntry) {
      stats.iEntriesTraversed += 1;
      if (frame->MarkTooSmall(entry) || frame->IsOutsideView(entry)) continue;
      stats.iEntriesFilled += 1;
      filled = true;
      if (!entry->IsHidden()) iClient->DrawBox(entry->iMin, entry->iMax, MatrixOf(entry));
    }
  }
  if (!filled) stats.iEmptyFillQueries += 1;
  iClient->EndDrawBoxes();
}

// A fill that could not be queried (the client gave no handle) counts as
// passed, like every other unqueried subject: otherwise a client without
// queries would never learn of a single unloaded object.
// An entry whose task cannot be had is reported untested.
// Entry tasks are made only here, so an entry outside the view that gets no
// task here is never queried, nor reported by frame coherency or a passing
// query either.
void KELFillQueryTask::HandleResult(int32_t pixels, KELFrameState* frame) {
  if (pixels != -1 && pixels <= KELSettings::SignedReportThreshold()) return;
  KELScreenSpacePartition* node = static_cast<KELScreenSpacePartition*>(iSubject);
  for (KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext) {
    KEL3DZoneEntry* lists[2] = {record->iZone->iUnloadedFixed, record->iZone->iUnloadedPending};
    for (KEL3DZoneEntry* entry : lists) {
      for (; entry != nullptr; entry = entry->iNextEntry)
        if (!entry->IsTooSmall() && !entry->IsHidden() && !frame->IsOutsideView(entry) &&
            !KELFrameState::Queue(&frame->iQueryQueue, KELEntryQueryTask::Make(iClient, iQueryState, entry)))
          frame->Report(entry);
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

void KELQueryBatchTask::Draw(KELFrameState* frame) {
  for (int32_t i = 0; i < iMembers.count; ++i) Member(i)->Draw(frame);
}

void KELQueryBatchTask::HandleResult(int32_t pixels, KELFrameState* frame) {
  for (int32_t i = 0; i < iMembers.count; ++i) {
    KELOcclusionQueryTask* member = Member(i);
    if (pixels > 0) {
      // Something of the group is visible: each member is queried alone, or
      // (no queue element) passes unqueried.
      member->iBatchable = 0;
      if (frame->iQueryQueue.Append(member)) continue;
      member->HandleResult(-1, frame);
      KELPools::GiveBack(member);
    } else {
      // An unqueried batch (no handle) leaves its members as unqueried as
      // if they had been issued alone: visible, never silently hidden.
      member->HandleResult(pixels == -1 ? -1 : 0, frame);
      KELPools::GiveBack(member);
    }
  }
  iMembers.count = 0;
  iQuery = nullptr;
  KELPools::GiveBack(this);
}

bool KELQueryBatchTask::IsRecycledByCaller() { return false; }
