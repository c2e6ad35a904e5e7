// kel_pack: writes a scene the demo opens (a model, a grid of it, or a
// procedural scene) as a pack that kel_demo --pack streams, with the boxes
// and partitions the demo culls with.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KELDemoModelScene.h"
#include "KELDemoScenePack.h"

namespace {

const char* const kUsage =
    "usage: kel_pack (--model PATH [--grid N] [--partitions RULE] [--margin M] | --scene city|plant [--size N]\n"
    "                [--seed N]) --out FILE\n"
    "  the options mean what they mean to kel_demo: give the same ones to both\n"
    "       kel_pack --check FILE|URL\n"
    "  opens a pack and decodes every block: says what is damaged\n";

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

bool ParsePositive(const std::string& name, const std::string& value, long& number) {
  char* end = nullptr;
  number = std::strtol(value.c_str(), &end, 10);
  if (end != value.c_str() && *end == 0 && number > 0) return true;
  std::fprintf(stderr, "kel_pack: %s takes a positive whole number, not '%s'\n", name.c_str(), value.c_str());
  return false;
}

// Opens the pack and decodes every block; 0 when all is sound.
int Check(const std::string& name) {
  std::string error;
  std::unique_ptr<KELPackSource> source = OpenPackSource(name, error);
  KELPackIndex index;
  if (!source || !index.Open(*source, error)) {
    std::fprintf(stderr, "kel_pack: %s\n", error.c_str());
    return 1;
  }
  uint32_t damaged = 0;
  std::vector<uint8_t> block;
  KELPackGeometry geometry;
  for (uint32_t e = 0; e < index.GetEntryCount(); ++e) {
    const KELPackEntry& entry = index.GetEntry(e);
    block.resize(entry.iPackedBytes);
    if (!source->ReadAt(entry.iOffset, entry.iPackedBytes, block.data(), error) ||
        !DecodePackBlock(entry, block.data(), entry.iPackedBytes, geometry, error)) {
      std::fprintf(stderr, "kel_pack: %s: entry %u: %s\n", name.c_str(), e, error.c_str());
      ++damaged;
    }
  }
  std::printf("kel_pack: %s: %u entries, %u damaged\n", name.c_str(), index.GetEntryCount(), damaged);
  return damaged == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--check") return Check(argv[2]);
  KELDemoModelOptions model;
  kel::KELSceneOptions sceneOptions;
  std::string scene, out;
  bool sizeGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kel_pack: %s needs a value\n%s", name.c_str(), kUsage);
      return 2;
    }
    const std::string value = argv[++i];
    long number = 0;
    if (name == "--model") model.iPath = value;
    else if (name == "--scene") scene = value;
    else if (name == "--out") out = value;
    else if (name == "--partitions") model.iPartitions = value;
    else if (name == "--margin") model.iMargin = std::strtof(value.c_str(), nullptr);
    else if (name == "--grid" || name == "--size" || name == "--seed") {
      if (!ParsePositive(name, value, number)) return 2;
      if (name == "--grid") model.iGrid = static_cast<int>(number);
      else if (name == "--size") sceneOptions.iSize = static_cast<int>(number), sizeGiven = true;
      else sceneOptions.iSeed = static_cast<uint32_t>(number);
    } else {
      std::fprintf(stderr, "kel_pack: unknown option %s\n%s", name.c_str(), kUsage);
      return 2;
    }
  }
  if (out.empty() || model.iPath.empty() == scene.empty()) {
    std::fprintf(stderr, "kel_pack: give --out and one of --model and --scene\n%s", kUsage);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  KELDemoModelScene loaded;
  kel::KELScene procedural;
  std::string error;
  if (!model.iPath.empty()) {
    model.iFrames = 2;  // the camera path is not needed
    if (!MakeDemoModelScene(model, loaded, error)) {
      std::fprintf(stderr, "kel_pack: %s\n", error.c_str());
      return 1;
    }
  } else {
    if (!sizeGiven && scene == "plant") sceneOptions.iSize = 14;
    if (!kel::MakeScene(scene, sceneOptions, procedural)) {
      std::fprintf(stderr, "kel_pack: unknown scene '%s' (city or plant)\n", scene.c_str());
      return 2;
    }
  }
  const kel::KELScene& objects = model.iPath.empty() ? procedural : loaded.iScene;
  const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  KELScenePackStats stats;
  const bool written =
      WriteScenePack(objects, model.iPath.empty() ? nullptr : &loaded.iModel, out, stats, error, [&](uint32_t done) {
        if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\rkel_pack: %u of %zu entries", done, objects.iObjects.size());
      });
  if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
  if (!written) {
    std::fprintf(stderr, "kel_pack: %s\n", error.c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t indexBytes = uint64_t{stats.iEntries} * kKELPackEntryBytes;
  std::printf("kel_pack: %s: %u entries, %llu triangles in %u partitions; geometry %.1f MB packed, %.1f MB unpacked "
              "(%.2f:1); index %.1f MB (%u bytes an entry); %.1f s (%.1f s loading)\n",
              out.c_str(), stats.iEntries, static_cast<unsigned long long>(stats.iTriangles), objects.iPartitionCount,
              Megabytes(stats.iPackedBytes), Megabytes(stats.iUnpackedBytes),
              stats.iPackedBytes > 0 ? static_cast<double>(stats.iUnpackedBytes) / stats.iPackedBytes : 0.0,
              Megabytes(indexBytes), kKELPackEntryBytes, seconds, loadSeconds);
  return 0;
}
