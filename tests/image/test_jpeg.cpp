// Reading JPEG files: files from cjpeg and Pillow against libjpeg's own
// decoding and Pillow's, damaged files, and a file read through a pipe.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <thread>

#include "image_support.h"
#include "kexio/host/services.h"

namespace {

using namespace image_test;
using namespace std::string_literals;

class Jpeg : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!have_python_pil() || access("/usr/bin/cjpeg", X_OK) != 0) return;
    signal(SIGPIPE, SIG_IGN);  // a reader that fails stops reading a pipe
    samples = new TempDir;
    std::string cmd = "/usr/bin/python3 "s + KEXIO_SOURCE_DIR + "/tests/image/jpeg_samples.py '" +
                      samples->path().string() + "'";
    if (std::system(cmd.c_str()) != 0) GTEST_FAIL() << cmd;
  }
  static void TearDownTestSuite() { delete samples; }
  void SetUp() override {
    if (samples == nullptr) GTEST_SKIP() << "needs cjpeg, djpeg and Pillow";
  }
  static Rows read(Reader f, const std::string& name) {
    return rows_of(f(samples->cwd(), str(name)));
  }
  static inline TempDir* samples = nullptr;
};

TEST_F(Jpeg, PixelsAreLibjpegsAndPillows) {
  std::ifstream manifest(samples->file("manifest"));
  std::string name;
  std::size_t w = 0, h = 0, compared = 0;
  while (manifest >> name >> w >> h) {
    SCOPED_TRACE(name);
    const std::string file = name + ".jpg";
    Rows rgb = read(&IO::READRGB, file);
    ASSERT_EQ(rgb, planes_of(samples->read(name + ".rgb"), w));
    Bytes pil = samples->read(name + ".pil");
    if (!pil.empty()) {
      EXPECT_EQ(rgb, planes_of(pil, w));
      ++compared;
    }
    // Grey: libjpeg's own luminance; CMYK pictures (no grey output in the
    // library) take the grey level of their colours.
    Bytes grey = samples->read(name + ".grey");
    Rows want(h, std::vector<double>(w));
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        const std::vector<double>& p = rgb[y];
        want[y][x] =
            grey.empty()
                ? std::floor((299 * p[x] + 587 * p[w + x] + 114 * p[2 * w + x] + 500) / 1000)
                : grey[y * w + x];
      }
    }
    EXPECT_EQ(read(&IO::READ_IMAGE, file), want);
    EXPECT_EQ(read(&IO::READ_GREEN, file), block(rgb, w, w));
    // The colour spaces convert the same colours.
    Rows hls = read(&IO::READ_HLS, file);
    for (std::size_t y = 0; y < h; y += 7) {
      for (std::size_t x = 0; x < w; x += 5) {
        const std::vector<double>& p = rgb[y];
        double c[3];
        Kex::RGB_TO_HLS(p[x], p[w + x], p[2 * w + x], &c[0], &c[1], &c[2]);
        for (std::size_t k = 0; k < 3; ++k)
          ASSERT_EQ(hls[y][k * w + x], c[k]) << y << " " << x;
      }
    }
  }
  EXPECT_EQ(compared, 14u);
}

// The start of an image's last scan, and its end (the end-of-image marker).
std::pair<std::size_t, std::size_t> last_scan(const Bytes& b) {
  for (std::size_t i = b.size() - 2; i > 0; --i) {
    if (b[i] == 0xFF && b[i + 1] == 0xDA) return {i, b.size() - 2};
  }
  return {0, 0};
}

long open_descriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

TEST_F(Jpeg, DamagedFilesFailClearlyAndCloseTheFile) {
  const Bytes s420 = samples->read("s420.jpg"), prog = samples->read("progressive.jpg");
  std::size_t sof = 0;
  while (!(s420[sof] == 0xFF && s420[sof + 1] == 0xC0))
    ++sof;
  auto patched = [&](std::size_t at, std::uint8_t v) {
    Bytes b = s420;
    b[sof + at] = v;
    return b;
  };
  auto repeat_last_scan = [&](int times) {
    auto [from, to] = last_scan(prog);
    Bytes b(prog.begin(), prog.begin() + long(to));
    for (int i = 0; i < times; ++i)
      b.insert(b.end(), prog.begin() + long(from), prog.begin() + long(to));
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
      {"height 0",
       [&] {
         Bytes b = patched(5, 0);
         b[sof + 6] = 0;
         return b;
       }(),
       io_error},
      {"width 0",
       [&] {
         Bytes b = patched(7, 0);
         b[sof + 8] = 0;
         return b;
       }(),
       io_error},
      {"12 bits", patched(4, 12), io_error},
      {"no components", patched(9, 0), io_error},
      {"sampling 0", patched(11, 0x00), io_error},
      {"499 scans", repeat_last_scan(499 - 10), nullptr},
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

TEST_F(Jpeg, ReadsFromAPipe) {
  // Two long application segments make the library skip across the chunks
  // the pipe is read in; they hold end-of-image markers, so that a skip
  // that fell short would end the file.
  Bytes bands = samples->read("bands.jpg"), app = {0xFF, 0xEF, 0xFD, 0xE8};
  for (int i = 0; i < 32499; ++i)
    app.insert(app.end(), {0xFF, 0xD9});
  for (int i = 0; i < 2; ++i)
    bands.insert(bands.begin() + 2, app.begin(), app.end());
  TempDir dir;
  for (const Bytes& file : {bands, samples->read("cut_scan.jpg")}) {
    dir.write("plain.jpg", file);
    ASSERT_EQ(mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    std::jthread writer([&] {
      int fd = open(dir.file("pipe.jpg").c_str(), O_WRONLY);
      (void)!write(fd, file.data(), file.size());
      close(fd);
    });
    EXPECT_EQ(rows_of(IO::READRGB(dir.cwd(), str("pipe.jpg"))),
              rows_of(IO::READRGB(dir.cwd(), str("plain.jpg"))));
    std::filesystem::remove(dir.path() / "pipe.jpg");
  }
}

}  // namespace
