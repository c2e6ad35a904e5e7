// kel_demo --window on a virtual X server: it opens, shows ten frames,
// saves the window's image and closes.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(DemoWindow, ShowsTenFramesAndSavesTheWindowImage) {
#ifndef KEL_DEMO_HAVE_WINDOW
  GTEST_SKIP() << "kel_demo was built without GLFW (Debian libglfw3-dev)";
#else
  if (std::system("command -v xvfb-run >/dev/null && command -v xauth >/dev/null") != 0)
    GTEST_SKIP() << "xvfb-run or xauth is missing (Debian xvfb, xauth)";
  // Other builds on the machine may run this test at the same time.
  const std::string directory = testing::TempDir() + "kel_demo_window_" + std::to_string(getpid());
  const std::string shot = directory + "/window.png";
  const std::string command = "xvfb-run -a -s '-screen 0 640x480x24' " KEL_DEMO_PATH
                              " --window --window-frames 10 --size 6 --width 320 --height 180 --out " +
                              directory + " --screenshot " + shot;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, shot.c_str())) << "no screenshot " << shot;
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint32_t> pixels(PNG_IMAGE_SIZE(image) / 4);
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  EXPECT_EQ(image.width, 320u);
  EXPECT_EQ(image.height, 180u);
  // A window that shows nothing, or only the clear colour, is one colour.
  EXPECT_GT(std::set<uint32_t>(pixels.begin(), pixels.end()).size(), 1u);
  std::filesystem::remove_all(directory);
#endif
}

}  // namespace
