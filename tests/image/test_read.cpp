// Reading BMP files through the entry class: palettes, run-length rows, the
// choice of decoder and every refusal; and the pixels of every depth
// compared with other decoders.
#include <sys/stat.h>

#include "image_support.h"
#include "references.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

class ImageRead : public ::testing::Test {
 protected:
  TempDir dir;
  Ref call(Reader f, const std::string& name) { return f(dir.cwd(), str(name)); }
  Rows read(Reader f, const std::string& name) { return rows_of(call(f, name)); }
  std::string error_of(Reader f, const std::string& name) {
    Raised r = raised([&] { call(f, name); });
    EXPECT_EQ(r.index, Kex::kWholeCall) << name;
    return r.message;
  }
};

// Red and white in the top row, blue and green in the bottom row.
const Bytes kTwoByTwoRows = stored_rows(24, {{0xFF0000, 0xFFFFFF}, {0x0000FF, 0x00FF00}});
Bmp two_by_two() {
  return {.width = 2, .height = 2, .pixel_data = kTwoByTwoRows};
}
const Rows kTwoByTwoRed = {{255, 255}, {0, 0}};

// A run-length file of 8 or 4 bits whose palette entry i is red i; data
// codes the rows, bottom row first.
Bytes rle(int width, int height, unsigned bits, Bytes data) {
  std::vector<Rgb> palette;
  for (int i = 0; i < (1 << bits); ++i)
    palette.push_back({static_cast<std::uint8_t>(i), 0, 0});
  return Bmp{width, height, bits, bits == 8 ? 1u : 2u, palette, std::move(data)}.bytes();
}

// references.py bmp_cases builds files byte by byte: the palette's odd
// cases, bit fields, headers of other sizes and run-length rows, each with
// the pixels it must read as. (The depths themselves, and the layouts that
// Pillow and ImageMagick files show, are in the comparison with other
// decoders below.)
TEST_F(ImageRead, BuiltFilesReadAsTheyWereMade) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  ASSERT_TRUE(run_script("references.py bmp_cases", {dir.path().string()}));
  EXPECT_EQ(compare_manifest(dir, ".bmp").by_tool[".rgb"], 15);
}

TEST_F(ImageRead, RunLengthPositionJumps) {
  // Position jumps are an unsupported feature for the grey reader and a read
  // failure for the others, in small and large pictures alike.
  Bytes jumps;
  for (int i = 0; i < 480; ++i)
    jumps.insert(jumps.end(), {0, 2, 1, 1, 0, 0});
  dir.write("delta.bmp", rle(4, 2, 8, {0, 2, 1, 1, 0, 0, 4, 1, 0, 0}));
  dir.write("delta2.bmp", rle(640, 480, 8, jumps));
  for (const char* name : {"delta.bmp", "delta2.bmp"}) {
    EXPECT_EQ(error_of(&IO::READ_IMAGE, name), "unknown file format");
    EXPECT_EQ(error_of(&IO::READRGB, name), "file i/o error");
    EXPECT_EQ(error_of(&IO::READ_HSV, name), "file i/o error");
  }
}

TEST_F(ImageRead, RefusedFiles) {
  const char* const bad_matrix = "not a packed image matrix";
  const char* const io_error = "file i/o error";
  const char* const unknown = "unknown file format";
  Bytes v100 = two_by_two().bytes();
  v100[14] = 100;  // no header has this size
  Bytes cut = two_by_two().bytes();
  cut.resize(cut.size() - 3);
  // Run-length data at 32 bits is no bit-field picture.
  Bytes depth32 =
      Bmp{.bits = 32, .compression = 1, .palette = {{1, 1, 1}}, .pixel_data = {0, 0}}.bytes();
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const struct {
    std::string name;
    Bytes bytes;
    Reader f;
    const char* message;
  } cases[] = {
      {"text.bmp", text("Bonjour, this is text and not a bitmap at all.\n"), &IO::READ_IMAGE,
       bad_matrix},
      {"16.bmp", Bmp{.bits = 16, .compression = 1, .pixel_data = {0, 0}}.bytes(), &IO::READ_IMAGE,
       bad_matrix},
      {"v100.bmp", v100, &IO::READRGB, bad_matrix},
      // A stated palette with an unsupported depth: the colour readers refuse.
      {"32.bmp", depth32, &IO::READRGB, io_error},
      {"32.bmp", depth32, &IO::READ_HLS_SAT, io_error},
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
      // The factory: empty files, files too short to sniff, and content that
      // is no image.
      {"empty.bmp", {}, &IO::READ_IMAGE, io_error},
      {"short.xyz", text("hello"), &IO::READ_IMAGE, io_error},
      {"long.xyz", text("hello, this is a longer text file"), &IO::READ_IMAGE, unknown},
  };
  for (const auto& c : cases) {
    dir.write(c.name, c.bytes);
    EXPECT_EQ(error_of(c.f, c.name), c.message) << c.name;
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

TEST_F(ImageRead, ContentChoosesTheDecoderAndNamesWithoutExtensionAreCompleted) {
  EXPECT_EQ(error_of(&IO::READ_HSV, "."), "file i/o error");  // a folder
  dir.write("bitmap.gif", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READ_RED, "bitmap.gif"), kTwoByTwoRed);
  if (dir.path().string().find('.') != std::string::npos) {
    GTEST_SKIP() << "temporary folder has a dot";
  }
  dir.write("pic.gif", "GIF89a and more bytes"s);
  dir.write("pic.bmp", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READ_RED, "pic"), kTwoByTwoRed);
  dir.write("only.tga", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READ_RED, "only"), kTwoByTwoRed);
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "nothing"), "file open error");
  // A dot anywhere in the name, even in a folder's name, keeps it as given.
  std::filesystem::create_directory(dir.path() / "d.x");
  dir.write("d.x/pic.bmp", two_by_two().bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "d.x/pic"), "file open error");
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

// BMP files of every depth, compression and header written by Pillow,
// ImageMagick and the reference script, read by us and by both tools.
TEST(ImageReference, PixelsMatchPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  EXPECT_GE(compare_with_references("references.py samples", ".bmp").count(),
            have_imagemagick() ? 37 : 11);
}

}  // namespace
