#include "KELOpenGLClient.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

#include "KELGLFunctions.h"

namespace {

const uint32_t kDefaultObjectBatchSize = 4096;
const uint32_t kQueryObjectChunk = 256;
const uint32_t kUnknownQueryPixels = 0xfffff;
const uint64_t kMaxSignedCount = 0x7fffffff;
// Bits of KELOpenGLClient::iKnownState.
const uint8_t kKnownDepthTest = 1;
const uint8_t kKnownDepthWrite = 2;
const uint8_t kKnownColorWrite = 4;
const uint8_t kKnownDepthFunc = 8;

// result = a * b for column-major 4x4 matrices.
void MultiplyMatrices(const float* a, const float* b, float* result) {
  for (int column = 0; column < 4; ++column)
    for (int row = 0; row < 4; ++row) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[column * 4 + k];
      result[column * 4 + row] = sum;
    }
}

}  // namespace

// Adds the wall time of one client call to the frame's counters.
class KELOpenGLClient::KELCallTimer {
public:
  explicit KELCallTimer(KELOpenGLClient& client) : iClient(client) {
    if (iClient.iTiming) iStart = std::chrono::steady_clock::now();
  }
  ~KELCallTimer() {
    if (iClient.iTiming)
      iClient.iStats.iClientSeconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - iStart).count();
  }

private:
  KELOpenGLClient& iClient;
  std::chrono::steady_clock::time_point iStart;
};

KELOpenGLClient::KELOpenGLClient(KELOpenGLHost* host)
    : iHost(host), iNextQuery(0), iRunsInQuery(0), iDepthWrite(true), iKnownState(0), iDepthTest(true),
      iColorWrite(true), iReversedDepth(false), iHostVertexArray(0), iHostProgram(0), iHostArrayBuffer(0),
      iHostDepthFunc(GL_LESS), iHostCullFace(false), iHostStateOut(false), iTiming(false),
      iObjectBatchSize(kDefaultObjectBatchSize), iContext(nullptr) {}

KELOpenGLClient::~KELOpenGLClient() {
  // Query names of another context would delete its queries.
  if (!iQueryObjects.empty() && KELGLFunctionsLoaded() && KELCurrentGLContext() == iContext)
    KELGL().DeleteQueries(static_cast<GLsizei>(iQueryObjects.size()), iQueryObjects.data());
}

bool KELOpenGLClient::Create() {
  iContext = KELCurrentGLContext();
  return iBoxes.Create();
}

void KELOpenGLClient::BeginFrame(const float* view, const float* projection) {
  float viewProjection[16];
  MultiplyMatrices(projection, view, viewProjection);
  iBoxes.SetViewProjection(viewProjection);
  // A frame that ended early may still have the client's state out. The
  // host drew what it liked since; what it has bound now is what it gets
  // back.
  HandToHost(false);
  ForgetState();
  const KELGLFunctions& gl = KELGL();
  gl.GetIntegerv(GL_VERTEX_ARRAY_BINDING, &iHostVertexArray);
  gl.GetIntegerv(GL_CURRENT_PROGRAM, &iHostProgram);
  gl.GetIntegerv(GL_ARRAY_BUFFER_BINDING, &iHostArrayBuffer);
  gl.GetIntegerv(GL_DEPTH_FUNC, &iHostDepthFunc);
  iHostCullFace = gl.IsEnabled(GL_CULL_FACE) == GL_TRUE;
  iHostStateOut = false;
  SetDepthTest(true);
  SetDepthWrite(true);
  SetColorWrite(true);
  ClearPending();
  RecycleQueries();
  iStats = KELOpenGLClientStats();
}

void KELOpenGLClient::SetReversedDepth(bool reversed) {
  iReversedDepth = reversed;
  iKnownState &= static_cast<uint8_t>(~kKnownDepthFunc);
}

void KELOpenGLClient::SetObjectBatchSize(uint32_t size) { iObjectBatchSize = size > 0 ? size : 1; }

void KELOpenGLClient::RecycleQueries() { iNextQuery = 0; }

unsigned KELOpenGLClient::QueryObject(void* query) const {
  // Handles are query indices plus one, so that no issued handle is null.
  uintptr_t index = reinterpret_cast<uintptr_t>(query) - 1;
  return index < iQueryObjects.size() ? iQueryObjects[index] : 0;
}

void* KELOpenGLClient::GenQuery() {
  KELCallTimer timer(*this);
  // Without its boxes a query would count nothing: no query, and the
  // library counts the subject as visible.
  if (!iBoxes.IsValid()) return nullptr;
  if (iNextQuery == iQueryObjects.size()) {
    size_t first = iQueryObjects.size();
    iQueryObjects.resize(first + kQueryObjectChunk);
    KELGL().GenQueries(kQueryObjectChunk, iQueryObjects.data() + first);
  }
  return reinterpret_cast<void*>(static_cast<uintptr_t>(++iNextQuery));
}

void KELOpenGLClient::BeginQuery(void* query) {
  KELCallTimer timer(*this);
  Flush();
  iRunsInQuery = 0;
  unsigned object = QueryObject(query);
  if (object == 0) return;
  ++iStats.iQueries;
  if (iDepthWrite) ++iStats.iFillQueries;
  KELGL().BeginQuery(GL_SAMPLES_PASSED, object);
}

void KELOpenGLClient::EndQuery(void* query) {
  KELCallTimer timer(*this);
  unsigned object = QueryObject(query);
  if (object == 0) return;
  if (iRunsInQuery > 1) ++iStats.iBatches;
  KELGL().EndQuery(GL_SAMPLES_PASSED);
}

bool KELOpenGLClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  KELCallTimer timer(*this);
  unsigned object = QueryObject(query);
  if (object == 0) {
    // Not one of ours: count it as visible rather than hide anything (the
    // library reads a single result as a signed value).
    pixels = kUnknownQueryPixels;
    return true;
  }
  const KELGLFunctions& gl = KELGL();
  if (!wait) {
    GLuint available = GL_FALSE;
    gl.GetQueryObjectuiv(object, GL_QUERY_RESULT_AVAILABLE, &available);
    if (available != GL_TRUE) {
      gl.Flush();
      return false;
    }
  }
  GLuint64 samples = 0;
  gl.GetQueryObjectui64v(object, GL_QUERY_RESULT, &samples);
  pixels = static_cast<uint32_t>(samples < kMaxSignedCount ? samples : kMaxSignedCount);
  return true;
}

void KELOpenGLClient::SetInside(bool) {}

void KELOpenGLClient::EnableDepthTest(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  SetDepthTest(enable);
}

void KELOpenGLClient::EnableDepthWrite(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  SetDepthWrite(enable);
}

void KELOpenGLClient::EnableColorWrite(bool enable) {
  KELCallTimer timer(*this);
  Flush();
  SetColorWrite(enable);
}

void KELOpenGLClient::ForgetState() {
  iKnownState = 0;
  iBoxes.ForgetState();
}

void KELOpenGLClient::HandToHost(bool drawing) {
  const KELGLFunctions& gl = KELGL();
  if (iHostStateOut) {
    gl.BindVertexArray(static_cast<GLuint>(iHostVertexArray));
    gl.UseProgram(static_cast<GLuint>(iHostProgram));
    gl.BindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(iHostArrayBuffer));
    if (iHostCullFace) gl.Enable(GL_CULL_FACE);
    gl.DepthFunc(static_cast<GLenum>(iHostDepthFunc));
    iHostStateOut = false;
    iKnownState &= static_cast<uint8_t>(~kKnownDepthFunc);
    iBoxes.ForgetState();
  }
  if (!drawing) return;
  // An earlier host call may have changed them.
  SetDepthTest(iDepthTest);
  SetDepthWrite(iDepthWrite);
  SetColorWrite(iColorWrite);
}

void KELOpenGLClient::TakeFromHost() {
  SetDepthTest(iDepthTest);
  SetDepthWrite(iDepthWrite);
  SetColorWrite(iColorWrite);
  if ((iKnownState & kKnownDepthFunc) == 0) {
    KELGL().DepthFunc(iReversedDepth ? GL_GEQUAL : GL_LEQUAL);
    iKnownState |= kKnownDepthFunc;
  }
  // The box renderer binds its own program, vertex array and buffer and
  // turns face culling off.
  iHostStateOut = true;
}

// Each state is set on a change only, and on its first use after the host
// ran (which may have changed any of them).
void KELOpenGLClient::SetDepthTest(bool enable) {
  if ((iKnownState & kKnownDepthTest) != 0 && iDepthTest == enable) return;
  if (enable)
    KELGL().Enable(GL_DEPTH_TEST);
  else
    KELGL().Disable(GL_DEPTH_TEST);
  iDepthTest = enable;
  iKnownState |= kKnownDepthTest;
}

void KELOpenGLClient::SetDepthWrite(bool enable) {
  if ((iKnownState & kKnownDepthWrite) != 0 && iDepthWrite == enable) return;
  KELGL().DepthMask(enable ? GL_TRUE : GL_FALSE);
  iDepthWrite = enable;
  iKnownState |= kKnownDepthWrite;
}

void KELOpenGLClient::SetColorWrite(bool enable) {
  if ((iKnownState & kKnownColorWrite) != 0 && iColorWrite == enable) return;
  GLboolean mask = enable ? GL_TRUE : GL_FALSE;
  KELGL().ColorMask(mask, mask, mask, mask);
  iColorWrite = enable;
  iKnownState |= kKnownColorWrite;
}

void KELOpenGLClient::StartDrawBoxes() { iBoxRun.clear(); }

void KELOpenGLClient::DrawBox(const float* min, const float* max, const float*) {
  // World space: the matrix is the entry's placement, already reflected in
  // its box, and is not applied.
  KELGLBoxInstance box;
  std::memcpy(box.iMin, min, sizeof(box.iMin));
  std::memcpy(box.iMax, max, sizeof(box.iMax));
  box.iValue = 0xffffffffu;
  iBoxRun.push_back(box);
  ++iStats.iBoxes;
}

void KELOpenGLClient::EndDrawBoxes() {
  KELCallTimer timer(*this);
  ++iRunsInQuery;
  if (iBoxRun.empty()) return;
  TakeFromHost();
  iBoxes.DrawKeepingState(iBoxRun.data(), static_cast<uint32_t>(iBoxRun.size()), KELGLBoxRenderer::kShaded);
  ++iStats.iBoxDraws;
  iBoxRun.clear();
}

void KELOpenGLClient::DrawObject(void* object, const float* matrix, bool transparent) {
  KELCallTimer timer(*this);
  ++iStats.iObjectsDrawn;
  iPendingObjects.push_back(object);
  iPendingHasMatrix.push_back(matrix != nullptr ? 1 : 0);
  iPendingTransparent.push_back(transparent ? 1 : 0);
  // The library's matrix copy is only lent for the call.
  if (matrix != nullptr) iPendingMatrices.insert(iPendingMatrices.end(), matrix, matrix + 16);
  if (iPendingObjects.size() >= iObjectBatchSize) Flush();
}

void KELOpenGLClient::Flush() {
  size_t count = iPendingObjects.size();
  if (count == 0) return;
  if (iHost == nullptr) {
    ClearPending();
    return;
  }
  std::unique_ptr<const float*[]> matrices(new const float*[count]);
  std::unique_ptr<bool[]> transparent(new bool[count]);
  size_t nextMatrix = 0;
  for (size_t i = 0; i < count; ++i) {
    matrices[i] = iPendingHasMatrix[i] ? iPendingMatrices.data() + 16 * nextMatrix++ : nullptr;
    transparent[i] = iPendingTransparent[i] != 0;
  }
  HandToHost(true);
  iHost->DrawObjects(iPendingObjects.data(), matrices.get(), transparent.get(), static_cast<uint32_t>(count));
  ForgetState();
  ++iStats.iObjectBatches;
  ClearPending();
}

void KELOpenGLClient::ClearPending() {
  iPendingObjects.clear();
  iPendingMatrices.clear();
  iPendingHasMatrix.clear();
  iPendingTransparent.clear();
}

void KELOpenGLClient::OnBeginOcclusionResults() {
  KELCallTimer timer(*this);
  Flush();
  HandToHost(false);
  if (iHost != nullptr) iHost->OnBeginOcclusionResults();
  ForgetState();
}

void KELOpenGLClient::TouchObject(void* object, uint32_t pixels, const float* min, const float* max,
                                  const float* matrix) {
  KELCallTimer timer(*this);
  ++iStats.iTouched;
  HandToHost(false);
  if (iHost != nullptr) iHost->TouchObject(object, pixels, min, max, matrix);
  ForgetState();
}

void KELOpenGLClient::OnEndOcclusionResults() {
  KELCallTimer timer(*this);
  // The frame ends with the host's bindings and states in place.
  HandToHost(false);
  if (iHost != nullptr) iHost->OnEndOcclusionResults();
  ForgetState();
  // Every query of the frame has been read by now; the objects serve the
  // next frame again, so none leaks even when BeginFrame is skipped.
  RecycleQueries();
}

void KELOpenGLClient::DebugViewportZone(const float*, const float*, bool, uint32_t) {}
