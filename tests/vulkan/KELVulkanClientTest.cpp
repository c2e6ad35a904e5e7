// The Vulkan client on a real device (Mesa's lavapipe runs it headless):
// the tests every box-drawing client passes, then the submits and the
// recycling of this one. Run with validation layers where installed; any
// validation error fails the test.
#include <gtest/gtest.h>

#include <vector>

#include "KELRendererClientTests.h"
#include "KELVulkanBoxRenderer.h"
#include "KELVulkanClient.h"
#include "KELVulkanHeadlessContext.h"
#include "KELVulkanTestSupport.h"

namespace {

using namespace kel_client_tests;

// Records the objects it is handed into the context's command buffer.
class KELTestHost : public KELVulkanHost, public KELObjectLog<KELVulkanBoxInstance, KELVulkanBoxRenderer> {
public:
  KELVulkanHeadlessContext* iContext = nullptr;
  void DrawObjects(VkCommandBuffer commands, void* const* objects, const float* const* matrices, const bool*,
                   uint32_t count) override {
    EXPECT_EQ(commands, iContext->GetCommandBuffer());
    Draw(objects, matrices, count);
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override {}
};

struct KELVulkanTraits {
  using Context = KELVulkanHeadlessContext;
  using Renderer = KELVulkanBoxRenderer;
  using Box = KELVulkanBoxInstance;
  using Client = KELVulkanClient;
  using Host = KELTestHost;
  static void Open(Context& context, Renderer& renderer, Host& host) {
    if (!context.Create(kSize, kSize)) KEL_SKIP_WITHOUT_VULKAN(context.GetErrorText());
    ASSERT_TRUE(renderer.Create(&context));
    host.iRenderer = &renderer;
    host.iContext = &context;
  }
  static Client* MakeClient(Context& context, Host& host) { return new Client(&context, &host); }
  static void Close(Context& context) { EXPECT_EQ(context.GetValidationErrorCount(), 0u); }
  static void ExpectSubmits(const Client& client, uint32_t submits) {
    EXPECT_EQ(client.GetStats().iSubmits, submits);
  }
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
