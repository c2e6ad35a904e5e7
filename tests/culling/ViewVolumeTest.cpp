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

// The NaN and inverted boxes are the outside box spoiled.
enum Case { kOutside, kTouching, kCrossing, kInside, kNan, kInverted, kCaseCount };

// Ways an entry enters a frame: its partition's root, a large root's first
// draw pass, a leaf's hand-over, a large record in a child node, an unloaded
// entry's fill (as a big entry) and its passing query, frame coherency (of a
// waiting entry, after its fill).
enum Path { kPartition, kFirstPass, kLeaf, kLargeRecord, kFill, kCoherency, kPathCount };

struct Seen {
  std::vector<std::string> log;
  std::vector<void*> drawn;
  std::vector<void*> touched;
  bool subject = false;  // drawn, reported or drawn as a box into a query
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

  // The subject, a box 0.1 deep against `plane` and centred on the other
  // axes, on `path`, among entries that every case keeps (a small one at the
  // centre, a bar across the x planes, a second partition).
  Seen Run(Path path, int plane, Case what, bool on) {
    const int axis = plane / 2, wide = (axis + 1) % 3;
    const float sign = plane % 2 == 0 ? 1.0f : -1.0f, bound = -kPlanes[plane][3] * sign;
    const float beyond[4][2] = {{0.1f, 0.2f}, {0.0f, 0.1f}, {-0.05f, 0.05f}, {-0.2f, -0.1f}};
    const float* d = beyond[what < kNan ? what : kOutside];
    float mn[3] = {-0.05f, -0.05f, 0.45f}, mx[3] = {0.05f, 0.05f, 0.55f};
    mn[axis] = std::min(bound + sign * d[0], bound + sign * d[1]);
    mx[axis] = std::max(bound + sign * d[0], bound + sign * d[1]);
    if (what == kNan) mn[axis] = NAN;
    if (what == kInverted) std::swap(mn[axis], mx[axis]);
    // Wider than the root's cell on another axis: fixed in the root, a big
    // entry of its fill.
    if (path == kFill) mn[wide] = -2e7f, mx[wide] = 2e7f;
    KEL3DZone* first = NewPartition();
    KEL3DZoneEntry* subject = AddBox(engine, first, mn[0], mn[1], mn[2], mx[0], mx[1], mx[2], &objects[0]);
    if (path != kFill && path != kCoherency) engine->EntryLoaded(subject);
    if (path != kPartition) engine->EntryLoaded(AddBox(engine, first, -0.02f, -0.02f, 0.48f, 0.02f, 0.02f, 0.52f));
    // Wider than half the screen: the root is a large record of the root node.
    if (path == kFirstPass) engine->EntryLoaded(AddBox(engine, first, -0.9f, -0.01f, 0.49f, 0.9f, 0.01f, 0.51f));
    // Two small roots: the root node splits, and the subject's root is large
    // in the child it moves to. (A null partition is ignored.)
    KEL3DZone* second = path == kLargeRecord ? NewPartition() : nullptr;
    if (second != nullptr) engine->EntryLoaded(AddBox(engine, second, 0.3f, 0.3f, 0.35f, 0.35f, 0.35f, 0.4f));
    // A frame that finds the subject visible, so that the next one reports
    // it by frame coherency, without a query.
    KELSettings::_frameCoherency = path == kCoherency ? 3 : 0;
    if (path == kCoherency) Frame({first, second});
    engine->SetViewVolumeTests(on);
    Frame({first, second});
    engine->SetViewVolumeTests(false);
    // Query handles are numbered over the whole process: left out.
    Seen seen{{}, client.drawnObjects, client.touchedObjects, Touched(&objects[0])};
    for (const std::string& line : client.log) seen.log.push_back(line.substr(0, line.find("Result(")));
    seen.subject = seen.subject || std::count(seen.drawn.begin(), seen.drawn.end(), &objects[0]) > 0;
    for (const std::vector<DrawnBox>& query : client.queries)
      for (const DrawnBox& drawn : query) seen.subject = seen.subject || SameBox(drawn, mn, mx);
    engine->DestroySpacePartition(first);
    engine->DestroySpacePartition(second);
    return seen;
  }
};

TEST_F(ViewVolume, BoxesAgainstEachPlaneOnEveryPath) {
  for (int path = 0; path < kPathCount; ++path)
    for (int plane = 0; plane < 6; ++plane)
      for (int what = 0; what < kCaseCount; ++what) {
        const Seen off = Run(static_cast<Path>(path), plane, static_cast<Case>(what), false);
        const Seen on = Run(static_cast<Path>(path), plane, static_cast<Case>(what), true);
        const std::string where = "path " + std::to_string(path) + ", plane " + std::to_string(plane) + ", case " +
                                  std::to_string(what);
        EXPECT_TRUE(off.subject || what >= kNan) << where << ": the path does not reach the subject";
        if (what == kOutside || what == kTouching) {
          EXPECT_FALSE(on.subject) << where;
        } else {
          EXPECT_TRUE(on.log == off.log && on.drawn == off.drawn && on.touched == off.touched) << where;
        }
      }
}
