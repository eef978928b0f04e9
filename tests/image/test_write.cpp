// Writing images through the entry class: read-back by independent decoders
// and by our readers, colour-space round trips, the host-library extensions,
// the argument checks and the failures of the file system.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "image_support.h"

namespace {

using namespace image_test;
using kexio_test::mat;
using kexio_test::str;

class ImageWrite : public ::testing::Test {
 protected:
  TempDir dir;
  Raised failure(Writer f, const std::string& name, const Ref& m) {
    return raised([&] { f(dir.cwd(), str(name), m); });
  }
};

std::shared_ptr<Cvd::MatVal> random_matrix(std::uint32_t rows, std::uint32_t cols, unsigned seed,
                                           double lo, double hi) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(lo, hi);
  for (std::size_t i = 0; i < static_cast<std::size_t>(rows) * cols; ++i)
    m->real()[i] = d(gen);
  return m;
}

std::uint8_t expected_byte(double v) {
  long long r = static_cast<long long>(std::floor(v + 0.5));
  return static_cast<std::uint8_t>(((r % 256) + 256) % 256);
}

int open_descriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr)
      ++n;
    closedir(d);
  }
  return n;
}

TEST_F(ImageWrite, FilesReadBackPixelExact) {
  // Odd widths exercise the row padding; values outside 0..255 wrap.
  const std::uint32_t h = 23, w = 37;
  auto rgb = random_matrix(h, 3 * w, 1, -40, 300);
  auto grey = random_matrix(h, w, 2, -40, 300);
  IO::WRITERGB(dir.cwd(), str("rgb.bmp"), rgb);
  IO::WRITEBMP(dir.cwd(), str("grey.bmp"), grey);

  // Expected pixels as rows of red, green, blue bytes.
  Bytes want_rgb, want_grey;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (std::uint32_t k = 0; k < 3; ++k)
        want_rgb.push_back(expected_byte(rgb->get_real(y, k * w + x)));
      for (int k = 0; k < 3; ++k)
        want_grey.push_back(expected_byte(grey->get_real(y, x)));
    }
  }
  // Our own reader.
  auto ours = rows_of(IO::READRGB(dir.cwd(), str("rgb.bmp")));
  auto ours_grey = rows_of(IO::READ_IMAGE(dir.cwd(), str("grey.bmp")));
  int bad = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (std::uint32_t k = 0; k < 3; ++k)
        bad += ours[y][k * w + x] != want_rgb[3 * (y * w + x) + k];
      bad += ours_grey[y][x] != want_grey[3 * (y * w + x)];
    }
  }
  EXPECT_EQ(bad, 0);

  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/decode_reference.py '" + dir.file("rgb.bmp") + "' '" +
                    dir.file("grey.bmp") + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(dir.read("rgb.bmp.pil"), want_rgb);
  EXPECT_EQ(dir.read("grey.bmp.pil"), want_grey);
  if (have_imagemagick()) {
    EXPECT_EQ(dir.read("rgb.bmp.im"), want_rgb);
    EXPECT_EQ(dir.read("grey.bmp.im"), want_grey);
  }
}

TEST_F(ImageWrite, ColourSpacesRoundTrip) {
  // Every byte value in every channel, in a picture of 64 x 3 x 64 pixels.
  const std::uint32_t h = 64, w = 96;
  auto rgb = Cvd::MatVal::Zeros(h, 3 * w);
  std::mt19937 gen(3);
  for (std::size_t i = 0; i < static_cast<std::size_t>(h) * 3 * w; ++i) {
    rgb->real()[i] = static_cast<double>(i < 256 ? i : gen() % 256);
  }
  IO::WRITERGB(dir.cwd(), str("src.bmp"), rgb);
  Bytes original = dir.read("src.bmp");

  IO::WRITE_HLS(dir.cwd(), str("hls.bmp"), IO::READ_HLS(dir.cwd(), str("src.bmp")));
  IO::WRITE_HSV(dir.cwd(), str("hsv.bmp"), IO::READ_HSV(dir.cwd(), str("src.bmp")));
  EXPECT_EQ(dir.read("hls.bmp"), original);
  EXPECT_EQ(dir.read("hsv.bmp"), original);
  EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str("hsv.bmp"))), rows_of(rgb));
}

TEST_F(ImageWrite, ColourSpaceWritersConvertEachPixel) {
  // Pure hues on the 0..255 scale: red 0, green 85, blue 170.
  IO::WRITE_HSV(dir.cwd(), str("v.bmp"), mat({{0, 85, 170, 255, 255, 255, 255, 255, 128}}));
  EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str("v.bmp"))),
            (std::vector<std::vector<double>>{{255, 0, 0, 0, 255, 0, 0, 0, 128}}));
  IO::WRITE_HLS(dir.cwd(), str("l.bmp"), mat({{0, 170, 127.5, 127.5, 255, 255}}));
  EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str("l.bmp"))),
            (std::vector<std::vector<double>>{{255, 0, 0, 0, 0, 255}}));
}

TEST_F(ImageWrite, HostLibraryTakesOtherExtensions) {
  auto m = mat({{1, 2, 3, 4}, {5, 6, 7, 8}});
  for (const char* name : {"a.TIF", "b.Pgm", "c.pbm", "d.tif"}) {
    Ref r = IO::WRITEBMP(dir.cwd(), str(name), m);
    auto* n = dynamic_cast<Cvd::NumVal*>(r.get());
    ASSERT_NE(n, nullptr) << name;
    EXPECT_EQ(n->Data.rp, 2.0);  // the library's result is returned unchanged
    EXPECT_EQ(n->Data.ip, 4.0);
    const std::string note = "imgwrite_gray 2 4\n";
    EXPECT_EQ(dir.read(std::string(name) + ".called"), Bytes(note.begin(), note.end())) << name;
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  }
  // Lower case only for colour, and no column-count check on that path.
  for (const char* name : {"e.tif", "f.ppm"}) {
    Ref r = IO::WRITERGB(dir.cwd(), str(name), m);
    EXPECT_EQ(dynamic_cast<Cvd::NumVal*>(r.get())->Data.ip, 4.0) << name;
    const std::string note = "imgwrite_rgb 2 4\n";
    EXPECT_EQ(dir.read(std::string(name) + ".called"), Bytes(note.begin(), note.end())) << name;
  }
  // Everything else is a BMP file under the given name.
  auto packed = mat({{1, 2, 3}});
  for (const char* name : {"g.TIF", "h.PPM", "i.png", "ab", "j"}) {
    Ref r = IO::WRITERGB(dir.cwd(), str(name), packed);
    EXPECT_EQ(dynamic_cast<Cvd::NumVal*>(r.get())->Data.rp, 0.0) << name;
    EXPECT_EQ(dir.read(name).size(), 58u) << name;
  }
  IO::WRITEBMP(dir.cwd(), str("k.png"), m);
  EXPECT_EQ(dir.read("k.png").size(), 1078u + 8u);
  EXPECT_EQ(as_matrix(IO::READ_IMAGE(dir.cwd(), str("k.png")))->get_real(1, 3), 8.0);
}

TEST_F(ImageWrite, MatrixChecks) {
  auto four = mat({{1, 2, 3, 4}});
  for (Writer f : {&IO::WRITERGB, &IO::WRITE_HSV, &IO::WRITE_HLS}) {
    Raised r = failure(f, "p.bmp", four);
    EXPECT_EQ(r.message, "not a packed image matrix");
    EXPECT_EQ(r.index, 2u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.bmp")));

  auto complex = mat({{1, 2, 3}});
  complex->m_iarr = Cvd::NewArray(3);
  std::fill_n(complex->m_iarr.get(), 3, 0.0);
  complex->m_iarr[1] = 0.5;
  for (Writer f : {&IO::WRITEBMP, &IO::WRITERGB, &IO::WRITE_HSV, &IO::WRITE_HLS}) {
    Raised r = failure(f, "c.bmp", complex);
    EXPECT_EQ(r.message, "must be real matrix");
    EXPECT_EQ(r.index, 2u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.bmp")));

  // Zero imaginary parts count as real for the grey and RGB writers only.
  complex->m_iarr[1] = 0;
  IO::WRITERGB(dir.cwd(), str("z.bmp"), complex);
  EXPECT_TRUE(std::filesystem::exists(dir.file("z.bmp")));
  EXPECT_EQ(failure(&IO::WRITE_HSV, "z2.bmp", complex).message, "must be real matrix");
}

TEST_F(ImageWrite, FileSystemFailures) {
  const int before = open_descriptors();
  auto m = mat({{1, 2, 3}});
  Raised r = failure(&IO::WRITEBMP, "no/such/folder/x.bmp", m);
  EXPECT_EQ(r.message, std::strerror(ENOENT));
  EXPECT_EQ(r.index, Kex::kWholeCall);
  EXPECT_EQ(failure(&IO::WRITERGB, "no/such/x.bmp", m).message, std::strerror(ENOENT));
  EXPECT_EQ(failure(&IO::WRITE_HLS, "no/such/x.bmp", m).message, std::strerror(ENOENT));
  // A folder cannot be opened for writing either (EISDIR is not one of the
  // reasons shown as such).
  std::filesystem::create_directory(dir.file("sub"));
  EXPECT_EQ(failure(&IO::WRITEBMP, "sub", m).message, "file i/o error");

  if (std::filesystem::exists("/dev/full")) {
    auto big = random_matrix(300, 3 * 300, 4, 0, 255);
    for (Writer f : {&IO::WRITEBMP, &IO::WRITERGB, &IO::WRITE_HSV}) {
      Raised full = raised([&] { f(u"/", str("/dev/full"), big); });
      EXPECT_EQ(full.message, "file i/o error");
      EXPECT_EQ(full.index, Kex::kWholeCall);
    }
  }
  if (geteuid() != 0) {
    std::filesystem::create_directory(dir.file("ro"));
    std::filesystem::permissions(
        dir.file("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(failure(&IO::WRITEBMP, "ro/x.bmp", m).message, std::strerror(EACCES));
  }
  Raised url = failure(&IO::WRITERGB, "gopher://host/x.bmp", m);
  EXPECT_NE(url.message.find("gopher"), std::string::npos) << url.message;
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(ImageWrite, EmptyMatrixGivesHeadersOnly) {
  IO::WRITEBMP(dir.cwd(), str("e.bmp"), Cvd::MatVal::Zeros(0, 0));
  EXPECT_EQ(dir.read("e.bmp").size(), 1078u);
  EXPECT_EQ(as_matrix(IO::READ_IMAGE(dir.cwd(), str("e.bmp")))->get_Rows(), 0u);
}

TEST_F(ImageWrite, LargePicturesCrossBandsBothWays) {
  // Large enough that writing and reading both work in several bands of
  // rows, with a height that is no multiple of any band.
  const std::uint32_t h = 2611, w = 1103;
  auto m = Cvd::MatVal::Zeros(h, 3 * w);
  for (std::size_t i = 0; i < static_cast<std::size_t>(h) * 3 * w; ++i) {
    m->real()[i] = static_cast<double>((i * 2654435761u >> 7) % 256);
  }
  IO::WRITERGB(dir.cwd(), str("big.bmp"), m);
  Ref rgb = IO::READRGB(dir.cwd(), str("big.bmp"));
  Ref light = IO::READ_HLS_LIGHT(dir.cwd(), str("big.bmp"));
  Cvd::MatVal* back = as_matrix(rgb);
  Cvd::MatVal* l = as_matrix(light);
  ASSERT_EQ(back->get_Rows(), h);
  ASSERT_EQ(back->get_Cols(), 3 * w);
  int bad = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double r = m->get_real(y, x), g = m->get_real(y, w + x), b = m->get_real(y, 2 * w + x);
      bad += back->get_real(y, x) != r || back->get_real(y, w + x) != g ||
             back->get_real(y, 2 * w + x) != b ||
             l->get_real(y, x) != (std::max({r, g, b}) + std::min({r, g, b})) / 2;
    }
  }
  EXPECT_EQ(bad, 0);
}

}  // namespace
