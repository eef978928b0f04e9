// The libraries libkexio loads at run time, absent and then found. This
// program loads libkexio from a folder of links of its own, where the
// statistics, image and data-import libraries are missing at first: every
// call that needs one reports it and creates nothing. Once a library is put
// there (the statistics library as a stand-in that has only the TIFF reader
// and returns packed matrices) the next call finds it: a failed load is not
// remembered.
#include <filesystem>
#include <functional>

#include "image/image_support.h"

namespace {

using namespace image_test;
namespace fs = std::filesystem;

using Libraries = ImageTest;

TEST_F(Libraries, AbsentThenFound) {
  const fs::path stats = fs::path(KEXIO_LIBRARY_LINKS) / "libkexstatscir.so",
                 imager = fs::path(KEXIO_LIBRARY_LINKS) / "libkeximager.so";
  // Those a run before this one put there (this one leaves its own).
  for (const fs::path& p : {stats, imager})
    fs::remove(p);
  dir.write("a.tif", std::string("II*\0\x08\0\0\0", 8));
  dir.write("a.pgm", std::string("P5 1 1 255\n\x07"));
  dir.write("a.ppm", std::string("P6 1 1 255\n\x01\x02\x03"));
  dir.write("a.csv", std::string("1\n"));
  const Raised unknown{"unknown file format", Kex::kWholeCall};
  for (const char* name : {"a.tif", "a.pgm", "a.ppm"})
    EXPECT_EQ(error_of(&IO::READ_IMAGE, name), unknown) << name;
  EXPECT_EQ(raised([&] {
              IO::READFILE(dir.cwd(), {str("a.csv"), str("csv")});
            }),
            (Raised{"unknown error", Kex::kWholeCall}));
  // Each entry of the image library: the writers of grey and colour
  // pictures, of raw images, and the reader of raw images.
  const auto m = mat({{1, 2, 3}});
  const std::function<Ref()> imager_calls[] = {
      [&] { return IO::WRITEBMP(dir.cwd(), str("x.tif"), m); },
      [&] { return IO::WRITERGB(dir.cwd(), str("x.png"), m); },
      [&] { return IO::READRAW(dir.cwd(), m, str("x.raw"), num(1), str("byte")); },
      [&] {
        return IO::READRAW(dir.cwd(), str("x.raw"), num(3), num(1), num(1), str("byte"), num(0));
      }};
  for (const auto& call : imager_calls)
    EXPECT_EQ(raised(call), unknown);
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"a.csv", "a.pgm", "a.ppm", "a.tif"}));

  fs::create_symlink(KEXIO_IMAGER, imager);
  for (const auto& call : imager_calls)
    EXPECT_EQ(raised(call).message, "<nothing raised>");
  EXPECT_EQ(rows_of(imager_calls[3]()), (Rows{{1, 2, 3}}));
  fs::copy_file(KEXIO_FAKE_STATS, stats);
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
    EXPECT_EQ(error_of(&IO::READRGB, name), unknown) << name;
}

}  // namespace
