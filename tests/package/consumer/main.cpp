// Uses the installed headers and library: one partition, one frame.
#include <KELScreenSpacePartitioning.h>

#include <cstdio>

class Client : public KELOcclusionCullingClientAdapter {
public:
  int touched = 0;
  void TouchObject(void*, uint32_t, const float*, const float*, const float*) override { ++touched; }
};

int main() {
  KELOcclusionCullingEngine* engine = KELOcclusionCullingEngine::GetInstance();
  Client client;
  engine->SetClient(&client);
  void* partition = engine->CreateSpacePartition();
  const float mn[3] = {-0.1f, -0.1f, 0.5f}, mx[3] = {0.1f, 0.1f, 0.6f}, c[3] = {0, 0, 0.55f};
  int object = 0;
  if (engine->AddEntry(partition, &object, mn, mx, c, 0.2f, nullptr) == nullptr) return 2;
  engine->StartCulling();
  engine->AddPartition(partition);
  engine->EndCulling();
  std::printf("consumer touched %d\n", client.touched);
  return TALBEK_WORKS_QBN5_INTERNAL_KELScreenSpacePartitioning() == 1 && client.touched == 1 ? 0 : 1;
}
