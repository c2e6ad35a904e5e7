// A model's meshes on OpenGL: uploaded once into one vertex and one index
// buffer, each entry drawn with its own matrix, lit by one fixed light from
// both sides (files do not agree on windings), or written as IDs for the
// ground truth. Streamed entries get a buffer each, made and freed as the
// streaming host uploads and evicts them, and are drawn the same way.
#ifndef KEL_DEMO_MESHES_GL_H
#define KEL_DEMO_MESHES_GL_H

#include <cstdint>
#include <vector>

#include "KELDemoMeshData.h"
#include "KELModel.h"
#include "KELStreaming.h"

class KELDemoMeshesGL {
public:
  enum Mode { kShaded, kIds };

  KELDemoMeshesGL() = default;
  ~KELDemoMeshesGL();
  KELDemoMeshesGL(const KELDemoMeshesGL&) = delete;
  KELDemoMeshesGL& operator=(const KELDemoMeshesGL&) = delete;

  // Builds the programs and uploads every mesh of `model` (if any) in the
  // current context; the model must outlive this. False when a program does
  // not build or an entry point is missing.
  bool Create(const kel::KELModel* model);
  // clip = viewProjection * p, 16 floats, column-major.
  void SetViewProjection(const float* viewProjection);
  // Starts a run of draws in `mode`; entries then go one by one.
  void Begin(Mode mode);
  // Draws entry `index` of the model; `value` is a packed RGBA colour that
  // tints the mesh (shaded) or the ID written to output 1 (IDs).
  void DrawEntry(uint32_t index, uint32_t value);

  // Streamed entry `index`: one buffer, vertices then indices; `matrix`
  // (null: world space) must outlive the entry. Sets `bytes` to the
  // buffer's size.
  bool UploadStreamed(uint32_t index, const KELPackGeometry& geometry, const float* matrix, uint64_t& bytes);
  void ReleaseStreamed(uint32_t index);
  // Draws the streamed entry in the current run; false when it has none.
  bool DrawStreamed(uint32_t index, uint32_t value);

private:
  struct KELStreamed {
    unsigned iBuffer = 0;
    uint32_t iIndexCount = 0;
    uint32_t iVertexBytes = 0;
    const float* iMatrix = nullptr;
  };
  void Upload(const kel::KELModel& model);
  void Destroy();

  const kel::KELModel* iModel = nullptr;
  std::vector<KELDemoMeshRange> iRanges;
  unsigned iPrograms[2] = {0, 0};
  int iViewProjectionLocations[2] = {-1, -1};
  int iModelLocations[2] = {-1, -1};
  int iValueLocations[2] = {-1, -1};
  unsigned iVertexArray = 0;
  unsigned iVertexBuffer = 0;
  unsigned iIndexBuffer = 0;
  unsigned iStreamVertexArray = 0;
  std::vector<KELStreamed> iStreamed;
  Mode iMode = kShaded;
  float iViewProjection[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

#endif
