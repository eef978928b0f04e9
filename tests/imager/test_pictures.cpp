// Pictures written by the image library through WRITEBMP and WRITERGB: the
// bytes of PGM, PBM and PPM files, every format as Pillow, ImageMagick,
// netpbm and libtiff's tools read it, a PNG size against Pillow's, and
// refusals. (Failed writes are tested with every writer: tests/io.)
#include <algorithm>
#include <cmath>
#include <limits>

#include "image/image_support.h"

namespace {

using namespace image_test;
namespace fs = std::filesystem;
using Matrix = std::shared_ptr<Cvd::MatVal>;

class Pictures : public ImageTest {
 protected:
  std::string text(const std::string& name) {
    Bytes b = dir.read(name);
    return {b.begin(), b.end()};
  }
};

// A drawing rather than a photograph: ramps and hard-edged stripes.
Matrix drawing(std::uint32_t rows, std::uint32_t cols) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::size_t i = 0; i < m->size(); ++i)
    m->real()[i] = (i / rows / 8 % 2) * 200.0 + (i % rows + i / rows) % 50;
  return m;
}

// The pixels of a matrix of one or three planes as rows of red, green, blue
// bytes: levels rounded half away from zero and saturated; as a bitmap,
// black below 128 and white otherwise; in a BMP file (our own writer's),
// rounded half up and taken modulo 256.
Bytes rgb_pixels(const Cvd::MatVal& m, unsigned planes, const std::string& ext) {
  const std::uint32_t w = m.get_Cols() / planes;
  Bytes out;
  for (std::uint32_t r = 0; r < m.get_Rows(); ++r) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (unsigned k = 0; k < 3; ++k) {
        double v = m.get_real(r, (planes == 3 ? k : 0) * w + x);
        auto level =
            static_cast<std::uint8_t>(std::isnan(v) ? 0 : std::clamp(std::round(v), 0.0, 255.0));
        if (ext == "bmp") level = static_cast<std::uint8_t>(std::llround(std::floor(v + 0.5)));
        out.push_back(ext == "pbm" ? (level < 128 ? 0 : 255) : level);
      }
    }
  }
  return out;
}

TEST_F(Pictures, NetpbmFilesHoldExactlyTheseBytes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto grey = mat({{-0.5, 0.49999, 0.5, 2.5}, {254.5, 255.4, 300, nan}});
  EXPECT_EQ(dynamic_cast<Cvd::NumVal*>(write(&IO::WRITEBMP, "g.pgm", grey).get())->Data.rp, 0.0);
  EXPECT_EQ(text("g.pgm"), std::string("P5\n4 2\n255\n\x00\x00\x01\x03\xff\xff\xff\x00", 19));
  // One bit per pixel, 1 for black (below 128), rows padded to whole bytes.
  write(&IO::WRITEBMP, "b.pbm", grey);
  EXPECT_EQ(text("b.pbm"), "P4\n4 2\n\xf0\x10");
  write(&IO::WRITEBMP, "w.pbm", mat({{0, 200, 0, 200, 0, 200, 0, 200, 0, 127.5}}));
  EXPECT_EQ(text("w.pbm"), "P4\n10 1\n\xaa\x80");
  // Red, green and blue planes side by side become interleaved pixels.
  write(&IO::WRITERGB, "c.ppm", mat({{10, 20, 30, 40, 50, 60}}));
  EXPECT_EQ(text("c.ppm"), "P6\n2 1\n255\n\x0a\x1e\x32\x14\x28\x3c");
  // WRITERGB hands only lower-case names to the library: these are BMP files.
  for (const char* name : {"u.PNG", "v.TIF", "w.PPM"}) {
    write(&IO::WRITERGB, name, mat({{1, 2, 3}}));
    EXPECT_EQ(text(name).substr(0, 2), "BM") << name;
  }
}

TEST_F(Pictures, IndependentReadersSeeTheSamePixels) {
  // Odd sizes (a BMP file's rows are padded), names in any case for
  // WRITEBMP; noise and a drawing, which the PNG writer compresses
  // differently.
  const Matrix grey = random_matrix(23, 37, 1), colour = random_matrix(23, 3 * 37, 2),
               drawn = drawing(200, 3 * 300);
  const std::tuple<const char*, Matrix, unsigned> cases[] = {
      {"g.PGM", grey, 1},  {"g.Pbm", grey, 1},   {"g.TIF", grey, 1},   {"g.pNg", grey, 1},
      {"d.png", drawn, 1}, {"c.ppm", colour, 3}, {"c.tif", colour, 3}, {"c.png", colour, 3},
      {"e.tif", drawn, 3}, {"e.png", drawn, 3},  {"g.bmp", grey, 1},   {"c.bmp", colour, 3}};
  std::vector<std::string> files;
  for (const auto& [name, m, planes] : cases) {
    write(planes == 1 ? &IO::WRITEBMP : &IO::WRITERGB, name, m);
    files.push_back(dir.file(name));
  }
  if (!kexio_test::have_python("PIL")) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  ASSERT_TRUE(run_script("references.py decode", files));
  const bool im = have_imagemagick(), netpbm = im && access("/usr/bin/ppmtoppm", X_OK) == 0;
  for (const auto& [name, m, planes] : cases) {
    std::string ext = std::string(name).substr(2);
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    const Bytes want = rgb_pixels(*m, planes, ext);
    EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str(name))), planes_of(want, m->get_Cols() / planes))
        << name << " read back";
    for (auto [tool, have] : {std::pair{".pil", true}, {".im", im}, {".nb", netpbm}}) {
      if (have) {
        EXPECT_EQ(dir.read(name + std::string(tool)), want) << name << tool;
      }
    }
    // How libtiff's tools see TIFF files: grey pictures are
    // Deflate-compressed, colour pictures stored as is.
    if (ext == "tif" && access("/usr/bin/tiffinfo", X_OK) == 0) {
      const std::string path = "'" + dir.file(name) + "'";
      std::system(("tiffinfo " + path + " > " + path + ".info 2>&1").c_str());
      EXPECT_NE(
          text(std::string(name) + ".info")
              .find(planes == 1 ? "Compression Scheme: AdobeDeflate" : "Compression Scheme: None"),
          std::string::npos)
          << name;
    }
  }
  // The drawing in colour is about as small as Pillow makes it.
  ASSERT_EQ(std::system(
                ("/usr/bin/python3 -c 'import sys; from PIL import Image; Image.frombytes(\"RGB\", "
                 "(300, 200), open(sys.argv[1], \"rb\").read()).save(sys.argv[2])' " +
                 dir.file("e.png.pil") + " " + dir.file("pil.png"))
                    .c_str()),
            0);
  const auto ours = fs::file_size(dir.file("e.png")), pils = fs::file_size(dir.file("pil.png"));
  EXPECT_LE(ours, pils + pils / 10) << "ours " << ours << ", Pillow's " << pils;
}

TEST_F(Pictures, Refusals) {
  EXPECT_EQ(failure(&IO::WRITERGB, "p.png", mat({{1, 2, 3, 4}})),
            (Raised{"not a packed image matrix", 2}));
  EXPECT_EQ(failure(&IO::WRITEBMP, "e.tif", Cvd::MatVal::Zeros(0, 3)), (Raised{"empty matrix", 2}));
  EXPECT_FALSE(fs::exists(dir.file("p.png")) || fs::exists(dir.file("e.tif")));
}

}  // namespace
