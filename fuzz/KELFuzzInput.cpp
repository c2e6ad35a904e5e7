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
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
      return input.PickValueInArray(kHostileFloats);
    case 2:
      return RawFloat(input);
    default:
      return PickCoordinate(input);
  }
}

KELFuzzBox PickBox(FuzzedDataProvider& input) {
  KELFuzzBox box;
  const int shape = input.ConsumeIntegralInRange<int>(0, 9);
  for (int a = 0; a < 3; ++a) {
    const float center = PickCoordinate(input);
    const float half = input.ConsumeIntegralInRange<int>(1, 200) * 0.125f;
    switch (shape) {
      case 6:  // zero extent
        box.iMin[a] = box.iMax[a] = center;
        break;
      case 7:  // inverted
        box.iMin[a] = center + half;
        box.iMax[a] = center - half;
        break;
      case 8:  // anything
        box.iMin[a] = PickFloat(input);
        box.iMax[a] = PickFloat(input);
        break;
      case 9:  // huge
        box.iMin[a] = -1e9f;
        box.iMax[a] = half * 1e7f;
        break;
      default:
        box.iMin[a] = center - half;
        box.iMax[a] = center + half;
        break;
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
  switch (input.ConsumeIntegralInRange<int>(0, 8)) {
    case 0:
      Identity(m);
      break;
    case 1:
    case 2:
      View(input, m);
      break;
    case 3:
    case 4:
      Perspective(input, m);
      break;
    case 5:  // singular
      for (int i = 0; i < 16; ++i) m[i] = 0.0f;
      break;
    case 6:  // projective with w = 0 for every point
      Identity(m);
      m[3] = m[7] = m[11] = m[15] = 0.0f;
      break;
    case 7: {  // a few hostile elements in an identity
      Identity(m);
      const int count = input.ConsumeIntegralInRange<int>(1, 4);
      for (int i = 0; i < count; ++i) m[input.ConsumeIntegralInRange<int>(0, 15)] = PickFloat(input);
      break;
    }
    default:
      for (int i = 0; i < 16; ++i) m[i] = PickFloat(input);
      break;
  }
}

uint32_t PickPixels(FuzzedDataProvider& input, uint32_t threshold) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return 0;
    case 1:
      return threshold;
    case 2:
      return threshold + 1u;
    case 3:
      return 0xFFFFFu + input.ConsumeIntegralInRange<uint32_t>(0, 2);
    case 4:
      return UINT32_MAX;
    case 5:
      return input.ConsumeIntegral<uint32_t>();
    default:
      return input.ConsumeIntegralInRange<uint32_t>(0, 5000);
  }
}

uint32_t PickUnsigned(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return 0;
    case 1:
      return UINT32_MAX;
    case 2:
      return 0x80000000u + input.ConsumeIntegralInRange<uint32_t>(0, 2) - 1u;
    case 3:
      return input.ConsumeIntegral<uint32_t>();
    default:
      return input.ConsumeIntegralInRange<uint32_t>(0, 1000);
  }
}

uint32_t KELFuzzRandom::Next() {
  iState = iState * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(iState >> 33);
}

float KELFuzzRandom::Uniform(float low, float high) {
  return low + (high - low) * (static_cast<float>(Next() & 0xFFFFFF) / 16777216.0f);
}
