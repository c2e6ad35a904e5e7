// A pack on an HTTP server: each read is one range request (libcurl). Every
// concurrent reader takes a handle of its own from a pool, so connections
// are kept alive between reads.
#include "KELStreaming.h"

#ifdef KEL_STREAMING_HAVE_CURL

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace {

const long kConnectSeconds = 10;
// A transfer slower than a byte a second for this long has stalled.
const long kStallSeconds = 30;

struct KELTransfer {
  uint8_t* iBuffer;
  uint64_t iCapacity;
  uint64_t iReceived;
};

// Anything past what was asked for means the server sent more than the
// range: the transfer stops with an error.
size_t Receive(char* data, size_t size, size_t count, void* user) {
  KELTransfer* transfer = static_cast<KELTransfer*>(user);
  const size_t bytes = size * count;
  if (bytes > transfer->iCapacity - transfer->iReceived) return 0;
  std::copy(data, data + bytes, transfer->iBuffer + transfer->iReceived);
  transfer->iReceived += bytes;
  return bytes;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

void Prepare(CURL* curl, const std::string& url) {
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
}

class KELPackHttpSource : public KELPackSource {
public:
  KELPackHttpSource(const std::string& url, uint64_t size) : iUrl(url), iSize(size) {}
  ~KELPackHttpSource() override {
    for (CURL* curl : iIdle) curl_easy_cleanup(curl);
  }
  uint64_t GetSize() const override { return iSize; }
  std::string GetName() const override { return iUrl; }

  bool ReadAt(uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) override {
    if (offset > iSize || iSize - offset < size) {
      error = iUrl + ": a read past the end";
      return false;
    }
    if (size == 0) return true;
    CURL* curl = TakeHandle();
    if (curl == nullptr) {
      error = iUrl + ": no HTTP handle";
      return false;
    }
    const bool read = Read(curl, offset, size, buffer, error);
    GiveBack(curl);
    return read;
  }

private:
  bool Read(CURL* curl, uint64_t offset, uint32_t size, uint8_t* buffer, std::string& error) {
    KELTransfer transfer = {buffer, size, 0};
    const std::string range = std::to_string(offset) + "-" + std::to_string(offset + size - 1);
    Prepare(curl, iUrl);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK && status == 206 && transfer.iReceived == size) return true;
    if (code == CURLE_OK || code == CURLE_WRITE_ERROR)
      error = iUrl + ": range " + range + " answered with status " + std::to_string(status) +
              (status == 200 ? " (the server ignores range requests)" : "") + " and " +
              std::to_string(transfer.iReceived) + " bytes";
    else
      error = iUrl + ": " + curl_easy_strerror(code);
    return false;
  }

  CURL* TakeHandle() {
    {
      std::lock_guard<std::mutex> lock(iMutex);
      if (!iIdle.empty()) {
        CURL* curl = iIdle.back();
        iIdle.pop_back();
        return curl;
      }
    }
    return curl_easy_init();
  }
  void GiveBack(CURL* curl) {
    std::lock_guard<std::mutex> lock(iMutex);
    iIdle.push_back(curl);
  }

  std::string iUrl;
  uint64_t iSize;
  std::mutex iMutex;
  std::vector<CURL*> iIdle;
};

// The file's size from a HEAD request.
bool AskSize(const std::string& url, uint64_t& size, std::string& error) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    error = url + ": no HTTP handle";
    return false;
  }
  Prepare(curl, url);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_off_t length = -1;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) error = url + ": " + curl_easy_strerror(code);
  else if (status != 200) error = url + ": the server answered with status " + std::to_string(status);
  else if (length < 0) error = url + ": the server gives no size";
  else {
    size = static_cast<uint64_t>(length);
    return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<KELPackSource> OpenPackUrl(const std::string& url, std::string& error) {
  static std::once_flag initialised;
  static bool ready = false;
  std::call_once(initialised, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  if (!ready) {
    error = url + ": libcurl does not start";
    return nullptr;
  }
  uint64_t size = 0;
  if (!AskSize(url, size, error)) return nullptr;
  std::unique_ptr<KELPackSource> source(new KELPackHttpSource(url, size));
  // One byte proves that ranges are honoured before any block is asked for.
  uint8_t first = 0;
  if (size > 0 && !source->ReadAt(0, 1, &first, error)) return nullptr;
  return source;
}

#else

std::unique_ptr<KELPackSource> OpenPackUrl(const std::string& url, std::string& error) {
  error = url + ": built without libcurl (Debian libcurl4-openssl-dev): no HTTP packs";
  return nullptr;
}

#endif
