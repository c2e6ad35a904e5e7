#include "KELFuzzInput.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "TestSupport.h"

namespace {

const float kHostileFloats[] = {0.0f,    -0.0f,    1.0f,     -1.0f,    0.5f,          1e7f,          -1e7f,
                                1e20f,   -1e20f,   FLT_MAX,  -FLT_MAX, INFINITY,      -INFINITY,     NAN,
                                FLT_MIN, -FLT_MIN, 1e-30f,   -1e-30f,  FLT_TRUE_MIN,  -FLT_TRUE_MIN, 16777217.0f,
                                3e38f,   -3e38f,   1e-7f,    9.9e6f,   -9.9e6f};

float RawFloat(FuzzedDataProvider& input) {
  uint32_t bits = input.ConsumeIntegral<uint32_t>();
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

void Identity(float* m) {
  for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

void Perspective(FuzzedDataProvider& input, float* m) {
  const float fovY = input.ConsumeIntegralInRange<int>(1, 170) * 0.0174533f;
  const float aspect = input.ConsumeIntegralInRange<int>(1, 40) * 0.1f;
  const float zNear = input.ConsumeBool() ? 0.5f : PickFloat(input);
  const float zFar = input.ConsumeBool() ? 1000.0f : PickFloat(input);
  KELTestPerspective(fovY, aspect, zNear, zFar, m);
}

void View(FuzzedDataProvider& input, float* m) {
  Identity(m);
  // A rotation about y then a translation: enough to look anywhere.
  const float angle = input.ConsumeIntegralInRange<int>(0, 359) * 0.0174533f;
  m[0] = std::cos(angle);
  m[8] = std::sin(angle);
  m[2] = -std::sin(angle);
  m[10] = std::cos(angle);
  for (int a = 0; a < 3; ++a) m[12 + a] = -PickCoordinate(input);
}

}  // namespace

float PickCoordinate(FuzzedDataProvider& input) { return input.ConsumeIntegralInRange<int>(-800, 800) * 0.25f; }

float PickFloat(FuzzedDataProvider& input) {
  const int kind = input.ConsumeIntegralInRange<int>(0, 7);
  if (kind < 2) return input.PickValueInArray(kHostileFloats);
  return kind == 2 ? RawFloat(input) : PickCoordinate(input);
}

KELFuzzBox PickBox(FuzzedDataProvider& input) {
  KELFuzzBox box;
  const int shape = input.ConsumeIntegralInRange<int>(0, 9);
  for (int a = 0; a < 3; ++a) {
    const float center = PickCoordinate(input);
    const float half = input.ConsumeIntegralInRange<int>(1, 200) * 0.125f;
    if (shape == 8) {  // anything
      box.iMin[a] = PickFloat(input);
      box.iMax[a] = PickFloat(input);
    } else if (shape == 9) {  // huge
      box.iMin[a] = -1e9f;
      box.iMax[a] = half * 1e7f;
    } else {  // 6: zero extent, 7: inverted, else ordinary
      const float h = shape == 6 ? 0.0f : (shape == 7 ? -half : half);
      box.iMin[a] = center - h;
      box.iMax[a] = center + h;
    }
    box.iCenter[a] = (box.iMin[a] + box.iMax[a]) * 0.5f;
  }
  box.iRadius = 0.5f * std::fabs(box.iMax[0] - box.iMin[0]) + 0.5f * std::fabs(box.iMax[1] - box.iMin[1]);
  if (input.ConsumeIntegralInRange<int>(0, 5) == 0) {
    box.iRadius = PickFloat(input);  // negative, NaN, infinite...
    box.iCenter[input.ConsumeIntegralInRange<int>(0, 2)] = PickFloat(input);
  }
  return box;
}

void PickMatrix(FuzzedDataProvider& input, float* m) {
  const int kind = input.ConsumeIntegralInRange<int>(0, 8);
  if (kind == 1 || kind == 2) return View(input, m);
  if (kind == 3 || kind == 4) return Perspective(input, m);
  Identity(m);
  if (kind == 5) m[0] = m[5] = m[10] = m[15] = 0.0f;  // singular
  if (kind == 6) m[3] = m[7] = m[11] = m[15] = 0.0f;  // projective with w = 0 for every point
  if (kind == 7) {  // a few hostile elements in an identity
    const int count = input.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < count; ++i) m[input.ConsumeIntegralInRange<int>(0, 15)] = PickFloat(input);
  }
  if (kind == 8)
    for (int i = 0; i < 16; ++i) m[i] = PickFloat(input);
}

uint32_t PickPixels(FuzzedDataProvider& input, uint32_t threshold) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return 0;
    case 1: return threshold;
    case 2: return threshold + 1u;
    case 3: return 0xFFFFFu + input.ConsumeIntegralInRange<uint32_t>(0, 2);
    case 4: return UINT32_MAX;
    case 5: return input.ConsumeIntegral<uint32_t>();
    default: return input.ConsumeIntegralInRange<uint32_t>(0, 5000);
  }
}

uint32_t PickUnsigned(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return 0;
    case 1: return UINT32_MAX;
    case 2: return 0x80000000u + input.ConsumeIntegralInRange<uint32_t>(0, 2) - 1u;
    case 3: return input.ConsumeIntegral<uint32_t>();
    default: return input.ConsumeIntegralInRange<uint32_t>(0, 1000);
  }
}
