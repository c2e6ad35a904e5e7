// Loading models from disk: game levels (a .bsp file, or a map inside a zip
// archive written ARCHIVE.pk3:maps/NAME.bsp) with the level reader, every
// other file with assimp. Either loader may be missing from a build; it then
// fails with a message.
#ifndef KEL_MODEL_LOADER_H
#define KEL_MODEL_LOADER_H

#include <cstdint>
#include <string>
#include <vector>

#include "KELModel.h"

namespace kel {

// Loads `path` into `model`. False with a message in `error` when the file
// cannot be read or is damaged.
bool LoadModel(const std::string& path, KELModel& model, std::string& error);

// Reads the member `member` of the zip archive `archive` into `bytes`.
// False with a message where the archive or the member is missing or
// unreadable, or where the build has no zip support.
bool ReadArchiveMember(const std::string& archive, const std::string& member, std::vector<uint8_t>& bytes,
                       std::string& error);

// Loads any file assimp reads: one mesh per assimp mesh (triangles only),
// one entry per node and mesh, placed by the node's world transform; the
// group of an entry is the top-level node it hangs from. False with a
// message where assimp fails or finds no triangles, or where the build has
// no assimp.
bool LoadSceneFile(const std::string& path, KELModel& model, std::string& error);

}  // namespace kel

#endif
