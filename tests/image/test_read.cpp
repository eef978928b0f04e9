// Reading pictures through the entry class: BMP palettes, run-length rows,
// the choice of decoder and every refusal; files of every format built byte
// by byte, and of other writers compared with other decoders.
#include <thread>

#include "image_support.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

using ImageRead = ImageTest;
// A refusal of the call as a whole.
Raised whole(const char* message) {
  return {message, Kex::kWholeCall};
}

bool have_cjpeg() {
  return kexio_test::have_python("PIL") && access("/usr/bin/cjpeg", X_OK) == 0;
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
  const bool pil = kexio_test::have_python("PIL"), im = have_imagemagick();
  const int gif_others = !pil ? 0 : im ? 34 : 7;
  const struct {
    const char *script, *ext;
    bool runs;
    int built, refused, others;
    std::size_t kinds;
  } cases[] = {
      {"references.py bmp_cases", ".bmp", true, 15, 0, 0, 1},
      {"references.py samples", ".bmp", pil, 0, 0, im ? 34 : 10, 1},
      {"references.py png_cases", ".png", true, 9, 16, 0, 1},
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
    std::thread writer =
        kexio_test::feed_fifo(dir.file(c.name), std::string(c.bytes.begin(), c.bytes.end()));
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

}  // namespace
