// Reading BMP files through the entry class: pixel layout, depths, run-length
// rows, OS/2 headers, the factory's choices and every refusal.
#include <sys/stat.h>

#include "image/decode/open_decoder.h"
#include "image_support.h"
#include "kexio/host/services.h"

namespace {

using namespace image_test;
using kexio_test::str;

using Rows = std::vector<std::vector<double>>;

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

// The 2 x 2 picture with blue and green in its bottom row and red and white
// in its top row.
Bmp two_by_two() {
  Bmp b;
  b.width = 2;
  b.height = 2;
  b.pixel_data = stored_rows(24, {{0xFF0000, 0xFFFFFF}, {0x0000FF, 0x00FF00}});
  return b;
}

TEST_F(ImageRead, RowZeroIsTheTopAndPlanesSitSideBySide) {
  dir.write("a.bmp", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READRGB, "a.bmp"),
            (Rows{{255, 255, 0, 255, 0, 255}, {0, 0, 0, 255, 255, 0}}));
  EXPECT_EQ(read(&IO::READ_RED, "a.bmp"), (Rows{{255, 255}, {0, 0}}));
  EXPECT_EQ(read(&IO::READ_GREEN, "a.bmp"), (Rows{{0, 255}, {0, 255}}));
  EXPECT_EQ(read(&IO::READ_BLUE, "a.bmp"), (Rows{{0, 255}, {255, 0}}));
  // Grey: (299 R + 587 G + 114 B + 500) / 1000, truncated.
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.bmp"), (Rows{{76, 255}, {29, 150}}));
  EXPECT_EQ(read(&IO::READBMP, "a.bmp"), read(&IO::READ_IMAGE, "a.bmp"));
}

TEST_F(ImageRead, ColourSpaceFunctionsAgreeWithTheirOnePlaneForms) {
  Bmp b;
  b.width = 5;
  b.height = 3;
  b.pixel_data = stored_rows(24, {{0x102030, 0xFF8000, 0x00FF80, 0x808080, 0xFFFFFF},
                                  {0x000000, 0x123456, 0xABCDEF, 0xFF00FF, 0x0000FF},
                                  {0x7F7F00, 0x010203, 0xFEFDFC, 0x00FFFF, 0x334455}});
  dir.write("c.bmp", b.bytes());
  Rows rgb = read(&IO::READRGB, "c.bmp");
  Rows hls = read(&IO::READ_HLS, "c.bmp");
  Rows hsv = read(&IO::READ_HSV, "c.bmp");
  ASSERT_EQ(hls.size(), 3u);
  ASSERT_EQ(hls[0].size(), 15u);
  EXPECT_EQ(block(hls, 0, 5), read(&IO::READ_HLS_HUE, "c.bmp"));
  EXPECT_EQ(block(hls, 5, 5), read(&IO::READ_HLS_LIGHT, "c.bmp"));
  EXPECT_EQ(block(hls, 10, 5), read(&IO::READ_HLS_SAT, "c.bmp"));
  EXPECT_EQ(block(hsv, 0, 5), read(&IO::READ_HSV_HUE, "c.bmp"));
  EXPECT_EQ(block(hsv, 5, 5), read(&IO::READ_HSV_SAT, "c.bmp"));
  EXPECT_EQ(block(hsv, 10, 5), read(&IO::READ_HSV_VALUE, "c.bmp"));
  // Every component is the conversion of the pixel's own bytes.
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t x = 0; x < 5; ++x) {
      auto R = static_cast<unsigned char>(rgb[r][x]);
      auto G = static_cast<unsigned char>(rgb[r][5 + x]);
      auto B = static_cast<unsigned char>(rgb[r][10 + x]);
      double h, l, s, v;
      Kex::RGB_TO_HLS(R, G, B, &h, &l, &s);
      EXPECT_EQ(hls[r][x], h);
      EXPECT_EQ(hls[r][5 + x], l);
      EXPECT_EQ(hls[r][10 + x], s);
      Kex::RGB_TO_HSV(R, G, B, &h, &s, &v);
      EXPECT_EQ(hsv[r][x], h);
      EXPECT_EQ(hsv[r][5 + x], s);
      EXPECT_EQ(hsv[r][10 + x], v);
    }
  }
}

TEST_F(ImageRead, IndexedDepthsLookUpTheirPalette) {
  std::vector<Rgb> pal16;
  for (int i = 0; i < 16; ++i) {
    pal16.push_back({static_cast<std::uint8_t>(i * 16), static_cast<std::uint8_t>(255 - i),
                     static_cast<std::uint8_t>(i * 7)});
  }
  // Width 9 at 1 bit: two data bytes and two padding bytes per stored row,
  // so any other stride shifts the second row.
  Bmp one;
  one.width = 9;
  one.height = 2;
  one.bits = 1;
  one.palette = {{10, 20, 30}, {200, 210, 220}};
  one.pixel_data = stored_rows(1, {{1, 0, 0, 1, 1, 0, 1, 0, 1}, {0, 1, 1, 0, 0, 1, 0, 1, 1}});
  ASSERT_EQ(one.pixel_data.size(), 8u);
  dir.write("one.bmp", one.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "one.bmp"), (Rows{{200, 10, 10, 200, 200, 10, 200, 10, 200},
                                                  {10, 200, 200, 10, 10, 200, 10, 200, 200}}));

  // Odd width at 4 bits: the last low nibble is stored in the spare byte.
  Bmp four;
  four.width = 3;
  four.height = 2;
  four.bits = 4;
  four.palette = pal16;
  four.pixel_data = stored_rows(4, {{15, 0, 9}, {1, 2, 3}});
  dir.write("four.bmp", four.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "four.bmp"), (Rows{{240, 0, 144}, {16, 32, 48}}));
  EXPECT_EQ(read(&IO::READ_GREEN, "four.bmp"), (Rows{{240, 255, 246}, {254, 253, 252}}));

  // biClrUsed 0 at 8 bits means 256 entries.
  Bmp eight;
  eight.width = 2;
  eight.height = 1;
  eight.bits = 8;
  for (int i = 0; i < 256; ++i)
    eight.palette.push_back({static_cast<std::uint8_t>(i), 0, 0});
  eight.clr_used = 0;
  eight.pixel_data = stored_rows(8, {{255, 17}});
  dir.write("eight.bmp", eight.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "eight.bmp"), (Rows{{255, 17}}));
}

TEST_F(ImageRead, IndexBeyondThePaletteReadsBlack) {
  Bmp b;
  b.width = 3;
  b.height = 1;
  b.bits = 8;
  b.palette = {{1, 2, 3}, {4, 5, 6}};
  b.pixel_data = stored_rows(8, {{1, 200, 2}});
  dir.write("p.bmp", b.bytes());
  EXPECT_EQ(read(&IO::READRGB, "p.bmp"), (Rows{{4, 0, 0, 5, 0, 0, 6, 0, 0}}));
}

TEST_F(ImageRead, PaletteLengthWrapsAtSixteenBits) {
  // 16385 entries are 65540 bytes, kept to 16 bits: 4 bytes, one entry; the
  // pixel rows follow right after it.
  Bmp b;
  b.width = 2;
  b.height = 1;
  b.bits = 8;
  b.palette = {{9, 8, 7}};
  b.clr_used = 16385;
  b.pixel_data = stored_rows(8, {{0, 1}});
  dir.write("w.bmp", b.bytes());
  EXPECT_EQ(read(&IO::READRGB, "w.bmp"), (Rows{{9, 0, 8, 0, 7, 0}}));
}

TEST_F(ImageRead, PixelRowsStartAtTheEndOfThePalette) {
  Bmp b = two_by_two();
  b.off_bits = 400;  // ignored: the rows follow the headers directly
  dir.write("gap.bmp", b.bytes());
  EXPECT_EQ(read(&IO::READ_RED, "gap.bmp"), (Rows{{255, 255}, {0, 0}}));
}

TEST_F(ImageRead, Os2CoreHeader) {
  // 12-byte header, 8 bits: a palette of 256 three-byte entries (768 bytes).
  Bytes f = {'B', 'M'};
  put32(f, 0);
  put32(f, 0);
  put32(f, 14 + 12 + 768);
  put32(f, 12);
  put16(f, 3);
  put16(f, 2);
  put16(f, 1);
  put16(f, 8);
  for (int i = 0; i < 256; ++i) {
    f.push_back(static_cast<std::uint8_t>(i));        // blue
    f.push_back(static_cast<std::uint8_t>(255 - i));  // green
    f.push_back(static_cast<std::uint8_t>(i / 2));    // red
  }
  Bytes rows = stored_rows(8, {{0, 100, 255}, {7, 8, 9}});
  f.insert(f.end(), rows.begin(), rows.end());
  dir.write("os2.bmp", f);
  EXPECT_EQ(read(&IO::READRGB, "os2.bmp"),
            (Rows{{0, 50, 127, 255, 155, 0, 0, 100, 255}, {3, 4, 4, 248, 247, 246, 7, 8, 9}}));
}

// An RLE8 file of the given width whose rows (bottom row first) are coded by
// data.
Bmp rle(int width, int height, unsigned bits, Bytes data) {
  Bmp b;
  b.width = width;
  b.height = height;
  b.bits = bits;
  b.compression = bits == 8 ? 1 : 2;
  for (int i = 0; i < (bits == 8 ? 256 : 16); ++i)
    b.palette.push_back({static_cast<std::uint8_t>(i), 0, 0});
  b.pixel_data = std::move(data);
  return b;
}

TEST_F(ImageRead, RunLengthRows) {
  // Bottom row: a run of three 7s, then an absolute run 1 2 3 with its
  // padding byte; top row: five 9s, one more dropped past the width.
  dir.write("r8.bmp", rle(6, 2, 8, {3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 7, 9, 0, 0}).bytes());
  EXPECT_EQ(read(&IO::READ_RED, "r8.bmp"), (Rows{{9, 9, 9, 9, 9, 9}, {7, 7, 7, 1, 2, 3}}));

  // RLE4: a run of 4 alternates the two nibbles; an absolute run of 3
  // pixels takes two bytes (odd, so a padding byte follows).
  dir.write("r4.bmp", rle(7, 1, 4, {4, 0x12, 0, 3, 0xAB, 0xC0, 0, 0, 0, 0}).bytes());
  EXPECT_EQ(read(&IO::READ_RED, "r4.bmp"), (Rows{{1, 2, 1, 2, 10, 11, 12}}));

  // The end-of-bitmap code after the last row is never read; before it, the
  // bitmap ended early.
  dir.write("eob.bmp", rle(2, 1, 8, {2, 5, 0, 1}).bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "eob.bmp"), "file i/o error");
  dir.write("ok.bmp", rle(2, 1, 8, {2, 5, 0, 0, 0, 1}).bytes());
  EXPECT_EQ(read(&IO::READ_IMAGE, "ok.bmp"), (Rows{{1, 1}}));

  // Position jumps are an unsupported feature for the grey reader and a read
  // failure for the others.
  dir.write("delta.bmp", rle(4, 2, 8, {0, 2, 1, 1, 0, 0, 4, 1, 0, 0}).bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "delta.bmp"), "unknown file format");
  EXPECT_EQ(error_of(&IO::READRGB, "delta.bmp"), "file i/o error");
  EXPECT_EQ(error_of(&IO::READ_HSV, "delta.bmp"), "file i/o error");

  // Data that stops inside a row.
  dir.write("cut.bmp", rle(4, 2, 8, {4, 1, 0, 0, 2}).bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "cut.bmp"), "file i/o error");
}

TEST_F(ImageRead, HeadersThatAreRefused) {
  dir.write("text.bmp", "Bonjour, this is text and not a bitmap at all.\n");
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "text.bmp"), "not a packed image matrix");

  Bmp sixteen = two_by_two();
  sixteen.bits = 16;
  dir.write("16.bmp", sixteen.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "16.bmp"), "not a packed image matrix");

  Bytes v5 = two_by_two().bytes();
  v5[14] = 124;  // a later header version
  dir.write("v5.bmp", v5);
  EXPECT_EQ(error_of(&IO::READRGB, "v5.bmp"), "not a packed image matrix");

  // A stated palette with an unsupported depth: the colour readers refuse.
  Bmp thirty_two = two_by_two();
  thirty_two.bits = 32;
  thirty_two.palette = {{1, 1, 1}};
  thirty_two.pixel_data.resize(16);
  dir.write("32.bmp", thirty_two.bytes());
  EXPECT_EQ(error_of(&IO::READRGB, "32.bmp"), "file i/o error");
  EXPECT_EQ(error_of(&IO::READ_HLS_SAT, "32.bmp"), "file i/o error");

  Bmp bitfields = two_by_two();
  bitfields.compression = 3;
  dir.write("bf.bmp", bitfields.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "bf.bmp"), "file i/o error");

  // Top-down rows (negative height) and negative widths are not supported.
  Bmp top_down = two_by_two();
  top_down.height = -2;
  dir.write("td.bmp", top_down.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "td.bmp"), "unknown file format");
  Bmp negative = two_by_two();
  negative.width = -2;
  dir.write("nw.bmp", negative.bytes());
  EXPECT_EQ(error_of(&IO::READRGB, "nw.bmp"), "unknown file format");
}

TEST_F(ImageRead, SizesTheFileCannotHoldAreRefusedBeforeAllocating) {
  // Each of these would ask for gigabytes; they must fail at once.
  Bmp huge = two_by_two();
  huge.width = 60000;
  huge.height = 60000;
  dir.write("huge.bmp", huge.bytes());
  EXPECT_EQ(error_of(&IO::READRGB, "huge.bmp"), "file i/o error");

  Bmp wide = two_by_two();
  wide.width = 0x7FFFFFFF;
  wide.height = 1;
  dir.write("wide.bmp", wide.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "wide.bmp"), "file i/o error");

  Bmp rle_huge = rle(50000, 50000, 8, {0, 0, 0, 0, 0, 0});
  dir.write("rh.bmp", rle_huge.bytes());
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "rh.bmp"), "file i/o error");

  // A file cut in the middle of its pixel rows.
  Bytes cut = two_by_two().bytes();
  cut.resize(cut.size() - 3);
  dir.write("cut.bmp", cut);
  EXPECT_EQ(error_of(&IO::READ_GREEN, "cut.bmp"), "file i/o error");
  cut.resize(20);
  dir.write("cut2.bmp", cut);
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "cut2.bmp"), "file i/o error");

  // No pixels per row: an empty result of the stated height, at once.
  Bmp narrow = two_by_two();
  narrow.width = 0;
  narrow.height = 0x7FFFFFFF;
  narrow.bits = 1;
  narrow.palette = {{0, 0, 0}};
  narrow.pixel_data.clear();
  dir.write("n.bmp", narrow.bytes());
  Ref n = call(&IO::READRGB, "n.bmp");
  EXPECT_EQ(as_matrix(n)->get_Rows(), 0x7FFFFFFFu);
  EXPECT_EQ(as_matrix(n)->get_Cols(), 0u);

  // No rows: an empty result of the stated width, however wide.
  Bmp empty = two_by_two();
  empty.height = 0;
  empty.width = 0x7FFFFFFF;
  empty.pixel_data.clear();
  dir.write("e.bmp", empty.bytes());
  Ref v = call(&IO::READ_IMAGE, "e.bmp");
  EXPECT_EQ(as_matrix(v)->get_Rows(), 0u);
  EXPECT_EQ(as_matrix(v)->get_Cols(), 0x7FFFFFFFu);
}

TEST_F(ImageRead, FactoryChoosesByContent) {
  Bytes bmp = two_by_two().bytes();
  // Format decided by content, not by the extension.
  dir.write("bitmap.gif", bmp);
  EXPECT_EQ(read(&IO::READ_RED, "bitmap.gif"), (Rows{{255, 255}, {0, 0}}));

  dir.write("empty.bmp", Bytes{});
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "empty.bmp"), "file i/o error");
  dir.write("short.xyz", "hello");  // too short to sniff
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "short.xyz"), "file i/o error");
  dir.write("long.xyz", "hello, this is a longer text file");
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "long.xyz"), "unknown file format");

  // Formats whose decoders are not in this build.
  Bytes jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                0,    1,    1,    0,    0,    1,    0,   1,   0,   0};
  Bytes exif = jfif;
  std::copy_n("Exif", 4, exif.begin() + 6);
  Bytes tga = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 24, 0, 1, 2, 3, 4, 5, 6};
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, Bytes>>{{"a.jpg", jfif},
                                                  {"b.jpg", exif},
                                                  {"c.tga", tga},
                                                  {"d.gif", Bytes{'G', 'I', 'F', '8', '9', 'a'}},
                                                  {"e.pcx", Bytes{0x0A, 5, 1, 8}},
                                                  {"f.tif", Bytes{'I', 'I', 42, 0}},
                                                  {"g.ppm", Bytes{'P', '6', '\n', '1', ' ', '1'}},
                                                  {"h.pgm", Bytes{'P', '5', '\n'}}}) {
    dir.write(name, bytes);
    EXPECT_EQ(error_of(&IO::READ_IMAGE, name), "unknown file format") << name;
  }
}

TEST_F(ImageRead, LeadingByteAndNumberChooseTheFormatRow) {
  // Only the factory shows which row was chosen; PPM and PGM both report the
  // missing decoder, but a P with no number must not be mistaken for a
  // failure to read.
  dir.write("p.pnm", "P");
  std::unique_ptr<kexio::Decoder> d;
  EXPECT_EQ(kexio::open_decoder(nullptr, d, dir.file("p.pnm").c_str()), kexio::kUnknownFormat);
  EXPECT_EQ(kexio::sniff_jfif(dir.file("p.pnm").c_str()), kexio::kFileIoError);
  dir.write("t.tga", Bytes{0, 1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 8, 0});
  EXPECT_EQ(kexio::sniff_tga(dir.file("t.tga").c_str()), 0);
  dir.write("u.tga", Bytes{0, 2, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 8, 0});
  EXPECT_EQ(kexio::sniff_tga(dir.file("u.tga").c_str()), kexio::kUnknownFormat);
  dir.write("v.tga", Bytes{0, 1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 12, 0});
  EXPECT_EQ(kexio::sniff_tga(dir.file("v.tga").c_str()), kexio::kUnknownFormat);
}

TEST_F(ImageRead, NamesWithoutExtensionAreCompleted) {
  if (dir.path().find('.') != std::string::npos) GTEST_SKIP() << "temporary folder has a dot";
  dir.write("pic.gif", "GIF89a and more bytes");
  dir.write("pic.bmp", two_by_two().bytes());
  EXPECT_EQ(read(&IO::READ_RED, "pic"), (Rows{{255, 255}, {0, 0}}));
  dir.write("only.tga", two_by_two().bytes());  // the content decides the decoder
  EXPECT_EQ(read(&IO::READ_RED, "only"), (Rows{{255, 255}, {0, 0}}));
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "nothing"), "file open error");
  EXPECT_EQ(*kexio::complete_image_name((dir.path() + "/nothing").c_str()),
            dir.path() + "/nothing.pcx");
  EXPECT_EQ(*kexio::complete_image_name("a.b/c"), "a.b/c");
}

TEST_F(ImageRead, OpenFailures) {
  EXPECT_EQ(error_of(&IO::READ_IMAGE, "missing.bmp"), "file open error");
  EXPECT_EQ(error_of(&IO::READRGB, "no/such/folder/x.bmp"), "file open error");
  EXPECT_EQ(error_of(&IO::READ_HSV, "."), "file i/o error");  // a folder
  Raised r = raised([&] { IO::READ_IMAGE(dir.cwd(), str("gopher://host/x.bmp")); });
  EXPECT_NE(r.message.find("gopher"), std::string::npos) << r.message;
  EXPECT_EQ(r.index, Kex::kWholeCall);
  if (geteuid() != 0) {
    dir.write("locked.bmp", two_by_two().bytes());
    chmod(dir.file("locked.bmp").c_str(), 0);
    EXPECT_EQ(error_of(&IO::READ_IMAGE, "locked.bmp"), "permission denied");
  }
}

TEST_F(ImageRead, WhiteIsFullInEveryPlane) {
  Bmp b;
  b.width = 1;
  b.height = 1;
  b.bits = 1;
  b.palette = {{0, 0, 0}, {255, 255, 255}};
  b.pixel_data = stored_rows(1, {{1}});
  dir.write("w.bmp", b.bytes());
  for (Reader f : {&IO::READ_IMAGE, &IO::READ_RED, &IO::READ_GREEN, &IO::READ_BLUE,
                   &IO::READ_HLS_LIGHT, &IO::READ_HSV_VALUE}) {
    EXPECT_EQ(read(f, "w.bmp"), (Rows{{255}}));
  }
}

}  // namespace
