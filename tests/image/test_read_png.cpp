// Reading PNG files through the entry class: every colour type, depth and
// interlace compared with Pillow and ImageMagick, 16-bit rounding, damaged
// and cut files, and the factory's choice of the PNG decoder.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

#include "image_support.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

void put32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8)
    b.push_back(static_cast<std::uint8_t>(v >> s));
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k)
      c = c & 1 ? 0xEDB88320 ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

Bytes chunk(const char* type, const Bytes& data) {
  Bytes b;
  put32(b, static_cast<std::uint32_t>(data.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  put32(b, crc32(b.data() + 4, b.size() - 4));
  return b;
}

// A PNG file: the header, the chunks given, the scanlines (each with its
// filter byte) in one stored deflate block, the end.
Bytes png(std::uint32_t w, std::uint32_t h, int depth, int colour, const Bytes& scanlines,
          const std::vector<Bytes>& chunks = {}) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {std::uint8_t(depth), std::uint8_t(colour), 0, 0, 0});
  Bytes head = chunk("IHDR", ihdr);
  b.insert(b.end(), head.begin(), head.end());
  for (const Bytes& c : chunks)
    b.insert(b.end(), c.begin(), c.end());
  auto n = static_cast<std::uint16_t>(scanlines.size());
  Bytes z = {0x78,
             0x01,
             1,
             std::uint8_t(n),
             std::uint8_t(n >> 8),
             std::uint8_t(~n),
             std::uint8_t(~n >> 8)};
  z.insert(z.end(), scanlines.begin(), scanlines.end());
  std::uint32_t a = 1, s = 0;
  for (std::uint8_t v : scanlines)
    a = (a + v) % 65521, s = (s + a) % 65521;
  put32(z, s << 16 | a);
  for (const Bytes& c : {chunk("IDAT", z), chunk("IEND", {})})
    b.insert(b.end(), c.begin(), c.end());
  return b;
}

// One scanline of 16-bit samples (filter byte 0).
Bytes samples16(std::initializer_list<std::uint16_t> v) {
  Bytes b = {0};
  for (std::uint16_t x : v)
    b.insert(b.end(), {std::uint8_t(x >> 8), std::uint8_t(x)});
  return b;
}

class PngRead : public ::testing::Test {
 protected:
  TempDir dir;
  Rows read(Reader f, const std::string& name) { return rows_of(f(dir.cwd(), str(name))); }
  std::string error_of(Reader f, const std::string& name) {
    Raised r = raised([&] { f(dir.cwd(), str(name)); });
    EXPECT_EQ(r.index, Kex::kWholeCall) << name;
    return r.message;
  }
};

TEST_F(PngRead, SixteenBitSamplesAreRoundedAndAlphaIsIgnored) {
  // (v * 255 + 32767) / 65535: each pair straddles a step.
  dir.write("g.png", png(8, 1, 16, 0, samples16({0, 128, 129, 32767, 32768, 65406, 65407, 65535})));
  EXPECT_EQ(read(&IO::READ_RED, "g.png"), (Rows{{0, 0, 1, 127, 128, 254, 255, 255}}));
  // A transparent pixel keeps its colour.
  dir.write("rgba.png", png(1, 1, 16, 6, samples16({129, 32768, 65406, 0})));
  EXPECT_EQ(read(&IO::READRGB, "rgba.png"), (Rows{{1, 128, 254}}));
  dir.write("ga.png", png(1, 1, 16, 4, samples16({32767, 0})));
  EXPECT_EQ(read(&IO::READRGB, "ga.png"), (Rows{{127, 127, 127}}));
}

TEST_F(PngRead, PaletteIndicesPastThePaletteAreBlack) {
  Bytes plte = {10, 20, 30, 40, 50, 60};
  dir.write("p.png", png(3, 1, 8, 3, {0, 1, 0, 7}, {chunk("PLTE", plte)}));
  EXPECT_EQ(read(&IO::READRGB, "p.png"), (Rows{{40, 10, 0, 50, 20, 0, 60, 30, 0}}));
}

TEST_F(PngRead, DamagedAndCutFilesAreIoErrors) {
  const Bytes good = png(2, 2, 8, 0, {0, 1, 2, 0, 3, 4}, {chunk("tEXt", {'a', 0, 'b'})});
  auto damaged = [&](std::size_t at) {
    Bytes b = good;
    b[at] ^= 0x40;
    return b;
  };
  auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + long(n)); };
  const std::size_t text = 33, idat = text + 15, iend = good.size() - 12;
  Bytes big = png(0x7FFFFFFF, 0x7FFFFFFF, 8, 2, {0});
  Bytes not_png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0};  // one byte off
  not_png.resize(28);
  const char* const io_error = "file i/o error";
  const struct {
    std::string name;
    Bytes bytes;
    const char* message;
  } cases[] = {
      // The checksum of the image data, of an ancillary chunk, of the header.
      {"crc-idat.png", damaged(iend - 2), io_error},
      {"crc-text.png", damaged(idat - 2), io_error},
      {"crc-ihdr.png", damaged(text - 2), io_error},
      {"cut-ihdr.png", cut(20), io_error},
      {"cut-idat.png", cut(idat + 12), io_error},
      {"cut-end.png", cut(iend), io_error},  // all pixels, no end chunk
      {"signature.png", cut(8), io_error},
      {"short.png", cut(5), io_error},  // too short to tell any format
      {"no-plte.png", png(1, 1, 8, 3, {0, 0}), io_error},
      {"zero-width.png", png(0, 1, 8, 0, {0}), io_error},
      {"bad-depth.png", png(1, 1, 3, 0, {0, 0}), io_error},
      {"big.png", big, "out of memory"},
      {"not.png", not_png, "unknown file format"},
  };
  dir.write("good.png", good);
  EXPECT_EQ(read(&IO::READ_IMAGE, "good.png"), (Rows{{1, 2}, {3, 4}}));
  for (const auto& c : cases) {
    dir.write(c.name, c.bytes);
    EXPECT_EQ(error_of(&IO::READ_IMAGE, c.name), c.message) << c.name;
  }
}

TEST_F(PngRead, ContentChoosesTheDecoderAndNamesMayLeaveTheExtensionOut) {
  const Bytes grey = png(2, 1, 8, 0, {0, 7, 9});
  dir.write("a.jpg", grey);
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.jpg"), (Rows{{7, 9}}));
  // A pipe is read as it arrives.
  ASSERT_EQ(mkfifo(dir.file("pipe.png").c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = open(dir.file("pipe.png").c_str(), O_WRONLY);
    for (std::uint8_t b : grey)
      (void)!write(fd, &b, 1);
    close(fd);
  });
  Rows piped;
  Raised failure = raised([&] { piped = read(&IO::READ_IMAGE, "pipe.png"); });
  writer.join();
  EXPECT_EQ(piped, (Rows{{7, 9}})) << failure;
  if (dir.path().string().find('.') != std::string::npos) {
    GTEST_SKIP() << "temporary folder has a dot";
  }
  // png comes last of the extensions tried.
  dir.write("only.png", grey);
  EXPECT_EQ(read(&IO::READ_IMAGE, "only"), (Rows{{7, 9}}));
  dir.write("both.png", grey);
  dir.write("both.pcx", Bmp{.width = 1, .pixel_data = {5, 5, 5, 0}}.bytes());
  EXPECT_EQ(read(&IO::READ_IMAGE, "both"), (Rows{{5}}));
}

// Files of every colour type, bit depth and interlace written by Pillow,
// ImageMagick and the reference script, read by us and by Pillow and
// ImageMagick (16-bit samples rounded by the script); the pixels must agree
// exactly.
TEST(PngReference, EveryKindMatchesPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  TempDir dir;
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/references.py png_samples '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream manifest(dir.file("manifest"));
  std::string name;
  std::size_t w = 0, h = 0;
  int colour = 0, depth = 0, interlace = 0, compared = 0;
  std::set<std::tuple<int, int, int>> kinds;
  while (manifest >> name >> w >> h >> colour >> depth >> interlace) {
    SCOPED_TRACE(name);
    const std::string file = name + ".png";
    auto read = [&](Reader f) { return rows_of(f(dir.cwd(), str(file))); };
    Rows rgb = read(&IO::READRGB), grey = read(&IO::READ_IMAGE);
    EXPECT_EQ(read(&IO::READ_BLUE), block(rgb, 2 * w, w));
    for (const char* tool : {".pil", ".im"}) {
      Bytes ref = dir.read(file + tool);
      if (ref.empty()) continue;
      ++compared;
      kinds.insert({colour, depth, interlace});
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
  // Grey 1, 2, 4, 8, 16; colour 8, 16; palette 1, 2, 4, 8; grey and alpha
  // 8, 16; colour and alpha 8, 16; each plain and interlaced.
  EXPECT_EQ(kinds.size(), have_imagemagick() ? 30u : 18u);
  EXPECT_GE(compared, have_imagemagick() ? 74 : 22);
}

}  // namespace
