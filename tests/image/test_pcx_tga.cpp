// Reading PCX and TGA files through the entry class: small files built byte
// by byte for every kind of picture, coding and order the formats allow,
// every refusal, and other encoders' files read as other decoders read them.
#include "references.h"

namespace {

using namespace image_test;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian 16-bit fields at the given offsets of b.
void put16(Bytes& b, std::initializer_list<std::pair<int, int>> fields) {
  for (auto [at, v] : fields)
    b[at] = std::uint8_t(v), b[at + 1] = std::uint8_t(v >> 8);
}

// A PCX file: the header (window from (10, 3); header palette entry k is
// red 10 k + 1, green 200, blue 100), the coded lines, then tail.
Bytes pcx(int bits, int planes, int w, int h, int bpl, const Bytes& lines, const Bytes& tail = {}) {
  Bytes b(128);
  b[0] = 10, b[1] = 5, b[2] = 1, b[3] = std::uint8_t(bits), b[65] = std::uint8_t(planes);
  put16(b, {{4, 10}, {6, 3}, {8, 9 + w}, {10, 2 + h}, {66, bpl}});
  for (int k = 0; k < 16; ++k)
    b[16 + 3 * k] = std::uint8_t(10 * k + 1), b[17 + 3 * k] = 200, b[18 + 3 * k] = 100;
  return b + lines + tail;
}

// A marker byte and 256 colours, entry i = (i, 255 - i, i / 2).
Bytes vga(std::uint8_t marker) {
  Bytes b = {marker};
  for (int i = 0; i < 256; ++i)
    b.insert(b.end(), {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)});
  return b;
}

// A TGA file; a colour map of entries of entry_bits (its length from its
// bytes) makes it colour-mapped.
Bytes tga(int type, int depth, int w, int h, int descriptor, const Bytes& data,
          const Bytes& map = {}, int entry_bits = 24, const Bytes& id = {}, int first = 0) {
  Bytes b(18);
  b[0] = std::uint8_t(id.size()), b[1] = !map.empty(), b[2] = std::uint8_t(type);
  b[7] = std::uint8_t(entry_bits), b[16] = std::uint8_t(depth), b[17] = std::uint8_t(descriptor);
  int entry_bytes = entry_bits == 32 ? 4 : entry_bits == 24 ? 3 : 2;
  put16(b, {{3, first}, {5, int(map.size()) / entry_bytes}, {12, w}, {14, h}});
  return b + id + map + data;
}

// Stored blue, green, red bytes of 0xRRGGBB pixels.
Bytes bgr(std::initializer_list<std::uint32_t> px) {
  Bytes b;
  for (std::uint32_t v : px)
    b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
  return b;
}

constexpr std::uint32_t W = 0xFFFFFF, R = 0xFF0000, G = 0x00FF00, B = 0x0000FF;

class PcxTgaRead : public ::testing::Test {
 protected:
  TempDir dir;
  // Each file's READRGB, for rows of 0xRRGGBB pixels.
  void expect_pixels(const std::vector<std::tuple<std::string, Bytes, Pixels>>& cases) {
    for (const auto& [name, bytes, want] : cases) {
      Bytes px;
      for (const auto& row : want) {
        for (std::uint32_t v : row)
          px.insert(px.end(), {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
      }
      dir.write(name, bytes);
      EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str(name))), planes_of(px, want[0].size())) << name;
    }
  }
};

TEST_F(PcxTgaRead, PcxDepthsPalettesAndRuns) {
  const Bytes rgb_lines = {10,   20,   0xC2, 30, 40, 0xC2, 50, 60, 0,  // runs across planes
                           0xCF, 7,  // 15 bytes, 6 of them past the line (dropped)
                           0xC0, 0x55, 0xC1, 1,  2,  0xC7, 3};  // 0xC0 repeats nothing, 0xC1 once
  const Bytes runs = {0xC5, 7, 1, 2, 3};                        // 5 bytes in a line of 3
  const Pixels vga_px = {{0x07F803, 0x07F803}, {0x01FE00, 0x02FD01}};
  expect_pixels({
      // One bit: black and white, not the header's colours.
      {"bw.pcx",
       pcx(1, 1, 10, 2, 2, {0xB0, 0x40, 0xC2, 0xFF}),
       {{W, 0, W, W, 0, 0, 0, 0, 0, W}, std::vector<std::uint32_t>(10, W)}},
      // Two and four bits: greys of the header palette's red bytes.
      {"two.pcx",
       pcx(2, 1, 5, 1, 2, {0x1B, 0xC1, 0xC0}),
       {{0x010101, 0x0B0B0B, 0x151515, 0x1F1F1F, 0x1F1F1F}}},
      {"four.pcx", pcx(4, 1, 3, 1, 2, {0x5A, 0xC1, 0xF0}), {{0x333333, 0x656565, 0x979797}}},
      // Eight bits: the colours after the marker at the end, whatever the
      // marker; a run past a line's end (and padding) is not carried on.
      {"vga.pcx", pcx(8, 1, 2, 2, 3, runs, vga(12)), vga_px},
      {"vga0.pcx", pcx(8, 1, 2, 2, 3, runs, vga(0)), vga_px},
      // A file shorter than that palette takes it from after the header,
      // bytes past the end being 255.
      {"short.pcx", pcx(8, 1, 1, 1, 1, {5}), {{W}}},
      {"rgb.pcx",
       pcx(8, 3, 2, 3, 3, rgb_lines),
       {{0x0A1E32, 0x14283C}, {0x070707, 0x070707}, {0x010303, 0x020303}}},
  });
}

TEST_F(PcxTgaRead, TgaTypesDepthsMapsAndOrders) {
  // Stored rows R G, then B W: bottom-up unless bit 5 is set, each row right
  // to left when bit 4 is.
  const Bytes rgbw = bgr({R, G, B, W});
  Bytes raw128 = {0x7F};  // a raw packet of 128 grey pixels 0 .. 127
  std::vector<std::uint32_t> ramp, runs(128, 0x102030);
  for (std::uint8_t i = 0; i < 128; ++i)
    raw128.push_back(i), ramp.push_back(i);
  runs.insert(runs.end(), {0x405060, 0x708090});
  expect_pixels({
      {"rl.tga", tga(2, 24, 2, 2, 0x10, rgbw), {{W, B}, {G, R}}},
      {"tdrl.tga", tga(2, 24, 2, 2, 0x30, rgbw), {{G, R}, {W, B}}},
      // 16 bits: 5-bit components moved up by three, the top bit ignored;
      // 32 bits: the fourth byte ignored; grey bytes are blue.
      {"p16.tga",
       tga(2, 16, 4, 1, 0, {0xFF, 0x7F, 0, 0x7C, 0xE0, 3, 0x1F, 0x80}),
       {{0xF8F8F8, 0xF80000, 0x00F800, 0x0000F8}}},
      {"p32.tga", tga(2, 32, 1, 1, 0, {1, 2, 3, 4}), {{0x030201}}},
      {"grey.tga", tga(3, 8, 2, 1, 0, {200, 7}), {{200, 7}}},
      // Run-length packets of up to 128 pixels, runs and raw.
      {"rle24.tga",
       tga(10, 24, 130, 1, 0, Bytes{0xFF} + bgr({0x102030}) + Bytes{1} + bgr({0x405060, 0x708090})),
       {runs}},
      {"rle8.tga",
       tga(11, 8, 128, 2, 0x20, raw128 + Bytes{0xFF, 9}),
       {ramp, std::vector<std::uint32_t>(128, 9)}},
      // Colour maps of 24, 15 and 32 bits, indexed from 0 whatever the first
      // entry says (5); an index past the map is black; 5-bit components
      // stay 0 .. 31; identification fields of any length.
      {"map24.tga",
       tga(1, 8, 4, 1, 0, {2, 0, 1, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 24, {'h'}, 5),
       {{0x090807, 0x030201, 0x060504, 0}}},
      {"map15.tga",
       tga(9, 8, 3, 1, 0, {0x81, 1, 0x00, 0}, {0xFF, 0x7F, 0xE0, 0x03}, 15),
       {{0x001F00, 0x001F00, 0x1F1F1F}}},
      {"map32.tga", tga(1, 8, 1, 1, 0, {0}, {10, 20, 30, 40}, 32, Bytes(255, 'x')), {{0x1E140A}}},
  });
}

TEST_F(PcxTgaRead, Refusals) {
  const char* const io_error = "file i/o error";
  const char* const unknown = "unknown file format";
  auto cut = [](Bytes b, std::size_t n) { return b.resize(b.size() - n), b; };
  const Bytes cut_pcx = cut(pcx(8, 3, 2, 2, 2, Bytes(12, 1)), 3);
  const Bytes cut_tga = cut(tga(2, 24, 2, 2, 0, bgr({R, G, B, W})), 1);
  const struct {
    std::string name;
    Bytes bytes;
    Reader f;
    const char* message;
  } cases[] = {
      // PCX pictures of other planes and depths.
      {"planes4.pcx", pcx(1, 4, 1, 1, 1, Bytes(4)), &IO::READRGB, unknown},
      {"bits3.pcx", pcx(3, 1, 1, 1, 1, {0}), &IO::READ_IMAGE, unknown},
      {"bits16.pcx", pcx(16, 3, 1, 1, 2, Bytes(6)), &IO::READRGB, unknown},
      // TGA image types other than 1, 2, 3, 9, 10, 11.
      {"t0.tga", tga(0, 24, 1, 1, 0, Bytes(3)), &IO::READ_IMAGE, unknown},
      {"t32.tga", tga(32, 24, 1, 1, 0, Bytes(3)), &IO::READ_IMAGE, unknown},
      // A run-length packet crossing the end of a row (the next row is whole).
      {"cross.tga", tga(10, 24, 2, 2, 0, Bytes{0x82} + bgr({R}) + Bytes{0x81} + bgr({G})),
       &IO::READRGB, io_error},
      // Files cut short in the header, the colour map or the pixels.
      {"cut.pcx", cut_pcx, &IO::READ_HLS, io_error},
      {"head.pcx", cut(pcx(8, 1, 1, 1, 1, {0}), 2), &IO::READ_IMAGE, io_error},
      {"cut.tga", cut_tga, &IO::READ_HSV_SAT, io_error},
      {"cutmap.tga", cut(tga(1, 8, 1, 1, 0, {0}, Bytes(9)), 5), &IO::READ_IMAGE, io_error},
      // Headers that state more than the file can hold, refused before the
      // result is allocated.
      {"huge.pcx", pcx(8, 1, 65000, 65000, 65535, Bytes(99)), &IO::READRGB, io_error},
      {"narrow.pcx", pcx(8, 1, 100, 1, 10, Bytes(10)), &IO::READ_IMAGE, io_error},
      {"huge.tga", tga(2, 24, 65535, 65535, 0, Bytes(99)), &IO::READRGB, io_error},
      {"hugerle.tga", tga(10, 24, 65535, 65535, 0, Bytes(99)), &IO::READRGB, io_error},
  };
  for (const auto& c : cases) {
    dir.write(c.name, c.bytes);
    EXPECT_EQ(raised([&] { c.f(dir.cwd(), str(c.name)); }), (Raised{c.message, Kex::kWholeCall}))
        << c.name;
  }
}

// Files of Pillow, ImageMagick and netpbm: READRGB gives what those read,
// turned by the rule the script names where the formats here are read
// otherwise.
TEST(PcxTgaReference, PixelsMatchOtherDecoders) {
  if (!have_python_pil() || !have_imagemagick()) GTEST_SKIP() << "needs Pillow and ImageMagick";
  EXPECT_GE(compare_with_references("pcx_tga_samples.py").count(), 55);
}

}  // namespace
