// Reading GIF files through the entry class. gif_cases.py builds files byte
// by byte with an LZW encoder of its own (clear codes, full tables, long
// strings, sub-block sizes and blocks of every kind placed where a case
// needs them), each with the pixels it must read as or the message it must
// report, and has Pillow and ImageMagick write more, interlaced and animated
// ones among them, together with what those tools read from them.
#include "references.h"

namespace {

using namespace image_test;

TEST(GifRead, BuiltFilesAndFilesOfOtherWriters) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  Compared c = compare_with_references("gif_cases.py");
  EXPECT_GE(c.by_tool[".rgb"], 26);
  EXPECT_GE(c.refused, 18);
  EXPECT_GE(c.by_tool[".pil"] + c.by_tool[".im"], !have_python_pil()   ? 0
                                                  : have_imagemagick() ? 34
                                                                       : 7);
}

}  // namespace
