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
