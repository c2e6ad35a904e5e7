// Pictures of a walkthrough: PNG files of the rendered view, a top-down
// debug view of what was culled, and a plot of the per-frame figures.
#ifndef KEL_DEMO_IMAGES_H
#define KEL_DEMO_IMAGES_H

#include <cstdint>
#include <string>
#include <vector>

#include "KELWalkthrough.h"

// RGBA, top row first. False when the file cannot be written.
bool WritePng(const std::string& path, int width, int height, const uint8_t* rgba);

// Top-down view, `size` pixels on its longer side: ground dark, culled
// objects grey, drawn green, touched but not loaded yellow, missed (visible
// in the ground truth but not drawn) red, the camera and its frustum white.
void DrawBirdsEye(const KELFrameView& view, const kel::KELScene& scene, int size, std::vector<uint8_t>& rgba,
                  int& width, int& height);

// One line of a plot: a run's label, colour (RGBA8, red in the low byte)
// and frames.
struct KELPlotSeries {
  std::string iLabel;
  uint32_t iColor;
  const std::vector<KELFrameRecord>* iRecords;
};
// Frame time (upper panel) and objects drawn (lower panel, log scale) per
// frame of the path, one line per run, drawn by gnuplot with labelled axes
// and a legend. The data (plot.dat) and the script (plot.gp) are left beside
// the picture. False, with a message, when gnuplot is missing or fails.
bool WritePlot(const std::string& path, const std::vector<KELPlotSeries>& series);
// Streaming runs: resident MB (upper panel) and hole % of the screen (lower
// panel) over every frame, the rest at the first pose included.
bool WriteStreamPlot(const std::string& path, const std::vector<KELPlotSeries>& series);
uint32_t GetPlotColor(KELDemoMode mode);
uint32_t GetPlotColor(KELStreamingOrder order);

#endif
