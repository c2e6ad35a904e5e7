// The HTTP source against a real server: lighttpd, started on a free port
// for the suite and stopped after it, reached through a relay that delays
// every request, as a distant server would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "KELPackTestData.h"

namespace {

const int kLatencyMs = 15;

int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = -1;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(probe);
  return port;
}

int Connect(int port) {
  const int connection = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return connection;
  close(connection);
  return -1;
}

bool Forward(int from, int to) {
  char buffer[65536];
  const ssize_t got = read(from, buffer, sizeof(buffer));
  for (ssize_t sent = 0; got > 0 && sent < got;) {
    const ssize_t done = write(to, buffer + sent, static_cast<size_t>(got - sent));
    if (done <= 0) return false;
    sent += done;
  }
  return got > 0;
}

// Listens on a free port and joins each connection to the server's port,
// holding what the client sends for kLatencyMs first.
class KELDelayRelay {
public:
  bool Start(int serverPort) {
    iServerPort = serverPort;
    iListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(iListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(iListener, 16) != 0 ||
        getsockname(iListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return false;
    iPort = ntohs(address.sin_port);
    iThreads.emplace_back([this] { Accept(); });
    return true;
  }
  void Stop() {
    iStopping = true;
    for (std::thread& thread : iThreads) thread.join();
    iThreads.clear();
    if (iListener >= 0) close(iListener);
    iListener = -1;
  }
  int GetPort() const { return iPort; }

private:
  void Accept() {
    std::vector<std::thread> connections;
    while (!iStopping) {
      pollfd waiting = {iListener, POLLIN, 0};
      if (poll(&waiting, 1, 20) <= 0) continue;
      const int client = accept(iListener, nullptr, nullptr);
      if (client >= 0) connections.emplace_back([this, client] { Relay(client); });
    }
    for (std::thread& connection : connections) connection.join();
  }
  void Relay(int client) {
    const int server = Connect(iServerPort);
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (server >= 0 && !iStopping) {
      if (poll(ends, 2, 20) <= 0) continue;
      if (ends[0].revents) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLatencyMs));
        if (!Forward(client, server)) break;
      }
      if (ends[1].revents && !Forward(server, client)) break;
    }
    close(client);
    if (server >= 0) close(server);
  }

  int iServerPort = -1;
  int iListener = -1;
  int iPort = -1;
  std::atomic<bool> iStopping{false};
  std::vector<std::thread> iThreads;
};

const char* const kServer = "/usr/sbin/lighttpd";

class HttpSource : public testing::Test {
protected:
  static void SetUpTestSuite() {
    if (access(kServer, X_OK) != 0) return;
    // Of this process: ctest runs each test in a process of its own, at once.
    _root = testing::TempDir() + "/http-root-" + std::to_string(getpid());
    std::error_code failed;
    std::filesystem::create_directories(_root, failed);
    std::string error;
    KELTestPack pack;
    pack.iEntries = 60;
    pack.iPartitions = 3;
    if (!WriteTestPack(_root + "/house.kelpack", pack, error)) return;
    const int port = FreePort();
    const std::string config = _root + ".conf";
    FILE* file = std::fopen(config.c_str(), "w");
    if (file == nullptr) return;
    std::fprintf(file,
                 "server.document-root = \"%s\"\nserver.bind = \"127.0.0.1\"\nserver.port = %d\n"
                 "server.errorlog = \"%s.log\"\nmimetype.assign = (\"\" => \"application/octet-stream\")\n",
                 _root.c_str(), port, _root.c_str());
    std::fclose(file);
    _server = fork();
    if (_server == 0) {
      execl(kServer, kServer, "-D", "-f", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Up when it takes a connection.
    for (int attempt = 0; attempt < 200; ++attempt) {
      const int probe = Connect(port);
      if (probe >= 0) {
        close(probe);
        if (_relay.Start(port)) _url = "http://127.0.0.1:" + std::to_string(_relay.GetPort()) + "/";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  static void TearDownTestSuite() {
    _relay.Stop();
    if (_server > 0) {
      kill(_server, SIGTERM);
      waitpid(_server, nullptr, 0);
    }
    _server = -1;
  }
  void SetUp() override {
    if (access(kServer, X_OK) != 0) {
#ifdef KEL_HTTP_TEST_REQUIRED
      FAIL() << kServer << " is installed but not runnable";
#else
      GTEST_SKIP() << "lighttpd is missing (scripts/install-deps.sh lighttpd installs it)";
#endif
    }
    ASSERT_FALSE(_url.empty()) << "lighttpd did not come up; see " << _root << ".log";
  }

  static std::string _root;
  static std::string _url;
  static pid_t _server;
  static KELDelayRelay _relay;
};

std::string HttpSource::_root;
std::string HttpSource::_url;
pid_t HttpSource::_server = -1;
KELDelayRelay HttpSource::_relay;

class KELCountingUploader : public KELStreamingUploader {
public:
  uint64_t GetUploadBytes(const KELPackEntry& entry) override { return entry.iUnpackedBytes; }
  bool Upload(uint32_t, const KELPackGeometry& geometry, const float*, uint64_t& bytes) override {
    bytes = geometry.iVertices.size() * sizeof(KELPackVertex) + geometry.iIndices.size() * 4;
    ++iUploads;
    return true;
  }
  void Release(uint32_t) override {}
  uint32_t iUploads = 0;
};

TEST_F(HttpSource, StreamsAPackLikeTheLocalFile) {
  std::string error;
  std::unique_ptr<KELPackSource> remote = OpenPackUrl(_url + "house.kelpack", error);
  ASSERT_TRUE(remote) << error;
  std::unique_ptr<KELPackSource> local = OpenPackFile(_root + "/house.kelpack", error);
  ASSERT_TRUE(local) << error;
  EXPECT_EQ(remote->GetSize(), local->GetSize());
  KELPackIndex index;
  ASSERT_TRUE(index.Open(*remote, error)) << error;
  EXPECT_EQ(index.GetEntryCount(), 60u);
  for (uint32_t e = 0; e < index.GetEntryCount(); e += 7) {
    const KELPackEntry& entry = index.GetEntry(e);
    std::vector<uint8_t> near(entry.iPackedBytes), far(entry.iPackedBytes);
    ASSERT_TRUE(remote->ReadAt(entry.iOffset, entry.iPackedBytes, far.data(), error)) << error;
    ASSERT_TRUE(local->ReadAt(entry.iOffset, entry.iPackedBytes, near.data(), error)) << error;
    EXPECT_EQ(far, near) << "entry " << e;
  }
  // Two workers reading at once, each on a connection of its own.
  KELCountingUploader uploader;
  KELStreamingOptions options;
  options.iOrder = KELStreamingOrder::kAll;
  KELStreamingHost host(index, *remote, uploader, options);
  ASSERT_TRUE(host.Start(error)) << error;
  KELStreamingView view = {};
  for (int round = 0; round < 4000 && !(round > 0 && host.IsIdle()); ++round) {
    host.Update(view, nullptr);
    host.WaitForWork(10);
  }
  EXPECT_EQ(uploader.iUploads, 60u);
  EXPECT_TRUE(host.GetFailures().empty()) << host.GetFailures().front();
  EXPECT_EQ(host.GetReadBytesTotal(), index.GetPackedBytes());
}

TEST_F(HttpSource, SaysWhatIsWrong) {
  std::string error;
  EXPECT_FALSE(OpenPackUrl(_url + "missing.kelpack", error));
  EXPECT_NE(error.find("404"), std::string::npos) << error;
  EXPECT_FALSE(OpenPackSource("http://127.0.0.1:" + std::to_string(FreePort()) + "/house.kelpack", error));
  EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
  std::unique_ptr<KELPackSource> remote = OpenPackSource(_url + "house.kelpack", error);
  ASSERT_TRUE(remote) << error;
  uint8_t byte;
  EXPECT_FALSE(remote->ReadAt(remote->GetSize(), 1, &byte, error));
  EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}

}  // namespace
