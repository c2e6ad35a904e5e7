// The walkthrough's streaming runs: the library culls entries that the
// streaming host loads from the pack, in the order the run names, under its
// budgets; the ground truth still renders every mesh of the scene.
#include <algorithm>
#include <chrono>

#include "KELDemoReport.h"
#include "KELWalkthrough.h"

namespace {

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

KELStreamingView MakeStreamingView(const KELFrameCamera& camera) {
  KELStreamingView view;
  std::copy(camera.iEye, camera.iEye + 3, view.iEye);
  for (int plane = 0; plane < 6; ++plane) std::copy(camera.iPlanes[plane], camera.iPlanes[plane] + 4, view.iPlanes[plane]);
  return view;
}

}  // namespace

void KELWalkthrough::SetPack(const KELPackIndex* index, KELPackSource* source) {
  iStreamHost.reset();
  iPackIndex = index;
  iPackSource = source;
}

void KELWalkthrough::PrepareStreaming(KELStreamingOrder order) {
  Prepare(KELDemoMode::kStreaming);
  iStreamOrder = order;
  iStreaming = KELStreamingSummary();
  iStreaming.iOrder = order;
  iEverLoaded.assign(iScene.iObjects.size(), 0);
  if (iPackIndex == nullptr || iPackSource == nullptr) return;
  KELStreamingOptions options = iOptions.iStream;
  options.iOrder = order;
  iStreamHost.reset(new KELStreamingHost(*iPackIndex, *iPackSource, iRenderer->GetStreamStore(), options));
  std::string error;
  if (!iStreamHost->Start(error)) {
    iStreaming.iFailures.push_back(error);
    iStreamHost.reset();
    return;
  }
  iStreaming.iBudgetBytes = order == KELStreamingOrder::kAll ? 0 : options.iBudgetBytes;
  for (uint32_t index = 0; index < iEntries.size(); ++index) iStreamHost->SetLibraryEntry(index, iEntries[index]);
  iRenderer->SetStreamedDrawing(true);
}

std::vector<KELFrameRecord> KELWalkthrough::RunStreaming(KELStreamingOrder order,
                                                         const std::function<void(int)>& progress) {
  std::vector<KELFrameRecord> records;
  const auto start = std::chrono::steady_clock::now();
  PrepareStreaming(order);
  if (!iStreamHost) return records;
  if (order == KELStreamingOrder::kAll) {
    // What users have today: the whole model read before the first frame.
    const KELStreamingView view = MakeStreamingView(iCameras[0]);
    for (;;) {
      iStreamHost->Update(view, nullptr);
      if (iStreamHost->IsIdle()) break;
      iStreamHost->WaitForWork(5);
    }
    iStreaming.iLoadAllMs = MillisecondsSince(start);
  }
  for (int step = 0; step < iOptions.iRestFrames; ++step) {
    KELFrameRecord record = RenderFrame(KELDemoMode::kStreaming, 0);
    record.iWarmup = true;
    record.iFrame = step;
    record.iElapsedMs = MillisecondsSince(start);
    if (iStreaming.iFramesToComplete < 0 && record.iHolePct <= kCompleteHolePct) {
      iStreaming.iFramesToComplete = step + 1;
      iStreaming.iMsToComplete = record.iElapsedMs;
    }
    records.push_back(record);
  }
  // The path itself is judged afresh.
  std::fill(iPixelsPrevious.begin(), iPixelsPrevious.end(), 0u);
  std::fill(iMissedFrame.begin(), iMissedFrame.end(), -2);
  for (int frame = 0; frame < GetFrameCount(); ++frame) {
    records.push_back(RenderFrame(KELDemoMode::kStreaming, frame));
    records.back().iElapsedMs = MillisecondsSince(start);
    if (progress) progress(frame);
  }
  FinishStreaming();
  return records;
}

// After the frame: the library's draws and reports go to the host, which
// uploads, evicts and asks for more; its time belongs to the frame.
void KELWalkthrough::UpdateStreaming(const KELFrameCamera& camera, KELFrameRecord& record) {
  record.iOrder = iStreamOrder;
  if (!iStreamHost) return;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t index : Log().GetDrawn()) iStreamHost->NoteDrawn(index);
  for (const std::pair<uint32_t, uint32_t>& touched : Log().GetTouched())
    iStreamHost->NoteReported(touched.first, touched.second);
  KELStreamingFrameStats stats;
  iStreamHost->Update(MakeStreamingView(camera), &stats);
  record.iFrameMs += MillisecondsSince(start);
  record.iResidentMb = Megabytes(stats.iHeldBytes);
  record.iReadMb = Megabytes(stats.iReadBytes);
  record.iLoads = stats.iLoads;
  record.iEvictions = stats.iEvictions;
  record.iPending = stats.iPending;
  record.iUploadMs = stats.iUploadMs;
  iStreaming.iEvictions += stats.iEvictions;
  iStreaming.iMissingMeshes += Log().GetMissingMeshes();
  uint32_t loaded = 0;
  for (uint32_t index = 0; index < iLoaded.size(); ++index) {
    iLoaded[index] = iStreamHost->IsResident(index) ? 1 : 0;
    iEverLoaded[index] |= iLoaded[index];
    loaded += iLoaded[index];
  }
  record.iLoaded = loaded;
}

void KELWalkthrough::FinishStreaming() {
  iStreaming.iPeakHeldBytes = iStreamHost->GetPeakHeldBytes();
  iStreaming.iReadBytes = iStreamHost->GetReadBytesTotal();
  iStreaming.iFailures.insert(iStreaming.iFailures.end(), iStreamHost->GetFailures().begin(),
                              iStreamHost->GetFailures().end());
  for (size_t index = 0; index < iEverLoaded.size(); ++index)
    if (!iEverLoaded[index]) {
      ++iStreaming.iNeverLoaded;
      if (iEverVisible[index]) ++iStreaming.iVisibleNeverLoaded;
    }
  // The GPU copies go; the library's entries stay in partitions the next
  // run replaces.
  iStreamHost.reset();
  iRenderer->SetStreamedDrawing(false);
  // Views after the run start afresh.
  iViewMode.reset();
}
