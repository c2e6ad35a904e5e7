// The Vulkan client on a real device (Mesa's lavapipe runs it headless):
// sample counts of its box queries, the render states the library relies
// on, batching, submits and query recycling. Run with validation layers
// where installed; any validation error fails the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "KELSceneMath.h"
#include "KELVulkanBoxRenderer.h"
#include "KELVulkanClient.h"
#include "KELVulkanHeadlessContext.h"
#include "KELVulkanTestSupport.h"

namespace {

const int kSize = 64;
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
typedef std::vector<std::vector<float>> KELBoxList;

// Objects are boxes; the host records them with its own renderer and keeps
// a log of what it was handed.
class KELTestHost : public KELVulkanHost {
public:
  KELVulkanBoxRenderer* iRenderer = nullptr;
  std::vector<VkCommandBuffer> iCommands;
  std::vector<uint32_t> iBatchSizes;
  std::vector<std::vector<float>> iMatrices;
  void DrawObjects(VkCommandBuffer commands, void* const* objects, const float* const* matrices, const bool*,
                   uint32_t count) override {
    iCommands.push_back(commands);
    iBatchSizes.push_back(count);
    std::vector<KELVulkanBoxInstance> boxes;
    for (uint32_t i = 0; i < count; ++i) {
      boxes.push_back(*static_cast<const KELVulkanBoxInstance*>(objects[i]));
      iMatrices.push_back(matrices[i] ? std::vector<float>(matrices[i], matrices[i] + 16) : std::vector<float>());
    }
    iRenderer->Draw(boxes.data(), count, KELVulkanBoxRenderer::kShaded);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

class VulkanClient : public ::testing::Test {
protected:
  void SetUp() override {
    if (!iContext.Create(kSize, kSize)) KEL_SKIP_WITHOUT_VULKAN(iContext.GetErrorText());
    ASSERT_TRUE(iRenderer.Create(&iContext));
    iHost.iRenderer = &iRenderer;
    iClient.reset(new KELVulkanClient(&iContext, &iHost));
    ASSERT_TRUE(iClient->Create());
    kel::Perspective(1.2f, 1.0f, 0.1f, 100.0f, iPerspective);
    StartFrame(kIdentity);
  }
  void TearDown() override {
    iClient.reset();
    EXPECT_EQ(iContext.GetValidationErrorCount(), 0u);
  }

  void StartFrame(const float* projection) {
    const float black[4] = {0, 0, 0, 1};
    iContext.Clear(black);
    iClient->BeginFrame(kIdentity, projection);
    iRenderer.SetViewProjection(projection);
  }

  // One query over the given boxes (one run), not yet read.
  void* Issue(const KELBoxList& boxes, const float* matrix = nullptr) {
    void* query = iClient->GenQuery();
    iClient->BeginQuery(query);
    iClient->StartDrawBoxes();
    for (const std::vector<float>& box : boxes) iClient->DrawBox(box.data(), box.data() + 3, matrix);
    iClient->EndDrawBoxes();
    iClient->EndQuery(query);
    return query;
  }
  uint32_t Read(void* query) {
    uint32_t pixels = 12345;
    EXPECT_TRUE(iClient->GetQueryResult(query, pixels, true));
    return pixels;
  }
  uint32_t Query(const KELBoxList& boxes, const float* matrix = nullptr) { return Read(Issue(boxes, matrix)); }

  KELVulkanHeadlessContext iContext;
  KELVulkanBoxRenderer iRenderer;
  KELTestHost iHost;
  std::unique_ptr<KELVulkanClient> iClient;
  float iPerspective[16];
};

// The centre half of the screen in each direction: 32 x 32 pixels. Face
// culling is off, so an unoccluded box counts its front and its back faces.
const std::vector<float> kCentreBox = {-0.5f, -0.5f, 0.0f, 0.5f, 0.5f, 0.5f};
const uint32_t kCentreSamples = 2 * 32 * 32;
const float kShift[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.9f, 0, 0, 1};

TEST_F(VulkanClient, QueriesCountTheSamplesOfTheirBoxesWithOneSubmitPerWait) {
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
      {"matrix ignored", false, {kCentreBox}, kShift, kCentreSamples},
      {"two boxes in one run add up", false, {{-1, -1, 0, -0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 0, 1, 1, 0.5f}}, kShift,
       2u * 2u * 16u * 16u},
      // Seen from inside, every face is a back face.
      {"box around the camera", true, {{-2, -2, -2, 2, 2, 2}}, nullptr, static_cast<uint32_t>(kSize * kSize)},
  };
  for (const KELCase& test : cases) {
    SCOPED_TRACE(test.iName);
    StartFrame(test.iPerspective ? iPerspective : kIdentity);
    iClient->EnableDepthWrite(false);
    iClient->EnableColorWrite(false);
    EXPECT_EQ(Query(test.iBoxes, test.iMatrix), test.iSamples);
    const KELVulkanClientStats& stats = iClient->GetStats();
    EXPECT_EQ(stats.iQueries, 1u);
    EXPECT_EQ(stats.iBoxes, test.iBoxes.size());
    EXPECT_EQ(stats.iBoxDraws, 1u);  // one instanced draw per run
    EXPECT_EQ(stats.iFillQueries, 0u);
    EXPECT_EQ(stats.iSubmits, 1u);
  }
  // Queries recorded before a wait go out in one submit.
  StartFrame(kIdentity);
  iClient->EnableDepthWrite(false);
  std::vector<void*> queries;
  for (int i = 0; i < 3; ++i) queries.push_back(Issue({kCentreBox}));
  for (void* query : queries) EXPECT_EQ(Read(query), kCentreSamples);
  EXPECT_EQ(iClient->GetStats().iSubmits, 1u);
  // A batch query: two runs in one query add up.
  void* batch = iClient->GenQuery();
  iClient->BeginQuery(batch);
  for (int run = 0; run < 2; ++run) {
    iClient->StartDrawBoxes();
    iClient->DrawBox(kCentreBox.data(), kCentreBox.data() + 3, nullptr);
    iClient->EndDrawBoxes();
  }
  iClient->EndQuery(batch);
  EXPECT_EQ(Read(batch), 2 * kCentreSamples);
  EXPECT_EQ(iClient->GetStats().iBatches, 1u);
}

TEST_F(VulkanClient, DrawnObjectsOccludeLaterQueriesAndFillBoxesPassAgain) {
  StartFrame(iPerspective);
  // An object in front of the query box hides it entirely.
  KELVulkanBoxInstance wall = {{-50, -50, -6}, {50, 50, -5}, 0xff0000ffu};
  iClient->DrawObject(&wall, nullptr, false);
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  EXPECT_EQ(Query({{-1, -1, -9, 1, 1, -8}}), 0u);

  // A fill query writes its box into depth; a query of the same box drawn
  // again still passes on the box's own surface (less-or-equal).
  StartFrame(iPerspective);
  iClient->EnableColorWrite(false);
  uint32_t filled = Query({{-1, -1, -9, 1, 1, -8}});
  EXPECT_GT(filled, 0u);
  EXPECT_EQ(iClient->GetStats().iFillQueries, 1u);
  iClient->EnableDepthWrite(false);
  uint32_t again = Query({{-1, -1, -9, 1, 1, -8}});
  EXPECT_GT(again, 0u);
  EXPECT_LE(again, filled);
  // And it hides what lies behind it.
  EXPECT_EQ(Query({{-0.5f, -0.5f, -20, 0.5f, 0.5f, -19}}), 0u);
  // Colour writes were off for the boxes: the image shows only the wall.
  std::vector<uint8_t> rgba(kSize * kSize * 4);
  iContext.ReadColor(rgba.data());
  EXPECT_EQ(rgba[(kSize / 2 * kSize + kSize / 2) * 4], 0u);
}

TEST_F(VulkanClient, ObjectsAreBatchedAndRecordedBeforeTheNextQuery) {
  KELVulkanBoxInstance boxes[3] = {{{-1, -1, 0}, {-0.6f, -0.6f, 0.1f}, 0xffffffffu},
                                   {{0, 0, 0}, {0.2f, 0.2f, 0.1f}, 0xffffffffu},
                                   {{0.6f, 0.6f, 0}, {1, 1, 0.1f}, 0xffffffffu}};
  float matrix[16];
  std::memcpy(matrix, kIdentity, sizeof(matrix));
  matrix[12] = 7;
  for (KELVulkanBoxInstance& box : boxes) iClient->DrawObject(&box, matrix, false);
  // The client copied the matrix: the library's copy is lent for the call.
  matrix[12] = -1;
  EXPECT_TRUE(iHost.iBatchSizes.empty());
  void* query = iClient->GenQuery();
  iClient->BeginQuery(query);
  ASSERT_EQ(iHost.iBatchSizes.size(), 1u);
  EXPECT_EQ(iHost.iBatchSizes[0], 3u);
  EXPECT_EQ(iHost.iCommands[0], iContext.GetCommandBuffer());
  ASSERT_EQ(iHost.iMatrices.size(), 3u);
  EXPECT_EQ(iHost.iMatrices[2].at(12), 7.0f);
  iClient->EndQuery(query);
  Read(query);
  EXPECT_EQ(iClient->GetStats().iObjectsDrawn, 3u);

  // Batches are capped at the configured size.
  iClient->SetObjectBatchSize(2);
  for (KELVulkanBoxInstance& box : boxes) iClient->DrawObject(&box, nullptr, false);
  iClient->Flush();
  ASSERT_EQ(iHost.iBatchSizes.size(), 3u);
  EXPECT_EQ(iHost.iBatchSizes[1], 2u);
  EXPECT_EQ(iHost.iBatchSizes[2], 1u);
  EXPECT_TRUE(iHost.iMatrices.back().empty());
}

TEST_F(VulkanClient, ResultWithoutWaitingArrives) {
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  void* query = Issue({kCentreBox});
  uint32_t pixels = 0;
  bool ready = false;
  // Polled for up to ten seconds: a loaded machine's rasteriser threads may
  // take a while, but the answer must come without waiting.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    ready = iClient->GetQueryResult(query, pixels, false);
    if (!ready) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_TRUE(ready);
  EXPECT_EQ(pixels, kCentreSamples);
  EXPECT_EQ(iClient->GetStats().iSubmits, 1u);
}

TEST_F(VulkanClient, QueriesAndBoxStorageAreRecycledFrameAfterFrame) {
  // A thousand frames, the first ones with many handles, the rest with a
  // single query, each read and issued again within the frame as the
  // library does: what the first frame made serves every later one.
  uint32_t capacity = 0;
  uint64_t boxBytes = 0;
  for (int frame = 0; frame < 1000; ++frame) {
    iClient->BeginFrame(kIdentity, kIdentity);
    iClient->EnableDepthWrite(false);
    iClient->EnableColorWrite(false);
    for (int i = 0; i < (frame < 10 ? 300 : 0); ++i) ASSERT_NE(iClient->GenQuery(), nullptr);
    void* query = Issue({kCentreBox});
    ASSERT_EQ(Read(query), kCentreSamples);
    iClient->BeginQuery(query);
    iClient->StartDrawBoxes();
    iClient->DrawBox(kCentreBox.data(), kCentreBox.data() + 3, nullptr);
    iClient->EndDrawBoxes();
    iClient->EndQuery(query);
    ASSERT_EQ(Read(query), kCentreSamples);
    iClient->OnEndOcclusionResults();
    if (frame == 0) {
      capacity = iClient->GetQueryCapacity();
      boxBytes = iClient->GetBoxStorageBytes();
    }
    ASSERT_EQ(iClient->GetQueryCapacity(), capacity);
    ASSERT_EQ(iClient->GetBoxStorageBytes(), boxBytes);
  }
  EXPECT_GE(capacity, 301u);
}

TEST_F(VulkanClient, ForeignHandleCountsAsVisible) {
  uint32_t pixels = 0;
  int foreign = 0;
  ASSERT_TRUE(iClient->GetQueryResult(&foreign, pixels, true));
  // The library reads one result as a signed value: it must stay positive.
  EXPECT_GT(static_cast<int32_t>(pixels), 1 << 16);
}

TEST(VulkanHeadlessContext, ReadsColourAndIdsTopRowFirst) {
  KELVulkanHeadlessContext context;
  if (!context.Create(8, 4)) KEL_SKIP_WITHOUT_VULKAN(context.GetErrorText());
  {
    KELVulkanBoxRenderer renderer;
    ASSERT_TRUE(renderer.Create(&context));
    const float black[4] = {0, 0, 0, 1};
    context.Clear(black);
    // The upper half of the screen.
    KELVulkanBoxInstance box = {{-1, 0, 0}, {1, 1, 0.5f}, 42};
    renderer.Draw(&box, 1, KELVulkanBoxRenderer::kIds);
    std::vector<uint32_t> ids(8 * 4);
    context.ReadIds(ids.data());
    EXPECT_EQ(ids[0], 42u);
    EXPECT_EQ(ids[8 * 3], 0u);
    std::vector<uint8_t> rgba(8 * 4 * 4);
    context.ReadColor(rgba.data());
    EXPECT_EQ(rgba[0], 0u);  // colour untouched by the ID pass
    EXPECT_EQ(rgba[3], 255u);
  }
  EXPECT_EQ(context.GetValidationErrorCount(), 0u);
}

}  // namespace
