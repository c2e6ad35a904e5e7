// The streaming host on the render thread: uploads, wishes, the budget,
// eviction and the queue the workers take from.
//
// Budget: a request reserves, before its block is read, the block's packed
// bytes (the read buffer), its unpacked bytes (the decoded copy waiting for
// upload) and what its upload will hold on the GPU. The packed part is
// given back when the block is decoded, the unpacked part when it is
// uploaded, and the GPU part when the entry is evicted. What is held never
// exceeds what is reserved, and nothing is reserved beyond the budget.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "KELOcclusionCullingEngine.h"
#include "KELStreaming.h"
#include "KELStreamingLoader.h"

namespace {

const char* const kOrderNames[] = {"occlusion", "frustum", "all"};
// Requests queued, read or waiting for upload at once, at most: enough to
// keep the workers busy for a frame, few enough that a turning camera
// cancels rather than waits.
const uint32_t kMaxInFlight = 4096;
// Without an upload budget, the unpacked bytes read ahead of uploads.
const uint64_t kDefaultReadAhead = 64ull << 20;

// The box corner furthest inside each plane lies outside one of them.
bool OutsideView(const float planes[6][4], const float* min, const float* max) {
  for (int i = 0; i < 6; ++i) {
    float distance = planes[i][3];
    for (int axis = 0; axis < 3; ++axis) distance += planes[i][axis] * (planes[i][axis] < 0 ? max[axis] : min[axis]);
    if (distance >= 0) return true;
  }
  return false;
}

// From the point to the nearest point of the box (0 inside), squared.
float BoxDistance2(const float* min, const float* max, const float* point) {
  float sum = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const float d = std::max(std::max(min[axis] - point[axis], point[axis] - max[axis]), 0.0f);
    sum += d * d;
  }
  return sum;
}

float CenterDistance(const KELPackEntry& entry, const float* eye) {
  float sum = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const float d = 0.5f * (entry.iMin[axis] + entry.iMax[axis]) - eye[axis];
    sum += d * d;
  }
  return std::sqrt(sum);
}

// Angular size: the sphere's radius over its centre's distance.
float ScreenSize(const KELPackEntry& entry, float distance) {
  return entry.iRadius / std::max(distance, 1e-6f);
}

}  // namespace

const char* GetStreamingOrderName(KELStreamingOrder order) { return kOrderNames[static_cast<int>(order)]; }

bool ParseStreamingOrder(const std::string& name, KELStreamingOrder& order) {
  for (int i = 0; i < 3; ++i)
    if (name == kOrderNames[i]) {
      order = static_cast<KELStreamingOrder>(i);
      return true;
    }
  return false;
}

KELStreamingHost::KELStreamingHost(const KELPackIndex& index, KELPackSource& source, KELStreamingUploader& uploader,
                                   const KELStreamingOptions& options)
    : iIndex(index), iSource(source), iUploader(uploader), iOptions(options), iHeld(new KELHeldBytes()),
      iStates(index.GetEntryCount()) {
  // Reading everything at start is what this order stands for.
  if (iOptions.iOrder == KELStreamingOrder::kAll) iOptions.iBudgetBytes = 0;
}

KELStreamingHost::~KELStreamingHost() {
  iLoader.reset();
  for (const KELLoadResult& result : iDecoded) iHeld->Sub(iIndex.GetEntry(result.iEntry).iUnpackedBytes);
  for (uint32_t entry = 0; entry < iStates.size(); ++entry)
    if (iStates[entry].iState == KELStreamingState::kResident) {
      iUploader.Release(entry);
      iHeld->Sub(iStates[entry].iGpuBytes);
    }
}

bool KELStreamingHost::Start(std::string& error) {
  if (iOptions.iPrefetchPartition || iOptions.iPrefetchRadius > 0) {
    // Entries by partition, and the partitions' bounds, for prefetching.
    iPartitionFirst.assign(iIndex.GetPartitionCount() + 1, 0);
    for (uint32_t e = 0; e < iIndex.GetEntryCount(); ++e) ++iPartitionFirst[iIndex.GetEntry(e).iPartition + 1];
    for (size_t p = 1; p < iPartitionFirst.size(); ++p) iPartitionFirst[p] += iPartitionFirst[p - 1];
    iPartitionEntries.resize(iIndex.GetEntryCount());
    std::vector<uint32_t> next(iPartitionFirst.begin(), iPartitionFirst.end() - 1);
    for (uint32_t e = 0; e < iIndex.GetEntryCount(); ++e) iPartitionEntries[next[iIndex.GetEntry(e).iPartition]++] = e;
    iPartitionBounds.assign(size_t{iIndex.GetPartitionCount()} * 6, 0.0f);
    for (uint32_t p = 0; p < iIndex.GetPartitionCount(); ++p) {
      float* bounds = &iPartitionBounds[size_t{p} * 6];
      for (int axis = 0; axis < 3; ++axis) {
        bounds[axis] = INFINITY;
        bounds[3 + axis] = -INFINITY;
      }
      for (uint32_t k = iPartitionFirst[p]; k < iPartitionFirst[p + 1]; ++k) {
        const KELPackEntry& entry = iIndex.GetEntry(iPartitionEntries[k]);
        for (int axis = 0; axis < 3; ++axis) {
          bounds[axis] = std::min(bounds[axis], entry.iMin[axis]);
          bounds[3 + axis] = std::max(bounds[3 + axis], entry.iMax[axis]);
        }
      }
    }
  }
  iLoader.reset(new KELStreamingLoader(iIndex, iSource, *iHeld));
  return iLoader->Start(iOptions.iThreads, error);
}

void KELStreamingHost::SetLibraryEntry(uint32_t entry, void* handle) {
  if (entry < iStates.size()) iStates[entry].iHandle = handle;
}

std::vector<void*> KELStreamingHost::AddEntriesToLibrary(void* const* objects) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  std::vector<void*> partitions(engine != nullptr ? iIndex.GetPartitionCount() : 0);
  for (void*& partition : partitions) partition = engine->CreateSpacePartition();
  for (uint32_t e = 0; e < iIndex.GetEntryCount() && engine != nullptr; ++e) {
    const KELPackEntry& entry = iIndex.GetEntry(e);
    float center[3];
    for (int axis = 0; axis < 3; ++axis) center[axis] = 0.5f * (entry.iMin[axis] + entry.iMax[axis]);
    void* object = objects != nullptr ? objects[e] : reinterpret_cast<void*>(uintptr_t{e} + 1);
    iStates[e].iHandle = engine->AddEntry(partitions[entry.iPartition], object, entry.iMin, entry.iMax, center,
                                          entry.iRadius, iIndex.GetMatrix(e));
    if (iStates[e].iHandle == nullptr) {
      for (void* partition : partitions) engine->DestroySpacePartition(partition);
      for (KELEntryState& state : iStates) state.iHandle = nullptr;
      return {};
    }
  }
  return partitions;
}

void KELStreamingHost::NoteDrawn(uint32_t entry) {
  if (entry >= iStates.size()) return;
  KELEntryState& state = iStates[entry];
  if (iOptions.iPrefetchPartition && state.iDrawn != iFrame) iShown.push_back(entry);
  state.iDrawn = iFrame;
  if (state.iState != KELStreamingState::kResident) {
    ++iDrawnWithoutGeometry;
    return;
  }
  Use(entry);
}

void KELStreamingHost::NoteReported(uint32_t entry, uint32_t pixels) {
  if (entry >= iStates.size()) return;
  iStates[entry].iPixels = pixels;
  iReported.push_back(entry);
  if (iOptions.iPrefetchPartition) iShown.push_back(entry);
}

void KELStreamingHost::Update(const KELStreamingView& view, KELStreamingFrameStats* out) {
  KELStreamingFrameStats stats;
  iLoader->TakeResults(iResults);
  for (KELLoadResult& result : iResults) {
    KELEntryState& state = iStates[result.iEntry];
    if (!result.iDecoded) {
      Fail(result.iEntry, result.iError);
      ++stats.iFailed;
      continue;
    }
    // The read buffer is gone.
    iReservedBytes -= iIndex.GetEntry(result.iEntry).iPackedBytes;
    state.iState = KELStreamingState::kDecoded;
    iDecoded.push_back(std::move(result));
  }
  iResults.clear();
  UploadDecoded(stats);
  CollectWishes(view);
  Dispatch(stats);
  const uint64_t read = iLoader->GetReadBytes();
  stats.iReadBytes = read - iLastReadBytes;
  iLastReadBytes = read;
  stats.iHeldBytes = iHeld->Get();
  stats.iPending = iPendingCount;
  if (out != nullptr) *out = stats;
  ++iFrame;
}

void KELStreamingHost::WaitForWork(int milliseconds) {
  if (iLoader) iLoader->WaitForResult(milliseconds);
}

bool KELStreamingHost::IsIdle() const { return iInFlight == 0 && iPendingCount == 0; }

size_t KELStreamingHost::GetBytesPerEntry() { return sizeof(KELEntryState); }

uint64_t KELStreamingHost::GetPeakHeldBytes() const { return iHeld->GetPeak(); }
uint64_t KELStreamingHost::GetHeldBytes() const { return iHeld->Get(); }
uint64_t KELStreamingHost::GetReadBytesTotal() const { return iLoader ? iLoader->GetReadBytes() : 0; }

void KELStreamingHost::UploadDecoded(KELStreamingFrameStats& stats) {
  const auto start = std::chrono::steady_clock::now();
  const uint64_t limit = iOptions.iUploadBytesPerFrame;
  uint64_t uploaded = 0;
  size_t done = 0;
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  for (; done < iDecoded.size(); ++done) {
    const uint32_t entry = iDecoded[done].iEntry;
    const KELPackEntry& record = iIndex.GetEntry(entry);
    // At least one block a frame, however large.
    if (limit > 0 && done > 0 && uploaded + record.iUnpackedBytes > limit) break;
    uploaded += record.iUnpackedBytes;
    KELEntryState& state = iStates[entry];
    uint64_t bytes = 0;
    const bool made = iUploader.Upload(entry, iDecoded[done].iGeometry, iIndex.GetMatrix(entry), bytes);
    iDecoded[done].iGeometry = KELPackGeometry();
    iHeld->Sub(record.iUnpackedBytes);
    iReservedBytes -= record.iUnpackedBytes;
    iInFlightBytes -= record.iUnpackedBytes;
    --iInFlight;
    if (!made || bytes > state.iGpuBytes) {
      if (made) iUploader.Release(entry);
      iReservedBytes -= state.iGpuBytes;
      state.iGpuBytes = 0;
      Fail(entry, "entry " + std::to_string(entry) + ": the upload " +
                      (made ? "held more than it promised" : "failed"));
      ++stats.iFailed;
      continue;
    }
    iReservedBytes -= state.iGpuBytes - bytes;
    state.iGpuBytes = static_cast<uint32_t>(bytes);
    iHeld->Add(bytes);
    state.iState = KELStreamingState::kResident;
    ++iResidentCount;
    LruAppend(entry);
    // Just arrived: kept at least through this frame's evictions.
    state.iLastUsed = iFrame;
    if (state.iHandle != nullptr && engine != nullptr) engine->EntryLoaded(state.iHandle);
    ++stats.iLoads;
  }
  iDecoded.erase(iDecoded.begin(), iDecoded.begin() + static_cast<std::ptrdiff_t>(done));
  stats.iUploadMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void KELStreamingHost::Use(uint32_t entry) {
  KELEntryState& state = iStates[entry];
  state.iLastUsed = iFrame;
  if (state.iState == KELStreamingState::kResident && iLruTail != entry) {
    LruRemove(entry);
    LruAppend(entry);
  }
}

// Tier 0 is what the order itself wants: it counts as used, so it is not
// evicted in this frame. Prefetching (tiers 1 and up) only asks: it keeps
// nothing and, in Dispatch, takes only room that is free.
void KELStreamingHost::Want(uint32_t entry, uint8_t tier, float primary, float secondary) {
  KELEntryState& state = iStates[entry];
  if (state.iWanted == iFrame || state.iState == KELStreamingState::kFailed) return;
  state.iWanted = iFrame;
  if (tier == 0) Use(entry);
  if (state.iState == KELStreamingState::kResident) return;
  iWishes.push_back(KELWish{primary, secondary, entry, tier});
}

void KELStreamingHost::CollectWishes(const KELStreamingView& view) {
  iWishes.clear();
  const uint32_t count = iIndex.GetEntryCount();
  switch (iOptions.iOrder) {
    case KELStreamingOrder::kOcclusion:
      for (uint32_t entry : iReported) {
        const float distance = CenterDistance(iIndex.GetEntry(entry), view.iEye);
        const float pixels = static_cast<float>(iStates[entry].iPixels);
        if (iOptions.iNearestFirst) Want(entry, 0, -distance, pixels);
        else Want(entry, 0, pixels, -distance);
      }
      if (iOptions.iPrefetchPartition) CollectPrefetch(view);
      if (iOptions.iPrefetchRadius > 0) CollectNear(view);
      break;
    case KELStreamingOrder::kFrustum:
      for (uint32_t entry = 0; entry < count; ++entry) {
        const KELPackEntry& record = iIndex.GetEntry(entry);
        if (OutsideView(view.iPlanes, record.iMin, record.iMax)) continue;
        const float distance = CenterDistance(record, view.iEye);
        Want(entry, 0, ScreenSize(record, distance), -distance);
      }
      break;
    case KELStreamingOrder::kAll:
      // File order; only the head of what is missing can be queued.
      while (iAllCursor < count && (iStates[iAllCursor].iState == KELStreamingState::kResident ||
                                    iStates[iAllCursor].iState == KELStreamingState::kFailed))
        ++iAllCursor;
      for (uint32_t entry = iAllCursor; entry < count && iWishes.size() <= kMaxInFlight + iInFlight; ++entry)
        Want(entry, 0, -static_cast<float>(entry), 0);
      break;
  }
  iReported.clear();
  iShown.clear();
  iPendingCount = iOptions.iOrder == KELStreamingOrder::kAll ? count - iResidentCount - iFailedCount
                                                             : static_cast<uint32_t>(iWishes.size());
  // Only the best few can be queued this frame.
  const size_t best = std::min(iWishes.size(), size_t{iInFlight} + kMaxInFlight + 1);
  const auto better = [](const KELWish& a, const KELWish& b) {
    if (a.iTier != b.iTier) return a.iTier < b.iTier;
    if (a.iPrimary != b.iPrimary) return a.iPrimary > b.iPrimary;
    if (a.iSecondary != b.iSecondary) return a.iSecondary > b.iSecondary;
    return a.iEntry < b.iEntry;
  };
  if (best < iWishes.size()) {
    std::nth_element(iWishes.begin(), iWishes.begin() + static_cast<std::ptrdiff_t>(best), iWishes.end(), better);
    iWishes.resize(best);
  }
  std::sort(iWishes.begin(), iWishes.end(), better);
}

// The entries of every partition that shows (a report or a draw in this
// frame) that meet the view volume, after every report, larger on screen
// first.
void KELStreamingHost::CollectPrefetch(const KELStreamingView& view) {
  iPartitionShown.resize(iIndex.GetPartitionCount(), -1);
  for (uint32_t shown : iShown) {
    const uint32_t partition = iIndex.GetEntry(shown).iPartition;
    if (iPartitionShown[partition] == iFrame) continue;
    iPartitionShown[partition] = iFrame;
    for (uint32_t k = iPartitionFirst[partition]; k < iPartitionFirst[partition + 1]; ++k) {
      const uint32_t entry = iPartitionEntries[k];
      const KELPackEntry& record = iIndex.GetEntry(entry);
      if (iStates[entry].iWanted == iFrame || OutsideView(view.iPlanes, record.iMin, record.iMax)) continue;
      const float distance = CenterDistance(record, view.iEye);
      Want(entry, 1, ScreenSize(record, distance), -distance);
    }
  }
}

void KELStreamingHost::CollectNear(const KELStreamingView& view) {
  const float radius2 = iOptions.iPrefetchRadius * iOptions.iPrefetchRadius;
  for (uint32_t partition = 0; partition < iIndex.GetPartitionCount(); ++partition) {
    const float* bounds = &iPartitionBounds[size_t{partition} * 6];
    if (BoxDistance2(bounds, bounds + 3, view.iEye) > radius2) continue;
    for (uint32_t k = iPartitionFirst[partition]; k < iPartitionFirst[partition + 1]; ++k) {
      const uint32_t entry = iPartitionEntries[k];
      const KELPackEntry& record = iIndex.GetEntry(entry);
      const float distance2 = BoxDistance2(record.iMin, record.iMax, view.iEye);
      if (distance2 <= radius2) Want(entry, 2, -distance2, 0);
    }
  }
}

void KELStreamingHost::Dispatch(KELStreamingFrameStats& stats) {
  // What no worker has started comes back; the rest is being read.
  iLoader->TakeQueue(iTaken);
  for (uint32_t entry : iQueued)
    if (iStates[entry].iState == KELStreamingState::kQueued) iStates[entry].iState = KELStreamingState::kReading;
  for (const KELLoadRequest& request : iTaken) Unreserve(request.iEntry);
  iQueued.clear();
  iQueue.clear();

  uint64_t readAhead = iOptions.iUploadBytesPerFrame > 0 ? 2 * iOptions.iUploadBytesPerFrame : kDefaultReadAhead;
  if (iOptions.iBudgetBytes > 0) readAhead = std::min(readAhead, iOptions.iBudgetBytes / 2);
  for (const KELWish& wish : iWishes) {
    const uint32_t entry = wish.iEntry;
    if (iStates[entry].iState != KELStreamingState::kIdle) continue;
    const KELPackEntry& record = iIndex.GetEntry(entry);
    if (iInFlight >= kMaxInFlight || (iInFlight > 0 && iInFlightBytes + record.iUnpackedBytes > readAhead)) break;
    const uint64_t gpu = std::min<uint64_t>(iUploader.GetUploadBytes(record), 0xFFFFFFFFu);
    const uint64_t reservation = uint64_t{record.iPackedBytes} + record.iUnpackedBytes + gpu;
    // A request that cannot fit waits, and those behind it with it;
    // prefetching evicts nothing.
    if (wish.iTier > 0 ? iOptions.iBudgetBytes > 0 && iReservedBytes + reservation > iOptions.iBudgetBytes
                       : !MakeRoom(reservation, stats))
      break;
    KELEntryState& state = iStates[entry];
    state.iGpuBytes = static_cast<uint32_t>(gpu);
    state.iState = KELStreamingState::kQueued;
    iReservedBytes += reservation;
    iInFlightBytes += record.iUnpackedBytes;
    ++iInFlight;
    iQueued.push_back(entry);
    iQueue.push_back(KELLoadRequest{entry, wish.iPrimary, wish.iSecondary});
  }
  for (const KELLoadRequest& request : iTaken)
    if (iStates[request.iEntry].iState == KELStreamingState::kIdle) ++stats.iCancelled;
  iLoader->PutQueue(iQueue);
}

void KELStreamingHost::Unreserve(uint32_t entry) {
  KELEntryState& state = iStates[entry];
  const KELPackEntry& record = iIndex.GetEntry(entry);
  iReservedBytes -= uint64_t{record.iPackedBytes} + record.iUnpackedBytes + state.iGpuBytes;
  iInFlightBytes -= record.iUnpackedBytes;
  --iInFlight;
  state.iGpuBytes = 0;
  state.iState = KELStreamingState::kIdle;
}

bool KELStreamingHost::MakeRoom(uint64_t bytes, KELStreamingFrameStats& stats) {
  const uint64_t budget = iOptions.iBudgetBytes;
  if (budget == 0) return true;
  // Least recently used first; entries used in this frame (drawn,
  // reported, wanted or just uploaded) lie at the tail and stop the walk.
  while (iReservedBytes + bytes > budget) {
    if (iLruHead == kNone || iStates[iLruHead].iLastUsed >= iFrame || iStates[iLruHead].iDrawn == iFrame)
      return false;
    Evict(iLruHead);
    ++stats.iEvictions;
  }
  return true;
}

void KELStreamingHost::Evict(uint32_t entry) {
  KELEntryState& state = iStates[entry];
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  // The library first: it must not hand the entry to drawing any more.
  if (state.iHandle != nullptr && engine != nullptr) engine->EntryUnLoaded(state.iHandle);
  iUploader.Release(entry);
  iReservedBytes -= state.iGpuBytes;
  iHeld->Sub(state.iGpuBytes);
  state.iGpuBytes = 0;
  state.iState = KELStreamingState::kIdle;
  --iResidentCount;
  LruRemove(entry);
}

void KELStreamingHost::Fail(uint32_t entry, const std::string& message) {
  KELEntryState& state = iStates[entry];
  const KELPackEntry& record = iIndex.GetEntry(entry);
  if (state.iState == KELStreamingState::kQueued || state.iState == KELStreamingState::kReading) {
    iReservedBytes -= uint64_t{record.iPackedBytes} + record.iUnpackedBytes + state.iGpuBytes;
    iInFlightBytes -= record.iUnpackedBytes;
    --iInFlight;
    state.iGpuBytes = 0;
  }
  state.iState = KELStreamingState::kFailed;
  ++iFailedCount;
  iFailures.push_back(message);
}

void KELStreamingHost::LruRemove(uint32_t entry) {
  KELEntryState& state = iStates[entry];
  if (state.iLruPrevious != kNone) iStates[state.iLruPrevious].iLruNext = state.iLruNext;
  else iLruHead = state.iLruNext;
  if (state.iLruNext != kNone) iStates[state.iLruNext].iLruPrevious = state.iLruPrevious;
  else iLruTail = state.iLruPrevious;
  state.iLruPrevious = state.iLruNext = kNone;
}

void KELStreamingHost::LruAppend(uint32_t entry) {
  KELEntryState& state = iStates[entry];
  state.iLruPrevious = iLruTail;
  state.iLruNext = kNone;
  if (iLruTail != kNone) iStates[iLruTail].iLruNext = entry;
  else iLruHead = entry;
  iLruTail = entry;
}
