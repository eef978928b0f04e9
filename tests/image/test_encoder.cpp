// The bytes of written BMP files: headers, strides, padding, palettes and
// the packing of 1- and 4-bit rows.
#include <cmath>
#include <limits>

#include "image/encode/bmp_encoder.h"
#include "image_support.h"

namespace {

using namespace image_test;
using kexio_test::mat;
using kexio_test::str;

struct Header {
  std::uint32_t size, off_bits, info_size, clr_used, size_image;
  std::int32_t width, height;
  unsigned bits, planes, compression;
};

Header header_of(const Bytes& f) {
  EXPECT_GE(f.size(), 54u);
  EXPECT_EQ(f[0], 'B');
  EXPECT_EQ(f[1], 'M');
  return {get32(f, 2),
          get32(f, 10),
          get32(f, 14),
          get32(f, 46),
          get32(f, 34),
          static_cast<std::int32_t>(get32(f, 18)),
          static_cast<std::int32_t>(get32(f, 22)),
          get16(f, 28),
          get16(f, 26),
          get32(f, 30)};
}

TEST(ImageEncode, GreyMatrixBytes) {
  TempDir dir;
  IO::WRITEBMP(dir.cwd(), str("g.bmp"), mat({{0, 127.5, 255}, {1, 2, 3}}));
  Bytes f = dir.read("g.bmp");
  Header h = header_of(f);
  EXPECT_EQ(h.off_bits, 1078u);
  EXPECT_EQ(h.size, 1086u);
  EXPECT_EQ(f.size(), 1086u);
  EXPECT_EQ(h.info_size, 40u);
  EXPECT_EQ(h.width, 3);
  EXPECT_EQ(h.height, 2);
  EXPECT_EQ(h.bits, 8u);
  EXPECT_EQ(h.planes, 1u);
  EXPECT_EQ(h.compression, 0u);
  EXPECT_EQ(h.size_image, 8u);
  EXPECT_EQ(h.clr_used, 256u);
  EXPECT_EQ(get32(f, 6), 0u);  // reserved words
  EXPECT_EQ(get32(f, 38), 0u);
  EXPECT_EQ(get32(f, 42), 0u);
  EXPECT_EQ(get32(f, 50), 0u);
  for (unsigned k = 0; k < 256; ++k) {
    ASSERT_EQ(get32(f, 54 + 4 * k), k | k << 8 | k << 16) << "palette entry " << k;
  }
  // Bottom row first, each padded to four bytes; 127.5 rounds up.
  EXPECT_EQ(Bytes(f.begin() + 1078, f.end()), (Bytes{1, 2, 3, 0, 0, 128, 255, 0}));

  IO::WRITEBMP(dir.cwd(), str("s.bmp"), mat({{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}));
  Header s = header_of(dir.read("s.bmp"));
  EXPECT_EQ(s.size_image, 16u);
  EXPECT_EQ(s.size, 1094u);
}

TEST(ImageEncode, ValuesRoundHalfUpAndWrapModulo256) {
  TempDir dir;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  IO::WRITEBMP(
      dir.cwd(), str("w.bmp"),
      mat({{255.5, 256, -1, -0.5, -0.6, 0.49999, 511.7, -256.5, 1e12 + 3, -3000000001, nan, inf}}));
  Bytes f = dir.read("w.bmp");
  EXPECT_EQ(Bytes(f.begin() + 1078, f.end()),
            (Bytes{0, 0, 255, 0, 255, 0, 0, 0, static_cast<std::uint8_t>(1000000000003 % 256), 255,
                   0, 0}));
  // The same rule for each colour plane.
  IO::WRITERGB(dir.cwd(), str("c.bmp"), mat({{-1, 300.2, 2.5}}));
  Bytes c = dir.read("c.bmp");
  EXPECT_EQ(Bytes(c.begin() + 54, c.end()), (Bytes{3, 44, 255, 0}));  // blue, green, red, pad
}

TEST(ImageEncode, ColourFileOfWidthOne) {
  TempDir dir;
  IO::WRITERGB(dir.cwd(), str("one.bmp"), mat({{10, 20, 30}, {40, 50, 60}}));
  Bytes f = dir.read("one.bmp");
  Header h = header_of(f);
  EXPECT_EQ(h.bits, 24u);
  EXPECT_EQ(h.clr_used, 0u);
  EXPECT_EQ(h.off_bits, 54u);
  EXPECT_EQ(h.size_image, 8u);
  EXPECT_EQ(h.size, 62u);
  EXPECT_EQ(Bytes(f.begin() + 54, f.end()), (Bytes{60, 50, 40, 0, 30, 20, 10, 0}));
}

TEST(ImageEncode, IndexedRowsPackFromTheHighBit) {
  TempDir dir;
  {
    kexio::bmp_encoder e(dir.file("b1.bmp").c_str(), 1, 1, 9);
    ASSERT_EQ(e.status(), 0);
    e.palette[4] = e.palette[5] = e.palette[6] = 255;
    e.write_palette();
    const std::uint8_t px[9] = {1, 0, 0, 7, 1, 0, 0, 0, 200};  // any non-zero is set
    for (int i = 0; i < 9; ++i)
      e.row_byte(i) = px[i];
    EXPECT_EQ(e.write_row(), 0);
    e.finish();
    EXPECT_EQ(e.status(), 0);
  }
  Bytes b1 = dir.read("b1.bmp");
  Header h1 = header_of(b1);
  EXPECT_EQ(h1.clr_used, 2u);
  EXPECT_EQ(h1.off_bits, 62u);
  EXPECT_EQ(Bytes(b1.begin() + 62, b1.end()), (Bytes{0x98, 0x80, 0, 0}));
  EXPECT_EQ(as_matrix(IO::READ_IMAGE(dir.cwd(), str("b1.bmp")))->get_real(0, 3), 255.0);

  {
    kexio::bmp_encoder e(dir.file("b4.bmp").c_str(), 4, 1, 3);
    ASSERT_EQ(e.status(), 0);
    e.write_palette();
    e.row_byte(0) = 1;
    e.row_byte(1) = 2;
    e.row_byte(2) = 15;
    e.write_row();
    e.finish();
  }
  Bytes b4 = dir.read("b4.bmp");
  EXPECT_EQ(header_of(b4).off_bits, 54u + 64u);
  EXPECT_EQ(Bytes(b4.begin() + 118, b4.end()), (Bytes{0x12, 0xF0, 0, 0}));
}

TEST(ImageEncode, RefusalsAtConstruction) {
  TempDir dir;
  {
    kexio::bmp_encoder e(dir.file("d16.bmp").c_str(), 16, 2, 2);
    EXPECT_EQ(e.status(), kexio::kBadHeader);
  }
  EXPECT_TRUE(std::filesystem::exists(dir.file("d16.bmp")));
  EXPECT_EQ(std::filesystem::file_size(dir.file("d16.bmp")), 0u);

  kexio::bmp_encoder missing(dir.file("no/such/x.bmp").c_str(), 8, 1, 1);
  EXPECT_EQ(missing.status(), kexio::kFileIoError);
  EXPECT_EQ(missing.open_errno(), ENOENT);

  // Sizes a BMP file cannot state.
  kexio::bmp_encoder big(dir.file("big.bmp").c_str(), 24, 100000, 100000);
  EXPECT_EQ(big.status(), kexio::kBadHeader);

  // Writing past the row buffer is recorded, and nothing more is written.
  {
    kexio::bmp_encoder e(dir.file("oob.bmp").c_str(), 8, 2, 2);
    e.write_palette();
    e.row_byte(2) = 1;
    EXPECT_EQ(e.write_row(), kexio::kIndexOutOfBounds);
    e.finish();
  }
  EXPECT_LT(dir.read("oob.bmp").size(), 1078u + 8u);
}

}  // namespace
