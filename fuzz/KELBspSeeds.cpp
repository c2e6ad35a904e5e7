// Writes the level reader's seed corpus into the folder given: the tests'
// level and variants without visibility data and without a models lump.
#include <cstdio>
#include <string>
#include <vector>

#include "KELBspWriter.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kel_bsp_seeds FOLDER\n");
    return 2;
  }
  std::vector<KELBspWriter> levels(3, MakeTestLevel());
  levels[1].iClusters = 0;
  levels[1].iClusterBytes = 0;
  levels[1].iVisibility.clear();
  levels[2].iWorldModel = false;
  for (size_t i = 0; i < levels.size(); ++i) {
    const std::vector<uint8_t> bytes = levels[i].Write();
    const std::string path = std::string(argv[1]) + "/level-" + std::to_string(i) + ".bsp";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
      std::fprintf(stderr, "kel_bsp_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
