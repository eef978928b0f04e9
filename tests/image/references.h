// The pixels of files written by other tools, read by us and by Pillow and
// ImageMagick through references.py.
#pragma once

#include <cmath>
#include <fstream>
#include <set>
#include <string>

#include "image_support.h"

namespace image_test {

// (299 R + 587 G + 114 B + 500) / 1000, truncated.
inline double grey_level(double r, double g, double b) {
  return std::floor((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// Runs references.py with the subcommand on a scratch folder and reads each
// file of its manifest (name, width, height, then the file's kind): READRGB
// must give the pixels Pillow and ImageMagick read (.pil, .im), READ_IMAGE
// their grey levels, and the one-plane readers the blocks of the
// three-plane results. The comparisons made, and the kinds compared.
struct Compared {
  int count = 0;
  std::set<std::string> kinds;
};
inline Compared compare_with_references(const std::string& subcommand, const std::string& ext) {
  TempDir dir;
  Compared done;
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/references.py " + subcommand + " '" + dir.path().string() + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream manifest(dir.file("manifest"));
  std::string name, kind;
  std::size_t w = 0, h = 0;
  while (manifest >> name >> w >> h && std::getline(manifest, kind)) {
    SCOPED_TRACE(name);
    auto read = [&](Reader f) { return rows_of(f(dir.cwd(), str(name + ext))); };
    Rows rgb = read(&IO::READRGB), grey = read(&IO::READ_IMAGE);
    EXPECT_EQ(read(&IO::READ_RED), block(rgb, 0, w));
    EXPECT_EQ(read(&IO::READ_BLUE), block(rgb, 2 * w, w));
    EXPECT_EQ(read(&IO::READ_HSV_VALUE), block(read(&IO::READ_HSV), 2 * w, w));
    for (const char* tool : {".pil", ".im"}) {
      Bytes ref = dir.read(name + ext + tool);
      if (ref.empty()) continue;
      ++done.count;
      done.kinds.insert(kind);
      EXPECT_EQ(ref.size(), 3 * w * h) << tool;
      Rows want = planes_of(ref, w);
      EXPECT_EQ(rgb, want) << tool;
      for (auto& row : want) {
        for (std::size_t x = 0; x < w; ++x)
          row[x] = grey_level(row[x], row[w + x], row[2 * w + x]);
        row.resize(w);
      }
      EXPECT_EQ(grey, want) << tool;
    }
  }
  return done;
}

}  // namespace image_test
