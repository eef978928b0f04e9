// Writing BMP files through the entry class: the bytes of the files, read
// back by our readers (and by independent decoders in tests/imager beside
// the other formats), colour-space round trips, the argument checks and
// file-system failures; and the encoder's refusal of sizes no test can
// allocate.
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

#include "image/encode/bmp_encoder.h"
#include "image_support.h"

namespace {

using namespace image_test;

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
  const double v[] = {255.5,    256,      -1,  -0.5, -0.6, 0.49999, 511.7, -256.5,
                      1e12 + 3, -3e9 - 1, nan, inf,  2.5,  -2.5,    1e300, 3.5};
  const Bytes want = {0, 0, 255, 0, 255, 0, 0, 0, 1000000000003 % 256, 255, 0, 0, 3, 254, 0, 4};
  // As one row, and as one column, whose elements are converted together,
  // eight at a time while they are small.
  for (std::uint32_t rows : {1u, 16u}) {
    auto m = Cvd::MatVal::Zeros(rows, 16 / rows);
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
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.bmp")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.bmp")));
  // Zero imaginary parts count as real for the grey and RGB writers only.
  complex->m_iarr[1] = 0;
  write(&IO::WRITERGB, "z.bmp", complex);
  EXPECT_TRUE(std::filesystem::exists(dir.file("z.bmp")));
  EXPECT_EQ(failure(&IO::WRITE_HSV, "z2.bmp", complex).message, "must be real matrix");
}

TEST_F(ImageWrite, FileSystemFailures) {
  const long before = open_descriptors();
  auto m = mat({{1, 2, 3}});
  for (Writer f : {&IO::WRITEBMP, &IO::WRITERGB, &IO::WRITE_HLS})
    EXPECT_EQ(failure(f, "no/such/x.bmp", m), (Raised{std::strerror(ENOENT), Kex::kWholeCall}));
  // A folder cannot be opened for writing either (EISDIR is not one of the
  // reasons shown as such).
  std::filesystem::create_directory(dir.file("sub"));
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
  EXPECT_EQ(kexio::bmp_encoder(dir.file("big.bmp").c_str(), 24, 70000, 70000).status(),
            kexio::kBadHeader);
}

}  // namespace
