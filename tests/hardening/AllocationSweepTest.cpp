// Allocation-failure sweep: the fixed scenario runs once for every
// allocation it makes, with that allocation failing (and, in the second
// sweep, every later one until memory comes back). Every run must keep the
// partition valid and complete, and once memory is available again its
// last frame must report what a run without failure reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "KELOcclusionQueryTask.h"
#include "KELScreenSpacePartition.h"
#include "KELScreenZone.h"
#include "SweepScenario.h"

namespace {

// Every ordinal locally; a spread subset in CI and under the sanitizers,
// where one run costs far more.
long SweepStride() {
  if (const char* stride = std::getenv("KEL_SWEEP_STRIDE")) return std::max(1L, std::atol(stride));
  return (std::getenv("CI") != nullptr || KELUnderSanitizer()) ? 4 : 1;
}

// A single failure of a screen record, a screen node or a task has a
// fallback that culls less: every object the run without failures drew or
// reported in a frame is drawn or reported in that frame too.
bool HasFallback(const KELSweepResult& run, CountingAllocator::Mode mode) {
  const uint32_t taskRecord = static_cast<uint32_t>(std::max(sizeof(KELZoneQueryTask), sizeof(KELEntryQueryTask)));
  return mode == CountingAllocator::kOnlyAt &&
         (run.iFailedSize == sizeof(KELScreenZone) || run.iFailedSize == sizeof(KELScreenSpacePartition) ||
          run.iFailedSize == taskRecord);
}

bool CullsLess(const KELSweepResult& run, const KELSweepResult& reference) {
  if (run.iSeen.size() != reference.iSeen.size()) return false;
  for (size_t f = 0; f < run.iSeen.size(); ++f)
    if (!std::includes(run.iSeen[f].begin(), run.iSeen[f].end(), reference.iSeen[f].begin(),
                       reference.iSeen[f].end()))
      return false;
  return true;
}

KELSweepResult Reference() {
  CountingAllocator allocator;
  return RunSweepScenario(&allocator);
}

void Sweep(CountingAllocator::Mode mode) {
  const KELSweepResult reference = Reference();
  ASSERT_TRUE(reference.iBroken.empty()) << reference.iBroken;
  ASSERT_EQ(reference.iDeferred, 0);
  // The scenario must see something and hide something.
  ASSERT_GT(reference.iTouched.size(), 5u);
  ASSERT_GT(reference.iDrawn.size(), 5u);
  const long stride = SweepStride();
  long runs = 0, fallbacks = 0;
  for (long k = 0; k < reference.iAllocations; k += stride) {
    CountingAllocator allocator;
    allocator.FailAt(k, mode);
    const KELSweepResult run = RunSweepScenario(&allocator);
    ++runs;
    ASSERT_TRUE(run.iBroken.empty()) << "failing allocation " << k << ": " << run.iBroken;
    ASSERT_GE(run.iFailures, 1) << "allocation " << k << " was never asked for";
    EXPECT_EQ(run.iTouched, reference.iTouched) << "reported set differs after failing allocation " << k;
    EXPECT_EQ(run.iDrawn, reference.iDrawn) << "drawn set differs after failing allocation " << k;
    if (HasFallback(run, mode)) {
      ++fallbacks;
      EXPECT_TRUE(CullsLess(run, reference)) << "a visible object was lost after failing allocation " << k;
    }
    if (::testing::Test::HasFailure()) return;
  }
  std::printf("[ sweep    ] %ld allocations in the scenario, %ld runs (stride %ld), %ld with a fallback\n",
              reference.iAllocations, runs, stride, fallbacks);
}

}  // namespace

TEST(AllocationSweep, ScenarioIsRepeatable) {
  const KELSweepResult first = Reference();
  const KELSweepResult second = Reference();
  ASSERT_TRUE(first.iBroken.empty()) << first.iBroken;
  EXPECT_EQ(first.iAllocations, second.iAllocations);
  EXPECT_EQ(first.iTouched, second.iTouched);
  EXPECT_EQ(first.iDrawn, second.iDrawn);
}

TEST(AllocationSweep, EachSingleFailure) { Sweep(CountingAllocator::kOnlyAt); }

TEST(AllocationSweep, FailureFromEachAllocationOn) { Sweep(CountingAllocator::kFromOn); }
