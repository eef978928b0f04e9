// The writers' host-library extensions when no image library can be found.
#include <filesystem>

#include "image_support.h"

namespace {

using namespace image_test;
using kexio_test::mat;
using kexio_test::str;

TEST(ImageWriteAbsent, HostLibraryExtensionsAreUnknownFormats) {
  if (std::filesystem::exists(std::string(KEXIO_BINARY_DIR) + "/lib/libkeximager.so")) {
    GTEST_SKIP() << "an image library is built beside libkexio.so";
  }
  TempDir dir;
  for (const char* name : {"a.tif", "b.PGM", "c.pbm"}) {
    Raised r = raised([&] { IO::WRITEBMP(dir.cwd(), str(name), mat({{1, 2}})); });
    EXPECT_EQ(r.message, "unknown file format") << name;
    EXPECT_EQ(r.index, Kex::kWholeCall) << name;
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  }
  for (const char* name : {"d.ppm", "e.tif"}) {
    Raised r = raised([&] { IO::WRITERGB(dir.cwd(), str(name), mat({{1, 2, 3}})); });
    EXPECT_EQ(r.message, "unknown file format") << name;
    EXPECT_EQ(r.index, Kex::kWholeCall) << name;
  }
  // Other names still write BMP files, and a second attempt looks again.
  IO::WRITERGB(dir.cwd(), str("f.TIF"), mat({{1, 2, 3}}));
  EXPECT_EQ(dir.read("f.TIF").size(), 58u);
  EXPECT_EQ(raised([&] { IO::WRITEBMP(dir.cwd(), str("a.tif"), mat({{1}})); }).message,
            "unknown file format");
}

}  // namespace
