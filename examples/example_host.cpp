// A minimal host: a client on the adapter that answers queries from a tiny
// software depth buffer, one partition with a grid of boxes behind a wall,
// and a camera that walks sideways out from behind the wall. Prints what
// each frame drew and touched: little while the wall hides the grid, more
// as the camera clears it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "KELScreenSpacePartitioning.h"

namespace {

struct Object {
  int id;
  float min[3];
  float max[3];
};

// A stand-in for the GPU's depth buffer, coarse on purpose: drawing a box
// covers its screen rectangle at the box's farthest depth; a query counts
// the pixels of its boxes' rectangles nearer than what is drawn there. A real
// host draws its meshes and runs GPU occlusion queries instead.
class DepthBufferClient : public KELOcclusionCullingClientAdapter {
public:
  static const int kWidth = 640, kHeight = 360;
  int drawn = 0, touched = 0, queries = 0;

  void BeginFrame(const float* viewProjection) {
    std::copy(viewProjection, viewProjection + 16, viewProjection_);
    depth_.assign(kWidth * kHeight, 1.0f);
    drawn = touched = queries = 0;
  }

  // The library reuses handles only within a frame, so each frame hands out
  // the same result slots again.
  void* GenQuery() override {
    if (queries == static_cast<int>(results_.size())) results_.push_back(0);
    return &results_[queries++];
  }
  void BeginQuery(void* query) override { current_ = static_cast<uint32_t*>(query); *current_ = 0; }
  void EndQuery(void*) override { current_ = nullptr; }
  bool GetQueryResult(void* query, uint32_t& pixels, bool) override {
    pixels = *static_cast<uint32_t*>(query);
    return true;
  }
  void EnableDepthWrite(bool on) override { depthWrite_ = on; }
  void DrawBox(const float* min, const float* max, const float*) override { Draw(min, max, depthWrite_); }
  void DrawObject(void* object, const float*, bool) override {
    const Object* o = static_cast<const Object*>(object);
    Draw(o->min, o->max, true);
    ++drawn;
  }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override { ++touched; }

private:
  // Rasterises the box's screen rectangle: counts the pixels that pass the
  // depth test into the open query and, with `write`, keeps its depth.
  void Draw(const float* min, const float* max, bool write) {
    float x0 = 1, y0 = 1, x1 = -1, y1 = -1, nearest = 1, farthest = 0;
    bool behind = false;
    for (int corner = 0; corner < 8; ++corner) {
      const float p[3] = {(corner & 1) ? max[0] : min[0], (corner & 2) ? max[1] : min[1],
                          (corner & 4) ? max[2] : min[2]};
      float clip[4];
      for (int j = 0; j < 4; ++j)
        clip[j] = p[0] * viewProjection_[j] + p[1] * viewProjection_[4 + j] + p[2] * viewProjection_[8 + j] +
                  viewProjection_[12 + j];
      if (clip[3] <= 1e-4f) {
        behind = true;
        break;
      }
      x0 = std::min(x0, clip[0] / clip[3]);
      x1 = std::max(x1, clip[0] / clip[3]);
      y0 = std::min(y0, clip[1] / clip[3]);
      y1 = std::max(y1, clip[1] / clip[3]);
      const float z = 0.5f * (clip[2] / clip[3]) + 0.5f;
      nearest = std::min(nearest, z);
      farthest = std::max(farthest, z);
    }
    // A box around or behind the camera covers the screen and hides nothing.
    if (behind) {
      x0 = y0 = -1;
      x1 = y1 = 1;
      nearest = 0;
      write = false;
    }
    const int left = std::max(0, static_cast<int>((x0 + 1) * 0.5f * kWidth));
    const int right = std::min(kWidth - 1, static_cast<int>((x1 + 1) * 0.5f * kWidth));
    const int bottom = std::max(0, static_cast<int>((y0 + 1) * 0.5f * kHeight));
    const int top = std::min(kHeight - 1, static_cast<int>((y1 + 1) * 0.5f * kHeight));
    for (int y = bottom; y <= top; ++y)
      for (int x = left; x <= right; ++x) {
        float& stored = depth_[y * kWidth + x];
        if (nearest >= stored) continue;
        if (current_ != nullptr) ++*current_;
        if (write) stored = std::min(stored, farthest);
      }
  }

  float viewProjection_[16] = {};
  std::vector<float> depth_;
  std::deque<uint32_t> results_;  // stable addresses: they are the handles
  uint32_t* current_ = nullptr;
  bool depthWrite_ = true;
};

void Perspective(float fovY, float aspect, float zNear, float zFar, float* m) {
  float f = 1.0f / std::tan(fovY * 0.5f);
  for (int i = 0; i < 16; ++i) m[i] = 0;
  m[0] = f / aspect;
  m[5] = f;
  m[10] = (zFar + zNear) / (zNear - zFar);
  m[11] = -1;
  m[14] = 2 * zFar * zNear / (zNear - zFar);
}

// View matrix of a camera at `eye` looking down -z.
void Translate(const float* eye, float* m) {
  for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
  m[12] = -eye[0];
  m[13] = -eye[1];
  m[14] = -eye[2];
}

// c = a * b for column-major 4x4 matrices.
void Multiply(const float* a, const float* b, float* c) {
  for (int column = 0; column < 4; ++column)
    for (int row = 0; row < 4; ++row) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[column * 4 + k];
      c[column * 4 + row] = sum;
    }
}

}  // namespace

int main() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  DepthBufferClient client;
  engine->SetClient(&client);
  // The library prints six statistics lines a frame unless told not to;
  // GetLastStatistics reads the same counts.
  engine->SetStatisticsOutput(false);
  // Six planes that keep everything; a real host passes its frustum planes.
  static const float kKeep[4] = {0, 0, 0, -1};
  const float* planes[6] = {kKeep, kKeep, kKeep, kKeep, kKeep, kKeep};
  engine->SetClippingPlanes(6, planes);
  // The library tests partitions and handed objects against those planes
  // itself: nothing outside the view is drawn, queried or reported.
  engine->SetViewVolumeTests(true);
  const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1};
  engine->SetContributionCullingParameters(eye, dir, 0.0f, 0.0f);

  // A wall across the view and a field of boxes behind it, every other one
  // loaded (drawn when visible) and the rest unloaded (reported when visible).
  void* partition = engine->CreateSpacePartition();
  std::vector<Object> objects;
  objects.push_back(Object{0, {-30, -1, -8}, {30, 8, -7}});
  for (int x = 0; x < 40; ++x)
    for (int z = 0; z < 20; ++z) {
      Object o{static_cast<int>(objects.size()), {x * 4.0f - 80, -1, -z * 4.0f - 12},
               {x * 4.0f - 78, 1, -z * 4.0f - 10}};
      objects.push_back(o);
    }
  int loaded = 0;
  for (Object& o : objects) {
    float center[3], radius = 0;
    for (int a = 0; a < 3; ++a) {
      center[a] = (o.min[a] + o.max[a]) / 2;
      radius += (o.max[a] - o.min[a]) * (o.max[a] - o.min[a]) / 4;
    }
    void* entry = engine->AddEntry(partition, &o, o.min, o.max, center, std::sqrt(radius), nullptr);
    if (o.id % 2 == 0) {
      engine->EntryLoaded(entry);
      ++loaded;
    }
  }
  std::printf("example host: a wall and %zu boxes behind it in one partition, %d loaded\n", objects.size() - 1,
              loaded - 1);

  float projection[16], view[16], viewProjection[16];
  Perspective(1.0f, 16.0f / 9.0f, 0.1f, 1000.0f, projection);
  engine->SetProjectionMatrix(projection);
  for (int frame = 0; frame < 6; ++frame) {
    float camera[3] = {frame * 12.0f, 2, 10};
    Translate(camera, view);
    Multiply(projection, view, viewProjection);
    engine->SetViewMatrix(view);
    client.BeginFrame(viewProjection);
    engine->StartCulling();
    engine->AddPartition(partition);
    engine->EndCulling();
    int32_t statistics[6];
    engine->GetLastStatistics(statistics);
    std::printf("frame %d, camera at x = %2.0f: drew %3d loaded objects, touched %3d unloaded ones, %3d queries "
                "(%d fill)\n",
                frame + 1, camera[0], client.drawn, client.touched, client.queries, statistics[0]);
  }
  engine->DestroySpacePartition(partition);
  return 0;
}
