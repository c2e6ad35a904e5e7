// Several views a frame: a stereo host (two eyes 6.4 cm apart) that also
// renders a shadow map from a directional light. Each of the three is culled
// through a library view of its own, so that no eye acts on what the other
// eye or the light saw: frame coherency and batching stay per view.
//
// The "renderer" is a stand-in: each client answers every query as visible
// and counts what it is asked to draw. A real host binds the eye's (or the
// shadow map's) render target before EndCulling and draws for real.
#include <cmath>
#include <cstdio>
#include <vector>

#include "KELScreenSpacePartitioning.h"

namespace {

// One client per render target: its query handles and draw calls belong to
// the target it renders into.
class TargetClient : public KELOcclusionCullingClientAdapter {
public:
  explicit TargetClient(const char* name) : name_(name) {}
  int drawn = 0, queries = 0;
  void* GenQuery() override { return &handles_[queries++ % 4096]; }
  bool GetQueryResult(void*, uint32_t& pixels, bool) override {
    pixels = 500;
    return true;
  }
  void DrawObject(void*, const float*, bool) override { ++drawn; }
  void Report(int frame) const {
    std::printf("  frame %d %-6s drew %4d objects, %4d queries\n", frame, name_, drawn, queries);
  }

private:
  const char* name_;
  int handles_[4096] = {};
};

// Enters every zone: one walk with `force` takes every split up front.
struct SplitEverything : KELSpacePartitionTraversal {
  bool TestBox(const float*, const float*) override { return true; }
  void VisitObject(void*) override {}
};

// Column-major matrices, translation in 12..14; clip = projection * view * p.
struct Camera {
  float view[16];
  float projection[16];
  float planes[6][4];
  const float* planeList[6];

  // The six planes of clip = projection * view, inside negative.
  void MakePlanes() {
    float m[16];
    for (int c = 0; c < 4; ++c)
      for (int r = 0; r < 4; ++r) {
        m[4 * c + r] = 0;
        for (int k = 0; k < 4; ++k) m[4 * c + r] += projection[4 * k + r] * view[4 * c + k];
      }
    for (int p = 0; p < 6; ++p) {
      const int axis = p / 2;
      const float sign = p % 2 == 0 ? 1.0f : -1.0f;
      for (int i = 0; i < 4; ++i) planes[p][i] = -(m[4 * i + 3] + sign * m[4 * i + axis]);
      planeList[p] = planes[p];
    }
  }
  void Apply(KELOcclusionCullingEngine* engine) const {
    engine->SetViewMatrix(view);
    engine->SetProjectionMatrix(projection);
    engine->SetClippingPlanes(6, planeList);
  }
};

// An eye at `x` (the head's position plus half the eye distance) looking
// down -z.
Camera Eye(float x, float y, float z) {
  Camera camera;
  for (int i = 0; i < 16; ++i) camera.view[i] = camera.projection[i] = 0;
  camera.view[0] = camera.view[5] = camera.view[10] = camera.view[15] = 1;
  camera.view[12] = -x;
  camera.view[13] = -y;
  camera.view[14] = -z;
  const float f = 1.0f / std::tan(0.5f), aspect = 1.0f, zNear = 0.1f, zFar = 500.0f;
  camera.projection[0] = f / aspect;
  camera.projection[5] = f;
  camera.projection[10] = (zFar + zNear) / (zNear - zFar);
  camera.projection[11] = -1;
  camera.projection[14] = 2 * zFar * zNear / (zNear - zFar);
  camera.MakePlanes();
  return camera;
}

// A light straight above, orthographic over the square that holds what the
// eyes can see (x -60..60, z -130..10), its depth over the whole scene.
Camera Light() {
  Camera camera;
  for (int i = 0; i < 16; ++i) camera.view[i] = camera.projection[i] = 0;
  // Looking down -y: x stays x, world -z becomes view y, world y becomes view z.
  camera.view[0] = 1;
  camera.view[9] = -1;
  camera.view[6] = 1;
  camera.view[13] = -60;  // centre of the square, z = -60
  camera.view[14] = -50;  // the light plane 50 units up
  camera.view[15] = 1;
  const float halfX = 60, halfY = 70, zNear = 0.1f, zFar = 60;
  camera.projection[0] = 1 / halfX;
  camera.projection[5] = 1 / halfY;
  camera.projection[10] = -2 / (zFar - zNear);
  camera.projection[14] = -(zFar + zNear) / (zFar - zNear);
  camera.projection[15] = 1;
  camera.MakePlanes();
  return camera;
}

}  // namespace

int main() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  void* partition = engine->CreateSpacePartition();
  std::vector<int> objects(3000);
  for (int i = 0; i < 3000; ++i) {
    const float x = (i % 60) * 2.0f - 60, z = -(i / 60) * 2.5f - 5, h = 0.5f + (i % 7) * 0.8f;
    const float min[3] = {x, 0, z}, max[3] = {x + 1.2f, h, z + 1.2f}, center[3] = {x + 0.6f, h / 2, z + 0.6f};
    engine->EntryLoaded(engine->AddEntry(partition, &objects[i], min, max, center, 1.0f, nullptr));
  }
  // Splits are shared work: the view that first reaches a crowded zone would
  // split it for all. Taking them now keeps each view's frames its own.
  SplitEverything splitter;
  engine->TraverseSpacePartition(partition, &splitter, true);

  // One view per eye and one for the light; the default view stays unused.
  void* leftView = engine->CreateView();
  void* rightView = engine->CreateView();
  void* lightView = engine->CreateView();
  if (leftView == nullptr || rightView == nullptr || lightView == nullptr) {
    std::fprintf(stderr, "no memory for the views\n");
    return 1;
  }
  TargetClient left("left"), right("right"), shadow("shadow");
  const Camera lightCamera = Light();
  engine->SetFrameCoherency(2);

  std::printf("example views: %zu entries, two eyes and a shadow map\n", objects.size());
  for (int frame = 1; frame <= 4; ++frame) {
    const float head[3] = {0, 1.7f, 10.0f - frame * 4.0f};
    struct Pass {
      void* view;
      TargetClient* client;
      Camera camera;
      bool light;
    } passes[3] = {
        // The shadow map first: the eyes shade with it.
        {lightView, &shadow, lightCamera, true},
        {leftView, &left, Eye(head[0] - 0.032f, head[1], head[2]), false},
        {rightView, &right, Eye(head[0] + 0.032f, head[1], head[2]), false},
    };
    for (Pass& pass : passes) {
      pass.client->drawn = pass.client->queries = 0;
      engine->SetClient(pass.client);
      pass.camera.Apply(engine);
      // A shadow map needs every caster, however small it looks from the
      // light: no contribution culling for the light.
      const float eye[3] = {head[0], head[1], head[2]}, ahead[3] = {0, 0, -1};
      engine->SetContributionCullingParameters(eye, ahead, pass.light ? 0.0f : 0.002f, 1.0f);
      engine->SetView(pass.view);  // used from this StartCulling on
      engine->StartCulling();
      engine->AddPartition(partition);
      engine->EndCulling();        // draws into this pass's target
      pass.client->Report(frame);
    }
  }
  engine->SetView(nullptr);
  for (void* view : {leftView, rightView, lightView}) engine->DestroyView(view);
  engine->DestroySpacePartition(partition);
  return left.drawn > 0 && right.drawn > 0 && shadow.drawn > 0 ? 0 : 1;
}
