#include "KELVulkanClient.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const uint32_t kDefaultObjectBatchSize = 4096;
const uint32_t kQueryPoolChunk = 256;
// Visible, count unknown: well above any sensible threshold, and small
// enough that a node's sum of many such results stays far from wrapping.
const uint32_t kUnknownQueryPixels = 0xfffff;
const uint64_t kMaxSignedCount = 0x7fffffff;

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
    : iTarget(target), iHost(host), iNextQuery(0), iCurrentQuery(UINT32_MAX), iRunsInQuery(0),
      iDeviceStatus(VK_SUCCESS), iPrecise(false), iReversedDepth(false), iDepthWrite(true), iTiming(false),
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
  iQueryIncomplete.clear();
  iRecordedQueries.clear();
  iNextQuery = 0;
  iCurrentQuery = UINT32_MAX;
}

bool KELVulkanClient::Create() {
  Destroy();
  iDeviceStatus = VK_SUCCESS;
  if (iTarget == nullptr || !iTarget->GetInfo().iHostQueryReset) return false;
  const KELVulkanTargetInfo& info = iTarget->GetInfo();
  // The precise bit is valid only where the device has the feature.
  VkPhysicalDeviceFeatures features = {};
  if (info.iPhysicalDevice != VK_NULL_HANDLE) vkGetPhysicalDeviceFeatures(info.iPhysicalDevice, &features);
  iPrecise = info.iPreciseOcclusionQueries && features.occlusionQueryPrecise == VK_TRUE;
  if (!iBoxes.Create(iTarget)) return false;
  iBoxes.SetReversedDepth(iReversedDepth);
  return true;
}

void KELVulkanClient::SetReversedDepth(bool reversed) {
  iReversedDepth = reversed;
  iBoxes.SetReversedDepth(reversed);
}

void KELVulkanClient::Fail(VkResult result) {
  if (iDeviceStatus != VK_SUCCESS) return;
  iDeviceStatus = result;
  std::fprintf(stderr, "KELVulkanClient: the device failed (VkResult %d); every query now counts as visible\n",
               static_cast<int>(result));
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
  if (unread) SubmitRecorded(true);  // nothing to wait for after a failure
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
  // Without its boxes a query would count nothing: no query, and the
  // library counts the subject as visible.
  if (!iBoxes.IsValid()) return nullptr;
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
    iQueryIncomplete.resize(iQueryStates.size(), 0);
  }
  return reinterpret_cast<void*>(static_cast<uintptr_t>(++iNextQuery));
}

void KELVulkanClient::BeginQuery(void* query) {
  KELCallTimer timer(*this);
  Flush();
  iRunsInQuery = 0;
  iCurrentQuery = UINT32_MAX;
  uint32_t index = QueryIndex(query);
  // After a failure nothing is recorded: every result is visible anyway.
  if (index == UINT32_MAX || iDeviceStatus != VK_SUCCESS) return;
  ++iStats.iQueries;
  if (iDepthWrite) ++iStats.iFillQueries;
  VkQueryPool pool = iPools[index / kQueryPoolChunk];
  uint32_t slot = index % kQueryPoolChunk;
  // The library hands a read handle out again within the frame; its
  // result is in, so the query is idle and can be reset from the host.
  if (iQueryStates[index] != kQueryFree) vkResetQueryPool(iTarget->GetInfo().iDevice, pool, slot, 1);
  VkQueryControlFlags flags = iPrecise ? VK_QUERY_CONTROL_PRECISE_BIT : 0;
  vkCmdBeginQuery(iTarget->GetCommandBuffer(), pool, slot, flags);
  iQueryStates[index] = kQueryRecorded;
  iQueryIncomplete[index] = 0;
  iCurrentQuery = index;
}

void KELVulkanClient::EndQuery(void* query) {
  KELCallTimer timer(*this);
  uint32_t index = QueryIndex(query);
  if (index == UINT32_MAX || index != iCurrentQuery) return;
  iCurrentQuery = UINT32_MAX;
  if (iRunsInQuery > 1) ++iStats.iBatches;
  vkCmdEndQuery(iTarget->GetCommandBuffer(), iPools[index / kQueryPoolChunk], index % kQueryPoolChunk);
  iRecordedQueries.push_back(index);
}

void KELVulkanClient::SubmitRecorded(bool wait) {
  if (iDeviceStatus != VK_SUCCESS) return;
  iTarget->Submit(wait);
  ++iStats.iSubmits;
  for (uint32_t index : iRecordedQueries)
    if (iQueryStates[index] == kQueryRecorded) iQueryStates[index] = kQuerySubmitted;
  iRecordedQueries.clear();
  // A failed submit or wait would leave the results waited for forever.
  const VkResult result = iTarget->GetSubmitResult();
  if (result < 0) Fail(result);
}

uint32_t KELVulkanClient::CountFor(uint32_t index, uint64_t samples) const {
  // A run of boxes that was not drawn would have been counted.
  if (iQueryIncomplete[index] != 0) return kUnknownQueryPixels;
  if (samples == 0) return 0;
  // An imprecise query may stand for one sample or many.
  if (!iPrecise) return kUnknownQueryPixels;
  return static_cast<uint32_t>(samples < kMaxSignedCount ? samples : kMaxSignedCount);
}

bool KELVulkanClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  KELCallTimer timer(*this);
  uint32_t index = QueryIndex(query);
  // Not one of ours, never begun, or no result to come: count it as
  // visible rather than hide anything (the library reads a single result
  // as a signed value).
  pixels = kUnknownQueryPixels;
  if (index == UINT32_MAX || iQueryStates[index] == kQueryFree || iDeviceStatus != VK_SUCCESS) return true;
  // Without waiting, the submit still lets the result arrive by itself.
  if (iQueryStates[index] == kQueryRecorded) SubmitRecorded(wait);
  if (iDeviceStatus != VK_SUCCESS) return true;
  uint64_t result[2] = {0, 0};
  VkQueryResultFlags flags = VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WITH_AVAILABILITY_BIT |
                             (wait ? VK_QUERY_RESULT_WAIT_BIT : 0);
  VkResult status = vkGetQueryPoolResults(iTarget->GetInfo().iDevice, iPools[index / kQueryPoolChunk],
                                          index % kQueryPoolChunk, 1, sizeof(result), result, sizeof(result), flags);
  const bool available = status == VK_SUCCESS && result[1] != 0;
  if (!available && !wait && status >= 0) return false;
  if (!available) {
    // The library would ask again for ever: end the wait, visible.
    Fail(status < 0 ? status : VK_ERROR_UNKNOWN);
    return true;
  }
  iQueryStates[index] = kQueryRead;
  pixels = CountFor(index, result[0]);
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
  // Boxes outside one of our queries count nowhere (a null handle from a
  // failed GenQuery): not drawn, so that their storage cannot pile up.
  if (!iBoxRun.empty() && iCurrentQuery != UINT32_MAX) {
    if (iBoxes.Draw(iBoxRun.data(), static_cast<uint32_t>(iBoxRun.size()), KELVulkanBoxRenderer::kShaded))
      ++iStats.iBoxDraws;
    else
      iQueryIncomplete[iCurrentQuery] = 1;
  }
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
