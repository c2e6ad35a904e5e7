#include "KELWalkthrough.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "KELOcclusionCullingEngine.h"
#include "KELSceneMath.h"

namespace {

const float kSky[4] = {0.62f, 0.74f, 0.88f, 1.0f};
const char* const kModeNames[] = {"draw-all", "frustum", "library", "oracle", "streaming", "pvs"};
const int kModeCount = 6;

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

const char* GetModeName(KELDemoMode mode) { return kModeNames[static_cast<int>(mode)]; }

bool ParseModeName(const std::string& name, KELDemoMode& mode) {
  for (int i = 0; i < kModeCount; ++i)
    if (name == kModeNames[i]) {
      mode = static_cast<KELDemoMode>(i);
      return true;
    }
  return false;
}

struct KELWalkthrough::KELLoadRequest {
  uint32_t iIndex;
  int iReadyFrame;
};

KELWalkthrough::KELWalkthrough(const kel::KELScene& scene, const KELWalkthroughOptions& options)
    : iScene(scene), iOptions(options) {}

KELWalkthrough::KELWalkthrough(const KELDemoModelScene& model, const KELWalkthroughOptions& options)
    : iScene(model.iScene), iModel(&model), iOptions(options) {}

KELWalkthrough::~KELWalkthrough() {
  // The ground truth draws through the renderer.
  iGroundTruth.reset();
  iRenderer.reset();
}

bool KELWalkthrough::Create(std::string& error) {
  iRenderer = MakeDemoRenderer(iOptions.iApi);
  if (!iRenderer) {
    error = std::string("the demo was built without ") + GetApiName(iOptions.iApi);
    return false;
  }
  iRenderer->SetTargetOptions(iOptions.iTarget);
  if (!iRenderer->Create(iScene, iModel != nullptr ? &iModel->iModel : nullptr, iOptions.iWidth, iOptions.iHeight,
                         error))
    return false;
  iGroundTruth.reset(new KELGroundTruth(iScene, *iRenderer));
  MakeCameras();
  return true;
}

void KELWalkthrough::MakeCameras() {
  // A model's path has its own frame count, one pose per frame.
  iCameras.resize(iModel != nullptr ? iModel->iPoses.size() : static_cast<size_t>(std::max(1, iOptions.iFrames)));
  float aspect = static_cast<float>(iOptions.iWidth) / static_cast<float>(iOptions.iHeight);
  for (size_t frame = 0; frame < iCameras.size(); ++frame) {
    KELFrameCamera& camera = iCameras[frame];
    kel::KELCameraKey key;
    if (iModel != nullptr) {
      const kel::KELCameraPose& pose = iModel->iPoses[frame];
      float direction[3];
      kel::GetPoseDirection(pose, direction);
      for (int axis = 0; axis < 3; ++axis) {
        key.iEye[axis] = pose.iEye[axis];
        key.iTarget[axis] = pose.iEye[axis] + direction[axis];
      }
    } else {
      float t = iCameras.size() > 1 ? static_cast<float>(frame) / static_cast<float>(iCameras.size() - 1) : 0.0f;
      key = kel::SampleCameraPath(iScene, t);
    }
    kel::Perspective(iOptions.iFovY, aspect, iOptions.iNearPlane, iScene.iFarPlane, camera.iProjection);
    // Reversed depth: nearer is greater (the third row negated).
    if (iOptions.iTarget.iReversedDepth)
      for (int column = 0; column < 4; ++column) camera.iProjection[column * 4 + 2] *= -1.0f;
    kel::LookAt(key.iEye, key.iTarget, camera.iView);
    kel::Multiply(camera.iProjection, camera.iView, camera.iViewProjection);
    kel::FrustumPlanes(camera.iViewProjection, camera.iPlanes);
    float length = 0;
    for (int axis = 0; axis < 3; ++axis) {
      camera.iEye[axis] = key.iEye[axis];
      camera.iDirection[axis] = key.iTarget[axis] - key.iEye[axis];
      length += camera.iDirection[axis] * camera.iDirection[axis];
    }
    for (float& component : camera.iDirection) component /= std::sqrt(length);
  }
}

void KELWalkthrough::ComputeGroundTruth(const std::function<void(int)>& progress) {
  iTruth.assign(iCameras.size(), std::vector<KELVisibleObject>());
  for (size_t frame = 0; frame < iCameras.size(); ++frame) {
    iGroundTruth->Compute(iCameras[frame].iViewProjection, iCameras[frame].iPlanes, iTruth[frame]);
    if (progress) progress(static_cast<int>(frame));
  }
}

void KELWalkthrough::BuildPartitions(bool loaded) {
  // Fresh partitions for every run, so that no visibility history carries
  // over from another mode.
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  iPartitions.clear();
  for (uint32_t p = 0; p < iScene.iPartitionCount; ++p) iPartitions.push_back(engine->CreateSpacePartition());
  iEntries.assign(iScene.iObjects.size(), nullptr);
  iLoaded.assign(iScene.iObjects.size(), loaded ? 1 : 0);
  for (size_t index = 0; index < iScene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = iScene.iObjects[index];
    float center[3], radius = 0;
    for (int axis = 0; axis < 3; ++axis) {
      center[axis] = 0.5f * (object.iMin[axis] + object.iMax[axis]);
      float half = 0.5f * (object.iMax[axis] - object.iMin[axis]);
      radius += half * half;
    }
    void* entry = engine->AddEntry(iPartitions[object.iPartition], Log().ObjectPointer(static_cast<uint32_t>(index)),
                                   object.iMin, object.iMax, center, std::sqrt(radius), nullptr);
    iEntries[index] = entry;
    if (loaded) engine->EntryLoaded(entry);
  }
}

std::vector<KELFrameRecord> KELWalkthrough::Run(KELDemoMode mode, const std::function<void(int)>& progress) {
  std::vector<KELFrameRecord> records;
  Prepare(mode);
  if (mode == KELDemoMode::kStreaming) RunStreamingWarmup(records);
  for (int frame = 0; frame < GetFrameCount(); ++frame) {
    if (mode == KELDemoMode::kStreaming) ServeLoads(frame);
    records.push_back(RenderFrame(mode, frame));
    if (mode == KELDemoMode::kStreaming) RequestLoads(frame);
    if (progress) progress(frame);
  }
  if (mode == KELDemoMode::kStreaming)
    for (size_t index = 0; index < iLoaded.size(); ++index)
      if (!iLoaded[index]) {
        ++iStreaming.iNeverLoaded;
        if (iEverVisible[index]) ++iStreaming.iVisibleNeverLoaded;
      }
  return records;
}

void KELWalkthrough::Prepare(KELDemoMode mode) {
  bool library = mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming;
  if (library) {
    KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
    engine->SetClient(iRenderer->GetClient());
    engine->SetPixelHitsThreshold(iOptions.iPixelThreshold);
    engine->SetFrameCoherency(iOptions.iFrameCoherency);
    engine->SetReversedDepth(iOptions.iTarget.iReversedDepth);
    BuildPartitions(mode == KELDemoMode::kLibrary);
  } else {
    iLoaded.assign(iScene.iObjects.size(), 1);
  }
  iPixelsPrevious.assign(iScene.iObjects.size(), 0);
  iMissedFrame.assign(iScene.iObjects.size(), -2);
  iEverVisible.assign(iScene.iObjects.size(), 0);
  iRequests.clear();
  iRequested.assign(iScene.iObjects.size(), 0);
  iRequestPixels.assign(iScene.iObjects.size(), 0);
  iStreaming = KELStreamingSummary();
  iViewMode = mode;
  iViewFrame = 0;
}

void KELWalkthrough::RunStreamingWarmup(std::vector<KELFrameRecord>& records) {
  // The camera waits at the first view until everything that the threshold
  // promises to find is drawn.
  for (int step = 0; step < iOptions.iStreamWarmupLimit; ++step) {
    ServeLoads(step);
    KELFrameRecord record = RenderFrame(KELDemoMode::kStreaming, 0);
    record.iWarmup = true;
    record.iFrame = step;
    records.push_back(record);
    RequestLoads(step);
    if (record.iMissedChecked == 0) {
      iStreaming.iFramesToComplete = step + 1;
      break;
    }
  }
  // The path itself is judged afresh.
  std::fill(iPixelsPrevious.begin(), iPixelsPrevious.end(), 0u);
  std::fill(iMissedFrame.begin(), iMissedFrame.end(), -2);
  // Pending requests keep their place in line, ready from the path's start.
  for (KELLoadRequest& request : iRequests) request.iReadyFrame = 0;
}

KELFrameRecord KELWalkthrough::RenderFrame(KELDemoMode mode, int frame) {
  const KELFrameCamera& camera = iCameras[frame];
  KELFrameRecord record;
  record.iMode = mode;
  record.iFrame = frame;
  Log().BeginFrame();
  const bool library = mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming;
  Log().SetViewPlanes(library && iOptions.iHostFrustum ? camera.iPlanes : nullptr);
  Log().SetAllowed(nullptr);
  auto start = std::chrono::steady_clock::now();
  iRenderer->BeginFrame(kSky, camera.iViewProjection);
  if (library)
    RenderWithLibrary(camera, record);
  else
    RenderWithoutLibrary(mode, frame, camera);
  iRenderer->EndFrame();
  record.iFrameMs = MillisecondsSince(start);
  record.iDrawn = Log().GetDrawnCount();
  record.iTouched = static_cast<uint32_t>(Log().GetTouched().size());
  record.iLoaded = static_cast<uint32_t>(std::count(iLoaded.begin(), iLoaded.end(), 1));
  Compare(frame, record);
  if (iObserver) iObserver(KELFrameView{mode, frame, false, camera, &iScene, Log(), iTruth[frame], iLoaded, *iRenderer});
  return record;
}

KELFrameRecord KELWalkthrough::RenderView(KELDemoMode mode, const KELFrameCamera& camera, bool truth,
                                          const std::vector<uint32_t>* objects) {
  // Views go on from the last view in the same mode; another mode starts afresh.
  if (!iViewMode || *iViewMode != mode) Prepare(mode);
  KELFrameRecord record;
  record.iMode = mode;
  record.iFrame = iViewFrame;
  // The ID image goes first: it shares the colour target that the window reads.
  std::vector<KELVisibleObject>& visible = iViewTruth;  // DrawView's oracle draws it
  visible.clear();
  truth = truth || (mode == KELDemoMode::kOracle && !objects);
  if (truth) iGroundTruth->Compute(camera.iViewProjection, camera.iPlanes, visible);
  bool streaming = mode == KELDemoMode::kStreaming && !objects;
  if (streaming) ServeLoads(iViewFrame);
  Log().BeginFrame();
  const bool library = (mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming) && !objects;
  Log().SetViewPlanes(library && iOptions.iHostFrustum ? camera.iPlanes : nullptr);
  Log().SetAllowed(nullptr);
  auto start = std::chrono::steady_clock::now();
  iRenderer->BeginFrame(kSky, camera.iViewProjection);
  DrawView(mode, camera, objects, record);
  iRenderer->EndFrame();
  record.iFrameMs = MillisecondsSince(start);
  record.iDrawn = Log().GetDrawnCount();
  record.iTouched = static_cast<uint32_t>(Log().GetTouched().size());
  record.iLoaded = static_cast<uint32_t>(std::count(iLoaded.begin(), iLoaded.end(), 1));
  if (truth) {
    record.iVisible = static_cast<uint32_t>(visible.size());
    for (const KELVisibleObject& object : visible)
      if (!Log().WasDrawn(object.iIndex)) {
        ++record.iMissed;
        if (object.iPixels > iOptions.iCheckedPixels) ++record.iMissedChecked;
      }
  }
  if (streaming) RequestLoads(iViewFrame);
  ++iViewFrame;
  return record;
}

void KELWalkthrough::DrawView(KELDemoMode mode, const KELFrameCamera& camera, const std::vector<uint32_t>* objects,
                              KELFrameRecord& record) {
  if (objects) {
    iRenderer->DrawObjects(objects->data(), static_cast<uint32_t>(objects->size()));
  } else if (mode == KELDemoMode::kOracle) {
    iOracleScratch.clear();
    for (const KELVisibleObject& object : iViewTruth) iOracleScratch.push_back(object.iIndex);
    iRenderer->DrawObjects(iOracleScratch.data(), static_cast<uint32_t>(iOracleScratch.size()));
  } else if (mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming) {
    RenderWithLibrary(camera, record);
  } else {
    RenderWithoutLibrary(mode, 0, camera);
  }
}

void KELWalkthrough::GetDrawnObjects(std::vector<uint32_t>& objects) {
  objects.clear();
  for (uint32_t index = 0; index < iScene.iObjects.size(); ++index)
    if (Log().WasDrawn(index)) objects.push_back(index);
}

void KELWalkthrough::RenderWithLibrary(const KELFrameCamera& camera, KELFrameRecord& record) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  engine->SetViewMatrix(camera.iView);
  engine->SetProjectionMatrix(camera.iProjection);
  const float* planes[6];
  for (int i = 0; i < 6; ++i) planes[i] = camera.iPlanes[i];
  engine->SetClippingPlanes(6, planes);
  engine->SetContributionCullingParameters(camera.iEye, camera.iDirection, iOptions.iContributionScale, 1.0f);
  iRenderer->BeginCulling(camera.iView, camera.iProjection);
  engine->StartCulling();
  AddPartitions(camera);
  auto start = std::chrono::steady_clock::now();
  engine->EndCulling();
  record.iCullMs = MillisecondsSince(start);
  KELDemoClientStats stats = iRenderer->GetClientStats();
  record.iClientMs = stats.iClientSeconds * 1000.0;
  record.iQueries = stats.iQueries;
  record.iSubmits = stats.iSubmits;
  record.iBatches = stats.iBatches;
  record.iFillQueries = stats.iFillQueries;
  record.iBoxes = stats.iBoxes;
}

void KELWalkthrough::AddPartitions(const KELFrameCamera& camera) {
  // The library counts a partition whose root reaches behind the camera as
  // visible without a query: one wholly outside the view volume would hand
  // all its objects to drawing.
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  const bool pvs = iOptions.iPvsPartitions && HasPvs();
  if (pvs) MarkPvs(camera);
  for (size_t p = 0; p < iPartitions.size(); ++p) {
    void* partition = iPartitions[p];
    if (pvs && !iPartitionInPvs[p]) continue;
    if (iOptions.iViewPartitions) {
      float min[3], max[3];
      engine->GetPartitionBounds(partition, min, max);
      if (min[0] > max[0] || kel::BoxOutsidePlanes(camera.iPlanes, min, max)) continue;
    }
    engine->AddPartition(partition);
  }
}

void KELWalkthrough::MarkPvs(const KELFrameCamera& camera) {
  kel::CollectVisibleEntries(iModel->iModel, camera.iEye, iPvsScratch);
  iInPvs.assign(iScene.iObjects.size(), 0);
  iPartitionInPvs.assign(iPartitions.size(), 0);
  for (uint32_t index : iPvsScratch) {
    iInPvs[index] = 1;
    iPartitionInPvs[iScene.iObjects[index].iPartition] = 1;
  }
  Log().SetAllowed(iInPvs.data());
}

void KELWalkthrough::CollectPvs(const KELFrameCamera& camera, std::vector<uint32_t>& list) {
  // The camera's leaf and cluster, the entries of every cluster it may see,
  // then a frustum test per entry.
  kel::CollectVisibleEntries(iModel->iModel, camera.iEye, iPvsScratch);
  for (uint32_t index : iPvsScratch) {
    const kel::KELSceneObject& object = iScene.iObjects[index];
    if (!kel::BoxOutsidePlanes(camera.iPlanes, object.iMin, object.iMax)) list.push_back(index);
  }
}

void KELWalkthrough::RenderWithoutLibrary(KELDemoMode mode, int frame, const KELFrameCamera& camera) {
  std::vector<uint32_t>& list = mode == KELDemoMode::kOracle ? iOracleScratch : iFrustumScratch;
  list.clear();
  if (mode == KELDemoMode::kOracle) {
    for (const KELVisibleObject& object : iTruth[frame]) list.push_back(object.iIndex);
  } else if (mode == KELDemoMode::kPvs && HasPvs()) {
    CollectPvs(camera, list);
  } else {
    for (uint32_t index = 0; index < iScene.iObjects.size(); ++index) {
      const kel::KELSceneObject& object = iScene.iObjects[index];
      if (mode == KELDemoMode::kFrustum && kel::BoxOutsidePlanes(camera.iPlanes, object.iMin, object.iMax)) continue;
      list.push_back(index);
    }
  }
  iRenderer->DrawObjects(list.data(), static_cast<uint32_t>(list.size()));
}

void KELWalkthrough::Compare(int frame, KELFrameRecord& record) {
  const std::vector<KELVisibleObject>& truth = iTruth[frame];
  const uint32_t checked = iOptions.iCheckedPixels;
  record.iVisible = static_cast<uint32_t>(truth.size());
  uint32_t drawnVisible = 0;
  for (const KELVisibleObject& object : truth) {
    iEverVisible[object.iIndex] = 1;
    if (Log().WasDrawn(object.iIndex)) {
      ++drawnVisible;
      continue;
    }
    ++record.iMissed;
    if (object.iPixels <= checked) continue;
    ++record.iMissedChecked;
    if (iPixelsPrevious[object.iIndex] > checked)
      ++record.iLateMisses;
    else
      ++record.iPops;
    if (iMissedFrame[object.iIndex] == frame - 1) ++record.iRepeatMisses;
    iMissedFrame[object.iIndex] = frame;
  }
  record.iExtra = record.iDrawn - drawnVisible;
  // This frame's pixels become the previous frame's.
  if (frame > 0)
    for (const KELVisibleObject& object : iTruth[frame - 1]) iPixelsPrevious[object.iIndex] = 0;
  for (const KELVisibleObject& object : truth) iPixelsPrevious[object.iIndex] = object.iPixels;
}

void KELWalkthrough::RequestLoads(int frame) {
  for (const std::pair<uint32_t, uint32_t>& touched : Log().GetTouched()) {
    uint32_t index = touched.first;
    if (iLoaded[index]) continue;
    // The latest pixel count decides the order in line.
    iRequestPixels[index] = touched.second;
    if (iRequested[index]) continue;
    iRequested[index] = 1;
    iRequests.push_back(KELLoadRequest{index, frame + iOptions.iStreamDelay});
  }
}

void KELWalkthrough::ServeLoads(int frame) {
  // Of the requests that are due, the largest on screen load first.
  const std::vector<uint32_t>& pixels = iRequestPixels;
  std::stable_sort(iRequests.begin(), iRequests.end(),
                   [frame, &pixels](const KELLoadRequest& a, const KELLoadRequest& b) {
                     bool readyA = a.iReadyFrame <= frame, readyB = b.iReadyFrame <= frame;
                     if (readyA != readyB) return readyA;
                     return pixels[a.iIndex] > pixels[b.iIndex];
                   });
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  uint32_t served = 0;
  while (served < iRequests.size() && served < iOptions.iStreamPerFrame && iRequests[served].iReadyFrame <= frame) {
    uint32_t index = iRequests[served].iIndex;
    engine->EntryLoaded(iEntries[index]);
    iLoaded[index] = 1;
    ++served;
  }
  iRequests.erase(iRequests.begin(), iRequests.begin() + served);
}
