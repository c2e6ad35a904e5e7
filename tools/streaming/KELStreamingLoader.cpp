#include "KELStreamingLoader.h"

#include <algorithm>
#include <chrono>

KELStreamingLoader::KELStreamingLoader(const KELPackIndex& index, KELPackSource& source, KELHeldBytes& held)
    : iIndex(index), iSource(source), iHeld(held) {}

KELStreamingLoader::~KELStreamingLoader() {
  {
    std::lock_guard<std::mutex> lock(iMutex);
    iStopping = true;
  }
  iWork.notify_all();
  for (std::thread& thread : iThreads) thread.join();
  // Blocks nobody took: their geometry goes with them.
  for (const KELLoadResult& result : iResults)
    if (result.iDecoded) iHeld.Sub(iIndex.GetEntry(result.iEntry).iUnpackedBytes);
}

bool KELStreamingLoader::Start(int threads, std::string& error) {
  if (threads < 1) {
    error = "the loader needs at least one thread";
    return false;
  }
  for (int t = 0; t < threads; ++t) iThreads.emplace_back([this] { Work(); });
  return true;
}

void KELStreamingLoader::TakeQueue(std::vector<KELLoadRequest>& queued) {
  std::lock_guard<std::mutex> lock(iMutex);
  queued.assign(iQueue.rbegin(), iQueue.rend());
  iQueue.clear();
}

void KELStreamingLoader::PutQueue(const std::vector<KELLoadRequest>& queue) {
  {
    std::lock_guard<std::mutex> lock(iMutex);
    iQueue.assign(queue.rbegin(), queue.rend());
  }
  iWork.notify_all();
}

void KELStreamingLoader::TakeResults(std::vector<KELLoadResult>& results) {
  std::lock_guard<std::mutex> lock(iMutex);
  results.clear();
  results.swap(iResults);
}

void KELStreamingLoader::WaitForResult(int milliseconds) {
  std::unique_lock<std::mutex> lock(iMutex);
  iDone.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !iResults.empty(); });
}

void KELStreamingLoader::Work() {
  std::vector<uint8_t> block;
  for (;;) {
    uint32_t entry;
    {
      std::unique_lock<std::mutex> lock(iMutex);
      iWork.wait(lock, [this] { return iStopping || !iQueue.empty(); });
      if (iStopping) return;
      entry = iQueue.back().iEntry;
      iQueue.pop_back();
    }
    KELLoadResult result;
    result.iEntry = entry;
    Load(entry, result, block);
    {
      std::lock_guard<std::mutex> lock(iMutex);
      iResults.push_back(std::move(result));
    }
    iDone.notify_all();
  }
}

// The read buffer is given back after each block, so that what the
// component holds is what it counts.
void KELStreamingLoader::Load(uint32_t entry, KELLoadResult& result, std::vector<uint8_t>& block) {
  const KELPackEntry& record = iIndex.GetEntry(entry);
  iHeld.Add(record.iPackedBytes);
  block.resize(record.iPackedBytes);
  std::string error;
  const bool read = iSource.ReadAt(record.iOffset, record.iPackedBytes, block.data(), error);
  if (read) iReadBytes.fetch_add(record.iPackedBytes);
  iHeld.Add(record.iUnpackedBytes);
  result.iDecoded = read && DecodePackBlock(record, block.data(), record.iPackedBytes, result.iGeometry, error);
  std::vector<uint8_t>().swap(block);
  iHeld.Sub(record.iPackedBytes);
  if (!result.iDecoded) {
    result.iGeometry = KELPackGeometry();
    iHeld.Sub(record.iUnpackedBytes);
    result.iError = "entry " + std::to_string(entry) + ": " + (read ? iSource.GetName() + ": " : "") + error;
  }
}
