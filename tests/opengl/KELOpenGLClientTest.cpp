// The OpenGL client on a real context: the tests every box-drawing client
// passes, then the query objects, the instance storage and the host's
// bindings of this one.
#include <gtest/gtest.h>

#include <vector>

#include "KELGLBoxRenderer.h"
#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"
#include "KELRendererClientTests.h"

namespace {

using namespace kel_client_tests;

// Draws the objects it is handed, or, with iUnbindOnly, nothing, leaving no
// program or vertex array bound, as a host with its own meshes might.
class KELTestHost : public KELOpenGLHost, public KELObjectLog<KELGLBoxInstance, KELGLBoxRenderer> {
public:
  bool iUnbindOnly = false;
  void DrawObjects(void* const* objects, const float* const* matrices, const bool*, uint32_t count) override {
    if (!iUnbindOnly) return Draw(objects, matrices, count);
    KELGL().UseProgram(0);
    KELGL().BindVertexArray(0);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

struct KELGLTraits {
  using Context = KELHeadlessContext;
  using Renderer = KELGLBoxRenderer;
  using Box = KELGLBoxInstance;
  using Client = KELOpenGLClient;
  using Host = KELTestHost;
  static void Open(Context& context, Renderer& renderer, Host& host) {
    if (!context.Create(kSize, kSize)) GTEST_SKIP() << "no headless OpenGL context: " << context.GetErrorText();
    ASSERT_TRUE(renderer.Create());
    host.iRenderer = &renderer;
  }
  static Client* MakeClient(Context&, Host& host) { return new Client(&host); }
  static void Close(Context&) {}
  static void ExpectSubmits(const Client&, uint32_t) {}  // no submits to count
};

INSTANTIATE_TYPED_TEST_SUITE_P(OpenGL, KELRendererClientTest, ::testing::Types<KELGLTraits>);

class OpenGLClient : public KELRendererClientTest<KELGLTraits> {};

// Many queries per frame, frame after frame: the GL query objects made in
// the first frame serve every later one.
TEST_F(OpenGLClient, QueryObjectsAreMadeOnceAndRecycled) {
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
  BoxesOnly();
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
