// Reading JPEG files: files from cjpeg and Pillow against libjpeg's own
// decoding and Pillow's, and damaged files. (Reading through a pipe is
// checked against reading from memory by the fuzz target and its seeds.)
#include <cmath>
#include <fstream>

#include "references.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

class Jpeg : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!have_python_pil() || access("/usr/bin/cjpeg", X_OK) != 0) return;
    samples = new TempDir;
    if (!run_script("jpeg_samples.py", {samples->path().string()})) GTEST_FAIL();
  }
  static void TearDownTestSuite() { delete samples; }
  void SetUp() override {
    if (samples == nullptr) GTEST_SKIP() << "needs cjpeg, djpeg and Pillow";
  }
  static inline TempDir* samples = nullptr;
};

// djpeg's pixels and grey levels (libjpeg's own luminance; CMYK, which it
// will not decode, takes Pillow's pixels and their grey levels) and Pillow's.
TEST_F(Jpeg, PixelsAreLibjpegsAndPillows) {
  Compared c = compare_manifest(*samples, "");
  EXPECT_EQ(c.by_tool[".rgb"], 16);
  EXPECT_EQ(c.by_tool[".pil"], 14);
}

TEST_F(Jpeg, DamagedFilesFailClearlyAndCloseTheFile) {
  const Bytes s420 = samples->read("s420.jpg"), prog = samples->read("progressive.jpg");
  std::size_t sof = 0;
  while (!(s420[sof] == 0xFF && s420[sof + 1] == 0xC0))
    ++sof;
  auto patched = [&](std::initializer_list<std::pair<std::size_t, std::uint8_t>> changes) {
    Bytes b = s420;
    for (auto [at, v] : changes)
      b[sof + at] = v;
    return b;
  };
  // The progressive file's last scan, again and again after it.
  auto repeat_last_scan = [&](int times) {
    std::size_t from = prog.size() - 2;  // its end-of-image marker
    while (!(prog[from] == 0xFF && prog[from + 1] == 0xDA))
      --from;
    Bytes b(prog.begin(), prog.end() - 2), scan(prog.begin() + long(from), prog.end() - 2);
    for (int i = 0; i < times; ++i)
      b.insert(b.end(), scan.begin(), scan.end());
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
  };
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const char* const io_error = "file i/o error";
  const struct {
    std::string what;
    Bytes bytes;
    const char* message;  // null: read
  } cases[] = {
      // What the factory gave before it knew any JPEG but JFIF stays as it was.
      {"nine bytes", text("\xFF\xD8\xFF\xE0\0\x10JFI"s), io_error},
      {"JFIF cut after ten", text("\xFF\xD8\xFF\xE0\0\x10JFIF"s), io_error},
      {"JFIF without a marker", text("xxxxxxJFIF and then text that is no JPEG"), io_error},
      {"no second marker", text("\xFF\xD8\x00 and more text after it"s), "unknown file format"},
      {"cut in the tables", Bytes(s420.begin(), s420.begin() + 200), io_error},
      {"cut in the frame header", Bytes(s420.begin(), s420.begin() + long(sof) + 8), io_error},
      {"height 0", patched({{5, 0}, {6, 0}}), io_error},
      {"width 0", patched({{7, 0}, {8, 0}}), io_error},
      {"12 bits", patched({{4, 12}}), io_error},
      {"no components", patched({{9, 0}}), io_error},
      {"sampling 0", patched({{11, 0}}), io_error},
      {"499 scans", repeat_last_scan(499 - 10), nullptr},  // cjpeg writes 10
      {"501 scans", repeat_last_scan(501 - 10), io_error},
  };
  const long fds = open_descriptors();
  TempDir dir;
  for (const auto& c : cases) {
    dir.write("x.jpg", c.bytes);
    Raised r = raised([&] { IO::READRGB(dir.cwd(), str("x.jpg")); });
    EXPECT_EQ(r.message, c.message ? c.message : "<nothing raised>") << c.what;
  }
  EXPECT_EQ(open_descriptors(), fds);
}

}  // namespace
