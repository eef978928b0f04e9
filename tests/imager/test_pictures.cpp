// The image library through the entry class. Pictures written through
// WRITEBMP and WRITERGB: the bytes of PGM, PBM and PPM files, every format as
// Pillow, ImageMagick, netpbm and libtiff's tools read it, a PNG size against
// Pillow's, and refusals (failed writes are tested with every writer:
// tests/io). Raw images through READRAW and WRITERAW: file bytes built here
// for every sample type and byte order, WRITEBIN's conversion, pixels and
// planes as numpy lays them out, and the checks of the geometry and the file
// (the fuzz target checks every other combination).
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "image/image_support.h"

namespace {

using namespace image_test;
namespace fs = std::filesystem;
using Matrix = std::shared_ptr<Cvd::MatVal>;

using Pictures = ImageTest;

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
  EXPECT_EQ(read_bytes(dir / "g.pgm"),
            std::string("P5\n4 2\n255\n\x00\x00\x01\x03\xff\xff\xff\x00", 19));
  // One bit per pixel, 1 for black (below 128), rows padded to whole bytes.
  write(&IO::WRITEBMP, "b.pbm", grey);
  EXPECT_EQ(read_bytes(dir / "b.pbm"), "P4\n4 2\n\xf0\x10");
  write(&IO::WRITEBMP, "w.pbm", mat({{0, 200, 0, 200, 0, 200, 0, 200, 0, 127.5}}));
  EXPECT_EQ(read_bytes(dir / "w.pbm"), "P4\n10 1\n\xaa\x80");
  // Red, green and blue planes side by side become interleaved pixels.
  write(&IO::WRITERGB, "c.ppm", mat({{10, 20, 30, 40, 50, 60}}));
  EXPECT_EQ(read_bytes(dir / "c.ppm"), "P6\n2 1\n255\n\x0a\x1e\x32\x14\x28\x3c");
  // WRITERGB hands only lower-case names to the library: these are BMP files.
  for (const char* name : {"u.PNG", "v.TIF", "w.PPM"}) {
    write(&IO::WRITERGB, name, mat({{1, 2, 3}}));
    EXPECT_EQ(read_bytes(dir / name).substr(0, 2), "BM") << name;
  }
}

TEST_F(Pictures, IndependentReadersSeeTheSamePixels) {
  // Odd sizes (a BMP file's rows are padded), names in any case for
  // WRITEBMP; noise and a drawing, which the PNG writer compresses
  // differently; and a picture of more than a million pixels, which the
  // readers share out between threads.
  const Matrix grey = random_matrix(23, 37, 1), colour = random_matrix(23, 3 * 37, 2),
               drawn = drawing(200, 3 * 300), large = drawing(1100, 3 * 1001);
  const std::tuple<const char*, Matrix, unsigned> cases[] = {
      {"g.PGM", grey, 1},  {"g.Pbm", grey, 1},   {"g.TIF", grey, 1},   {"g.pNg", grey, 1},
      {"d.png", drawn, 1}, {"c.ppm", colour, 3}, {"c.tif", colour, 3}, {"c.png", colour, 3},
      {"e.tif", drawn, 3}, {"e.png", drawn, 3},  {"g.bmp", grey, 1},   {"c.bmp", colour, 3},
      {"l.ppm", large, 3}, {"l.tif", large, 3}};
  std::vector<std::string> files;
  for (const auto& [name, m, planes] : cases) {
    write(planes == 1 ? &IO::WRITEBMP : &IO::WRITERGB, name, m);
    files.push_back(dir / name);
  }
  if (!have_python("PIL")) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
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
      const std::string path = "'" + dir / name + "'";
      std::system(("tiffinfo " + path + " > " + path + ".info 2>&1").c_str());
      EXPECT_NE(
          read_bytes(dir / (std::string(name) + ".info"))
              .find(planes == 1 ? "Compression Scheme: AdobeDeflate" : "Compression Scheme: None"),
          std::string::npos)
          << name;
    }
  }
  // The drawing in colour is about as small as Pillow makes it.
  ASSERT_EQ(std::system(
                ("/usr/bin/python3 -c 'import sys; from PIL import Image; Image.frombytes(\"RGB\", "
                 "(300, 200), open(sys.argv[1], \"rb\").read()).save(sys.argv[2])' " +
                 dir / "e.png.pil" + " " + dir / "pil.png")
                    .c_str()),
            0);
  const auto ours = fs::file_size(dir / "e.png"), pils = fs::file_size(dir / "pil.png");
  EXPECT_LE(ours, pils + pils / 10) << "ours " << ours << ", Pillow's " << pils;
}

TEST_F(Pictures, Refusals) {
  EXPECT_EQ(failure(&IO::WRITERGB, "p.png", mat({{1, 2, 3, 4}})),
            (Raised{"not a packed image matrix", 2}));
  EXPECT_EQ(failure(&IO::WRITEBMP, "e.tif", Cvd::MatVal::Zeros(0, 3)), (Raised{"empty matrix", 2}));
  EXPECT_FALSE(fs::exists(dir / "p.png") || fs::exists(dir / "e.tif"));
}

class Raw : public ImageTest {
 protected:
  Ref read(const std::string& name, double x, double y, double z, const std::string& type,
           double skip) {
    return IO::READRAW(dir.cwd(), str(name), num(x), num(y), num(z), str(type), num(skip));
  }
  Ref write(const std::string& name, double x, const std::string& type, const Ref& m) {
    return IO::READRAW(dir.cwd(), m, str(name), num(x), str(type));
  }
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Type {
  const char* word;
  unsigned size;
  double values[6];  // exactly representable in the type
};

const Type kTypes[] = {
    {"byte", 1, {0, 1, 127, 128, 254, 255}},
    {"sint8", 1, {-128, -1, 0, 1, 100, 127}},
    {"uint16", 2, {0, 1, 255, 256, 65534, 65535}},
    {"int16", 2, {-32768, -1, 0, 1, 258, 32767}},
    {"uint32", 4, {0, 1, 65536, 16777216, 4294967294, 4294967295}},
    {"int32", 4, {-2147483648.0, -1, 0, 1, 65536, 2147483647}},
    {"float", 4, {-1.5, 0, 0.25, 3.4028234663852886e38, -kInf, 1.401298464324817e-45}},
    {"double", 8, {-1.5, -0.0, 0.1, 1e300, kInf, 5e-324}},
};

// A value's bytes in the type, least significant first or last.
std::string encode(const Type& t, double v, bool big) {
  const std::string word = t.word;
  const std::uint64_t bits = word == "float" ? std::bit_cast<std::uint32_t>(static_cast<float>(v))
                             : word == "double"
                                 ? std::bit_cast<std::uint64_t>(v)
                                 : static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  return (big ? be : le)(bits, static_cast<int>(t.size));
}

TEST_F(Raw, EverySampleTypeInBothByteOrders) {
  // Written, values are converted as WRITEBIN converts them: halves away
  // from zero, saturated, NaN as 0; the nearest single for float.
  auto tricky = mat(
      {{2.5, -2.5, 300, -1, kNan, kInf, -kInf, 1e300, 0.49999999999999994, -0.5, 65535.5, 7e38}});
  for (const Type& t : kTypes) {
    for (int big : {0, 1}) {
      const std::string word = std::string(t.word) + (big ? "be" : "");
      std::string bytes;
      for (double v : t.values)
        bytes += encode(t, v, big);
      // Three header bytes, then two rows of three pixels; written back, the
      // same bytes.
      write_bytes(dir / "in.raw", "hdr" + bytes);
      Ref m = read("in.raw", 3, 2, 1, word, 3);
      const double* v = t.values;
      EXPECT_EQ(rows_of(m), (Rows{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}})) << word;
      write("out.raw", 1, word, m);
      EXPECT_EQ(read_bytes(dir / "out.raw"), bytes) << word;
      // Five rows of five two-sample pixels: whole blocks of four samples of
      // four rows and the rows and samples left over; sample i of a row is
      // value i % 6 shifted by the row.
      std::string grid;
      Rows want(5, std::vector<double>(10));
      for (int r = 0; r < 5; ++r) {
        for (int i = 0; i < 10; ++i) {
          grid += encode(t, v[(i + r) % 6], big);
          want[r][i % 2 * 5 + i / 2] = v[(i + r) % 6];
        }
      }
      write_bytes(dir / "grid.raw", grid);
      EXPECT_EQ(rows_of(read("grid.raw", 5, 5, 2, word, 0)), want) << word;
      write("raw.bin", 1, word, tricky);
      IO::WRITEBIN(dir.cwd(), str("bin.bin"), str(t.word), num(big), tricky);
      EXPECT_EQ(read_bytes(dir / "raw.bin"), read_bytes(dir / "bin.bin")) << word;
    }
  }
}

// numpy reads each <n>.raw that WRITERAW wrote, as (rows, pixels, samples)
// of the dtype in <n>.type, and must find the planes side by side in <n>.f64
// (native doubles, row by row); it writes those values as <n>.np for READRAW.
const char* const kNumpy = R"(
import glob, sys, numpy as np
for typ in glob.glob(sys.argv[1] + '/*.type'):
    stem = typ[:-5]
    dtype, y, x, z = open(typ).read().split()
    y, x, z = int(y), int(x), int(z)
    want = np.fromfile(stem + '.f64').reshape(y, z * x)
    got = np.fromfile(stem + '.raw', dtype=dtype).reshape(y, x, z)
    if not np.array_equal(np.concatenate([got[:, :, k] for k in range(z)], axis=1), want):
        sys.exit(stem + ' differs in numpy')
    np.stack(np.split(want, z, axis=1), axis=2).astype(dtype).tofile(stem + '.np')
)";

TEST_F(Raw, PlanesSideBySideAreInterleavedSamplesInNumpy) {
  if (!have_python("numpy")) GTEST_SKIP() << "/usr/bin/python3 with numpy is not available";
  // Odd widths; long rows in strips of columns, short ones in tiles of rows;
  // files large enough to be shared out between threads, by strips (the
  // first and last) and by rows (the third).
  const std::tuple<const char*, const char*, std::uint32_t, std::uint32_t, std::uint32_t> cases[] =
      {{"uint16be", ">u2", 263, 1001, 3},
       {"int32", "<i4", 5, 7, 2},
       {"int16", "<i2", 40001, 7, 2},
       {"float", "<f4", 3, 9, 4},
       {"uint16", "<u2", 2, 300001, 2}};
  std::vector<std::shared_ptr<Cvd::MatVal>> ms;
  std::mt19937 gen(7);
  for (const auto& [word, dtype, y, x, z] : cases) {
    auto m = Cvd::MatVal::Zeros(y, z * x);
    std::vector<double> rows(m->size());
    for (std::size_t i = 0; i < m->size(); ++i)
      rows[i] = m->real()[i % (z * x) * y + i / (z * x)] = gen() % 251;
    const std::string stem = std::to_string(ms.size());
    write(stem + ".raw", z, word, m);
    write_bytes(dir / (stem + ".f64"), std::string(reinterpret_cast<const char*>(rows.data()),
                                                   rows.size() * sizeof(double)));
    write_bytes(dir / (stem + ".type"), std::string(dtype) + " " + std::to_string(y) + " " +
                                            std::to_string(x) + " " + std::to_string(z));
    ms.push_back(m);
  }
  ASSERT_EQ(python_failure(dir, kNumpy), "");
  for (std::size_t n = 0; n < ms.size(); ++n) {
    const auto& [word, dtype, y, x, z] = cases[n];
    Ref back = read(std::to_string(n) + ".np", x, y, z, word, 0);
    const auto* b = static_cast<Cvd::MatVal*>(back.get());
    ASSERT_EQ(b->size(), ms[n]->size()) << word;
    EXPECT_EQ(b->get_Rows(), y) << word;
    EXPECT_TRUE(std::equal(ms[n]->real(), ms[n]->real() + ms[n]->size(), b->real())) << word;
  }
}

TEST_F(Raw, ArgumentsAreCheckedInOrder) {
  write_bytes(dir / "f.raw", std::string(13, '\x01'));
  std::error_code ec;
  struct Case {
    double x, y, z;
    const char* type;
    double skip;
    Raised want;
  };
  const Case reads[] = {
      {2.5, 1, 1, "byte", 0, {"must be non-negative integer", 2}},
      {2e9, 1, 2, "byte", 0, {"integer too large", 2}},  // 4e9 columns
      {1, kNan, 1, "byte", 0, {"must be non-negative integer", 3}},
      {1, 1, 5, "byte", 0, {"must be 1, 2, 3 or 4", 4}},
      {1, 1, 1, "int16le", 0, {"unrecognized value", 5}},
      {1, 1, 1, "byte", -1, {"must be non-negative integer", 6}},
      // The file holds 13 bytes.
      {2, 3, 1, "uint16", 2, {"expected 14 bytes, file holds 13", 1}},
      {0x1p30, 0x1p30, 1, "double", 0, {"expected 9223372036854775808 bytes, file holds 13", 1}},
  };
  for (const Case& c : reads) {
    EXPECT_EQ(raised([&] { read("f.raw", c.x, c.y, c.z, c.type, c.skip); }), c.want)
        << c.x << " " << c.y << " " << c.z << " " << c.type << " " << c.skip;
  }
  EXPECT_EQ(raised([&] {
              IO::READRAW(dir.cwd(), str("f.raw"), num(1, 1), num(1), num(1), str("byte"), num(0));
            }),
            (Raised{"must be non-negative integer", 2}));
  EXPECT_EQ(rows_of(read("f.raw", 1, 1, 1, "byte", 12)), (Rows{{1}}));  // exactly enough
  // A kernel setting claims a page and cannot be mapped: it is read, and
  // the read comes short of the size it claimed.
  const char* setting = "/sys/kernel/mm/transparent_hugepage/enabled";
  if (std::filesystem::file_size(setting, ec) == 4096) {
    const std::string text = read_bytes(setting);
    EXPECT_EQ(rows_of(read(setting, 2, 1, 1, "byte", 1)),
              (Rows{{double(text[1]), double(text[2])}}));
    EXPECT_EQ(raised([&] { read(setting, 64, 64, 1, "byte", 0); }),
              (Raised{"file read error: Input/output error", 1}));
  }
  EXPECT_EQ(raised([&] { read("none.raw", 1, 1, 1, "byte", 0); }), (Raised{"file open error", 1}));
  std::filesystem::create_directory(dir / "folder.raw");
  EXPECT_EQ(raised([&] { read("folder.raw", 0, 0, 1, "byte", 0); }),
            (Raised{"file open error", 1}));

  const std::tuple<const char*, double, const char*, Ref, Raised> writes[] = {
      {"w.raw", 0, "byte", mat({{1}}), {"must be 1, 2, 3 or 4", 2}},
      {"w.raw", 1, "bytes", mat({{1}}), {"unrecognized value", 3}},
      {"w.raw", 2, "byte", mat({{1, 2, 3}}), {"not a packed image matrix", 4}},
      {"w.raw", 1, "byte", with_imag(mat({{1}}), {1}), {"must be real matrix", 4}},
      {"no/such/w.raw", 1, "byte", mat({{1}}), {std::strerror(ENOENT), Kex::kWholeCall}}};
  for (const auto& [name, x, type, m, want] : writes)
    EXPECT_EQ(raised([&] { write(name, x, type, m); }), want) << want.message;
  EXPECT_FALSE(std::filesystem::exists(dir / "w.raw"));
}

}  // namespace
