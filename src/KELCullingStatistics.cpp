#include "KELCullingStatistics.h"

#include <cstdio>

KELCullingStatistics KELCullingStatistics::_last;

void KELCullingStatistics::Print() const {
  const char* labels[6] = {"fill query : ",          "zone traversed : ",        "zone entry traversed : ",
                           "zone entry filled : ",   "big zone entry filled : ", "zone entry nothing : "};
  const int32_t values[6] = {iFillQueries,   iZonesTraversed,   iEntriesTraversed,
                             iEntriesFilled, iBigEntriesFilled, iEmptyFillQueries};
  for (int i = 0; i < 6; ++i) {
    std::printf("%s%d\n", labels[i], static_cast<int>(values[i]));
    std::fflush(stdout);
  }
}
