// The resolver, the path conversion and the colour conversions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace {

std::string resolve(const char* name, const char* cwd) {
  return CHTTPRedirector(name, cwd, CHTTPRedirector::kRead).LocalPath();
}

TEST(Resolver, RelativeAbsoluteAndFileUrls) {
  EXPECT_EQ(resolve("data.prn", "/home/w"), "/home/w/data.prn");
  EXPECT_EQ(resolve("sub/data.prn", "/home/w/"), "/home/w/sub/data.prn");
  EXPECT_EQ(resolve("/tmp/x.prn", "/home/w"), "/tmp/x.prn");
  EXPECT_EQ(resolve("file:///tmp/a%20b.prn", "/home/w"), "/tmp/a b.prn");
  EXPECT_EQ(resolve("FILE://localhost/tmp/x", ""), "/tmp/x");
  char here[PATH_MAX];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(resolve("x.prn", ""), std::string(here) + "/x.prn") << "empty cwd: the process's";
  EXPECT_EQ(resolve("caf\xe9.prn", "/w"), "/w/caf\xc3\xa9.prn") << "Latin-1 becomes UTF-8";
}

TEST(Resolver, OtherSchemesRaiseTheResolverError) {
  for (const char* url : {"http://example.org/a.prn", "ftp://h/x", "https://h/y"}) {
    try {
      resolve(url, "/w");
      FAIL() << url;
    } catch (const Kex::ComError& e) {
      EXPECT_NE(e.Description().find("not supported"), std::string::npos) << e.Description();
    }
  }
  EXPECT_THROW(resolve("file://relative/path", "/w"), Kex::ComError);
  // A colon alone does not make a URL.
  EXPECT_EQ(resolve("c:data.prn", "/w"), "/w/c:data.prn");
}

TEST(NativePath, Latin1ToUtf8) {
  EXPECT_EQ(Kex::native_path("plain/name.txt"), "plain/name.txt");
  EXPECT_EQ(Kex::native_path("\xff\x80"), "\xc3\xbf\xc2\x80");
}

// Every byte triple survives the trip through HSV and through HLS.
TEST(Colour, EveryByteTripleRoundTrips) {
  long hsv_failures = 0, hls_failures = 0;
  for (int r = 0; r < 256; ++r) {
    for (int g = 0; g < 256; ++g) {
      for (int b = 0; b < 256; ++b) {
        double x, y, z;
        unsigned char R, G, B;
        Kex::RGB_TO_HSV(r, g, b, &x, &y, &z);
        Kex::HSV_TO_RGB(x, y, z, &R, &G, &B);
        hsv_failures += (R != r) | (G != g) | (B != b);
        Kex::RGB_TO_HLS(r, g, b, &x, &y, &z);
        Kex::HLS_TO_RGB(x, y, z, &R, &G, &B);
        hls_failures += (R != r) | (G != g) | (B != b);
      }
    }
  }
  EXPECT_EQ(hsv_failures, 0);
  EXPECT_EQ(hls_failures, 0);
}

TEST(Colour, ScaleAndNullOutputs) {
  double h = -1, s = -1, v = -1;
  Kex::RGB_TO_HSV(255, 0, 0, &h, &s, &v);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(s, 255);
  EXPECT_EQ(v, 255);
  Kex::RGB_TO_HSV(0, 0, 255, &h, nullptr, nullptr);
  EXPECT_DOUBLE_EQ(h, 170.0) << "blue is two thirds of the way round";
  double l = -1;
  s = -1;
  Kex::RGB_TO_HLS(0, 255, 0, nullptr, &l, &s);
  EXPECT_EQ(l, 127.5);
  EXPECT_EQ(s, 255);
  Kex::RGB_TO_HLS(10, 10, 10, &h, &l, &s);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(l, 10);
  unsigned char r, g, b;
  Kex::HSV_TO_RGB(255.0 + 85.0, 255, 255, &r, &g, &b);  // hue wraps round
  EXPECT_EQ((int)r, 0);
  EXPECT_EQ((int)g, 255);
  EXPECT_EQ((int)b, 0);
  Kex::HLS_TO_RGB(0.0 / 0.0, 1e9, -5, &r, &g, &b);  // NaN hue, clamped lightness
  EXPECT_EQ((int)r, 255);
  EXPECT_EQ((int)g, 255);
  EXPECT_EQ((int)b, 255);
}

TEST(PureReal, NullOrZeroImaginaryParts) {
  double re[2] = {1, 2}, im[2] = {0, 0};
  Kex::aMatrix m{{2, Kex::kMatrixTag}, 2, 1, re, nullptr};
  EXPECT_TRUE(pure_real(&m));
  m.m_iv = im;
  EXPECT_TRUE(pure_real(&m));
  im[1] = -1;
  EXPECT_FALSE(pure_real(&m));
}

}  // namespace
