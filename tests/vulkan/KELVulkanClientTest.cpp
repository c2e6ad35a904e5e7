// The Vulkan client on a real device (Mesa's lavapipe runs it headless):
// the tests every box-drawing client passes, then the submits, the
// recycling, the failures and the shaders of this one. Run with validation
// layers where installed; any validation error fails the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KELRendererClientTests.h"
#include "KELVulkanBoxRenderer.h"
#include "KELVulkanClient.h"
#include "KELVulkanHeadlessContext.h"
#include "KELVulkanShaders.h"
#include "KELVulkanTestSupport.h"

namespace {

using namespace kel_client_tests;

// Records the objects it is handed into the context's command buffer.
class KELTestHost : public KELVulkanHost, public KELObjectLog<KELVulkanBoxInstance, KELVulkanBoxRenderer> {
public:
  KELVulkanHeadlessContext* iContext = nullptr;
  void DrawObjects(VkCommandBuffer commands, void* const* objects, const float* const* matrices,
                   const bool* transparent, uint32_t count) override {
    EXPECT_EQ(commands, iContext->GetCommandBuffer());
    Draw(objects, matrices, transparent, count);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

struct KELVulkanTraits {
  using Context = KELVulkanHeadlessContext;
  using Renderer = KELVulkanBoxRenderer;
  using Box = KELVulkanBoxInstance;
  using Client = KELVulkanClient;
  using Host = KELTestHost;
  static void Open(Context& context, Renderer& renderer, Host& host, int size) {
    if (!context.Create(size, size)) KEL_SKIP_WITHOUT_VULKAN(context.GetErrorText());
    ASSERT_TRUE(renderer.Create(&context));
    host.iRenderer = &renderer;
    host.iContext = &context;
  }
  static Client* MakeClient(Context& context, Host& host) { return new Client(&context, &host); }
  static void Close(Context& context) { EXPECT_EQ(context.GetValidationErrorCount(), 0u); }
  static void ExpectSubmits(const Client& client, uint32_t submits) {
    EXPECT_EQ(client.GetStats().iSubmits, submits);
  }
  // The host's box pipelines compare the other way too.
  static void UseReversedDepth(Context& context, Renderer& renderer, Client& client) {
    context.SetDepthClearValue(0);
    renderer.SetReversedDepth(true);
    client.SetReversedDepth(true);
  }
  static void DrawIds(Context&, Renderer& renderer, const Box& box) { renderer.Draw(&box, 1, Renderer::kIds); }
};

// The headless context as a host's target, with what it says changed:
// its description, or how its submits go (a failed one submits nothing).
class KELTestTarget : public KELVulkanTarget {
public:
  explicit KELTestTarget(KELVulkanHeadlessContext& context) : iContext(context), iInfo(context.GetInfo()) {}
  const KELVulkanTargetInfo& GetInfo() const override { return iInfo; }
  VkCommandBuffer GetCommandBuffer() override { return iContext.GetCommandBuffer(); }
  void Submit(bool wait) override {
    if (iSubmitResult == VK_SUCCESS) iContext.Submit(wait);
  }
  VkResult GetSubmitResult() const override { return iSubmitResult; }

  KELVulkanHeadlessContext& iContext;
  KELVulkanTargetInfo iInfo;
  VkResult iSubmitResult = VK_SUCCESS;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Vulkan, KELRendererClientTest, ::testing::Types<KELVulkanTraits>);

class VulkanClient : public KELRendererClientTest<KELVulkanTraits> {};

TEST_F(VulkanClient, QueriesRecordedBeforeAWaitGoOutInOneSubmit) {
  BoxesOnly();
  std::vector<void*> queries;
  for (int i = 0; i < 3; ++i) queries.push_back(Issue({kCentreBox}));
  for (void* query : queries) EXPECT_EQ(Read(query), kCentreSamples);
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
    BoxesOnly();
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

// A lost device answers every wait with an error: the library would ask
// for the same result for ever. The client ends the wait with a visible
// result, says so once, and keeps every later query visible.
TEST_F(VulkanClient, ADeviceFailureEndsTheWaitWithVisibleResults) {
  KELTestTarget target(*iContext);
  KELVulkanClient client(&target, &iHost);
  ASSERT_TRUE(client.Create());
  client.BeginFrame(kIdentity, kIdentity);
  BoxesOnly(client);
  const KELBoxList offScreen = {{2, 2, 0, 3, 3, 0.5f}};
  void* first = Issue(client, offScreen);
  void* second = Issue(client, offScreen);
  target.iSubmitResult = VK_ERROR_DEVICE_LOST;
  testing::internal::CaptureStderr();
  EXPECT_GT(Read(client, first), 300u);
  EXPECT_GT(Read(client, second), 300u);
  client.OnEndOcclusionResults();
  client.BeginFrame(kIdentity, kIdentity);
  EXPECT_GT(Read(client, Issue(client, offScreen)), 300u);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(client.GetDeviceStatus(), VK_ERROR_DEVICE_LOST);
  EXPECT_NE(log.find("KELVulkanClient"), std::string::npos);
  EXPECT_EQ(log.find("KELVulkanClient"), log.rfind("KELVulkanClient")) << log;
}

// Without precise queries a device may report any non-zero count for a
// single sample: the client cannot tell a sliver from a wall and reads
// every non-zero count as visible; zero stays zero.
TEST_F(VulkanClient, ImpreciseCountsAboveZeroReadAsVisible) {
  KELTestTarget target(*iContext);
  target.iInfo.iPreciseOcclusionQueries = false;
  KELVulkanClient client(&target, &iHost);
  ASSERT_TRUE(client.Create());
  client.BeginFrame(kIdentity, kIdentity);
  BoxesOnly(client);
  const float pixel = 2.0f / kSize;
  EXPECT_GT(Read(client, Issue(client, {{-1, -1, 0, -1 + pixel, -1 + pixel, 0.5f}})), 300u);
  EXPECT_EQ(Read(client, Issue(client, {{2, 2, 0, 3, 3, 0.5f}})), 0u);
}

// A GenQuery that fails hands the library a null handle, which it still
// brackets boxes with: those count nowhere, and must not take storage
// frame after frame.
TEST_F(VulkanClient, BoxesOutsideAQueryTakeNoStorage) {
  uint64_t bytes = 0;
  for (int frame = 0; frame < 20; ++frame) {
    iClient->BeginFrame(kIdentity, kIdentity);
    BoxesOnly();
    iClient->BeginQuery(nullptr);
    iClient->StartDrawBoxes();
    for (int i = 0; i < 4000; ++i) iClient->DrawBox(kCentreBox.data(), kCentreBox.data() + 3, nullptr);
    iClient->EndDrawBoxes();
    iClient->EndQuery(nullptr);
    iClient->OnEndOcclusionResults();
    if (frame == 0) bytes = iClient->GetBoxStorageBytes();
    ASSERT_EQ(iClient->GetBoxStorageBytes(), bytes) << "frame " << frame;
  }
}

// A fill box and the query of the same box run in different pipelines;
// only an invariant position promises them the same depth. The shader's
// only invariant output can be its position.
TEST(VulkanBoxShader, DeclaresItsPositionInvariant) {
  const size_t count = sizeof(kKELBoxVertexShader) / sizeof(uint32_t);
  const uint32_t kOpDecorate = 71, kOpMemberDecorate = 72, kInvariant = 18;
  int invariants = 0;
  for (size_t at = 5; at < count; at += kKELBoxVertexShader[at] >> 16) {
    const uint32_t* instruction = kKELBoxVertexShader + at;
    const uint32_t opcode = instruction[0] & 0xffff;
    if ((opcode == kOpDecorate && instruction[2] == kInvariant) ||
        (opcode == kOpMemberDecorate && instruction[3] == kInvariant))
      ++invariants;
    ASSERT_GT(instruction[0] >> 16, 0u);
  }
  EXPECT_EQ(invariants, 1);
}

}  // namespace
