// Everything the demo does on a graphics API, behind one interface: the
// headless context, drawing the scene's objects, rendering and reading back
// the ID image of the ground truth, the colour image, and the culling
// client with its counters. Modes, ground-truth counting and reports stay
// API-free.
//
// Objects are named by their scene index: a renderer decides how object i
// looks (its box, or entry i of the model when the scene comes from one).
#ifndef KEL_DEMO_RENDERER_H
#define KEL_DEMO_RENDERER_H

#include <cstdint>
#include <memory>
#include <string>

#include "KELDemoFrameLog.h"
#include "KELOcclusionCullingClient.h"
#include "KELModel.h"
#include "KELScene.h"
#include "KELStreaming.h"

enum class KELDemoApi { kOpenGL, kVulkan };
const char* GetApiName(KELDemoApi api);
// False for an unknown name.
bool ParseApiName(const std::string& name, KELDemoApi& api);

// The culling client's counters of the last frame.
struct KELDemoClientStats {
  uint32_t iQueries = 0;
  uint32_t iFillQueries = 0;
  uint32_t iBatches = 0;
  uint32_t iBoxes = 0;
  uint32_t iSubmits = 0;      // submits to get query results (Vulkan)
  double iClientSeconds = 0;  // wall time inside client calls
};

// How a renderer sets up its target and its host (before Create).
struct KELDemoTargetOptions {
  int iSamples = 1;             // per pixel; query counts are then samples
  bool iReversedDepth = false;  // depth cleared to 0, nearer is greater
  // OpenGL: the host behaves as many engines do. It bound one vertex array
  // when the frame began and points its attributes in whatever is bound
  // before it draws; afterwards it leaves GL_LESS (GL_GREATER with reversed
  // depth) and back-face culling on.
  bool iEngineLikeHost = false;
};

class KELDemoRenderer {
public:
  virtual ~KELDemoRenderer() = default;
  void SetTargetOptions(const KELDemoTargetOptions& options) { iTargetOptions = options; }

  // Builds the context, the scene's drawing and the culling client; with
  // `model` (one entry per scene object, outliving the renderer) objects
  // are drawn as the model's meshes. False (with `error`) when the API is
  // not usable here.
  virtual bool Create(const kel::KELScene& scene, const kel::KELModel* model, int width, int height,
                      std::string& error) = 0;
  // The device or renderer's name (e.g. which software rasteriser runs).
  virtual std::string GetDeviceName() const = 0;
  virtual int GetWidth() const = 0;
  virtual int GetHeight() const = 0;
  // Validation errors so far, or -1 when validation is off.
  virtual int GetValidationErrors() const { return -1; }
  // Drawn and touched objects; its object pointers go to the library.
  virtual KELDemoFrameLog& GetFrameLog() = 0;

  // Starts a frame: clears colour to `rgba` and depth, sets the camera
  // (clip = viewProjection * p, OpenGL conventions), depth test
  // less-or-equal (greater-or-equal with reversed depth) with writes on.
  virtual void BeginFrame(const float* rgba, const float* viewProjection) = 0;
  // Draws scene objects by index, shaded, and logs them as drawn.
  virtual void DrawObjects(const uint32_t* indices, uint32_t count) = 0;
  // Ends the frame and waits until the device has finished it.
  virtual void EndFrame() = 0;

  // The culling client; it draws through this renderer and logs into the
  // frame log. BeginCulling before each EndCulling.
  virtual KELOcclusionCullingClient* GetClient() = 0;
  virtual void BeginCulling(const float* view, const float* projection) = 0;
  virtual KELDemoClientStats GetClientStats() const = 0;

  // Draws the given objects with ID index + 1 over a cleared ID image and
  // depth buffer, and reads the IDs back (width*height, top row first).
  virtual void RenderIds(const uint32_t* indices, uint32_t count, const float* viewProjection, uint32_t* ids) = 0;
  // The colour image of the frame, RGBA, top row first.
  virtual void ReadColor(uint8_t* rgba) = 0;
  // The depth image of the frame as the depth test sees it (0 near and 1
  // far, the other way round with reversed depth), width*height floats, top
  // row first; false where the renderer cannot read depth back (also with
  // several samples per pixel).
  virtual bool ReadDepth(float*) { return false; }

  // Streaming runs: where the streaming host uploads entries (by scene
  // index), and whether the objects the library hands over are drawn from
  // there instead of from the scene.
  virtual KELStreamingUploader& GetStreamStore() = 0;
  virtual void SetStreamedDrawing(bool streamed) = 0;
protected:
  KELDemoTargetOptions iTargetOptions;
};

// A renderer on `api`, or null when the demo was built without it.
std::unique_ptr<KELDemoRenderer> MakeDemoRenderer(KELDemoApi api);

#endif
