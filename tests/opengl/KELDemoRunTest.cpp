// kel_demo as a user runs it: what it says about bad options, and figures
// that do not depend on the order of its modes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct KELDemoResult {
  int iStatus;
  std::string iOutput;  // standard output and error
};

KELDemoResult RunDemo(const std::string& arguments) {
  KELDemoResult result{-1, ""};
  FILE* pipe = popen((std::string(KEL_DEMO_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  char buffer[512];
  while (pipe != nullptr && std::fgets(buffer, sizeof(buffer), pipe) != nullptr) result.iOutput += buffer;
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  result.iStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Other builds on the machine may run these tests at the same time.
std::string Scratch(const std::string& name) {
  return testing::TempDir() + "kel_demo_" + name + "_" + std::to_string(getpid());
}

TEST(DemoRun, BadOptionsNameTheProblem) {
  const std::string file = Scratch("file");
  std::ofstream(file) << "not a folder\n";
  const struct {
    std::string iArguments;
    int iStatus;
    const char* iSays;
  } cases[] = {
      {"--modes libary", 2, "unknown mode 'libary'"},
      {"--api metal", 2, "unknown --api 'metal'"},
      {"--frames 0", 2, "--frames takes a whole number from 1"},
      {"--model house.glb --grid 0", 2, "--grid takes a whole number from 1"},
      {"--grid 2", 2, "--grid applies to --model only"},
      {"--coherency", 2, "--coherency needs a value"},
      {"--modes pvs --out " + file + "-pvs", 2, "the pvs mode needs a level"},
      {"--out " + file + "/results", 1, "cannot create the output folder"},
      {"--help", 0, "usage: kel_demo"},
  };
  for (const auto& c : cases) {
    KELDemoResult result = RunDemo(c.iArguments);
    EXPECT_EQ(result.iStatus, c.iStatus) << c.iArguments << ": " << result.iOutput;
    EXPECT_NE(result.iOutput.find(c.iSays), std::string::npos) << c.iArguments << ": " << result.iOutput;
    // One line that names the problem, not the whole list of options.
    EXPECT_TRUE(c.iStatus == 0 || result.iOutput.find("usage:") == std::string::npos) << c.iArguments;
  }
  std::filesystem::remove(file);
  std::filesystem::remove_all(file + "-pvs");
}

// The columns of frames.csv that do not depend on timing, per mode.
std::map<std::string, std::vector<std::string>> FiguresByMode(const std::string& csv) {
  std::map<std::string, std::vector<std::string>> figures;
  std::ifstream file(csv);
  std::string line;
  std::getline(file, line);  // header
  while (std::getline(file, line)) {
    // mode, then frame .. repeat_misses; the times follow.
    size_t mode = line.find(','), end = mode;
    for (int column = 1; column <= 16; ++column) end = line.find(',', end + 1);
    figures[line.substr(0, mode)].push_back(line.substr(mode, end - mode));
  }
  return figures;
}

// The streaming run's summary line, up to its CPU time.
std::string StreamingLine(const std::string& output) {
  size_t start = output.find("stream_summary: ");
  return start == std::string::npos ? "" : output.substr(start, output.find(" lib_cpu_ms=", start) - start);
}

// Coherency 4 makes the library's first frames differ from later ones; each
// mode must start from the same state whether it runs first or not, and keep
// its own summary.
TEST(DemoRun, ModeFiguresDoNotDependOnTheOrderOfModes) {
  const std::string common = " --size 6 --frames 24 --width 240 --height 135 --coherency 4 --pictures 0 --out ";
  const std::string first = Scratch("first"), second = Scratch("second");
  KELDemoResult a = RunDemo("--modes streaming,library" + common + first);
  if (a.iStatus == 1 && a.iOutput.find("no headless") != std::string::npos)
    GTEST_SKIP() << "no headless OpenGL context: " << a.iOutput;
  KELDemoResult b = RunDemo("--modes library,streaming" + common + second);
  ASSERT_EQ(a.iStatus, 0) << a.iOutput;
  ASSERT_EQ(b.iStatus, 0) << b.iOutput;
  EXPECT_NE(a.iOutput.find("\nsummary: "), std::string::npos);

  auto figuresA = FiguresByMode(first + "/frames.csv"), figuresB = FiguresByMode(second + "/frames.csv");
  for (const char* mode : {"library", "streaming"}) {
    ASSERT_FALSE(figuresA[mode].empty()) << mode;
    ASSERT_FALSE(figuresB[mode].empty()) << mode;
  }
  EXPECT_EQ(figuresA["library"], figuresB["library"]) << "library differs with the order of the modes";
  // Streaming loads on worker threads, so its later frames depend on their
  // timing; its first frame, before any load, is the library's own.
  EXPECT_EQ(figuresA["streaming"].front(), figuresB["streaming"].front())
      << "streaming's first frame differs with the order of the modes";
  EXPECT_FALSE(StreamingLine(a.iOutput).empty()) << a.iOutput;
  EXPECT_FALSE(StreamingLine(b.iOutput).empty()) << b.iOutput;
  std::filesystem::remove_all(first);
  std::filesystem::remove_all(second);
}

}  // namespace
