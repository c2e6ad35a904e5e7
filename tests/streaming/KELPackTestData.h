// Small packs for the streaming tests and the fuzzers' seeds: a row of
// boxes, each an entry of its own, some placed by a matrix.
#ifndef KEL_PACK_TEST_DATA_H
#define KEL_PACK_TEST_DATA_H

#include <string>
#include <vector>

#include "KELStreaming.h"

// A box from min to max as 24 vertices (4 per face) and 12 triangles.
void MakeBoxMesh(const float* min, const float* max, uint32_t color, std::vector<KELPackVertex>& vertices,
                 std::vector<uint32_t>& indices);

struct KELTestPack {
  uint32_t iEntries = 8;
  uint32_t iPartitions = 2;
  uint32_t iColumns = 8;     // entries per row, 1.5 apart along x; rows go along z
  bool iMatrices = true;     // every third entry placed by a matrix
};

// A path for a test's pack of its own: ctest runs tests of one program in
// processes side by side, so the name carries the process.
std::string TestPackPath(const std::string& name);
// Writes the pack to `path`; false with `error` on failure.
bool WriteTestPack(const std::string& path, const KELTestPack& pack, std::string& error);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

#endif
