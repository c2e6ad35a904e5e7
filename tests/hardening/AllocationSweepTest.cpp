// Allocation-failure sweep: the fixed scenario runs once for every
// allocation it makes, with that allocation failing (and, in the second
// sweep, every later one until memory comes back). Every run must keep the
// partition valid and complete, every frame must cull less, never more,
// and once memory is available again its last frame must report what a run
// without failure reports. The seeded frame is swept the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "SweepScenario.h"

namespace {

// Every ordinal locally; a spread subset in CI and under the sanitizers,
// where one run costs far more.
long SweepStride() {
  if (const char* stride = std::getenv("KEL_SWEEP_STRIDE")) return std::max(1L, std::atol(stride));
  return (std::getenv("CI") != nullptr || KELUnderSanitizer()) ? 4 : 1;
}

// A frame that cannot get memory culls less, never more: every object the
// run without failures drew or reported in a frame is drawn or reported in
// that frame too (unless the host could not add it), and no object is drawn
// or reported twice in a frame.
::testing::AssertionResult CullsLessOnce(const KELSweepResult& run, const KELSweepResult& reference) {
  if (run.iSeen.size() != reference.iSeen.size()) return ::testing::AssertionFailure() << "frame count differs";
  for (size_t f = 0; f < run.iSeen.size(); ++f) {
    const std::vector<void*>& seen = run.iSeen[f];
    const auto repeated = std::adjacent_find(seen.begin(), seen.end());
    if (repeated != seen.end()) return ::testing::AssertionFailure() << "frame " << f << ": an object seen twice";
    const std::vector<void*>* absent = f < run.iAbsent.size() ? &run.iAbsent[f] : nullptr;
    for (void* object : reference.iSeen[f]) {
      if (std::binary_search(seen.begin(), seen.end(), object)) continue;
      if (absent != nullptr && std::binary_search(absent->begin(), absent->end(), object)) continue;
      return ::testing::AssertionFailure() << "frame " << f << ": a visible object was lost";
    }
  }
  return ::testing::AssertionSuccess();
}

KELSweepResult Fixed(long failAt, CountingAllocator::Mode mode) {
  CountingAllocator allocator;
  if (failAt >= 0) allocator.FailAt(failAt, mode);
  return RunSweepScenario(&allocator);
}

// Runs `scenario` without failures (-1), then with each of its allocations
// failing; `recovers`: the run's last frame has memory again and must
// equal the reference's.
template <typename Scenario>
void Sweep(const Scenario& scenario, bool recovers) {
  const KELSweepResult reference = scenario(-1);
  ASSERT_TRUE(reference.iBroken.empty()) << reference.iBroken;
  ASSERT_EQ(reference.iDeferred, 0);
  // It must see something and hide something.
  ASSERT_GT(reference.iTouched.size(), 5u);
  ASSERT_GT(reference.iDrawn.size(), 5u);
  ASSERT_TRUE(CullsLessOnce(reference, reference));
  const long stride = SweepStride();
  for (long k = 0; k < reference.iAllocations; k += stride) {
    const KELSweepResult run = scenario(k);
    ASSERT_TRUE(run.iBroken.empty()) << "failing allocation " << k << ": " << run.iBroken;
    ASSERT_GE(run.iFailures, 1) << "allocation " << k << " was never asked for";
    EXPECT_TRUE(CullsLessOnce(run, reference)) << "failing allocation " << k;
    if (recovers) {
      EXPECT_EQ(run.iTouched, reference.iTouched) << "reported set differs after failing allocation " << k;
      EXPECT_EQ(run.iDrawn, reference.iDrawn) << "drawn set differs after failing allocation " << k;
    }
    if (::testing::Test::HasFailure()) return;
  }
  std::printf("[ sweep    ] %ld allocations swept (stride %ld)\n", reference.iAllocations, stride);
}

}  // namespace

TEST(AllocationSweep, ScenarioIsRepeatable) {
  const KELSweepResult first = Fixed(-1, CountingAllocator::kNever);
  const KELSweepResult second = Fixed(-1, CountingAllocator::kNever);
  ASSERT_TRUE(first.iBroken.empty()) << first.iBroken;
  EXPECT_EQ(first.iAllocations, second.iAllocations);
  EXPECT_EQ(first.iTouched, second.iTouched);
  EXPECT_EQ(first.iDrawn, second.iDrawn);
}

TEST(AllocationSweep, EachSingleFailure) {
  Sweep([](long k) { return Fixed(k, CountingAllocator::kOnlyAt); }, true);
}

TEST(AllocationSweep, FailureFromEachAllocationOn) {
  Sweep([](long k) { return Fixed(k, CountingAllocator::kFromOn); }, true);
}

// Every allocation of a seeded frame, one at a time or from it on.
TEST(AllocationSweep, EachAllocationOfASeededFrame) {
  for (uint64_t seed : {11u, 12u})
    Sweep([seed](long k) { return RunSeededFrame(seed, k, CountingAllocator::kOnlyAt); }, false);
}

TEST(AllocationSweep, ASeededFrameShortOfMemoryFromEachAllocationOn) {
  for (uint64_t seed : {11u, 12u})
    Sweep([seed](long k) { return RunSeededFrame(seed, k, CountingAllocator::kFromOn); }, false);
}
