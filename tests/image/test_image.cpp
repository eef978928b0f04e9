// Reading pictures through the entry class: BMP palettes, run-length rows,
// the choice of decoder and every refusal; files of every format built byte
// by byte, and of other writers compared with other decoders. PGM, PBM, PPM
// and TIFF files through the statistics library: how samples of each type
// become grey levels, colours and colour-space components, what is refused,
// and every flavour of file compared with what netpbm and Pillow read from it.
// Writing BMP files: the bytes of the files, read back by our readers (and by
// independent decoders in tests/imager beside the other formats), colour-space
// round trips, the argument checks and file-system failures; and the encoder's
// refusal of sizes no test can allocate.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include "image/encode/bmp_encoder.h"
#include "image_support.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

using ImageRead = ImageTest;
using PnmTiffRead = ImageTest;
// A refusal of the call as a whole.
Raised whole(const char* message) {
  return {message, Kex::kWholeCall};
}

bool have_cjpeg() {
  return have_python("PIL") && access("/usr/bin/cjpeg", X_OK) == 0;
}

// Red and white in the top row, blue and green in the bottom row.
const Bmp kTwoByTwo = picture(24, {{0xFF0000, 0xFFFFFF}, {0x0000FF, 0x00FF00}});
const Rows kTwoByTwoRed = {{255, 255}, {0, 0}};

// A run-length file of 8 or 4 bits whose palette entry i is red i; data
// codes the rows, bottom row first.
Bytes rle(int width, int height, unsigned bits, Bytes data) {
  std::vector<Rgb> palette;
  for (int i = 0; i < (1 << bits); ++i)
    palette.push_back({static_cast<std::uint8_t>(i), 0, 0});
  return Bmp{width, height, bits, bits == 8 ? 1u : 2u, palette, std::move(data)}.bytes();
}

// Files the scripts of this folder build byte by byte, with the pixels each
// must read as or the message it must report, and files of Pillow,
// ImageMagick and netpbm with what those tools read from them (see each
// script): the counts of files compared with their own pixels, refused, and
// compared with other tools' readings (and of the kinds of PNG file).
TEST(ImageReference, BuiltFilesAndOtherWritersFilesReadAsTheyShould) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  const bool pil = have_python("PIL"), im = have_imagemagick();
  const int gif_others = !pil ? 0 : im ? 34 : 7;
  const struct {
    const char *script, *ext;
    bool runs;
    int built, refused, others;
    std::size_t kinds;
  } cases[] = {
      {"references.py bmp_cases", ".bmp", true, 15, 0, 0, 1},
      {"references.py samples", ".bmp", pil, 0, 0, im ? 34 : 10, 1},
      {"references.py png_cases", ".png", true, 14, 21, 0, 1},
      {"references.py png_samples", ".png", pil, 0, 0, im ? 74 : 22, im ? 30u : 18u},
      {"gif_cases.py", "", true, 31, 19, gif_others, pil ? 2u : 1u},
      {"pcx_tga_samples.py", "", true, 20, 14, pil && im ? 55 : 0, pil && im ? 6u : 1u},
      // djpeg's pixels (.rgb) and grey levels (libjpeg's own luminance; CMYK,
      // which it will not decode, takes Pillow's pixels and their grey levels)
      // and Pillow's.
      {"references.py jpeg_samples", "", have_cjpeg(), 16, 0, 14, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    if (!c.runs) continue;
    Compared got = compare_with_references(c.script, c.ext);
    EXPECT_EQ(got.by_tool[".rgb"], c.built);
    EXPECT_EQ(got.refused, c.refused);
    EXPECT_GE(got.by_tool[".pil"] + got.by_tool[".im"] + got.by_tool[".nb"], c.others);
    EXPECT_EQ(got.kinds.size(), c.kinds);
  }
}

TEST_F(ImageRead, RefusedFiles) {
  const char* const bad_matrix = "not a packed image matrix";
  const char* const io_error = "file i/o error";
  const char* const unknown = "unknown file format";
  Bytes v100 = kTwoByTwo.bytes();
  v100[14] = 100;  // no header has this size
  Bytes cut = kTwoByTwo.bytes();
  cut.resize(cut.size() - 3);
  // Run-length position jumps, in small and large pictures.
  Bytes jumps;
  for (int i = 0; i < 480; ++i)
    jumps.insert(jumps.end(), {0, 2, 1, 1, 0, 0});
  const Bytes delta = rle(4, 2, 8, {0, 2, 1, 1, 0, 0, 4, 1, 0, 0}),
              delta2 = rle(640, 480, 8, jumps);
  // Run-length data at 32 bits is no bit-field picture.
  Bytes depth32 =
      Bmp{.bits = 32, .compression = 1, .palette = {{1, 1, 1}}, .pixel_data = {0, 0}}.bytes();
  const struct {
    std::string name;
    Bytes bytes;
    Reader f;
    const char* message;
  } cases[] = {
      {"text.bmp", text("Bonjour, this is text and no bitmap.\n"), &IO::READ_IMAGE, bad_matrix},
      {"16.bmp", Bmp{.bits = 16, .compression = 1, .pixel_data = {0, 0}}.bytes(), &IO::READ_IMAGE,
       bad_matrix},
      {"v100.bmp", v100, &IO::READRGB, bad_matrix},
      // A stated palette with an unsupported depth: the colour readers (one
      // check for all) refuse.
      {"32.bmp", depth32, &IO::READRGB, io_error},
      // Bit fields need 16 or 32 bits and a Windows header (an OS/2 header's
      // compression 3 is another method, and 32 bits without fields have no
      // palette), and their masks.
      {"bf.bmp", Bmp{.compression = 3, .pixel_data = Bytes(4)}.bytes(), &IO::READ_IMAGE, io_error},
      {"os2bf.bmp",
       Bmp{.bits = 32, .compression = 3, .pixel_data = Bytes(4), .header_size = 64}.bytes(),
       &IO::READ_IMAGE, bad_matrix},
      {"nomask.bmp", Bmp{.bits = 32, .compression = 3}.bytes(), &IO::READ_IMAGE, io_error},
      // Negative widths, and a height whose rows cannot be counted.
      {"nw.bmp", Bmp{.width = -1, .pixel_data = Bytes(4)}.bytes(), &IO::READRGB, unknown},
      {"nh.bmp", Bmp{.height = INT32_MIN, .pixel_data = Bytes(4)}.bytes(), &IO::READRGB, unknown},
      // Sizes the file cannot hold would ask for gigabytes: they fail at once.
      {"huge.bmp", Bmp{.width = 60000, .height = 60000}.bytes(), &IO::READRGB, io_error},
      {"wide.bmp", Bmp{.width = 0x7FFFFFFF}.bytes(), &IO::READ_IMAGE, io_error},
      {"rh.bmp", rle(50000, 50000, 8, {0, 0, 0, 0, 0, 0}), &IO::READ_IMAGE, io_error},
      // Files cut short: in the pixel rows, in the headers, in run-length
      // rows, and run-length data that ends the bitmap before its last row.
      {"cut.bmp", cut, &IO::READ_GREEN, io_error},
      {"cut2.bmp", Bytes(cut.begin(), cut.begin() + 20), &IO::READ_IMAGE, io_error},
      {"rcut.bmp", rle(4, 2, 8, {4, 1, 0, 0, 2}), &IO::READ_IMAGE, io_error},
      {"eob.bmp", rle(2, 2, 8, {2, 5, 0, 1}), &IO::READ_IMAGE, io_error},
      // Position jumps: an unsupported feature for the grey reader, a read
      // failure for the others.
      {"delta.bmp", delta, &IO::READ_IMAGE, unknown},
      {"delta.bmp", delta, &IO::READRGB, io_error},
      {"delta2.bmp", delta2, &IO::READ_IMAGE, unknown},
      {"delta2.bmp", delta2, &IO::READ_HSV, io_error},
      // The factory: empty files, files too short to sniff, and content that
      // is no image.
      {"empty.bmp", {}, &IO::READ_IMAGE, io_error},
      {"short.xyz", text("hello"), &IO::READ_IMAGE, io_error},
      {"long.xyz", text("hello, this is a longer text file"), &IO::READ_IMAGE, unknown},
  };
  for (const auto& c : cases) {
    dir.write(c.name, c.bytes);
    EXPECT_EQ(error_of(c.f, c.name), whole(c.message)) << c.name;
  }
}

TEST_F(ImageRead, EmptySizesGiveEmptyResultsAtOnce) {
  // No pixels per row: an empty result of the stated height; no rows: an
  // empty result of the stated width, however wide.
  dir.write("n.bmp",
            Bmp{.width = 0, .height = 0x7FFFFFFF, .bits = 1, .palette = {{0, 0, 0}}}.bytes());
  dir.write("e.bmp", Bmp{.width = 0x7FFFFFFF, .height = 0}.bytes());
  Ref n = call(&IO::READRGB, "n.bmp"), e = call(&IO::READ_IMAGE, "e.bmp");
  EXPECT_EQ(as_matrix(n)->get_Rows(), 0x7FFFFFFFu);
  EXPECT_EQ(as_matrix(n)->get_Cols(), 0u);
  EXPECT_EQ(as_matrix(e)->get_Rows(), 0u);
  EXPECT_EQ(as_matrix(e)->get_Cols(), 0x7FFFFFFFu);
}

// The content chooses the decoder, and a pipe is read as its bytes arrive
// (PGM through the statistics library too).
// A name without extension is completed with the first that names a file:
// bmp before gif, pcx before png, which is the last; a dot anywhere in the
// name, even in a folder's name, keeps it as given.
TEST_F(ImageRead, ContentChoosesTheDecoderAndNamesWithoutExtensionAreCompleted) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  ASSERT_TRUE(run_script("references.py png_cases", {dir.path().string()}));
  const Bytes good = dir.read("good.png");
  const Rows good_rows = {{1, 2}, {3, 4}};
  // A TIFF file through a pipe is refused: libtiff needs a file it can seek.
  // (A pipe's bytes in small pieces are the byte reader's part: test_io.)
  const std::string tiff("II*\0\x08\0\0\0\0\0", 10), pgm = "P2 3 1 255 1 2 3\n";
  const struct {
    const char* name;
    Bytes bytes;
    Rows want;
  } pipes[] = {{"pipe.png", good, good_rows},
               {"pipe.pgm", Bytes(pgm.begin(), pgm.end()), {{1, 2, 3}}},
               {"pipe.tif", Bytes(tiff.begin(), tiff.end()), {}}};
  for (const auto& c : pipes) {
    std::thread writer = feed_fifo(dir / c.name, std::string(c.bytes.begin(), c.bytes.end()));
    Rows piped;
    Raised failure = raised([&] { piped = read(&IO::READ_IMAGE, c.name); });
    writer.join();
    EXPECT_EQ(piped, c.want) << c.name;
    EXPECT_EQ(failure.message, c.want.empty() ? "file i/o error" : "<nothing raised>") << c.name;
  }
  EXPECT_EQ(error_of(&IO::READ_HSV, "."), whole("file i/o error"));  // a folder
  dir.write("bitmap.gif", kTwoByTwo.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "bitmap.gif"), kTwoByTwoRed);
  if (dir.path().string().find('.') != std::string::npos) {
    GTEST_SKIP() << "temporary folder has a dot";
  }
  dir.write("pic.gif", "GIF89a and more bytes"s);
  dir.write("pic.bmp", kTwoByTwo.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "pic"), kTwoByTwoRed);
  dir.write("only.tga", kTwoByTwo.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "only"), kTwoByTwoRed);
  dir.write("last.png", good);
  EXPECT_EQ(read(&IO::READ_IMAGE, "last"), good_rows);
  dir.write("both.png", good);
  dir.write("both.pcx", Bmp{.width = 1, .pixel_data = {5, 5, 5, 0}}.bytes());
  EXPECT_EQ(read(&IO::READ_IMAGE, "both"), (Rows{{5}}));
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "nothing"), whole("file open error"));
  std::filesystem::create_directory(dir.path() / "d.x");
  dir.write("d.x/pic.bmp", kTwoByTwo.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "d.x/pic"), whole("file open error"));
}

// Pictures taller than a band, wider than many tiles, stored either way up,
// with rows used where they lie in the file and rows copied from the
// decoder's buffer: every element of every plane read is checked against
// the pixel it comes from.
TEST_F(ImageRead, LargePicturesKeepEveryPixelAcrossBandsAndTiles) {
  // A pattern whose neighbouring pixels differ in every channel, so that a
  // pixel put one row or column off is caught; 8-bit files show palette
  // entry i as (i, 255 - i, 3 i), 16-bit ones 5-bit channels scaled by
  // 255 / 31.
  auto colour = [](std::int64_t x, std::int64_t y) -> Rgb {
    return {std::uint8_t(x * 7 + y * 3), std::uint8_t(x * 5 + y * 11 + 1),
            std::uint8_t(x ^ (y * 13))};
  };
  auto shown = [](unsigned bits, Rgb c) -> Rgb {
    if (bits == 8) return {c[0], std::uint8_t(255 - c[0]), std::uint8_t(c[0] * 3)};
    if (bits == 16) {
      for (std::uint8_t& v : c)
        v = std::uint8_t((v >> 3) * 255 / 31);
    }
    return c;
  };
  const struct {
    unsigned bits;
    std::int32_t width, height;
    bool top_down;
  } cases[] = {
      {24, 37, 4099, false},                         // kept rows, two bands
      {24, 37, 4099, true},   {24, 4101, 3, false},  // many tiles of three rows
      {8, 301, 4103, false},                         // kept palette indices
      {16, 2000, 1500, true},                        // copied rows, more than one band of copies
      {16, 3, 5000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.width) + " x " +
                 std::to_string(c.height) + (c.top_down ? ", top down" : ""));
    Bmp bmp{.width = c.width, .height = c.top_down ? -c.height : c.height, .bits = c.bits};
    const std::size_t w = std::size_t(c.width), stride = (c.bits * w + 31) / 32 * 4;
    bmp.pixel_data.assign(stride * std::size_t(c.height), 0);
    for (int i = 0; c.bits == 8 && i < 256; ++i)
      bmp.palette.push_back(shown(8, {std::uint8_t(i)}));
    Bytes want;
    for (std::int64_t y = 0; y < c.height; ++y) {
      std::uint8_t* row = &bmp.pixel_data[stride * std::size_t(c.top_down ? y : c.height - 1 - y)];
      for (std::int64_t x = 0; x < c.width; ++x) {
        const Rgb v = colour(x, y), s = shown(c.bits, v);
        want.insert(want.end(), s.begin(), s.end());
        if (c.bits == 24) {
          row[3 * x] = v[2], row[3 * x + 1] = v[1], row[3 * x + 2] = v[0];
        } else if (c.bits == 8) {
          row[x] = v[0];
        } else {
          const unsigned p = unsigned(v[0] >> 3) << 10 | unsigned(v[1] >> 3) << 5 | v[2] >> 3;
          row[2 * x] = std::uint8_t(p), row[2 * x + 1] = std::uint8_t(p >> 8);
        }
      }
    }
    dir.write("big.bmp", bmp.bytes());
    const Rows rgb = planes_of(want, w);
    EXPECT_EQ(read(&IO::READRGB, "big.bmp"), rgb);
    EXPECT_EQ(read(&IO::READ_IMAGE, "big.bmp"), grey_of(rgb));
    EXPECT_EQ(read(&IO::READ_BLUE, "big.bmp"), block(rgb, 2 * w, w));
    if (c.width * std::int64_t{c.height} <= 200000) {
      EXPECT_EQ(read(&IO::READ_HSV, "big.bmp"), converted(rgb, Kex::RGB_TO_HSV));
    }
  }
}

// Damaged JPEG files of references.py jpeg_samples.
TEST_F(ImageRead, DamagedJpegFilesFailClearlyAndCloseTheFile) {
  if (!have_cjpeg()) GTEST_SKIP() << "needs cjpeg, djpeg and Pillow";
  ASSERT_TRUE(run_script("references.py jpeg_samples", {dir.path().string()}));
  const Bytes s420 = dir.read("s420.jpg"), prog = dir.read("progressive.jpg");
  std::size_t sof = 0;
  while (!(s420[sof] == 0xFF && s420[sof + 1] == 0xC0))
    ++sof;
  auto patched = [&](std::initializer_list<std::pair<std::size_t, std::uint8_t>> changes) {
    Bytes b = s420;
    for (auto [at, v] : changes)
      b[sof + at] = v;
    return b;
  };
  // The progressive file's last scan, again and again after it.
  auto repeat_last_scan = [&](int times) {
    std::size_t from = prog.size() - 2;  // its end-of-image marker
    while (!(prog[from] == 0xFF && prog[from + 1] == 0xDA))
      --from;
    Bytes b(prog.begin(), prog.end() - 2), scan(prog.begin() + long(from), prog.end() - 2);
    for (int i = 0; i < times; ++i)
      b.insert(b.end(), scan.begin(), scan.end());
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
  };
  const char* const io_error = "file i/o error";
  const struct {
    std::string what;
    Bytes bytes;
    const char* message;  // null: read
  } cases[] = {
      // What the factory gave before it knew any JPEG but JFIF stays as it was.
      {"nine bytes", text("\xFF\xD8\xFF\xE0\0\x10JFI"s), io_error},
      {"JFIF cut after ten", text("\xFF\xD8\xFF\xE0\0\x10JFIF"s), io_error},
      {"JFIF without a marker", text("xxxxxxJFIF and then text that is no JPEG"), io_error},
      {"no second marker", text("\xFF\xD8\x00 and more text after it"s), "unknown file format"},
      {"cut in the tables", Bytes(s420.begin(), s420.begin() + 200), io_error},
      {"cut in the frame header", Bytes(s420.begin(), s420.begin() + long(sof) + 8), io_error},
      // libjpeg's refusals of a frame header, all alike to the decoder (12
      // bits would be a depth of its own to a library built for them).
      {"height 0", patched({{5, 0}, {6, 0}}), io_error},
      {"12 bits", patched({{4, 12}}), io_error},
      {"499 scans", repeat_last_scan(499 - 10), nullptr},  // cjpeg writes 10
      {"501 scans", repeat_last_scan(501 - 10), io_error},
  };
  const long fds = open_descriptors();
  for (const auto& c : cases) {
    dir.write("x.jpg", c.bytes);
    Raised r = raised([&] { IO::READRGB(dir.cwd(), str("x.jpg")); });
    EXPECT_EQ(r.message, c.message ? c.message : "<nothing raised>") << c.what;
  }
  EXPECT_EQ(open_descriptors(), fds);
}

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
  if (!have_python("PIL") || !have_imagemagick() ||
      std::system(
          "(command -v tiffcp && command -v tifftopnm && command -v pnmtotiff) >/dev/null") != 0) {
    GTEST_SKIP() << "needs Pillow, ImageMagick, netpbm and libtiff's tools";
  }
  TempDir dir;
  ASSERT_TRUE(run_script("pnm_tiff_refs.py", {dir.path().string()}));
  std::ifstream manifest(dir / "manifest");
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
      const std::vector<double> v = read_doubles(dir.path() / (name + ref));
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

class ImageWrite : public ImageTest {
 protected:
  // The pixel bytes after the headers and the grey palette.
  Bytes grey_pixels(const std::string& name) {
    Bytes f = dir.read(name);
    return Bytes(f.begin() + std::min<long>(1078, long(f.size())), f.end());
  }
};

std::vector<Rgb> grey_palette() {
  std::vector<Rgb> p(256);
  for (int k = 0; k < 256; ++k)
    p[k].fill(std::uint8_t(k));
  return p;
}

TEST_F(ImageWrite, FilesHoldExactlyTheseBytes) {
  // Grey: 8 bits over a grey palette, bottom row first, rows padded to four
  // bytes; 127.5 rounds up.
  write(&IO::WRITEBMP, "g.bmp", mat({{0, 127.5, 255}, {1, 2, 3}}));
  EXPECT_EQ(dir.read("g.bmp"), picture(8, {{0, 128, 255}, {1, 2, 3}}, grey_palette()).bytes());
  // Colour: 24 bits, no palette.
  write(&IO::WRITERGB, "c.bmp", mat({{10, 20, 30}, {40, 50, 60}}));
  EXPECT_EQ(dir.read("c.bmp"), picture(24, {{0x0A141E}, {0x28323C}}).bytes());
  // No elements: headers and palette only.
  write(&IO::WRITEBMP, "e.bmp", Cvd::MatVal::Zeros(0, 0));
  EXPECT_EQ(dir.read("e.bmp"),
            (Bmp{.width = 0, .height = 0, .bits = 8, .palette = grey_palette()}.bytes()));
}

TEST_F(ImageWrite, ValuesRoundHalfUpAndWrapModulo256) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Within the 32-bit range, then beyond it and not numbers at all.
  const double v[] = {
      255.5,        256,           -1,     -0.5,     -0.6,      0.49999,    511.7,
      -256.5,       2.5,           -2.5,   3.5,      1e9 + 0.5, -1e9 - 1.5, 127.49999999999999,
      2147483646.4, -2147483647.6, 255.5,  256,      -1,        -0.5,       -0.6,
      0.49999,      511.7,         -256.5, 1e12 + 3, -3e9 - 1,  nan,        inf,
      2.5,          -2.5,          1e300,  3.5};
  const Bytes want = {0,   0, 255, 0,   255,
                      0,   0, 0,   3,   254,
                      4,   1, 255, 127, 254,
                      0,   0, 0,   255, 0,
                      255, 0, 0,   0,   1000000000003 % 256,
                      255, 0, 0,   3,   254,
                      0,   4};
  // As one row, and as one column, whose elements are converted together,
  // several at a time while they are small: the first sixteen at once, the
  // next eight in smaller steps, the rest one by one.
  for (std::uint32_t rows : {1u, 32u}) {
    auto m = Cvd::MatVal::Zeros(rows, 32 / rows);
    std::copy(std::begin(v), std::end(v), m->real());
    write(&IO::WRITEBMP, "w.bmp", m);
    Bytes column;
    for (auto it = want.rbegin(); it != want.rend(); ++it)
      column.insert(column.end(), {*it, 0, 0, 0});
    EXPECT_EQ(grey_pixels("w.bmp"), rows == 1 ? want : column) << rows;
  }
  // The same rule for each colour plane.
  write(&IO::WRITERGB, "c.bmp", mat({{-1, 300.2, 2.5}}));
  Bytes c = dir.read("c.bmp");
  EXPECT_EQ(Bytes(c.begin() + 54, c.end()), (Bytes{3, 44, 255, 0}));  // blue, green, red, pad
}

TEST_F(ImageWrite, ColourSpacesRoundTrip) {
  // Every byte value in every channel, in a picture of 64 x 96 pixels.
  const std::uint32_t h = 64, w = 96;
  auto rgb = Cvd::MatVal::Zeros(h, 3 * w);
  std::mt19937 gen(3);
  for (std::size_t i = 0; i < std::size_t{h} * 3 * w; ++i)
    rgb->real()[i] = static_cast<double>(i < 256 ? i : gen() % 256);
  write(&IO::WRITERGB, "src.bmp", rgb);
  write(&IO::WRITE_HLS, "hls.bmp", IO::READ_HLS(dir.cwd(), str("src.bmp")));
  write(&IO::WRITE_HSV, "hsv.bmp", IO::READ_HSV(dir.cwd(), str("src.bmp")));
  EXPECT_EQ(dir.read("hls.bmp"), dir.read("src.bmp"));
  EXPECT_EQ(dir.read("hsv.bmp"), dir.read("src.bmp"));
}

TEST_F(ImageWrite, MatrixChecks) {
  for (Writer f : {&IO::WRITERGB, &IO::WRITE_HSV, &IO::WRITE_HLS})
    EXPECT_EQ(failure(f, "p.bmp", mat({{1, 2, 3, 4}})), (Raised{"not a packed image matrix", 2}));
  auto complex = mat({{1, 2, 3}});
  complex->m_iarr = Cvd::NewArray(3);
  std::fill_n(complex->m_iarr.get(), 3, 0.0);
  complex->m_iarr[1] = 0.5;
  for (Writer f : {&IO::WRITEBMP, &IO::WRITERGB, &IO::WRITE_HSV, &IO::WRITE_HLS})
    EXPECT_EQ(failure(f, "c.bmp", complex), (Raised{"must be real matrix", 2}));
  EXPECT_FALSE(std::filesystem::exists(dir / "p.bmp"));
  EXPECT_FALSE(std::filesystem::exists(dir / "c.bmp"));
  // Zero imaginary parts count as real for the grey and RGB writers only.
  complex->m_iarr[1] = 0;
  write(&IO::WRITERGB, "z.bmp", complex);
  EXPECT_TRUE(std::filesystem::exists(dir / "z.bmp"));
  EXPECT_EQ(failure(&IO::WRITE_HSV, "z2.bmp", complex).message, "must be real matrix");
}

TEST_F(ImageWrite, FileSystemFailures) {
  const long before = open_descriptors();
  auto m = mat({{1, 2, 3}});
  for (Writer f : {&IO::WRITEBMP, &IO::WRITERGB, &IO::WRITE_HLS})
    EXPECT_EQ(failure(f, "no/such/x.bmp", m), (Raised{std::strerror(ENOENT), Kex::kWholeCall}));
  // A folder cannot be opened for writing either (EISDIR is not one of the
  // reasons shown as such).
  std::filesystem::create_directory(dir / "sub");
  EXPECT_EQ(failure(&IO::WRITEBMP, "sub", m).message, "file i/o error");
  EXPECT_NE(failure(&IO::WRITERGB, "gopher://host/x.bmp", m).message.find("gopher"),
            std::string::npos);
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(ImageWrite, LargePicturesAndWideRowsReadBackWhole) {
  // Tall enough that writing and reading both work in several bands of rows,
  // with a height that is no multiple of any band; then rows of 90,000
  // bytes, more than any buffer of the reader or the writer holds at a time.
  for (auto [h, w] : {std::pair<std::uint32_t, std::uint32_t>{2611, 1103}, {3, 30000}}) {
    auto m = Cvd::MatVal::Zeros(h, 3 * w);
    for (std::size_t i = 0; i < m->size(); ++i)
      m->real()[i] = static_cast<double>((i * 2654435761u >> 7) % 256);
    write(&IO::WRITERGB, "big.bmp", m);
    Ref rgb_ref = IO::READRGB(dir.cwd(), str("big.bmp"));
    Ref light_ref = IO::READ_HLS_LIGHT(dir.cwd(), str("big.bmp"));
    Cvd::MatVal *rgb = as_matrix(rgb_ref), *light = as_matrix(light_ref);
    ASSERT_EQ(rgb->get_Rows(), h);
    ASSERT_EQ(rgb->get_Cols(), 3 * w);
    ASSERT_EQ(light->size(), std::size_t{h} * w);
    EXPECT_TRUE(std::equal(m->real(), m->real() + m->size(), rgb->real()));
    int bad = 0;
    for (std::size_t i = 0, n = light->size(); i < n; ++i) {
      const double* p = m->real() + i;  // red; green and blue n and 2 n further on
      bad += light->real()[i] !=
             (std::max({p[0], p[n], p[2 * n]}) + std::min({p[0], p[n], p[2 * n]})) / 2;
    }
    EXPECT_EQ(bad, 0);
  }
}

TEST(BmpEncoder, RefusesSizesAFileCannotState) {
  TempDir dir;
  // More than 4 GiB of rows: the 32-bit sizes of the headers would wrap.
  EXPECT_EQ(kexio::bmp_encoder((dir / "big.bmp").c_str(), 24, 70000, 70000).status(),
            kexio::kBadHeader);
}

}  // namespace
