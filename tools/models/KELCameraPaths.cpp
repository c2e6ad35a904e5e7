#include "KELCameraPaths.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace kel {

namespace {

constexpr float kPi = 3.14159265f;

KELCameraPose MakePose(const float* eye, float yaw, float pitch, bool cut) {
  KELCameraPose pose;
  for (int a = 0; a < 3; ++a) pose.iEye[a] = eye[a];
  pose.iYaw = yaw;
  pose.iPitch = pitch;
  pose.iCut = cut;
  return pose;
}

float Distance(const float* a, const float* b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// Spawn points, nearest unvisited first, starting from the first.
std::vector<size_t> OrderSpawnPoints(const std::vector<KELSpawnPoint>& spawns) {
  std::vector<size_t> order;
  std::vector<bool> visited(spawns.size(), false);
  for (size_t current = 0; order.size() < spawns.size();) {
    order.push_back(current);
    visited[current] = true;
    size_t next = current;
    float best = INFINITY;
    for (size_t s = 0; s < spawns.size(); ++s) {
      const float d = Distance(spawns[current].iPosition, spawns[s].iPosition);
      if (!visited[s] && (d < best || next == current)) {
        best = d;
        next = s;
      }
    }
    current = next;
  }
  return order;
}

}  // namespace

void GetPoseDirection(const KELCameraPose& pose, float* direction) {
  direction[0] = std::cos(pose.iPitch) * std::cos(pose.iYaw);
  direction[1] = std::sin(pose.iPitch);
  direction[2] = -std::cos(pose.iPitch) * std::sin(pose.iYaw);
}

void SetPoseDirection(const float* direction, KELCameraPose& pose) {
  const float level = std::sqrt(direction[0] * direction[0] + direction[2] * direction[2]);
  pose.iYaw = std::atan2(-direction[2], direction[0]);
  pose.iPitch = std::atan2(direction[1], level);
}

void MakeLevelPath(const KELModel& level, const KELLevelPathOptions& options, std::vector<KELCameraPose>& poses) {
  poses.clear();
  const std::vector<KELSpawnPoint>& spawns = level.iLevel.iSpawnPoints;
  if (spawns.empty()) return;
  const int turnFrames = std::max(1, static_cast<int>(std::ceil(2 * kPi / std::max(options.iTurnStep, 1e-3f) - 1e-3f)));
  const std::vector<size_t> order = OrderSpawnPoints(spawns);
  bool walked = true;  // the first pose is no cut
  for (size_t i = 0; i < order.size(); ++i) {
    const KELSpawnPoint& spawn = spawns[order[i]];
    const float eye[3] = {spawn.iPosition[0], spawn.iPosition[1] + options.iEyeHeight, spawn.iPosition[2]};
    for (int f = 0; f < turnFrames; ++f) {
      poses.push_back(MakePose(eye, spawn.iYaw + 2 * kPi * static_cast<float>(f) / turnFrames, 0, f == 0 && !walked));
    }
    if (i + 1 == order.size()) break;
    const KELSpawnPoint& next = spawns[order[i + 1]];
    const float target[3] = {next.iPosition[0], next.iPosition[1] + options.iEyeHeight, next.iPosition[2]};
    walked = IsWayClear(level.iLevel, eye, target, options.iClearStep);
    if (!walked) continue;
    // Facing the way, up to one step before the next spawn point, whose
    // turn follows.
    const float yaw = std::atan2(-(target[2] - eye[2]), target[0] - eye[0]);
    const float steps = std::min(1e5f, std::ceil(Distance(eye, target) / std::max(options.iWalkStep, 1e-3f)));
    for (int s = 1; s < static_cast<int>(steps); ++s) {
      const float t = static_cast<float>(s) / steps;
      const float point[3] = {eye[0] + t * (target[0] - eye[0]), eye[1] + t * (target[1] - eye[1]),
                              eye[2] + t * (target[2] - eye[2])};
      poses.push_back(MakePose(point, yaw, 0, false));
    }
  }
}

void MakeOrbitPath(const KELModel& model, int frames, std::vector<KELCameraPose>& poses) {
  poses.clear();
  const float center[3] = {0.5f * (model.iMin[0] + model.iMax[0]), 0.5f * (model.iMin[1] + model.iMax[1]),
                           0.5f * (model.iMin[2] + model.iMax[2])};
  const float radius = 0.5f * Distance(model.iMin, model.iMax);
  const float distance = 1.5f * radius;
  const float height = 0.5f * radius;
  const float pitch = -std::atan2(height, distance);
  for (int f = 0; f < frames; ++f) {
    const float angle = 2 * kPi * static_cast<float>(f) / static_cast<float>(frames);
    const float eye[3] = {center[0] - distance * std::cos(angle), center[1] + height,
                          center[2] + distance * std::sin(angle)};
    poses.push_back(MakePose(eye, angle, pitch, false));
  }
}

void MakeWalkPath(const KELModel& model, float height, float step, std::vector<KELCameraPose>& poses) {
  poses.clear();
  const bool alongX = model.iMax[0] - model.iMin[0] >= model.iMax[2] - model.iMin[2];
  const int axis = alongX ? 0 : 2;
  const int across = alongX ? 2 : 0;
  const float margin = 0.05f * (model.iMax[axis] - model.iMin[axis]);
  const float start = model.iMin[axis] - margin;
  const float length = model.iMax[axis] + margin - start;
  const int steps = std::max(1, static_cast<int>(std::min(1e5f, std::ceil(length / std::max(step, 1e-3f)))));
  for (int s = 0; s <= steps; ++s) {
    float eye[3];
    eye[axis] = start + length * static_cast<float>(s) / static_cast<float>(steps);
    eye[across] = 0.5f * (model.iMin[across] + model.iMax[across]);
    eye[1] = model.iMin[1] + height;
    poses.push_back(MakePose(eye, alongX ? 0 : -kPi / 2, 0, false));
  }
}

bool ReadPathFile(const std::string& path, std::vector<KELCameraPose>& poses, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = path + ": cannot open";
    return false;
  }
  poses.clear();
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    float values[5];
    const char* cursor = line.c_str();
    bool ok = true;
    for (int v = 0; v < 5 && ok; ++v) {
      char* end = nullptr;
      values[v] = std::strtof(cursor, &end);
      ok = end != cursor && std::isfinite(values[v]);
      while (ok && (*end == ' ' || *end == '\t')) ++end;
      if (ok && v < 4) ok = *end++ == ',';
      if (ok && v == 4) ok = *end == '\0' || *end == '\r';
      cursor = end;
    }
    if (!ok) {
      poses.clear();
      error = path + ":" + std::to_string(number) + ": expected x,y,z,yaw,pitch";
      return false;
    }
    poses.push_back(MakePose(values, values[3] * kPi / 180, values[4] * kPi / 180, false));
  }
  if (poses.empty()) {
    error = path + ": no keyframes";
    return false;
  }
  return true;
}

}  // namespace kel
