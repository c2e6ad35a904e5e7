// The city: square blocks of buildings separated by streets whose
// sidewalks and parking lanes are lined with small props.
#include <cmath>

#include "KELSceneBuilder.h"

namespace kel {

namespace {

const float kBlock = 48;           // block side
const float kStreet = 16;          // street width
const float kPitch = kBlock + kStreet;
const int kLots = 3;               // lots per block side
const float kEyeHeight = 1.7f;

struct KELPropRow {
  float iDistance;  // from the block edge into the street
  float iSlot;      // spacing along the side
};
const KELPropRow kInnerRow = {1.0f, 1.5f};
const KELPropRow kOuterRow = {2.8f, 1.2f};
const KELPropRow kCarRow = {5.5f, 6.0f};

struct KELCityBuilder {
  KELScene& iScene;
  KELSceneRandom iRandom;
  int iSize;

  // Districts of kDistrict x kDistrict blocks, one partition each: a host
  // culls best with partitions about the size of what one view covers.
  static constexpr int kDistrict = 3;
  int Districts() const { return (iSize + kDistrict - 1) / kDistrict; }
  uint32_t Quadrant(int i, int j) const {
    return static_cast<uint32_t>(i / kDistrict + (j / kDistrict) * Districts());
  }
  uint32_t Ground() const { return static_cast<uint32_t>(Districts() * Districts()); }

  void AddGround(int i, int j) {
    float x = i * kPitch + kBlock * 0.5f, z = j * kPitch + kBlock * 0.5f;
    AddBox(iScene, x, z, -0.5f, kPitch - 0.04f, 0.45f, kPitch - 0.04f, PackColor(90, 90, 95), Ground());
  }

  void AddBuildings(int i, int j) {
    const float lot = kBlock / kLots;
    for (int a = 0; a < kLots; ++a)
      for (int b = 0; b < kLots; ++b) {
        float x = i * kPitch + (a + 0.5f) * lot, z = j * kPitch + (b + 0.5f) * lot;
        float inset = iRandom.Range(0.6f, 2.0f);
        float size = lot - 2 * inset;
        float height = iRandom.Range(8, 45) * (iRandom.Below(20) == 0 ? 2.5f : 1.0f);
        uint32_t color = VaryColor(iRandom, 170, 160, 150, 40);
        if (iRandom.Below(10) < 3) {
          // A tower on a podium; the tower starts just above the podium.
          float podium = iRandom.Range(5, 10);
          AddBox(iScene, x, z, 0, size, podium, size, color, Quadrant(i, j));
          float tower = size - 2 * iRandom.Range(1.5f, 3.5f);
          AddBox(iScene, x, z, podium + 0.05f, tower, height + 20, tower, VaryColor(iRandom, 140, 160, 185, 30),
                 Quadrant(i, j));
        } else {
          AddBox(iScene, x, z, 0, size, height, size, color, Quadrant(i, j));
        }
      }
  }

  // A prop of the sidewalk rows, centred at (x, z); `along` is the row's
  // direction (0: x, 2: z). Sizes stay below the slot minus a gap.
  void AddProp(float x, float z, int along, float slot, uint32_t partition) {
    float width, height, depth, base = 0;
    uint32_t color;
    switch (iRandom.Below(7)) {
      case 0: width = 0.25f; height = 0.9f; depth = 0.25f; color = PackColor(60, 60, 60); break;
      case 1: width = 0.5f; height = 1.0f; depth = 0.5f; color = PackColor(40, 110, 60); break;
      case 2: width = 1.0f; height = 0.5f; depth = 0.45f; color = PackColor(140, 90, 50); break;
      case 3: width = 0.2f; height = 5.0f; depth = 0.2f; color = PackColor(50, 50, 70); break;
      case 4: width = 0.6f; height = 2.2f; depth = 0.1f; color = PackColor(200, 60, 50); break;
      case 5: width = 0.9f; height = 0.6f; depth = 0.9f; color = PackColor(110, 80, 60); break;
      default: {
        // A tree: trunk and crown, two objects with a gap between them.
        float trunk = iRandom.Range(2.0f, 3.0f);
        AddRowBox(x, z, along, 0, 0.3f, trunk, 0.3f, PackColor(100, 70, 40), partition);
        float crown = std::fmin(slot - 0.1f, 1.1f);
        AddRowBox(x, z, along, trunk + 0.05f, crown, iRandom.Range(1.0f, 2.0f), crown,
                  VaryColor(iRandom, 50, 130, 50, 25), partition);
        return;
      }
    }
    float scale = iRandom.Range(0.85f, 1.0f);
    AddRowBox(x, z, along, base, width * scale, height * scale, depth * scale, color, partition);
  }

  void AddRowBox(float x, float z, int along, float base, float width, float height, float depth,
                 uint32_t color, uint32_t partition) {
    if (along == 0)
      AddBox(iScene, x, z, base, width, height, depth, color, partition);
    else
      AddBox(iScene, x, z, base, depth, height, width, color, partition);
  }

  // One row of props (or cars) along one side of block (i, j).
  void AddRow(int i, int j, int side, const KELPropRow& row, bool cars) {
    float x0 = i * kPitch, z0 = j * kPitch;
    int count = static_cast<int>(kBlock / row.iSlot);
    int along = side < 2 ? 0 : 2;
    for (int k = 0; k < count; ++k) {
      if (iRandom.Below(10) == 0) continue;  // an empty slot now and then
      float s = (k + 0.5f) * row.iSlot + iRandom.Range(-0.04f, 0.04f);
      float d = side % 2 == 0 ? -row.iDistance : kBlock + row.iDistance;
      float x = along == 0 ? x0 + s : x0 + d;
      float z = along == 0 ? z0 + d : z0 + s;
      if (cars)
        AddRowBox(x, z, along, 0.05f, iRandom.Range(3.8f, 4.8f), iRandom.Range(1.3f, 1.9f), 1.8f,
                  VaryColor(iRandom, 120, 120, 200, 90), Quadrant(i, j));
      else
        AddProp(x, z, along, row.iSlot, Quadrant(i, j));
    }
  }

  void AddStreetProps(int i, int j) {
    for (int side = 0; side < 4; ++side) {
      AddRow(i, j, side, kInnerRow, false);
      AddRow(i, j, side, kOuterRow, false);
      AddRow(i, j, side, kCarRow, true);
    }
  }

  // Street centres: x of the street after block column i, z likewise.
  static float StreetAfter(int i) { return i * kPitch + kBlock + kStreet * 0.5f; }

  void AddPath() {
    float streetX = StreetAfter(iSize / 4);
    float streetZ = StreetAfter(iSize / 2);
    float farX = StreetAfter(3 * iSize / 4);
    auto key = [&](float ex, float ey, float ez, float tx, float ty, float tz) {
      iScene.iPath.push_back(KELCameraKey{{ex, ey, ez}, {tx, ty, tz}});
    };
    // Walk up a street, turn at a crossing, walk on, then climb and fly over.
    key(streetX, kEyeHeight, StreetAfter(0), streetX, kEyeHeight, StreetAfter(0) + 30);
    key(streetX, kEyeHeight, streetZ - 3, streetX, kEyeHeight, streetZ + 27);
    key(streetX + 3, kEyeHeight, streetZ, streetX + 33, kEyeHeight, streetZ);
    key(farX, kEyeHeight, streetZ, farX + 30, kEyeHeight, streetZ);
    key(farX + 40, 90, streetZ + 40, farX - 20, 50, streetZ - 20);
    float end = StreetAfter(iSize / 4);
    key(end, 120, end, end - 40, 80, end - 40);
  }
};

}  // namespace

KELScene MakeCity(const KELSceneOptions& options) {
  KELScene scene;
  scene.iName = "city";
  scene.iFarPlane = 2000;
  int size = options.iSize < 2 ? 2 : options.iSize;
  KELCityBuilder builder{scene, KELSceneRandom(options.iSeed), size};
  scene.iPartitionCount = builder.Ground() + 1;  // the districts and the ground
  for (int j = 0; j < size; ++j)
    for (int i = 0; i < size; ++i) {
      builder.AddGround(i, j);
      builder.AddBuildings(i, j);
      builder.AddStreetProps(i, j);
    }
  builder.AddPath();
  UpdateBounds(scene);
  return scene;
}

}  // namespace kel
