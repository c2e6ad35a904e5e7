// Turns fuzzer bytes into the values a host may pass: ordinary ones that
// build real trees, and hostile ones (NaN, infinities, huge and denormal
// numbers, inverted and empty boxes, singular and projective matrices).
#ifndef KEL_FUZZ_INPUT_H
#define KEL_FUZZ_INPUT_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

struct KELFuzzBox {
  float iMin[3];
  float iMax[3];
  float iCenter[3];
  float iRadius;
};

// Any float: mostly small ordinary values, often a hostile constant,
// sometimes raw bits.
float PickFloat(FuzzedDataProvider& input);
// A coordinate of the ordinary scene range (-200..200, steps of 0.25).
float PickCoordinate(FuzzedDataProvider& input);
// A box in one of several shapes: ordinary, zero extent, inverted, huge,
// or built from arbitrary floats; its sphere may be hostile too.
KELFuzzBox PickBox(FuzzedDataProvider& input);
// A 4x4 matrix: identity, a camera view, a perspective projection (with a
// hostile near or far plane now and then), all zero, one with w = 0
// everywhere, an identity with a few hostile elements, or arbitrary floats.
void PickMatrix(FuzzedDataProvider& input, float* matrix);
// Pixel counts a renderer may report: 0, around the threshold, the 20-bit
// limit, UINT32_MAX, anything.
uint32_t PickPixels(FuzzedDataProvider& input, uint32_t threshold);
// Thresholds and coherencies over the whole unsigned range.
uint32_t PickUnsigned(FuzzedDataProvider& input);

#endif
