// The writers' host-library extensions when no image library can be found.
#include "image_support.h"

namespace {

using namespace image_test;

TEST(ImageWriteAbsent, HostLibraryExtensionsAreUnknownFormats) {
  if (std::filesystem::exists(std::string(KEXIO_BINARY_DIR) + "/lib/libkeximager.so")) {
    GTEST_SKIP() << "an image library is built beside libkexio.so";
  }
  TempDir dir;
  auto m = mat({{1, 2, 3}});
  // A second attempt looks for the library again.
  const std::pair<Writer, const char*> to_library[] = {
      {&IO::WRITEBMP, "a.tif"}, {&IO::WRITEBMP, "b.PGM"}, {&IO::WRITEBMP, "c.pbm"},
      {&IO::WRITERGB, "d.ppm"}, {&IO::WRITERGB, "e.tif"}, {&IO::WRITEBMP, "a.tif"}};
  for (const auto& [f, name] : to_library) {
    EXPECT_EQ(raised([&] { f(dir.cwd(), str(name), m); }),
              (Raised{"unknown file format", Kex::kWholeCall}))
        << name;
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  }
  // Other names still write BMP files.
  IO::WRITERGB(dir.cwd(), str("f.TIF"), m);
  EXPECT_EQ(dir.read("f.TIF").size(), 58u);
}

}  // namespace
