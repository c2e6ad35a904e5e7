// The fixed scenario of the allocation-failure sweep: bulk load, three
// frames, updates and load changes, removals, a rebuild, two more frames;
// then, with memory available again, the host re-adds what could not be
// added and runs one last frame, whose visible set is the run's result.
#ifndef KEL_SWEEP_SCENARIO_H
#define KEL_SWEEP_SCENARIO_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HardeningSupport.h"
#include "TestSupport.h"

struct KELSweepResult {
  std::vector<void*> iTouched;  // of the last frame
  std::vector<void*> iDrawn;    // likewise
  std::vector<std::vector<void*>> iSeen;  // drawn or reported, sorted, per frame
  uint32_t iFailedSize = 0;
  long iAllocations = 0;        // asked of the allocator, failed ones included
  long iFailures = 0;
  int iDeferred = 0;            // entries the host had to add again later
  std::string iBroken;          // the first invariant violation, if any
};

// Runs the scenario with `allocator` installed (failing as it is set up)
// and leaves the library's pools drained. The caller's allocator must be
// the only one in use for the run.
KELSweepResult RunSweepScenario(CountingAllocator* allocator);

#endif
