// Differential reading: BMP files written by Pillow, ImageMagick and a
// run-length encoder of the sample script, read by us and by Pillow and
// ImageMagick; the pixels must agree exactly.
#include "image_support.h"

namespace {

using namespace image_test;
using kexio_test::str;

struct Sample {
  std::string name;
  int width, height;
};

class ImageReference : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    if (!have_python_pil()) return;
    std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                      "/tests/image/make_samples.py '" + dir->path() + "'";
    made = std::system(cmd.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
    ASSERT_TRUE(made) << "the sample script failed";
  }

  static std::vector<Sample> samples() {
    std::vector<Sample> out;
    std::ifstream in(dir->file("manifest"));
    Sample s;
    while (in >> s.name >> s.width >> s.height)
      out.push_back(s);
    return out;
  }

  static TempDir* dir;
  static bool made;

 public:
  static std::u16string cwd() { return dir->cwd(); }
};

TempDir* ImageReference::dir = nullptr;
bool ImageReference::made = false;

std::u16string ImageReferenceDir() {
  return ImageReference::cwd();
}

std::u16string ImageReferenceDir();

// Compares every pixel of our READRGB and READ_IMAGE with a reference dump
// (rows of red, green, blue bytes, top first).
void compare(const Sample& s, const Bytes& ref, const Ref& rgb, const Ref& grey,
             const std::string& who) {
  Cvd::MatVal* m = as_matrix(rgb);
  Cvd::MatVal* g = as_matrix(grey);
  ASSERT_EQ(m->get_Rows(), static_cast<std::uint32_t>(s.height)) << s.name;
  ASSERT_EQ(m->get_Cols(), static_cast<std::uint32_t>(3 * s.width)) << s.name;
  ASSERT_EQ(ref.size(), static_cast<std::size_t>(3 * s.width * s.height)) << s.name;
  int rgb_bad = 0, grey_bad = 0;
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      const std::uint8_t* p = &ref[3 * (static_cast<std::size_t>(y) * s.width + x)];
      for (int k = 0; k < 3; ++k)
        rgb_bad += m->get_real(y, k * s.width + x) != p[k];
      unsigned expect = (299u * p[0] + 587u * p[1] + 114u * p[2] + 500u) / 1000u;
      grey_bad += g->get_real(y, x) != expect;
    }
  }
  EXPECT_EQ(rgb_bad, 0) << s.name << " READRGB against " << who;
  EXPECT_EQ(grey_bad, 0) << s.name << " READ_IMAGE against " << who;
}

// Reads a sample, turning a reported error into a test failure that names it.
Ref read_sample(Reader f, const Sample& s) {
  try {
    return f(ImageReferenceDir(), kexio_test::str(s.name + ".bmp"));
  } catch (const Kex::Exception& e) {
    ADD_FAILURE() << s.name << ": " << e.message();
    return nullptr;
  }
}

TEST_F(ImageReference, PixelsMatchPillowAndImageMagick) {
  std::vector<Sample> all = samples();
  ASSERT_GE(all.size(), 5u);
  int compared_pil = 0, compared_im = 0;
  for (const Sample& s : all) {
    SCOPED_TRACE(s.name);
    Ref rgb = read_sample(&IO::READRGB, s);
    Ref grey = read_sample(&IO::READ_IMAGE, s);
    if (rgb == nullptr || grey == nullptr) continue;
    Bytes pil = dir->read(s.name + ".pil");
    Bytes im = dir->read(s.name + ".im");
    if (!pil.empty()) {
      compare(s, pil, rgb, grey, "Pillow");
      ++compared_pil;
    }
    if (!im.empty()) {
      compare(s, im, rgb, grey, "ImageMagick");
      ++compared_im;
    }
    EXPECT_FALSE(pil.empty() && im.empty()) << "no reference decoder read " << s.name;
  }
  EXPECT_GE(compared_pil, 5);
  if (have_imagemagick()) {
    EXPECT_GE(compared_im, 13);
  }
}

TEST_F(ImageReference, OnePlaneFunctionsAreTheBlocksOfReadRgb) {
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.name);
    auto rgb = rows_of(read_sample(&IO::READRGB, s));
    std::size_t w = static_cast<std::size_t>(s.width);
    if (rgb.empty()) continue;
    EXPECT_EQ(block(rgb, 0, w), rows_of(read_sample(&IO::READ_RED, s)));
    EXPECT_EQ(block(rgb, w, w), rows_of(read_sample(&IO::READ_GREEN, s)));
    EXPECT_EQ(block(rgb, 2 * w, w), rows_of(read_sample(&IO::READ_BLUE, s)));
    auto hsv = rows_of(read_sample(&IO::READ_HSV, s));
    EXPECT_EQ(block(hsv, 2 * w, w), rows_of(read_sample(&IO::READ_HSV_VALUE, s)));
  }
}

}  // namespace
