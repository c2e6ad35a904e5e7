// The view-volume tests (SetViewVolumeTests): a box against each of the six
// planes, for a partition and for an entry on each way into a frame. With
// the setting on, a box outside is never drawn, queried or reported; a kept
// box leaves the client's whole call trace as it is with the setting off.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "CullingFixture.h"

namespace {

// |x| < 0.5, |y| < 0.5, 0.3 < z < 0.7 under identity matrices: well inside
// the screen and in front of the eye, so that only the planes can drop a box.
constexpr float kPlanes[6][4] = {{1, 0, 0, -0.5f}, {-1, 0, 0, -0.5f}, {0, 1, 0, -0.5f},
                                 {0, -1, 0, -0.5f}, {0, 0, 1, -0.7f}, {0, 0, -1, 0.3f}};

enum Case { kOutside, kTouching, kCrossing, kInside, kNan, kInverted, kCaseCount };
const char* const kCaseNames[kCaseCount] = {"outside", "touching", "crossing", "inside", "NaN", "inverted"};

// Ways an entry enters a frame: its partition's root, a large root's first
// draw pass, a leaf's hand-over, a large record in a child node, an unloaded
// entry's fill (as a big entry) and its passing query, frame coherency (of a
// waiting entry, after its fill).
enum Path { kPartition, kFirstPass, kLeaf, kLargeRecord, kFill, kCoherency, kPathCount };
const char* const kPathNames[kPathCount] = {"partition", "first pass", "leaf", "large record", "fill", "coherency"};

struct Box {
  float min[3];
  float max[3];
};

// A box 0.1 deep against plane `plane`, centred on the other axes; the NaN
// and inverted boxes are the outside box spoiled.
Box BoxAgainst(int plane, Case what) {
  const int axis = plane / 2;
  const float sign = plane % 2 == 0 ? 1.0f : -1.0f;
  const float bound = -kPlanes[plane][3] * sign;
  const float beyond[4][2] = {{0.1f, 0.2f}, {0.0f, 0.1f}, {-0.05f, 0.05f}, {-0.2f, -0.1f}};
  const float* d = beyond[what < kNan ? what : kOutside];
  Box box = {{-0.05f, -0.05f, 0.45f}, {0.05f, 0.05f, 0.55f}};
  box.min[axis] = std::min(bound + sign * d[0], bound + sign * d[1]);
  box.max[axis] = std::max(bound + sign * d[0], bound + sign * d[1]);
  if (what == kNan) box.min[axis] = NAN;
  if (what == kInverted) std::swap(box.min[axis], box.max[axis]);
  return box;
}

struct Seen {
  std::vector<std::string> log;
  int drawn = 0;
  int touched = 0;
  int boxed = 0;  // boxes of the subject drawn into queries
};

}  // namespace

class ViewVolume : public Culling {
protected:
  void SetUp() override {
    Culling::SetUp();
    const float* planes[6];
    for (int p = 0; p < 6; ++p) planes[p] = kPlanes[p];
    engine->SetClippingPlanes(6, planes);
  }
  KEL3DZoneEntry* Loaded(KEL3DZoneEntry* entry) {
    engine->EntryLoaded(entry);
    return entry;
  }
  void RunFrame(const std::vector<KEL3DZone*>& partitions) {
    client.ClearFrame();
    engine->StartCulling();
    for (KEL3DZone* p : partitions) engine->AddPartition(p);
    ::testing::internal::CaptureStdout();
    engine->EndCulling();
    ::testing::internal::GetCapturedStdout();
  }

  // The subject entry with `box` on `path`, among entries that every test
  // keeps (a small one at the centre, a bar across the x planes, a second
  // small partition).
  Seen Run(Path path, int plane, Case what, bool on) {
    Box box = BoxAgainst(plane, what);
    // Wider than the root's cell on another axis: fixed in the root, a big
    // entry of its fill.
    if (path == kFill) {
      const int wide = (plane / 2 + 1) % 3;
      box.min[wide] = -2e7f;
      box.max[wide] = 2e7f;
    }
    std::vector<KEL3DZone*> partitions = {NewPartition()};
    KEL3DZoneEntry* subject = AddBox(engine, partitions[0], box.min[0], box.min[1], box.min[2], box.max[0],
                                     box.max[1], box.max[2], &objects[0]);
    if (path != kFill && path != kCoherency) Loaded(subject);
    if (path != kPartition) Loaded(AddBox(engine, partitions[0], -0.02f, -0.02f, 0.48f, 0.02f, 0.02f, 0.52f));
    // Wider than half the screen: the root is a large record of the root node.
    if (path == kFirstPass) Loaded(AddBox(engine, partitions[0], -0.9f, -0.01f, 0.49f, 0.9f, 0.01f, 0.51f));
    // Two small roots: the root node splits, and the subject's root is large
    // in the child it moves to.
    if (path == kLargeRecord) {
      partitions.push_back(NewPartition());
      Loaded(AddBox(engine, partitions[1], 0.3f, 0.3f, 0.35f, 0.35f, 0.35f, 0.4f));
    }
    // A frame that finds the subject visible, so that the next one reports
    // it by frame coherency, without a query.
    if (path == kCoherency) {
      KELSettings::_frameCoherency = 3;
      RunFrame(partitions);
    }
    engine->SetViewVolumeTests(on);
    RunFrame(partitions);
    engine->SetViewVolumeTests(false);
    Seen seen;
    // Query handles are numbered over the whole process: leave them out.
    for (const std::string& line : client.log) seen.log.push_back(line.substr(0, line.find("Result(")));
    seen.drawn = static_cast<int>(std::count(client.drawnObjects.begin(), client.drawnObjects.end(), &objects[0]));
    seen.touched = Touched(&objects[0]) ? 1 : 0;
    for (const std::vector<DrawnBox>& query : client.queries)
      for (const DrawnBox& drawn : query) seen.boxed += SameBox(drawn, box.min, box.max) ? 1 : 0;
    for (KEL3DZone* p : partitions) engine->DestroySpacePartition(p);
    ResetSettings();
    return seen;
  }
};

TEST_F(ViewVolume, BoxesAgainstEachPlaneOnEveryPath) {
  for (int path = 0; path < kPathCount; ++path)
    for (int plane = 0; plane < 6; ++plane)
      for (int what = 0; what < kCaseCount; ++what) {
        const Seen off = Run(static_cast<Path>(path), plane, static_cast<Case>(what), false);
        const Seen on = Run(static_cast<Path>(path), plane, static_cast<Case>(what), true);
        const std::string where =
            std::string(kPathNames[path]) + ", plane " + std::to_string(plane) + ", " + kCaseNames[what];
        if (what < kNan) {
          EXPECT_GT(off.drawn + off.touched, 0) << where << ": the path does not reach the subject";
        }
        if (what == kOutside || what == kTouching) {
          EXPECT_EQ(on.drawn + on.touched + on.boxed, 0) << where;
        } else {
          EXPECT_EQ(on.log, off.log) << where;
          EXPECT_EQ(on.drawn, off.drawn) << where;
          EXPECT_EQ(on.touched, off.touched) << where;
        }
      }
}
