#include "KELVulkanClient.h"

#include <chrono>
#include <cstring>
#include <memory>

namespace {

const uint32_t kDefaultObjectBatchSize = 4096;
const uint32_t kQueryPoolChunk = 256;
const uint32_t kUnknownQueryPixels = 0xfffff;

// result = a * b for column-major 4x4 matrices.
void MultiplyMatrices(const float* a, const float* b, float* result) {
  for (int column = 0; column < 4; ++column)
    for (int row = 0; row < 4; ++row) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[column * 4 + k];
      result[column * 4 + row] = sum;
    }
}

}  // namespace

// Adds the wall time of one client call to the frame's counters.
class KELVulkanClient::KELCallTimer {
public:
  explicit KELCallTimer(KELVulkanClient& client) : iClient(client) {
    if (iClient.iTiming) iStart = std::chrono::steady_clock::now();
  }
  ~KELCallTimer() {
    if (iClient.iTiming)
      iClient.iStats.iClientSeconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - iStart).count();
  }

private:
  KELVulkanClient& iClient;
  std::chrono::steady_clock::time_point iStart;
};

KELVulkanClient::KELVulkanClient(KELVulkanTarget* target, KELVulkanHost* host)
    : iTarget(target), iHost(host), iNextQuery(0), iRunsInQuery(0), iDepthWrite(true), iTiming(false),
      iObjectBatchSize(kDefaultObjectBatchSize) {}

KELVulkanClient::~KELVulkanClient() { Destroy(); }

void KELVulkanClient::Destroy() {
  if (iTarget != nullptr && !iPools.empty()) {
    VkDevice device = iTarget->GetInfo().iDevice;
    // Submitted queries may still be running.
    vkDeviceWaitIdle(device);
    for (VkQueryPool pool : iPools) vkDestroyQueryPool(device, pool, nullptr);
  }
  iPools.clear();
  iQueryStates.clear();
  iRecordedQueries.clear();
  iNextQuery = 0;
}

bool KELVulkanClient::Create() {
  Destroy();
  if (iTarget == nullptr || !iTarget->GetInfo().iHostQueryReset) return false;
  return iBoxes.Create(iTarget);
}

void KELVulkanClient::BeginFrame(const float* view, const float* projection) {
  float viewProjection[16];
  MultiplyMatrices(projection, view, viewProjection);
  iBoxes.SetViewProjection(viewProjection);
  iBoxes.SetDepthTest(true);
  iBoxes.SetDepthWrite(true);
  iBoxes.SetColorWrite(true);
  iDepthWrite = true;
  ClearPending();
  RecycleQueries();
  iStats = KELVulkanClientStats();
}

void KELVulkanClient::SetObjectBatchSize(uint32_t size) { iObjectBatchSize = size > 0 ? size : 1; }

uint32_t KELVulkanClient::GetQueryCapacity() const { return static_cast<uint32_t>(iQueryStates.size()); }

void KELVulkanClient::RecycleQueries() {
  if (iNextQuery == 0) return;
  // Every result is normally read by the end of a frame; one that was not
  // (a host stopping mid-frame) must finish before its query is reset.
  bool unread = false;
  for (uint32_t i = 0; i < iNextQuery; ++i)
    if (iQueryStates[i] == kQueryRecorded || iQueryStates[i] == kQuerySubmitted) unread = true;
  if (unread) SubmitRecorded(true);
  // Results read mean the draws inside the queries are done, so the box
  // storage is free again too.
  VkDevice device = iTarget->GetInfo().iDevice;
  for (uint32_t first = 0; first < iNextQuery; first += kQueryPoolChunk) {
    uint32_t count = iNextQuery - first < kQueryPoolChunk ? iNextQuery - first : kQueryPoolChunk;
    vkResetQueryPool(device, iPools[first / kQueryPoolChunk], 0, count);
  }
  std::memset(iQueryStates.data(), kQueryFree, iNextQuery);
  iNextQuery = 0;
  iBoxes.Reset();
}

uint32_t KELVulkanClient::QueryIndex(void* query) const {
  // Handles are query indices plus one, so that no issued handle is null.
  uintptr_t index = reinterpret_cast<uintptr_t>(query) - 1;
  return index < iNextQuery ? static_cast<uint32_t>(index) : UINT32_MAX;
}

void* KELVulkanClient::GenQuery() {
  KELCallTimer timer(*this);
  if (iNextQuery == iQueryStates.size()) {
    VkQueryPoolCreateInfo info = {};
    info.sType = VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO;
    info.queryType = VK_QUERY_TYPE_OCCLUSION;
    info.queryCount = kQueryPoolChunk;
    VkQueryPool pool = VK_NULL_HANDLE;
    VkDevice device = iTarget->GetInfo().iDevice;
    // No handle: the library treats the query as not issued.
    if (vkCreateQueryPool(device, &info, nullptr, &pool) != VK_SUCCESS) return nullptr;
    vkResetQueryPool(device, pool, 0, kQueryPoolChunk);
    iPools.push_back(pool);
    iQueryStates.resize(iQueryStates.size() + kQueryPoolChunk, kQueryFree);
  }
  return reinterpret_cast<void*>(static_cast<uintptr_t>(++iNextQuery));
}

void KELVulkanClient::BeginQuery(void* query) {
  KELCallTimer timer(*this);
  Flush();
  iRunsInQuery = 0;
  uint32_t index = QueryIndex(query);
  if (index == UINT32_MAX) return;
  ++iStats.iQueries;
  if (iDepthWrite) ++iStats.iFillQueries;
  VkQueryPool pool = iPools[index / kQueryPoolChunk];
  uint32_t slot = index % kQueryPoolChunk;
  // The library hands a read handle out again within the frame; its
  // result is in, so the query is idle and can be reset from the host.
  if (iQueryStates[index] != kQueryFree) vkResetQueryPool(iTarget->GetInfo().iDevice, pool, slot, 1);
  VkQueryControlFlags flags = iTarget->GetInfo().iPreciseOcclusionQueries ? VK_QUERY_CONTROL_PRECISE_BIT : 0;
  vkCmdBeginQuery(iTarget->GetCommandBuffer(), pool, slot, flags);
  iQueryStates[index] = kQueryRecorded;
}

void KELVulkanClient::EndQuery(void* query) {
  KELCallTimer timer(*this);
  uint32_t index = QueryIndex(query);
  if (index == UINT32_MAX) return;
  if (iRunsInQuery > 1) ++iStats.iBatches;
  vkCmdEndQuery(iTarget->GetCommandBuffer(), iPools[index / kQueryPoolChunk], index % kQueryPoolChunk);
  iRecordedQueries.push_back(index);
}

void KELVulkanClient::SubmitRecorded(bool wait) {
  iTarget->Submit(wait);
  ++iStats.iSubmits;
  for (uint32_t index : iRecordedQueries)
    if (iQueryStates[index] == kQueryRecorded) iQueryStates[index] = kQuerySubmitted;
  iRecordedQueries.clear();
}

bool KELVulkanClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  KELCallTimer timer(*this);
  uint32_t index = QueryIndex(query);
  if (index == UINT32_MAX || iQueryStates[index] == kQueryFree) {
    // Not one of ours, or never begun: count it as visible rather than
    // hide anything (the library reads a single result as a signed value).
    pixels = kUnknownQueryPixels;
    return true;
  }
  // Without waiting, the submit still lets the result arrive by itself.
  if (iQueryStates[index] == kQueryRecorded) SubmitRecorded(wait);
  uint32_t result[2] = {0, 0};
  VkQueryResultFlags flags = VK_QUERY_RESULT_WITH_AVAILABILITY_BIT | (wait ? VK_QUERY_RESULT_WAIT_BIT : 0);
  VkResult status = vkGetQueryPoolResults(iTarget->GetInfo().iDevice, iPools[index / kQueryPoolChunk],
                                          index % kQueryPoolChunk, 1, sizeof(result), result, sizeof(result), flags);
  if (status != VK_SUCCESS || result[1] == 0) return false;
  pixels = result[0];
  iQueryStates[index] = kQueryRead;
  return true;
}

void KELVulkanClient::SetInside(bool) {}

void KELVulkanClient::EnableDepthTest(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  iBoxes.SetDepthTest(enable);
}

void KELVulkanClient::EnableDepthWrite(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  iDepthWrite = enable;
  iBoxes.SetDepthWrite(enable);
}

void KELVulkanClient::EnableColorWrite(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  iBoxes.SetColorWrite(enable);
}

void KELVulkanClient::StartDrawBoxes() { iBoxRun.clear(); }

void KELVulkanClient::DrawBox(const float* min, const float* max, const float*) {
  // World space: the matrix is the entry's placement, already reflected in
  // its box, and is not applied.
  KELVulkanBoxInstance box;
  std::memcpy(box.iMin, min, sizeof(box.iMin));
  std::memcpy(box.iMax, max, sizeof(box.iMax));
  box.iValue = 0xffffffffu;
  iBoxRun.push_back(box);
  ++iStats.iBoxes;
}

void KELVulkanClient::EndDrawBoxes() {
  KELCallTimer timer(*this);
  ++iRunsInQuery;
  if (iBoxRun.empty()) return;
  iBoxes.Draw(iBoxRun.data(), static_cast<uint32_t>(iBoxRun.size()), KELVulkanBoxRenderer::kShaded);
  ++iStats.iBoxDraws;
  iBoxRun.clear();
}

void KELVulkanClient::DrawObject(void* object, const float* matrix, bool transparent) {
  KELCallTimer timer(*this);
  ++iStats.iObjectsDrawn;
  iPendingObjects.push_back(object);
  iPendingHasMatrix.push_back(matrix != nullptr ? 1 : 0);
  iPendingTransparent.push_back(transparent ? 1 : 0);
  // The library's matrix copy is only lent for the call.
  if (matrix != nullptr) iPendingMatrices.insert(iPendingMatrices.end(), matrix, matrix + 16);
  if (iPendingObjects.size() >= iObjectBatchSize) Flush();
}

void KELVulkanClient::Flush() {
  size_t count = iPendingObjects.size();
  if (count == 0) return;
  if (iHost == nullptr) {
    ClearPending();
    return;
  }
  std::unique_ptr<const float*[]> matrices(new const float*[count]);
  std::unique_ptr<bool[]> transparent(new bool[count]);
  size_t nextMatrix = 0;
  for (size_t i = 0; i < count; ++i) {
    matrices[i] = iPendingHasMatrix[i] ? iPendingMatrices.data() + 16 * nextMatrix++ : nullptr;
    transparent[i] = iPendingTransparent[i] != 0;
  }
  iHost->DrawObjects(iTarget->GetCommandBuffer(), iPendingObjects.data(), matrices.get(), transparent.get(),
                     static_cast<uint32_t>(count));
  ++iStats.iObjectBatches;
  ClearPending();
}

void KELVulkanClient::ClearPending() {
  iPendingObjects.clear();
  iPendingMatrices.clear();
  iPendingHasMatrix.clear();
  iPendingTransparent.clear();
}

void KELVulkanClient::OnBeginOcclusionResults() {
  KELCallTimer timer(*this);
  Flush();
  if (iHost != nullptr) iHost->OnBeginOcclusionResults();
}

void KELVulkanClient::TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                                  const float* matrix) {
  KELCallTimer timer(*this);
  ++iStats.iTouched;
  if (iHost != nullptr) iHost->TouchObject(object, pixels, min, max, matrix);
}

void KELVulkanClient::OnEndOcclusionResults() {
  KELCallTimer timer(*this);
  if (iHost != nullptr) iHost->OnEndOcclusionResults();
  // Every query of the frame has been read by now; the queries serve the
  // next frame again, so none leaks even when BeginFrame is skipped.
  RecycleQueries();
}

void KELVulkanClient::DebugViewportZone(const float*, const float*, bool, uint32_t) {}
