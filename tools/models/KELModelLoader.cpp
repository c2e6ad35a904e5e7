#include "KELModelLoader.h"

#include <cstdio>

#include "KELBspReader.h"

#ifdef KEL_MODELS_HAVE_ZIP
#include <zip.h>
#endif

namespace kel {

namespace {

// Larger members are refused rather than read: no level comes near it.
constexpr uint64_t kMaxMemberSize = 512ull << 20;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/:");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = path + ": cannot open";
    return false;
  }
  bytes.clear();
  uint8_t buffer[65536];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + read);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) error = path + ": read error";
  return !failed;
}

}  // namespace

bool ReadArchiveMember(const std::string& archive, const std::string& member, std::vector<uint8_t>& bytes,
                       std::string& error) {
#ifdef KEL_MODELS_HAVE_ZIP
  int code = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, &code);
  if (!zip) {
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, code);
    error = archive + ": " + zip_error_strerror(&zipError);
    zip_error_fini(&zipError);
    return false;
  }
  zip_stat_t stat;
  zip_file_t* file = nullptr;
  bool ok = false;
  if (zip_stat(zip, member.c_str(), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE)) {
    error = archive + ": no member " + member;
  } else if (stat.size > kMaxMemberSize) {
    error = archive + ": " + member + " is too large";
  } else if (!(file = zip_fopen(zip, member.c_str(), 0))) {
    error = archive + ": " + member + ": " + zip_strerror(zip);
  } else {
    bytes.resize(static_cast<size_t>(stat.size));
    const zip_int64_t read = bytes.empty() ? 0 : zip_fread(file, bytes.data(), stat.size);
    ok = read == static_cast<zip_int64_t>(stat.size);
    if (!ok) error = archive + ": " + member + ": read error";
    zip_fclose(file);
  }
  zip_discard(zip);
  return ok;
#else
  (void)member;
  (void)bytes;
  error = archive + ": this build reads no zip archives (libzip was missing)";
  return false;
#endif
}

bool LoadModel(const std::string& path, KELModel& model, std::string& error) {
  const size_t archiveEnd = path.find(".pk3:");
  std::vector<uint8_t> bytes;
  if (archiveEnd != std::string::npos) {
    const std::string archive = path.substr(0, archiveEnd + 4);
    const std::string member = path.substr(archiveEnd + 5);
    if (!ReadArchiveMember(archive, member, bytes, error)) return false;
  } else if (EndsWith(path, ".bsp")) {
    if (!ReadWholeFile(path, bytes, error)) return false;
  } else {
    return LoadSceneFile(path, model, error);
  }
  if (!ReadBsp(bytes.data(), bytes.size(), BaseName(path), model, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace kel
