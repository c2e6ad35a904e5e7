#include "KELDemoReport.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

const double kLineSeconds = 5.0;

std::vector<double> Column(const KELModeRun& run, double (*value)(const KELFrameRecord&), bool withRest = false) {
  std::vector<double> values;
  for (const KELFrameRecord& record : run.iRecords)
    if (withRest || !record.iWarmup) values.push_back(value(record));
  return values;
}

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

double LibraryMs(const KELFrameRecord& r) { return r.iCullMs - r.iClientMs; }

// The first run of a mode that is not streaming.
const KELModeRun* FindRun(const std::vector<KELModeRun>& runs, KELDemoMode mode) {
  for (const KELModeRun& run : runs)
    if (run.iMode == mode) return &run;
  return nullptr;
}

void WriteStreamingRun(FILE* out, const KELModeRun& run) {
  const KELStreamingSummary& s = run.iStreaming;
  std::fprintf(out, "  %-16s ", GetRunLabel(run).c_str());
  if (s.iFramesToComplete > 0)
    std::fprintf(out, "first view complete after %d frames (%.0f ms)", s.iFramesToComplete, s.iMsToComplete);
  else
    std::fprintf(out, "first view never complete while the camera rested");
  if (run.iStreaming.iOrder == KELStreamingOrder::kAll) std::fprintf(out, ", %.0f ms of it reading all", s.iLoadAllMs);
  std::fprintf(out, "; held at most %.1f MB", Megabytes(s.iPeakHeldBytes));
  if (s.iBudgetBytes > 0) std::fprintf(out, " of %.1f", Megabytes(s.iBudgetBytes));
  std::fprintf(out, "; read %.1f MB; %u evictions; %u entries never loaded (%u of them visible in some frame)\n",
               Megabytes(s.iReadBytes), s.iEvictions, s.iNeverLoaded, s.iVisibleNeverLoaded);
  for (const std::string& failure : s.iFailures) std::fprintf(out, "    refused: %s\n", failure.c_str());
  if (s.iMissingMeshes > 0)
    std::fprintf(out, "    %u objects were handed to drawing without their mesh\n", s.iMissingMeshes);
}

struct KELSummaryColumn {
  const char* iName;
  double (*iValue)(const KELFrameRecord&);
};

const KELSummaryColumn kColumns[] = {
    {"frame ms", [](const KELFrameRecord& r) { return r.iFrameMs; }},
    {"cull ms", [](const KELFrameRecord& r) { return r.iCullMs; }},
    {"lib cpu ms", LibraryMs},
    {"drawn", [](const KELFrameRecord& r) { return static_cast<double>(r.iDrawn); }},
    {"visible", [](const KELFrameRecord& r) { return static_cast<double>(r.iVisible); }},
    {"queries", [](const KELFrameRecord& r) { return static_cast<double>(r.iQueries); }},
    {"missed", [](const KELFrameRecord& r) { return static_cast<double>(r.iMissed); }},
    {"missed>T", [](const KELFrameRecord& r) { return static_cast<double>(r.iMissedChecked); }},
    {"pops", [](const KELFrameRecord& r) { return static_cast<double>(r.iPops); }},
};

double DrawnPerVisible(const KELFrameRecord& r) {
  return r.iVisible > 0 ? static_cast<double>(r.iDrawn) / r.iVisible : 0.0;
}

std::string FormatRatio(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

double MedianFrameMs(const KELModeRun& run) { return Percentile(Column(run, kColumns[0].iValue), 0.5); }

std::string FrameTimeRatio(const KELModeRun* run, const KELModeRun* base) {
  if (run == nullptr || base == nullptr || MedianFrameMs(*base) <= 0) return "-";
  return FormatRatio(MedianFrameMs(*run) / MedianFrameMs(*base));
}

}  // namespace

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(fraction * values.size()));
  return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

bool WriteFramesCsv(const std::string& path, const std::vector<KELModeRun>& runs) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file,
               "mode,frame,warmup,drawn,touched,queries,batches,fill_queries,boxes,loaded,visible,missed,extra,"
               "missed_checked,pops,late_misses,repeat_misses,cull_ms,client_ms,library_ms,frame_ms,submits,"
               "order,hole_pct,visible_unloaded,resident_mb,read_mb,loads,evictions,pending,upload_ms,elapsed_ms,"
               "view,shadow_texels_differ\n");
  for (const KELModeRun& run : runs)
    for (const KELFrameRecord& r : run.iRecords) {
      std::fprintf(file, "%s,%d,%d,%u,%u,%u,%u,%u,%u,%u,%u,%u,%u,%u,%u,%u,%u,%.4f,%.4f,%.4f,%.4f,%u,",
                   GetModeName(r.iMode), r.iFrame, r.iWarmup ? 1 : 0, r.iDrawn, r.iTouched, r.iQueries, r.iBatches,
                   r.iFillQueries, r.iBoxes, r.iLoaded, r.iVisible, r.iMissed, r.iExtra, r.iMissedChecked, r.iPops, r.iLateMisses,
                   r.iRepeatMisses, r.iCullMs, r.iClientMs, r.iCullMs - r.iClientMs, r.iFrameMs, r.iSubmits);
      std::fprintf(file, "%s,%.4f,%u,%.3f,%.3f,%u,%u,%u,%.4f,%.2f,%s,%s\n",
                   r.iMode == KELDemoMode::kStreaming ? GetStreamingOrderName(r.iOrder) : "-", r.iHolePct,
                   r.iVisibleUnloaded, r.iResidentMb, r.iReadMb, r.iLoads, r.iEvictions, r.iPending, r.iUploadMs,
                   r.iElapsedMs, r.iView.empty() ? "-" : r.iView.c_str(),
                   r.iShadowTexelsDiffer < 0 ? "-" : std::to_string(r.iShadowTexelsDiffer).c_str());
    }
  return std::fclose(file) == 0;
}

std::string GetRunLabel(const KELModeRun& run) {
  if (run.iMode != KELDemoMode::kStreaming) return GetModeName(run.iMode);
  return std::string("stream-") + GetStreamingOrderName(run.iStreaming.iOrder);
}

void WriteSummary(FILE* out, const std::vector<KELModeRun>& runs) {
  std::fprintf(out, "%-16s", "mode");
  for (const KELSummaryColumn& column : kColumns) std::fprintf(out, " %19s", column.iName);
  std::fprintf(out, "\n%-16s", "");
  for (size_t i = 0; i < sizeof(kColumns) / sizeof(kColumns[0]); ++i) std::fprintf(out, " %9s %9s", "median", "p95");
  std::fprintf(out, "\n");
  for (const KELModeRun& run : runs) {
    std::fprintf(out, "%-16s", GetRunLabel(run).c_str());
    for (const KELSummaryColumn& column : kColumns) {
      std::vector<double> values = Column(run, column.iValue);
      std::fprintf(out, " %9.2f %9.2f", Percentile(values, 0.5), Percentile(values, 0.95));
    }
    std::fprintf(out, "\n");
  }

  std::fprintf(out, "\nratios (medians over the path)\n");
  const KELModeRun* all = FindRun(runs, KELDemoMode::kDrawAll);
  for (const KELModeRun& run : runs) {
    double ratio = Percentile(Column(run, DrawnPerVisible), 0.5);
    std::fprintf(out, "  %-16s drawn / visible %7.2f", GetRunLabel(run).c_str(), ratio);
    if (all != nullptr) {
      double base = Percentile(Column(*all, kColumns[0].iValue), 0.5);
      double time = Percentile(Column(run, kColumns[0].iValue), 0.5);
      std::fprintf(out, "   frame time / draw-all %6.3f", base > 0 ? time / base : 0.0);
    }
    std::fprintf(out, "\n");
  }
  bool streaming = false;
  for (const KELModeRun& run : runs) {
    if (run.iMode != KELDemoMode::kStreaming) continue;
    if (!streaming) {
      const long rest = std::count_if(run.iRecords.begin(), run.iRecords.end(),
                                      [](const KELFrameRecord& r) { return r.iWarmup; });
      std::fprintf(out, "\nstreaming (the camera rests %ld frames at the first pose, then follows its path)\n", rest);
    }
    streaming = true;
    WriteStreamingRun(out, run);
  }
}

void WriteStreamSummaries(FILE* out, const std::vector<KELModeRun>& runs) {
  for (const KELModeRun& run : runs) {
    if (run.iMode != KELDemoMode::kStreaming) continue;
    const KELStreamingSummary& s = run.iStreaming;
    const std::vector<double> holes = Column(run, [](const KELFrameRecord& r) { return r.iHolePct; }, true);
    double mean = 0;
    for (double hole : holes) mean += hole;
    if (!holes.empty()) mean /= static_cast<double>(holes.size());
    char budget[32] = "-";
    if (s.iBudgetBytes > 0) std::snprintf(budget, sizeof(budget), "%.4g", Megabytes(s.iBudgetBytes));
    const std::string frames = s.iFramesToComplete > 0 ? std::to_string(s.iFramesToComplete) : "-";
    std::fprintf(out,
                 "stream_summary: order=%s budget_mb=%s peak_resident_mb=%.1f read_mb=%.1f frames_to_complete=%s "
                 "hole_pct_mean=%.2f hole_pct_p95=%.2f evictions=%u lib_cpu_ms=%.3f\n",
                 GetStreamingOrderName(s.iOrder), budget, Megabytes(s.iPeakHeldBytes), Megabytes(s.iReadBytes),
                 frames.c_str(), mean, Percentile(holes, 0.95), s.iEvictions,
                 Percentile(Column(run, LibraryMs, true), 0.5));
  }
}

void WriteSummaryLine(FILE* out, const std::string& model, size_t entries, int frames,
                      const std::vector<KELModeRun>& runs) {
  const KELModeRun* library = FindRun(runs, KELDemoMode::kLibrary);
  std::string misses = "strict_misses=- repeat_misses=-", drawn = "-";
  if (library != nullptr) {
    unsigned strict = 0, repeat = 0;
    for (const KELFrameRecord& record : library->iRecords) {
      strict += record.iLateMisses;
      repeat += record.iRepeatMisses;
    }
    misses = "strict_misses=" + std::to_string(strict) + " repeat_misses=" + std::to_string(repeat);
    drawn = FormatRatio(Percentile(Column(*library, DrawnPerVisible), 0.5));
  }
  std::fprintf(out, "summary: model=%s entries=%zu frames=%d %s drawn_over_visible=%s lib_over_frustum=%s "
                    "lib_over_pvs=%s lib_over_all=%s\n",
               model.c_str(), entries, frames, misses.c_str(), drawn.c_str(),
               FrameTimeRatio(library, FindRun(runs, KELDemoMode::kFrustum)).c_str(),
               FrameTimeRatio(library, FindRun(runs, KELDemoMode::kPvs)).c_str(),
               FrameTimeRatio(library, FindRun(runs, KELDemoMode::kDrawAll)).c_str());
}

KELProgress::KELProgress(const std::string& label, int total)
    : iLabel(label), iTotal(std::max(1, total)), iTerminal(isatty(STDERR_FILENO) != 0),
      iStart(std::chrono::steady_clock::now()), iLastLine(iStart) {}

void KELProgress::Update(int done) {
  auto now = std::chrono::steady_clock::now();
  double fraction = std::min(1.0, static_cast<double>(done + 1) / iTotal);
  if (iTerminal) {
    const int width = 30;
    int filled = static_cast<int>(fraction * width);
    std::fprintf(stderr, "\r%-22s [%s%s] %3d%%", iLabel.c_str(), std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), static_cast<int>(fraction * 100));
    std::fflush(stderr);
  } else if (std::chrono::duration<double>(now - iLastLine).count() >= kLineSeconds) {
    iLastLine = now;
    std::fprintf(stderr, "%s: %d/%d frames\n", iLabel.c_str(), done + 1, iTotal);
  }
}

void KELProgress::Finish() {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - iStart).count();
  if (iTerminal) std::fprintf(stderr, "\r%-22s done in %.1f s%30s\n", iLabel.c_str(), seconds, "");
  else std::fprintf(stderr, "%s: done in %.1f s\n", iLabel.c_str(), seconds);
}
