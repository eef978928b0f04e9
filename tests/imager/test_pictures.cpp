// Pictures written by the image library through WRITEBMP and WRITERGB: the
// names handed to it, the bytes of PGM, PBM and PPM files, every format as
// Pillow, ImageMagick, netpbm and libtiff's tools read it, PNG sizes against
// Pillow's, refusals, and failed writes that keep the old file.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "image/image_support.h"

namespace {

using namespace image_test;
namespace fs = std::filesystem;

class Pictures : public ::testing::Test {
 protected:
  TempDir dir;
  Ref write(Writer f, const std::string& name, const Ref& m) { return f(dir.cwd(), str(name), m); }
  Raised failure(Writer f, const std::string& name, const Ref& m) {
    return raised([&] { write(f, name, m); });
  }
  std::string text(const std::string& name) {
    Bytes b = dir.read(name);
    return {b.begin(), b.end()};
  }
};

// A grey level as the library stores it: rounded half away from zero and
// saturated, NaN as 0.
std::uint8_t level(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<std::uint8_t>(std::clamp(std::round(v), 0.0, 255.0));
}

std::shared_ptr<Cvd::MatVal> random_matrix(std::uint32_t rows, std::uint32_t cols, unsigned seed) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-40, 300);
  std::generate_n(m->real(), m->size(), [&] { return d(gen); });
  return m;
}

// A drawing rather than a photograph: smooth ramps and hard-edged stripes.
std::shared_ptr<Cvd::MatVal> drawing(std::uint32_t rows, std::uint32_t cols) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::uint32_t c = 0; c < cols; ++c) {
    for (std::uint32_t r = 0; r < rows; ++r)
      m->real()[std::size_t{c} * rows + r] = (c / 8 % 2) * 200 + (r + c) % 50;
  }
  return m;
}

// The pixels of a matrix of `planes` planes as rows of red, green, blue
// bytes, top row first; as a bitmap, black below 128 and white otherwise.
Bytes rgb_pixels(const Cvd::MatVal& m, unsigned planes, bool bitmap = false) {
  const std::uint32_t w = m.get_Cols() / planes;
  Bytes out;
  for (std::uint32_t r = 0; r < m.get_Rows(); ++r) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (unsigned k = 0; k < 3; ++k) {
        std::uint8_t v = level(m.get_real(r, (planes == 3 ? k : 0) * w + x));
        out.push_back(bitmap ? (v < 128 ? 0 : 255) : v);
      }
    }
  }
  return out;
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
      out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The pixels after a binary PNM header (three fields: P6, width, height and
// the largest value), empty when there is no such header.
Bytes after_header(const std::string& pnm) {
  std::size_t at = 0;
  for (int fields = 0; fields < 4; ++fields) {
    at = pnm.find_first_not_of(" \n", at);
    at = at == std::string::npos ? at : pnm.find_first_of(" \n", at);
    if (at == std::string::npos) return {};
  }
  return {pnm.begin() + static_cast<long>(at) + 1, pnm.end()};
}

TEST_F(Pictures, NetpbmFilesHoldExactlyTheseBytes) {
  // Halves go away from zero, values saturate, NaN is 0.
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
}

TEST_F(Pictures, NamesHandedToTheLibraryGetTheirFormat) {
  // WRITEBMP: pbm, pgm, tif and png in any case; WRITERGB: ppm, tif and png
  // in lower case. Anything else is a BMP file under the given name.
  const std::pair<const char*, std::string> grey[] = {
      {"a.PBM", "P4"}, {"b.Pgm", "P5"}, {"c.TIF", "II*"}, {"d.pNg", "\x89PNG"}, {"e.png2", "BM"}};
  const std::pair<const char*, std::string> colour[] = {
      {"f.ppm", "P6"}, {"g.tif", "II*"}, {"h.png", "\x89PNG"}, {"i.PNG", "BM"}, {"j.TIF", "BM"}};
  for (const auto& [name, magic] : grey) {
    write(&IO::WRITEBMP, name, mat({{1, 2, 3}}));
    EXPECT_EQ(text(name).substr(0, magic.size()), magic) << name;
  }
  for (const auto& [name, magic] : colour) {
    write(&IO::WRITERGB, name, mat({{1, 2, 3}}));
    EXPECT_EQ(text(name).substr(0, magic.size()), magic) << name;
  }
}

TEST_F(Pictures, IndependentReadersSeeTheSamePixels) {
  // Odd sizes; noise and a drawing, which the PNG writer compresses
  // differently.
  auto grey = random_matrix(23, 37, 1);
  auto colour = random_matrix(23, 3 * 37, 2);
  auto drawn = drawing(40, 3 * 64);
  struct Case {
    const char* name;
    Writer f;
    std::shared_ptr<Cvd::MatVal> m;
    unsigned planes;
  };
  const Case cases[] = {{"g.pgm", &IO::WRITEBMP, grey, 1},   {"g.pbm", &IO::WRITEBMP, grey, 1},
                        {"g.tif", &IO::WRITEBMP, grey, 1},   {"g.png", &IO::WRITEBMP, grey, 1},
                        {"d.png", &IO::WRITEBMP, drawn, 1},  {"c.ppm", &IO::WRITERGB, colour, 3},
                        {"c.tif", &IO::WRITERGB, colour, 3}, {"c.png", &IO::WRITERGB, colour, 3},
                        {"d.tif", &IO::WRITERGB, drawn, 3},  {"e.png", &IO::WRITERGB, drawn, 3}};
  std::string files;
  for (const Case& c : cases) {
    write(c.f, c.name, c.m);
    files += " '" + dir.file(c.name) + "'";
  }
  const bool netpbm = access("/usr/bin/ppmtoppm", X_OK) == 0;
  const bool tiff_tools = access("/usr/bin/tifftopnm", X_OK) == 0;
  const bool pillow = have_python_pil();
  if (pillow) {
    ASSERT_EQ(
        std::system(("/usr/bin/python3 " KEXIO_SOURCE_DIR "/tests/image/references.py decode" +
                     files + " 2>/dev/null")
                        .c_str()),
        0);
  }
  for (const Case& c : cases) {
    const std::string name = c.name, ext = name.substr(name.size() - 3);
    const Bytes want = rgb_pixels(*c.m, c.planes, ext == "pbm");
    if (pillow) {
      EXPECT_EQ(dir.read(name + ".pil"), want) << name << " in Pillow";
    }
    if (have_imagemagick()) {
      EXPECT_EQ(dir.read(name + ".im"), want) << name << " in ImageMagick";
    }
    const std::string path = "'" + dir.file(name) + "'";
    const std::string decode = ext == "png"   ? "pngtopnm " + path
                               : ext == "tif" ? "tifftopnm " + path + " 2>/dev/null"
                                              : "cat " + path;
    if (netpbm && (ext != "tif" || tiff_tools)) {
      EXPECT_EQ(after_header(run(decode + " | ppmtoppm")), want) << name << " in netpbm";
    }
    if (ext == "tif" && tiff_tools) {
      // Grey pictures are Deflate-compressed, colour pictures stored as they are.
      EXPECT_NE(run("tiffinfo " + path)
                    .find(c.planes == 1 ? "Compression Scheme: AdobeDeflate"
                                        : "Compression Scheme: None"),
                std::string::npos)
          << name;
    }
  }
  if (!pillow) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
}

TEST_F(Pictures, PngFilesAreAboutAsSmallAsPillows) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  // Noise, a photograph-like picture and a drawing, saved by Pillow with
  // its defaults from the pixels we wrote.
  auto smooth = Cvd::MatVal::Zeros(200, 3 * 300);
  std::mt19937 gen(3);
  std::normal_distribution<double> noise(0, 6);
  for (std::uint32_t c = 0; c < 900; ++c) {
    for (std::uint32_t r = 0; r < 200; ++r)
      smooth->real()[c * 200 + r] = 100 + 60 * std::sin(r / 30.0 + c % 300 / 45.0) + noise(gen);
  }
  const std::pair<const char*, std::shared_ptr<Cvd::MatVal>> pictures[] = {
      {"noise", random_matrix(200, 900, 4)}, {"photo", smooth}, {"drawing", drawing(200, 900)}};
  for (const auto& [name, m] : pictures) {
    write(&IO::WRITERGB, std::string(name) + ".png", m);
    dir.write(std::string(name) + ".rgb", rgb_pixels(*m, 3));
  }
  ASSERT_EQ(python_failure(dir, R"(
import sys
from PIL import Image
for name in ("noise", "photo", "drawing"):
    with open(f"{sys.argv[1]}/{name}.rgb", "rb") as f:
        Image.frombytes("RGB", (300, 200), f.read()).save(f"{sys.argv[1]}/{name}.pil.png")
)"),
            "");
  for (const auto& [name, m] : pictures) {
    const auto ours = fs::file_size(dir.file(std::string(name) + ".png"));
    const auto pils = fs::file_size(dir.file(std::string(name) + ".pil.png"));
    EXPECT_LE(ours, pils + pils / 10) << name << ": ours " << ours << ", Pillow's " << pils;
  }
}

TEST_F(Pictures, Refusals) {
  EXPECT_EQ(failure(&IO::WRITERGB, "p.png", mat({{1, 2, 3, 4}})),
            (Raised{"not a packed image matrix", 2}));
  EXPECT_EQ(failure(&IO::WRITEBMP, "e.tif", Cvd::MatVal::Zeros(0, 3)), (Raised{"empty matrix", 2}));
  EXPECT_EQ(failure(&IO::WRITEBMP, "no/such/x.png", mat({{1}})),
            (Raised{std::strerror(ENOENT), Kex::kWholeCall}));
  fs::create_directory(dir.file("f.pgm"));
  EXPECT_EQ(failure(&IO::WRITEBMP, "f.pgm", mat({{1}})),
            (Raised{std::strerror(EISDIR), Kex::kWholeCall}));
  EXPECT_NE(failure(&IO::WRITERGB, "gopher://host/x.png", mat({{1, 2, 3}})).message.find("gopher"),
            std::string::npos);
  for (const char* name : {"p.png", "e.tif", "gopher:"})
    EXPECT_FALSE(fs::exists(dir.file(name))) << name;
}

TEST_F(Pictures, FailedWritesKeepTheOldFile) {
  // A size limit stops every format part-way: the old file stays as it was,
  // a new one is not left behind, and nothing else is.
  auto big = random_matrix(200, 3 * 200, 5);
  const std::pair<Writer, const char*> writes[] = {
      {&IO::WRITEBMP, "g.pgm"}, {&IO::WRITEBMP, "g.pbm"}, {&IO::WRITEBMP, "g.tif"},
      {&IO::WRITEBMP, "g.png"}, {&IO::WRITERGB, "c.ppm"}, {&IO::WRITERGB, "c.tif"},
      {&IO::WRITERGB, "c.png"}};
  for (const auto& [f, name] : writes) {
    const std::string old = "old" + std::string(name).substr(1);
    dir.write(old, std::string("old bytes"));
    EXPECT_TRUE(kexio_test::in_child([&, f = f, name = name] {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{4096, 4096};
      setrlimit(RLIMIT_FSIZE, &limit);
      const Raised too_large{"file write error: " + std::string(std::strerror(EFBIG)),
                             Kex::kWholeCall};
      return failure(f, old, big) == too_large && failure(f, name, big) == too_large;
    })) << name;
    EXPECT_EQ(text(old), "old bytes") << name;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir.path()))
      left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{old}) << name;
    fs::remove(dir.file(old));
  }
}

}  // namespace
