#include "KELBspWriter.h"

#include <cstring>

namespace {

void Put(std::vector<uint8_t>& out, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

template <typename T>
void PutAll(std::vector<uint8_t>& out, const std::vector<T>& records) {
  if (!records.empty()) Put(out, records.data(), records.size() * sizeof(T));
}

}  // namespace

// Records are written field by field in the file's little-endian layout
// (the build machines are little-endian); unused fields are zero.
std::vector<uint8_t> KELBspWriter::Write() const {
  std::vector<uint8_t> lumps[17];
  Put(lumps[0], iEntities.data(), iEntities.size());
  PutAll(lumps[2], iPlanes);
  for (const auto& node : iNodes) {
    Put(lumps[3], node.data(), 12);
    lumps[3].resize(lumps[3].size() + 24, 0);
  }
  for (const auto& leaf : iLeafs) {
    const int32_t record[12] = {leaf[0], 0, 0, 0, 0, 0, 0, 0, leaf[1], leaf[2], 0, 0};
    Put(lumps[4], record, sizeof(record));
  }
  PutAll(lumps[5], iLeafFaces);
  if (iWorldModel) {
    const int32_t model[10] = {0, 0, 0, 0, 0, 0, 0, static_cast<int32_t>(iFaces.size()), 0, 0};
    Put(lumps[7], model, sizeof(model));
  }
  for (const auto& vertex : iVertices) {
    float record[11] = {vertex[0], vertex[1], vertex[2], 0, 0, 0, 0, vertex[3], vertex[4], vertex[5], 0};
    const uint32_t white = 0xFFFFFFFFu;
    std::memcpy(&record[10], &white, 4);
    Put(lumps[10], record, sizeof(record));
  }
  PutAll(lumps[11], iMeshVertices);
  for (const auto& face : iFaces) {
    int32_t record[26] = {0, 0, face[0], face[1], face[2], face[3], face[4]};
    record[24] = face[5];
    record[25] = face[6];
    Put(lumps[13], record, sizeof(record));
  }
  if (iClusters > 0 || !iVisibility.empty()) {
    const int32_t header[2] = {iClusters, iClusterBytes};
    Put(lumps[16], header, sizeof(header));
    PutAll(lumps[16], iVisibility);
  }
  std::vector<uint8_t> out = {'I', 'B', 'S', 'P', 46, 0, 0, 0};
  int32_t offset = 8 + 17 * 8;
  for (const auto& lump : lumps) {
    const int32_t entry[2] = {offset, static_cast<int32_t>(lump.size())};
    Put(out, entry, sizeof(entry));
    offset += static_cast<int32_t>(lump.size());
  }
  for (const auto& lump : lumps) PutAll(out, lump);
  return out;
}

KELBspWriter MakeTestLevel() {
  KELBspWriter level;
  level.iEntities =
      "{ \"classname\" \"worldspawn\" }\n"
      "{ \"classname\" \"info_player_deathmatch\" \"origin\" \"50 20 30\" \"angle\" \"90\" }\n"
      "{ \"origin\" \"200 0 0\" \"classname\" \"info_player_start\" \"angles\" \"0 45 0\" }\n";
  level.iPlanes = {{1, 0, 0, 0}, {1, 0, 0, 100}, {1, 0, 0, 150}, {1, 0, 0, 250}};
  level.iNodes = {{0, 1, -1}, {1, 2, -2}, {2, 3, -3}, {3, -5, -4}};
  level.iLeafs = {{-1, 0, 0}, {0, 0, 1}, {-1, 1, 0}, {1, 1, 2}, {2, 3, 3}};
  level.iLeafFaces = {0, 1, 4, 2, 4, 3};
  const float up[3] = {0, 0, 1};
  auto add = [&](float x, float y, float z) { level.iVertices.push_back({x, y, z, up[0], up[1], up[2]}); };
  add(10, 10, 0), add(90, 10, 0), add(90, 90, 0), add(10, 90, 0);  // face 0
  add(160, 0, 0), add(200, 0, 0), add(160, 40, 0);                 // face 1
  for (int r = 0; r < 3; ++r)                                      // face 2
    for (int c = 0; c < 3; ++c) add(260.0f + 20 * r, 20.0f * c, r == 1 && c == 1 ? 40.0f : 0.0f);
  add(240, 0, 10), add(260, 0, 10), add(240, 20, 10);              // face 4
  level.iMeshVertices = {0, 2, 1, 0, 3, 2, 0, 2, 1, 0, 2, 1};
  level.iFaces = {{1, 0, 4, 0, 6, 0, 0}, {3, 4, 3, 6, 3, 0, 0}, {2, 7, 9, 0, 0, 3, 3}, {4, 0, 1, 0, 0, 0, 0},
                  {1, 16, 3, 9, 3, 0, 0}};
  level.iClusters = 3;
  level.iClusterBytes = 1;
  level.iVisibility = {0x1, 0x6, 0x7};
  return level;
}
