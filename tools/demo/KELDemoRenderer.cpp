#include "KELDemoRenderer.h"

namespace {

const char* const kApiNames[] = {"opengl", "vulkan"};

}  // namespace

// Each renderer lives in a file of its own, built where its API is.
std::unique_ptr<KELDemoRenderer> MakeOpenGLDemoRenderer();
std::unique_ptr<KELDemoRenderer> MakeVulkanDemoRenderer();

const char* GetApiName(KELDemoApi api) { return kApiNames[static_cast<int>(api)]; }

bool ParseApiName(const std::string& name, KELDemoApi& api) {
  for (int i = 0; i < 2; ++i)
    if (name == kApiNames[i]) {
      api = static_cast<KELDemoApi>(i);
      return true;
    }
  return false;
}

std::unique_ptr<KELDemoRenderer> MakeDemoRenderer(KELDemoApi api) {
#if defined(KEL_DEMO_HAVE_VULKAN)
  if (api == KELDemoApi::kVulkan) return MakeVulkanDemoRenderer();
#endif
  if (api == KELDemoApi::kOpenGL) return MakeOpenGLDemoRenderer();
  return nullptr;
}
