#include "KELWalkthrough.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "KELDemoScenePack.h"
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

KELWalkthrough::KELWalkthrough(const kel::KELScene& scene, const KELWalkthroughOptions& options)
    : iScene(scene), iOptions(options) {}

KELWalkthrough::KELWalkthrough(const KELDemoModelScene& model, const KELWalkthroughOptions& options)
    : iScene(model.iScene), iModel(&model), iOptions(options) {}

KELWalkthrough::~KELWalkthrough() {
  // The ground truth and the streaming host draw through the renderer.
  iStreamHost.reset();
  // The records go back to the library's pools for later walkthroughs.
  for (void* partition : iPartitions) KELOcclusionCullingEngine::GetInstance()->DestroySpacePartition(partition);
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

namespace {

const char kTruthMagic[8] = {'K', 'E', 'L', 'T', 'R', 'U', 'T', '1'};

// What the ground truth depends on: the objects' boxes, the cameras and
// the image's size.
uint32_t TruthKey(const kel::KELScene& scene, const std::vector<KELFrameCamera>& cameras, int width, int height) {
  uint32_t key = 2166136261u;
  const auto mix = [&key](const void* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) key = (key ^ static_cast<const uint8_t*>(bytes)[i]) * 16777619u;
  };
  for (const kel::KELSceneObject& object : scene.iObjects) {
    mix(object.iMin, sizeof(object.iMin));
    mix(object.iMax, sizeof(object.iMax));
  }
  for (const KELFrameCamera& camera : cameras) mix(camera.iViewProjection, sizeof(camera.iViewProjection));
  mix(&width, sizeof(width));
  mix(&height, sizeof(height));
  return key;
}

}  // namespace

bool KELWalkthrough::SaveGroundTruth(const std::string& path) const {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const uint32_t header[3] = {TruthKey(iScene, iCameras, iOptions.iWidth, iOptions.iHeight),
                              static_cast<uint32_t>(iScene.iObjects.size()), static_cast<uint32_t>(iTruth.size())};
  bool written = std::fwrite(kTruthMagic, sizeof(kTruthMagic), 1, file) == 1 &&
                 std::fwrite(header, sizeof(header), 1, file) == 1;
  for (const std::vector<KELVisibleObject>& frame : iTruth) {
    const uint32_t count = static_cast<uint32_t>(frame.size());
    written = written && std::fwrite(&count, sizeof(count), 1, file) == 1 &&
              std::fwrite(frame.data(), sizeof(KELVisibleObject), count, file) == count;
  }
  return std::fclose(file) == 0 && written;
}

bool KELWalkthrough::LoadGroundTruth(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char magic[sizeof(kTruthMagic)];
  uint32_t header[3];
  const uint32_t objects = static_cast<uint32_t>(iScene.iObjects.size());
  bool read = std::fread(magic, sizeof(magic), 1, file) == 1 && std::memcmp(magic, kTruthMagic, sizeof(magic)) == 0 &&
              std::fread(header, sizeof(header), 1, file) == 1 &&
              header[0] == TruthKey(iScene, iCameras, iOptions.iWidth, iOptions.iHeight) && header[1] == objects &&
              header[2] == iCameras.size();
  std::vector<std::vector<KELVisibleObject>> truth(read ? iCameras.size() : 0);
  for (std::vector<KELVisibleObject>& frame : truth) {
    uint32_t count = 0;
    read = read && std::fread(&count, sizeof(count), 1, file) == 1 && count <= objects;
    if (!read) break;
    frame.resize(count);
    read = std::fread(frame.data(), sizeof(KELVisibleObject), count, file) == count;
    for (const KELVisibleObject& object : frame) read = read && object.iIndex < objects;
  }
  std::fclose(file);
  if (read) iTruth.swap(truth);
  return read;
}

void KELWalkthrough::ResetLibrary(bool streaming) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  // New partitions for every run: no lazy split, visibility history or last
  // visible frame carries over from another mode (destroyed records come
  // back from the pools as new).
  for (void* partition : iPartitions) engine->DestroySpacePartition(partition);
  iPartitions.clear();
  // The frame counter lives as long as the process, and the library's first
  // frames follow rules of their own: in frame 1 subjects without a history
  // are batched, and up to frame `coherency` coherency spares new subjects
  // their queries (their last visible frame is 0). Empty frames on a client
  // that does nothing take every run past them, so that a mode's figures do
  // not depend on whether it runs first.
  static KELOcclusionCullingClientAdapter idle;
  engine->SetClient(&idle);
  engine->SetStatisticsOutput(false);
  engine->StartCulling();
  for (uint32_t frame = 0; frame <= iOptions.iFrameCoherency; ++frame) engine->EndCulling();
  ApplyLibrarySettings(streaming);
}

void KELWalkthrough::ApplyLibrarySettings(bool streaming) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  engine->SetStatisticsOutput(iOptions.iLibraryStatistics);
  engine->SetClient(iRenderer->GetClient());
  engine->SetPixelHitsThreshold(iOptions.iPixelThreshold);
  engine->SetFrameCoherency(iOptions.iFrameCoherency);
  // The two settings for unloaded entries are the streaming runs' own: the
  // other runs keep the library's defaults, and so its calls.
  engine->SetReportThreshold(streaming ? iOptions.iReportThreshold
                                       : KELOcclusionCullingEngine::kFollowPixelHitsThreshold);
  engine->SetFillDepthWrites(streaming ? iOptions.iFillDepthWrites : true);
  engine->SetViewVolumeTests(iOptions.iViewTests);
  engine->SetReversedDepth(iOptions.iTarget.iReversedDepth);
}

void KELWalkthrough::BuildPartitions(bool loaded) {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  for (uint32_t p = 0; p < iScene.iPartitionCount; ++p) iPartitions.push_back(engine->CreateSpacePartition());
  iEntries.assign(iScene.iObjects.size(), nullptr);
  iLoaded.assign(iScene.iObjects.size(), loaded ? 1 : 0);
  for (size_t index = 0; index < iScene.iObjects.size(); ++index) {
    const kel::KELSceneObject& object = iScene.iObjects[index];
    float center[3];
    for (int axis = 0; axis < 3; ++axis) center[axis] = 0.5f * (object.iMin[axis] + object.iMax[axis]);
    void* entry = engine->AddEntry(iPartitions[object.iPartition], Log().ObjectPointer(static_cast<uint32_t>(index)),
                                   object.iMin, object.iMax, center, GetSceneObjectRadius(object), nullptr);
    iEntries[index] = entry;
    if (loaded) engine->EntryLoaded(entry);
  }
}

std::vector<KELFrameRecord> KELWalkthrough::Run(KELDemoMode mode, const std::function<void(int)>& progress) {
  if (mode == KELDemoMode::kStreaming) return RunStreaming(KELStreamingOrder::kOcclusion, progress);
  std::vector<KELFrameRecord> records;
  Prepare(mode);
  for (int frame = 0; frame < GetFrameCount(); ++frame) {
    records.push_back(RenderFrame(mode, frame));
    if (progress) progress(frame);
  }
  return records;
}

void KELWalkthrough::Prepare(KELDemoMode mode) {
  iStreamHost.reset();
  if (iRenderer) iRenderer->SetStreamedDrawing(false);
  bool library = mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming;
  if (library) {
    ResetLibrary(mode == KELDemoMode::kStreaming);
    BuildPartitions(mode == KELDemoMode::kLibrary);
  } else {
    iLoaded.assign(iScene.iObjects.size(), 1);
  }
  iPixelsPrevious.assign(iScene.iObjects.size(), 0);
  iMissedFrame.assign(iScene.iObjects.size(), -2);
  iEverVisible.assign(iScene.iObjects.size(), 0);
  iViewMode = mode;
  iViewFrame = 0;
}

KELFrameRecord KELWalkthrough::RenderFrame(KELDemoMode mode, int frame) {
  const KELFrameCamera& camera = iCameras[frame];
  KELFrameRecord record;
  record.iMode = mode;
  record.iFrame = frame;
  Log().BeginFrame();
  const bool library = mode == KELDemoMode::kLibrary || mode == KELDemoMode::kStreaming;
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
  if (mode == KELDemoMode::kStreaming) UpdateStreaming(camera, record);
  if (iObserver)
    iObserver(KELFrameView{mode, iStreamOrder, frame, false, camera, &iScene, Log(), iTruth[frame], iLoaded, *iRenderer});
  return record;
}

KELFrameRecord KELWalkthrough::RenderView(KELDemoMode mode, const KELFrameCamera& camera, bool truth,
                                          const std::vector<uint32_t>* objects) {
  // Views go on from the last view in the same mode; another mode starts afresh.
  if (!iViewMode || *iViewMode != mode) {
    if (mode == KELDemoMode::kStreaming && iPackIndex != nullptr) PrepareStreaming(KELStreamingOrder::kOcclusion);
    else Prepare(mode);
  }
  KELFrameRecord record;
  record.iMode = mode;
  record.iFrame = iViewFrame;
  // The ID image goes first: it shares the colour target that the window reads.
  std::vector<KELVisibleObject>& visible = iViewTruth;  // DrawView's oracle draws it
  visible.clear();
  truth = truth || (mode == KELDemoMode::kOracle && !objects);
  if (truth) iGroundTruth->Compute(camera.iViewProjection, camera.iPlanes, visible);
  bool streaming = mode == KELDemoMode::kStreaming && !objects;
  Log().BeginFrame();
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
  if (streaming && iStreamHost) UpdateStreaming(camera, record);
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
  const float scale =
      iViewMode == KELDemoMode::kStreaming ? iOptions.iStreamContributionScale : iOptions.iContributionScale;
  engine->SetContributionCullingParameters(camera.iEye, camera.iDirection, scale, 1.0f);
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
  // Partitions outside the view are the library's to skip (iViewTests).
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  const bool pvs = iOptions.iPvsPartitions && HasPvs();
  if (pvs) MarkPvs(camera);
  for (size_t p = 0; p < iPartitions.size(); ++p)
    if (!pvs || iPartitionInPvs[p]) engine->AddPartition(iPartitions[p]);
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
  uint64_t holes = 0;
  for (const KELVisibleObject& object : truth) {
    iEverVisible[object.iIndex] = 1;
    if (Log().WasDrawn(object.iIndex)) {
      ++drawnVisible;
      continue;
    }
    ++record.iMissed;
    holes += object.iPixels;
    if (iStreamHost && !iStreamHost->IsResident(object.iIndex)) ++record.iVisibleUnloaded;
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
  record.iHolePct = 100.0 * static_cast<double>(holes) / (static_cast<double>(iOptions.iWidth) * iOptions.iHeight);
  // This frame's pixels become the previous frame's.
  if (frame > 0)
    for (const KELVisibleObject& object : iTruth[frame - 1]) iPixelsPrevious[object.iIndex] = 0;
  for (const KELVisibleObject& object : truth) iPixelsPrevious[object.iIndex] = object.iPixels;
}
