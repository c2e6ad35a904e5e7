// The OpenGL client on a real context: sample counts of its box queries,
// the render states the library relies on, batching and query recycling.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cstring>
#include <string>
#include <vector>

#include "KELGLBoxRenderer.h"
#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"
#include "KELSceneMath.h"

namespace {

const int kSize = 64;
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Objects are boxes; the host draws them with its own renderer and keeps
// a log of what it was handed.
class KELTestHost : public KELOpenGLHost {
public:
  KELGLBoxRenderer* iRenderer = nullptr;
  // Draws nothing and leaves no program or vertex array bound, as a host
  // with its own meshes might.
  bool iUnbindOnly = false;
  std::vector<uint32_t> iBatchSizes;
  std::vector<std::vector<float>> iMatrices;
  void DrawObjects(void* const* objects, const float* const* matrices, const bool*, uint32_t count) override {
    if (iUnbindOnly) {
      KELGL().UseProgram(0);
      KELGL().BindVertexArray(0);
      return;
    }
    iBatchSizes.push_back(count);
    std::vector<KELGLBoxInstance> boxes;
    for (uint32_t i = 0; i < count; ++i) {
      boxes.push_back(*static_cast<const KELGLBoxInstance*>(objects[i]));
      iMatrices.push_back(matrices[i] ? std::vector<float>(matrices[i], matrices[i] + 16) : std::vector<float>());
    }
    iRenderer->Draw(boxes.data(), count, KELGLBoxRenderer::kShaded);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

class OpenGLClient : public ::testing::Test {
protected:
  void SetUp() override {
    if (!iContext.Create(kSize, kSize)) GTEST_SKIP() << "no headless OpenGL context: " << iContext.GetErrorText();
    ASSERT_TRUE(iRenderer.Create());
    iHost.iRenderer = &iRenderer;
    iClient.reset(new KELOpenGLClient(&iHost));
    ASSERT_TRUE(iClient->Create());
    StartFrame(kIdentity);
  }
  void TearDown() override { iClient.reset(); }

  void StartFrame(const float* projection) {
    const float black[4] = {0, 0, 0, 1};
    iContext.Clear(black);
    iClient->BeginFrame(kIdentity, projection);
    float viewProjection[16];
    kel::Multiply(projection, kIdentity, viewProjection);
    iRenderer.SetViewProjection(viewProjection);
  }

  // One query over the given boxes (one run), waiting for its result.
  uint32_t Query(const std::vector<std::vector<float>>& boxes, const float* matrix = nullptr) {
    void* query = iClient->GenQuery();
    iClient->BeginQuery(query);
    iClient->StartDrawBoxes();
    for (const std::vector<float>& box : boxes) iClient->DrawBox(box.data(), box.data() + 3, matrix);
    iClient->EndDrawBoxes();
    iClient->EndQuery(query);
    uint32_t pixels = 12345;
    EXPECT_TRUE(iClient->GetQueryResult(query, pixels, true));
    return pixels;
  }

  KELHeadlessContext iContext;
  KELGLBoxRenderer iRenderer;
  KELTestHost iHost;
  std::unique_ptr<KELOpenGLClient> iClient;
};

// The centre half of the screen in each direction: 32 x 32 pixels. Face
// culling is off, so an unoccluded box counts its front and its back faces.
const std::vector<float> kCentreBox = {-0.5f, -0.5f, 0.0f, 0.5f, 0.5f, 0.5f};
const uint32_t kCentreSamples = 2 * 32 * 32;

TEST_F(OpenGLClient, QueryCountsTheSamplesOfItsBoxes) {
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  EXPECT_EQ(Query({kCentreBox}), kCentreSamples);
  // Two disjoint boxes in one run add up; boxes are world space and the
  // matrix handed along is not applied.
  const float shift[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.9f, 0, 0, 1};
  EXPECT_EQ(Query({{-1, -1, 0, -0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 0, 1, 1, 0.5f}}, shift), 2u * 2u * 16u * 16u);
  EXPECT_EQ(Query({kCentreBox}, shift), kCentreSamples);
  const KELOpenGLClientStats& stats = iClient->GetStats();
  EXPECT_EQ(stats.iQueries, 3u);
  EXPECT_EQ(stats.iBoxes, 4u);
  EXPECT_EQ(stats.iBoxDraws, 3u);  // one instanced draw per run
  EXPECT_EQ(stats.iFillQueries, 0u);
}

TEST_F(OpenGLClient, BoxAroundTheCameraCoversTheScreen) {
  float projection[16];
  kel::Perspective(1.2f, 1.0f, 0.1f, 100.0f, projection);
  StartFrame(projection);
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  // Seen from inside, every face is a back face.
  EXPECT_EQ(Query({{-2, -2, -2, 2, 2, 2}}), static_cast<uint32_t>(kSize * kSize));
}

TEST_F(OpenGLClient, DrawnObjectsOccludeLaterQueriesAndFillBoxesPassAgain) {
  float projection[16];
  kel::Perspective(1.2f, 1.0f, 0.1f, 100.0f, projection);
  StartFrame(projection);
  // An object in front of the query box hides it entirely.
  KELGLBoxInstance wall = {{-50, -50, -6}, {50, 50, -5}, 0xff0000ffu};
  iClient->DrawObject(&wall, nullptr, false);
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  EXPECT_EQ(Query({{-1, -1, -9, 1, 1, -8}}), 0u);

  // A fill query writes its box into depth; a query of the same box drawn
  // again still passes on the box's own surface (less-or-equal).
  StartFrame(projection);
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
}

TEST_F(OpenGLClient, ObjectsAreBatchedAndFlushedBeforeTheNextQuery) {
  KELGLBoxInstance boxes[3] = {{{-1, -1, 0}, {-0.6f, -0.6f, 0.1f}, 0xffffffffu},
                               {{0, 0, 0}, {0.2f, 0.2f, 0.1f}, 0xffffffffu},
                               {{0.6f, 0.6f, 0}, {1, 1, 0.1f}, 0xffffffffu}};
  float matrix[16];
  std::memcpy(matrix, kIdentity, sizeof(matrix));
  matrix[12] = 7;
  for (KELGLBoxInstance& box : boxes) iClient->DrawObject(&box, matrix, false);
  // The client copied the matrix: the library's copy is lent for the call.
  matrix[12] = -1;
  EXPECT_TRUE(iHost.iBatchSizes.empty());
  void* query = iClient->GenQuery();
  iClient->BeginQuery(query);
  ASSERT_EQ(iHost.iBatchSizes.size(), 1u);
  EXPECT_EQ(iHost.iBatchSizes[0], 3u);
  ASSERT_EQ(iHost.iMatrices.size(), 3u);
  EXPECT_EQ(iHost.iMatrices[2].at(12), 7.0f);
  iClient->EndQuery(query);
  uint32_t pixels = 0;
  EXPECT_TRUE(iClient->GetQueryResult(query, pixels, true));
  EXPECT_EQ(iClient->GetStats().iObjectsDrawn, 3u);

  // Batches are capped at the configured size.
  iClient->SetObjectBatchSize(2);
  for (KELGLBoxInstance& box : boxes) iClient->DrawObject(&box, nullptr, false);
  iClient->Flush();
  ASSERT_EQ(iHost.iBatchSizes.size(), 3u);
  EXPECT_EQ(iHost.iBatchSizes[1], 2u);
  EXPECT_EQ(iHost.iBatchSizes[2], 1u);
  EXPECT_TRUE(iHost.iMatrices.back().empty());
}

TEST_F(OpenGLClient, QueryResultWithoutWaitingArrivesAndHandlesAreRecycled) {
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  void* query = iClient->GenQuery();
  iClient->BeginQuery(query);
  iClient->StartDrawBoxes();
  iClient->DrawBox(kCentreBox.data(), kCentreBox.data() + 3, nullptr);
  iClient->EndDrawBoxes();
  iClient->EndQuery(query);
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

  // Many queries per frame, frame after frame: the GL query objects made
  // in the first frame serve every later one.
  uint32_t made = 0;
  for (int frame = 0; frame < 4; ++frame) {
    StartFrame(kIdentity);
    for (int i = 0; i < 300; ++i) EXPECT_NE(iClient->GenQuery(), nullptr);
    if (frame == 0) made = iClient->GetQueryObjectCount();
    EXPECT_EQ(iClient->GetQueryObjectCount(), made);
  }
  EXPECT_GE(made, 300u);
}

TEST_F(OpenGLClient, CountsStayExactAcrossInstanceStorageWrapsAndHostBindings) {
  iClient->EnableDepthWrite(false);
  iClient->EnableColorWrite(false);
  // Boxes of one pixel (two samples each). The runs overflow the instance
  // storage's first size, then exceed it.
  const float pixel = 2.0f / kSize;
  const std::vector<float> box = {-1, -1, 0, -1 + pixel, -1 + pixel, 0.5f};
  for (uint32_t count : {30000u, 30000u, 50000u, 1u})
    EXPECT_EQ(Query(std::vector<std::vector<float>>(count, box)), 2 * count);
  EXPECT_EQ(KELGL().GetError(), static_cast<GLenum>(GL_NO_ERROR));
  // The client binds its state again after the host ran.
  iHost.iUnbindOnly = true;
  KELGLBoxInstance object = {{0, 0, 0}, {1, 1, 1}, 0};
  iClient->DrawObject(&object, nullptr, false);
  iClient->Flush();
  EXPECT_EQ(Query({kCentreBox}), kCentreSamples);
}

TEST_F(OpenGLClient, ForeignHandleCountsAsVisible) {
  uint32_t pixels = 0;
  int foreign = 0;
  ASSERT_TRUE(iClient->GetQueryResult(&foreign, pixels, true));
  // The library reads one result as a signed value: it must stay positive.
  EXPECT_GT(static_cast<int32_t>(pixels), 1 << 16);
}

TEST(HeadlessContext, ReadsColourAndIdsTopRowFirst) {
  KELHeadlessContext context;
  if (!context.Create(8, 4)) GTEST_SKIP() << "no headless OpenGL context: " << context.GetErrorText();
  KELGLBoxRenderer renderer;
  ASSERT_TRUE(renderer.Create());
  const float black[4] = {0, 0, 0, 1};
  context.Clear(black);
  renderer.SetViewProjection(kIdentity);
  KELGL().Enable(GL_DEPTH_TEST);
  // The upper half of the screen.
  KELGLBoxInstance box = {{-1, 0, 0}, {1, 1, 0.5f}, 42};
  context.UseIdTarget();
  renderer.Draw(&box, 1, KELGLBoxRenderer::kIds);
  context.UseColorTarget();
  std::vector<uint32_t> ids(8 * 4);
  context.ReadIds(ids.data());
  EXPECT_EQ(ids[0], 42u);
  EXPECT_EQ(ids[8 * 3], 0u);
  std::vector<uint8_t> rgba(8 * 4 * 4);
  context.ReadColor(rgba.data());
  EXPECT_EQ(rgba[0], 0u);  // colour untouched by the ID pass
  EXPECT_EQ(rgba[3], 255u);
}

}  // namespace
