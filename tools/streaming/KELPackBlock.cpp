// One entry's block: its checksum, its counts against the index, and the
// two meshoptimizer codecs.
#include <meshoptimizer.h>

#include "KELPackBytes.h"
#include "KELStreaming.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "packed vertices are the in-memory layout of a little-endian machine"
#endif

namespace {

bool Refuse(const char* why, std::string& error) {
  error = why;
  return false;
}

}  // namespace

bool DecodePackBlock(const KELPackEntry& entry, const uint8_t* block, uint32_t size, KELPackGeometry& geometry,
                     std::string& error) {
  if (size != entry.iPackedBytes || size < kKELPackBlockHeaderBytes)
    return Refuse("the block's size does not match its entry", error);
  // The index reader checks this too; a caller with an entry of its own
  // must not make this allocate more than the block can hold.
  if (entry.iUnpackedBytes > uint64_t{size} * kKELPackMaxExpansion + 1024u)
    return Refuse("the entry claims more geometry than its block can hold", error);
  if (ReadU32(block) != PackChecksum(block + 4, size - 4)) return Refuse("bad checksum", error);
  const uint32_t vertexCount = ReadU32(block + 4);
  const uint32_t indexCount = ReadU32(block + 8);
  const uint32_t vertexBytes = ReadU32(block + 12);
  if (uint64_t{vertexCount} * sizeof(KELPackVertex) + uint64_t{indexCount} * 4u != entry.iUnpackedBytes ||
      uint64_t{indexCount} != uint64_t{entry.iTriangles} * 3u)
    return Refuse("the block's counts do not match its entry", error);
  const uint32_t streams = size - kKELPackBlockHeaderBytes;
  if (vertexBytes > streams || (vertexCount == 0) != (vertexBytes == 0) ||
      (indexCount == 0) != (vertexBytes == streams))
    return Refuse("the block's streams do not fit it", error);
  const uint8_t* vertexData = block + kKELPackBlockHeaderBytes;
  geometry.iVertices.resize(vertexCount);
  geometry.iIndices.resize(indexCount);
  if (vertexCount > 0 && meshopt_decodeVertexBuffer(geometry.iVertices.data(), vertexCount, sizeof(KELPackVertex),
                                                    vertexData, vertexBytes) != 0)
    return Refuse("the vertex stream does not decode", error);
  if (indexCount > 0 && meshopt_decodeIndexBuffer(geometry.iIndices.data(), indexCount, sizeof(uint32_t),
                                                  vertexData + vertexBytes, streams - vertexBytes) != 0)
    return Refuse("the index stream does not decode", error);
  for (uint32_t index : geometry.iIndices)
    if (index >= vertexCount) return Refuse("an index past the vertices", error);
  return true;
}
