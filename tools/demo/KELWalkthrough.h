// One camera walk through a scene, rendered in several modes on the same
// headless context, each frame compared with the exact visible set.
#ifndef KEL_WALKTHROUGH_H
#define KEL_WALKTHROUGH_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KELDemoFrameLog.h"
#include "KELDemoModelScene.h"
#include "KELDemoRenderer.h"
#include "KELGroundTruth.h"
#include "KELOcclusionCullingEngine.h"
#include "KELScene.h"
#include "KELStreaming.h"

// kPvs: a level's own potentially visible set, then a frustum test per entry.
enum class KELDemoMode { kDrawAll, kFrustum, kLibrary, kOracle, kStreaming, kPvs };
const char* GetModeName(KELDemoMode mode);
// False for an unknown name.
bool ParseModeName(const std::string& name, KELDemoMode& mode);

struct KELFrameRecord {
  KELDemoMode iMode = KELDemoMode::kDrawAll;
  KELStreamingOrder iOrder = KELStreamingOrder::kOcclusion;  // of a streaming run
  int iFrame = 0;
  bool iWarmup = false;        // streaming: the camera rests at the first view
  uint32_t iDrawn = 0;         // distinct objects drawn
  uint32_t iTouched = 0;
  uint32_t iQueries = 0;
  uint32_t iSubmits = 0;       // submits to get query results (Vulkan)
  uint32_t iBatches = 0;
  uint32_t iFillQueries = 0;
  uint32_t iBoxes = 0;
  uint32_t iLoaded = 0;        // entries loaded (streaming), else all
  double iHolePct = 0;         // pixels of visible objects not drawn, in % of the screen
  uint32_t iVisible = 0;       // ground truth: objects with a visible pixel
  uint32_t iMissed = 0;        // visible, not drawn
  uint32_t iMissedChecked = 0; // of those, with more than the checked pixels
  uint32_t iExtra = 0;         // drawn, not visible
  // Of the missed objects with more than the checked pixel count: those
  // that were not above it in the previous frame (just came into view),
  // those that were (late), and those missed in the previous frame too.
  uint32_t iPops = 0;
  uint32_t iLateMisses = 0;
  uint32_t iRepeatMisses = 0;
  double iCullMs = 0;          // inside EndCulling
  double iClientMs = 0;        // inside client calls (part of iCullMs)
  double iFrameMs = 0;         // clear to glFinish (streaming: and the host's update)
  // Streaming runs: after the frame's update.
  uint32_t iVisibleUnloaded = 0;  // visible objects without their mesh
  double iResidentMb = 0;         // held: GPU copies, decoded blocks, reads
  double iReadMb = 0;             // read in this frame's update
  uint32_t iLoads = 0;
  uint32_t iEvictions = 0;
  uint32_t iPending = 0;          // wanted, not loaded
  double iUploadMs = 0;
  double iElapsedMs = 0;          // since the run started
  // Several views a frame (KELDemoViews): the view's name, and for a light
  // the shadow-map texels that differ from the map of every caster (-1:
  // not a light, or not read back).
  std::string iView;
  int64_t iShadowTexelsDiffer = -1;
};

struct KELWalkthroughOptions {
  KELDemoApi iApi = KELDemoApi::kOpenGL;
  int iWidth = 640;
  int iHeight = 360;
  int iFrames = 240;
  float iFovY = 1.0f;
  float iNearPlane = 0.5f;
  uint32_t iPixelThreshold = 300;
  // The library's settings for streaming hosts (library and streaming
  // modes): a separate threshold for reports of unloaded entries, and
  // whether fill queries write depth.
  uint32_t iReportThreshold = KELOcclusionCullingEngine::kFollowPixelHitsThreshold;
  bool iFillDepthWrites = true;
  uint32_t iFrameCoherency = 0;
  float iContributionScale = 0;  // 0: no contribution culling
  float iStreamContributionScale = 0;  // the same for streaming runs
  // Misses are judged for objects with more visible pixels than this.
  uint32_t iCheckedPixels = 0;
  // Streaming runs: the streaming host's options (the order is the run's),
  // and the frames the camera rests at the first pose before its path.
  KELStreamingOptions iStream;
  int iRestFrames = 30;
  // The library's view-volume tests (SetViewVolumeTests) in the library
  // modes: partitions and handed objects outside the view are skipped.
  bool iViewTests = false;
  // Levels: add only the partitions that hold an entry of the camera's
  // potentially visible set, and draw only such entries.
  bool iPvsPartitions = false;
  // The target and host: samples per pixel (set the threshold in samples),
  // reversed depth (the cameras' projections map near to depth 1 and far
  // to 0), an engine-like OpenGL host.
  KELDemoTargetOptions iTarget;
  // The library's six statistics lines per frame on standard output.
  bool iLibraryStatistics = false;
};

// A streaming run: what it held and read, and when the first view was
// complete (hole pixels at most kCompleteHolePct of the screen while the
// camera rests; -1 if never).
struct KELStreamingSummary {
  KELStreamingOrder iOrder = KELStreamingOrder::kOcclusion;
  uint64_t iBudgetBytes = 0;       // 0: none
  uint64_t iPeakHeldBytes = 0;
  uint64_t iReadBytes = 0;
  int iFramesToComplete = -1;
  double iMsToComplete = -1;
  double iLoadAllMs = 0;           // the all order: reading everything before the first frame
  uint32_t iEvictions = 0;
  uint32_t iNeverLoaded = 0;       // entries never loaded in the whole run
  uint32_t iVisibleNeverLoaded = 0;  // of those, visible in some frame
  uint32_t iMissingMeshes = 0;     // handed to drawing without a mesh (0 in a sound run)
  std::vector<std::string> iFailures;  // blocks refused
};
const double kCompleteHolePct = 0.5;

struct KELFrameCamera {
  float iView[16];
  float iProjection[16];
  float iViewProjection[16];
  float iPlanes[6][4];
  float iEye[3];
  float iDirection[3];
};

// What an observer sees after each frame (for pictures).
struct KELFrameView {
  KELDemoMode iMode;
  KELStreamingOrder iOrder;  // of a streaming run
  int iFrame;
  bool iWarmup;
  const KELFrameCamera& iCamera;
  const kel::KELScene* iScene;
  const KELDemoFrameLog& iHost;
  const std::vector<KELVisibleObject>& iTruth;
  const std::vector<uint8_t>& iLoaded;
  KELDemoRenderer& iRenderer;
};

class KELWalkthrough {
public:
  KELWalkthrough(const kel::KELScene& scene, const KELWalkthroughOptions& options);
  // A model's scene: its meshes are drawn, its poses give one frame each.
  // `model` must outlive the walkthrough.
  KELWalkthrough(const KELDemoModelScene& model, const KELWalkthroughOptions& options);
  ~KELWalkthrough();

  bool Create(std::string& error);
  std::string GetRendererName() const { return iRenderer->GetDeviceName(); }
  // Valid after Create.
  KELDemoRenderer& GetRenderer() { return *iRenderer; }
  // Validation errors of the renderer so far, or -1 when it does not validate.
  int GetValidationErrors() const { return iRenderer->GetValidationErrors(); }
  int GetFrameCount() const { return static_cast<int>(iCameras.size()); }
  const KELFrameCamera& GetCamera(int frame) const { return iCameras[frame]; }
  const kel::KELScene& GetScene() const { return iScene; }
  // Whether the scene has a potentially visible set (the pvs mode runs).
  bool HasPvs() const { return iModel != nullptr && iModel->iModel.iIsLevel; }

  // The exact visible set of every frame (not timed); before any Run.
  void ComputeGroundTruth(const std::function<void(int)>& progress);
  const std::vector<KELVisibleObject>& GetTruth(int frame) const { return iTruth[frame]; }
  // The exact visible sets kept in a file, for runs of the same scene, path
  // and size with other settings: Load is false (nothing changed) unless
  // the file was saved for exactly these objects, cameras and pixels.
  bool SaveGroundTruth(const std::string& path) const;
  bool LoadGroundTruth(const std::string& path);
  // Renders the whole path in one mode (streaming: the occlusion order).
  std::vector<KELFrameRecord> Run(KELDemoMode mode, const std::function<void(int)>& progress);
  // The pack the streaming runs read; it must hold the scene's objects
  // (CheckPackMatchesScene). Both must outlive the walkthrough.
  void SetPack(const KELPackIndex* index, KELPackSource* source);
  // A streaming run in `order`: every entry unloaded at first, streamed
  // from the pack; the camera rests iRestFrames frames at the first pose
  // (records marked iWarmup), then follows its path.
  std::vector<KELFrameRecord> RunStreaming(KELStreamingOrder order, const std::function<void(int)>& progress);
  // Of the last streaming run.
  const KELStreamingSummary& GetStreamingSummary() const { return iStreaming; }
  // One frame of `mode` seen from any camera (the interactive window),
  // going on from earlier views in the same mode (a new mode starts afresh,
  // as a run does); compared with nothing, no observer. With `truth`
  // (implied by oracle) the exact visible set is computed first and counted
  // in iVisible, iMissed and iMissedChecked. With `objects`, exactly those
  // are drawn instead of the mode's own choice (a frozen result seen from
  // elsewhere). The renderer's ReadColor gives the image afterwards.
  KELFrameRecord RenderView(KELDemoMode mode, const KELFrameCamera& camera, bool truth,
                            const std::vector<uint32_t>* objects);
  // The objects drawn in the last frame, by index.
  void GetDrawnObjects(std::vector<uint32_t>& objects);
  void SetFrameObserver(std::function<void(const KELFrameView&)> observer) { iObserver = std::move(observer); }

private:
  friend class KELViewsWalk;
  void MakeCameras();
  // Resets what a run of `mode` starts from (partitions, loading, misses).
  void Prepare(KELDemoMode mode);
  // Brings the library to the state every run starts from.
  void ResetLibrary(bool streaming);
  // The run's settings and client in the library (those for unloaded
  // entries only in a streaming run).
  void ApplyLibrarySettings(bool streaming);
  void BuildPartitions(bool loaded);
  KELFrameRecord RenderFrame(KELDemoMode mode, int frame);
  void RenderWithLibrary(const KELFrameCamera& camera, KELFrameRecord& record);
  // A view's objects: `objects` when given, else what `mode` draws.
  void DrawView(KELDemoMode mode, const KELFrameCamera& camera, const std::vector<uint32_t>* objects,
                KELFrameRecord& record);
  void AddPartitions(const KELFrameCamera& camera);
  void MarkPvs(const KELFrameCamera& camera);
  void CollectPvs(const KELFrameCamera& camera, std::vector<uint32_t>& list);
  void RenderWithoutLibrary(KELDemoMode mode, int frame, const KELFrameCamera& camera);
  KELDemoFrameLog& Log() { return iRenderer->GetFrameLog(); }
  void Compare(int frame, KELFrameRecord& record);
  void PrepareStreaming(KELStreamingOrder order);
  void UpdateStreaming(const KELFrameCamera& camera, KELFrameRecord& record);
  void FinishStreaming();

  const kel::KELScene& iScene;
  const KELDemoModelScene* iModel = nullptr;
  KELWalkthroughOptions iOptions;
  std::unique_ptr<KELDemoRenderer> iRenderer;
  std::unique_ptr<KELGroundTruth> iGroundTruth;
  std::vector<KELFrameCamera> iCameras;
  std::vector<std::vector<KELVisibleObject>> iTruth;
  std::vector<void*> iPartitions;
  std::vector<void*> iEntries;
  std::vector<uint8_t> iLoaded;
  std::vector<uint8_t> iEverVisible;
  std::vector<uint8_t> iEverLoaded;  // streaming
  const KELPackIndex* iPackIndex = nullptr;
  KELPackSource* iPackSource = nullptr;
  std::unique_ptr<KELStreamingHost> iStreamHost;
  KELStreamingOrder iStreamOrder = KELStreamingOrder::kOcclusion;
  std::vector<uint32_t> iPixelsPrevious;
  std::vector<int> iMissedFrame;  // last frame each object was missed, -2 if never
  std::vector<uint32_t> iFrustumScratch;
  std::vector<uint32_t> iOracleScratch;
  std::vector<uint32_t> iPvsScratch;
  std::vector<uint8_t> iInPvs;            // per object, this frame
  std::vector<uint8_t> iPartitionInPvs;   // per partition, this frame
  KELStreamingSummary iStreaming;
  std::function<void(const KELFrameView&)> iObserver;
  std::optional<KELDemoMode> iViewMode;  // what Prepare last set up
  int iViewFrame = 0;
  std::vector<KELVisibleObject> iViewTruth;
};

#endif
