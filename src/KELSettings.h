// Module-wide settings and the frame counter.
#ifndef KEL_SETTINGS_H
#define KEL_SETTINGS_H

#include <cstdint>

struct KELSettings {
  static uint32_t _pixelHitsThreshold;  // default 300
  static uint32_t _frameCoherency;      // default 0
  static bool _reversedDepth;           // default false
  static int32_t _frameCounter;         // 0 at load; the first frame is 1

  // Advances the frame counter with a defined wrap from INT32_MAX to INT32_MIN.
  static void AdvanceFrame() {
    _frameCounter = static_cast<int32_t>(static_cast<uint32_t>(_frameCounter) + 1u);
  }
  // frame - earlier, wrapping, as a signed distance. Every frame comparison
  // goes through it, so that coherency holds across the counter's wrap; a
  // negative distance means `earlier` lies more than 2^31 frames back (or
  // was never set), and counts as long ago.
  static int32_t FramesSince(int32_t frame, int32_t earlier) {
    return static_cast<int32_t>(static_cast<uint32_t>(frame) - static_cast<uint32_t>(earlier));
  }
};

#endif
