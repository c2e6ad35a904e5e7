// Uses the installed Vulkan client's headers and library: without a target
// the client refuses to start.
#include <KELVulkanClient.h>

#include <cstdio>

int main() {
  KELVulkanClient client(nullptr, nullptr);
  std::printf("vulkan consumer linked\n");
  return client.Create() ? 1 : 0;
}
