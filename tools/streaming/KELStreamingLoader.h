// The streaming host's workers: they take the best request of a queue that
// the render thread rebuilds every frame, read its block, decode it, and
// leave the result for the render thread. Internal to the component.
#ifndef KEL_STREAMING_LOADER_H
#define KEL_STREAMING_LOADER_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KELStreaming.h"

struct KELLoadRequest {
  uint32_t iEntry;
  float iPrimary;    // larger first
  float iSecondary;  // then larger first
};

struct KELLoadResult {
  uint32_t iEntry = 0;
  bool iDecoded = false;
  std::string iError;
  KELPackGeometry iGeometry;
};

// What the component holds in memory, counted by whoever allocates or
// frees it (workers and render thread), with the most ever held.
class KELHeldBytes {
public:
  void Add(uint64_t bytes) {
    const uint64_t now = iHeld.fetch_add(bytes) + bytes;
    uint64_t peak = iPeak.load();
    while (now > peak && !iPeak.compare_exchange_weak(peak, now)) {
    }
  }
  void Sub(uint64_t bytes) { iHeld.fetch_sub(bytes); }
  uint64_t Get() const { return iHeld.load(); }
  uint64_t GetPeak() const { return iPeak.load(); }

private:
  std::atomic<uint64_t> iHeld{0};
  std::atomic<uint64_t> iPeak{0};
};

class KELStreamingLoader {
public:
  KELStreamingLoader(const KELPackIndex& index, KELPackSource& source, KELHeldBytes& held);
  // Stops the workers (each finishes the block it is on).
  ~KELStreamingLoader();
  KELStreamingLoader(const KELStreamingLoader&) = delete;
  KELStreamingLoader& operator=(const KELStreamingLoader&) = delete;

  bool Start(int threads, std::string& error);

  // Render thread. Takes out every request no worker has started yet, so
  // that the queue can be rebuilt; workers wait until PutQueue.
  void TakeQueue(std::vector<KELLoadRequest>& queued);
  // The new queue, best request first.
  void PutQueue(const std::vector<KELLoadRequest>& queue);
  // Moves the finished blocks out.
  void TakeResults(std::vector<KELLoadResult>& results);
  void WaitForResult(int milliseconds);
  uint64_t GetReadBytes() const { return iReadBytes.load(); }

private:
  void Work();
  void Load(uint32_t entry, KELLoadResult& result, std::vector<uint8_t>& block);

  const KELPackIndex& iIndex;
  KELPackSource& iSource;
  KELHeldBytes& iHeld;
  std::mutex iMutex;
  std::condition_variable iWork;
  std::condition_variable iDone;
  std::vector<KELLoadRequest> iQueue;  // best last
  std::vector<KELLoadResult> iResults;
  bool iStopping = false;
  std::vector<std::thread> iThreads;
  std::atomic<uint64_t> iReadBytes{0};
};

#endif
