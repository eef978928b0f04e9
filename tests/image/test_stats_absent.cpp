// PGM, PPM and TIFF files without the statistics library, then with a
// stand-in that has only the TIFF reader and returns packed matrices. This
// program loads libkexio from a folder of its own, where the test puts the
// stand-in as the statistics library once the absent case is checked.
#include <filesystem>

#include "references.h"

namespace {

using namespace image_test;

TEST(ImageStatsLibrary, AbsentThenFoundWithPackedTiffSets) {
  const std::filesystem::path library =
      std::filesystem::path(KEXIO_STATS_DIR) / "libkexstatscir.so";
  std::filesystem::remove(library);
  TempDir dir;
  dir.write("a.tif", std::string("II*\0\x08\0\0\0", 8));
  dir.write("a.pgm", std::string("P5 1 1 255\n\x07"));
  dir.write("a.ppm", std::string("P6 1 1 255\n\x01\x02\x03"));
  auto read = [&](Reader f, const char* name) { return rows_of(f(dir.cwd(), str(name))); };
  auto error = [&](Reader f, const char* name) { return raised([&] { f(dir.cwd(), str(name)); }); };
  const Raised unknown{"unknown file format", Kex::kWholeCall};
  for (const char* name : {"a.tif", "a.pgm", "a.ppm"})
    EXPECT_EQ(error(&IO::READ_IMAGE, name), unknown) << name;

  // Once it is there the next call finds it.
  std::filesystem::copy_file(KEXIO_FAKE_STATS, library);
  struct Remove {
    std::filesystem::path p;
    ~Remove() { std::filesystem::remove(p); }
  } remove{library};
  const Rows packed = {{10, 200, 30, 40, 50, 60}, {255, 0, 0, 255, 0, 128}};
  EXPECT_EQ(read(&IO::READRGB, "a.tif"), packed);
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.tif"), packed);
  EXPECT_EQ(read(&IO::READ_RED, "a.tif"), packed);
  EXPECT_EQ(read(&IO::READ_BLUE, "a.tif"), Rows(2, std::vector<double>(6)));
  // The packed matrix is read as the planes of a picture two pixels wide;
  // one plane of it fills only the first two columns.
  const Rows hsv = converted(packed, Kex::RGB_TO_HSV);
  Rows hue = hsv;
  for (auto& row : hue)
    std::fill(row.begin() + 2, row.end(), 0.0);
  EXPECT_EQ(read(&IO::READ_HSV, "a.tif"), hsv);
  EXPECT_EQ(read(&IO::READ_HSV_HUE, "a.tif"), hue);
  // Without their readers, PGM and PPM files stay unknown.
  for (const char* name : {"a.pgm", "a.ppm"})
    EXPECT_EQ(error(&IO::READRGB, name), unknown) << name;
}

}  // namespace
