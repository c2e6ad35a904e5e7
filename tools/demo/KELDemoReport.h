// Per-frame CSV, the summary table and the progress indicator of the demo.
#ifndef KEL_DEMO_REPORT_H
#define KEL_DEMO_REPORT_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "KELWalkthrough.h"

struct KELModeRun {
  KELDemoMode iMode;
  std::vector<KELFrameRecord> iRecords;
};

bool WriteFramesCsv(const std::string& path, const std::vector<KELModeRun>& runs);
// Median and 95th percentile per mode, then the ratios between modes.
void WriteSummary(FILE* out, const std::vector<KELModeRun>& runs, const KELStreamingSummary* streaming);

// One machine-readable line for scripts, always the last of a run:
// summary: model=NAME entries=E frames=F strict_misses=S repeat_misses=R
// drawn_over_visible=X lib_over_frustum=Y lib_over_pvs=Z lib_over_all=W
// Misses are the library run's totals over the path (strict: missed above
// the checked pixels while above them in the previous frame too); X is the
// median of its drawn / visible; Y, Z, W are its median frame time over
// that of frustum, pvs and draw-all. A figure whose run is missing is "-".
void WriteSummaryLine(FILE* out, const std::string& model, size_t entries, int frames,
                      const std::vector<KELModeRun>& runs);

// The value below which `fraction` of the values lie (nearest rank).
double Percentile(std::vector<double> values, double fraction);

// A bar on a terminal, otherwise a line every few seconds.
class KELProgress {
public:
  KELProgress(const std::string& label, int total);
  void Update(int done);
  void Finish();

private:
  std::string iLabel;
  int iTotal;
  bool iTerminal;
  std::chrono::steady_clock::time_point iStart;
  std::chrono::steady_clock::time_point iLastLine;
};

#endif
