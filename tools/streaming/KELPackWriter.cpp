// Writing a pack: blocks go to the file as entries arrive; the index and
// the header follow at Finish.
#include <fcntl.h>
#include <unistd.h>

#include <meshoptimizer.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "KELPackBytes.h"
#include "KELStreaming.h"

namespace {

const char kMagic[8] = {'K', 'E', 'L', 'P', 'A', 'C', 'K', 0};
// Index records serialised and checksummed this many at a time.
const size_t kIndexChunk = 4096;

bool WriteAll(int file, const uint8_t* bytes, size_t size, uint64_t offset, std::string& error) {
  while (size > 0) {
    const ssize_t done = pwrite(file, bytes, size, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      error = done < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    bytes += done;
    size -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

void SerialiseEntry(const KELPackEntry& entry, uint8_t* bytes) {
  for (int axis = 0; axis < 3; ++axis) {
    WriteF32(bytes + 4 * axis, entry.iMin[axis]);
    WriteF32(bytes + 12 + 4 * axis, entry.iMax[axis]);
  }
  WriteF32(bytes + 24, entry.iRadius);
  WriteU32(bytes + 28, entry.iPartition);
  WriteU64(bytes + 32, entry.iOffset);
  WriteU32(bytes + 40, entry.iPackedBytes);
  WriteU32(bytes + 44, entry.iUnpackedBytes);
  WriteU32(bytes + 48, entry.iTriangles);
  WriteU32(bytes + 52, entry.iMatrix);
}

bool Finite(const float* values, int count) {
  for (int i = 0; i < count; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

}  // namespace

KELPackWriter::~KELPackWriter() {
  if (iFile >= 0) close(iFile);
}

bool KELPackWriter::Open(const std::string& path, uint32_t partitionCount, std::string& error) {
  if (iFile >= 0) close(iFile);
  iEntries.clear();
  iMatrices.clear();
  iPackedBytes = iUnpackedBytes = 0;
  iPath = path;
  iPartitionCount = partitionCount;
  iFile = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (iFile < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  // A zero header until Finish: an unfinished pack does not open.
  const uint8_t zeros[kKELPackHeaderBytes] = {};
  iOffset = 0;
  return Write(zeros, sizeof(zeros), error);
}

bool KELPackWriter::Write(const void* bytes, size_t size, std::string& error) {
  if (!WriteAll(iFile, static_cast<const uint8_t*>(bytes), size, iOffset, error)) {
    error = iPath + ": " + error;
    return false;
  }
  iOffset += size;
  return true;
}

bool KELPackWriter::Add(const KELPackWriterEntry& input, std::string& error) {
  const auto refuse = [&](const std::string& why) {
    error = iPath + ": entry " + std::to_string(iEntries.size()) + ": " + why;
    return false;
  };
  if (iFile < 0) return refuse("the writer is not open");
  if (input.iPartition >= iPartitionCount) return refuse("a partition out of range");
  // The reader takes indexes of up to 4 GiB.
  const uint64_t indexSize = (iEntries.size() + 1) * uint64_t{kKELPackEntryBytes} + (iMatrices.size() + 16) * 4u;
  if (indexSize > 0xFFFFFFFFull) return refuse("more entries than one pack holds");
  if (input.iIndexCount % 3 != 0) return refuse("an index count that is not a multiple of 3");
  if (!Finite(input.iMin, 3) || !Finite(input.iMax, 3) || !std::isfinite(input.iRadius) || input.iRadius < 0 ||
      (input.iMatrix != nullptr && !Finite(input.iMatrix, 16)))
    return refuse("a box, radius or matrix that is not finite");
  for (uint32_t i = 0; i < input.iIndexCount; ++i)
    if (input.iIndices[i] >= input.iVertexCount) return refuse("an index past the vertices");

  // Vertex-cache order, then vertices in first-use order without the
  // unused ones: both make the codecs' output smaller.
  const uint32_t indexCount = input.iIndexCount;
  iIndices.resize(indexCount);
  iRemap.resize(input.iVertexCount);
  uint32_t vertexCount = 0;
  if (indexCount > 0) {
    meshopt_optimizeVertexCache(iIndices.data(), input.iIndices, indexCount, input.iVertexCount);
    vertexCount = static_cast<uint32_t>(
        meshopt_optimizeVertexFetchRemap(iRemap.data(), iIndices.data(), indexCount, input.iVertexCount));
    iVertices.resize(vertexCount);
    meshopt_remapVertexBuffer(iVertices.data(), input.iVertices, input.iVertexCount, sizeof(KELPackVertex),
                              iRemap.data());
    meshopt_remapIndexBuffer(iIndices.data(), iIndices.data(), indexCount, iRemap.data());
  }
  const uint64_t unpacked = uint64_t{vertexCount} * sizeof(KELPackVertex) + uint64_t{indexCount} * 4u;
  if (unpacked > 0xFFFFFFFFull) return refuse("more than 4 GiB of geometry in one entry");

  const size_t vertexBound = vertexCount > 0 ? meshopt_encodeVertexBufferBound(vertexCount, sizeof(KELPackVertex)) : 0;
  const size_t indexBound = indexCount > 0 ? meshopt_encodeIndexBufferBound(indexCount, vertexCount) : 0;
  iBlock.resize(kKELPackBlockHeaderBytes + vertexBound + indexBound);
  uint8_t* streams = iBlock.data() + kKELPackBlockHeaderBytes;
  const size_t vertexBytes =
      vertexCount > 0 ? meshopt_encodeVertexBuffer(streams, vertexBound, iVertices.data(), vertexCount,
                                                   sizeof(KELPackVertex))
                      : 0;
  const size_t indexBytes =
      indexCount > 0 ? meshopt_encodeIndexBuffer(streams + vertexBytes, indexBound, iIndices.data(), indexCount) : 0;
  const uint64_t packed = kKELPackBlockHeaderBytes + uint64_t{vertexBytes} + indexBytes;
  if (packed > 0xFFFFFFFFull) return refuse("a block over 4 GiB");
  // The reader refuses blocks that claim to expand further (damage looks
  // like that); only geometry of nearly identical vertices gets here.
  if (unpacked > packed * kKELPackMaxExpansion + 1024u) return refuse("geometry too repetitive for the format");
  WriteU32(iBlock.data() + 4, vertexCount);
  WriteU32(iBlock.data() + 8, indexCount);
  WriteU32(iBlock.data() + 12, static_cast<uint32_t>(vertexBytes));
  WriteU32(iBlock.data(), PackChecksum(iBlock.data() + 4, static_cast<size_t>(packed) - 4));

  KELPackEntry entry;
  std::memcpy(entry.iMin, input.iMin, sizeof(entry.iMin));
  std::memcpy(entry.iMax, input.iMax, sizeof(entry.iMax));
  entry.iRadius = input.iRadius;
  entry.iPartition = input.iPartition;
  entry.iOffset = iOffset;
  entry.iPackedBytes = static_cast<uint32_t>(packed);
  entry.iUnpackedBytes = static_cast<uint32_t>(unpacked);
  entry.iTriangles = indexCount / 3;
  entry.iMatrix = kKELPackNoMatrix;
  if (input.iMatrix != nullptr) {
    entry.iMatrix = static_cast<uint32_t>(iMatrices.size() / 16);
    iMatrices.insert(iMatrices.end(), input.iMatrix, input.iMatrix + 16);
  }
  if (!Write(iBlock.data(), static_cast<size_t>(packed), error)) return false;
  iEntries.push_back(entry);
  iPackedBytes += packed;
  iUnpackedBytes += unpacked;
  return true;
}

bool KELPackWriter::Finish(std::string& error) {
  if (iFile < 0) {
    error = iPath + ": the writer is not open";
    return false;
  }
  const uint64_t indexOffset = iOffset;
  uint32_t crc = PackChecksum(nullptr, 0);
  std::vector<uint8_t> chunk;
  for (size_t first = 0; first < iEntries.size(); first += kIndexChunk) {
    const size_t count = std::min(kIndexChunk, iEntries.size() - first);
    chunk.resize(count * kKELPackEntryBytes);
    for (size_t e = 0; e < count; ++e) SerialiseEntry(iEntries[first + e], chunk.data() + e * kKELPackEntryBytes);
    crc = static_cast<uint32_t>(crc32(crc, chunk.data(), static_cast<uInt>(chunk.size())));
    if (!Write(chunk.data(), chunk.size(), error)) return false;
  }
  chunk.resize(iMatrices.size() * 4);
  for (size_t m = 0; m < iMatrices.size(); ++m) WriteF32(chunk.data() + 4 * m, iMatrices[m]);
  crc = static_cast<uint32_t>(crc32(crc, chunk.data(), static_cast<uInt>(chunk.size())));
  if (!Write(chunk.data(), chunk.size(), error)) return false;

  uint8_t header[kKELPackHeaderBytes] = {};
  std::memcpy(header, kMagic, sizeof(kMagic));
  WriteU32(header + 8, kKELPackVersion);
  WriteU32(header + 12, kKELPackHeaderBytes);
  WriteU32(header + 16, static_cast<uint32_t>(iEntries.size()));
  WriteU32(header + 20, iPartitionCount);
  WriteU32(header + 24, static_cast<uint32_t>(iMatrices.size() / 16));
  WriteU32(header + 28, sizeof(KELPackVertex));
  WriteU64(header + 32, indexOffset);
  WriteU64(header + 40, iOffset);
  WriteU32(header + 48, crc);
  WriteU32(header + 60, PackChecksum(header, 60));
  if (!WriteAll(iFile, header, sizeof(header), 0, error)) {
    error = iPath + ": " + error;
    return false;
  }
  const int file = iFile;
  iFile = -1;
  if (close(file) != 0) {
    error = iPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
