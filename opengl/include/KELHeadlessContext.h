// A headless OpenGL 3.3 core context (EGL, surfaceless platform) with a
// framebuffer of a given size: an RGBA8 colour attachment, a 32-bit integer
// ID attachment and a depth attachment. Tests and tools render into it
// without a window and read both attachments back.
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
  // Clears colour to `rgba`, IDs to 0 and depth to 1 whatever the masks,
  // and leaves depth and colour writes on.
  void Clear(const float* rgba);

  // Read back, top row first: width*height*4 bytes of RGBA, or width*height
  // IDs. Both wait for rendering to finish.
  void ReadColor(uint8_t* rgba);
  void ReadIds(uint32_t* ids);

private:
  bool CreateContext();
  bool CreateFramebuffer();
  void Destroy();

  void* iDisplay;
  void* iContext;
  unsigned iFramebuffer;
  unsigned iRenderbuffers[3];
  int iWidth;
  int iHeight;
  std::string iError;
};

#endif
