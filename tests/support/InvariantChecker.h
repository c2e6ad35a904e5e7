// Test-only validator of a partition's invariants. Call it after every
// mutation: EXPECT_TRUE(CheckPartition(root)).
#ifndef KEL_TEST_INVARIANT_CHECKER_H
#define KEL_TEST_INVARIANT_CHECKER_H

#include <gtest/gtest.h>

#include <cstddef>

struct KEL3DZone;

struct PartitionCensus {
  size_t zones = 0;
  size_t entries = 0;
  size_t pending = 0;
  size_t maxDepth = 0;
};

// Checks, for every zone of the tree below `root`: each entry sits in
// exactly the list its load state and pending flag name, with a matching
// iZone and consistent links (never its own successor); the pending count
// matches; split zones hold no waiting entries; bounds contain split bounds;
// children point back to their parent at depth + 1; and every zone's
// bounds contain the box of every entry of its subtree (NaN coordinates
// aside). Fills `census` when given.
::testing::AssertionResult CheckPartition(const KEL3DZone* root, PartitionCensus* census = nullptr);

#endif
