// Reading PNG files through the entry class: files built byte by byte
// (16-bit rounding, palettes, damaged and cut files), pipes, the factory's
// choice of decoder, and every colour type, depth and interlace compared with
// Pillow and ImageMagick.
#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

#include "references.h"

namespace {

using namespace image_test;

// references.py png_cases builds the files, each with the pixels it must
// read as or the message it must report.
TEST(PngRead, BuiltFilesPipesAndNamesWithoutTheExtension) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  TempDir dir;
  ASSERT_TRUE(run_script("references.py png_cases", {dir.path().string()}));
  Compared c = compare_manifest(dir, ".png");
  EXPECT_EQ(c.by_tool[".rgb"], 5);
  EXPECT_EQ(c.refused, 13);
  auto read = [&](const std::string& name) {
    return rows_of(IO::READ_IMAGE(dir.cwd(), str(name)));
  };
  // A pipe is read as its bytes arrive.
  const Bytes good = dir.read("good.png");
  const Rows good_rows = {{1, 2}, {3, 4}};
  ASSERT_EQ(mkfifo(dir.file("pipe.png").c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = open(dir.file("pipe.png").c_str(), O_WRONLY);
    for (std::uint8_t b : good)
      (void)!write(fd, &b, 1);
    close(fd);
  });
  Rows piped;
  Raised failure = raised([&] { piped = read("pipe.png"); });
  writer.join();
  EXPECT_EQ(piped, good_rows) << failure;
  if (dir.path().string().find('.') != std::string::npos) {
    GTEST_SKIP() << "temporary folder has a dot";
  }
  // png is the last extension tried.
  dir.write("only.png", good);
  EXPECT_EQ(read("only"), good_rows);
  dir.write("both.png", good);
  dir.write("both.pcx", Bmp{.width = 1, .pixel_data = {5, 5, 5, 0}}.bytes());
  EXPECT_EQ(read("both"), (Rows{{5}}));
}

// Grey 1, 2, 4, 8, 16; colour 8, 16; palette 1, 2, 4, 8; grey and alpha 8,
// 16; colour and alpha 8, 16: each plain and interlaced, written by Pillow,
// ImageMagick and the reference script, read by us and by both tools.
TEST(PngReference, EveryKindMatchesPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  Compared c = compare_with_references("references.py png_samples", ".png");
  EXPECT_EQ(c.kinds.size(), have_imagemagick() ? 30u : 18u);
  EXPECT_GE(c.count(), have_imagemagick() ? 74 : 22);
}

}  // namespace
