#include "KELDemoWindow.h"

#include <EGL/egl.h>
#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "KELCameraPaths.h"
#include "KELDemoImages.h"
#include "KELSceneMath.h"

namespace {

// Keys 1 to 6, in this order (6 on levels only).
const KELDemoMode kModeKeys[] = {KELDemoMode::kDrawAll, KELDemoMode::kFrustum, KELDemoMode::kLibrary,
                                 KELDemoMode::kOracle, KELDemoMode::kStreaming, KELDemoMode::kPvs};
const float kMouseRadians = 0.004f;   // per pixel dragged
const float kTurnRadians = 1.5f;      // per second with the arrow keys
const float kMaxPitch = 1.5f;         // LookAt degenerates straight up or down
const float kFastFactor = 5.0f;       // with Shift held

// A free camera, in the convention of the paths and path files
// (KELCameraPose): yaw 0 looks along +x, a larger yaw turns left.
struct KELFlyCamera {
  kel::KELCameraPose iPose;

  void Forward(float* direction) const { kel::GetPoseDirection(iPose, direction); }
};

KELFlyCamera FromFrameCamera(const KELFrameCamera& camera) {
  KELFlyCamera fly;
  std::copy(camera.iEye, camera.iEye + 3, fly.iPose.iEye);
  kel::SetPoseDirection(camera.iDirection, fly.iPose);
  return fly;
}

// The walkthrough's camera for `fly`, with the path's projection.
KELFrameCamera ToFrameCamera(const KELFlyCamera& fly, const float* projection) {
  KELFrameCamera camera;
  std::copy(projection, projection + 16, camera.iProjection);
  const float* eye = fly.iPose.iEye;
  std::copy(eye, eye + 3, camera.iEye);
  fly.Forward(camera.iDirection);
  float target[3];
  for (int axis = 0; axis < 3; ++axis) target[axis] = eye[axis] + camera.iDirection[axis];
  kel::LookAt(eye, target, camera.iView);
  kel::Multiply(camera.iProjection, camera.iView, camera.iViewProjection);
  kel::FrustumPlanes(camera.iViewProjection, camera.iPlanes);
  return camera;
}

// OpenGL's images are bottom row first, files and the renderer's read-back
// top row first: this turns one into the other.
void FlipRows(std::vector<uint8_t>& rgba, int width, int height) {
  size_t row = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height / 2; ++y)
    std::swap_ranges(rgba.begin() + y * row, rgba.begin() + (y + 1) * row, rgba.begin() + (height - 1 - y) * row);
}

class KELDemoWindow {
public:
  KELDemoWindow(KELWalkthrough& walk, const KELDemoWindowOptions& options) : iWalk(walk), iOptions(options) {}
  ~KELDemoWindow();

  // Opens the window at the path's first camera. False with `error` when
  // there is no display or no context for it.
  bool Open(std::string& error);
  // Renders and shows frames until the window closes or the frame limit is
  // reached. False when the screenshot cannot be written.
  bool Run();
  int GetFrameCount() const { return iFrame; }

private:
  static void OnKey(GLFWwindow* window, int key, int scancode, int action, int mods);
  void HandleKey(int key);
  // Both true when the camera changed.
  bool Move(float seconds);
  bool Look(float seconds);
  // Moves the camera by the input, renders, shows the image (back buffer).
  void ShowNextFrame();
  void ShowImage();
  bool SaveWindowImage(const std::string& path);
  void UpdateTitle(const KELFrameRecord& record, bool truth);
  void UseRendererContext();
  void UseWindowContext();

  KELWalkthrough& iWalk;
  KELDemoWindowOptions iOptions;
  GLFWwindow* iWindow = nullptr;
  // The renderer's context (none on Vulkan), made current around rendering.
  EGLDisplay iEglDisplay = EGL_NO_DISPLAY;
  EGLSurface iEglDraw = EGL_NO_SURFACE;
  EGLSurface iEglRead = EGL_NO_SURFACE;
  EGLContext iEglContext = EGL_NO_CONTEXT;

  KELFlyCamera iCamera{};
  float iSpeed = 1;  // scene units per second
  KELDemoMode iMode = KELDemoMode::kLibrary;
  bool iTruth = true;
  bool iFrozen = false;
  std::vector<uint32_t> iFrozenObjects;
  bool iSavePicture = false;
  double iCursor[2] = {0, 0};
  int iFrame = 0;
  double iTime = 0;  // of the last frame, in seconds
  std::vector<uint8_t> iImage;
};

KELDemoWindow::~KELDemoWindow() {
  if (iWindow) {
    glfwMakeContextCurrent(nullptr);
    glfwDestroyWindow(iWindow);
  }
  glfwTerminate();
  // The renderer frees its objects in its own context.
  if (iEglContext != EGL_NO_CONTEXT) eglMakeCurrent(iEglDisplay, iEglDraw, iEglRead, iEglContext);
}

bool KELDemoWindow::Open(std::string& error) {
  // The window's context and the renderer's may not both be current on this
  // thread; the renderer's is released until it renders again.
  iEglContext = eglGetCurrentContext();
  if (iEglContext != EGL_NO_CONTEXT) {
    iEglDisplay = eglGetCurrentDisplay();
    iEglDraw = eglGetCurrentSurface(EGL_DRAW);
    iEglRead = eglGetCurrentSurface(EGL_READ);
    eglMakeCurrent(iEglDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
  const char* description = nullptr;
  if (!glfwInit()) {
    glfwGetError(&description);
    error = std::string("no window: ") + (description ? description : "GLFW cannot start");
    return false;
  }
  glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
  // An EGL context like the renderer's where the platform has one.
  glfwWindowHint(GLFW_CONTEXT_CREATION_API, GLFW_EGL_CONTEXT_API);
  int imageWidth = iWalk.GetRenderer().GetWidth(), imageHeight = iWalk.GetRenderer().GetHeight();
  iWindow = glfwCreateWindow(imageWidth, imageHeight, "kel_demo", nullptr, nullptr);
  if (!iWindow) {
    glfwWindowHint(GLFW_CONTEXT_CREATION_API, GLFW_NATIVE_CONTEXT_API);
    iWindow = glfwCreateWindow(imageWidth, imageHeight, "kel_demo", nullptr, nullptr);
  }
  if (!iWindow) {
    glfwGetError(&description);
    error = std::string("no window: ") + (description ? description : "unknown GLFW error");
    return false;
  }
  glfwSetWindowUserPointer(iWindow, this);
  glfwSetKeyCallback(iWindow, OnKey);
  glfwGetCursorPos(iWindow, &iCursor[0], &iCursor[1]);
  UseWindowContext();
  glfwSwapInterval(1);

  iCamera = FromFrameCamera(iWalk.GetCamera(0));
  // Crossing the scene takes about a minute.
  const kel::KELScene& scene = iWalk.GetScene();
  float diagonal = 0;
  for (int axis = 0; axis < 3; ++axis) diagonal += std::pow(scene.iMax[axis] - scene.iMin[axis], 2.0f);
  iSpeed = std::max(1.0f, std::sqrt(diagonal) / 60.0f);
  return true;
}

bool KELDemoWindow::Run() {
  KELDemoRenderer& renderer = iWalk.GetRenderer();
  iImage.resize(static_cast<size_t>(renderer.GetWidth()) * renderer.GetHeight() * 4);
  iTime = glfwGetTime();
  while (!glfwWindowShouldClose(iWindow)) {
    glfwPollEvents();
    ShowNextFrame();
    if (iSavePicture) {
      iSavePicture = false;
      std::string path = iOptions.iOutput + "/window-" + std::to_string(iFrame) + ".png";
      if (SaveWindowImage(path)) std::fprintf(stderr, "kel_demo: saved %s\n", path.c_str());
    }
    bool last = iOptions.iFrames > 0 && iFrame >= iOptions.iFrames;
    if (last && !iOptions.iScreenshot.empty() && !SaveWindowImage(iOptions.iScreenshot)) {
      std::fprintf(stderr, "kel_demo: cannot write %s\n", iOptions.iScreenshot.c_str());
      return false;
    }
    glfwSwapBuffers(iWindow);
    if (last) break;
  }
  return true;
}

void KELDemoWindow::ShowNextFrame() {
  double now = glfwGetTime();
  // A slow frame does not throw the camera far.
  float seconds = static_cast<float>(std::min(now - iTime, 0.25));
  iTime = now;
  bool moved = Look(seconds);
  moved = Move(seconds) || moved;
  KELFrameCamera camera = ToFrameCamera(iCamera, iWalk.GetCamera(0).iProjection);
  // The exact visible set costs about as much as a frame culled by the
  // frustum alone; it is counted while the camera rests.
  bool truth = (iTruth && !moved) || (iMode == KELDemoMode::kOracle && !iFrozen);

  UseRendererContext();
  KELFrameRecord record = iWalk.RenderView(iMode, camera, truth, iFrozen ? &iFrozenObjects : nullptr);
  iWalk.GetRenderer().ReadColor(iImage.data());
  UseWindowContext();
  ShowImage();
  UpdateTitle(record, truth);
  ++iFrame;
}

void KELDemoWindow::OnKey(GLFWwindow* window, int key, int, int action, int) {
  if (action == GLFW_PRESS) static_cast<KELDemoWindow*>(glfwGetWindowUserPointer(window))->HandleKey(key);
}

void KELDemoWindow::HandleKey(int key) {
  const int modeKeys = iWalk.HasPvs() ? 6 : 5;
  if (key >= GLFW_KEY_1 && key < GLFW_KEY_1 + modeKeys) {
    iMode = kModeKeys[key - GLFW_KEY_1];
    iFrozen = false;
  } else if (key == GLFW_KEY_F) {
    // Keeps what the last frame drew, to be seen from elsewhere.
    iFrozen = !iFrozen;
    if (iFrozen) iWalk.GetDrawnObjects(iFrozenObjects);
  } else if (key == GLFW_KEY_G) {
    iTruth = !iTruth;
  } else if (key == GLFW_KEY_P) {
    iSavePicture = true;
  } else if (key == GLFW_KEY_R) {
    iCamera = FromFrameCamera(iWalk.GetCamera(0));
  } else if (key == GLFW_KEY_EQUAL || key == GLFW_KEY_KP_ADD) {
    iSpeed *= 2;
  } else if (key == GLFW_KEY_MINUS || key == GLFW_KEY_KP_SUBTRACT) {
    iSpeed /= 2;
  } else if (key == GLFW_KEY_ESCAPE) {
    glfwSetWindowShouldClose(iWindow, GLFW_TRUE);
  }
}

bool KELDemoWindow::Look(float seconds) {
  kel::KELCameraPose& pose = iCamera.iPose;
  float yaw = pose.iYaw, pitch = pose.iPitch;
  double cursor[2];
  glfwGetCursorPos(iWindow, &cursor[0], &cursor[1]);
  // Dragging right turns right (a smaller yaw), dragging down looks down.
  if (glfwGetMouseButton(iWindow, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS) {
    pose.iYaw -= kMouseRadians * static_cast<float>(cursor[0] - iCursor[0]);
    pose.iPitch -= kMouseRadians * static_cast<float>(cursor[1] - iCursor[1]);
  }
  iCursor[0] = cursor[0];
  iCursor[1] = cursor[1];
  if (glfwGetKey(iWindow, GLFW_KEY_LEFT) == GLFW_PRESS) pose.iYaw += kTurnRadians * seconds;
  if (glfwGetKey(iWindow, GLFW_KEY_RIGHT) == GLFW_PRESS) pose.iYaw -= kTurnRadians * seconds;
  pose.iPitch = std::max(-kMaxPitch, std::min(kMaxPitch, pose.iPitch));
  return yaw != pose.iYaw || pitch != pose.iPitch;
}

bool KELDemoWindow::Move(float seconds) {
  auto down = [this](int key) { return glfwGetKey(iWindow, key) == GLFW_PRESS; };
  float forward = 0, side = 0, up = 0;
  if (down(GLFW_KEY_W) || down(GLFW_KEY_UP)) forward += 1;
  if (down(GLFW_KEY_S) || down(GLFW_KEY_DOWN)) forward -= 1;
  if (down(GLFW_KEY_D)) side += 1;
  if (down(GLFW_KEY_A)) side -= 1;
  if (down(GLFW_KEY_E) || down(GLFW_KEY_PAGE_UP)) up += 1;
  if (down(GLFW_KEY_Q) || down(GLFW_KEY_PAGE_DOWN)) up -= 1;
  float step = iSpeed * seconds;
  if (down(GLFW_KEY_LEFT_SHIFT) || down(GLFW_KEY_RIGHT_SHIFT)) step *= kFastFactor;
  float direction[3];
  iCamera.Forward(direction);
  // Sideways stays level: (sin yaw, 0, cos yaw) is right of the view.
  const float right[3] = {std::sin(iCamera.iPose.iYaw), 0, std::cos(iCamera.iPose.iYaw)};
  for (int axis = 0; axis < 3; ++axis)
    iCamera.iPose.iEye[axis] += step * (forward * direction[axis] + side * right[axis] + (axis == 1 ? up : 0));
  return forward != 0 || side != 0 || up != 0;
}

void KELDemoWindow::ShowImage() {
  KELDemoRenderer& renderer = iWalk.GetRenderer();
  int width = renderer.GetWidth(), height = renderer.GetHeight();
  int framebuffer[2];
  glfwGetFramebufferSize(iWindow, &framebuffer[0], &framebuffer[1]);
  FlipRows(iImage, width, height);
  glViewport(0, 0, framebuffer[0], framebuffer[1]);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  // Scaled where the window's pixels are not the image's (high-density screens).
  glPixelZoom(static_cast<float>(framebuffer[0]) / width, static_cast<float>(framebuffer[1]) / height);
  glRasterPos2f(-1, -1);
  glDrawPixels(width, height, GL_RGBA, GL_UNSIGNED_BYTE, iImage.data());
}

bool KELDemoWindow::SaveWindowImage(const std::string& path) {
  int width = 0, height = 0;
  glfwGetFramebufferSize(iWindow, &width, &height);
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  FlipRows(rgba, width, height);
  return WritePng(path, width, height, rgba.data());
}

void KELDemoWindow::UpdateTitle(const KELFrameRecord& record, bool truth) {
  char visible[32] = "-", missed[64] = "-";
  if (truth) {
    std::snprintf(visible, sizeof(visible), "%u", record.iVisible);
    std::snprintf(missed, sizeof(missed), "%u (%u above threshold)", record.iMissed, record.iMissedChecked);
  }
  char title[256];
  std::snprintf(title, sizeof(title), "kel_demo  %s%s  drawn %u  visible %s  missed %s  queries %u  %.1f ms",
                GetModeName(iMode), iFrozen ? " (frozen)" : "", record.iDrawn, visible, missed, record.iQueries,
                record.iFrameMs);
  glfwSetWindowTitle(iWindow, title);
}

void KELDemoWindow::UseRendererContext() {
  if (iEglContext == EGL_NO_CONTEXT) return;
  glfwMakeContextCurrent(nullptr);
  eglMakeCurrent(iEglDisplay, iEglDraw, iEglRead, iEglContext);
}

void KELDemoWindow::UseWindowContext() {
  if (iEglContext != EGL_NO_CONTEXT) eglMakeCurrent(iEglDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  glfwMakeContextCurrent(iWindow);
}

}  // namespace

int RunDemoWindow(KELWalkthrough& walk, const KELDemoWindowOptions& options, FILE* out) {
  KELDemoWindow window(walk, options);
  std::string error;
  if (!window.Open(error)) {
    std::fprintf(stderr, "kel_demo: %s\n", error.c_str());
    return 1;
  }
  if (!window.Run()) return 1;
  std::fprintf(out, "window: %d frames shown\n", window.GetFrameCount());
  return 0;
}
