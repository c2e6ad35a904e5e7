// The pack format: what goes in comes out, and a damaged or foreign file is
// refused with a message instead of a crash or an outsized allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include "KELPackTestData.h"

// Vertices are equal byte for byte: the codec is lossless.
static bool operator==(const KELPackVertex& a, const KELPackVertex& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

namespace {

using KELTriangle = std::array<KELPackVertex, 3>;

bool Less(const KELPackVertex& a, const KELPackVertex& b) { return std::memcmp(&a, &b, sizeof(a)) < 0; }

// Triangles as vertex data, each rotated to start at its least vertex (the
// codec may rotate them, keeping the winding), in sorted order (the writer
// reorders them for the vertex cache).
std::vector<KELTriangle> Triangles(const KELPackVertex* vertices, const uint32_t* indices, size_t count) {
  std::vector<KELTriangle> triangles;
  for (size_t t = 0; t + 2 < count; t += 3) {
    KELTriangle triangle = {vertices[indices[t]], vertices[indices[t + 1]], vertices[indices[t + 2]]};
    while (Less(triangle[1], triangle[0]) || Less(triangle[2], triangle[0]))
      std::rotate(triangle.begin(), triangle.begin() + 1, triangle.end());
    triangles.push_back(triangle);
  }
  std::sort(triangles.begin(), triangles.end(), [](const KELTriangle& a, const KELTriangle& b) {
    return std::memcmp(a.data(), b.data(), sizeof(KELTriangle)) < 0;
  });
  return triangles;
}

// A height field of random vertices: real meshes do not compress like boxes.
void MakeTerrain(std::mt19937& random, uint32_t side, std::vector<KELPackVertex>& vertices,
                 std::vector<uint32_t>& indices) {
  std::uniform_real_distribution<float> height(0.0f, 3.0f);
  vertices.clear();
  indices.clear();
  for (uint32_t z = 0; z < side; ++z)
    for (uint32_t x = 0; x < side; ++x) {
      KELPackVertex vertex = {{static_cast<float>(x), height(random), static_cast<float>(z)}, {0, 1, 0}, static_cast<uint32_t>(random())};
      vertices.push_back(vertex);
    }
  for (uint32_t z = 0; z + 1 < side; ++z)
    for (uint32_t x = 0; x + 1 < side; ++x) {
      const uint32_t a = z * side + x, b = a + 1, c = a + side, d = c + 1;
      for (uint32_t index : {a, c, b, b, c, d}) indices.push_back(index);
    }
}

struct KELSourceEntry {
  std::vector<KELPackVertex> iVertices;
  std::vector<uint32_t> iIndices;
  std::vector<float> iMatrix;
};

TEST(Pack, DecodedGeometryEqualsTheSource) {
  std::mt19937 random(5);
  std::vector<KELSourceEntry> sources(4);
  MakeTerrain(random, 17, sources[0].iVertices, sources[0].iIndices);
  const float min[3] = {0, 0, 0}, max[3] = {1, 2, 3};
  MakeBoxMesh(min, max, 0xFF8040C0u, sources[1].iVertices, sources[1].iIndices);
  sources[1].iMatrix = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 10, 0, -4, 1};
  // A vertex no triangle uses is dropped; the triangles stay.
  sources[2] = sources[1];
  sources[2].iMatrix.clear();
  sources[2].iVertices.push_back(KELPackVertex{{9, 9, 9}, {0, 0, 1}, 7});
  // sources[3] is empty: an entry without geometry.
  const std::string path = TestPackPath("roundtrip");
  KELPackWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, 3, error)) << error;
  for (uint32_t e = 0; e < sources.size(); ++e) {
    KELPackWriterEntry entry;
    for (int axis = 0; axis < 3; ++axis) {
      entry.iMin[axis] = -1.0f - static_cast<float>(e);
      entry.iMax[axis] = 20.0f + static_cast<float>(e);
    }
    entry.iRadius = 0.5f + static_cast<float>(e);
    entry.iPartition = e % 3;
    entry.iMatrix = sources[e].iMatrix.empty() ? nullptr : sources[e].iMatrix.data();
    entry.iVertices = sources[e].iVertices.data();
    entry.iVertexCount = static_cast<uint32_t>(sources[e].iVertices.size());
    entry.iIndices = sources[e].iIndices.data();
    entry.iIndexCount = static_cast<uint32_t>(sources[e].iIndices.size());
    ASSERT_TRUE(writer.Add(entry, error)) << error;
  }
  ASSERT_TRUE(writer.Finish(error)) << error;

  std::unique_ptr<KELPackSource> source = OpenPackFile(path, error);
  ASSERT_TRUE(source) << error;
  KELPackIndex index;
  ASSERT_TRUE(index.Open(*source, error)) << error;
  ASSERT_EQ(index.GetEntryCount(), sources.size());
  EXPECT_EQ(index.GetPartitionCount(), 3u);
  EXPECT_EQ(index.GetFileBytes(), source->GetSize());
  EXPECT_EQ(index.GetPackedBytes(), writer.GetPackedBytes());
  EXPECT_LT(index.GetPackedBytes(), index.GetUnpackedBytes());
  for (uint32_t e = 0; e < sources.size(); ++e) {
    SCOPED_TRACE("entry " + std::to_string(e));
    const KELPackEntry& entry = index.GetEntry(e);
    EXPECT_EQ(entry.iMin[1], -1.0f - static_cast<float>(e));
    EXPECT_EQ(entry.iMax[2], 20.0f + static_cast<float>(e));
    EXPECT_EQ(entry.iRadius, 0.5f + static_cast<float>(e));
    EXPECT_EQ(entry.iPartition, e % 3);
    EXPECT_EQ(entry.iTriangles, sources[e].iIndices.size() / 3);
    if (sources[e].iMatrix.empty()) {
      EXPECT_EQ(index.GetMatrix(e), nullptr);
    } else {
      ASSERT_NE(index.GetMatrix(e), nullptr);
      EXPECT_TRUE(std::equal(sources[e].iMatrix.begin(), sources[e].iMatrix.end(), index.GetMatrix(e)));
    }
    std::vector<uint8_t> block(entry.iPackedBytes);
    ASSERT_TRUE(source->ReadAt(entry.iOffset, entry.iPackedBytes, block.data(), error)) << error;
    KELPackGeometry geometry;
    ASSERT_TRUE(DecodePackBlock(entry, block.data(), entry.iPackedBytes, geometry, error)) << error;
    EXPECT_EQ(GetPackVertexCount(entry), geometry.iVertices.size());
    EXPECT_EQ(Triangles(geometry.iVertices.data(), geometry.iIndices.data(), geometry.iIndices.size()),
              Triangles(sources[e].iVertices.data(), sources[e].iIndices.data(), sources[e].iIndices.size()));
  }
  EXPECT_EQ(index.GetEntry(2).iUnpackedBytes, index.GetEntry(1).iUnpackedBytes);
  uint8_t bytes[2];
  EXPECT_FALSE(source->ReadAt(source->GetSize() - 1, 2, bytes, error)) << "a read past the end";
  EXPECT_FALSE(source->ReadAt(~0ull - 1, 2, bytes, error)) << "an offset that wraps";
  EXPECT_FALSE(OpenPackFile(testing::TempDir() + "/missing.kelpack", error));
  EXPECT_FALSE(OpenPackFile(testing::TempDir(), error)) << "a directory is not a pack";
}

// Header fields, and the index records behind them.
struct KELPackFile {
  std::vector<uint8_t> iBytes;

  uint64_t Field64(size_t at) const {
    uint64_t value;
    std::memcpy(&value, &iBytes[at], 8);
    return value;
  }
  uint8_t* Entry(uint32_t e) { return &iBytes[Field64(32) + size_t{e} * kKELPackEntryBytes]; }
  template <typename T>
  void Set(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof(value));
  }
  // Checksums made right again, so that a check behind them is reached.
  void Seal() {
    const uint64_t index = Field64(32);
    if (index <= iBytes.size())
      Set<uint32_t>(&iBytes[48], PackChecksum(&iBytes[index], iBytes.size() - index));
    Set<uint32_t>(&iBytes[60], PackChecksum(iBytes.data(), 60));
  }
};

struct KELDamage {
  const char* iName;
  std::function<void(KELPackFile&)> iDamage;
  const char* iMessage;  // part of what the reader says
  bool iBlock;           // the index opens; block 0 is refused
};

void PrintTo(const KELDamage& damage, std::ostream* out) { *out << damage.iName; }

class DamagedPack : public testing::TestWithParam<KELDamage> {};

TEST_P(DamagedPack, IsRefusedWithAMessage) {
  const std::string path = TestPackPath("damaged");
  std::string error;
  KELTestPack options;
  ASSERT_TRUE(WriteTestPack(path, options, error)) << error;
  KELPackFile pack{ReadFileBytes(path)};
  GetParam().iDamage(pack);
  std::unique_ptr<KELPackSource> source = MakeMemoryPackSource(pack.iBytes.data(), pack.iBytes.size());
  KELPackIndex index;
  const bool opened = index.Open(*source, error);
  if (!GetParam().iBlock) {
    ASSERT_FALSE(opened);
    EXPECT_NE(error.find(GetParam().iMessage), std::string::npos) << error;
    EXPECT_EQ(error.rfind("pack in memory: ", 0), 0u) << "names the pack: " << error;
    EXPECT_EQ(index.GetEntryCount(), 0u);
    return;
  }
  ASSERT_TRUE(opened) << error;
  EXPECT_FALSE(source->ReadAt(pack.iBytes.size(), 1, pack.iBytes.data(), error));
  const KELPackEntry& entry = index.GetEntry(0);
  std::vector<uint8_t> block(entry.iPackedBytes);
  ASSERT_TRUE(source->ReadAt(entry.iOffset, entry.iPackedBytes, block.data(), error));
  KELPackGeometry geometry;
  EXPECT_FALSE(DecodePackBlock(entry, block.data(), entry.iPackedBytes, geometry, error));
  EXPECT_NE(error.find(GetParam().iMessage), std::string::npos) << error;
}

const float kNan = std::nanf("");

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedPack,
    testing::Values(
        KELDamage{"Empty", [](KELPackFile& p) { p.iBytes.clear(); }, "too short", false},
        KELDamage{"Truncated", [](KELPackFile& p) { p.iBytes.pop_back(); }, "truncated", false},
        KELDamage{"Extended", [](KELPackFile& p) { p.iBytes.push_back(0); }, "truncated or extended", false},
        KELDamage{"Foreign", [](KELPackFile& p) { p.iBytes[0] = 'P'; }, "not a pack", false},
        // The writer's header until Finish.
        KELDamage{"Unfinished", [](KELPackFile& p) { std::fill_n(p.iBytes.begin(), 64, 0); }, "not a pack", false},
        KELDamage{"NewerVersion", [](KELPackFile& p) { p.Set<uint32_t>(&p.iBytes[8], 2); p.Seal(); },
                  "version 2", false},
        KELDamage{"HeaderBitFlip", [](KELPackFile& p) { p.iBytes[17] ^= 4; }, "damaged header", false},
        KELDamage{"IndexBitFlip", [](KELPackFile& p) { p.iBytes.back() ^= 1; }, "damaged index", false},
        KELDamage{"CountsThatOverflow", [](KELPackFile& p) { p.Set<uint32_t>(&p.iBytes[16], 0xFFFFFFFFu); p.Seal(); },
                  "does not fit", false},
        KELDamage{"IndexOffsetPastEnd", [](KELPackFile& p) { p.Set<uint64_t>(&p.iBytes[32], ~0ull - 8); p.Seal(); },
                  "does not fit", false},
        KELDamage{"BlockOverlapsIndex",
                  [](KELPackFile& p) { p.Set<uint64_t>(p.Entry(3) + 32, p.Field64(32) - 8); p.Seal(); },
                  "outside the blocks", false},
        KELDamage{"OffsetThatWraps", [](KELPackFile& p) { p.Set<uint64_t>(p.Entry(0) + 32, ~0ull - 4); p.Seal(); },
                  "outside the blocks", false},
        KELDamage{"SizeClaimBeyondTheBlock",
                  [](KELPackFile& p) { p.Set<uint32_t>(p.Entry(2) + 44, 144u + 28u * 50000000u); p.Seal(); },
                  "more geometry than its bytes", false},
        KELDamage{"PartialVertex", [](KELPackFile& p) { p.Entry(1)[44] += 4; p.Seal(); }, "whole vertices", false},
        KELDamage{"PartitionOutOfRange", [](KELPackFile& p) { p.Set<uint32_t>(p.Entry(4) + 28, 2); p.Seal(); },
                  "partition out of range", false},
        KELDamage{"MatrixOutOfRange", [](KELPackFile& p) { p.Set<uint32_t>(p.Entry(0) + 52, 5); p.Seal(); },
                  "matrix out of range", false},
        KELDamage{"BoxNotFinite", [](KELPackFile& p) { p.Set<float>(p.Entry(5) + 4, kNan); p.Seal(); },
                  "not finite", false},
        KELDamage{"BlockBitFlip", [](KELPackFile& p) { p.iBytes[kKELPackHeaderBytes + 30] ^= 0x10; },
                  "bad checksum", true},
        KELDamage{"BlockCountsDisagree",
                  [](KELPackFile& p) {
                    uint32_t size;
                    std::memcpy(&size, p.Entry(0) + 40, sizeof(size));
                    uint8_t* block = &p.iBytes[kKELPackHeaderBytes];
                    p.Set<uint32_t>(block + 4, 23);
                    p.Set<uint32_t>(block, PackChecksum(block + 4, size - 4));
                  },
                  "counts do not match", true}),
    [](const testing::TestParamInfo<KELDamage>& info) { return info.param.iName; });

TEST(Pack, TheWriterRefusesGeometryItCannotPack) {
  std::vector<KELPackVertex> vertices;
  std::vector<uint32_t> indices;
  const float min[3] = {0, 0, 0}, max[3] = {1, 1, 1};
  MakeBoxMesh(min, max, 1, vertices, indices);
  const std::string path = TestPackPath("refused");
  const struct {
    const char* iMessage;
    std::function<void(KELPackWriterEntry&)> iBreak;
  } cases[] = {
      {"past the vertices", [](KELPackWriterEntry& e) { e.iVertexCount = 20; }},
      {"multiple of 3", [](KELPackWriterEntry& e) { e.iIndexCount = 35; }},
      {"partition out of range", [](KELPackWriterEntry& e) { e.iPartition = 1; }},
      {"not finite", [](KELPackWriterEntry& e) { e.iRadius = kNan; }},
  };
  for (const auto& test : cases) {
    KELPackWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, 1, error)) << error;
    KELPackWriterEntry entry = {{0, 0, 0}, {1, 1, 1}, 1, 0, nullptr, vertices.data(), 24, indices.data(), 36};
    test.iBreak(entry);
    EXPECT_FALSE(writer.Add(entry, error));
    EXPECT_NE(error.find(test.iMessage), std::string::npos) << error;
    EXPECT_EQ(writer.GetEntryCount(), 0u);
  }
}

}  // namespace
