// Engine façade: the singleton, its settings, and the partition and entry
// operations that forward to the zone code.
#include "KELOcclusionCullingEngine.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "KEL3DZone.h"
#include "KELContribution.h"
#include "KELCullingFrame.h"
#include "KELCullingStatistics.h"
#include "KELMemory.h"
#include "KELSettings.h"
#include "KELView.h"

uint32_t KELSettings::_pixelHitsThreshold = 300;
uint32_t KELSettings::_frameCoherency = 0;
uint32_t KELSettings::_reportThreshold = KELOcclusionCullingEngine::kFollowPixelHitsThreshold;
bool KELSettings::_fillDepthWrites = true;
bool KELSettings::_reversedDepth = false;
int32_t KELSettings::_frameCounter = 0;

KELOcclusionCullingEngine* KELOcclusionCullingEngine::_instance = nullptr;

int TALBEK_WORKS_QBN5_INTERNAL_KELScreenSpacePartitioning() { return 1; }

namespace {

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Points plane i of a block at its slot and copies it there; a null plane
// stays null, and the frame leaves it out of the clip test.
// memmove: `planes` may be the block itself.
void FillPlanes(float** pointers, int32_t count, const float* const* planes) {
  float* values = reinterpret_cast<float*>(pointers + count);
  for (int32_t i = 0; i < count; ++i) {
    const float* plane = planes[i];
    pointers[i] = plane != nullptr ? values + 4 * i : nullptr;
    if (plane != nullptr) std::memmove(pointers[i], plane, 4 * sizeof(float));
  }
}

// One block: `count` plane pointers followed by the planes they point to.
// Null when count is 0 or memory runs out.
float** CopyPlanes(int32_t count, const float* const* planes) {
  if (count <= 0 || planes == nullptr) return nullptr;
  size_t bytes = static_cast<size_t>(count) * (sizeof(float*) + 4 * sizeof(float));
  void* block = KELGlobalAllocate(bytes);
  if (block == nullptr) return nullptr;
  float** pointers = static_cast<float**>(block);
  FillPlanes(pointers, count, planes);
  return pointers;
}

KEL3DZone* Zone(void* partition) { return static_cast<KEL3DZone*>(partition); }
KEL3DZoneEntry* Entry(void* entry) { return static_cast<KEL3DZoneEntry*>(entry); }

}  // namespace

KELOcclusionCullingEngine* KELOcclusionCullingEngine::GetInstance() {
  if (_instance == nullptr) {
    void* memory = KELGlobalAllocate(sizeof(KELOcclusionCullingEngine));
    if (memory != nullptr) _instance = new (memory) KELOcclusionCullingEngine();
  }
  return _instance;
}

// Unset values are fixed: identity matrices, no planes, and zero
// contribution scales, which make nothing too small.
KELOcclusionCullingEngine::KELOcclusionCullingEngine()
    : iClient(nullptr), iPartitions(10), iClipPlaneCount(0), iEyePosition{0, 0, 0},
      iScaledDirection{0, 0, 0}, iContributionOffset(0), iClipPlanes(nullptr), iViewVolumeTests(false), iChosenView(0),
      iFrameView(0) {
  std::memcpy(iProjectionMatrix, kIdentity, sizeof(kIdentity));
  std::memcpy(iViewMatrix, kIdentity, sizeof(kIdentity));
}

// Each copy owns its planes, so that one copy's SetClippingPlanes cannot
// free planes another copy still reads.
KELOcclusionCullingEngine::KELOcclusionCullingEngine(const KELOcclusionCullingEngine& other)
    : iClient(other.iClient), iPartitions(other.iPartitions), iClipPlaneCount(other.iClipPlaneCount),
      iContributionOffset(other.iContributionOffset), iViewVolumeTests(other.iViewVolumeTests),
      iChosenView(other.iChosenView), iFrameView(other.iFrameView) {
  std::memcpy(iEyePosition, other.iEyePosition, sizeof(iEyePosition));
  std::memcpy(iScaledDirection, other.iScaledDirection, sizeof(iScaledDirection));
  std::memcpy(iProjectionMatrix, other.iProjectionMatrix, sizeof(iProjectionMatrix));
  std::memcpy(iViewMatrix, other.iViewMatrix, sizeof(iViewMatrix));
  iClipPlanes = CopyPlanes(other.iClipPlaneCount, other.iClipPlanes);
  if (iClipPlanes == nullptr) iClipPlaneCount = 0;
}

KELOcclusionCullingEngine& KELOcclusionCullingEngine::operator=(const KELOcclusionCullingEngine& other) {
  if (this == &other) return *this;
  iClient = other.iClient;
  iPartitions = other.iPartitions;
  std::memcpy(iEyePosition, other.iEyePosition, sizeof(iEyePosition));
  std::memcpy(iScaledDirection, other.iScaledDirection, sizeof(iScaledDirection));
  iContributionOffset = other.iContributionOffset;
  std::memcpy(iProjectionMatrix, other.iProjectionMatrix, sizeof(iProjectionMatrix));
  std::memcpy(iViewMatrix, other.iViewMatrix, sizeof(iViewMatrix));
  iViewVolumeTests = other.iViewVolumeTests;
  iChosenView = other.iChosenView;
  iFrameView = other.iFrameView;
  SetClippingPlanes(other.iClipPlaneCount, other.iClipPlanes);
  return *this;
}

KELOcclusionCullingEngine::~KELOcclusionCullingEngine() {
  KELForgetHeldPartitions(this, nullptr);
  iPartitions.Release();
  std::free(iClipPlanes);
  iClipPlanes = nullptr;
  iClipPlaneCount = 0;
}

void KELOcclusionCullingEngine::SetClient(KELOcclusionCullingClient* client) { iClient = client; }

void KELOcclusionCullingEngine::SetViewMatrix(const float* matrix) {
  if (matrix != nullptr) std::memcpy(iViewMatrix, matrix, sizeof(iViewMatrix));
}

void KELOcclusionCullingEngine::SetProjectionMatrix(const float* matrix) {
  if (matrix != nullptr) std::memcpy(iProjectionMatrix, matrix, sizeof(iProjectionMatrix));
}

void KELOcclusionCullingEngine::SetPixelHitsThreshold(uint32_t pixels) { KELSettings::_pixelHitsThreshold = pixels; }
void KELOcclusionCullingEngine::SetReportThreshold(uint32_t pixels) { KELSettings::_reportThreshold = pixels; }
void KELOcclusionCullingEngine::SetFillDepthWrites(bool write) { KELSettings::_fillDepthWrites = write; }

void KELOcclusionCullingEngine::SetFrameCoherency(uint32_t frames) { KELSettings::_frameCoherency = frames; }

void KELOcclusionCullingEngine::SetReversedDepth(bool reversed) { KELSettings::_reversedDepth = reversed; }

void KELOcclusionCullingEngine::SetStatisticsOutput(bool on) { KELCullingStatistics::_output = on; }

void KELOcclusionCullingEngine::GetLastStatistics(int32_t counts[6]) {
  if (counts != nullptr) KELCullingStatistics::_last.GetCounts(counts);
}

void KELOcclusionCullingEngine::SetClippingPlanes(int32_t count, const float* const* planes) {
  // Hosts set their frustum every frame: reuse the block when the count
  // stays, so that a steady frame allocates nothing.
  if (count > 0 && planes != nullptr && count == iClipPlaneCount && iClipPlanes != nullptr) {
    FillPlanes(iClipPlanes, count, planes);
    return;
  }
  // Copy first: `planes` may be this engine's own array.
  float** copy = CopyPlanes(count, planes);
  // Without memory the previous planes stay, as every failing operation
  // changes nothing.
  if (copy == nullptr && count > 0 && planes != nullptr) return;
  std::free(iClipPlanes);
  iClipPlanes = copy;
  iClipPlaneCount = copy != nullptr ? count : 0;
}

void KELOcclusionCullingEngine::SetContributionCullingParameters(const float* eye, const float* direction,
                                                                 float scale1, float scale2) {
  if (eye == nullptr || direction == nullptr) return;
  for (int i = 0; i < 3; ++i) {
    iEyePosition[i] = eye[i];
    iScaledDirection[i] = static_cast<float>(static_cast<double>(direction[i]) * scale1 * scale2);
  }
  const float* s = iScaledDirection;
  const float* e = iEyePosition;
  iContributionOffset = static_cast<float>((static_cast<double>(s[1]) * e[1] + static_cast<double>(e[0]) * s[0]) +
                                           static_cast<double>(s[2]) * e[2]);
}

void KELOcclusionCullingEngine::SetViewVolumeTests(bool on) { iViewVolumeTests = on; }

bool KELOcclusionCullingEngine::IsTooSmall(const float* center, float radius) {
  if (center == nullptr) return false;
  return KELIsTooSmall(iScaledDirection, iContributionOffset, center, radius);
}

void* KELOcclusionCullingEngine::CreateSpacePartition() { return KEL3DZone::CreateRoot(); }

void KELOcclusionCullingEngine::DestroySpacePartition(void* partition) {
  // Destroyed already: its zones are in the pool and must go there once.
  if (partition == nullptr || Zone(partition)->IsPooled()) return;
  int32_t kept = 0;
  for (int32_t i = 0; i < iPartitions.count; ++i)
    if (iPartitions.data[i] != partition) iPartitions.data[kept++] = iPartitions.data[i];
  iPartitions.count = kept;
  KELForgetHeldPartitions(this, partition);
  Zone(partition)->Destroy();
}

void KELOcclusionCullingEngine::ActivateSpacePartition(void* partition, bool active) {
  if (partition != nullptr) Zone(partition)->SetActive(active);
}

void KELOcclusionCullingEngine::GetPartitionBounds(void* partition, float* min, float* max) {
  if (partition == nullptr || min == nullptr || max == nullptr) return;
  std::memcpy(min, Zone(partition)->iMin, 3 * sizeof(float));
  std::memcpy(max, Zone(partition)->iMax, 3 * sizeof(float));
}

void KELOcclusionCullingEngine::TraverseSpacePartition(void* partition, KELSpacePartitionTraversal* traversal,
                                                       bool force) {
  if (partition != nullptr && traversal != nullptr) Zone(partition)->WalkForHost(traversal, force);
}

// A list that cannot grow (no memory) hands the partition to the held
// store, so that the frame culls it rather than drop it.
void KELOcclusionCullingEngine::AddPartition(void* partition) {
  if (partition != nullptr && !iPartitions.Append(partition)) KELHoldPartition(this, partition);
}

void* KELOcclusionCullingEngine::AddEntry(void* partition, void* object, const float* min, const float* max,
                                          const float* center, float radius, const float* matrix) {
  if (min == nullptr || max == nullptr || center == nullptr) return nullptr;
  return KELCreateEntry(Zone(partition), object, min, max, center, radius, matrix);
}

void KELOcclusionCullingEngine::UpdateEntry(void* entry, const float* min, const float* max, const float* center,
                                            float radius, const float* matrix) {
  if (min == nullptr || max == nullptr || center == nullptr) return;
  KELUpdateEntry(Entry(entry), min, max, center, radius, matrix);
}

void KELOcclusionCullingEngine::RemoveEntry(void* entry) { KELRemoveEntry(Entry(entry)); }

void KELOcclusionCullingEngine::EntryLoaded(void* entry) {
  if (entry != nullptr && Entry(entry)->iZone != nullptr) Entry(entry)->iZone->SetEntryLoaded(Entry(entry));
}

void KELOcclusionCullingEngine::EntryUnLoaded(void* entry) {
  if (entry != nullptr && Entry(entry)->iZone != nullptr) Entry(entry)->iZone->SetEntryUnloaded(Entry(entry));
}

void KELOcclusionCullingEngine::SetVisibility(void* entry, bool visible) {
  if (entry == nullptr) return;
  KEL3DZoneEntry* record = Entry(entry);
  record->iFlags = visible ? (record->iFlags & ~kEntryHidden) : (record->iFlags | kEntryHidden);
}

void KELOcclusionCullingEngine::SetTransparency(void* entry, bool transparent) {
  if (entry == nullptr) return;
  KEL3DZoneEntry* record = Entry(entry);
  record->iFlags = transparent ? (record->iFlags | kEntryTransparent) : (record->iFlags & ~kEntryTransparent);
}

// Room for as many partitions as the last frame had, held ones included, is
// made here, so that a frame like the last one never needs the held store.
void KELOcclusionCullingEngine::StartCulling() {
  iFrameView = iChosenView;
  const int32_t held = KELForgetHeldPartitions(this, nullptr);
  if (held > 0) iPartitions.Reserve(iPartitions.count + held);
  iPartitions.count = 0;
}

void* KELOcclusionCullingEngine::CreateView() { return KELView::Create(); }

void KELOcclusionCullingEngine::DestroyView(void* view) {
  if (KELView* record = KELView::FromHandle(view)) record->Destroy();
}

// An unknown or destroyed handle selects the default view, as null does.
void KELOcclusionCullingEngine::SetView(void* view) {
  KELView* record = KELView::FromHandle(view);
  iChosenView = record != nullptr ? record->Key() : 0u;
}
