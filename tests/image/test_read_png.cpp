// Reading PNG files through the entry class: 16-bit rounding, palettes,
// damaged and cut files, the factory's choice of decoder, and every colour
// type, depth and interlace compared with Pillow and ImageMagick.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <thread>

#include "image_support.h"
#include "references.h"

namespace {

using namespace image_test;

void put32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8)
    b.push_back(static_cast<std::uint8_t>(v >> s));
}

Bytes chunk(const char* type, const Bytes& data) {
  Bytes b;
  put32(b, static_cast<std::uint32_t>(data.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  put32(b, static_cast<std::uint32_t>(crc32(0, b.data() + 4, static_cast<uInt>(b.size() - 4))));
  return b;
}

// A PNG file: the header, the chunks given, the scanlines (each with its
// filter byte) compressed, the end.
Bytes png(std::uint32_t w, std::uint32_t h, int depth, int colour, const Bytes& lines,
          const std::vector<Bytes>& chunks = {}) {
  Bytes ihdr, z(compressBound(lines.size()));
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {std::uint8_t(depth), std::uint8_t(colour), 0, 0, 0});
  uLongf n = z.size();
  compress(z.data(), &n, lines.data(), lines.size());
  z.resize(n);
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<Bytes> all = {chunk("IHDR", ihdr)};
  all.insert(all.end(), chunks.begin(), chunks.end());
  all.push_back(chunk("IDAT", z));
  all.push_back(chunk("IEND", {}));
  for (const Bytes& c : all)
    b.insert(b.end(), c.begin(), c.end());
  return b;
}

// One scanline of 16-bit samples.
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
};

TEST_F(PngRead, PixelsAsStored) {
  // 16 bits: (v * 255 + 32767) / 65535, each pair straddling a step; alpha
  // ignored.
  dir.write("g.png", png(8, 1, 16, 0, samples16({0, 128, 129, 32767, 32768, 65406, 65407, 65535})));
  EXPECT_EQ(read(&IO::READ_RED, "g.png"), (Rows{{0, 0, 1, 127, 128, 254, 255, 255}}));
  dir.write("rgba.png", png(1, 1, 16, 6, samples16({129, 32768, 65406, 0})));
  EXPECT_EQ(read(&IO::READRGB, "rgba.png"), (Rows{{1, 128, 254}}));
  dir.write("ga.png", png(1, 1, 16, 4, samples16({32767, 0})));
  EXPECT_EQ(read(&IO::READRGB, "ga.png"), (Rows{{127, 127, 127}}));
  // An index past the palette is black.
  dir.write("p.png", png(3, 1, 8, 3, {0, 1, 0, 7}, {chunk("PLTE", {10, 20, 30, 40, 50, 60})}));
  EXPECT_EQ(read(&IO::READRGB, "p.png"), (Rows{{40, 10, 0, 50, 20, 0, 60, 30, 0}}));
}

TEST_F(PngRead, DamagedAndCutFiles) {
  const Bytes good = png(2, 2, 8, 0, {0, 1, 2, 0, 3, 4}, {chunk("tEXt", {'a', 0, 'b'})});
  const std::size_t idat = 48, iend = good.size() - 12;  // after IHDR (33) and tEXt
  auto damaged = [&](std::size_t at) {
    Bytes b = good;
    b[at] ^= 0x40;
    return b;
  };
  auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + long(n)); };
  Bytes not_png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0};  // one byte off
  not_png.resize(28);
  const char* const io_error = "file i/o error";
  const struct {
    Bytes bytes;
    const char* message;
  } cases[] = {
      // The checksum of the header, of an ancillary chunk, of the image data.
      {damaged(31), io_error},
      {damaged(idat - 2), io_error},
      {damaged(iend - 2), io_error},
      // Cut in the header, in the image data, before the end chunk.
      {cut(20), io_error},
      {cut(idat + 12), io_error},
      {cut(iend), io_error},
      {cut(8), io_error},
      {cut(5), io_error},                   // too short to tell any format
      {png(1, 1, 8, 3, {0, 0}), io_error},  // no palette
      {png(0, 1, 8, 0, {0}), io_error},
      {png(1, 1, 3, 0, {0, 0}), io_error},  // no such depth
      // Too short for its pixels even at deflate's best ratio (1032 : 1),
      // refused before a result (larger than memory) is sized.
      {png(200000, 200000, 8, 0, {0}), io_error},
      {not_png, "unknown file format"},
  };
  dir.write("good.png", good);
  EXPECT_EQ(read(&IO::READ_IMAGE, "good.png"), (Rows{{1, 2}, {3, 4}}));
  for (const auto& c : cases) {
    dir.write("bad.png", c.bytes);
    EXPECT_RAISES(IO::READ_IMAGE(dir.cwd(), str("bad.png")), c.message, Kex::kWholeCall)
        << &c - cases;
  }
}

TEST_F(PngRead, PipesAndNamesWithoutTheExtension) {
  const Bytes grey = png(2, 1, 8, 0, {0, 7, 9});
  // A pipe is read as its bytes arrive.
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
  // png is the last extension tried.
  dir.write("only.png", grey);
  EXPECT_EQ(read(&IO::READ_IMAGE, "only"), (Rows{{7, 9}}));
  dir.write("both.png", grey);
  dir.write("both.pcx", Bmp{.width = 1, .pixel_data = {5, 5, 5, 0}}.bytes());
  EXPECT_EQ(read(&IO::READ_IMAGE, "both"), (Rows{{5}}));
}

// Grey 1, 2, 4, 8, 16; colour 8, 16; palette 1, 2, 4, 8; grey and alpha 8,
// 16; colour and alpha 8, 16: each plain and interlaced, written by Pillow,
// ImageMagick and the reference script, read by us and by both tools.
TEST(PngReference, EveryKindMatchesPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  Compared c = compare_with_references("references.py png_samples", ".png");
  EXPECT_EQ(c.kinds.size(), have_imagemagick() ? 30u : 18u);
  EXPECT_GE(c.count(), have_imagemagick() ? 74 : 22);
}

}  // namespace
