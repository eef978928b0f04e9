// The pixels of files written by other tools, read by us and by Pillow,
// ImageMagick and netpbm through the scripts of this folder.
#pragma once

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "image_support.h"
#include "kexio/host/services.h"

namespace image_test {

// The grey level of every pixel of a READRGB result:
// (299 R + 587 G + 114 B + 500) / 1000, truncated.
inline Rows grey_of(Rows rgb) {
  const std::size_t w = rgb.empty() ? 0 : rgb[0].size() / 3;
  for (auto& row : rgb) {
    for (std::size_t x = 0; x < w; ++x)
      row[x] = std::floor((299 * row[x] + 587 * row[w + x] + 114 * row[2 * w + x] + 500) / 1000);
    row.resize(w);
  }
  return rgb;
}

// A READRGB result's pixels in another colour space (Kex::RGB_TO_HLS or
// Kex::RGB_TO_HSV), the three planes side by side as well.
inline Rows converted(Rows rgb, void (*to)(unsigned char, unsigned char, unsigned char, double*,
                                           double*, double*)) {
  const std::size_t w = rgb.empty() ? 0 : rgb[0].size() / 3;
  for (auto& row : rgb) {
    for (std::size_t x = 0; x < w; ++x) {
      const auto r = static_cast<unsigned char>(row[x]), g = static_cast<unsigned char>(row[w + x]),
                 b = static_cast<unsigned char>(row[2 * w + x]);
      to(r, g, b, &row[x], &row[w + x], &row[2 * w + x]);
    }
  }
  return rgb;
}

// Reads each file of the manifest a script of this folder wrote (name,
// width, height, then the file's kind). A kind "refused: MESSAGE" is what
// READ_IMAGE must raise, with no detail, or "refused: MESSAGE | DETAIL"
// with that detail; for the others READRGB must give the pixels of
// each reference beside the file (.rgb: those it was made from; .pil, .im,
// .nb: what Pillow, ImageMagick and netpbm read; the first picture of an
// animation), READ_IMAGE their grey levels (or those of NAME.grey, a byte
// per pixel), READ_HLS and READ_HSV the pixels' components, and the
// one-plane readers the blocks of the three-plane results. The comparisons
// made by reference, the refusals, and the kinds compared.
struct Compared {
  std::map<std::string, int> by_tool;
  int refused = 0;
  std::set<std::string> kinds;
};
inline Compared compare_manifest(const TempDir& dir, const std::string& ext) {
  Compared done;
  std::ifstream manifest(dir.file("manifest"));
  std::string name, kind;
  std::size_t w = 0, h = 0;
  while (manifest >> name >> w >> h && std::getline(manifest, kind)) {
    SCOPED_TRACE(name);
    kind.erase(0, kind.find_first_not_of(' '));
    name += ext;
    auto read = [&](Reader f) { return rows_of(f(dir.cwd(), str(name))); };
    if (kind.starts_with("refused: ")) {
      EXPECT_EQ(raised_with_detail([&] { read(&IO::READ_IMAGE); }),
                (Raised{kind.substr(9), Kex::kWholeCall}));
      ++done.refused;
      continue;
    }
    const Rows rgb = read(&IO::READRGB), hls = converted(rgb, Kex::RGB_TO_HLS),
               hsv = converted(rgb, Kex::RGB_TO_HSV);
    const struct {
      Reader all, plane[3];
      const Rows& want;
    } spaces[] = {
        {&IO::READRGB, {&IO::READ_RED, &IO::READ_GREEN, &IO::READ_BLUE}, rgb},
        {&IO::READ_HLS, {&IO::READ_HLS_HUE, &IO::READ_HLS_LIGHT, &IO::READ_HLS_SAT}, hls},
        {&IO::READ_HSV, {&IO::READ_HSV_HUE, &IO::READ_HSV_SAT, &IO::READ_HSV_VALUE}, hsv},
    };
    for (const auto& s : spaces) {
      if (s.all != &IO::READRGB) {
        EXPECT_EQ(read(s.all), s.want);
      }
      for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(read(s.plane[k]), block(s.want, k * w, w)) << k;
    }
    // A file's own grey levels (NAME.grey, a byte per pixel) stand for
    // those of the references.
    const Rows grey = read(&IO::READ_IMAGE);
    Rows own_grey;
    const Bytes g = dir.read(name + ".grey");
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (i % w == 0) own_grey.emplace_back();
      own_grey.back().push_back(g[i]);
    }
    for (const char* tool : {".rgb", ".pil", ".im", ".nb"}) {
      Bytes ref = dir.read(name + tool);
      if (ref.empty()) continue;
      ++done.by_tool[tool];
      done.kinds.insert(kind);
      EXPECT_GE(ref.size(), 3 * w * h) << tool;
      ref.resize(3 * w * h);
      EXPECT_EQ(rgb, planes_of(ref, w)) << tool;
      EXPECT_EQ(grey, own_grey.empty() ? grey_of(planes_of(ref, w)) : own_grey) << tool;
    }
  }
  return done;
}
// The same on a scratch folder the script fills.
inline Compared compare_with_references(const std::string& script, const std::string& ext = "") {
  TempDir dir;
  EXPECT_TRUE(run_script(script, {dir.path().string()})) << script;
  return compare_manifest(dir, ext);
}

}  // namespace image_test
