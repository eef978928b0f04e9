// The resolver, the path conversion and the colour conversions; run-time
// loading of host libraries beside libkexio.so (a library that is found
// there shows that module_dir() is its folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/loader.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace {

std::string resolve(const char* name, const char* cwd) {
  return CHTTPRedirector(name, cwd, CHTTPRedirector::kRead).LocalPath();
}

TEST(Resolver, RelativeAbsoluteFileAndOtherUrls) {
  EXPECT_EQ(resolve("data.prn", "/home/w"), "/home/w/data.prn");
  EXPECT_EQ(resolve("sub/data.prn", "/home/w/"), "/home/w/sub/data.prn");
  EXPECT_EQ(resolve("/tmp/x.prn", "/home/w"), "/tmp/x.prn");
  EXPECT_EQ(resolve("file:///tmp/a%20b.prn", "/home/w"), "/tmp/a b.prn");
  EXPECT_EQ(resolve("FILE://localhost/tmp/x", ""), "/tmp/x");
  char here[PATH_MAX];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(resolve("x.prn", ""), std::string(here) + "/x.prn") << "empty cwd: the process's";
  EXPECT_EQ(resolve("caf\xc3\xa9.prn", "/w\xe6\x97\xa5"), "/w\xe6\x97\xa5/caf\xc3\xa9.prn")
      << "path text is kept";
  // A colon alone does not make a URL; other schemes raise the resolver's
  // error.
  EXPECT_EQ(resolve("c:data.prn", "/w"), "/w/c:data.prn");
  for (const char* url : {"http://example.org/a.prn", "ftp://h/x", "https://h/y"}) {
    try {
      resolve(url, "/w");
      FAIL() << url;
    } catch (const Kex::ComError& e) {
      EXPECT_NE(e.Description().find("not supported"), std::string::npos) << e.Description();
    }
  }
  EXPECT_THROW(resolve("file://relative/path", "/w"), Kex::ComError);
}

// Worksheet names become UTF-8 paths; given_bytes gives back the byte
// string every other worksheet string becomes (each code unit's low byte).
TEST(Names, PathTextAndGivenBytes) {
  struct Case {
    std::u16string units;
    std::string path, given;
  };
  const Case cases[] = {
      {u"plain.prn", "plain.prn", "plain.prn"},
      {u"caf\u00e9\u00ff", "caf\xc3\xa9\xc3\xbf", "caf\xe9\xff"},
      {u"\u65e5\u672c.prn", "\xe6\x97\xa5\xe6\x9c\xac.prn", "\xe5\x2c.prn"},
      {u"\U0001F601", "\xf0\x9f\x98\x81", "\x3d\x01"},  // a surrogate pair
      {u"a\xd8ff"
       u"b",
       "a\xed\xa3\xbf"
       "b",
       "a\xff"
       "b"},                                   // a lone surrogate
      {std::u16string(u"a\0b", 3), "a", "a"},  // NUL ends a name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Kex::path_text(c.units), c.path) << c.path;
    EXPECT_EQ(Kex::given_bytes(c.path.c_str()), c.given) << c.path;
  }
}

// Every byte triple survives the trip through HSV and through HLS; every
// component is on a scale of 0..255, and outputs may be left out.
TEST(Colour, EveryByteTripleRoundTripsOnAScaleOf255) {
  long hsv_failures = 0, hls_failures = 0;
  for (int rgb = 0; rgb < 1 << 24; ++rgb) {
    int r = rgb >> 16, g = rgb >> 8 & 255, b = rgb & 255;
    double x, y, z;
    unsigned char R, G, B;
    Kex::RGB_TO_HSV(r, g, b, &x, &y, &z);
    Kex::HSV_TO_RGB(x, y, z, &R, &G, &B);
    hsv_failures += (R != r) | (G != g) | (B != b);
    Kex::RGB_TO_HLS(r, g, b, &x, &y, &z);
    Kex::HLS_TO_RGB(x, y, z, &R, &G, &B);
    hls_failures += (R != r) | (G != g) | (B != b);
  }
  EXPECT_EQ(hsv_failures, 0);
  EXPECT_EQ(hls_failures, 0);
  using Triple = std::array<double, 3>;
  Triple x{-1, -1, -1};
  Kex::RGB_TO_HSV(255, 0, 0, &x[0], &x[1], &x[2]);
  EXPECT_EQ(x, (Triple{0, 255, 255}));
  Kex::RGB_TO_HSV(0, 0, 255, &x[0], nullptr, nullptr);
  EXPECT_DOUBLE_EQ(x[0], 170.0) << "blue is two thirds of the way round";
  Kex::RGB_TO_HLS(0, 255, 0, nullptr, &x[1], &x[2]);
  EXPECT_EQ(x[1], 127.5);
  EXPECT_EQ(x[2], 255);
  unsigned char c[3];
  Kex::HSV_TO_RGB(255.0 + 85.0, 255, 255, &c[0], &c[1], &c[2]);  // hue wraps round
  EXPECT_EQ(std::string(c, c + 3), std::string("\0\xff\0", 3));
  Kex::HLS_TO_RGB(NAN, 1e9, -5, &c[0], &c[1], &c[2]);  // NaN hue, clamped lightness
  EXPECT_EQ(std::string(c, c + 3), "\xff\xff\xff");
}

namespace fs = std::filesystem;

TEST(Loader, AbsentThenPresentThenCachedWithoutReloading) {
  const char* probe = std::getenv("KEXIO_PROBE_LIBRARY");
  ASSERT_NE(probe, nullptr);
  std::string name = "kexioprobe" + std::to_string(getpid());
  fs::path target = fs::path(kexio::module_dir()) / ("lib" + name + ".so");
  std::string dll = name + ".DLL";

  EXPECT_EQ(kexio::load_host_library(dll.c_str()), nullptr);

  fs::copy_file(probe, target, fs::copy_options::overwrite_existing);
  void* lib = kexio::load_host_library(dll.c_str());
  fs::remove(target);
  ASSERT_NE(lib, nullptr) << "a failed load is retried";
  auto answer = reinterpret_cast<int (*)()>(kexio::host_entry(lib, "kexio_probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(kexio::host_entry(lib, "no_such_entry"), nullptr);

  // The file is gone: only the cache can answer now.
  EXPECT_EQ(kexio::load_host_library(dll.c_str()), lib);

  using Fn = int (*)();
  kexio::HostEntry<Fn> entry(dll.c_str(), "kexio_probe_answer");
  ASSERT_NE(entry.get(), nullptr);
  EXPECT_EQ(entry.get()(), 42);
}

}  // namespace
