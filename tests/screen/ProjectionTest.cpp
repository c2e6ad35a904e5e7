// Projection into normalized device coordinates and the clip-plane test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "KEL3DZone.h"
#include "KELPools.h"
#include "KELScreenZone.h"
#include "TestSupport.h"

namespace {

KEL3DZone MakeZone(float x0, float y0, float z0, float x1, float y1, float z1) {
  KEL3DZone zone{};
  zone.iMin[0] = x0, zone.iMin[1] = y0, zone.iMin[2] = z0;
  zone.iMax[0] = x1, zone.iMax[1] = y1, zone.iMax[2] = z1;
  return zone;
}

}  // namespace

TEST(ViewProjection, IdentityAndTranslation) {
  float m[16], out[16];
  for (int i = 0; i < 16; ++i) m[i] = static_cast<float>(i + 1);
  ComputeViewProjection(m, kIdentity, out);
  EXPECT_EQ(0, std::memcmp(out, m, sizeof(out)));
  ComputeViewProjection(kIdentity, m, out);
  EXPECT_EQ(0, std::memcmp(out, m, sizeof(out)));

  float translate[16];
  std::memcpy(translate, kIdentity, sizeof(translate));
  translate[12] = 3, translate[13] = -4, translate[14] = 5;
  ComputeViewProjection(kIdentity, translate, out);
  // (0,0,0,1) maps to the translation row.
  EXPECT_EQ(out[12], 3.0f);
  EXPECT_EQ(out[13], -4.0f);
  EXPECT_EQ(out[14], 5.0f);
  EXPECT_EQ(out[15], 1.0f);

  // Projection is applied after view: a scale then a translation.
  float scale[16];
  std::memcpy(scale, kIdentity, sizeof(scale));
  scale[0] = 2;
  ComputeViewProjection(scale, translate, out);
  EXPECT_EQ(out[12], 6.0f);  // the translated point is scaled
}

// Inside only when strictly within the screen and in front of the near
// plane; a box crossing the near plane is clamped in x and y, never in z.
TEST(ProjectZone, InsideFlagAndClampingOfTheScreenRecord) {
  float plusOne[16], plusTwo[16], zeroW[16] = {};
  std::memcpy(plusOne, kIdentity, sizeof(plusOne));
  std::memcpy(plusTwo, kIdentity, sizeof(plusTwo));
  plusOne[14] = 1;  // clip z = z + 1, w = 1
  plusTwo[14] = 2;
  zeroW[0] = zeroW[5] = zeroW[10] = 1;  // w = 0 everywhere: non-finite bounds
  struct Case {
    const char* name;
    const float* matrix;
    float box[6];
    bool inside, crosses;
    float min[3], max[3];  // NaN: not compared
  };
  const Case cases[] = {
      {"inside", plusOne, {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}, true, false, {-0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 1.5f}},
      {"on the edge", plusTwo, {-1, -0.5f, 0, 0.5f, 1, 1}, false, false, {-1, -0.5f, 2}, {0.5f, 1, 3}},
      {"on the lower edge", plusTwo, {-0.5f, -1, 0, 0.5f, 0.5f, 1}, false, false, {-0.5f, -1, 2}, {0.5f, 0.5f, 3}},
      // With the identity, clip z = z: the corner at z = 0 is on the near plane.
      {"crossing", kIdentity, {-0.5f, -3, 0, 0.5f, 0.5f, 4}, false, true, {-0.5f, -1, 0}, {0.5f, 0.5f, 4}},
      {"small crossing", kIdentity, {-0.1f, -0.1f, -0.1f, 0.1f, 0.1f, 0.1f}, false, true, {-0.1f, -0.1f, -0.1f},
       {0.1f, 0.1f, 0.1f}},
      {"w = 0", zeroW, {1, 1, 1, 2, 2, 2}, false, false, {NAN, NAN, NAN}, {NAN, NAN, NAN}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEL3DZone zone = MakeZone(c.box[0], c.box[1], c.box[2], c.box[3], c.box[4], c.box[5]);
    zone.iFlags = c.inside ? 0 : kZoneFlagInsideScreen;
    KELScreenZone* record = ProjectZone(c.matrix, &zone);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->iIsInsideScreen != 0, c.inside);
    EXPECT_EQ((zone.iFlags & kZoneFlagInsideScreen) != 0, c.inside);
    EXPECT_EQ(record->iCrossesNearPlane != 0, c.crosses);
    EXPECT_EQ(record->iZone, &zone);
    EXPECT_EQ(record->iViewProjection, c.matrix);
    for (int a = 0; a < 3; ++a) {
      if (std::isnan(c.min[a])) continue;
      EXPECT_EQ(record->iMin[a], c.min[a]) << a;
      EXPECT_EQ(record->iMax[a], c.max[a]) << a;
    }
    KELPools::GiveBack(record);
  }
}

TEST(ProjectZone, BehindTheEyeOnlyWhenEveryCornerHasWAtOrBelowZero) {
  float perspective[16] = {};  // looking down -z: w = -z
  perspective[0] = perspective[5] = perspective[10] = 1;
  perspective[11] = -1;
  float notFinite[16];
  std::memcpy(notFinite, perspective, sizeof(notFinite));
  notFinite[15] = NAN;
  struct Case {
    const float* matrix;
    float z0, z1;
    bool behind;
  };
  const Case cases[] = {{perspective, 1, 2, true},  {perspective, 0, 1, true}, {perspective, -1, 1, false},
                        {perspective, -2, -1, false}, {kIdentity, 1, 2, false},  {notFinite, 1, 2, false}};
  for (const Case& c : cases) {
    KEL3DZone zone = MakeZone(-1, -1, c.z0, 1, 1, c.z1);
    KELScreenZone* record = ProjectZone(c.matrix, &zone);
    EXPECT_EQ(record->iBehindEye != 0, c.behind) << "z " << c.z0 << " to " << c.z1;
    KELPools::GiveBack(record);
  }
}

TEST(ProjectInsideZone, NoTestsNoClamping) {
  float m[16];
  std::memcpy(m, kIdentity, sizeof(m));
  KEL3DZone zone = MakeZone(-3, -3, -3, 3, 3, 3);
  KELScreenZone* record = ProjectInsideZone(m, &zone);
  EXPECT_TRUE(record->iIsInsideScreen);
  EXPECT_FALSE(record->iCrossesNearPlane);
  EXPECT_EQ(record->iMin[0], -3.0f);
  EXPECT_TRUE(zone.iFlags & kZoneFlagInsideScreen);
  KELPools::GiveBack(record);
}

TEST(ProjectBox, NanFromALaterCornerNeverMovesABound) {
  float m[16];
  std::memcpy(m, kIdentity, sizeof(m));
  const float mn[3] = {0, 0, 0}, mx[3] = {NAN, 1, 1};
  float outMin[3], outMax[3];
  ProjectBox(mn, mx, m, outMin, outMax);
  EXPECT_EQ(outMin[0], 0.0f);
  EXPECT_EQ(outMax[0], 0.0f);
  EXPECT_EQ(outMax[1], 1.0f);
}

TEST(ClipPlanes, ExactZeroRejectsAndASliverInsidePasses) {
  KEL3DZone zone = MakeZone(0, 0, 0, 1, 1, 1);
  // x + 0 = value: corner x=0 gives 0, the others 1: every corner >= 0.
  float outside[4] = {1, 0, 0, 0};
  float* planes[1] = {outside};
  EXPECT_TRUE(IsOutsideClipPlanes(1, planes, &zone));
  float sliver[4] = {1, 0, 0, -0.0001f};
  planes[0] = sliver;
  EXPECT_FALSE(IsOutsideClipPlanes(1, planes, &zone));
}

TEST(ClipPlanes, OnlyASinglePlaneRejects) {
  // The box lies outside the intersection of two half spaces, but each plane
  // keeps one corner: not rejected (the test is conservative).
  KEL3DZone zone = MakeZone(0, 0, 0, 1, 1, 1);
  float a[4] = {-1, 0, 0, 0.5f};   // keeps x > 0.5
  float b[4] = {1, 0, 0, -0.25f};  // keeps x < 0.25
  float* planes[2] = {a, b};
  EXPECT_FALSE(IsOutsideClipPlanes(2, planes, &zone));
}

TEST(ClipPlanes, UsesOnlyThePlanesHeldAndAtMostSix) {
  KEL3DZone zone = MakeZone(0, 0, 0, 1, 1, 1);
  float keep[4] = {0, 0, 0, -1};
  float reject[4] = {0, 0, 0, 1};
  EXPECT_FALSE(IsOutsideClipPlanes(0, nullptr, &zone));
  EXPECT_FALSE(IsOutsideClipPlanes(-3, nullptr, &zone));
  float* two[2] = {keep, reject};
  EXPECT_TRUE(IsOutsideClipPlanes(2, two, &zone));
  EXPECT_FALSE(IsOutsideClipPlanes(1, two, &zone));
  float* seven[7] = {keep, keep, keep, keep, keep, keep, reject};
  EXPECT_FALSE(IsOutsideClipPlanes(7, seven, &zone));
  float nanPlane[4] = {NAN, 0, 0, 0};
  float* withNan[1] = {nanPlane};
  EXPECT_TRUE(IsOutsideClipPlanes(1, withNan, &zone));  // NaN is not < 0
}

// The nearest-corner test must agree with the corner-by-corner reference on
// every box and plane, special values included.
TEST(ClipPlanes, NearestCornerMatchesTheCornerByCornerReference) {
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -2.5f, 1e-40f, -1e-40f, 3e38f, -3e38f,
                            INFINITY, -INFINITY, NAN, 1e7f, -1e7f};
  const int count = sizeof(specials) / sizeof(specials[0]);
  uint32_t seed = 7;
  auto next = [&seed]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  auto value = [&]() {
    uint32_t r = next();
    return r % 4 == 0 ? specials[r / 4 % count] : (static_cast<float>(r % 2001) - 1000.0f) * 0.01f;
  };
  int outside = 0, inside = 0;
  for (int i = 0; i < 200000; ++i) {
    KEL3DZone zone = MakeZone(value(), value(), value(), value(), value(), value());
    for (int a = 0; a < 3; ++a)
      if (next() % 4 == 0) std::swap(zone.iMin[a], zone.iMax[a]);  // inverted boxes too
    float plane[4] = {value(), value(), value(), value()};
    float* planes[1] = {plane};
    bool fast = IsOutsideClipPlanes(1, planes, &zone);
    bool reference = IsOutsideClipPlanesByCorners(1, planes, &zone);
    ASSERT_EQ(fast, reference) << "box " << zone.iMin[0] << "," << zone.iMin[1] << "," << zone.iMin[2] << " - "
                               << zone.iMax[0] << "," << zone.iMax[1] << "," << zone.iMax[2] << " plane " << plane[0]
                               << "," << plane[1] << "," << plane[2] << "," << plane[3];
    (fast ? outside : inside) += 1;
  }
  EXPECT_GT(outside, 10000);
  EXPECT_GT(inside, 10000);
}
