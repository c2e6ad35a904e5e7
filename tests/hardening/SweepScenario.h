// The scenarios of the allocation-failure sweep. The fixed scenario: bulk
// load, three frames, updates and load changes, removals, a rebuild, two
// more frames; then, with memory available again, the host re-adds what
// could not be added and runs one last frame. The seeded frame: one frame
// over a scene made from a seed, run with empty pools so that it allocates
// every record it uses.
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
  // Per frame: every object drawn or reported, sorted, as often as it was;
  // and the objects the host could not add (sorted).
  std::vector<std::vector<void*>> iSeen;
  std::vector<std::vector<void*>> iAbsent;
  long iAllocations = 0;        // asked of the allocator, failed ones included (seeded: in the frame)
  long iFailures = 0;
  int iDeferred = 0;            // entries the host had to add again later
  std::string iBroken;          // the first invariant violation, if any
};

// Runs the scenario with `allocator` installed (failing as it is set up)
// and leaves the library's pools drained. The caller's allocator must be
// the only one in use for the run.
KELSweepResult RunSweepScenario(CountingAllocator* allocator);

// The seeded frame, with allocation `failAt` of the frame (counted from 0;
// -1 for none) failing as `mode` says. A frame over part of the region runs
// first, so that some subjects the frame sees are batched.
KELSweepResult RunSeededFrame(uint64_t seed, long failAt, CountingAllocator::Mode mode);

#endif
