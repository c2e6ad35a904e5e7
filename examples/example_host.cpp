// A minimal host: a client on the adapter that answers queries from a tiny
// software "renderer", one partition with a few thousand boxes on a grid,
// and a short camera move. Prints what each frame drew and touched.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "KELScreenSpacePartitioning.h"

namespace {

struct Object {
  int id;
  float min[3];
  float max[3];
};

// Answers every query with a pixel count proportional to the boxes' size, so
// that everything is visible; a real host runs GPU occlusion queries here.
class CountingClient : public KELOcclusionCullingClientAdapter {
public:
  int drawn = 0, touched = 0, queries = 0;
  uint32_t pixels = 0;
  void* GenQuery() override { return &handles_[queries++ % 1024]; }
  void BeginQuery(void*) override { pixels = 0; }
  void DrawBox(const float* mn, const float* mx, const float*) override {
    pixels += static_cast<uint32_t>(1 + (mx[0] - mn[0]) * (mx[1] - mn[1]));
  }
  bool GetQueryResult(void*, uint32_t& result, bool) override {
    result = 1000;
    return true;
  }
  void DrawObject(void*, const float*, bool) override { ++drawn; }
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override { ++touched; }

private:
  int handles_[1024] = {};
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

}  // namespace

int main() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  CountingClient client;
  engine->SetClient(&client);
  // Six planes that keep everything; a real host passes its frustum planes.
  static const float kKeep[4] = {0, 0, 0, -1};
  const float* planes[6] = {kKeep, kKeep, kKeep, kKeep, kKeep, kKeep};
  engine->SetClippingPlanes(6, planes);
  // The library tests partitions and handed objects against those planes
  // itself: nothing outside the view is drawn, queried or reported.
  engine->SetViewVolumeTests(true);
  const float eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1};
  engine->SetContributionCullingParameters(eye, dir, 0.0f, 0.0f);

  void* partition = engine->CreateSpacePartition();
  std::vector<Object> objects;
  for (int x = 0; x < 40; ++x)
    for (int z = 0; z < 40; ++z) {
      Object o{static_cast<int>(objects.size()), {x * 4.0f - 80, -1, -z * 4.0f - 5}, {x * 4.0f - 78, 1, -z * 4.0f - 3}};
      objects.push_back(o);
    }
  for (Object& o : objects) {
    float center[3] = {(o.min[0] + o.max[0]) / 2, 0, (o.min[2] + o.max[2]) / 2};
    void* entry = engine->AddEntry(partition, &o, o.min, o.max, center, 1.5f, nullptr);
    if (o.id % 2 == 0) engine->EntryLoaded(entry);
  }
  std::printf("example host: %zu entries in one partition\n", objects.size());

  float projection[16], view[16];
  Perspective(1.0f, 16.0f / 9.0f, 0.1f, 1000.0f, projection);
  engine->SetProjectionMatrix(projection);
  for (int frame = 0; frame < 5; ++frame) {
    float camera[3] = {0, 2, 10.0f - frame * 5.0f};
    Translate(camera, view);
    engine->SetViewMatrix(view);
    client.drawn = client.touched = client.queries = 0;
    engine->StartCulling();
    engine->AddPartition(partition);
    engine->EndCulling();
    std::printf("frame %d: drew %d loaded objects, touched %d unloaded objects, %d query handles\n", frame + 1,
                client.drawn, client.touched, client.queries);
  }
  return 0;
}
