// What both box-drawing clients (OpenGL and Vulkan) must do on a real
// device: count the samples of their box queries (multisampled too, and
// beyond 2^31), let drawn objects and fill queries hide later boxes (with
// depth running either way), batch the host's objects, answer without
// waiting, and never let a query that cannot count hide anything. A test
// program names its types and how to open them in a traits type T
// (Context, Renderer, Box, Client, Host; Open, MakeClient, Close,
// ExpectSubmits, UseReversedDepth, DrawIds) and instantiates
// KELRendererClientTest with it.
#ifndef KEL_RENDERER_CLIENT_TESTS_H
#define KEL_RENDERER_CLIENT_TESTS_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "KELSceneMath.h"

namespace kel_client_tests {

const int kSize = 64;
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
typedef std::vector<std::vector<float>> KELBoxList;

// The centre half of the screen in each direction: 32 x 32 pixels. Face
// culling is off, so an unoccluded box counts its front and its back faces.
const std::vector<float> kCentreBox = {-0.5f, -0.5f, 0.0f, 0.5f, 0.5f, 0.5f};
const uint32_t kCentreSamples = 2 * 32 * 32;

// A host's record of the objects it was handed (boxes), drawn with the
// test's renderer.
template <class Box, class Renderer>
struct KELObjectLog {
  Renderer* iRenderer = nullptr;
  std::vector<uint32_t> iBatchSizes;
  std::vector<std::vector<float>> iMatrices;
  std::vector<bool> iTransparent;
  void Draw(void* const* objects, const float* const* matrices, const bool* transparent, uint32_t count) {
    iBatchSizes.push_back(count);
    std::vector<Box> boxes;
    for (uint32_t i = 0; i < count; ++i) {
      boxes.push_back(*static_cast<const Box*>(objects[i]));
      iTransparent.push_back(transparent[i]);
      iMatrices.push_back(matrices[i] ? std::vector<float>(matrices[i], matrices[i] + 16) : std::vector<float>());
    }
    iRenderer->Draw(boxes.data(), count, Renderer::kShaded);
  }
};

// A projection whose depth runs the other way: nearer is greater.
inline void ReverseDepth(const float* projection, float* reversed) {
  for (int i = 0; i < 16; ++i) reversed[i] = i % 4 == 2 ? -projection[i] : projection[i];
}

template <class T>
class KELRendererClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    kel::Perspective(1.2f, 1.0f, 0.1f, 100.0f, iPerspective);
    Open(1, kSize);
  }
  void TearDown() override { Close(); }

  // A fresh context of size x size pixels with `samples` per pixel, and a
  // created client on it.
  void Open(int samples, int size) {
    Close();
    iContext.reset(new typename T::Context());
    iRenderer.reset(new typename T::Renderer());
    iContext->SetSampleCount(samples);
    T::Open(*iContext, *iRenderer, iHost, size);  // skips or fails the test without a device
    if (this->IsSkipped() || this->HasFatalFailure()) return;
    iClient.reset(T::MakeClient(*iContext, iHost));
    ASSERT_TRUE(iClient->Create());
    StartFrame(kIdentity);
  }
  void Close() {
    // Client and renderer go before the context that holds their objects.
    iClient.reset();
    iRenderer.reset();
    if (iContext) T::Close(*iContext);
    iContext.reset();
  }

  void StartFrame(const float* projection) {
    const float black[4] = {0, 0, 0, 1};
    iContext->Clear(black);
    iClient->BeginFrame(kIdentity, projection);
    iRenderer->SetViewProjection(projection);
  }
  // Depth and colour writes off, as for the library's box queries.
  void BoxesOnly() { BoxesOnly(*iClient); }
  static void BoxesOnly(typename T::Client& client) {
    client.EnableDepthWrite(false);
    client.EnableColorWrite(false);
  }
  // One query over the given boxes (one run), not yet read; by default on
  // the fixture's client.
  static void* Issue(typename T::Client& client, const KELBoxList& boxes, const float* matrix = nullptr) {
    void* query = client.GenQuery();
    client.BeginQuery(query);
    client.StartDrawBoxes();
    for (const std::vector<float>& box : boxes) client.DrawBox(box.data(), box.data() + 3, matrix);
    client.EndDrawBoxes();
    client.EndQuery(query);
    return query;
  }
  static uint32_t Read(typename T::Client& client, void* query) {
    uint32_t pixels = 12345;
    EXPECT_TRUE(client.GetQueryResult(query, pixels, true));
    return pixels;
  }
  void* Issue(const KELBoxList& boxes, const float* matrix = nullptr) { return Issue(*iClient, boxes, matrix); }
  uint32_t Read(void* query) { return Read(*iClient, query); }
  uint32_t Query(const KELBoxList& boxes, const float* matrix = nullptr) { return Read(Issue(boxes, matrix)); }

  // Drawn objects hide later query boxes; a fill query writes its box into
  // depth, so that a query of the same box drawn again still passes on the
  // box's own surface (the client's comparison includes equality) and what
  // lies behind it is hidden. With `projection` perspective, depth either
  // way.
  void CheckOcclusionAndFill(const float* projection) {
    StartFrame(projection);
    typename T::Box wall = {{-50, -50, -6}, {50, 50, -5}, 0xff0000ffu};
    iClient->DrawObject(&wall, nullptr, false);
    BoxesOnly();
    EXPECT_EQ(Query({{-1, -1, -9, 1, 1, -8}}), 0u);

    StartFrame(projection);
    iClient->EnableColorWrite(false);
    uint32_t filled = Query({{-1, -1, -9, 1, 1, -8}});
    EXPECT_GT(filled, 0u);
    EXPECT_EQ(iClient->GetStats().iFillQueries, 1u);
    iClient->EnableDepthWrite(false);
    uint32_t again = Query({{-1, -1, -9, 1, 1, -8}});
    EXPECT_GT(again, 0u);
    EXPECT_LE(again, filled);
    EXPECT_EQ(Query({{-0.5f, -0.5f, -20, 0.5f, 0.5f, -19}}), 0u);
  }

  std::unique_ptr<typename T::Context> iContext;
  std::unique_ptr<typename T::Renderer> iRenderer;
  typename T::Host iHost;
  std::unique_ptr<typename T::Client> iClient;
  float iPerspective[16];
};

TYPED_TEST_SUITE_P(KELRendererClientTest);

TYPED_TEST_P(KELRendererClientTest, QueriesCountTheSamplesOfTheirBoxes) {
  const float shift[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.9f, 0, 0, 1};
  struct KELCase {
    const char* iName;
    bool iPerspective;
    KELBoxList iBoxes;
    const float* iMatrix;
    uint32_t iSamples;
  };
  const KELCase cases[] = {
      {"centre box", false, {kCentreBox}, nullptr, kCentreSamples},
      // Boxes are world space: the matrix handed along is not applied.
      {"matrix ignored", false, {kCentreBox}, shift, kCentreSamples},
      {"two boxes in one run add up", false, {{-1, -1, 0, -0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 0, 1, 1, 0.5f}}, shift,
       2u * 2u * 16u * 16u},
      // Seen from inside, every face is a back face.
      {"box around the camera", true, {{-2, -2, -2, 2, 2, 2}}, nullptr, static_cast<uint32_t>(kSize * kSize)},
  };
  for (const KELCase& test : cases) {
    SCOPED_TRACE(test.iName);
    this->StartFrame(test.iPerspective ? this->iPerspective : kIdentity);
    this->BoxesOnly();
    EXPECT_EQ(this->Query(test.iBoxes, test.iMatrix), test.iSamples);
    const auto& stats = this->iClient->GetStats();
    EXPECT_EQ(stats.iQueries, 1u);
    EXPECT_EQ(stats.iBoxes, test.iBoxes.size());
    EXPECT_EQ(stats.iBoxDraws, 1u);  // one instanced draw per run
    EXPECT_EQ(stats.iFillQueries, 0u);
    TypeParam::ExpectSubmits(*this->iClient, 1u);
  }
  // A batch query: two runs in one query add up.
  this->StartFrame(kIdentity);
  this->BoxesOnly();
  void* batch = this->iClient->GenQuery();
  this->iClient->BeginQuery(batch);
  for (int run = 0; run < 2; ++run) {
    this->iClient->StartDrawBoxes();
    this->iClient->DrawBox(kCentreBox.data(), kCentreBox.data() + 3, nullptr);
    this->iClient->EndDrawBoxes();
  }
  this->iClient->EndQuery(batch);
  EXPECT_EQ(this->Read(batch), 2 * kCentreSamples);
  EXPECT_EQ(this->iClient->GetStats().iBatches, 1u);
}

TYPED_TEST_P(KELRendererClientTest, DrawnObjectsOccludeLaterQueriesAndFillBoxesPassAgain) {
  this->CheckOcclusionAndFill(this->iPerspective);
  // Colour writes were off for the boxes: the cleared image shows none.
  std::vector<uint8_t> rgba(kSize * kSize * 4);
  this->iContext->ReadColor(rgba.data());
  EXPECT_EQ(rgba[(kSize / 2 * kSize + kSize / 2) * 4], 0u);
}

// A host with reversed depth (cleared to 0, nearer is greater) sets the
// client's comparison to greater-or-equal; everything else holds as before.
TYPED_TEST_P(KELRendererClientTest, ReversedDepthCountsAndOccludesAsForward) {
  TypeParam::UseReversedDepth(*this->iContext, *this->iRenderer, *this->iClient);
  float reversed[16];
  ReverseDepth(kIdentity, reversed);
  this->StartFrame(reversed);
  this->BoxesOnly();
  EXPECT_EQ(this->Query({kCentreBox}), kCentreSamples);
  ReverseDepth(this->iPerspective, reversed);
  this->CheckOcclusionAndFill(reversed);
}

// Counts are samples: four per pixel in a 4x multisampled target, where the
// client's boxes must draw (and occlude) as in a single-sampled one.
TYPED_TEST_P(KELRendererClientTest, MultisampledTargetsCountSamples) {
  this->Open(4, kSize);
  if (this->IsSkipped() || this->HasFatalFailure()) return;
  this->BoxesOnly();
  EXPECT_EQ(this->Query({kCentreBox}), 4 * kCentreSamples);
  this->CheckOcclusionAndFill(this->iPerspective);
}

// 2^31 samples and more (batch and fill queries at high resolutions with
// multisampling reach them) must not read as a negative count, which the
// library would take as hidden: 1,100 boxes over a 512 x 512 target at 4
// samples pass about 2.3 * 10^9 samples.
TYPED_TEST_P(KELRendererClientTest, CountsFromTwoToTheThirtyOneOnReadAsVisible) {
  this->Open(4, 512);
  if (this->IsSkipped() || this->HasFatalFailure()) return;
  this->BoxesOnly();
  const uint32_t pixels = this->Query(KELBoxList(1100, {-1, -1, 0, 1, 1, 0.5f}));
  EXPECT_GT(static_cast<int32_t>(pixels), 0);
  EXPECT_EQ(pixels, 0x7fffffffu);
}

// A client whose Create failed (or was never called) would count 0 for
// every box it cannot draw: it makes no query instead, which the library
// counts as visible.
TYPED_TEST_P(KELRendererClientTest, AClientWithoutItsBoxesMakesNoQueries) {
  std::unique_ptr<typename TypeParam::Client> uncreated(TypeParam::MakeClient(*this->iContext, this->iHost));
  uncreated->BeginFrame(kIdentity, kIdentity);
  EXPECT_EQ(uncreated->GenQuery(), nullptr);
}

TYPED_TEST_P(KELRendererClientTest, ObjectsAreBatchedAndDrawnBeforeTheNextQuery) {
  typename TypeParam::Box boxes[3] = {{{-1, -1, 0}, {-0.6f, -0.6f, 0.1f}, 0xffffffffu},
                                      {{0, 0, 0}, {0.2f, 0.2f, 0.1f}, 0xffffffffu},
                                      {{0.6f, 0.6f, 0}, {1, 1, 0.1f}, 0xffffffffu}};
  auto& host = this->iHost;
  float matrix[16];
  std::memcpy(matrix, kIdentity, sizeof(matrix));
  matrix[12] = 7;
  for (auto& box : boxes) this->iClient->DrawObject(&box, matrix, &box == &boxes[1]);
  // The client copied the matrix: the library's copy is lent for the call.
  matrix[12] = -1;
  EXPECT_TRUE(host.iBatchSizes.empty());
  void* query = this->iClient->GenQuery();
  this->iClient->BeginQuery(query);
  ASSERT_EQ(host.iBatchSizes.size(), 1u);
  EXPECT_EQ(host.iBatchSizes[0], 3u);
  ASSERT_EQ(host.iMatrices.size(), 3u);
  EXPECT_EQ(host.iMatrices[2].at(12), 7.0f);
  this->iClient->EndQuery(query);
  this->Read(query);
  EXPECT_EQ(this->iClient->GetStats().iObjectsDrawn, 3u);

  // Batches are capped at the configured size.
  this->iClient->SetObjectBatchSize(2);
  for (auto& box : boxes) this->iClient->DrawObject(&box, nullptr, &box != &boxes[1]);
  this->iClient->Flush();
  ASSERT_EQ(host.iBatchSizes.size(), 3u);
  EXPECT_EQ(host.iBatchSizes[1], 2u);
  EXPECT_EQ(host.iBatchSizes[2], 1u);
  EXPECT_TRUE(host.iMatrices.back().empty());
  EXPECT_EQ(host.iTransparent, (std::vector<bool>{false, true, false, true, false, true}));
}

TYPED_TEST_P(KELRendererClientTest, ResultWithoutWaitingArrives) {
  this->BoxesOnly();
  void* query = this->Issue({kCentreBox});
  uint32_t pixels = 0;
  bool ready = false;
  // Polled for up to ten seconds: a loaded machine's rasteriser threads may
  // take a while, but the answer must come without waiting.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    ready = this->iClient->GetQueryResult(query, pixels, false);
    if (!ready) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_TRUE(ready);
  EXPECT_EQ(pixels, kCentreSamples);
  TypeParam::ExpectSubmits(*this->iClient, 1u);
}

// The contexts read both attachments back top row first, one value per
// pixel also when multisampled; the ID pass leaves colour alone.
TYPED_TEST_P(KELRendererClientTest, ContextsReadColourAndIdsTopRowFirst) {
  for (int samples : {1, 4}) {
    SCOPED_TRACE(samples);
    this->Open(samples, kSize);
    if (this->IsSkipped() || this->HasFatalFailure()) return;  // Open cleared the target to black
    typename TypeParam::Box upperHalf = {{-1, 0, 0}, {1, 1, 0.5f}, 42};
    TypeParam::DrawIds(*this->iContext, *this->iRenderer, upperHalf);
    std::vector<uint32_t> ids(kSize * kSize);
    this->iContext->ReadIds(ids.data());
    EXPECT_EQ(ids[0], 42u);
    EXPECT_EQ(ids[kSize * (kSize - 1)], 0u);
    std::vector<uint8_t> rgba(kSize * kSize * 4);
    this->iContext->ReadColor(rgba.data());
    EXPECT_EQ(rgba[0], 0u);
  }
}

TYPED_TEST_P(KELRendererClientTest, ForeignHandleCountsAsVisible) {
  uint32_t pixels = 0;
  int foreign = 0;
  ASSERT_TRUE(this->iClient->GetQueryResult(&foreign, pixels, true));
  // The library reads one result as a signed value: it must stay positive.
  EXPECT_GT(static_cast<int32_t>(pixels), 1 << 16);
}

REGISTER_TYPED_TEST_SUITE_P(KELRendererClientTest, QueriesCountTheSamplesOfTheirBoxes,
                            DrawnObjectsOccludeLaterQueriesAndFillBoxesPassAgain,
                            ReversedDepthCountsAndOccludesAsForward, MultisampledTargetsCountSamples,
                            CountsFromTwoToTheThirtyOneOnReadAsVisible, AClientWithoutItsBoxesMakesNoQueries,
                            ObjectsAreBatchedAndDrawnBeforeTheNextQuery, ResultWithoutWaitingArrives,
                            ContextsReadColourAndIdsTopRowFirst, ForeignHandleCountsAsVisible);

}  // namespace kel_client_tests

#endif
