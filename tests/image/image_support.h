// Shared helpers of the image tests: a temporary folder, BMP files built
// byte by byte, matrix results as rows or as pixel bytes, and the pixels of
// files written by other tools, read by us and by Pillow, ImageMagick and
// netpbm through the scripts of this folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kexio/host/services.h"
#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace image_test {

using namespace kexio_test;
using Bytes = std::vector<std::uint8_t>;
using Ref = Cvd::Ref;
using IO = Kex::IO;
using Reader = Ref (*)(const std::u16string&, const Ref&);
using Writer = Ref (*)(const std::u16string&, const Ref&, const Ref&);

struct TempDir : ScratchDir {
  template <typename Chars>  // a std::string or Bytes
  void write(const std::string& name, const Chars& bytes) const {
    write_bytes(path() / name, std::string(bytes.begin(), bytes.end()));
  }
  Bytes read(const std::string& name) const {
    std::string s = read_bytes(path() / name);
    return {s.begin(), s.end()};
  }
};

// A test whose worksheet directory is a scratch folder: readers and writers
// called on its files, and what they raise.
class ImageTest : public ::testing::Test {
 protected:
  Ref call(Reader f, const std::string& name) { return f(dir.cwd(), str(name)); }
  Rows read(Reader f, const std::string& name) { return rows_of(call(f, name)); }
  Raised error_of(Reader f, const std::string& name) {
    return raised([&] { call(f, name); });
  }
  Ref write(Writer f, const std::string& name, const Ref& m) { return f(dir.cwd(), str(name), m); }
  Raised failure(Writer f, const std::string& name, const Ref& m) {
    return raised([&] { write(f, name, m); });
  }
  TempDir dir;
};

using Rgb = std::array<std::uint8_t, 3>;
using Pixels = std::vector<std::vector<std::uint32_t>>;

// A BMP file with a 40-byte information header, as the encoder writes it
// (no resolution), or a header of another size: cut short, or padded with
// zeros. Palette entries are red, green, blue; pixel_data is everything
// after the palette.
struct Bmp {
  std::int32_t width = 1;
  std::int32_t height = 1;
  unsigned bits = 24;
  std::uint32_t compression = 0;
  std::vector<Rgb> palette = {};
  Bytes pixel_data = {};
  std::uint32_t header_size = 40;

  Bytes bytes() const {
    const auto size = static_cast<std::uint32_t>(pixel_data.size());
    std::string info;
    // Planes (1) and bits share one word.
    for (std::uint32_t v :
         {header_size, std::uint32_t(width), std::uint32_t(height), 1u | bits << 16, compression,
          size, 0u, 0u, static_cast<std::uint32_t>(palette.size()), 0u}) {
      info += le(v, 4);
    }
    info.resize(header_size);
    const auto off = static_cast<std::uint32_t>(14 + info.size() + 4 * palette.size());
    std::string b = "BM" + le(off + size, 4) + le(0, 4) + le(off, 4) + info;
    for (const Rgb& c : palette)
      b += std::string{char(c[2]), char(c[1]), char(c[0]), 0};
    b.append(pixel_data.begin(), pixel_data.end());
    return {b.begin(), b.end()};
  }
};

// An uncompressed file of the given depth and rows of pixel values, top row
// first: palette indices for 8 bits, 0xRRGGBB for 24 bits.
inline Bmp picture(unsigned bits, const Pixels& rows, std::vector<Rgb> palette = {}) {
  Bmp b{.width = static_cast<std::int32_t>(rows[0].size()),
        .height = static_cast<std::int32_t>(rows.size()),
        .bits = bits,
        .palette = std::move(palette)};
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    Bytes row;
    if (bits == 24) {
      for (std::uint32_t v : *it)
        row.insert(row.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
    } else {
      row.assign(it->begin(), it->end());
    }
    row.resize((row.size() + 3) / 4 * 4);
    b.pixel_data.insert(b.pixel_data.end(), row.begin(), row.end());
  }
  return b;
}

inline Bytes text(const std::string& s) {
  return {s.begin(), s.end()};
}

// A matrix of values drawn evenly from -40 .. 300.
inline std::shared_ptr<Cvd::MatVal> random_matrix(std::uint32_t rows, std::uint32_t cols,
                                                  unsigned seed) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-40, 300);
  std::generate_n(m->real(), m->size(), [&] { return d(gen); });
  return m;
}

// Columns first .. first + count - 1 of a matrix, as rows.
inline Rows block(const Rows& rows, std::size_t first, std::size_t count) {
  Rows out;
  for (const auto& row : rows)
    out.emplace_back(row.begin() + long(first), row.begin() + long(first + count));
  return out;
}

// Rows of red, green, blue bytes (top row first) as a matrix of the three
// planes side by side.
inline Rows planes_of(const Bytes& rgb, std::size_t width) {
  Rows out((rgb.size() + 3 * width - 1) / (3 * width), std::vector<double>(3 * width));
  for (std::size_t i = 0; i < rgb.size(); ++i)
    out[i / (3 * width)][i % 3 * width + i / 3 % width] = rgb[i];
  return out;
}

inline bool have_imagemagick() {
  return access("/usr/bin/convert-im6.q16", X_OK) == 0;
}

inline long open_descriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Runs a script of this folder with /usr/bin/python3: its name and first
// words, then the paths, quoted. True when it exits with 0.
inline bool run_script(const std::string& script, const std::vector<std::string>& paths) {
  std::string cmd = "/usr/bin/python3 " KEXIO_SOURCE_DIR "/tests/image/" + script;
  for (const std::string& p : paths)
    cmd += " '" + p + "'";
  return std::system(cmd.c_str()) == 0;
}

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

// Runs a script of this folder on a scratch folder and reads each file of
// the manifest it wrote (name, width, height, then the file's kind). A kind
// "refused: MESSAGE" is what READ_IMAGE must raise, with no detail, or
// "refused: MESSAGE | DETAIL" with that detail; for the others READRGB must
// give the pixels of each reference beside the file (.rgb: those it was
// made from; .pil, .im, .nb: what Pillow, ImageMagick and netpbm read; the
// first picture of an animation), READ_IMAGE their grey levels (or those of
// NAME.grey, a byte per pixel), READ_HLS and READ_HSV the pixels'
// components, and the one-plane readers the blocks of the three-plane
// results. The comparisons made by reference, the refusals, and the kinds
// compared.
struct Compared {
  std::map<std::string, int> by_tool;
  int refused = 0;
  std::set<std::string> kinds;
};
inline Compared compare_with_references(const std::string& script, const std::string& ext = "") {
  TempDir dir;
  EXPECT_TRUE(run_script(script, {dir.path().string()})) << script;
  Compared done;
  std::ifstream manifest(dir / "manifest");
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

}  // namespace image_test
