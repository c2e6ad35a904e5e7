// The model loaders and level queries on a level the test writes itself,
// on damaged copies of it, and on real data where Debian's packages of it
// are installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "KELBspReader.h"
#include "KELCameraPaths.h"
#include "KELBspWriter.h"
#include "KELModelLoader.h"
#include "KELPartitioning.h"

#ifdef KEL_MODELS_HAVE_ZIP
#include <zip.h>
#endif

namespace {

using kel::KELModel;

bool FileExists(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file) std::fclose(file);
  return file != nullptr;
}

KELModel ReadTestLevel() {
  const std::vector<uint8_t> bytes = MakeTestLevel().Write();
  KELModel model;
  std::string error;
  EXPECT_TRUE(kel::ReadBsp(bytes.data(), bytes.size(), "test", model, error)) << error;
  return model;
}

TEST(BspReader, ReadsFacesAsYUpEntries) {
  const KELModel model = ReadTestLevel();
  // The billboard gives no entry; the patch is tessellated.
  ASSERT_EQ(model.iEntries.size(), 4u);
  EXPECT_EQ(model.iMeshes[0].iIndices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
  EXPECT_EQ(model.iMeshes[2].iIndices.size(), 6u * kel::kPatchSegments * kel::kPatchSegments);
  // The floor quad: file (x, y, z) becomes (x, z, -y).
  const kel::KELModelEntry& floor = model.iEntries[0];
  EXPECT_EQ(std::vector<float>(floor.iMin, floor.iMin + 3), (std::vector<float>{10, 0, -90}));
  EXPECT_EQ(std::vector<float>(floor.iMax, floor.iMax + 3), (std::vector<float>{90, 0, -10}));
  EXPECT_FLOAT_EQ(floor.iRadius, std::sqrt(2.0f) * 40);
  EXPECT_FLOAT_EQ(model.iMeshes[0].iNormals[1], 1);
  EXPECT_EQ(model.iMeshes[0].iColors[3], 0xFFFFFFFFu);
  // The patch's bump peaks at a quarter of its middle control point, but its
  // box is the control points' box.
  const kel::KELMesh& patch = model.iMeshes[model.iEntries[2].iMesh];
  float top = 0;
  for (size_t v = 1; v < patch.iPositions.size(); v += 3) top = std::max(top, patch.iPositions[v]);
  EXPECT_FLOAT_EQ(top, 10);
  EXPECT_FLOAT_EQ(model.iEntries[2].iMax[1], 40);
  EXPECT_FLOAT_EQ(model.iEntries[2].iRadius, 20 * std::sqrt(3.0f));  // the control box's half diagonal
  EXPECT_GT(patch.iNormals[1], 0.99f);  // the first corner faces up, and so do its triangles
  const uint32_t* t = &patch.iIndices[0];
  const float* p = patch.iPositions.data();
  const float e[3] = {p[t[1] * 3] - p[t[0] * 3], 0, p[t[1] * 3 + 2] - p[t[0] * 3 + 2]};
  const float f[3] = {p[t[2] * 3] - p[t[0] * 3], 0, p[t[2] * 3 + 2] - p[t[0] * 3 + 2]};
  const float crossY = e[2] * f[0] - e[0] * f[2];
  EXPECT_GT(crossY, 0);
  ASSERT_EQ(model.iLevel.iSpawnPoints.size(), 2u);
  const kel::KELSpawnPoint& spawn = model.iLevel.iSpawnPoints[0];
  EXPECT_EQ(std::vector<float>(spawn.iPosition, spawn.iPosition + 3), (std::vector<float>{50, 30, -20}));
  EXPECT_FLOAT_EQ(spawn.iYaw, 3.14159265f / 2);
  EXPECT_FLOAT_EQ(model.iLevel.iSpawnPoints[1].iYaw, 3.14159265f / 4);
}

TEST(BspReader, AnswersLeafClusterAndVisibilityQueries) {
  const KELModel model = ReadTestLevel();
  const kel::KELLevel& level = model.iLevel;
  struct Probe {
    float iX;
    int32_t iLeaf;
    int32_t iCluster;
    std::vector<uint32_t> iVisible;
  };
  const Probe probes[] = {{-10, 0, -1, {0, 1, 2, 3}},  // outside: nothing ruled out
                          {50, 1, 0, {0}},
                          {120, 2, -1, {0, 1, 2, 3}},
                          {200, 3, 1, {1, 2, 3}},
                          {300, 4, 2, {0, 1, 2, 3}}};
  std::vector<uint32_t> visible;
  for (const Probe& probe : probes) {
    const float point[3] = {probe.iX, 0, 0};
    EXPECT_EQ(kel::FindLeaf(level, point), probe.iLeaf) << probe.iX;
    EXPECT_EQ(kel::GetLeafCluster(level, probe.iLeaf), probe.iCluster) << probe.iX;
    kel::CollectVisibleEntries(model, point, visible);
    EXPECT_EQ(visible, probe.iVisible) << probe.iX;
  }
  // Rows are the viewing cluster.
  EXPECT_TRUE(kel::IsClusterVisible(level, 2, 0));
  EXPECT_FALSE(kel::IsClusterVisible(level, 0, 2));
  EXPECT_FALSE(kel::IsClusterVisible(level, 1, 0));
  EXPECT_FALSE(kel::IsClusterVisible(level, 0, 3));
  for (const kel::KELSpawnPoint& spawn : level.iSpawnPoints) {
    EXPECT_GE(kel::GetLeafCluster(level, kel::FindLeaf(level, spawn.iPosition)), 0);
  }
  const float room0[3] = {50, 0, 0}, room0End[3] = {90, 0, 0}, room1[3] = {160, 0, 0}, room2[3] = {300, 0, 0};
  EXPECT_TRUE(kel::IsWayClear(level, room0, room0End, 10));
  EXPECT_FALSE(kel::IsWayClear(level, room0, room1, 10));  // through the wall
  EXPECT_TRUE(kel::IsWayClear(level, room1, room2, 10));
}

TEST(BspReader, RejectsDamagedFilesWithAMessage) {
  using Bytes = std::vector<uint8_t>;
  auto setInt = [](Bytes& bytes, size_t at, int32_t value) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * k));
  };
  auto getInt = [](const Bytes& bytes, size_t at) {
    return static_cast<size_t>(bytes[at]) | static_cast<size_t>(bytes[at + 1]) << 8;
  };
  struct Case {
    const char* iName;
    std::function<void(KELBspWriter&)> iEdit;
    std::function<void(Bytes&)> iDamage;
    const char* iMessage;
  };
  const Case cases[] = {
      {"short header", nullptr, [](Bytes& b) { b.resize(100); }, "truncated"},
      {"truncated body", nullptr, [](Bytes& b) { b.resize(b.size() - 10); }, "past the end"},
      {"magic", nullptr, [](Bytes& b) { b[0] = 'V'; }, "magic"},
      {"version", nullptr, [&](Bytes& b) { setInt(b, 4, 47); }, "version 47"},
      {"lump offset", nullptr, [&](Bytes& b) { setInt(b, 8 + 13 * 8, static_cast<int32_t>(b.size())); }, "past the end"},
      {"lump length", nullptr, [&](Bytes& b) { setInt(b, 12 + 13 * 8, 103); }, "whole number"},
      {"face vertices", [](KELBspWriter& w) { w.iFaces[1][1] = 17; }, nullptr, "vertices"},
      {"mesh vertex", [](KELBspWriter& w) { w.iMeshVertices[1] = 4; }, nullptr, "mesh vertex 4"},
      {"mesh vertex range", [](KELBspWriter& w) { w.iFaces[4][3] = 10; }, nullptr, "mesh vertex range"},
      {"partial triangle", [](KELBspWriter& w) { w.iFaces[0][4] = 5; }, nullptr, "whole triangles"},
      {"patch size", [](KELBspWriter& w) { w.iFaces[2][5] = 5; }, nullptr, "patch"},
      {"face type", [](KELBspWriter& w) { w.iFaces[3][0] = 7; }, nullptr, "unknown type"},
      {"world model", nullptr, [&](Bytes& b) { setInt(b, getInt(b, 8 + 7 * 8) + 28, 6); }, "world model"},
      {"leaf face", [](KELBspWriter& w) { w.iLeafFaces[0] = 5; }, nullptr, "face 5"},
      {"leaf face range", [](KELBspWriter& w) { w.iLeafs[4][2] = 4; }, nullptr, "leaf faces"},
      {"node plane", [](KELBspWriter& w) { w.iNodes[2][0] = 4; }, nullptr, "plane 4"},
      {"node child", [](KELBspWriter& w) { w.iNodes[0][1] = 4; }, nullptr, "child 4"},
      {"node leaf child", [](KELBspWriter& w) { w.iNodes[3][1] = -6; }, nullptr, "child -6"},
      {"leaf cluster", [](KELBspWriter& w) { w.iLeafs[4][0] = 3; }, nullptr, "cluster 3"},
      {"visibility rows", [](KELBspWriter& w) { w.iClusterBytes = 2; }, nullptr, "visibility"},
      {"entity text", [](KELBspWriter& w) { w.iEntities += "{ \"origin"; }, nullptr, "unterminated"},
      {"no tree", [](KELBspWriter& w) { w.iNodes.clear(); }, nullptr, "no BSP tree"},
  };
  for (const Case& c : cases) {
    KELBspWriter writer = MakeTestLevel();
    if (c.iEdit) c.iEdit(writer);
    Bytes bytes = writer.Write();
    if (c.iDamage) c.iDamage(bytes);
    KELModel model;
    std::string error;
    const bool read = kel::ReadBsp(bytes.data(), bytes.size(), "damaged", model, error);
    EXPECT_FALSE(read) << c.iName;
    EXPECT_NE(error.find(c.iMessage), std::string::npos) << c.iName << ": " << error;
  }
}

#ifdef KEL_MODELS_HAVE_ZIP
TEST(ModelLoader, ReadsLevelsFromZipArchives) {
  const std::string archive = ::testing::TempDir() + "kel_models_test.pk3";
  const std::vector<uint8_t> bytes = MakeTestLevel().Write();
  int code = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  ASSERT_NE(zip, nullptr);
  zip_source_t* source = zip_source_buffer(zip, bytes.data(), bytes.size(), 0);
  ASSERT_GE(zip_file_add(zip, "maps/test.bsp", source, 0), 0);
  ASSERT_EQ(zip_close(zip), 0);
  KELModel model;
  std::string error;
  ASSERT_TRUE(kel::LoadModel(archive + ":maps/test.bsp", model, error)) << error;
  EXPECT_EQ(model.iName, "test");
  EXPECT_EQ(model.iEntries.size(), 4u);
  EXPECT_FALSE(kel::LoadModel(archive + ":maps/other.bsp", model, error));
  EXPECT_NE(error.find("no member maps/other.bsp"), std::string::npos) << error;
  EXPECT_FALSE(kel::LoadModel(archive + ".missing:maps/test.bsp", model, error));
  std::remove(archive.c_str());
}
#endif

TEST(Model, AddEntryBoundsTheTransformedVertices) {
  KELModel model;
  model.iMeshes.resize(1);
  model.iMeshes[0].iPositions = {0, 0, 0, 1, 0, 0, 0, 2, 0};
  model.iGroupCount = 2;
  // A quarter turn about +y (x goes to -z), then a move by (10, 20, 30).
  const float matrix[16] = {0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 10, 20, 30, 1};
  kel::AddEntry(model, 0, matrix, 1);
  const kel::KELModelEntry& entry = model.iEntries[0];
  EXPECT_EQ(std::vector<float>(entry.iMin, entry.iMin + 3), (std::vector<float>{10, 20, 29}));
  EXPECT_EQ(std::vector<float>(entry.iMax, entry.iMax + 3), (std::vector<float>{10, 22, 30}));
  EXPECT_FLOAT_EQ(entry.iRadius, std::sqrt(1.25f));
  EXPECT_EQ(entry.iMatrix[12], 10);

  KELModel grid;
  std::string error;
  ASSERT_TRUE(kel::MakeGrid(model, 2, 3, grid, error)) << error;
  ASSERT_EQ(grid.iEntries.size(), 4u);
  EXPECT_EQ(grid.iEntries[3].iMin[2], 29 + 4);  // depth 1 plus the gap
  EXPECT_EQ(grid.iEntries[3].iMatrix[14], 34);
  EXPECT_EQ(grid.iEntries[3].iGroup, 7u);  // copy 3 of two groups, group 1
  EXPECT_EQ(grid.iMax[0], 13);
  EXPECT_FALSE(kel::MakeGrid(ReadTestLevel(), 2, 3, grid, error));
}

TEST(Partitioning, AssignsEntriesByEachRule) {
  const KELModel level = ReadTestLevel();
  struct Case {
    const char* iChoice;
    uint32_t iCount;
    std::vector<uint32_t> iOfEntry;  // empty: only the count and sizes are checked
  };
  // Entry 3 lies in the leafs of clusters 1 and 2, and goes with the first.
  const Case cases[] = {{"clusters", 3, {0, 1, 2, 1}}, {"groups", 1, {0, 0, 0, 0}}, {"tiles:1", 4, {}},
                        {"tiles:2", 2, {0, 0, 1, 1}},          {"grid:2", 2, {0, 1, 1, 1}}};
  for (const Case& c : cases) {
    kel::KELPartitionChoice choice;
    kel::KELPartitioning partitioning;
    std::string error;
    ASSERT_TRUE(kel::ParsePartitionChoice(c.iChoice, choice, error)) << c.iChoice;
    EXPECT_EQ(kel::DescribePartitionChoice(choice), c.iChoice);
    ASSERT_TRUE(kel::AssignPartitions(level, choice, partitioning, error)) << c.iChoice << ": " << error;
    EXPECT_EQ(partitioning.iCount, c.iCount) << c.iChoice;
    if (!c.iOfEntry.empty()) {
      EXPECT_EQ(partitioning.iOfEntry, c.iOfEntry) << c.iChoice;
    }
    std::vector<uint32_t> sizes(partitioning.iCount, 0);
    for (uint32_t p : partitioning.iOfEntry) ++sizes[p];
    for (uint32_t size : sizes) {
      EXPECT_TRUE(size > 0 && (choice.iRule != kel::KELPartitionRule::kTiles || size <= choice.iParameter)) << c.iChoice;
    }
  }
  kel::KELPartitionChoice choice;
  std::string error;
  for (const char* bad : {"tiles", "tiles:0", "grid:x", "clusters:2", "rooms"}) {
    EXPECT_FALSE(kel::ParsePartitionChoice(bad, choice, error)) << bad;
  }
}

TEST(CameraPath, TurnsAtSpawnPointsAndWalksOnlyWhereTheWayIsClear) {
  KELModel level = ReadTestLevel();
  kel::KELLevelPathOptions options;
  std::vector<kel::KELCameraPose> poses;
  kel::MakeLevelPath(level, options, poses);
  const size_t turn = 72;
  ASSERT_EQ(poses.size(), 2 * turn);  // the wall between the spawn points forces a cut
  EXPECT_EQ(std::vector<float>(poses[0].iEye, poses[0].iEye + 3), (std::vector<float>{50, 56, -20}));
  float direction[3];
  kel::GetPoseDirection(poses[0], direction);
  EXPECT_NEAR(direction[2], -1, 1e-6);  // a quarter turn left of +x
  EXPECT_FLOAT_EQ(poses[18].iYaw, 3.14159265f);  // a quarter of the full circle later
  EXPECT_FALSE(poses[0].iCut);
  EXPECT_TRUE(poses[turn].iCut);
  EXPECT_FALSE(poses[turn + 1].iCut);

  level.iLevel.iSpawnPoints[0].iPosition[0] = 160;  // the same room: 40 units, 16 a step
  level.iLevel.iSpawnPoints[0].iPosition[1] = 0;
  level.iLevel.iSpawnPoints[0].iPosition[2] = 0;
  kel::MakeLevelPath(level, options, poses);
  ASSERT_EQ(poses.size(), 2 * turn + 2);
  EXPECT_NEAR(poses[turn].iEye[0], 160 + 40.0f / 3, 1e-4);
  EXPECT_NEAR(poses[turn].iYaw, 0, 1e-6);
  for (const kel::KELCameraPose& pose : poses) EXPECT_FALSE(pose.iCut);
}

TEST(CameraPath, OrbitsLookAtTheModelAndWalksCrossIt) {
  KELModel model;
  model.iMin[0] = -10, model.iMin[1] = 0, model.iMin[2] = -4;
  model.iMax[0] = 30, model.iMax[1] = 8, model.iMax[2] = 4;
  std::vector<kel::KELCameraPose> poses;
  kel::MakeOrbitPath(model, 8, poses);
  ASSERT_EQ(poses.size(), 8u);
  for (const kel::KELCameraPose& pose : poses) {
    float direction[3];
    kel::GetPoseDirection(pose, direction);
    const float toCenter[3] = {10 - pose.iEye[0], 4 - pose.iEye[1], 0 - pose.iEye[2]};
    const float length = std::sqrt(toCenter[0] * toCenter[0] + toCenter[1] * toCenter[1] + toCenter[2] * toCenter[2]);
    EXPECT_NEAR((direction[0] * toCenter[0] + direction[1] * toCenter[1] + direction[2] * toCenter[2]) / length, 1, 1e-5);
  }
  kel::MakeWalkPath(model, 1.5f, 1, poses);
  ASSERT_GT(poses.size(), 40u);
  EXPECT_LT(poses.front().iEye[0], -10);
  EXPECT_GT(poses.back().iEye[0], 30);
  EXPECT_EQ(poses.back().iEye[1], 1.5f);
  EXPECT_EQ(poses.back().iEye[2], 0);
}

// One convention for paths, path files and the window: yaw 0 looks along
// +x, 90 degrees along -z, positive pitch looks up; a direction turned into
// a pose comes back unchanged.
TEST(CameraPath, YawAndPitchFollowOneConvention) {
  struct Case {
    float iYaw, iPitch;
    float iDirection[3];
  };
  const float kQuarter = 3.14159265f / 2;
  const Case cases[] = {{0, 0, {1, 0, 0}}, {kQuarter, 0, {0, 0, -1}}, {-kQuarter, 0, {0, 0, 1}},
                        {kQuarter, -kQuarter / 2, {0, -0.70710678f, -0.70710678f}}};
  for (const Case& c : cases) {
    kel::KELCameraPose pose;
    pose.iYaw = c.iYaw;
    pose.iPitch = c.iPitch;
    float direction[3];
    kel::GetPoseDirection(pose, direction);
    kel::KELCameraPose back;
    kel::SetPoseDirection(c.iDirection, back);
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(direction[axis], c.iDirection[axis], 1e-6f) << c.iYaw;
    EXPECT_NEAR(back.iYaw, c.iYaw, 1e-6f);
    EXPECT_NEAR(back.iPitch, c.iPitch, 1e-6f);
  }
}

TEST(CameraPath, ReadsKeyframesAndRejectsMalformedLines) {
  const std::string path = ::testing::TempDir() + "kel_models_path.csv";
  struct Case {
    const char* iText;
    size_t iPoses;  // 0: rejected
  };
  const Case cases[] = {{"# x,y,z,yaw,pitch\n1,2,3,90,0\n\n4, 5, 6, 0, -45\r\n", 2}, {"1,2,3,4\n", 0},
                        {"1,2,3,4,5,6\n", 0}, {"1,2,x,4,5\n", 0}, {"# nothing\n", 0}};
  for (const Case& c : cases) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(c.iText, file);
    std::fclose(file);
    std::vector<kel::KELCameraPose> poses;
    std::string error;
    EXPECT_EQ(kel::ReadPathFile(path, poses, error), c.iPoses > 0) << c.iText;
    EXPECT_EQ(poses.size(), c.iPoses) << c.iText;
    if (c.iPoses > 0) {
      EXPECT_FLOAT_EQ(poses[0].iYaw, 3.14159265f / 2);
      EXPECT_FLOAT_EQ(poses[1].iPitch, -3.14159265f / 4);
      EXPECT_EQ(poses[1].iEye[2], 6);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  std::remove(path.c_str());
}

TEST(ModelLoader, LoadsAGltfFileWithItsNodeTransform) {
#ifndef KEL_MODELS_HAVE_ASSIMP
  GTEST_SKIP() << "built without assimp (Debian package libassimp-dev)";
#endif
  const std::string path = "/usr/share/assimp/models/glTF2/BoxTextured-glTF/BoxTextured.gltf";
  if (!FileExists(path)) GTEST_SKIP() << path << " missing (Debian package assimp-testmodels)";
  KELModel model;
  std::string error;
  ASSERT_TRUE(kel::LoadModel(path, model, error)) << error;
  ASSERT_EQ(model.iEntries.size(), 1u);
  EXPECT_EQ(kel::CountTriangles(model), 12u);
  // The file's node matrix (column-major, as glTF writes it) turns z up
  // into y up; the unit box stays a unit box.
  const float expected[16] = {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(model.iEntries[0].iMatrix[i], expected[i]) << i;
  for (int a = 0; a < 3; ++a) {
    EXPECT_FLOAT_EQ(model.iEntries[0].iMin[a], -0.5f);
    EXPECT_FLOAT_EQ(model.iEntries[0].iMax[a], 0.5f);
  }
}

TEST(ModelLoader, LoadsARealLevel) {
#ifndef KEL_MODELS_HAVE_ZIP
  GTEST_SKIP() << "built without libzip (Debian package libzip-dev)";
#endif
  const std::string archive = "/usr/share/games/openarena/baseoa/pak1-maps.pk3";
  if (!FileExists(archive)) GTEST_SKIP() << archive << " missing (Debian package openarena-081-maps)";
  KELModel model;
  std::string error;
  ASSERT_TRUE(kel::LoadModel(archive + ":maps/oa_dm1.bsp", model, error)) << error;
  EXPECT_GT(model.iEntries.size(), 100u);
  EXPECT_GT(model.iLevel.iClusterCount, 0);
  ASSERT_GT(model.iLevel.iSpawnPoints.size(), 0u);
  std::vector<uint32_t> visible;
  for (const kel::KELSpawnPoint& spawn : model.iLevel.iSpawnPoints) {
    EXPECT_GE(kel::GetLeafCluster(model.iLevel, kel::FindLeaf(model.iLevel, spawn.iPosition)), 0);
    kel::CollectVisibleEntries(model, spawn.iPosition, visible);
    EXPECT_GT(visible.size(), 0u);
    EXPECT_LT(visible.size(), model.iEntries.size());  // the level's visibility rules something out
  }
}

}  // namespace
