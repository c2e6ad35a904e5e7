// The streaming host: the budget holds, what is evicted is never drawn, the
// library's drawing is never pulled from under it, stale requests are
// cancelled, bad blocks are refused once, and each order asks for what it
// promises. Worker threads run for real (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>

#include "KELOcclusionCullingEngine.h"
#include "KELPackTestData.h"
#include "KELQuietStdout.h"
#include "KELSceneMath.h"

namespace {

// A GPU that counts: what is resident, in which order it came, and whether
// anything drawn in the current frame is released.
class KELFakeUploader : public KELStreamingUploader {
public:
  explicit KELFakeUploader(uint32_t entries) : iResident(entries, 0), iDrawn(entries, 0) {}
  uint64_t GetUploadBytes(const KELPackEntry& entry) override { return entry.iUnpackedBytes + 64u; }
  bool Upload(uint32_t entry, const KELPackGeometry& geometry, const float*, uint64_t& bytes) override {
    EXPECT_FALSE(iResident[entry]) << "uploaded twice: " << entry;
    iResident[entry] = 1;
    iOrder.push_back(entry);
    bytes = geometry.iVertices.size() * sizeof(KELPackVertex) + geometry.iIndices.size() * 4 + 64u;
    return true;
  }
  void Release(uint32_t entry) override {
    EXPECT_TRUE(iResident[entry]) << "released what is not resident: " << entry;
    if (iDrawn[entry]) ++iReleasedWhileDrawn;
    iResident[entry] = 0;
  }
  uint32_t CountResident() const { return static_cast<uint32_t>(std::count(iResident.begin(), iResident.end(), 1)); }

  std::vector<uint8_t> iResident;
  std::vector<uint8_t> iDrawn;  // in the frame being culled
  std::vector<uint32_t> iOrder;
  uint32_t iReleasedWhileDrawn = 0;
};

// A renderer whose queries pass at random, so that what the library draws
// and reports changes from frame to frame.
class KELRandomClient : public KELOcclusionCullingClientAdapter {
public:
  KELRandomClient(KELStreamingHost& host, KELFakeUploader& uploader) : iHost(host), iUploader(uploader) {}
  void* GenQuery() override { return reinterpret_cast<void*>(++iQueries); }
  bool GetQueryResult(void*, uint32_t& pixels, bool) override {
    pixels = iRandom() % 3 == 0 ? 0 : static_cast<uint32_t>(iRandom() % 2000);
    return true;
  }
  void DrawObject(void* object, const float*, bool) override {
    const uint32_t entry = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object) - 1);
    EXPECT_TRUE(iUploader.iResident[entry]) << "the library drew an entry without its geometry: " << entry;
    iUploader.iDrawn[entry] = 1;
    ++iDraws;
    iHost.NoteDrawn(entry);
  }
  void TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) override {
    iHost.NoteReported(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object) - 1), pixels);
  }

  std::mt19937 iRandom{11};
  uintptr_t iQueries = 0;
  uint32_t iDraws = 0;

private:
  KELStreamingHost& iHost;
  KELFakeUploader& iUploader;
};

// Reads wait while the gate is closed; counts the reads begun since it last
// opened or closed.
class KELGatedSource : public KELPackSource {
public:
  explicit KELGatedSource(std::unique_ptr<KELPackSource> inner) : iInner(std::move(inner)) {}
  uint64_t GetSize() const override { return iInner->GetSize(); }
  std::string GetName() const override { return "gated"; }
  bool ReadAt(uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) override {
    std::unique_lock<std::mutex> lock(iMutex);
    ++iBegun;
    iChanged.notify_all();
    iChanged.wait(lock, [this] { return iOpen; });
    lock.unlock();
    return iInner->ReadAt(offset, size, buffer, error);
  }
  void Open(bool open = true) {
    std::lock_guard<std::mutex> lock(iMutex);
    iOpen = open;
    iBegun = 0;
    iChanged.notify_all();
  }
  void WaitForBegun(int reads) {
    std::unique_lock<std::mutex> lock(iMutex);
    iChanged.wait(lock, [&] { return iBegun >= reads; });
  }

private:
  std::unique_ptr<KELPackSource> iInner;
  std::mutex iMutex;
  std::condition_variable iChanged;
  int iBegun = 0;
  bool iOpen = false;
};

// The streaming view of a camera at `eye` looking at `target`; its matrices
// too when asked for.
KELStreamingView MakeView(const float* eye, const float* target, float* projection = nullptr,
                          float* view = nullptr) {
  float matrices[2][16], viewProjection[16];
  kel::Perspective(1.0f, 1.5f, 0.05f, 200.0f, matrices[0]);
  kel::LookAt(eye, target, matrices[1]);
  kel::Multiply(matrices[0], matrices[1], viewProjection);
  KELStreamingView result;
  std::copy(eye, eye + 3, result.iEye);
  kel::FrustumPlanes(viewProjection, result.iPlanes);
  if (projection != nullptr) std::copy(matrices[0], matrices[0] + 16, projection);
  if (view != nullptr) std::copy(matrices[1], matrices[1] + 16, view);
  return result;
}

// A pack of boxes in rows and its index, in memory.
class StreamingHost : public testing::Test {
protected:
  void OpenPack(const KELTestPack& pack, const std::function<void(std::vector<uint8_t>&)>& damage = nullptr,
                bool gateOpen = true) {
    iHost.reset();
    const std::string path = TestPackPath("host");
    std::string error;
    ASSERT_TRUE(WriteTestPack(path, pack, error)) << error;
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    if (damage) damage(bytes);
    iSource = std::make_unique<KELGatedSource>(MakeMemoryPackSource(bytes.data(), bytes.size()));
    iSource->Open();
    ASSERT_TRUE(iIndex.Open(*iSource, error)) << error;
    iSource->Open(gateOpen);
    iUploader = std::make_unique<KELFakeUploader>(iIndex.GetEntryCount());
  }
  void MakeHost(const KELStreamingOptions& options) {
    iHost = std::make_unique<KELStreamingHost>(iIndex, *iSource, *iUploader, options);
    std::string error;
    ASSERT_TRUE(iHost->Start(error)) << error;
  }
  // Updates until nothing is wanted or in flight.
  void Settle(const KELStreamingView& view, const std::vector<std::pair<uint32_t, uint32_t>>& reports = {}) {
    for (int round = 0; round < 2000; ++round) {
      for (const auto& report : reports)
        if (!iHost->IsResident(report.first)) iHost->NoteReported(report.first, report.second);
      iHost->Update(view, nullptr);
      if (iHost->IsIdle()) return;
      iHost->WaitForWork(5);
    }
    FAIL() << "the host did not settle";
  }

  KELPackIndex iIndex;
  std::unique_ptr<KELGatedSource> iSource;
  std::unique_ptr<KELFakeUploader> iUploader;
  std::unique_ptr<KELStreamingHost> iHost;
  const float iFarEye[3] = {15, 2, -30};
  const float iFarTarget[3] = {15, 0, 0};
};

TEST_F(StreamingHost, ARandomWalkKeepsTheBudgetAndNeverDrawsOrEvictsWrongly) {
  OpenPack(KELTestPack{240, 12, 20, true});
  KELStreamingOptions options;
  options.iBudgetBytes = iIndex.GetUnpackedBytes() / 4;
  options.iUploadBytesPerFrame = 4096;
  MakeHost(options);
  KELRandomClient client(*iHost, *iUploader);
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  engine->SetClient(&client);
  const std::vector<void*> partitions = iHost->AddEntriesToLibrary();
  ASSERT_EQ(partitions.size(), iIndex.GetPartitionCount());
  KELQuietStdout quiet;
  std::mt19937 random(3);
  std::uniform_real_distribution<float> across(-5.0f, 35.0f), height(0.5f, 6.0f);
  uint32_t evictions = 0, loads = 0;
  for (int frame = 0; frame < 300; ++frame) {
    const float eye[3] = {across(random), height(random), across(random) - 10.0f};
    const float target[3] = {across(random), 0.0f, across(random)};
    float projection[16], matrix[16];
    const KELStreamingView view = MakeView(eye, target, projection, matrix);
    const float* planes[6] = {view.iPlanes[0], view.iPlanes[1], view.iPlanes[2],
                              view.iPlanes[3], view.iPlanes[4], view.iPlanes[5]};
    std::fill(iUploader->iDrawn.begin(), iUploader->iDrawn.end(), 0);
    engine->SetViewMatrix(matrix);
    engine->SetProjectionMatrix(projection);
    engine->SetClippingPlanes(6, planes);
    engine->StartCulling();
    for (void* partition : partitions) engine->AddPartition(partition);
    engine->EndCulling();
    KELStreamingFrameStats stats;
    iHost->Update(view, &stats);
    evictions += stats.iEvictions;
    loads += stats.iLoads;
    ASSERT_LE(iHost->GetReservedBytes(), options.iBudgetBytes) << "frame " << frame;
    ASSERT_LE(iHost->GetPeakHeldBytes(), options.iBudgetBytes) << "frame " << frame;
    // Now and then the workers get the time a slower frame would give them.
    if (frame % 3 == 0) iHost->WaitForWork(2);
  }
  EXPECT_EQ(iHost->GetDrawnWithoutGeometry(), 0u) << "the library drew evicted entries";
  EXPECT_EQ(iUploader->iReleasedWhileDrawn, 0u) << "an entry drawn in a frame was evicted in it";
  // The walk must have filled the budget and drawn what it loaded.
  EXPECT_GT(evictions, 50u);
  EXPECT_GT(loads, evictions);
  EXPECT_GT(client.iDraws, 500u);
  for (void* partition : partitions) engine->DestroySpacePartition(partition);
  engine->SetClient(nullptr);
  iHost.reset();
  EXPECT_EQ(iUploader->CountResident(), 0u);
}

TEST_F(StreamingHost, RequestsNoLongerWantedAreCancelledBeforeTheyAreRead) {
  OpenPack(KELTestPack{120, 4, 20, false}, nullptr, false);
  KELStreamingOptions options;
  options.iThreads = 1;
  MakeHost(options);
  const KELStreamingView view = MakeView(iFarEye, iFarTarget);
  for (uint32_t e = 0; e < 50; ++e) iHost->NoteReported(e, 1000 - e);
  KELStreamingFrameStats stats;
  iHost->Update(view, &stats);
  EXPECT_EQ(stats.iPending, 50u);
  iSource->WaitForBegun(1);  // the worker holds the best request
  // The camera turned: other entries are reported now.
  for (uint32_t e = 100; e < 110; ++e) iHost->NoteReported(e, 500);
  iHost->Update(view, &stats);
  EXPECT_EQ(stats.iCancelled, 49u);
  EXPECT_EQ(iHost->GetState(0), KELStreamingState::kReading);
  for (uint32_t e = 1; e < 50; ++e) EXPECT_EQ(iHost->GetState(e), KELStreamingState::kIdle) << e;
  iSource->Open();
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  for (uint32_t e = 100; e < 110; ++e) reports.emplace_back(e, 500);
  Settle(view, reports);
  EXPECT_TRUE(iHost->IsResident(0)) << "a block already read is used";
  for (uint32_t e = 1; e < 50; ++e) EXPECT_FALSE(iUploader->iResident[e]) << e;
  for (uint32_t e = 100; e < 110; ++e) EXPECT_TRUE(iHost->IsResident(e)) << e;
  EXPECT_EQ(iHost->GetReadBytesTotal(), [&] {
    uint64_t bytes = iIndex.GetEntry(0).iPackedBytes;
    for (uint32_t e = 100; e < 110; ++e) bytes += iIndex.GetEntry(e).iPackedBytes;
    return bytes;
  }());
}

TEST_F(StreamingHost, ABadBlockIsRefusedOnceAndTheRestLoads) {
  OpenPack(KELTestPack{8, 1, 8, true}, [](std::vector<uint8_t>& bytes) {
    // Block 3 lies after blocks 0 to 2; a byte in its middle flips.
    std::string error;
    std::unique_ptr<KELPackSource> source = MakeMemoryPackSource(bytes.data(), bytes.size());
    KELPackIndex index;
    ASSERT_TRUE(index.Open(*source, error)) << error;
    bytes[index.GetEntry(3).iOffset + 40] ^= 0x20;
  });
  MakeHost(KELStreamingOptions());
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  for (uint32_t e = 0; e < 8; ++e) reports.emplace_back(e, 400);
  Settle(MakeView(iFarEye, iFarTarget), reports);
  for (int frame = 0; frame < 5; ++frame) Settle(MakeView(iFarEye, iFarTarget), reports);
  EXPECT_EQ(iHost->GetState(3), KELStreamingState::kFailed);
  ASSERT_EQ(iHost->GetFailures().size(), 1u);
  EXPECT_NE(iHost->GetFailures()[0].find("entry 3"), std::string::npos) << iHost->GetFailures()[0];
  EXPECT_NE(iHost->GetFailures()[0].find("bad checksum"), std::string::npos) << iHost->GetFailures()[0];
  EXPECT_EQ(iUploader->CountResident(), 7u);
}

// Largest report first, then nearest; nearest first when asked.
TEST_F(StreamingHost, ReportsLoadInTheOrdersChosen) {
  for (bool nearestFirst : {false, true}) {
    SCOPED_TRACE(nearestFirst ? "nearest first" : "largest first");
    OpenPack(KELTestPack{20, 1, 20, false});
    KELStreamingOptions options;
    options.iThreads = 1;
    options.iNearestFirst = nearestFirst;
    MakeHost(options);
    // Entries lie along x, 1.5 apart; the eye looks from x = -10.
    const float eye[3] = {-10, 0.5f, 0.5f}, target[3] = {0, 0.5f, 0.5f};
    std::vector<std::pair<uint32_t, uint32_t>> reports = {{2, 900}, {17, 900}, {9, 2000}, {5, 300}};
    Settle(MakeView(eye, target), reports);
    const std::vector<uint32_t> expected =
        nearestFirst ? std::vector<uint32_t>{2, 5, 9, 17} : std::vector<uint32_t>{9, 2, 17, 5};
    EXPECT_EQ(iUploader->iOrder, expected);
  }
}

TEST_F(StreamingHost, TheFrustumOrderLoadsWhatMeetsTheViewVolume) {
  OpenPack(KELTestPack{60, 3, 20, true});
  KELStreamingOptions options;
  options.iOrder = KELStreamingOrder::kFrustum;
  MakeHost(options);
  // Looking down +x along the first row from its middle: the half ahead.
  const float eye[3] = {15, 0.5f, 0.5f}, target[3] = {30, 0.5f, 0.5f};
  const KELStreamingView view = MakeView(eye, target);
  Settle(view);
  uint32_t inside = 0;
  for (uint32_t e = 0; e < iIndex.GetEntryCount(); ++e) {
    const KELPackEntry& entry = iIndex.GetEntry(e);
    const bool seen = !kel::BoxOutsidePlanes(view.iPlanes, entry.iMin, entry.iMax);
    inside += seen;
    EXPECT_EQ(iHost->IsResident(e), seen) << e;
  }
  EXPECT_GT(inside, 5u);
  EXPECT_LT(inside, 45u);
}

// A report brings its partition's neighbours in view along, after it, and
// they stay wanted while the partition shows.
TEST_F(StreamingHost, PrefetchLoadsAReportsPartitionInView) {
  OpenPack(KELTestPack{40, 4, 20, false});
  KELStreamingOptions options;
  options.iPrefetchPartition = true;
  options.iThreads = 1;
  MakeHost(options);
  const float eye[3] = {15, 20, -10}, target[3] = {15, 0, 1};
  const KELStreamingView view = MakeView(eye, target);
  for (int frame = 0; frame < 500 && !iHost->IsResident(6); ++frame) {
    iHost->NoteReported(6, 800);
    iHost->Update(view, nullptr);
    iHost->WaitForWork(5);
  }
  // From now on the library draws it instead of reporting it.
  for (int frame = 0; frame < 500 && !iHost->IsIdle(); ++frame) {
    iHost->NoteDrawn(6);
    iHost->Update(view, nullptr);
    iHost->WaitForWork(5);
  }
  ASSERT_FALSE(iUploader->iOrder.empty());
  EXPECT_EQ(iUploader->iOrder.front(), 6u);
  for (uint32_t e = 0; e < iIndex.GetEntryCount(); ++e) {
    const KELPackEntry& entry = iIndex.GetEntry(e);
    const bool neighbour = entry.iPartition == 6 % 4 && !kel::BoxOutsidePlanes(view.iPlanes, entry.iMin, entry.iMax);
    EXPECT_EQ(iHost->IsResident(e), e == 6 || neighbour) << e;
  }
}

}  // namespace

// What the eye is near loads even when nothing is reported or in view.
TEST_F(StreamingHost, ARadiusPrefetchesWhatTheEyeIsNear) {
  OpenPack(KELTestPack{40, 4, 20, false});
  KELStreamingOptions options;
  options.iPrefetchRadius = 2;
  MakeHost(options);
  const float eye[3] = {0.5f, 0.5f, -1.5f}, away[3] = {0.5f, 0.5f, -10.0f};
  Settle(MakeView(eye, away));
  for (uint32_t e = 0; e < iIndex.GetEntryCount(); ++e) {
    const KELPackEntry& entry = iIndex.GetEntry(e);
    float distance2 = 0;
    for (int axis = 0; axis < 3; ++axis) {
      const float d = std::max({entry.iMin[axis] - eye[axis], eye[axis] - entry.iMax[axis], 0.0f});
      distance2 += d * d;
    }
    EXPECT_EQ(iHost->IsResident(e), distance2 <= 4.0f) << e;
  }
  EXPECT_EQ(iUploader->CountResident(), 2u);
}
