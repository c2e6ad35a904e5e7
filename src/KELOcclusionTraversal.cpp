// Front-to-back occlusion traversal. Each pass reads every pending result in
// issue order, then draws what was decided visible, then issues fill
// queries, then zone and entry queries (previously hidden subjects grouped
// into batches by their visibility history).
#include "KELOcclusionTraversal.h"

#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELOcclusionCullingClient.h"
#include "KELOcclusionQueryTask.h"
#include "KELPools.h"
#include "KELSettings.h"
#include "KELView.h"

namespace {

// Remembers the client's colour and depth writes so that a switch is
// called only on a change, colour before depth.
struct RenderState {
  KELOcclusionCullingClient* client;
  bool color;
  bool depth;

  void Set(bool wantColor, bool wantDepth) {
    if (color != wantColor) {
      client->EnableColorWrite(wantColor);
      color = wantColor;
    }
    if (depth != wantDepth) {
      client->EnableDepthWrite(wantDepth);
      depth = wantDepth;
    }
  }
};

constexpr int kBatchSlotCount = KELQueryBatchTask::kSlotCount;

void ReadResults(KELFrameState* frame, uint32_t* result) {
  while (KELOcclusionQueryTask::_pendingHead != nullptr) {
    KELOcclusionQueryTask* task = KELOcclusionQueryTask::_pendingHead;
    void* query = task->iQuery;
    if (query != nullptr) {
      // Results are read strictly in issue order; a client that is not ready
      // is asked again for the same query.
      while (!task->iClient->GetQueryResult(query, *result, true)) {
      }
    }
    KELOcclusionQueryTask::TakePending();
    int32_t pixels = query != nullptr ? static_cast<int32_t>(*result) : -1;
    task->HandleResult(pixels, frame);
    if (query != nullptr) {
      frame->iQueryState->iHandlePool.Append(query);
      task->iQuery = nullptr;
    }
    if (task->IsRecycledByCaller()) KELPools::GiveBack(task);
  }
}

void DrawEntries(KELOcclusionCullingClient* client, RenderState* state, FIFOQueue* drawQueue) {
  if (drawQueue->IsEmpty()) return;
  state->Set(true, true);
  const uint32_t frame = static_cast<uint32_t>(KELView::Frame());
  while (!drawQueue->IsEmpty()) {
    KEL3DZoneEntry* entry = static_cast<KEL3DZoneEntry*>(drawQueue->TakeFront());
    KEL3DZone* zone = entry->iZone;
    client->SetInside(KELView::HasZoneFlag(zone, kZoneFlagInsideScreen));
    if (!entry->IsHidden())
      client->DrawObject(entry->iObject, entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr,
                         entry->IsTransparent());
    ClearOwnHitUpwards(zone);
    KELView::RecordZone(zone, frame, true);
  }
}

void IssueFillQueries(KELFrameState* frame, RenderState* state) {
  FIFOQueue* fillQueue = &frame->iFillQueue;
  if (fillQueue->IsEmpty()) return;
  state->Set(false, KELSettings::_fillDepthWrites);
  while (!fillQueue->IsEmpty()) {
    KELOcclusionQueryTask* task = static_cast<KELOcclusionQueryTask*>(fillQueue->TakeFront());
    if (task == nullptr) return;  // failed allocation: the rest waits for the next pass
    KELOcclusionQueryTask::IssuePending(task, frame);
  }
}

void IssueBatch(KELFrameState* frame, int slot) {
  KELQueryBatchTask* batch = KELQueryBatchTask::_batchSlots[slot];
  KELQueryBatchTask::_batchSlots[slot] = nullptr;
  KELOcclusionQueryTask::IssuePending(batch, frame);
}

void Batch(KELFrameState* frame, KELOcclusionQueryTask* task, int slot) {
  KELQueryBatchTask* batch = KELQueryBatchTask::_batchSlots[slot];
  if (batch == nullptr) {
    batch = KELQueryBatchTask::Make(frame->iClient, frame->iQueryState);
    // Without a batch (or room for a member) the task is simply queried alone.
    if (batch == nullptr || !batch->iMembers.Append(task)) {
      if (batch != nullptr) KELPools::GiveBack(batch);
      KELOcclusionQueryTask::IssuePending(task, frame);
      return;
    }
    KELQueryBatchTask::_batchSlots[slot] = batch;
    return;
  }
  if (!batch->iMembers.Append(task)) {
    KELOcclusionQueryTask::IssuePending(task, frame);
    return;
  }
  if (batch->iMembers.count > kMaxBatchMembers) IssueBatch(frame, slot);
}

void IssueQueries(KELFrameState* frame, RenderState* state) {
  FIFOQueue* queryQueue = &frame->iQueryQueue;
  if (queryQueue->IsEmpty()) return;
  state->Set(false, false);
  while (!queryQueue->IsEmpty()) {
    KELOcclusionQueryTask* task = static_cast<KELOcclusionQueryTask*>(queryQueue->TakeFront());
    if (task == nullptr) break;  // failed allocation: the rest waits for the next pass
    int16_t history = task->GetOcclusionHistory();
    if (history < 0 || history >= kBatchSlotCount || !task->iBatchable) KELOcclusionQueryTask::IssuePending(task, frame);
    else Batch(frame, task, history);
  }
  for (int slot = 0; slot < kBatchSlotCount; ++slot) {
    KELQueryBatchTask* batch = KELQueryBatchTask::_batchSlots[slot];
    if (batch == nullptr) continue;
    if (batch->iMembers.count > 0) {
      IssueBatch(frame, slot);
    } else {
      KELQueryBatchTask::_batchSlots[slot] = nullptr;
      KELPools::GiveBack(batch);
    }
  }
}

}  // namespace

void RunOcclusionTraversal(KELFrameState* frame) {
  frame->iStatistics = KELCullingStatistics();
  KELOcclusionCullingClient* client = frame->iClient;
  client->EnableDepthWrite(true);
  client->EnableColorWrite(true);
  RenderState state = {client, true, true};
  uint32_t result = 0;
  for (;;) {
    if (KELOcclusionQueryTask::_pendingHead == nullptr && frame->iDrawQueue.IsEmpty() &&
        frame->iFillQueue.IsEmpty() && frame->iQueryQueue.IsEmpty())
      break;
    result = 0;
    ReadResults(frame, &result);
    DrawEntries(client, &state, &frame->iDrawQueue);
    IssueFillQueries(frame, &state);
    IssueQueries(frame, &state);
  }
  frame->iStatistics.Report();
}
