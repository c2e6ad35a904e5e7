// libFuzzer harness over the public interface: each input is a sequence of
// host calls (partitions, entries, settings, walks, views, frames, allocator
// failures) with ordinary and hostile values; after every call the
// partitions must pass the invariant checker (every view's state included)
// and hold exactly the entries the host added, and a frame advances the
// frame counter of the view it culls through and of no other.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "KEL3DZone.h"
#include "KELFuzzClient.h"
#include "KELFuzzInput.h"
#include "KELOcclusionQueryTask.h"
#include "KELOcclusionTraversal.h"
#include "KELScreenZone.h"
#include "KELScreenSpacePartitioning.h"
#include "KELSettings.h"
#include "KELValidator.h"
#include "KELView.h"
#include "TestSupport.h"

namespace {

constexpr int kPartitionCount = 4;
constexpr size_t kMaxEntries = 3000;
constexpr int kMaxSteps = 400;

// Fails the allocations whose ordinal falls in [iFailFrom, iFailTo).
class KELFuzzAllocator : public KELAllocator {
public:
  uint64_t iCount = 0;
  uint64_t iFailFrom = UINT64_MAX;
  uint64_t iFailTo = UINT64_MAX;
  void* Allocate(uint32_t size) override {
    const uint64_t ordinal = iCount++;
    if (ordinal >= iFailFrom && ordinal < iFailTo) return nullptr;
    return std::malloc(size);
  }
  void Free(void* pointer) override { std::free(pointer); }
};

struct KELFuzzState {
  KELOcclusionCullingEngine* iEngine = nullptr;
  KELFuzzAllocator iAllocator;
  KELFuzzClient iClient;
  KELFuzzModel iModel;
  void* iPartitions[kPartitionCount] = {};
  // A handle removed since the last AddEntry: its record is not reused yet,
  // so every entry operation on it must be ignored.
  void* iStale = nullptr;
  // Created views, and one destroyed since (invalid: ignored, or the
  // default view when selected).
  std::vector<void*> iViews;
  void* iDestroyedView = nullptr;
  // What SetView chose last, and the view StartCulling took from it.
  void* iChosenView = nullptr;
  void* iFrameView = nullptr;
};

KELFuzzState* _state = nullptr;

KEL3DZone* Root(int index) { return static_cast<KEL3DZone*>(_state->iPartitions[index]); }

// Every partition passes the checker and holds exactly the model's entries.
void CheckAll() {
  size_t expected[kPartitionCount] = {};
  for (const KELFuzzEntry& entry : _state->iModel.iEntries) {
    const KEL3DZoneEntry* record = static_cast<const KEL3DZoneEntry*>(entry.iHandle);
    KELFuzzCheck(record->iZone != nullptr, "a live entry has no zone");
    KELFuzzCheck(record->iObject == entry.iObject, "a live entry lost its object");
    KELFuzzCheck(record->IsLoaded() == entry.iLoaded, "a live entry lost its load state");
    KELFuzzCheck(record->IsHidden() == entry.iHidden, "a live entry lost its visibility");
    const KEL3DZone* zone = record->iZone;
    while (zone->iParent != nullptr) zone = zone->iParent;
    KELFuzzCheck(zone == Root(entry.iPartition), "a live entry sits in another partition");
    expected[entry.iPartition] += 1;
  }
  for (int p = 0; p < kPartitionCount; ++p) {
    KELPartitionCensus census;
    const KELVerdict verdict = KELValidatePartition(Root(p), &census);
    if (!verdict) KELFuzzFail(verdict.iMessage);
    KELFuzzCheck(census.iEntries == expected[p], "a partition's entry count differs from the host's");
  }
}

// Between frames no task or batch may stay behind.
void CheckFrameStateEmpty() {
  KELFuzzCheck(KELOcclusionQueryTask::_pendingHead == nullptr, "a query stayed pending after the frame");
  for (int slot = 0; slot < KELQueryBatchTask::kSlotCount; ++slot)
    KELFuzzCheck(KELQueryBatchTask::_batchSlots[slot] == nullptr, "a batch stayed open after the frame");
}

int PickPartition(FuzzedDataProvider& input) { return input.ConsumeIntegralInRange<int>(0, kPartitionCount - 1); }

// Index of a live entry, or -1 when there is none.
int PickEntry(FuzzedDataProvider& input) {
  if (_state->iModel.iEntries.empty()) return -1;
  return static_cast<int>(input.ConsumeIntegralInRange<size_t>(0, _state->iModel.iEntries.size() - 1));
}

void AddOne(FuzzedDataProvider& input, int partition, const KELFuzzBox& box, bool withMatrix) {
  float matrix[16];
  if (withMatrix) PickMatrix(input, matrix);
  void* object = _state->iModel.NewObject();
  void* handle = _state->iEngine->AddEntry(_state->iPartitions[partition], object, box.iMin, box.iMax, box.iCenter,
                                           box.iRadius, withMatrix ? matrix : nullptr);
  _state->iStale = nullptr;
  if (handle != nullptr) _state->iModel.Add({handle, object, partition, false, false});
}

void OpAddEntry(FuzzedDataProvider& input) {
  if (_state->iModel.iEntries.size() >= kMaxEntries) return;
  const int partition = PickPartition(input);
  const KELFuzzBox box = PickBox(input);
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
    // Null partition or missing arrays: ignored, null returned.
    KELFuzzCheck(_state->iEngine->AddEntry(nullptr, _state->iModel.NewObject(), box.iMin, box.iMax, box.iCenter,
                                           box.iRadius, nullptr) == nullptr,
                 "AddEntry into a null partition returned a handle");
    KELFuzzCheck(_state->iEngine->AddEntry(_state->iPartitions[partition], nullptr, nullptr, box.iMax, box.iCenter,
                                           box.iRadius, nullptr) == nullptr,
                 "AddEntry without a box returned a handle");
    return;
  }
  AddOne(input, partition, box, input.ConsumeBool());
}

// Many entries at once, so that zones split: clustered, spread, or all on
// one point.
void OpBulkAdd(FuzzedDataProvider& input) {
  const int partition = PickPartition(input);
  const int count = input.ConsumeIntegralInRange<int>(50, 400);
  const int shape = input.ConsumeIntegralInRange<int>(0, 3);
  KELTestRandom random{input.ConsumeIntegral<uint64_t>()};
  const float spread = shape == 0 ? 1e-3f : (shape == 1 ? 5.0f : 300.0f);
  const float origin[3] = {PickCoordinate(input), PickCoordinate(input), PickCoordinate(input)};
  for (int i = 0; i < count && _state->iModel.iEntries.size() < kMaxEntries; ++i) {
    KELFuzzBox box;
    for (int a = 0; a < 3; ++a) {
      const float center = shape == 3 ? origin[a] : origin[a] + random.Uniform(-spread, spread);
      const float half = random.Uniform(0.0f, spread * 0.05f);
      box.iMin[a] = center - half;
      box.iMax[a] = center + half;
      box.iCenter[a] = center;
    }
    box.iRadius = random.Uniform(0.0f, spread * 0.1f);
    AddOne(input, partition, box, (random.Next() & 7) == 0);
  }
}

void OpUpdateEntry(FuzzedDataProvider& input) {
  const int index = PickEntry(input);
  const KELFuzzBox box = PickBox(input);
  float matrix[16];
  const bool withMatrix = input.ConsumeBool();
  if (withMatrix) PickMatrix(input, matrix);
  void* handle = index >= 0 ? _state->iModel.iEntries[index].iHandle : nullptr;
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) handle = input.ConsumeBool() ? nullptr : _state->iStale;
  _state->iEngine->UpdateEntry(handle, box.iMin, box.iMax, box.iCenter, box.iRadius, withMatrix ? matrix : nullptr);
}

void OpRemoveEntry(FuzzedDataProvider& input) {
  const int index = PickEntry(input);
  if (index < 0 || input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // Null, or the handle removed last (record not reused): ignored.
    _state->iEngine->RemoveEntry(input.ConsumeBool() ? nullptr : _state->iStale);
    return;
  }
  void* handle = _state->iModel.iEntries[index].iHandle;
  _state->iEngine->RemoveEntry(handle);
  _state->iModel.RemoveAt(index);
  _state->iStale = handle;
}

// Load, unload, hide, show, transparency; on a live, stale or null handle.
void OpEntryState(FuzzedDataProvider& input) {
  const int index = PickEntry(input);
  const int what = input.ConsumeIntegralInRange<int>(0, 5);
  const int target = input.ConsumeIntegralInRange<int>(0, 9);
  KELFuzzEntry* entry = index >= 0 && target > 1 ? &_state->iModel.iEntries[index] : nullptr;
  void* handle = entry != nullptr ? entry->iHandle : (target == 0 ? nullptr : _state->iStale);
  KELOcclusionCullingEngine* engine = _state->iEngine;
  if (what < 2) {
    if (what == 0) engine->EntryLoaded(handle);
    else engine->EntryUnLoaded(handle);
    if (entry != nullptr) entry->iLoaded = what == 0;
  } else if (what < 4) {
    engine->SetVisibility(handle, what == 2);
    if (entry != nullptr) entry->iHidden = what != 2;
  } else {
    engine->SetTransparency(handle, what == 4);
  }
}

void OpActivate(FuzzedDataProvider& input) {
  const int partition = PickPartition(input);
  const bool active = input.ConsumeBool();
  _state->iEngine->ActivateSpacePartition(input.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr
                                                                                     : _state->iPartitions[partition],
                                          active);
}

// Destroys a partition with its entries; a new one (from the pool) takes
// its place.
void OpDestroyPartition(FuzzedDataProvider& input) {
  const int partition = PickPartition(input);
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
    _state->iEngine->DestroySpacePartition(nullptr);
    return;
  }
  KELFuzzModel& model = _state->iModel;
  for (size_t i = model.iEntries.size(); i-- > 0;)
    if (model.iEntries[i].iPartition == partition) model.RemoveAt(i);
  _state->iEngine->DestroySpacePartition(Root(partition));
  _state->iPartitions[partition] = _state->iEngine->CreateSpacePartition();
  KELFuzzCheck(_state->iPartitions[partition] != nullptr, "no partition from the pool after a destroy");
}

void OpTraverse(FuzzedDataProvider& input) {
  KELFuzzVisitor visitor;
  visitor.iInput = &input;
  visitor.iModel = &_state->iModel;
  visitor.iPartition = PickPartition(input);
  const bool force = input.ConsumeBool();
  _state->iEngine->TraverseSpacePartition(_state->iPartitions[visitor.iPartition], &visitor, force);
  float min[3], max[3];
  _state->iEngine->GetPartitionBounds(_state->iPartitions[visitor.iPartition], min, max);
  _state->iEngine->GetPartitionBounds(nullptr, min, max);
  _state->iEngine->TraverseSpacePartition(nullptr, &visitor, force);
}

void OpCreateView(FuzzedDataProvider&) {
  void* view = _state->iEngine->CreateView();
  if (view == nullptr) return;  // every view taken, or no memory
  KELFuzzCheck(static_cast<KELView*>(view)->iFrameCounter == 1, "a new view does not start at frame 1");
  _state->iViews.push_back(view);
  if (view == _state->iDestroyedView) _state->iDestroyedView = nullptr;
}

void OpDestroyView(FuzzedDataProvider& input) {
  if (_state->iViews.empty() || input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // Null, a stale handle or no view at all: ignored.
    _state->iEngine->DestroyView(input.ConsumeBool() ? nullptr : _state->iDestroyedView);
    return;
  }
  const size_t index = input.ConsumeIntegralInRange<size_t>(0, _state->iViews.size() - 1);
  void* view = _state->iViews[index];
  _state->iEngine->DestroyView(view);
  _state->iViews.erase(_state->iViews.begin() + static_cast<long>(index));
  _state->iDestroyedView = view;
  // An engine that selects a destroyed view culls through the default
  // view, also once the handle is made again.
  if (_state->iChosenView == view) _state->iChosenView = nullptr;
}

void OpSetView(FuzzedDataProvider& input) {
  const size_t pick = input.ConsumeIntegralInRange<size_t>(0, _state->iViews.size() + 1);
  void* view = pick < _state->iViews.size() ? _state->iViews[pick] : (pick == _state->iViews.size() ? nullptr
                                                                                                     : _state->iDestroyedView);
  _state->iEngine->SetView(view);
  _state->iChosenView = view == _state->iDestroyedView ? nullptr : view;
}

void OpMatrix(FuzzedDataProvider& input) {
  float matrix[16];
  PickMatrix(input, matrix);
  const bool none = input.ConsumeIntegralInRange<int>(0, 15) == 0;
  if (input.ConsumeBool()) _state->iEngine->SetViewMatrix(none ? nullptr : matrix);
  else _state->iEngine->SetProjectionMatrix(none ? nullptr : matrix);
}

void OpPlanes(FuzzedDataProvider& input) {
  const int count = input.ConsumeIntegralInRange<int>(-1, 10);
  float values[10][4];
  const float* planes[10];
  for (int p = 0; p < 10; ++p) {
    const bool hostile = input.ConsumeIntegralInRange<int>(0, 3) == 0;
    for (int i = 0; i < 4; ++i) values[p][i] = hostile ? PickFloat(input) : PickCoordinate(input) * 0.01f;
    planes[p] = input.ConsumeIntegralInRange<int>(0, 11) == 0 ? nullptr : values[p];
  }
  _state->iEngine->SetClippingPlanes(count, input.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : planes);
}

void OpSettings(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return _state->iEngine->SetPixelHitsThreshold(PickUnsigned(input));
    case 1: return _state->iEngine->SetFrameCoherency(PickUnsigned(input));
    case 3: return _state->iEngine->SetViewVolumeTests(input.ConsumeBool());
    case 2: {
      float eye[3], direction[3], center[3];
      for (int a = 0; a < 3; ++a) {
        eye[a] = PickFloat(input);
        direction[a] = PickFloat(input);
        center[a] = PickFloat(input);
      }
      const float scale1 = PickFloat(input), scale2 = PickFloat(input);
      const bool none = input.ConsumeIntegralInRange<int>(0, 15) == 0;
      _state->iEngine->SetContributionCullingParameters(none ? nullptr : eye, direction, scale1, scale2);
      volatile bool tooSmall = _state->iEngine->IsTooSmall(center, PickFloat(input));
      tooSmall = _state->iEngine->IsTooSmall(nullptr, 1.0f);
      (void)tooSmall;
      return;
    }
    default:
      return _state->iEngine->SetClient(input.ConsumeIntegralInRange<int>(0, 7) == 0 ? nullptr : &_state->iClient);
  }
}

// Failing allocations from now on: the next few, a later window, or all.
void OpAllocatorFailure(FuzzedDataProvider& input) {
  KELFuzzAllocator& allocator = _state->iAllocator;
  const int how = input.ConsumeIntegralInRange<int>(0, 3);
  allocator.iFailFrom =
      how == 0 ? UINT64_MAX : allocator.iCount + (how == 1 ? 0 : input.ConsumeIntegralInRange<uint64_t>(0, 64));
  allocator.iFailTo = how < 2 ? UINT64_MAX : allocator.iFailFrom + input.ConsumeIntegralInRange<uint64_t>(1, 64);
}

// The view a frame culls through: the one StartCulling took, unless it has
// been destroyed since.
KELView* FrameView() {
  for (void* view : _state->iViews)
    if (view == _state->iFrameView) return static_cast<KELView*>(view);
  return KELView::_views;
}

int32_t FrameOf(const KELView* view) { return view->IsDefault() ? KELSettings::_frameCounter : view->iFrameCounter; }

void RunFrame(FuzzedDataProvider& input, KELOcclusionCullingEngine* engine) {
  engine->StartCulling();
  _state->iFrameView = _state->iChosenView;
  bool added[kPartitionCount] = {};
  bool duplicates = false;
  const int count = input.ConsumeIntegralInRange<int>(0, kPartitionCount + 1);
  for (int i = 0; i < count; ++i) {
    const int partition = PickPartition(input);
    duplicates = duplicates || added[partition];
    added[partition] = true;
    engine->AddPartition(_state->iPartitions[partition]);
  }
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) engine->AddPartition(nullptr);
  _state->iClient.iDuplicatesAllowed = duplicates;
  KELFuzzClient& client = _state->iClient;
  client.iViewPlaneCount = KELEngineAccess::ViewVolumeTests(engine)
                               ? KELUsedClipPlanes(KELEngineAccess::PlaneCount(engine),
                                                   KELEngineAccess::Planes(engine), client.iViewPlanes)
                               : 0;
  _state->iClient.BeginFrame();
  int32_t before[kMaxViews];
  for (int32_t i = 0; i < kMaxViews; ++i) before[i] = FrameOf(&KELView::_views[i]);
  engine->EndCulling();
  const bool culled = KELEngineAccess::Client(engine) != nullptr;
  if (culled) _state->iClient.EndFrame();
  CheckFrameStateEmpty();
  KELFuzzCheck(KELView::_current == KELView::_views, "the default view is not current after the frame");
  const KELView* culledView = FrameView();
  for (int32_t i = 0; i < kMaxViews; ++i) {
    const uint32_t advanced = static_cast<uint32_t>(FrameOf(&KELView::_views[i])) - static_cast<uint32_t>(before[i]);
    KELFuzzCheck(advanced == (culled && &KELView::_views[i] == culledView ? 1u : 0u),
                 "a frame advanced another view's frame counter, or not its own");
  }
}

void OpFrame(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange<int>(0, 7) != 0) {
    RunFrame(input, _state->iEngine);
    return;
  }
  // A copy holds its own partition list and planes; the original must be
  // unaffected by the copy's frame and destruction.
  KELOcclusionCullingEngine* copy = CopyEngine(*_state->iEngine);
  RunFrame(input, copy);
  delete copy;
}

using Operation = void (*)(FuzzedDataProvider&);
const Operation kOperations[] = {OpAddEntry,   OpAddEntry, OpBulkAdd, OpUpdateEntry, OpUpdateEntry,      OpRemoveEntry,
                                 OpEntryState, OpEntryState, OpActivate, OpTraverse, OpMatrix,          OpPlanes,
                                 OpSettings,   OpAllocatorFailure, OpFrame, OpFrame, OpDestroyPartition,
                                 OpCreateView, OpSetView, OpSetView, OpDestroyView};

void SetUpState() {
  _state = new KELFuzzState();
  KELAllocator::SetAllocator(&_state->iAllocator);
  _state->iEngine = KELOcclusionCullingEngine::GetInstance();
  for (void*& partition : _state->iPartitions) partition = _state->iEngine->CreateSpacePartition();
  _state->iClient.iModel = &_state->iModel;
}

// Brings the partitions and settings back to their state after creation, so
// that an input behaves the same whatever ran before it.
void ResetState() {
  _state->iAllocator.iFailFrom = _state->iAllocator.iFailTo = UINT64_MAX;
  for (const KELFuzzEntry& entry : _state->iModel.iEntries) _state->iEngine->RemoveEntry(entry.iHandle);
  _state->iModel.Clear();
  _state->iStale = nullptr;
  for (void* view : _state->iViews) _state->iEngine->DestroyView(view);
  _state->iViews.clear();
  _state->iDestroyedView = _state->iChosenView = _state->iFrameView = nullptr;
  _state->iEngine->SetView(nullptr);
  const float lower[3] = {-kRootHalfSize, -kRootHalfSize, -kRootHalfSize};
  const float upper[3] = {kRootHalfSize, kRootHalfSize, kRootHalfSize};
  for (int p = 0; p < kPartitionCount; ++p) {
    KEL3DZone* root = Root(p);
    root->SetActive(true);  // flattens a split partition
    root->SetCell(lower, upper);
    root->iFlags = kZoneFlagEmpty;
    root->iHistory = 0;
    root->iHistoryFrame = 0;
    root->iLastVisibleFrame = 0;
  }
  KELOcclusionCullingEngine* engine = _state->iEngine;
  const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const float zero[3] = {0, 0, 0};
  engine->SetViewMatrix(identity);
  engine->SetProjectionMatrix(identity);
  engine->SetClippingPlanes(0, nullptr);
  engine->SetContributionCullingParameters(zero, zero, 0.0f, 0.0f);
  engine->SetPixelHitsThreshold(300);
  engine->SetFrameCoherency(0);
  engine->SetViewVolumeTests(false);
  engine->SetClient(&_state->iClient);
  engine->StartCulling();
  KELSettings::_frameCounter = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Six statistics lines a frame would dominate the run time.
  static KELQuietStdout quiet;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (_state == nullptr) SetUpState();
  ResetState();
  FuzzedDataProvider input(data, size);
  _state->iClient.iInput = &input;
  for (int step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
    input.PickValueInArray(kOperations)(input);
    CheckAll();
  }
  // Memory again: the next frame must run normally.
  _state->iAllocator.iFailFrom = _state->iAllocator.iFailTo = UINT64_MAX;
  RunFrame(input, _state->iEngine);
  CheckAll();
  return 0;
}
