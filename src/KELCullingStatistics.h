// The six counters of one occlusion traversal, printed at its end, and what
// else a frame counts.
#ifndef KEL_CULLING_STATISTICS_H
#define KEL_CULLING_STATISTICS_H

#include <cstdint>

struct KELCullingStatistics {
  int32_t iFillQueries = 0;
  int32_t iZonesTraversed = 0;
  int32_t iEntriesTraversed = 0;
  int32_t iEntriesFilled = 0;
  int32_t iBigEntriesFilled = 0;
  int32_t iEmptyFillQueries = 0;
  // Not printed: partitions added for the frame that it could neither list
  // nor hold for want of memory, and so did not cull.
  int32_t iDroppedPartitions = 0;

  // The end of a traversal: keeps the counts as the last frame's and, while
  // output is on, prints the six lines on standard output, flushing after
  // each.
  void Report() const;
  // The six counts in the printed order.
  void GetCounts(int32_t counts[6]) const;

  // Module-wide: whether Report prints (on by default), and the counts of
  // the last Report (zeros before the first).
  static bool _output;
  static KELCullingStatistics _last;
};

#endif
