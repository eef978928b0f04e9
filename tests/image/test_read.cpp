// Reading BMP files through the entry class: pixel layout, colour spaces,
// palettes, run-length rows, the choice of decoder and every refusal; and
// the pixels of every depth compared with other decoders.
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "image_support.h"
#include "kexio/host/services.h"

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

TEST_F(ImageRead, RowZeroIsTheTopAndPlanesSitSideBySide) {
  dir.write("a.bmp", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READRGB, "a.bmp"),
            (Rows{{255, 255, 0, 255, 0, 255}, {0, 0, 0, 255, 255, 0}}));
  EXPECT_EQ(read(&IO::READ_RED, "a.bmp"), kTwoByTwoRed);
  EXPECT_EQ(read(&IO::READ_GREEN, "a.bmp"), (Rows{{0, 255}, {0, 255}}));
  EXPECT_EQ(read(&IO::READ_BLUE, "a.bmp"), (Rows{{0, 255}, {255, 0}}));
  // Grey: (299 R + 587 G + 114 B + 500) / 1000, truncated.
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.bmp"), (Rows{{76, 255}, {29, 150}}));
  EXPECT_EQ(read(&IO::READBMP, "a.bmp"), read(&IO::READ_IMAGE, "a.bmp"));
}

TEST_F(ImageRead, ColourSpacesConvertEachPixelAndSplitIntoPlanes) {
  const Pixels px = {{0x102030, 0xFF8000, 0x00FF80, 0x808080, 0xFFFFFF},
                     {0x000000, 0x123456, 0xABCDEF, 0xFF00FF, 0x0000FF},
                     {0x7F7F00, 0x010203, 0xFEFDFC, 0x00FFFF, 0x334455}};
  dir.write("c.bmp", picture(24, px).bytes());
  using Convert = void (*)(unsigned char, unsigned char, unsigned char, double*, double*, double*);
  const struct {
    Reader all, plane[3];
    Convert convert;
  } spaces[] = {
      {&IO::READ_HLS, {&IO::READ_HLS_HUE, &IO::READ_HLS_LIGHT, &IO::READ_HLS_SAT}, Kex::RGB_TO_HLS},
      {&IO::READ_HSV, {&IO::READ_HSV_HUE, &IO::READ_HSV_SAT, &IO::READ_HSV_VALUE}, Kex::RGB_TO_HSV},
  };
  for (const auto& s : spaces) {
    Rows all = read(s.all, "c.bmp");
    Rows want(3, std::vector<double>(15));
    for (std::size_t y = 0; y < 3; ++y) {
      for (std::size_t x = 0; x < 5; ++x) {
        std::uint32_t v = px[y][x];
        s.convert(v >> 16, v >> 8 & 0xFF, v & 0xFF, &want[y][x], &want[y][5 + x], &want[y][10 + x]);
      }
    }
    EXPECT_EQ(all, want);
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(read(s.plane[k], "c.bmp"), block(all, 5 * k, 5)) << k;
  }
}

// The depths themselves are read in the comparison with other decoders
// below; these are the palette's odd cases.
TEST_F(ImageRead, PaletteQuirks) {
  // biClrUsed 0 at 8 bits means 256 entries.
  Bmp eight = picture(8, {{255, 17}});
  for (int i = 0; i < 256; ++i)
    eight.palette.push_back({static_cast<std::uint8_t>(i), 0, 0});
  eight.clr_used = 0;
  dir.write("eight.bmp", eight.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "eight.bmp"), (Rows{{255, 17}}));

  // An index beyond the palette reads black.
  dir.write("p.bmp", picture(8, {{1, 200, 2}}, {{1, 2, 3}, {4, 5, 6}}).bytes());
  EXPECT_EQ(read(&IO::READRGB, "p.bmp"), (Rows{{4, 0, 0, 5, 0, 0, 6, 0, 0}}));

  // 16385 entries are 65540 bytes, kept to 16 bits: 4 bytes, one entry; the
  // pixel rows follow right after it.
  Bmp wraps = picture(8, {{0, 1}}, {{9, 8, 7}});
  wraps.clr_used = 16385;
  dir.write("w.bmp", wraps.bytes());
  EXPECT_EQ(read(&IO::READRGB, "w.bmp"), (Rows{{9, 0, 8, 0, 7, 0}}));

  // bfOffBits is ignored: the rows follow the headers directly.
  Bmp gap = two_by_two();
  gap.off_bits = 400;
  dir.write("gap.bmp", gap.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "gap.bmp"), kTwoByTwoRed);
}

TEST_F(ImageRead, RunLengthRows) {
  // Bottom row: a run of three 7s, then an absolute run 1 2 3 with its
  // padding byte; top row: five 9s, one more dropped past the width.
  dir.write("r8.bmp", rle(6, 2, 8, {3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 7, 9, 0, 0}));
  EXPECT_EQ(read(&IO::READ_RED, "r8.bmp"), (Rows{{9, 9, 9, 9, 9, 9}, {7, 7, 7, 1, 2, 3}}));
  // RLE4: a run of 4 alternates the two nibbles; absolute runs of 3 and 5
  // pixels take 2 and 3 bytes, the 3 padded to an even count.
  dir.write(
      "r4.bmp",
      rle(12, 2, 4, {4, 0x12, 0, 3, 0xAB, 0xC0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 12, 0x99, 0, 0}));
  EXPECT_EQ(read(&IO::READ_RED, "r4.bmp"),
            (Rows{std::vector<double>(12, 9), {1, 2, 1, 2, 10, 11, 12, 1, 2, 3, 4, 5}}));
  // The end-of-bitmap code after the last row is never read.
  dir.write("ok.bmp", rle(2, 1, 8, {2, 5, 0, 0, 0, 1}));
  EXPECT_EQ(read(&IO::READ_IMAGE, "ok.bmp"), (Rows{{1, 1}}));
  // Position jumps are an unsupported feature for the grey reader and a read
  // failure for the others.
  dir.write("delta.bmp", rle(4, 2, 8, {0, 2, 1, 1, 0, 0, 4, 1, 0, 0}));
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "delta.bmp"), "unknown file format");
  EXPECT_EQ(error_of(&IO::READRGB, "delta.bmp"), "file i/o error");
  EXPECT_EQ(error_of(&IO::READ_HSV, "delta.bmp"), "file i/o error");
}

TEST_F(ImageRead, RefusedFiles) {
  const char* const bad_matrix = "not a packed image matrix";
  const char* const io_error = "file i/o error";
  const char* const unknown = "unknown file format";
  Bytes v5 = two_by_two().bytes();
  v5[14] = 124;  // a later header version
  Bytes cut = two_by_two().bytes();
  cut.resize(cut.size() - 3);
  Bytes depth32 = Bmp{.bits = 32, .palette = {{1, 1, 1}}, .pixel_data = Bytes(4)}.bytes();
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const struct {
    std::string name;
    Bytes bytes;
    Reader f;
    const char* message;
  } cases[] = {
      {"text.bmp", text("Bonjour, this is text and not a bitmap at all.\n"), &IO::READ_IMAGE,
       bad_matrix},
      {"16.bmp", Bmp{.bits = 16, .pixel_data = Bytes(4)}.bytes(), &IO::READ_IMAGE, bad_matrix},
      {"v5.bmp", v5, &IO::READRGB, bad_matrix},
      // A stated palette with an unsupported depth: the colour readers refuse.
      {"32.bmp", depth32, &IO::READRGB, io_error},
      {"32.bmp", depth32, &IO::READ_HLS_SAT, io_error},
      {"bf.bmp", Bmp{.compression = 3, .pixel_data = Bytes(4)}.bytes(), &IO::READ_IMAGE, io_error},
      // Top-down rows (negative height) and negative widths.
      {"td.bmp", Bmp{.height = -1, .pixel_data = Bytes(4)}.bytes(), &IO::READ_IMAGE, unknown},
      {"nw.bmp", Bmp{.width = -1, .pixel_data = Bytes(4)}.bytes(), &IO::READRGB, unknown},
      // Sizes the file cannot hold would ask for gigabytes: they fail at once.
      {"huge.bmp", Bmp{.width = 60000, .height = 60000}.bytes(), &IO::READRGB, io_error},
      {"wide.bmp", Bmp{.width = 0x7FFFFFFF}.bytes(), &IO::READ_IMAGE, io_error},
      {"rh.bmp", rle(50000, 50000, 8, {0, 0, 0, 0, 0, 0}), &IO::READ_IMAGE, io_error},
      // Files cut short: in the pixel rows, in the headers, in run-length
      // rows, and run-length data that ends the bitmap early.
      {"cut.bmp", cut, &IO::READ_GREEN, io_error},
      {"cut2.bmp", Bytes(cut.begin(), cut.begin() + 20), &IO::READ_IMAGE, io_error},
      {"rcut.bmp", rle(4, 2, 8, {4, 1, 0, 0, 2}), &IO::READ_IMAGE, io_error},
      {"eob.bmp", rle(2, 1, 8, {2, 5, 0, 1}), &IO::READ_IMAGE, io_error},
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

TEST_F(ImageRead, OpenFailures) {
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "missing.bmp"), "file open error");
  EXPECT_EQ(error_of(&IO::READRGB, "no/such/folder/x.bmp"), "file open error");
  EXPECT_EQ(error_of(&IO::READ_HSV, "."), "file i/o error");  // a folder
  EXPECT_NE(error_of(&IO::READ_IMAGE, "gopher://host/x.bmp").find("gopher"), std::string::npos);
  if (geteuid() != 0) {
    dir.write("locked.bmp", two_by_two().bytes());
    chmod(dir.file("locked.bmp").c_str(), 0);
    EXPECT_EQ(error_of(&IO::READ_IMAGE, "locked.bmp"), "permission denied");
  }
}

// Differential reading: BMP files of every depth and compression written by
// Pillow, ImageMagick and the script's own run-length encoder, read by us and
// by Pillow and ImageMagick; the pixels must agree exactly.
TEST(ImageReference, PixelsMatchPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  TempDir dir;
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/references.py samples '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream manifest(dir.file("manifest"));
  std::string name;
  std::size_t w = 0, h = 0;
  int compared = 0;
  while (manifest >> name >> w >> h) {
    SCOPED_TRACE(name);
    const std::string file = name + ".bmp";
    auto read = [&](Reader f) { return rows_of(f(dir.cwd(), str(file))); };
    Rows rgb = read(&IO::READRGB), grey = read(&IO::READ_IMAGE);
    // The one-plane readers give the blocks of the three-plane result.
    EXPECT_EQ(read(&IO::READ_RED), block(rgb, 0, w));
    EXPECT_EQ(read(&IO::READ_GREEN), block(rgb, w, w));
    EXPECT_EQ(read(&IO::READ_BLUE), block(rgb, 2 * w, w));
    EXPECT_EQ(read(&IO::READ_HSV_VALUE), block(read(&IO::READ_HSV), 2 * w, w));
    for (const char* tool : {".pil", ".im"}) {
      Bytes ref = dir.read(file + tool);
      if (ref.empty()) continue;
      ++compared;
      ASSERT_EQ(ref.size(), 3 * w * h) << tool;
      Rows want = planes_of(ref, w);
      EXPECT_EQ(rgb, want) << tool;
      for (auto& row : want) {
        for (std::size_t x = 0; x < w; ++x)
          row[x] =
              std::floor((299 * row[x] + 587 * row[w + x] + 114 * row[2 * w + x] + 500) / 1000);
        row.resize(w);
      }
      EXPECT_EQ(grey, want) << tool;
    }
  }
  EXPECT_GE(compared, have_imagemagick() ? 15 : 4);
}

}  // namespace
