// Reader of game levels in the IBSP format, version 46: the world's faces
// (polygons, triangle meshes, curved patches tessellated), spawn points from
// the entity text, the BSP tree (planes, nodes, leafs, leaf faces) and the
// cluster visibility vectors. Every count, offset and index is checked
// against the data before use, so a damaged file gives a message, not a
// crash. The file's z-up coordinates are turned to y-up.
#ifndef KEL_BSP_READER_H
#define KEL_BSP_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "KELModel.h"

namespace kel {

// Patches are cut into this many segments along each side.
constexpr int kPatchSegments = 8;

// Reads a level from `size` bytes at `data` into `model` (one entry per face
// of the world, with identity matrices; the level's structure in
// model.iLevel). False with a message in `error` for a damaged file; `model`
// then holds no usable level.
bool ReadBsp(const uint8_t* data, size_t size, const std::string& name, KELModel& model, std::string& error);

}  // namespace kel

#endif
