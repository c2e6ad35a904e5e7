// The procedural scenes: deterministic by seed, and no two objects touch,
// so that the ground truth does not depend on drawing order.
#include <gtest/gtest.h>

#include <cstring>

#include "KELScene.h"

namespace {

bool SameObjects(const kel::KELScene& a, const kel::KELScene& b) {
  if (a.iObjects.size() != b.iObjects.size()) return false;
  for (size_t i = 0; i < a.iObjects.size(); ++i)
    if (std::memcmp(&a.iObjects[i], &b.iObjects[i], sizeof(kel::KELSceneObject)) != 0) return false;
  return true;
}

TEST(SceneGenerator, GeneratorsAreDeterministicAndLeaveGapsBetweenObjects) {
  for (const char* name : {"city", "plant"}) {
    SCOPED_TRACE(name);
    kel::KELSceneOptions options;
    options.iSize = 6;
    kel::KELScene first, second, other;
    ASSERT_TRUE(kel::MakeScene(name, options, first));
    ASSERT_TRUE(kel::MakeScene(name, options, second));
    options.iSeed = 2;
    ASSERT_TRUE(kel::MakeScene(name, options, other));
    EXPECT_TRUE(SameObjects(first, second));
    EXPECT_FALSE(SameObjects(first, other));
    size_t a = 0, b = 0;
    EXPECT_FALSE(kel::FindTouchingObjects(first, 0.01f, a, b)) << "objects " << a << " and " << b << " touch";
    for (const kel::KELSceneObject& object : first.iObjects) ASSERT_LT(object.iPartition, first.iPartitionCount);
    EXPECT_GE(first.iPath.size(), 2u);
  }
  kel::KELScene scene;
  EXPECT_FALSE(kel::MakeScene("nowhere", kel::KELSceneOptions(), scene));
}

TEST(SceneGenerator, DefaultCityHasMoreThanAHundredThousandEntries) {
  kel::KELScene city = kel::MakeCity(kel::KELSceneOptions());
  EXPECT_GT(city.iObjects.size(), 100000u);
  EXPECT_GE(city.iPartitionCount, 4u);
}

}  // namespace
