// The per-frame plot, drawn by gnuplot from a data file written here.
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

namespace {

std::string StemOf(const std::string& path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

// One gnuplot data block per run: frame, frame ms, objects drawn (warm-up
// frames of streaming are left out: the camera stands still there).
bool WriteData(const std::string& path, const std::vector<KELPlotSeries>& series) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  for (const KELPlotSeries& run : series) {
    std::fprintf(file, "# %s\n# frame frame_ms drawn\n", GetModeName(run.iMode));
    for (const KELFrameRecord& record : *run.iRecords)
      if (!record.iWarmup) std::fprintf(file, "%d %.4f %u\n", record.iFrame, record.iFrameMs, record.iDrawn);
    std::fputs("\n\n", file);
  }
  return std::fclose(file) == 0;
}

std::string PlotCommand(const std::string& data, const std::vector<KELPlotSeries>& series, int column) {
  std::string command = "plot ";
  for (size_t i = 0; i < series.size(); ++i) {
    uint32_t color = GetPlotColor(series[i].iMode);
    char rgb[8];
    std::snprintf(rgb, sizeof(rgb), "%02x%02x%02x", color & 0xff, (color >> 8) & 0xff, (color >> 16) & 0xff);
    if (i > 0) command += ", ";
    command += "'" + data + "' index " + std::to_string(i) + " using 1:" + std::to_string(column) +
               " with lines lw 1.5 lc rgb '#" + rgb + "' title '" + GetModeName(series[i].iMode) + "'";
  }
  return command + "\n";
}

bool WriteScript(const std::string& path, const std::string& png, const std::string& data,
                 const std::vector<KELPlotSeries>& series) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file,
               "set terminal pngcairo size 1000,640 font 'sans,10'\n"
               "set output '%s'\n"
               "set multiplot layout 2,1\n"
               "set key outside right top\n"
               "set grid\n"
               "set xlabel 'frame'\n"
               "set ylabel 'frame time (ms)'\n"
               "set logscale y\n"
               "set title 'Frame time per frame'\n",
               png.c_str());
  std::fputs(PlotCommand(data, series, 2).c_str(), file);
  // Counts span orders of magnitude (all objects against the visible few).
  std::fputs("set ylabel 'objects drawn'\nset title 'Objects drawn per frame'\n", file);
  std::fputs(PlotCommand(data, series, 3).c_str(), file);
  std::fputs("unset multiplot\n", file);
  return std::fclose(file) == 0;
}

}  // namespace

bool WritePlot(const std::string& path, const std::vector<KELPlotSeries>& series) {
  const std::string stem = StemOf(path);
  const std::string data = stem + ".dat", script = stem + ".gp";
  if (!WriteData(data, series) || !WriteScript(script, path, data, series)) {
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
