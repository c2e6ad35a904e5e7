// The library's partition validator as a GoogleTest assertion: call it
// after every mutation, EXPECT_TRUE(CheckPartition(root)).
#ifndef KEL_TEST_INVARIANT_CHECKER_H
#define KEL_TEST_INVARIANT_CHECKER_H

#include <gtest/gtest.h>

#include "KELValidator.h"

inline ::testing::AssertionResult CheckPartition(const KEL3DZone* root, KELPartitionCensus* census = nullptr) {
  const KELVerdict verdict = KELValidatePartition(root, census);
  if (verdict) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << verdict.iMessage;
}

#endif
