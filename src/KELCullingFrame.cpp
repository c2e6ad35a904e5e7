// The culling frame: EndCulling builds the frame's screen-space tree, draws
// the loaded objects of large zones, issues one zone query per projected
// zone, runs the occlusion traversal and reports the visible entries.
#include <cstdlib>
#include <new>
#include <utility>

#include "KELCullingFrame.h"
#include "KEL3DZone.h"
#include "KELFrameState.h"
#include "KELMemory.h"
#include "KELOcclusionCullingEngine.h"
#include "KELOcclusionQueryTask.h"
#include "KELOcclusionTraversal.h"
#include "KELPools.h"
#include "KELScreenSpacePartition.h"
#include "KELSettings.h"
#include "KELView.h"

namespace {

// One record per client ever used; never removed during the process. At
// unload the records are released with the array, so that a library that is
// unloaded leaves nothing behind.
struct ClientStates {
  KELGrowArray array{10};
  // The handle pools are already empty (every frame empties its pool before
  // it returns), so no element is touched here: a host allocator destroyed
  // before the library may already have taken that memory back.
  ~ClientStates() {
    for (int32_t i = 0; i < array.count; ++i) std::free(array.data[i]);
  }
} _clientStateHolder;
KELGrowArray& _clientStates = _clientStateHolder.array;
// Stands in when no record can be made for a new client (no memory).
KELClientQueryState _fallbackState = {nullptr, {nullptr, &KELPools::_sharedElementFreeList, nullptr, nullptr}};
// Storage of the frame root's child array, kept between frames so that a
// steady-state frame makes no heap allocation.
KELGrowArray _rootChildren(8);

// Exchanges two arrays' storage without copying it.
void SwapStorage(KELGrowArray& a, KELGrowArray& b) {
  std::swap(a.count, b.count);
  std::swap(a.growBy, b.growBy);
  std::swap(a.capacity, b.capacity);
  std::swap(a.data, b.data);
}

KELClientQueryState* FindClientState(KELOcclusionCullingClient* client) {
  for (int32_t i = 0; i < _clientStates.count; ++i) {
    KELClientQueryState* state = static_cast<KELClientQueryState*>(_clientStates.data[i]);
    if (state->iClient == client) return state;
  }
  void* memory = KELGlobalAllocate(sizeof(KELClientQueryState));
  if (memory != nullptr) {
    KELClientQueryState* state = static_cast<KELClientQueryState*>(memory);
    state->iClient = client;
    state->iHandlePool.Init(KELAllocator::GetAllocator(), &KELPools::_sharedElementFreeList);
    if (_clientStates.Append(state)) return state;
    std::free(memory);
  }
  _fallbackState.iClient = client;
  return &_fallbackState;
}

// A large zone's own entries are drawn without a test of their own, and a
// root reaching around the eye holds entries on every side of it: the view
// test drops those behind and beside the view.
void DrawLargeZones(const KELFrameState& frame, const KELScreenSpacePartition& root) {
  for (const KELScreenZone* record = root.iScreenZones; record != nullptr; record = record->iNext) {
    if (record->iIsSmall) continue;
    for (KEL3DZoneEntry* entry = record->iZone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
      if (!entry->IsHidden() && !frame.IsOutsideView(entry))
        frame.iClient->DrawObject(entry->iObject, nullptr, entry->IsTransparent());
  }
}

// Roots are not clip-tested by the build, and a root reaching behind the eye
// passes unqueried: with the view test on, a partition wholly outside the
// view volume is skipped before it costs a record or a query.
void InsertRoot(KELScreenSpacePartition* root, const float* viewProjection, KEL3DZone* partition,
                KELFrameState* frame) {
  if (frame->IsOutsideView(partition->iMin, partition->iMax)) return;
  KELScreenZone* record = ProjectZone(viewProjection, partition);
  if (record == nullptr) frame->LeaveOut(partition);
  root->InsertScreenZone(record, frame);
}

// A record whose task cannot be had counts as passed unqueried; when it was
// the node's last, the task issued before it judges the node instead, and
// without one the node's zones are left out.
void IssueZoneQueries(KELFrameState* frame, KELScreenSpacePartition* root) {
  KELZoneQueryTask* previous = nullptr;
  for (KELScreenZone* record = root->iScreenZones; record != nullptr; record = record->iNext) {
    const bool last = record->iNext == nullptr;
    KELZoneQueryTask* task = KELZoneQueryTask::Make(frame->iClient, frame->iQueryState, record->iZone, root, last,
                                                    record->iCrossesNearPlane != 0);
    if (task != nullptr) {
      KELOcclusionQueryTask::IssuePending(task, frame);
      previous = task;
      continue;
    }
    KELZoneQueryTask::CountUnqueried(record->iZone, root);
    // The first pass drew the large records' loaded objects already.
    if (last && previous != nullptr) previous->iLastOfNode = 1;
    else if (last) frame->LeaveOutNode(root, true);
  }
}

void ReportVisible(KELFrameState* frame) {
  frame->iClient->OnBeginOcclusionResults();
  FIFOQueue& visible = frame->iVisibleEntries;
  while (!visible.IsEmpty()) frame->Touch(static_cast<KEL3DZoneEntry*>(visible.TakeFront()));
  frame->ReportOwed();
  frame->iClient->OnEndOcclusionResults();
}

struct HeldPartition {
  const KELOcclusionCullingEngine* iEngine;
  void* iPartition;
};
HeldPartition _held[kHeldPartitionSlots];
int32_t _heldCount = 0;
// AddPartition calls since the engine's StartCulling whose partition could
// be neither listed nor held (one engine at a time: the last to drop one).
struct DroppedPartitions {
  const KELOcclusionCullingEngine* iEngine;
  int32_t iCount;
} _dropped = {nullptr, 0};

}  // namespace

int32_t KELClientStateCount() { return _clientStates.count; }

bool KELHoldPartition(const KELOcclusionCullingEngine* engine, void* partition) {
  if (_heldCount >= kHeldPartitionSlots) {
    if (_dropped.iEngine != engine) _dropped = {engine, 0};
    _dropped.iCount += 1;
    return false;
  }
  _held[_heldCount++] = {engine, partition};
  return true;
}

int32_t KELForgetHeldPartitions(const KELOcclusionCullingEngine* engine, const void* partition) {
  int32_t kept = 0;
  for (int32_t i = 0; i < _heldCount; ++i) {
    const HeldPartition& slot = _held[i];
    if (slot.iEngine != engine || (partition != nullptr && slot.iPartition != partition)) _held[kept++] = slot;
  }
  const int32_t forgotten = _heldCount - kept;
  _heldCount = kept;
  if (partition == nullptr && _dropped.iEngine == engine) _dropped = {nullptr, 0};
  return forgotten;
}

void KELOcclusionCullingEngine::EndCulling() {
  // Without a client there is nothing to query, draw or report to.
  KELOcclusionCullingClient* client = iClient;
  if (client == nullptr) return;
  // The view StartCulling took, unless it has been destroyed since.
  KELViewScope view(KELView::FromKey(iFrameView));
  KELView::AdvanceFrame();

  KELClientQueryState* state = FindClientState(client);
  // Handles are reused only within the frame that made them.
  state->iHandlePool.allocator = KELAllocator::GetAllocator();
  state->iHandlePool.Clear();
  KELFrameState frame(client, state);
  frame.iContribution.Set(iScaledDirection, iContributionOffset);
  // Lives for the whole frame: the traversal's splits insert with it too.
  float* planes[6];
  frame.iPlaneCount = KELUsedClipPlanes(iClipPlaneCount, iClipPlanes, planes);
  frame.iPlanes = planes;
  frame.iViewVolumeTests = iViewVolumeTests;

  KELScreenSpacePartition root;
  SwapStorage(root.iChildren, _rootChildren);
  root.Initialize(-1, -1, -1, 1, 1, 1);
  float viewProjection[16];
  ComputeViewProjection(iProjectionMatrix, iViewMatrix, viewProjection);
  // Reversed depth: the third clip row turned back (exactly, by its sign)
  // makes the near-plane test and the near-to-far order those of the
  // forward projection.
  if (KELSettings::_reversedDepth)
    for (int column = 0; column < 4; ++column) viewProjection[4 * column + 2] = -viewProjection[4 * column + 2];
  for (int32_t i = 0; i < iPartitions.count; ++i)
    InsertRoot(&root, viewProjection, static_cast<KEL3DZone*>(iPartitions.data[i]), &frame);
  for (int32_t i = 0; i < _heldCount; ++i)
    if (_held[i].iEngine == this)
      InsertRoot(&root, viewProjection, static_cast<KEL3DZone*>(_held[i].iPartition), &frame);
  root.iSampleCount = 0;

  client->EnableDepthWrite(true);
  client->EnableColorWrite(true);
  DrawLargeZones(frame, root);
  client->EnableDepthWrite(false);
  client->EnableColorWrite(false);
  IssueZoneQueries(&frame, &root);
  RunOcclusionTraversal(&frame);

  client->EnableColorWrite(true);
  client->EnableDepthWrite(true);
  frame.DrawOwed();
  ReportVisible(&frame);
  frame.ForgetOwed();
  frame.iStatistics.iDroppedPartitions = _dropped.iEngine == this ? _dropped.iCount : 0;
  KELCullingStatistics::_last = frame.iStatistics;

  // Handles are only reused within their frame: give the elements back now.
  state->iHandlePool.Clear();
  root.Release();
  SwapStorage(root.iChildren, _rootChildren);
}
