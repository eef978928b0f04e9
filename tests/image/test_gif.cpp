// Reading GIF files through the entry class. gif_cases.py builds files byte
// by byte with an LZW encoder of its own (clear codes, full tables, long
// strings, sub-block sizes and blocks of every kind placed where a case
// needs them), each with the pixels it must read as or the message it must
// report, and has Pillow and ImageMagick write more, interlaced and animated
// ones among them, together with what those tools read from them.
#include <cmath>
#include <fstream>

#include "image_support.h"

namespace {

using namespace image_test;

// The grey level of every pixel of a READRGB result.
Rows grey_of(Rows rgb) {
  const std::size_t w = rgb.empty() ? 0 : rgb[0].size() / 3;
  for (auto& row : rgb) {
    for (std::size_t x = 0; x < w; ++x)
      row[x] = std::floor((299 * row[x] + 587 * row[w + x] + 114 * row[2 * w + x] + 500) / 1000);
    row.resize(w);
  }
  return rgb;
}

TEST(GifRead, BuiltFilesAndFilesOfOtherWriters) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  TempDir dir;
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/gif_cases.py '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream manifest(dir.file("manifest"));
  std::string file, expected;
  std::size_t w = 0, h = 0;
  int built = 0, refused = 0, references = 0;
  while (manifest >> file >> w >> h && std::getline(manifest >> std::ws, expected)) {
    SCOPED_TRACE(file);
    auto read = [&](Reader f) { return rows_of(f(dir.cwd(), str(file))); };
    if (expected != "pixels" && expected != "references") {
      Raised r = raised([&] { read(&IO::READ_IMAGE); });
      EXPECT_EQ(r, (Raised{expected, Kex::kWholeCall}));
      ++refused;
      continue;
    }
    const Rows rgb = read(&IO::READRGB), grey = read(&IO::READ_IMAGE);
    for (const char* ext : {".rgb", ".pil", ".im"}) {
      Bytes ref = dir.read(file + ext);
      if (ref.empty()) continue;
      ++(expected == "pixels" ? built : references);
      ref.resize(3 * w * h);  // the first picture of an animation
      Rows want = planes_of(ref, w);
      EXPECT_EQ(rgb, want) << ext;
      EXPECT_EQ(grey, grey_of(want)) << ext;
    }
  }
  EXPECT_GE(built, 26);
  EXPECT_GE(refused, 18);
  EXPECT_GE(references, !have_python_pil() ? 0 : have_imagemagick() ? 34 : 7);
}

}  // namespace
