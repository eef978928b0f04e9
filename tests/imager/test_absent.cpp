// The kexio program copied without the image library: every call that needs
// it reports "unknown file format" and creates nothing; once the session has
// put the library beside libkexio.so (copying it with READBIN and WRITEBIN),
// the same calls find it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "app/support.h"

namespace {

namespace fs = std::filesystem;
using kexio_test::lines_of;

TEST(ImagerAbsent, UnknownFormatUntilTheLibraryIsThere) {
  kexio_test::ScratchDir tree, work;
  const std::string lib = tree / "lib", from = fs::path(KEXIO_IMAGER).parent_path().string();
  ASSERT_EQ(std::system(("mkdir '" + lib + "' '" + tree / "bin" + "' && cp " KEXIO_PROGRAM " '" +
                         tree / "bin" + "' && cd '" + from +
                         "' && cp -P $(ls lib*.so* | grep -v keximager) '" + lib + "'")
                            .c_str()),
            0);
  // Each call once without the library (files x...), then, after the
  // worksheet has copied the library, again (files y...).
  const std::string calls[] = {R"(WRITEBMP("#a.tif", [1, 2, 3]))",
                               R"(WRITEBMP("#b.PGM", [1, 2, 3]))",
                               R"(WRITEBMP("#c.pbm", [1, 2, 3]))",
                               R"(WRITEBMP("#d.Png", [1, 2, 3]))",
                               R"(WRITERGB("#e.ppm", [1, 2, 3]))",
                               R"(WRITERGB("#f.png", [1, 2, 3]))",
                               R"(WRITERAW("#g.raw", 1, "byte", [1, 2, 3]))",
                               R"(READRAW("#g.raw", 3, 1, 1, "byte", 0))"};
  std::string script[2];
  for (const std::string& c : calls) {
    for (int k = 0; k < 2; ++k)
      script[k] += std::string(c).replace(c.find('#'), 1, 1, "xy"[k]) + "\n";
  }
  kexio_test::write_bytes(work.path() / "s.kx",
                          script[0] + "L := READBIN(\"" KEXIO_IMAGER "\", \"byte\")\nWRITEBIN(\"" +
                              lib + "/libkeximager.so\", \"byte\", 0, L)\n" + script[1]);
  std::system(
      ("cd '" + work.path().string() + "' && '" + tree / "bin/kexio" + "' --json s.kx > out 2>&1")
          .c_str());
  const std::vector<std::string> out = lines_of(kexio_test::read_bytes(work.path() / "out"));
  ASSERT_EQ(out.size(), 17u) << kexio_test::read_bytes(work.path() / "out");
  const std::string zero = R"({"type":"number","re":0,"im":0})";
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(out[k], R"({"type":"error","message":"unknown file format","arg":null,"line":)" +
                          std::to_string(k + 1) + "}")
        << calls[k];
    // A failed load is not remembered: the next call finds the library.
    EXPECT_EQ(out[9 + k], k < 7 ? zero : R"({"type":"matrix","rows":1,"cols":3,"data":[[1,2,3]]})")
        << calls[k];
  }
  EXPECT_EQ(out[8], zero);  // the library copied
  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(work.path()))
    files.insert(e.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"out", "s.kx", "ya.tif", "yb.PGM", "yc.pbm", "yd.Png",
                                          "ye.ppm", "yf.png", "yg.raw"}));
}

}  // namespace
