// A headless OpenGL 3.3 core context (EGL, surfaceless platform) with a
// framebuffer of a given size: an RGBA8 colour attachment, a 32-bit integer
// ID attachment and a depth attachment, multisampled where asked. Tests and
// tools render into it without a window and read both attachments back.
#ifndef KEL_HEADLESS_CONTEXT_H
#define KEL_HEADLESS_CONTEXT_H

#include <cstdint>
#include <string>

#include "KELGLExport.h"

class KEL_GL_API KELHeadlessContext {
public:
  KELHeadlessContext();
  ~KELHeadlessContext();
  KELHeadlessContext(const KELHeadlessContext&) = delete;
  KELHeadlessContext& operator=(const KELHeadlessContext&) = delete;

  // Makes the context current, builds the framebuffer, binds it and sets
  // the viewport. False (with GetErrorText) when any step fails.
  bool Create(int width, int height);
  // Samples per pixel of the attachments made by the next Create (default
  // 1). Occlusion queries then count samples, not pixels; read-backs give
  // one value per pixel (IDs: one sample's).
  void SetSampleCount(int samples) { iSamples = samples > 1 ? samples : 1; }
  int GetSampleCount() const { return iSamples; }
  // The depth Clear writes (default 1; 0 for a reversed depth range).
  void SetDepthClearValue(float depth) { iClearDepth = depth; }
  bool IsValid() const { return iFramebuffer != 0; }
  const std::string& GetErrorText() const { return iError; }
  // The GL_RENDERER string (e.g. which software rasteriser runs).
  std::string GetRendererName() const;
  int GetWidth() const { return iWidth; }
  int GetHeight() const { return iHeight; }

  void MakeCurrent();
  // Fragment output 0 goes to the colour attachment, output 1 nowhere.
  void UseColorTarget();
  // Fragment output 1 goes to the ID attachment, output 0 nowhere.
  void UseIdTarget();
  // Clears colour to `rgba`, IDs to 0 and depth to the clear value
  // whatever the masks, and leaves depth and colour writes on.
  void Clear(const float* rgba);

  // Read back, top row first: width*height*4 bytes of RGBA, or width*height
  // IDs. Both wait for rendering to finish.
  void ReadColor(uint8_t* rgba);
  void ReadIds(uint32_t* ids);

private:
  bool CreateContext();
  bool CreateFramebuffer();
  // Multisampled: resolves the attachment into its single-sampled copy and
  // binds that for reading. False (nothing done) when single-sampled.
  bool Resolve(unsigned attachment);
  void Destroy();

  void* iDisplay;
  void* iContext;
  unsigned iFramebuffer;
  unsigned iRenderbuffers[3];
  // Multisampled only: single-sampled colour and IDs to resolve into.
  unsigned iResolveFramebuffer;
  unsigned iResolveRenderbuffers[2];
  int iWidth;
  int iHeight;
  int iSamples;
  float iClearDepth;
  std::string iError;
};

#endif
