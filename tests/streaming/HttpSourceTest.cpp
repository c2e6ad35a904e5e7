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

sockaddr_in Loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket listening on a free port of the loopback, and the port.
int Listen(int& port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  port = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(listener, 16) == 0 &&
                 getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0
             ? ntohs(address.sin_port)
             : -1;
  return listener;
}

int FreePort() {
  int port;
  close(Listen(port));
  return port;
}

int Connect(int port) {
  const int connection = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return connection;
  close(connection);
  return -1;
}

bool Forward(int from, int to) {
  char buffer[65536];
  const ssize_t got = read(from, buffer, sizeof(buffer));
  return got > 0 && write(to, buffer, static_cast<size_t>(got)) == got;
}

// Joins each connection on its own port to the server's port, holding what
// the client sends for kLatencyMs first.
struct KELDelayRelay {
  int iServerPort = -1;
  int iPort = -1;
  std::atomic<bool> iStopping{false};
  std::thread iThread;

  void Start(int serverPort) {
    iServerPort = serverPort;
    const int listener = Listen(iPort);
    iThread = std::thread([this, listener] {
      std::vector<std::thread> connections;
      for (pollfd waiting = {listener, POLLIN, 0}; !iStopping;)
        if (poll(&waiting, 1, 20) > 0) connections.emplace_back(&KELDelayRelay::Relay, this, accept(listener, nullptr, nullptr));
      for (std::thread& connection : connections) connection.join();
      close(listener);
    });
  }
  void Stop() {
    iStopping = true;
    if (iThread.joinable()) iThread.join();
  }
  void Relay(int client) {
    const int server = Connect(iServerPort);
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (client >= 0 && server >= 0 && !iStopping) {
      if (poll(ends, 2, 20) <= 0) continue;
      if (ends[0].revents) std::this_thread::sleep_for(std::chrono::milliseconds(kLatencyMs));
      if ((ends[0].revents && !Forward(client, server)) || (ends[1].revents && !Forward(server, client))) break;
    }
    close(client);
    close(server);
  }
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
        _relay.Start(port);
        if (_relay.iPort > 0) _url = "http://127.0.0.1:" + std::to_string(_relay.iPort) + "/";
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

// Every block arrives whole: its checksum is checked as it is decoded.
TEST_F(HttpSource, StreamsAPackAndSaysWhatIsWrong) {
  std::string error;
  std::unique_ptr<KELPackSource> remote = OpenPackSource(_url + "house.kelpack", error);
  ASSERT_TRUE(remote) << error;
  KELPackIndex index;
  ASSERT_TRUE(index.Open(*remote, error)) << error;
  EXPECT_EQ(index.GetEntryCount(), 60u);
  // Two workers reading at once, each on a connection of its own; the all
  // order reads everything, whatever the budget.
  KELCountingUploader uploader;
  KELStreamingOptions options;
  options.iOrder = KELStreamingOrder::kAll;
  options.iBudgetBytes = 1;
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

  EXPECT_FALSE(OpenPackUrl(_url + "missing.kelpack", error));
  EXPECT_NE(error.find("404"), std::string::npos) << error;
  EXPECT_FALSE(OpenPackSource("http://127.0.0.1:" + std::to_string(FreePort()) + "/house.kelpack", error));
  EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
  uint8_t byte;
  EXPECT_FALSE(remote->ReadAt(remote->GetSize(), 1, &byte, error));
  EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}

}  // namespace
