#include "TestSupport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KEL3DZone.h"
#include "KELScreenZone.h"
#include "KELSettings.h"

// ------------------------------------------------------------ recording client

void RecordingClient::ClearFrame() {
  log.clear();
  drawnObjects.clear();
  touchedObjects.clear();
  touchedPixels.clear();
  queries.clear();
  genQueries = 0;
  resultCalls = 0;
}

int RecordingClient::Count(const std::string& prefix) const {
  int n = 0;
  for (const std::string& line : log)
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

void* RecordingClient::GenQuery() {
  ++genQueries;
  log.push_back("GenQuery");
  if (nullHandles) return nullptr;
  handles_.push_back(static_cast<int>(handles_.size()));
  return &handles_.back();
}

void RecordingClient::BeginQuery(void* query) {
  log.push_back(query != nullptr ? "BeginQuery" : "BeginQuery(null)");
  current_.clear();
}

void RecordingClient::EndQuery(void* query) {
  log.push_back("EndQuery");
  queries.push_back(current_);
  results_[query] = answer ? answer(current_) : 1000u;
  notReady_[query] = notReadyCount;
}

bool RecordingClient::GetQueryResult(void* query, uint32_t& pixels, bool wait) {
  ++resultCalls;
  log.push_back(std::string("GetQueryResult(") + std::to_string(*static_cast<int*>(query)) + (wait ? ",wait)" : ")"));
  if (notReady_[query] > 0) {
    --notReady_[query];
    return false;
  }
  pixels = results_[query];
  return true;
}

void RecordingClient::SetInside(bool inside) { log.push_back(std::string("SetInside(") + (inside ? "1)" : "0)")); }
void RecordingClient::EnableDepthTest(bool enable) {
  log.push_back(std::string("EnableDepthTest(") + (enable ? "1)" : "0)"));
}
void RecordingClient::EnableDepthWrite(bool enable) {
  if (logStates) log.push_back(std::string("EnableDepthWrite(") + (enable ? "1)" : "0)"));
}
void RecordingClient::EnableColorWrite(bool enable) {
  if (logStates) log.push_back(std::string("EnableColorWrite(") + (enable ? "1)" : "0)"));
}
void RecordingClient::StartDrawBoxes() {
  if (logBoxes) log.push_back("StartDrawBoxes");
}
void RecordingClient::DrawBox(const float* min, const float* max, const float* matrix) {
  if (logBoxes) log.push_back("DrawBox");
  DrawnBox box;
  std::memcpy(box.min, min, sizeof(box.min));
  std::memcpy(box.max, max, sizeof(box.max));
  box.hasMatrix = matrix != nullptr;
  current_.push_back(box);
}
void RecordingClient::EndDrawBoxes() {
  if (logBoxes) log.push_back("EndDrawBoxes");
}
void RecordingClient::DrawObject(void* object, const float* matrix, bool transparent) {
  log.push_back(std::string("DrawObject(") + (matrix ? "matrix," : "null,") + (transparent ? "1)" : "0)"));
  drawnObjects.push_back(object);
}
void RecordingClient::OnBeginOcclusionResults() { log.push_back("OnBeginOcclusionResults"); }
void RecordingClient::TouchObject(void* object, uint32_t pixels, const float*, const float*, const float*) {
  log.push_back("TouchObject");
  touchedObjects.push_back(object);
  touchedPixels.push_back(pixels);
}
void RecordingClient::OnEndOcclusionResults() { log.push_back("OnEndOcclusionResults"); }
void RecordingClient::DebugViewportZone(const float*, const float*, bool, uint32_t) {
  log.push_back("DebugViewportZone");
}

// ------------------------------------------------------------ helpers

namespace {
class EngineCopy : public KELOcclusionCullingEngine {
public:
  EngineCopy() = default;
  explicit EngineCopy(const KELOcclusionCullingEngine& source) : KELOcclusionCullingEngine(source) {}
};
}  // namespace

KELOcclusionCullingEngine* CopyEngine(const KELOcclusionCullingEngine& source) { return new EngineCopy(source); }
KELOcclusionCullingEngine* NewEngine() { return new EngineCopy(); }

KEL3DZoneEntry* AddBox(KELOcclusionCullingEngine* engine, void* partition, float x0, float y0, float z0, float x1,
                       float y1, float z1, void* object) {
  const float min[3] = {x0, y0, z0}, max[3] = {x1, y1, z1};
  const float center[3] = {(x0 + x1) * 0.5f, (y0 + y1) * 0.5f, (z0 + z1) * 0.5f};
  float dx = x1 - x0, dy = y1 - y0, dz = z1 - z0;
  float radius = 0.5f * std::sqrt(dx * dx + dy * dy + dz * dz);
  return static_cast<KEL3DZoneEntry*>(engine->AddEntry(partition, object, min, max, center, radius, nullptr));
}

KELScreenZone* MakeScreenZone(KEL3DZone* zone, float x0, float y0, float z0, float x1, float y1, float z1) {
  KELScreenZone* r = KELScreenZone::Take();
  if (r == nullptr) return nullptr;
  r->iZone = zone;
  r->iViewProjection = kIdentity;
  r->iIsSmall = r->iCrossesNearPlane = r->iIsInsideScreen = r->iBehindEye = 0;
  r->iMin[0] = x0, r->iMin[1] = y0, r->iMin[2] = z0;
  r->iMax[0] = x1, r->iMax[1] = y1, r->iMax[2] = z1;
  return r;
}

int ListLength(const KEL3DZoneEntry* head) {
  int n = 0;
  for (; head != nullptr; head = head->iNextEntry) ++n;
  return n;
}

uint32_t KELTestRandom::Next() {
  iState = iState * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(iState >> 33);
}

float KELTestRandom::Uniform(float low, float high) {
  return low + (high - low) * (static_cast<float>(Next() & 0xFFFFFF) / 16777216.0f);
}

void ResetSettings() {
  KELSettings::_pixelHitsThreshold = 300;
  KELSettings::_frameCoherency = 0;
  KELSettings::_reportThreshold = KELOcclusionCullingEngine::kFollowPixelHitsThreshold;
  KELSettings::_fillDepthWrites = true;
  KELSettings::_reversedDepth = false;
}

void KELTestPerspective(float fovY, float aspect, float zNear, float zFar, float* m) {
  const float f = 1.0f / std::tan(fovY * 0.5f);
  for (int i = 0; i < 16; ++i) m[i] = 0;
  m[0] = f / aspect;
  m[5] = f;
  m[10] = (zFar + zNear) / (zNear - zFar);
  m[11] = -1;
  m[14] = 2 * zFar * zNear / (zNear - zFar);
}

TestCamera::TestCamera(float x, float y, float z, float fovY, float aspect, float zNear, float zFar) {
  for (int i = 0; i < 16; ++i) view[i] = projection[i] = (i % 5 == 0) ? 1.0f : 0.0f;
  view[12] = -x;
  view[13] = -y;
  view[14] = -z;
  KELTestPerspective(fovY, aspect, zNear, zFar, projection);
  // Planes of the clip-space half spaces -w<x<w etc, pulled back to world
  // space through P*V, negated so that the inside is negative.
  float m[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += projection[4 * k + r] * view[4 * c + k];
      m[4 * c + r] = sum;  // column-major P*V
    }
  auto row = [&](int r, int i) { return m[4 * i + r]; };
  for (int p = 0; p < 6; ++p) {
    int axis = p / 2;
    float sign = (p % 2 == 0) ? 1.0f : -1.0f;
    for (int i = 0; i < 4; ++i) planeValues[p][i] = -(row(3, i) + sign * row(axis, i));
    planes[p] = planeValues[p];
  }
}

void TestCamera::Apply(KELOcclusionCullingEngine* engine) const {
  engine->SetViewMatrix(view);
  engine->SetProjectionMatrix(projection);
  engine->SetClippingPlanes(6, planes);
}

std::string ClientTrace(const RecordingClient& client, const int* objects) {
  std::string trace;
  for (const std::string& line : client.log) (trace += line) += '\n';
  for (void* object : client.drawnObjects) trace += " d" + std::to_string(static_cast<int*>(object) - objects);
  for (size_t i = 0; i < client.touchedObjects.size(); ++i)
    trace += " t" + std::to_string(static_cast<int*>(client.touchedObjects[i]) - objects) + ":" +
             std::to_string(client.touchedPixels[i]);
  char number[24];
  for (const std::vector<DrawnBox>& query : client.queries) {
    trace += "\nq";
    for (const DrawnBox& box : query)
      for (int a = 0; a < 6; ++a) {
        std::snprintf(number, sizeof(number), " %a", static_cast<double>(a < 3 ? box.min[a] : box.max[a - 3]));
        trace += number + std::string(a == 5 && box.hasMatrix ? "m" : "");
      }
  }
  return trace + '\n';
}

uint32_t SeededAnswer(const std::vector<DrawnBox>& boxes) {
  uint32_t sum = 0;
  for (const DrawnBox& box : boxes) {
    const int32_t mixed = static_cast<int32_t>(box.min[0] * 977.0f + box.max[2] * 131.0f);
    const uint32_t bits = static_cast<uint32_t>(mixed) * 2654435761u;
    sum += (bits >> 22) % 3 == 0 ? 0 : (bits >> 12) % 700;
  }
  return sum;
}
