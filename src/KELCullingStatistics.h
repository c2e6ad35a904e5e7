// The six counters of one occlusion traversal, printed at its end.
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

  // Prints the six lines on standard output, flushing after each.
  void Print() const;
};

#endif
