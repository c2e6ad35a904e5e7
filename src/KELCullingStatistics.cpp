#include "KELCullingStatistics.h"

#include <cstdio>

bool KELCullingStatistics::_output = true;
KELCullingStatistics KELCullingStatistics::_last;

void KELCullingStatistics::GetCounts(int32_t counts[6]) const {
  counts[0] = iFillQueries;
  counts[1] = iZonesTraversed;
  counts[2] = iEntriesTraversed;
  counts[3] = iEntriesFilled;
  counts[4] = iBigEntriesFilled;
  counts[5] = iEmptyFillQueries;
}

void KELCullingStatistics::Report() const {
  _last = *this;
  if (!_output) return;
  const char* labels[6] = {"fill query : ",          "zone traversed : ",        "zone entry traversed : ",
                           "zone entry filled : ",   "big zone entry filled : ", "zone entry nothing : "};
  int32_t values[6];
  GetCounts(values);
  for (int i = 0; i < 6; ++i) {
    std::printf("%s%d\n", labels[i], static_cast<int>(values[i]));
    std::fflush(stdout);
  }
}
