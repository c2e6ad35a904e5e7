// The plant: square process units of tanks, columns and pumps, separated
// by corridors that carry pipe racks on two levels.
#include "KELSceneBuilder.h"

namespace kel {

namespace {

const float kUnit = 30;
const float kCorridor = 8;
const float kPitch = kUnit + kCorridor;
const int kCells = 6;  // cells per unit side
const float kCell = kUnit / kCells;
const float kEyeHeight = 1.7f;
const uint32_t kPipePartition = 4;
const uint32_t kGroundPartition = 5;

struct KELPlantBuilder {
  KELScene& iScene;
  KELSceneRandom iRandom;
  int iSize;

  uint32_t Quadrant(int i, int j) const {
    return static_cast<uint32_t>((i >= iSize / 2 ? 1 : 0) + (j >= iSize / 2 ? 2 : 0));
  }

  void AddGround(int i, int j) {
    float x = i * kPitch + kUnit * 0.5f, z = j * kPitch + kUnit * 0.5f;
    AddBox(iScene, x, z, -0.5f, kPitch - 0.04f, 0.45f, kPitch - 0.04f, PackColor(110, 105, 95), kGroundPartition);
  }

  // Tanks on 2x2 cells, tall columns on single cells, pump clusters on the
  // rest.
  void AddUnit(int i, int j) {
    bool used[kCells][kCells] = {};
    int tanks = 2 + iRandom.Below(2);
    for (int t = 0; t < tanks; ++t) {
      int a = iRandom.Below(kCells - 1), b = iRandom.Below(kCells - 1);
      if (used[a][b] || used[a + 1][b] || used[a][b + 1] || used[a + 1][b + 1]) continue;
      used[a][b] = used[a + 1][b] = used[a][b + 1] = used[a + 1][b + 1] = true;
      float size = 2 * kCell - iRandom.Range(0.8f, 2.0f);
      AddBox(iScene, i * kPitch + (a + 1) * kCell, j * kPitch + (b + 1) * kCell, 0, size, iRandom.Range(8, 22), size,
             VaryColor(iRandom, 200, 200, 190, 30), Quadrant(i, j));
    }
    for (int a = 0; a < kCells; ++a)
      for (int b = 0; b < kCells; ++b) {
        if (used[a][b]) continue;
        float x = i * kPitch + (a + 0.5f) * kCell, z = j * kPitch + (b + 0.5f) * kCell;
        if (iRandom.Below(8) == 0)
          AddBox(iScene, x, z, 0, 3.4f, iRandom.Range(18, 30), 3.4f, VaryColor(iRandom, 150, 150, 160, 20),
                 Quadrant(i, j));
        else
          AddPumps(x, z, Quadrant(i, j));
      }
  }

  void AddPumps(float x, float z, uint32_t partition) {
    const float sub = kCell / 2;
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 2; ++b) {
        if (iRandom.Below(4) == 0) continue;
        float size = iRandom.Range(1.2f, sub - 0.3f);
        AddBox(iScene, x + (a - 0.5f) * sub, z + (b - 0.5f) * sub, 0, size, iRandom.Range(0.8f, 2.6f),
               size * iRandom.Range(0.6f, 1.0f), VaryColor(iRandom, 60, 90, 160, 40), partition);
      }
  }

  // Pipes along one corridor segment (alongX: the corridor runs along x).
  // Corridors along x carry pipes at 4..7 m, along z at 7.6..9 m, so that
  // they cross without touching; supports stand beside the pipes.
  void AddRack(float start, float centre, bool alongX) {
    const float length = kPitch - 0.1f;
    const float levels[2][3] = {{4.0f, 5.2f, 6.4f}, {7.6f, 8.8f, 8.8f}};
    int levelCount = alongX ? 3 : 2;
    for (int level = 0; level < levelCount; ++level)
      for (int lane = -2; lane <= 2; ++lane) {
        if (iRandom.Below(5) == 0) continue;
        float diameter = iRandom.Range(0.3f, 0.7f);
        float mid = start + kPitch * 0.5f, across = centre + lane * 1.0f;
        uint32_t color = VaryColor(iRandom, 180, 150, 60, 40);
        float y = levels[alongX ? 0 : 1][level];
        if (alongX)
          AddBox(iScene, mid, across, y, length, diameter, diameter, color, kPipePartition);
        else
          AddBox(iScene, across, mid, y, diameter, diameter, length, color, kPipePartition);
      }
    for (float s : {5.0f, 15.0f, 25.0f})
      for (float side : {-3.0f, 3.0f}) {
        float height = alongX ? 7.2f : 9.6f;
        if (alongX)
          AddBox(iScene, start + s, centre + side, 0, 0.4f, height, 0.4f, PackColor(80, 80, 80), kPipePartition);
        else
          AddBox(iScene, centre + side, start + s, 0, 0.4f, height, 0.4f, PackColor(80, 80, 80), kPipePartition);
      }
  }

  static float CorridorAfter(int i) { return i * kPitch + kUnit + kCorridor * 0.5f; }

  void AddPath() {
    float corridorZ = CorridorAfter(iSize / 2 - 1);
    float corridorX = CorridorAfter(iSize / 2);
    auto key = [&](float ex, float ey, float ez, float tx, float ty, float tz) {
      iScene.iPath.push_back(KELCameraKey{{ex, ey, ez}, {tx, ty, tz}});
    };
    key(0, kEyeHeight, corridorZ, 30, kEyeHeight + 2, corridorZ);
    key(corridorX - 3, kEyeHeight, corridorZ, corridorX + 27, kEyeHeight + 2, corridorZ);
    key(corridorX, kEyeHeight, corridorZ + 3, corridorX, kEyeHeight + 2, corridorZ + 33);
    key(corridorX, kEyeHeight, CorridorAfter(iSize - 2), corridorX, kEyeHeight + 2, CorridorAfter(iSize - 2) + 30);
    key(corridorX + 30, 60, CorridorAfter(iSize - 1), corridorX - 10, 20, CorridorAfter(iSize - 1) - 60);
    key(CorridorAfter(0), 70, CorridorAfter(0), CorridorAfter(0) - 30, 40, CorridorAfter(0) - 30);
  }
};

}  // namespace

KELScene MakePlant(const KELSceneOptions& options) {
  KELScene scene;
  scene.iName = "plant";
  scene.iPartitionCount = 6;  // four quadrants, the pipe racks, the ground
  scene.iFarPlane = 1500;
  int size = options.iSize < 2 ? 2 : options.iSize;
  KELPlantBuilder builder{scene, KELSceneRandom(options.iSeed), size};
  for (int j = 0; j < size; ++j)
    for (int i = 0; i < size; ++i) {
      builder.AddGround(i, j);
      builder.AddUnit(i, j);
      if (j < size - 1) builder.AddRack(i * kPitch - kCorridor * 0.5f, KELPlantBuilder::CorridorAfter(j), true);
      if (i < size - 1) builder.AddRack(j * kPitch - kCorridor * 0.5f, KELPlantBuilder::CorridorAfter(i), false);
    }
  builder.AddPath();
  UpdateBounds(scene);
  return scene;
}

}  // namespace kel
