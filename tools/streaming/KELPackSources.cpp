// Pack sources: a local file read with pread, and bytes in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KELStreaming.h"

namespace {

bool OutOfRange(uint64_t offset, uint32_t size, uint64_t total) { return offset > total || total - offset < size; }

class KELPackFileSource : public KELPackSource {
public:
  KELPackFileSource(int file, uint64_t size, const std::string& path) : iFile(file), iSize(size), iPath(path) {}
  ~KELPackFileSource() override { close(iFile); }
  uint64_t GetSize() const override { return iSize; }
  std::string GetName() const override { return iPath; }

  // pread keeps no file position, so readers on several threads share the
  // descriptor.
  bool ReadAt(uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) override {
    if (OutOfRange(offset, size, iSize)) {
      error = iPath + ": a read past the end";
      return false;
    }
    uint32_t done = 0;
    while (done < size) {
      const ssize_t got = pread(iFile, buffer + done, size - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        error = iPath + ": " + (got < 0 ? std::strerror(errno) : "the file ended early");
        return false;
      }
      done += static_cast<uint32_t>(got);
    }
    return true;
  }

private:
  int iFile;
  uint64_t iSize;
  std::string iPath;
};

class KELPackMemorySource : public KELPackSource {
public:
  KELPackMemorySource(const uint8_t* bytes, size_t size) : iBytes(bytes, bytes + size) {}
  uint64_t GetSize() const override { return iBytes.size(); }
  std::string GetName() const override { return "pack in memory"; }
  bool ReadAt(uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) override {
    if (OutOfRange(offset, size, iBytes.size())) {
      error = "pack in memory: a read past the end";
      return false;
    }
    if (size > 0) std::memcpy(buffer, iBytes.data() + offset, size);
    return true;
  }

private:
  std::vector<uint8_t> iBytes;
};

}  // namespace

std::unique_ptr<KELPackSource> OpenPackFile(const std::string& path, std::string& error) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat status;
  if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = path + ": not a regular file";
    close(file);
    return nullptr;
  }
  return std::unique_ptr<KELPackSource>(new KELPackFileSource(file, static_cast<uint64_t>(status.st_size), path));
}

std::unique_ptr<KELPackSource> OpenPackSource(const std::string& name, std::string& error) {
  if (name.rfind("http://", 0) == 0 || name.rfind("https://", 0) == 0) return OpenPackUrl(name, error);
  return OpenPackFile(name, error);
}

std::unique_ptr<KELPackSource> MakeMemoryPackSource(const uint8_t* bytes, size_t size) {
  return std::unique_ptr<KELPackSource>(new KELPackMemorySource(bytes, size));
}
