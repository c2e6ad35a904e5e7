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
  KELStreamingSummary iStreaming;  // streaming runs; its order names the run
};

// The mode's name, or stream-ORDER for a streaming run.
std::string GetRunLabel(const KELModeRun& run);

bool WriteFramesCsv(const std::string& path, const std::vector<KELModeRun>& runs);
// Median and 95th percentile per run, then the ratios between runs, then
// what each streaming run held, read and completed.
void WriteSummary(FILE* out, const std::vector<KELModeRun>& runs);
// One machine-readable line per streaming run:
// stream_summary: order=O budget_mb=B peak_resident_mb=P read_mb=R
// frames_to_complete=F hole_pct_mean=H hole_pct_p95=Q evictions=E lib_cpu_ms=L
// B is "-" without a budget (and for the all order); F is the first frame
// of the rest at the first pose with hole pixels at most 0.5% of the
// screen, "-" if none; H, Q and L (the median of the library's own CPU
// time) are over every frame of the run.
void WriteStreamSummaries(FILE* out, const std::vector<KELModeRun>& runs);

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
