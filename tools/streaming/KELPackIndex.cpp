// Opening a pack: the header and the index, every claim checked against the
// file's size before anything is allocated for it.
#include <zlib.h>

#include <cmath>
#include <cstring>

#include "KELPackBytes.h"
#include "KELStreaming.h"

namespace {

const char kMagic[8] = {'K', 'E', 'L', 'P', 'A', 'C', 'K', 0};

struct KELPackHeader {
  uint32_t iVersion;
  uint32_t iHeaderBytes;
  uint32_t iEntryCount;
  uint32_t iPartitionCount;
  uint32_t iMatrixCount;
  uint32_t iVertexBytes;
  uint64_t iIndexOffset;
  uint64_t iFileBytes;
  uint32_t iIndexChecksum;
};

bool Fail(const KELPackSource& source, const std::string& why, std::string& error) {
  error = source.GetName() + ": " + why;
  return false;
}

bool ParseHeader(const KELPackSource& source, const uint8_t* bytes, KELPackHeader& header, std::string& error) {
  if (std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0) return Fail(source, "not a pack (no KELPACK header)", error);
  header.iVersion = ReadU32(bytes + 8);
  if (header.iVersion != kKELPackVersion)
    return Fail(source, "pack version " + std::to_string(header.iVersion) + ", this reader knows version " +
                            std::to_string(kKELPackVersion),
                error);
  if (ReadU32(bytes + 60) != PackChecksum(bytes, 60)) return Fail(source, "damaged header (checksum)", error);
  header.iHeaderBytes = ReadU32(bytes + 12);
  header.iEntryCount = ReadU32(bytes + 16);
  header.iPartitionCount = ReadU32(bytes + 20);
  header.iMatrixCount = ReadU32(bytes + 24);
  header.iVertexBytes = ReadU32(bytes + 28);
  header.iIndexOffset = ReadU64(bytes + 32);
  header.iFileBytes = ReadU64(bytes + 40);
  header.iIndexChecksum = ReadU32(bytes + 48);
  if (header.iHeaderBytes != kKELPackHeaderBytes || header.iVertexBytes != sizeof(KELPackVertex))
    return Fail(source, "unknown header or vertex layout", error);
  return true;
}

// The index must end the file exactly; 64-bit sums of 32-bit counts
// cannot overflow.
bool CheckLayout(const KELPackSource& source, const KELPackHeader& header, std::string& error) {
  if (header.iFileBytes != source.GetSize())
    return Fail(source,
                "truncated or extended: the header says " + std::to_string(header.iFileBytes) + " bytes, the file has " +
                    std::to_string(source.GetSize()),
                error);
  const uint64_t indexBytes = uint64_t{header.iEntryCount} * kKELPackEntryBytes + uint64_t{header.iMatrixCount} * 64u;
  if (header.iIndexOffset < kKELPackHeaderBytes || header.iIndexOffset > header.iFileBytes ||
      header.iFileBytes - header.iIndexOffset != indexBytes)
    return Fail(source, "the index does not fit the file (offset or counts damaged)", error);
  return true;
}

bool Finite(const float* values, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

// One record against the header: `why` says what is wrong.
bool CheckEntry(const KELPackEntry& entry, const KELPackHeader& header, std::string& why) {
  if (!Finite(entry.iMin, 3) || !Finite(entry.iMax, 3) || !std::isfinite(entry.iRadius) || entry.iRadius < 0 ||
      !(entry.iMin[0] <= entry.iMax[0] && entry.iMin[1] <= entry.iMax[1] && entry.iMin[2] <= entry.iMax[2]))
    why = "a box or sphere that is not finite or inverted";
  else if (entry.iPartition >= header.iPartitionCount)
    why = "a partition out of range";
  else if (entry.iMatrix != kKELPackNoMatrix && entry.iMatrix >= header.iMatrixCount)
    why = "a matrix out of range";
  else if (entry.iPackedBytes < kKELPackBlockHeaderBytes || entry.iOffset < kKELPackHeaderBytes ||
           entry.iOffset > header.iIndexOffset || header.iIndexOffset - entry.iOffset < entry.iPackedBytes)
    why = "a block outside the blocks' area";
  else if (uint64_t{entry.iTriangles} * 12u > entry.iUnpackedBytes ||
           (entry.iUnpackedBytes - uint64_t{entry.iTriangles} * 12u) % sizeof(KELPackVertex) != 0)
    why = "sizes that do not make whole vertices and triangles";
  else if (entry.iUnpackedBytes > uint64_t{entry.iPackedBytes} * kKELPackMaxExpansion + 1024u)
    why = "a block claiming more geometry than its bytes can hold";
  else
    return true;
  return false;
}

void ParseEntry(const uint8_t* bytes, KELPackEntry& entry) {
  for (int axis = 0; axis < 3; ++axis) {
    entry.iMin[axis] = ReadF32(bytes + 4 * axis);
    entry.iMax[axis] = ReadF32(bytes + 12 + 4 * axis);
  }
  entry.iRadius = ReadF32(bytes + 24);
  entry.iPartition = ReadU32(bytes + 28);
  entry.iOffset = ReadU64(bytes + 32);
  entry.iPackedBytes = ReadU32(bytes + 40);
  entry.iUnpackedBytes = ReadU32(bytes + 44);
  entry.iTriangles = ReadU32(bytes + 48);
  entry.iMatrix = ReadU32(bytes + 52);
}

}  // namespace

uint32_t PackChecksum(const uint8_t* bytes, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths.
  while (size > 0) {
    const uInt part = static_cast<uInt>(size > 0x40000000u ? 0x40000000u : size);
    crc = crc32(crc, bytes, part);
    bytes += part;
    size -= part;
  }
  return static_cast<uint32_t>(crc);
}

bool KELPackIndex::Open(KELPackSource& source, std::string& error) {
  *this = KELPackIndex();
  if (source.GetSize() < kKELPackHeaderBytes) return Fail(source, "too short for a pack header", error);
  uint8_t headerBytes[kKELPackHeaderBytes];
  if (!source.ReadAt(0, kKELPackHeaderBytes, headerBytes, error)) return false;
  KELPackHeader header = {};
  if (!ParseHeader(source, headerBytes, header, error) || !CheckLayout(source, header, error)) return false;

  // CheckLayout bounded the index by the file's size.
  const uint64_t indexBytes = header.iFileBytes - header.iIndexOffset;
  if (indexBytes > 0xFFFFFFFFull) return Fail(source, "an index over 4 GiB", error);
  std::vector<uint8_t> bytes(static_cast<size_t>(indexBytes));
  if (indexBytes > 0 && !source.ReadAt(header.iIndexOffset, static_cast<uint32_t>(indexBytes), bytes.data(), error))
    return false;
  if (PackChecksum(bytes.data(), bytes.size()) != header.iIndexChecksum)
    return Fail(source, "damaged index (checksum)", error);

  iEntries.resize(header.iEntryCount);
  std::string why;
  for (uint32_t e = 0; e < header.iEntryCount; ++e) {
    KELPackEntry& entry = iEntries[e];
    ParseEntry(bytes.data() + size_t{e} * kKELPackEntryBytes, entry);
    if (!CheckEntry(entry, header, why)) {
      iEntries.clear();
      return Fail(source, "entry " + std::to_string(e) + ": " + why, error);
    }
    iPackedBytes += entry.iPackedBytes;
    iUnpackedBytes += entry.iUnpackedBytes;
    iTriangles += entry.iTriangles;
  }
  const uint8_t* matrices = bytes.data() + size_t{header.iEntryCount} * kKELPackEntryBytes;
  iMatrices.resize(size_t{header.iMatrixCount} * 16);
  for (size_t m = 0; m < iMatrices.size(); ++m) iMatrices[m] = ReadF32(matrices + 4 * m);
  if (!Finite(iMatrices.data(), iMatrices.size())) {
    *this = KELPackIndex();
    return Fail(source, "a matrix that is not finite", error);
  }
  iPartitionCount = header.iPartitionCount;
  iFileBytes = header.iFileBytes;
  return true;
}

const float* KELPackIndex::GetMatrix(uint32_t entry) const {
  const uint32_t matrix = iEntries[entry].iMatrix;
  return matrix == kKELPackNoMatrix ? nullptr : &iMatrices[size_t{matrix} * 16];
}

uint64_t KELPackIndex::GetMemoryBytes() const {
  return iEntries.capacity() * sizeof(KELPackEntry) + iMatrices.capacity() * sizeof(float) + sizeof(*this);
}
