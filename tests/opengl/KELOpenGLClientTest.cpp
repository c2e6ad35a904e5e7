// The OpenGL client on a real context: the tests every box-drawing client
// passes, then the query objects, the instance storage, the host's GL state
// and the context of this one.
#include <gtest/gtest.h>

#include <vector>

#include "KELGLBoxRenderer.h"
#include "KELGLFunctions.h"
#include "KELHeadlessContext.h"
#include "KELOpenGLClient.h"
#include "KELRendererClientTests.h"

namespace {

using namespace kel_client_tests;

// Draws the objects it is handed, or, with iEngineLike, behaves as many
// engines do: it bound one vertex array at start-up and only re-points its
// attributes (with its own buffer, no divisors) whenever it draws, and
// leaves GL_LESS behind. It notes what it finds bound when called.
class KELTestHost : public KELOpenGLHost, public KELObjectLog<KELGLBoxInstance, KELGLBoxRenderer> {
public:
  bool iEngineLike = false;
  GLuint iJunkBuffer = 0;
  GLint iSeenVertexArray = -1;
  bool iSawCullFace = false;
  void DrawObjects(void* const* objects, const float* const* matrices, const bool* transparent,
                   uint32_t count) override {
    if (!iEngineLike) return Draw(objects, matrices, transparent, count);
    const KELGLFunctions& gl = KELGL();
    gl.GetIntegerv(GL_VERTEX_ARRAY_BINDING, &iSeenVertexArray);
    iSawCullFace = gl.IsEnabled(GL_CULL_FACE) == GL_TRUE;
    gl.BindBuffer(GL_ARRAY_BUFFER, iJunkBuffer);
    for (GLuint attribute = 0; attribute <= 4; ++attribute) {
      gl.VertexAttribPointer(attribute, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
      gl.VertexAttribDivisor(attribute, 0);
    }
    gl.DepthFunc(GL_LESS);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

struct KELGLTraits {
  using Context = KELHeadlessContext;
  using Renderer = KELGLBoxRenderer;
  using Box = KELGLBoxInstance;
  using Client = KELOpenGLClient;
  using Host = KELTestHost;
  static void Open(Context& context, Renderer& renderer, Host& host, int size) {
    if (!context.Create(size, size)) GTEST_SKIP() << "no headless OpenGL context: " << context.GetErrorText();
    ASSERT_TRUE(renderer.Create());
    host.iRenderer = &renderer;
  }
  static Client* MakeClient(Context&, Host& host) { return new Client(&host); }
  static void Close(Context&) {}
  static void ExpectSubmits(const Client&, uint32_t) {}  // no submits to count
  // The host's own draws compare the other way too: the client puts the
  // host's depth function back for them.
  static void UseReversedDepth(Context& context, Renderer&, Client& client) {
    context.SetDepthClearValue(0);
    KELGL().DepthFunc(GL_GEQUAL);
    client.SetReversedDepth(true);
  }
  static void DrawIds(Context& context, Renderer& renderer, const Box& box) {
    context.UseIdTarget();
    renderer.Draw(&box, 1, Renderer::kIds);
    context.UseColorTarget();
  }
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

TEST_F(OpenGLClient, CountsStayExactAcrossInstanceStorageWraps) {
  BoxesOnly();
  // Boxes of one pixel (two samples each). The runs overflow the instance
  // storage's first size, then exceed it.
  const float pixel = 2.0f / kSize;
  const std::vector<float> box = {-1, -1, 0, -1 + pixel, -1 + pixel, 0.5f};
  for (uint32_t count : {30000u, 30000u, 50000u, 1u})
    EXPECT_EQ(Query(std::vector<std::vector<float>>(count, box)), 2 * count);
  EXPECT_EQ(KELGL().GetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// The host's vertex array, face culling and depth function are its own
// during its draws and after the frame, and what it does with them does
// not reach the client's boxes: its GL_LESS would let no box pass on a
// fill box's surface, its attribute pointers would feed the boxes junk.
TEST_F(OpenGLClient, TheHostsStateIsItsOwnAndDoesNotReachTheBoxes) {
  const KELGLFunctions& gl = KELGL();
  GLuint hostArray = 0;
  gl.GenVertexArrays(1, &hostArray);
  gl.GenBuffers(1, &iHost.iJunkBuffer);
  gl.BindBuffer(GL_ARRAY_BUFFER, iHost.iJunkBuffer);
  const float zeros[36 * 6] = {};
  gl.BufferData(GL_ARRAY_BUFFER, sizeof(zeros), zeros, GL_STATIC_DRAW);
  // Start-up: the engine's vertex array, back faces culled, GL_LESS.
  gl.BindVertexArray(hostArray);
  gl.Enable(GL_CULL_FACE);
  gl.DepthFunc(GL_LESS);
  iHost.iEngineLike = true;
  StartFrame(iPerspective);

  iClient->EnableColorWrite(false);
  const std::vector<float> box = {-1, -1, -9, 1, 1, -8};
  EXPECT_GT(Query({box}), 0u);  // the fill
  KELGLBoxInstance object = {{0, 0, 0}, {1, 1, 1}, 0};
  iClient->DrawObject(&object, nullptr, false);
  iClient->EnableDepthWrite(false);  // hands the object over first
  EXPECT_EQ(iHost.iSeenVertexArray, static_cast<GLint>(hostArray));
  EXPECT_TRUE(iHost.iSawCullFace);
  EXPECT_GT(Query({box}), 0u);  // again, on the fill's surface, from the client's attributes
  iClient->OnEndOcclusionResults();
  auto get = [&gl](GLenum name) { GLint value = 0; gl.GetIntegerv(name, &value); return value; };
  EXPECT_EQ(get(GL_VERTEX_ARRAY_BINDING), static_cast<GLint>(hostArray));
  EXPECT_EQ(get(GL_DEPTH_FUNC), GL_LESS);
  EXPECT_TRUE(gl.IsEnabled(GL_CULL_FACE));
  EXPECT_EQ(gl.GetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// Names are per context: a client destroyed while another context is
// current must leave that context's objects alone.
TEST(OpenGLClientContext, DestroyedUnderAnotherContextLeavesThatContextsObjects) {
  KELHeadlessContext first;
  if (!first.Create(8, 8)) GTEST_SKIP() << "no headless OpenGL context: " << first.GetErrorText();
  std::unique_ptr<KELOpenGLClient> client(new KELOpenGLClient(nullptr));
  ASSERT_TRUE(client->Create());
  ASSERT_NE(client->GenQuery(), nullptr);
  KELHeadlessContext second;
  ASSERT_TRUE(second.Create(8, 8));
  const KELGLFunctions& gl = KELGL();
  GLuint buffers[4];
  gl.GenBuffers(4, buffers);
  for (GLuint buffer : buffers) gl.BindBuffer(GL_ARRAY_BUFFER, buffer);
  client.reset();
  for (GLuint buffer : buffers) EXPECT_TRUE(gl.IsBuffer(buffer)) << "buffer " << buffer;
}

}  // namespace
