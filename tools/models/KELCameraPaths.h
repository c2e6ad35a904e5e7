// Camera paths a user would fly through a model, one pose per frame: for
// levels, a tour of the spawn points; for other models, an orbit and a walk;
// or keyframes from a file. Plain data, no graphics dependency.
#ifndef KEL_CAMERA_PATHS_H
#define KEL_CAMERA_PATHS_H

#include <string>
#include <vector>

#include "KELModel.h"

namespace kel {

struct KELCameraPose {
  float iEye[3];
  // The one convention of the demo's paths, path files and window: +y is
  // up; yaw in radians about +y, 0 looks along +x and pi/2 along -z (a turn
  // to the left); pitch in radians, positive looks up.
  float iYaw = 0;
  float iPitch = 0;
  bool iCut = false; // the camera jumps here from the previous pose
};

// The unit view direction of a pose.
void GetPoseDirection(const KELCameraPose& pose, float* direction);
// Yaw and pitch of a pose looking along `direction` (any length but 0),
// so that GetPoseDirection gives it back normalised.
void SetPoseDirection(const float* direction, KELCameraPose& pose);

struct KELLevelPathOptions {
  float iEyeHeight = 26;              // above a spawn point's origin
  float iTurnStep = 3.14159265f / 36; // radians per frame while turning
  float iWalkStep = 16;               // units per frame while walking
  float iClearStep = 8;               // sampling of the way between spawn points
};

// Visits the level's spawn points at eye height, nearest unvisited first
// (from the first in the file): at each the camera turns a full circle from
// the spawn point's facing, then walks straight to the next where the way
// stays out of solid space, and cuts to it otherwise. Empty for a level
// without spawn points.
void MakeLevelPath(const KELModel& level, const KELLevelPathOptions& options, std::vector<KELCameraPose>& poses);

// `frames` poses on a circle around the model, looking at its centre from
// above: radius and height follow the model's bounds.
void MakeOrbitPath(const KELModel& model, int frames, std::vector<KELCameraPose>& poses);

// A straight walk through the middle of the model along its longer ground
// axis, `height` above its lowest point, from one side of its bounds to the
// other, `step` units per frame.
void MakeWalkPath(const KELModel& model, float height, float step, std::vector<KELCameraPose>& poses);

// Reads keyframes from a CSV file, one per line: x,y,z,yaw,pitch (angles in
// degrees); blank lines and lines starting with '#' are skipped. False with
// the line's number in `error` for a malformed line or an unreadable file.
bool ReadPathFile(const std::string& path, std::vector<KELCameraPose>& poses, std::string& error);

}  // namespace kel

#endif
