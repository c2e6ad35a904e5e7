// Little-endian fields of the pack format, whatever the machine.
#ifndef KEL_PACK_BYTES_H
#define KEL_PACK_BYTES_H

#include <cstdint>
#include <cstring>

inline uint32_t ReadU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t ReadU64(const uint8_t* p) { return uint64_t{ReadU32(p)} | uint64_t{ReadU32(p + 4)} << 32; }
inline float ReadF32(const uint8_t* p) {
  const uint32_t bits = ReadU32(p);
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}
inline void WriteU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void WriteU64(uint8_t* p, uint64_t value) {
  WriteU32(p, static_cast<uint32_t>(value));
  WriteU32(p + 4, static_cast<uint32_t>(value >> 32));
}
inline void WriteF32(uint8_t* p, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  WriteU32(p, bits);
}

#endif
