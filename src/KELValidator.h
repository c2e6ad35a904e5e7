// A validator of a partition's invariants, for tests, fuzzing and
// debugging: it walks the whole tree and returns a verdict with a message
// naming the first violation. Not part of the exported interface.
#ifndef KEL_VALIDATOR_H
#define KEL_VALIDATOR_H

#include <cstddef>

struct KEL3DZone;

struct KELPartitionCensus {
  size_t iZones = 0;
  size_t iEntries = 0;
  size_t iPending = 0;
  size_t iMaxDepth = 0;
};

struct KELVerdict {
  bool iValid = true;
  char iMessage[128] = {};
  explicit operator bool() const { return iValid; }
};

// Checks, for every zone of the tree below `root`: each entry sits in
// exactly the list its load state and pending flag name, with a matching
// iZone and consistent links (never its own successor); the pending count
// matches; split zones hold no waiting entries; bounds contain split bounds;
// children point back to their parent at depth + 1; and every zone's
// bounds contain the box of every entry of its subtree (NaN coordinates
// aside); every zone and entry has a view slot, no zone was seen later than
// its parent in any view, and no created view holds a frame later than its
// own. Fills `census` when given and the tree is valid. Allocates
// nothing.
KELVerdict KELValidatePartition(const KEL3DZone* root, KELPartitionCensus* census = nullptr);

#endif
