// Writes the pack harnesses' seeds into the folder given: the tests' packs
// (whole files, for kel_fuzz_pack) and their blocks, each behind the flag
// and the sizes kel_fuzz_pack_block reads.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KELPackTestData.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kel_pack_seeds FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  std::vector<KELTestPack> packs(4);
  packs[1].iMatrices = false;
  packs[2].iEntries = 1;
  packs[3].iEntries = 0;
  bool written = true;
  for (size_t p = 0; p < packs.size(); ++p) {
    const std::string path = folder + "/pack-" + std::to_string(p) + ".kelpack";
    std::string error;
    if (!WriteTestPack(path, packs[p], error)) {
      std::fprintf(stderr, "kel_pack_seeds: %s\n", error.c_str());
      return 1;
    }
  }
  std::string error;
  std::unique_ptr<KELPackSource> source = OpenPackFile(folder + "/pack-0.kelpack", error);
  KELPackIndex index;
  if (!source || !index.Open(*source, error)) {
    std::fprintf(stderr, "kel_pack_seeds: %s\n", error.c_str());
    return 1;
  }
  for (uint32_t e = 0; e < index.GetEntryCount(); ++e) {
    const KELPackEntry& entry = index.GetEntry(e);
    std::vector<uint8_t> seed(9 + entry.iPackedBytes);
    seed[0] = 0;
    std::memcpy(&seed[1], &entry.iUnpackedBytes, 4);
    std::memcpy(&seed[5], &entry.iTriangles, 4);
    written = written && source->ReadAt(entry.iOffset, entry.iPackedBytes, &seed[9], error) &&
              WriteFileBytes(folder + "/block-" + std::to_string(e) + ".bin", seed);
  }
  if (!written) std::fprintf(stderr, "kel_pack_seeds: cannot write the block seeds\n");
  return written ? 0 : 1;
}
