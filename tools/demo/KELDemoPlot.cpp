// The per-frame plots, drawn by gnuplot from a data file written here.
#include <cstdio>
#include <string>

#include "KELDemoImages.h"

uint32_t GetPlotColor(KELDemoMode mode) {
  switch (mode) {
    case KELDemoMode::kDrawAll: return 0xff808080;
    case KELDemoMode::kFrustum: return 0xffd07030;
    case KELDemoMode::kLibrary: return 0xff30a030;
    case KELDemoMode::kOracle: return 0xff000000;
    case KELDemoMode::kStreaming: return 0xff2080f0;
    case KELDemoMode::kPvs: return 0xffc040c0;
  }
  return 0xffffffff;
}

uint32_t GetPlotColor(KELStreamingOrder order) {
  switch (order) {
    case KELStreamingOrder::kOcclusion: return 0xff2080f0;
    case KELStreamingOrder::kFrustum: return 0xffd07030;
    case KELStreamingOrder::kAll: return 0xff808080;
  }
  return 0xffffffff;
}

namespace {

struct KELPanel {
  const char* iTitle;
  const char* iAxis;
  bool iLog;
  double (*iValue)(const KELFrameRecord&);
};

std::string StemOf(const std::string& path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

// One gnuplot data block per run: a running frame number, then one column
// per panel.
bool WriteData(const std::string& path, const std::vector<KELPlotSeries>& series, const std::vector<KELPanel>& panels,
               bool withRest) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  for (const KELPlotSeries& run : series) {
    std::fprintf(file, "# %s\n# frame", run.iLabel.c_str());
    for (const KELPanel& panel : panels) std::fprintf(file, " '%s'", panel.iAxis);
    std::fputs("\n", file);
    int frame = 0;
    for (const KELFrameRecord& record : *run.iRecords) {
      // Warm-up frames stand still at the first view.
      if (record.iWarmup && !withRest) continue;
      std::fprintf(file, "%d", withRest ? frame++ : record.iFrame);
      for (const KELPanel& panel : panels) std::fprintf(file, " %.4f", panel.iValue(record));
      std::fputs("\n", file);
    }
    std::fputs("\n\n", file);
  }
  return std::fclose(file) == 0;
}

std::string PlotCommand(const std::string& data, const std::vector<KELPlotSeries>& series, int column) {
  std::string command = "plot ";
  for (size_t i = 0; i < series.size(); ++i) {
    const uint32_t color = series[i].iColor;
    char rgb[8];
    std::snprintf(rgb, sizeof(rgb), "%02x%02x%02x", color & 0xff, (color >> 8) & 0xff, (color >> 16) & 0xff);
    if (i > 0) command += ", ";
    command += "'" + data + "' index " + std::to_string(i) + " using 1:" + std::to_string(column) +
               " with lines lw 1.5 lc rgb '#" + rgb + "' title '" + series[i].iLabel + "'";
  }
  return command + "\n";
}

bool WriteScript(const std::string& path, const std::string& png, const std::string& data,
                 const std::vector<KELPlotSeries>& series, const std::vector<KELPanel>& panels, const char* xlabel) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file,
               "set terminal pngcairo size 1000,640 font 'sans,10'\n"
               "set output '%s'\n"
               "set multiplot layout %zu,1\n"
               "set key outside right top\n"
               "set grid\n"
               "set xlabel '%s'\n",
               png.c_str(), panels.size(), xlabel);
  for (size_t p = 0; p < panels.size(); ++p) {
    std::fprintf(file, "set ylabel '%s'\nset title '%s'\n%s\n", panels[p].iAxis, panels[p].iTitle,
                 panels[p].iLog ? "set logscale y" : "unset logscale y");
    std::fputs(PlotCommand(data, series, static_cast<int>(p) + 2).c_str(), file);
  }
  std::fputs("unset multiplot\n", file);
  return std::fclose(file) == 0;
}

bool Draw(const std::string& path, const std::vector<KELPlotSeries>& series, const std::vector<KELPanel>& panels,
          bool withRest, const char* xlabel) {
  const std::string stem = StemOf(path);
  const std::string data = stem + ".dat", script = stem + ".gp";
  if (!WriteData(data, series, panels, withRest) || !WriteScript(script, path, data, series, panels, xlabel)) {
    std::fprintf(stderr, "kel_demo: cannot write %s or %s\n", data.c_str(), script.c_str());
    return false;
  }
  const std::string command = "gnuplot '" + script + "' 2>&1";
  FILE* gnuplot = popen(command.c_str(), "r");
  std::string output;
  char buffer[256];
  while (gnuplot != nullptr && std::fgets(buffer, sizeof(buffer), gnuplot) != nullptr) output += buffer;
  int status = gnuplot != nullptr ? pclose(gnuplot) : -1;
  if (status != 0) {
    std::fprintf(stderr, "kel_demo: no plot (gnuplot missing or failed; install gnuplot-nox): %s\n", output.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool WritePlot(const std::string& path, const std::vector<KELPlotSeries>& series) {
  // Counts span orders of magnitude (all objects against the visible few).
  const std::vector<KELPanel> panels = {
      {"Frame time per frame", "frame time (ms)", true, [](const KELFrameRecord& r) { return r.iFrameMs; }},
      {"Objects drawn per frame", "objects drawn", true,
       [](const KELFrameRecord& r) { return static_cast<double>(r.iDrawn); }}};
  return Draw(path, series, panels, false, "frame");
}

bool WriteStreamPlot(const std::string& path, const std::vector<KELPlotSeries>& series) {
  const std::vector<KELPanel> panels = {
      {"Memory held by the streaming host", "resident MB", false,
       [](const KELFrameRecord& r) { return r.iResidentMb; }},
      {"Pixels of visible objects not drawn", "hole % of the screen", false,
       [](const KELFrameRecord& r) { return r.iHolePct; }}};
  return Draw(path, series, panels, true, "frame (the camera rests at first, then follows its path)");
}
