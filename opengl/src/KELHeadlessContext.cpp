#include "KELHeadlessContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <string>
#include <vector>

#include "KELGLFunctions.h"

namespace {

const GLenum kDrawColor[2] = {GL_COLOR_ATTACHMENT0, GL_NONE};
const GLenum kDrawIds[2] = {GL_NONE, GL_COLOR_ATTACHMENT1};

// Flips rows in place: GL reads bottom row first.
template <typename T>
void FlipRows(T* pixels, int width, int height, int channels) {
  std::vector<T> row(static_cast<size_t>(width) * channels);
  size_t stride = row.size();
  for (int y = 0; y < height / 2; ++y) {
    T* top = pixels + stride * y;
    T* bottom = pixels + stride * (height - 1 - y);
    std::copy(top, top + stride, row.begin());
    std::copy(bottom, bottom + stride, top);
    std::copy(row.begin(), row.end(), bottom);
  }
}

}  // namespace

KELHeadlessContext::KELHeadlessContext()
    : iDisplay(EGL_NO_DISPLAY), iContext(EGL_NO_CONTEXT), iFramebuffer(0), iRenderbuffers{0, 0, 0},
      iResolveFramebuffer(0), iResolveRenderbuffers{0, 0}, iWidth(0), iHeight(0), iSamples(1), iClearDepth(1.0f) {}

KELHeadlessContext::~KELHeadlessContext() { Destroy(); }

bool KELHeadlessContext::Create(int width, int height) {
  Destroy();
  iWidth = width;
  iHeight = height;
  if (width <= 0 || height <= 0) {
    iError = "framebuffer size must be positive";
    return false;
  }
  if (!CreateContext()) return false;
  if (!KELGLFunctionsLoaded()) {
    iError = "OpenGL entry points missing";
    return false;
  }
  return CreateFramebuffer();
}

bool KELHeadlessContext::CreateContext() {
  auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (getPlatformDisplay == nullptr) {
    iError = "EGL has no eglGetPlatformDisplayEXT";
    return false;
  }
  EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display == EGL_NO_DISPLAY || eglInitialize(display, nullptr, nullptr) != EGL_TRUE) {
    iError = "no surfaceless EGL display";
    return false;
  }
  iDisplay = display;
  if (eglBindAPI(EGL_OPENGL_API) != EGL_TRUE) {
    iError = "EGL cannot bind the OpenGL API";
    return false;
  }
  const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_PBUFFER_BIT,
                                     EGL_NONE};
  EGLConfig config = nullptr;
  EGLint configCount = 0;
  if (eglChooseConfig(display, configAttributes, &config, 1, &configCount) != EGL_TRUE || configCount < 1) {
    iError = "no EGL config for OpenGL";
    return false;
  }
  const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3,
                                      EGL_CONTEXT_MINOR_VERSION, 3,
                                      EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                      EGL_NONE};
  EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
  if (context == EGL_NO_CONTEXT) {
    iError = "no OpenGL 3.3 core context";
    return false;
  }
  iContext = context;
  if (eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context) != EGL_TRUE) {
    iError = "cannot make the context current without a surface";
    return false;
  }
  return true;
}

bool KELHeadlessContext::CreateFramebuffer() {
  const KELGLFunctions& gl = KELGL();
  const GLenum formats[3] = {GL_RGBA8, GL_R32UI, GL_DEPTH_COMPONENT24};
  const GLenum attachments[3] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1, GL_DEPTH_ATTACHMENT};
  GLuint framebuffer = 0;
  gl.GenFramebuffers(1, &framebuffer);
  gl.BindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  gl.GenRenderbuffers(3, iRenderbuffers);
  for (int i = 0; i < 3; ++i) {
    gl.BindRenderbuffer(GL_RENDERBUFFER, iRenderbuffers[i]);
    if (iSamples > 1)
      gl.RenderbufferStorageMultisample(GL_RENDERBUFFER, iSamples, formats[i], iWidth, iHeight);
    else
      gl.RenderbufferStorage(GL_RENDERBUFFER, formats[i], iWidth, iHeight);
    gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, attachments[i], GL_RENDERBUFFER, iRenderbuffers[i]);
  }
  iFramebuffer = framebuffer;
  bool complete = gl.CheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  if (complete && iSamples > 1) {
    gl.GenFramebuffers(1, &iResolveFramebuffer);
    gl.BindFramebuffer(GL_FRAMEBUFFER, iResolveFramebuffer);
    gl.GenRenderbuffers(2, iResolveRenderbuffers);
    for (int i = 0; i < 2; ++i) {
      gl.BindRenderbuffer(GL_RENDERBUFFER, iResolveRenderbuffers[i]);
      gl.RenderbufferStorage(GL_RENDERBUFFER, formats[i], iWidth, iHeight);
      gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, attachments[i], GL_RENDERBUFFER, iResolveRenderbuffers[i]);
    }
    complete = gl.CheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    gl.BindFramebuffer(GL_FRAMEBUFFER, iFramebuffer);
  }
  if (!complete) {
    iError = iSamples > 1 ? "framebuffer incomplete with " + std::to_string(iSamples) + " samples"
                          : "framebuffer incomplete";
    Destroy();
    return false;
  }
  gl.Viewport(0, 0, iWidth, iHeight);
  UseColorTarget();
  return true;
}

void KELHeadlessContext::Destroy() {
  if (iDisplay != EGL_NO_DISPLAY && iContext != EGL_NO_CONTEXT && iFramebuffer != 0) {
    MakeCurrent();
    const KELGLFunctions& gl = KELGL();
    gl.DeleteFramebuffers(1, &iFramebuffer);
    gl.DeleteRenderbuffers(3, iRenderbuffers);
    if (iResolveFramebuffer != 0) gl.DeleteFramebuffers(1, &iResolveFramebuffer);
    gl.DeleteRenderbuffers(2, iResolveRenderbuffers);
  }
  iFramebuffer = 0;
  iRenderbuffers[0] = iRenderbuffers[1] = iRenderbuffers[2] = 0;
  iResolveFramebuffer = 0;
  iResolveRenderbuffers[0] = iResolveRenderbuffers[1] = 0;
  if (iContext != EGL_NO_CONTEXT) {
    eglMakeCurrent(iDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(iDisplay, iContext);
    iContext = EGL_NO_CONTEXT;
  }
  // The display stays initialised: EGL displays are shared per process and
  // terminating one would pull it from under other contexts.
  iDisplay = EGL_NO_DISPLAY;
}

std::string KELHeadlessContext::GetRendererName() const {
  if (!IsValid()) return std::string();
  const GLubyte* name = KELGL().GetString(GL_RENDERER);
  return name != nullptr ? std::string(reinterpret_cast<const char*>(name)) : std::string();
}

void KELHeadlessContext::MakeCurrent() {
  if (iContext != EGL_NO_CONTEXT) eglMakeCurrent(iDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, iContext);
  if (iFramebuffer != 0) KELGL().BindFramebuffer(GL_FRAMEBUFFER, iFramebuffer);
}

void KELHeadlessContext::UseColorTarget() { KELGL().DrawBuffers(2, kDrawColor); }

void KELHeadlessContext::UseIdTarget() { KELGL().DrawBuffers(2, kDrawIds); }

void KELHeadlessContext::Clear(const float* rgba) {
  const KELGLFunctions& gl = KELGL();
  GLint drawBuffers[2] = {0, 0};
  gl.GetIntegerv(GL_DRAW_BUFFER0, &drawBuffers[0]);
  gl.GetIntegerv(GL_DRAW_BUFFER1, &drawBuffers[1]);
  // Clears obey the write masks; they are left open, as after a frame.
  gl.DepthMask(GL_TRUE);
  gl.ColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  const GLenum both[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
  gl.DrawBuffers(2, both);
  const GLuint zero[4] = {0, 0, 0, 0};
  gl.ClearBufferfv(GL_COLOR, 0, rgba);
  gl.ClearBufferuiv(GL_COLOR, 1, zero);
  gl.ClearBufferfi(GL_DEPTH_STENCIL, 0, iClearDepth, 0);
  const GLenum previous[2] = {static_cast<GLenum>(drawBuffers[0]), static_cast<GLenum>(drawBuffers[1])};
  gl.DrawBuffers(2, previous);
}

bool KELHeadlessContext::Resolve(unsigned attachment) {
  if (iResolveFramebuffer == 0) return false;
  const KELGLFunctions& gl = KELGL();
  gl.BindFramebuffer(GL_READ_FRAMEBUFFER, iFramebuffer);
  gl.BindFramebuffer(GL_DRAW_FRAMEBUFFER, iResolveFramebuffer);
  gl.ReadBuffer(attachment);
  const GLenum target[2] = {attachment == GL_COLOR_ATTACHMENT0 ? attachment : GL_NONE,
                            attachment == GL_COLOR_ATTACHMENT1 ? attachment : GL_NONE};
  gl.DrawBuffers(2, target);
  // Integer IDs take one sample's value per pixel; colour is averaged.
  gl.BlitFramebuffer(0, 0, iWidth, iHeight, 0, 0, iWidth, iHeight, GL_COLOR_BUFFER_BIT, GL_NEAREST);
  gl.BindFramebuffer(GL_DRAW_FRAMEBUFFER, iFramebuffer);
  gl.BindFramebuffer(GL_READ_FRAMEBUFFER, iResolveFramebuffer);
  return true;
}

void KELHeadlessContext::ReadColor(uint8_t* rgba) {
  const KELGLFunctions& gl = KELGL();
  const bool resolved = Resolve(GL_COLOR_ATTACHMENT0);
  gl.ReadBuffer(GL_COLOR_ATTACHMENT0);
  gl.PixelStorei(GL_PACK_ALIGNMENT, 1);
  gl.ReadPixels(0, 0, iWidth, iHeight, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
  if (resolved) gl.BindFramebuffer(GL_READ_FRAMEBUFFER, iFramebuffer);
  FlipRows(rgba, iWidth, iHeight, 4);
}

void KELHeadlessContext::ReadIds(uint32_t* ids) {
  const KELGLFunctions& gl = KELGL();
  const bool resolved = Resolve(GL_COLOR_ATTACHMENT1);
  gl.ReadBuffer(GL_COLOR_ATTACHMENT1);
  gl.PixelStorei(GL_PACK_ALIGNMENT, 4);
  gl.ReadPixels(0, 0, iWidth, iHeight, GL_RED_INTEGER, GL_UNSIGNED_INT, ids);
  if (resolved) gl.BindFramebuffer(GL_READ_FRAMEBUFFER, iFramebuffer);
  FlipRows(ids, iWidth, iHeight, 1);
}
