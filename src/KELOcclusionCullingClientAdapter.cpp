#include "KELOcclusionCullingClient.h"

KELOcclusionCullingClient::KELOcclusionCullingClient() = default;
KELOcclusionCullingClient::KELOcclusionCullingClient(const KELOcclusionCullingClient&) = default;
KELOcclusionCullingClient& KELOcclusionCullingClient::operator=(const KELOcclusionCullingClient&) {
  return *this;
}

KELOcclusionCullingClientAdapter::KELOcclusionCullingClientAdapter() = default;
KELOcclusionCullingClientAdapter::KELOcclusionCullingClientAdapter(const KELOcclusionCullingClientAdapter&)
    : KELOcclusionCullingClient() {}
KELOcclusionCullingClientAdapter& KELOcclusionCullingClientAdapter::operator=(
    const KELOcclusionCullingClientAdapter&) {
  return *this;
}

void* KELOcclusionCullingClientAdapter::GenQuery() { return nullptr; }
void KELOcclusionCullingClientAdapter::BeginQuery(void*) {}
void KELOcclusionCullingClientAdapter::EndQuery(void*) {}
bool KELOcclusionCullingClientAdapter::GetQueryResult(void*, uint32_t&, bool) { return true; }
void KELOcclusionCullingClientAdapter::SetInside(bool) {}
void KELOcclusionCullingClientAdapter::EnableDepthTest(bool) {}
void KELOcclusionCullingClientAdapter::EnableDepthWrite(bool) {}
void KELOcclusionCullingClientAdapter::EnableColorWrite(bool) {}
void KELOcclusionCullingClientAdapter::StartDrawBoxes() {}
void KELOcclusionCullingClientAdapter::DrawBox(const float*, const float*, const float*) {}
void KELOcclusionCullingClientAdapter::EndDrawBoxes() {}
void KELOcclusionCullingClientAdapter::DrawObject(void*, const float*, bool) {}
void KELOcclusionCullingClientAdapter::OnBeginOcclusionResults() {}
void KELOcclusionCullingClientAdapter::TouchObject(void*, uint32_t, const float*, const float*, const float*) {}
void KELOcclusionCullingClientAdapter::OnEndOcclusionResults() {}
void KELOcclusionCullingClientAdapter::DebugViewportZone(const float*, const float*, bool, uint32_t) {}
