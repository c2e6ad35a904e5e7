// libFuzzer harnesses for pack files (built twice, as kel_fuzz_pack over
// whole files and kel_fuzz_pack_block over single blocks): any input either
// opens or decodes, and then holds together, or fails with a message. An
// input whose last byte (whole files) or first byte (blocks) is odd has its
// checksums made right first, so that mutations reach the checks behind
// them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KELStreaming.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "pack invariant broken: %s\n", what);
    std::abort();
  }
}

void Put32(uint8_t* p, uint32_t value) { std::memcpy(p, &value, sizeof(value)); }

// A decoded block matches its entry and indexes only its own vertices.
void CheckGeometry(const KELPackEntry& entry, const KELPackGeometry& geometry) {
  Check(geometry.iIndices.size() == uint64_t{entry.iTriangles} * 3, "triangles other than the entry's");
  Check(geometry.iVertices.size() == GetPackVertexCount(entry), "vertices other than the entry's");
  for (uint32_t index : geometry.iIndices) Check(index < geometry.iVertices.size(), "an index past the vertices");
}

#ifdef KEL_FUZZ_PACK_BLOCK

uint32_t Get32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

int FuzzBlock(const uint8_t* data, size_t size) {
  if (size < 9 + kKELPackBlockHeaderBytes || size - 9 > 0xFFFFFFFFu) return 0;
  std::vector<uint8_t> block(data + 9, data + size);
  if (data[0] & 1) Put32(block.data(), PackChecksum(block.data() + 4, block.size() - 4));
  KELPackEntry entry = {};
  entry.iPackedBytes = static_cast<uint32_t>(block.size());
  entry.iUnpackedBytes = Get32(data + 1);
  entry.iTriangles = Get32(data + 5);
  KELPackGeometry geometry;
  std::string error;
  if (DecodePackBlock(entry, block.data(), entry.iPackedBytes, geometry, error)) CheckGeometry(entry, geometry);
  else Check(!error.empty(), "a refusal without a message");
  return 0;
}

#else

void Seal(std::vector<uint8_t>& bytes) {
  if (bytes.size() < kKELPackHeaderBytes) return;
  uint64_t index;
  std::memcpy(&index, &bytes[32], sizeof(index));
  if (index <= bytes.size()) Put32(&bytes[48], PackChecksum(&bytes[index], bytes.size() - index));
  Put32(&bytes[60], PackChecksum(bytes.data(), 60));
}

int FuzzPack(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && (data[size - 1] & 1)) Seal(bytes);
  std::unique_ptr<KELPackSource> source = MakeMemoryPackSource(bytes.data(), bytes.size());
  KELPackIndex index;
  std::string error;
  if (!index.Open(*source, error)) {
    Check(!error.empty(), "a refusal without a message");
    Check(index.GetEntryCount() == 0, "entries left after a refusal");
    return 0;
  }
  for (uint32_t e = 0; e < index.GetEntryCount() && e < 16; ++e) {
    const KELPackEntry& entry = index.GetEntry(e);
    Check(entry.iOffset + entry.iPackedBytes <= size, "a block past the end");
    Check(entry.iPartition < index.GetPartitionCount(), "a partition out of range");
    std::vector<uint8_t> block(entry.iPackedBytes);
    Check(source->ReadAt(entry.iOffset, entry.iPackedBytes, block.data(), error), "an entry that cannot be read");
    KELPackGeometry geometry;
    if (DecodePackBlock(entry, block.data(), entry.iPackedBytes, geometry, error)) CheckGeometry(entry, geometry);
  }
  return 0;
}

#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef KEL_FUZZ_PACK_BLOCK
  return FuzzBlock(data, size);
#else
  return FuzzPack(data, size);
#endif
}
