// Reading PGM, PBM, PPM and TIFF files through the statistics library: how
// samples of each type become grey levels, colours and colour-space
// components, what is refused, and every flavour of file compared with what
// netpbm and Pillow read from it.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "image_support.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

using PnmTiffRead = ImageTest;

// A little-endian TIFF of one strip of data of the given size (that of data
// unless given), each tag stored as a 32-bit LONG; samples of the given
// format (1 unsigned, 3 floating point), compression 1 (none) unless given.
std::string tiff(std::uint32_t w, std::uint32_t h, std::uint32_t bits, std::uint32_t samples,
                 const std::string& data, std::uint32_t format = 1, std::uint32_t compression = 1,
                 std::size_t size = 0) {
  auto u16 = [](unsigned v) { return std::string{char(v), char(v >> 8)}; };
  auto u32 = [&](std::uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); };
  std::string out = "II*\0"s + u32(static_cast<std::uint32_t>(8 + data.size())) + data + u16(9);
  for (auto [tag, value] : {std::pair<int, std::uint32_t>{256, w},
                            {257, h},
                            {258, bits},
                            {259, compression},
                            {262, samples == 3 ? 2 : 1},
                            {273, 8},
                            {277, samples},
                            {279, std::uint32_t(size ? size : data.size())},
                            {339, format}})
    out += u16(tag) + u16(4) + u32(1) + u32(value);
  return out + u32(0);
}

// What the comparison with netpbm and Pillow below does not reach: 16-bit
// and wider samples through each conversion, the syntax's corners, and TIFF
// depths no tool here writes.
TEST_F(PnmTiffRead, SamplesKeepTheirDepthAndConvertByType) {
  const Rows hls44 = converted({{44, 44, 44}}, Kex::RGB_TO_HLS);
  const std::string g16 = "P5 2 1 65535\n\x03\xE8\x01\x2C",
                    u32 = tiff(2, 1, 32, 1, "\x00\x28\x6B\xEE\x07\x00\x00\x00"s),
                    f64 = tiff(2, 1, 64, 1, "\0\0\0\0\0\0\xF4\xBF\0\0\0\0\0\0\xF8\x7F"s, 3),
                    s32 = tiff(2, 1, 32, 1, "\0\0\x01\0\xFF\xFF\xFF\xFF"s, 2),
                    rgb12 = tiff(1, 1, 12, 3, "\xAB\xC1\x23\xFF\xF0"s);
  const struct {
    std::string name, bytes;
    Reader f;
    Rows want;
  } cases[] = {
      // 16-bit grey: 1000 and 300 are grey levels 1000.5 and 300.5, colours
      // 1000 and 300, and the bytes 232 and 44 for the colour spaces.
      {"g16.pgm", g16, &IO::READ_IMAGE, {{1000.5, 300.5}}},
      {"g16.pgm", g16, &IO::READRGB, {{1000, 300, 1000, 300, 1000, 300}}},
      {"g16.pgm", "P5 1 1 65535\n\x01\x2C", &IO::READ_HLS, hls44},
      // Colour grey levels: 0.299 R + 0.587 G + 0.114 B rounded in floating
      // point, so (0, 36, 12) is 22 where integer arithmetic gives 23.
      {"c.ppm", "P6 2 1 255\n\x0A\x14\x1E\x00\x24\x0C"s, &IO::READ_IMAGE, {{18, 22}}},
      {"c16.ppm", "P6 1 1 65535 \x01\x2C\x01\x2C\x01\x2C", &IO::READ_HLS, hls44},
      {"c16.ppm", "P6 1 1 65535 \xFF\xFF\xFF\xFF\xFF\xFF"s, &IO::READ_IMAGE, {{65535}}},
      // Plain bitmaps: 1 is black, digits need no separator.
      {"p1.pbm", "P1 3 2 1#c\n01\n010", &IO::READ_IMAGE, {{0, 255, 0}, {255, 0, 255}}},
      // Any white space and comments; samples are not scaled to 255.
      {"ws.pgm", "P2\t2\v1\f7\r# comment\n 7#x\n0", &IO::READ_IMAGE, {{7, 0}}},
      {"plain.ppm", "P3 1 1 1000 999 0 1000 # end", &IO::READRGB, {{999, 0, 1000}}},
      // The header ends with one character (here a comment's line end); the
      // raster's first bytes may be white space themselves. Trailing bytes
      // are ignored.
      {"nl.pgm", "P5 2 1 255#c\n\n more", &IO::READ_IMAGE, {{10, 32}}},
      // 32-bit unsigned grey, 64-bit floating point (cut toward zero for the
      // colour spaces: -1.25 is 255, NaN 0).
      {"u32.tif", u32, &IO::READRGB, {{4e9, 7, 4e9, 7, 4e9, 7}}},
      {"u32.tif", u32, &IO::READ_IMAGE, {{4e9, 7}}},
      {"f64.tif", f64, &IO::READ_HSV_VALUE, {{255, 0}}},
      // Signed samples are integers: grey levels rounded, bytes kept signed.
      {"s32.tif", s32, &IO::READ_IMAGE, {{65536, -1}}},
      {"s8.tif", tiff(2, 1, 8, 1, "\xFF\x05"s, 2), &IO::READRGB, {{-1, 5, -1, 5, -1, 5}}},
      // Samples of 9 to 15 bits keep their values, those of 5 bits are
      // spread over 0..255 (17 is 139.8); packed most significant bit first.
      {"rgb12.tif", rgb12, &IO::READRGB, {{0xABC, 0x123, 0xFFF}}},
      {"g12.tif", tiff(2, 1, 12, 1, "\xFF\xF0\x01"s), &IO::READ_IMAGE, {{4095, 1}}},
      {"g5.tif", tiff(3, 1, 5, 1, "\xF8\x22"s), &IO::READ_RED, {{255, 0, 139}}},
  };
  for (const auto& c : cases) {
    dir.write(c.name, c.bytes);
    EXPECT_EQ(read(c.f, c.name), c.want) << c.name << " " << c.bytes;
  }
}

TEST_F(PnmTiffRead, MalformedShortAndOversizedFilesAreIoErrors) {
  const std::string cases[] = {
      "P5 2 1 255\n\x01",              // one sample short
      "P2 2 1 255 1",                  // one number short
      "P6 1 1 255\n\x01\x02",          // one colour sample short
      "P5 1 1 100\n\xC8",              // a sample above the largest value
      "P2 1 1 100 101",                //
      "P1 2 1 0 2",                    // not a bit
      "P2 1 1 255 12a",                // not a number
      "P5 1 1 0\n\x00"s,               // largest value 0
      "P5 1 1 65536\n\x00\x00"s,       // or beyond 16 bits
      "P5 0 1 255\n",                  // no pixels
      "P5 1 1\n",                      // no largest value
      "P5 1 1 255x\x07",               // a number run into text
      "P5 -1 1 255 \x07",              // a sign
      "P2 3000000000 1 255 1",         // wider than a matrix can be
      "P6 60000 60000 255\n\x01\x02",  // far more than the file holds
      "P7 1 1 255\n\x07",              // another kind of netpbm file
      "P",
      "P 6 1 1 255\n\x01\x02\x03",  // chosen as PPM by the number, malformed
      "II*\0\x08\0\0\0\0\0"s,       // a TIFF without a directory
      "MM\0*\0\0\0\x08\0\x01"s,     // cut in its directory
      // Uncompressed strips beyond the end, an unknown compression, and a
      // picture of 2^31 - 1 squared pixels that is refused before anything
      // is allocated.
      tiff(64, 64, 8, 3, "\x01\x02\x03", 1, 1, 12288),
      tiff(1, 1, 8, 1, "\x05", 1, 99),
      tiff(0x7FFFFFFF, 0x7FFFFFFF, 8, 3, "\x01\x02\x03"),
      // 65535 samples of 65535 pixels from one byte of Deflate data: refused
      // before a strip of 4 GB is sized.
      tiff(65535, 1, 8, 65535, "\x78\x9C\x63\x00\x00\x00\x01\x00\x01"s, 1, 8),
  };
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  int i = 0;
  for (const std::string& bytes : cases) {
    const std::string name = "bad" + std::to_string(i++) + (bytes[0] == 'P' ? ".pnm" : ".tif");
    dir.write(name, bytes);
    testing::internal::CaptureStderr();
    const Raised got = error_of(&IO::READRGB, name);
    // libtiff's messages are silenced.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
    EXPECT_EQ(got, (Raised{"file i/o error", Kex::kWholeCall})) << name << ": " << bytes;
  }
  // No size a file states makes the reader take memory its bytes cannot fill.
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 << 10) << "KB more at the peak";
  // A strip the end of the file cuts says so, and where.
  const std::pair<std::string, const char*> cut[] = {
      {tiff(64, 64, 8, 3, "\x01\x02\x03", 1, 1, 12288), "in row 0 (rows 0 to 63)"},
      {tiff(4, 3, 8, 1, "\x78\x9C\x63\x60"s, 1, 8, 4096), "in row 0 (rows 0 to 2)"},
  };
  for (const auto& [bytes, where] : cut) {
    dir.write("cut.tif", bytes);
    EXPECT_EQ(raised_with_detail([&] { IO::READ_GREEN(dir.cwd(), str("cut.tif")); }),
              (Raised{"file i/o error | the file ends inside the image data, "s + where,
                      Kex::kWholeCall}));
  }
}

// Every flavour of file, written by Pillow, netpbm, tiffcp, ImageMagick and
// the script itself, read by us and by Pillow and netpbm; READRGB must equal
// each of them and the pixels the file was made from, READ_IMAGE their grey
// levels.
TEST(PnmTiffReference, EveryFlavourMatchesNetpbmAndPillow) {
  if (!kexio_test::have_python("PIL") || !have_imagemagick() ||
      std::system(
          "(command -v tiffcp && command -v tifftopnm && command -v pnmtotiff) >/dev/null") != 0) {
    GTEST_SKIP() << "needs Pillow, ImageMagick, netpbm and libtiff's tools";
  }
  TempDir dir;
  ASSERT_TRUE(run_script("pnm_tiff_refs.py", {dir.path().string()}));
  std::ifstream manifest(dir.file("manifest"));
  std::string name, kind;
  std::size_t w = 0, h = 0;
  int files = 0, compared = 0;
  while (manifest >> name >> w >> h >> kind) {
    SCOPED_TRACE(name);
    ++files;
    const Rows rgb = rows_of(IO::READRGB(dir.cwd(), str(name)));
    ASSERT_TRUE(rgb.size() == h && rgb[0].size() == 3 * w);
    int refs = 0;
    for (const char* ref : {".src", ".pil", ".nb"}) {
      if (!std::filesystem::exists(dir.path() / (name + ref))) continue;
      const std::vector<double> v = kexio_test::read_doubles(dir.path() / (name + ref));
      ASSERT_EQ(v.size(), 3 * w * h) << ref;
      Rows want(h);
      for (std::size_t y = 0; y < h; ++y)
        want[y].assign(v.begin() + long(3 * w * y), v.begin() + long(3 * w * (y + 1)));
      EXPECT_EQ(rgb, want) << ref;
      ++refs;
    }
    EXPECT_GT(refs, 0) << "no reference";
    compared += refs;
    // Grey levels: 0.299 R + 0.587 G + 0.114 B, rounded unless the samples
    // are floating point; a PGM's or PBM's are its samples, plus 0.5 when
    // they are 16-bit.
    const bool own = name.ends_with(".pgm") || name.ends_with(".pbm");
    double half = 0;
    for (const auto& row : rgb)
      half = own && *std::max_element(row.begin(), row.end()) > 255 ? 0.5 : half;
    Rows grey = block(rgb, 0, w);
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        const double *p = &rgb[y][x], l = 0.299 * p[0] + 0.587 * p[w] + 0.114 * p[2 * w];
        grey[y][x] = own ? p[0] + half : kind == "float" ? l : std::floor(l + 0.5);
      }
    }
    EXPECT_EQ(rows_of(IO::READ_IMAGE(dir.cwd(), str(name))), grey);
  }
  EXPECT_GE(files, 37);
  EXPECT_GE(compared, 86);
}

}  // namespace
