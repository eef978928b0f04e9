// Shared helpers of the image tests: a temporary folder, BMP files built
// byte by byte, and matrix results as rows or as pixel bytes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace image_test {

using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::vector<double>>;
using Ref = Cvd::Ref;
using IO = Kex::IO;
using Reader = Ref (*)(const std::u16string&, const Ref&);
using Writer = Ref (*)(const std::u16string&, const Ref&, const Ref&);
using kexio_test::as_matrix;
using kexio_test::mat;
using kexio_test::raised;
using kexio_test::Raised;
using kexio_test::raised_with_detail;
using kexio_test::rows_of;
using kexio_test::str;

struct TempDir : kexio_test::ScratchDir {
  std::string file(const std::string& name) const { return (path() / name).string(); }
  template <typename Chars>  // a std::string or Bytes
  void write(const std::string& name, const Chars& bytes) const {
    kexio_test::write_bytes(path() / name, std::string(bytes.begin(), bytes.end()));
  }
  Bytes read(const std::string& name) const {
    std::string s = kexio_test::read_bytes(path() / name);
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
    using kexio_test::le;
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

// Stored rows of an uncompressed file from rows of pixel values given top
// row first: palette indices for 8 bits, 0xRRGGBB for 24 bits.
inline Bytes stored_rows(unsigned bits, const Pixels& rows) {
  Bytes out;
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    Bytes row;
    if (bits == 24) {
      for (std::uint32_t v : *it)
        row.insert(row.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
    } else {
      row.assign(it->begin(), it->end());
    }
    row.resize((row.size() + 3) / 4 * 4);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// An uncompressed file of the given depth and pixel values.
inline Bmp picture(unsigned bits, const Pixels& rows, std::vector<Rgb> palette = {}) {
  return {.width = static_cast<std::int32_t>(rows[0].size()),
          .height = static_cast<std::int32_t>(rows.size()),
          .bits = bits,
          .palette = std::move(palette),
          .pixel_data = stored_rows(bits, rows)};
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

}  // namespace image_test
