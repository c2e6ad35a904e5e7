// kel_demo --window: an interactive fly-through of the walkthrough's scene.
// Frames are rendered by the walkthrough's own headless renderer and shown
// in a window; the keys are listed in tools/demo/README.md.
#ifndef KEL_DEMO_WINDOW_H
#define KEL_DEMO_WINDOW_H

#include <cstdio>
#include <string>

#include "KELWalkthrough.h"

struct KELDemoWindowOptions {
  int iFrames = 0;          // close after this many frames; 0: when the user closes it
  std::string iScreenshot;  // PNG of the window's last image, saved before closing
  std::string iOutput;      // where the P key saves pictures
};

// Opens the window at the walkthrough's first camera and runs until it is
// closed. Needs a created walkthrough. Returns main's exit status: 0 (with a
// closing line on `out`), or 1 with a message on stderr when no window
// opens or the screenshot cannot be written.
int RunDemoWindow(KELWalkthrough& walk, const KELDemoWindowOptions& options, FILE* out);

#endif
