// A model made by others as the demo's scene: one scene object per model
// entry (its world box, widened by a margin), the entries put into
// partitions by a rule, and the camera poses of a path a user would fly.
#ifndef KEL_DEMO_MODEL_SCENE_H
#define KEL_DEMO_MODEL_SCENE_H

#include <string>
#include <vector>

#include "KELCameraPaths.h"
#include "KELModel.h"
#include "KELPartitioning.h"
#include "KELScene.h"

struct KELDemoModelOptions {
  std::string iPath;          // a file LoadModel reads
  int iGrid = 1;              // N x N copies (not for levels)
  std::string iPathFile;      // camera keyframes (CSV); empty: the model's own path
  std::string iPartitions;    // a rule ParsePartitionChoice reads; empty: clusters for levels, tiles:16 otherwise
  int iFrames = 0;            // poses wanted; 0: as many as the path has
  float iWalkHeight = -1;     // walk height above the lowest point; < 0: 15% of the model's height
  float iMargin = -1;         // box margin; < 0: 0.02% of the model's diagonal
};

struct KELDemoModelScene {
  kel::KELModel iModel;
  kel::KELScene iScene;       // boxes, colours and partitions of the entries
  kel::KELPartitionChoice iPartitionChoice;
  std::vector<kel::KELCameraPose> iPoses;
  float iMargin = 0;
  float iNearPlane = 0.5f;
};

// Loads and prepares the model. False with a message for a file that does
// not load, a grid of a level, an unknown partition rule, an unreadable
// path file or a path without poses.
bool MakeDemoModelScene(const KELDemoModelOptions& options, KELDemoModelScene& scene, std::string& error);

#endif
