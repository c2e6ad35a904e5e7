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

KEL3DZone* _leftOut = nullptr;

// Draws the shown loaded objects of the zone's subtree; a zone below that is
// on the list itself is drawn from there.
void DrawLeftOut(KELOcclusionCullingClient* client, const KEL3DZone* zone) {
  for (KEL3DZoneEntry* entry = zone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
    if (!entry->IsHidden())
      client->DrawObject(entry->iObject, entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr,
                         entry->IsTransparent());
  for (int32_t i = 0; i < zone->iChildren.count; ++i)
    if (!(zone->Child(i)->iFlags & kZoneFlagLeftOut)) DrawLeftOut(client, zone->Child(i));
}

// The pixel count is the view's own: another view's query must not change
// what this one reports.
void Touch(KELOcclusionCullingClient* client, const KEL3DZoneEntry* entry) {
  client->TouchObject(entry->iObject, KELView::EntryPixelCount(entry), entry->iBox->iMin, entry->iBox->iMax,
                      entry->iMatrix != nullptr ? entry->iMatrix->iElements : nullptr);
}

void ReportLeftOut(KELOcclusionCullingClient* client, const KEL3DZone* zone) {
  const KEL3DZoneEntry* lists[2] = {zone->iUnloadedFixed, zone->iUnloadedPending};
  for (const KEL3DZoneEntry* entry : lists)
    for (; entry != nullptr; entry = entry->iNextEntry)
      if (!entry->IsHidden()) Touch(client, entry);
  for (int32_t i = 0; i < zone->iChildren.count; ++i)
    if (!(zone->Child(i)->iFlags & kZoneFlagLeftOut)) ReportLeftOut(client, zone->Child(i));
}

void ForgetLeftOut() {
  while (_leftOut != nullptr) {
    KEL3DZone* zone = _leftOut;
    _leftOut = zone->iNextFree;
    zone->iNextFree = nullptr;
    zone->iFlags &= ~kZoneFlagLeftOut;
  }
}

void DrawLargeZones(KELOcclusionCullingClient* client, const KELScreenSpacePartition& root) {
  for (const KELScreenZone* record = root.iScreenZones; record != nullptr; record = record->iNext) {
    if (record->iIsSmall) continue;
    for (KEL3DZoneEntry* entry = record->iZone->iLoaded; entry != nullptr; entry = entry->iNextEntry)
      if (!entry->IsHidden()) client->DrawObject(entry->iObject, nullptr, entry->IsTransparent());
  }
}

void InsertRoot(KELScreenSpacePartition* root, const float* viewProjection, KEL3DZone* partition,
                int32_t planeCount, float* const* planes) {
  KELScreenZone* record = ProjectZone(viewProjection, partition);
  if (record == nullptr) KELLeaveOut(partition);
  root->InsertScreenZone(record, planeCount, planes);
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
    if (last && previous != nullptr) previous->iLastOfNode = 1;
    else if (last) KELLeaveOutNode(root);
  }
}

void ReportVisible(KELOcclusionCullingClient* client, FIFOQueue* visibleEntries) {
  client->OnBeginOcclusionResults();
  while (!visibleEntries->IsEmpty()) Touch(client, static_cast<KEL3DZoneEntry*>(visibleEntries->TakeFront()));
  for (const KEL3DZone* zone = _leftOut; zone != nullptr; zone = zone->iNextFree) ReportLeftOut(client, zone);
  client->OnEndOcclusionResults();
}

struct HeldPartition {
  const KELOcclusionCullingEngine* iEngine;
  void* iPartition;
};
HeldPartition _held[kHeldPartitionSlots];
int32_t _heldCount = 0;

}  // namespace

int32_t KELClientStateCount() { return _clientStates.count; }

void KELLeaveOut(KEL3DZone* zone) {
  if (zone->iFlags & kZoneFlagLeftOut) return;
  zone->iFlags |= kZoneFlagLeftOut;
  zone->iNextFree = _leftOut;
  _leftOut = zone;
}

void KELLeaveOutNode(const KELScreenSpacePartition* node) {
  for (const KELScreenZone* record = node->iScreenZones; record != nullptr; record = record->iNext)
    KELLeaveOut(record->iZone);
}

bool KELHoldPartition(const KELOcclusionCullingEngine* engine, void* partition) {
  if (_heldCount >= kHeldPartitionSlots) return false;
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
  return forgotten;
}

void KELOcclusionCullingEngine::EndCulling() {
  // Without a client there is nothing to query, draw or report to.
  KELOcclusionCullingClient* client = iClient;
  if (client == nullptr) return;
  // The view StartCulling took, unless it has been destroyed since.
  KELViewScope view(KELView::FromKey(iFrameView));
  KELView::AdvanceFrame();

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
  // Lives for the whole frame: the traversal's splits insert with it too.
  float* planes[6];
  const int32_t planeCount = KELUsedClipPlanes(iClipPlaneCount, iClipPlanes, planes);
  for (int32_t i = 0; i < iPartitions.count; ++i)
    InsertRoot(&root, viewProjection, static_cast<KEL3DZone*>(iPartitions.data[i]), planeCount, planes);
  for (int32_t i = 0; i < _heldCount; ++i)
    if (_held[i].iEngine == this)
      InsertRoot(&root, viewProjection, static_cast<KEL3DZone*>(_held[i].iPartition), planeCount, planes);
  root.iSampleCount = 0;

  KELClientQueryState* state = FindClientState(client);
  // Handles are reused only within the frame that made them.
  state->iHandlePool.allocator = KELAllocator::GetAllocator();
  state->iHandlePool.Clear();
  KELFrameState frame(client, state);
  frame.iContribution.Set(iScaledDirection, iContributionOffset);
  frame.iPlaneCount = planeCount;
  frame.iPlanes = planes;

  client->EnableDepthWrite(true);
  client->EnableColorWrite(true);
  DrawLargeZones(client, root);
  client->EnableDepthWrite(false);
  client->EnableColorWrite(false);
  IssueZoneQueries(&frame, &root);
  RunOcclusionTraversal(&frame);

  client->EnableColorWrite(true);
  client->EnableDepthWrite(true);
  if (_leftOut != nullptr) {
    client->SetInside(false);
    for (const KEL3DZone* zone = _leftOut; zone != nullptr; zone = zone->iNextFree) DrawLeftOut(client, zone);
  }
  ReportVisible(client, &frame.iVisibleEntries);
  ForgetLeftOut();

  // Handles are only reused within their frame: give the elements back now.
  state->iHandlePool.Clear();
  root.Release();
  SwapStorage(root.iChildren, _rootChildren);
}
