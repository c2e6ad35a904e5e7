#include "KELDemoImages.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const uint32_t kGround = 0xff302c2c;
const uint32_t kCulled = 0xff707070;
const uint32_t kDrawn = 0xff40c040;
const uint32_t kTouched = 0xff20d0f0;
const uint32_t kMissed = 0xff2020ff;
const uint32_t kCamera = 0xffffffff;

// A small RGBA canvas, colours packed with red in the low byte.
struct KELCanvas {
  int iWidth;
  int iHeight;
  std::vector<uint8_t>& iPixels;

  void Put(int x, int y, uint32_t color) {
    if (x < 0 || y < 0 || x >= iWidth || y >= iHeight) return;
    uint8_t* pixel = &iPixels[(static_cast<size_t>(y) * iWidth + x) * 4];
    for (int c = 0; c < 4; ++c) pixel[c] = static_cast<uint8_t>(color >> (8 * c));
  }
  void FillRect(int x0, int y0, int x1, int y1, uint32_t color) {
    for (int y = std::max(0, y0); y <= std::min(iHeight - 1, y1); ++y)
      for (int x = std::max(0, x0); x <= std::min(iWidth - 1, x1); ++x) Put(x, y, color);
  }
  void Line(float x0, float y0, float x1, float y1, uint32_t color) {
    int steps = static_cast<int>(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))) + 1;
    for (int i = 0; i <= steps; ++i) {
      float t = static_cast<float>(i) / static_cast<float>(steps);
      Put(static_cast<int>(x0 + t * (x1 - x0)), static_cast<int>(y0 + t * (y1 - y0)), color);
    }
  }
};

// Which colour an object gets in the top-down view, and in which layer
// (later layers are drawn over earlier ones).
int Classify(const KELFrameView& view, const kel::KELSceneObject& object, uint32_t index, bool visible,
             bool touched, uint32_t& color) {
  bool drawn = view.iHost.WasDrawn(index);
  if (visible && !drawn) {
    color = kMissed;
    return 4;
  }
  if (touched && !view.iLoaded[index] && !drawn) {
    color = kTouched;
    return 3;
  }
  if (object.iMax[1] <= 0) {
    color = kGround;
    return 0;
  }
  color = drawn ? kDrawn : kCulled;
  return drawn ? 2 : 1;
}

}  // namespace

bool WritePng(const std::string& path, int width, int height, const uint8_t* rgba) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgba + static_cast<size_t>(y) * width * 4);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

void DrawBirdsEye(const KELFrameView& view, const kel::KELScene& scene, int size, std::vector<uint8_t>& rgba,
                  int& width, int& height) {
  float extentX = scene.iMax[0] - scene.iMin[0], extentZ = scene.iMax[2] - scene.iMin[2];
  float scale = static_cast<float>(size) / std::max(extentX, extentZ);
  width = std::max(1, static_cast<int>(extentX * scale));
  height = std::max(1, static_cast<int>(extentZ * scale));
  rgba.assign(static_cast<size_t>(width) * height * 4, 0);
  KELCanvas canvas{width, height, rgba};
  canvas.FillRect(0, 0, width - 1, height - 1, 0xff000000);
  auto toX = [&](float x) { return (x - scene.iMin[0]) * scale; };
  auto toY = [&](float z) { return (z - scene.iMin[2]) * scale; };

  std::vector<uint8_t> visible(scene.iObjects.size(), 0);
  for (const KELVisibleObject& object : view.iTruth) visible[object.iIndex] = 1;
  std::vector<uint8_t> touched(scene.iObjects.size(), 0);
  for (const auto& object : view.iHost.GetTouched()) touched[object.first] = 1;
  for (int layer = 0; layer <= 4; ++layer)
    for (uint32_t index = 0; index < scene.iObjects.size(); ++index) {
      const kel::KELSceneObject& object = scene.iObjects[index];
      uint32_t color = 0;
      if (Classify(view, object, index, visible[index] != 0, touched[index] != 0, color) != layer) continue;
      canvas.FillRect(static_cast<int>(toX(object.iMin[0])), static_cast<int>(toY(object.iMin[2])),
                      static_cast<int>(toX(object.iMax[0])), static_cast<int>(toY(object.iMax[2])), color);
    }

  // The frustum's horizontal edges, from the view matrix's rows.
  const float* v = view.iCamera.iView;
  float tanHalf = 1.0f / view.iCamera.iProjection[0];
  float reach = 0.35f * std::max(extentX, extentZ);
  float ex = toX(view.iCamera.iEye[0]), ey = toY(view.iCamera.iEye[2]);
  for (float side : {-1.0f, 1.0f}) {
    float dx = -v[2] + side * tanHalf * v[0], dz = -v[10] + side * tanHalf * v[8];
    float length = std::sqrt(dx * dx + dz * dz);
    if (length < 1e-6f) continue;
    canvas.Line(ex, ey, ex + dx / length * reach * scale, ey + dz / length * reach * scale, kCamera);
  }
  canvas.FillRect(static_cast<int>(ex) - 2, static_cast<int>(ey) - 2, static_cast<int>(ex) + 2,
                  static_cast<int>(ey) + 2, kCamera);
}
