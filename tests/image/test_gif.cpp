// Reading GIF files through the entry class: files built here byte by byte
// with an LZW encoder of the test's own, and files written by Pillow and
// ImageMagick compared with what those tools read.
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "image_support.h"

namespace {

using namespace image_test;

// Codes packed least significant bit first.
struct BitPacker {
  Bytes out;
  std::uint32_t acc = 0;
  int bits = 0;
  BitPacker& put(int code, int width) {
    acc |= static_cast<std::uint32_t>(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8)
      out.push_back(static_cast<std::uint8_t>(acc));
    return *this;
  }
  Bytes finish() {
    if (bits > 0) out.push_back(static_cast<std::uint8_t>(acc));
    return out;
  }
};

struct Coding {
  int min_code = 2;
  std::set<std::size_t> clear_before = {};  // pixels that follow a clear code
  bool clear_when_full = true;              // else coding goes on at 12 bits
  bool stop_when_full = false;              // end with the code that fills the table
};

// LZW data as GIF writers make it, and the number of pixels it codes.
std::pair<Bytes, std::size_t> lzw(const Bytes& px, const Coding& o) {
  const int clear = 1 << o.min_code;
  BitPacker out;
  std::map<std::pair<int, int>, int> dict;
  int width = 0, next = 0;
  auto reset = [&] {
    dict.clear();
    width = o.min_code + 1;
    next = clear + 2;
  };
  // The reader adds an entry after every code but the first of a table and
  // widens its codes when the entry reaches the next power of two.
  auto add = [&] {
    if (next < 4096 && ++next - 1 >= (1 << width) && width < 12) ++width;
  };
  reset();
  out.put(clear, width);
  int cur = px[0];
  std::size_t i = 1;
  for (; i < px.size(); ++i) {
    const bool forced = o.clear_before.count(i) != 0;
    auto it = dict.find({cur, px[i]});
    if (!forced && it != dict.end()) {
      cur = it->second;
      continue;
    }
    if (next == 4096 && o.stop_when_full) break;
    out.put(cur, width);
    if (next < 4096) {
      dict[{cur, px[i]}] = next;
      add();
    } else if (o.clear_when_full) {
      out.put(clear, width);
      reset();
    }
    if (forced) out.put(clear, width), reset();
    cur = px[i];
  }
  out.put(cur, width);
  add();
  out.put(clear + 1, width);
  return {out.finish(), i};
}

struct Gif {
  const char* signature = "GIF89a";
  int width = 1, height = 1;
  std::vector<Rgb> global = {};  // none when empty
  Bytes before = {};             // blocks before the image descriptor
  std::vector<Rgb> local = {};
  bool interlaced = false;
  int min_code = 2;
  Bytes data = {};  // cut into sub-blocks of `block` bytes
  std::size_t block = 255;
  Bytes after = {0, 0x3B};  // terminator, trailer
  int screen = 0, left = 0;

  Bytes bytes() const {
    Bytes b(signature, signature + 6);
    auto u16 = [&](int v) { b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); };
    auto table = [&](const std::vector<Rgb>& t, int flags) {
      int k = 0;
      while ((2u << k) < t.size())
        ++k;
      b.push_back(static_cast<std::uint8_t>(flags | (t.empty() ? 0 : 0x80 | k)));
      return [&b, &t] {
        for (const Rgb& c : t)
          b.insert(b.end(), c.begin(), c.end());
      };
    };
    u16(width + screen), u16(height + screen);
    auto colours = table(global, 0);
    b.insert(b.end(), {0, 0});
    colours();
    b.insert(b.end(), before.begin(), before.end());
    b.push_back(0x2C), u16(left), u16(left), u16(width), u16(height);
    table(local, interlaced ? 0x40 : 0)();
    b.push_back(static_cast<std::uint8_t>(min_code));
    for (std::size_t i = 0; i < data.size(); i += block) {
      std::size_t n = std::min(block, data.size() - i);
      b.push_back(static_cast<std::uint8_t>(n));
      b.insert(b.end(), data.begin() + long(i), data.begin() + long(i + n));
    }
    b.insert(b.end(), after.begin(), after.end());
    return b;
  }
};

Gif coded(int w, int h, const Bytes& px, std::vector<Rgb> global, const Coding& c = {}) {
  return {.width = w,
          .height = h,
          .global = std::move(global),
          .min_code = c.min_code,
          .data = lzw(px, c).first};
}

// The expected READRGB result; indices past the table are black.
Rows rgb_of(const Bytes& px, std::size_t w, const std::vector<Rgb>& table) {
  Bytes rgb;
  for (std::uint8_t i : px) {
    Rgb c = i < table.size() ? table[i] : Rgb{0, 0, 0};
    rgb.insert(rgb.end(), c.begin(), c.end());
  }
  return planes_of(rgb, w);
}

Rows grey_of(Rows rgb) {
  const std::size_t w = rgb.empty() ? 0 : rgb[0].size() / 3;
  for (auto& row : rgb) {
    for (std::size_t x = 0; x < w; ++x)
      row[x] = std::floor((299 * row[x] + 587 * row[w + x] + 114 * row[2 * w + x] + 500) / 1000);
    row.resize(w);
  }
  return rgb;
}

// Pseudo-random colour indices below colours.
Bytes indices(std::size_t n, unsigned colours, unsigned seed) {
  std::minstd_rand rng(seed);
  Bytes px(n);
  for (auto& i : px)
    i = static_cast<std::uint8_t>(rng() % colours);
  return px;
}

const std::vector<Rgb> kFour = {{255, 0, 0}, {0, 0, 0}, {10, 200, 30}, {255, 255, 255}};

class GifRead : public ::testing::Test {
 protected:
  TempDir dir;
  Rows read(Reader f, const std::string& name, const Bytes& bytes) {
    dir.write(name, bytes);
    return rows_of(f(dir.cwd(), str(name)));
  }
  std::string error_of(Reader f, const std::string& name, const Bytes& bytes) {
    dir.write(name, bytes);
    Raised r = raised([&] { f(dir.cwd(), str(name)); });
    EXPECT_EQ(r.index, Kex::kWholeCall) << name;
    return r.message;
  }
};

TEST_F(GifRead, PixelsAreLookedUpInTheColourTable) {
  const Bytes px = {1, 0, 2, 3, 0, 1};
  const Bytes file = coded(3, 2, px, kFour).bytes();
  const Rows rgb = read(&IO::READRGB, "a.gif", file);
  EXPECT_EQ(rgb, rgb_of(px, 3, kFour));
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.gif", file), grey_of(rgb));
  EXPECT_EQ(read(&IO::READBMP, "a.gif", file), grey_of(rgb));
  EXPECT_EQ(read(&IO::READ_IMAGE, "a.gif", file)[0][1], 76);  // pure red
  // Indices past a table of two entries, and a file without any table.
  EXPECT_EQ(read(&IO::READRGB, "two.gif", coded(3, 2, px, {{1, 2, 3}, {4, 5, 6}}).bytes()),
            rgb_of(px, 3, {{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(read(&IO::READRGB, "none.gif", coded(3, 2, px, {}).bytes()), rgb_of(px, 3, {}));
}

TEST_F(GifRead, FilesThatReadAsTheSamePicture) {
  const Bytes px = indices(7 * 5, 4, 1);
  const Gif base = coded(7, 5, px, kFour);
  const Rows want = rgb_of(px, 7, kFour);
  auto with = [&](auto change) {
    Gif g = base;
    change(g);
    return g.bytes();
  };
  // A second picture after the first, without the header and table.
  Bytes second = coded(7, 5, indices(7 * 5, 4, 9), kFour).bytes();
  Bytes first_of_two = base.bytes();
  first_of_two.insert(first_of_two.end() - 1, second.begin() + 25, second.end() - 1);
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"87a", with([](Gif& g) { g.signature = "GIF87a"; })},
      {"extensions", with([](Gif& g) {
         g.before = {0x21, 0xF9, 4,  1,   10,  0,   3,   0,                          // control
                     0x21, 0xFE, 3,  'a', 'b', 'c', 1,   'd',  0,                    // comment
                     0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C',  'A',  'P', 'E', '2',  // application
                     '.',  '0',  3,  1,   0,   0,   0,   0x21, 0x01, 12,  0,   0,   0,
                     0,    8,    0,  8,   0,   8,   8,   1,    0,    2,   'h', 'i', 0};
       })},
      {"bytewise", with([](Gif& g) { g.block = 1; })},
      {"clears", with([&](Gif& g) {
         g.data = lzw(px, {.clear_before = {3, 7, 14, 15, 30}}).first;
       })},
      {"local", with([](Gif& g) {
         g.local = g.global;
         g.global = {{9, 9, 9}, {8, 8, 8}};
       })},
      {"placed", with([](Gif& g) { g.screen = 300, g.left = 40; })},
      {"first_of_two", first_of_two},
      {"no_trailer", with([](Gif& g) { g.after.clear(); })},
      // Each block's result replaces the one before: a stray byte, a trailer
      // or an unknown label (after which nothing is skipped) are forgotten.
      {"stray", with([](Gif& g) {
         g.before = {7, 0x21, 0xFE, 0};
       })},
      {"trailer", with([](Gif& g) { g.before = {0x3B}; })},
      {"label", with([](Gif& g) {
         g.before = {0x21, 0x02};
       })},
  };
  for (const auto& c : cases)
    EXPECT_EQ(read(&IO::READRGB, c.name + std::string(".gif"), c.bytes), want) << c.name;
}

TEST_F(GifRead, InterlacedRowsComeInFourPasses) {
  std::vector<Rgb> reds(256);
  for (int i = 0; i < 256; ++i)
    reds[std::size_t(i)] = {std::uint8_t(i), 0, 0};
  for (int h : {1, 2, 3, 10, 17}) {
    Bytes px;  // each stored row holds its picture row number
    for (auto [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
      for (int y = first; y < h; y += step)
        px.insert(px.end(), 3, std::uint8_t(y));
    }
    Gif g = coded(3, h, px, reds, {.min_code = 8});
    g.interlaced = true;
    Rows want;
    for (int y = 0; y < h; ++y)
      want.push_back(std::vector<double>(3, y));
    EXPECT_EQ(read(&IO::READ_RED, "i.gif", g.bytes()), want) << h;
  }
}

TEST_F(GifRead, LongStringsAndFullTables) {
  std::vector<Rgb> table(256);
  for (int i = 0; i < 256; ++i)
    table[std::size_t(i)] = {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 7)};
  // Uniform pictures: strings longer than a row, split over many rows.
  for (auto [w, h] : {std::pair{301, 150}, {1, 3000}}) {
    Bytes px(std::size_t(w * h), 1);
    EXPECT_EQ(read(&IO::READRGB, "u.gif", coded(w, h, px, kFour).bytes()), rgb_of(px, w, kFour));
  }
  // 256 colours fill the 12-bit table again and again; a clear code follows.
  const Bytes noise = indices(200 * 100, 256, 5);
  EXPECT_EQ(read(&IO::READRGB, "n.gif", coded(200, 100, noise, table, {.min_code = 8}).bytes()),
            rgb_of(noise, 200, table));
  // The end code right after the code that fills the table.
  auto [data, n] = lzw(noise, {.min_code = 8, .stop_when_full = true});
  Bytes px(noise.begin(), noise.begin() + long(n));
  Gif full = {.width = int(n), .global = table, .min_code = 8, .data = data};
  EXPECT_EQ(read(&IO::READRGB, "f.gif", full.bytes()), rgb_of(px, n, table));
  // The code that fills the table has a string that crosses the end of a
  // row: the pixel after the clear code follows the rest of that string.
  const Bytes few = indices(60000, 4, 11);
  const std::size_t p = lzw(few, {.stop_when_full = true}).second;
  ASSERT_LT(p, few.size());
  Bytes two_rows(few.begin(), few.begin() + long(2 * (p - 1)));
  EXPECT_EQ(read(&IO::READRGB, "c.gif", coded(int(p - 1), 2, two_rows, kFour).bytes()),
            rgb_of(two_rows, p - 1, kFour));
}

TEST_F(GifRead, EndOfDataLeavesTheRowBufferAsItWas) {
  std::vector<Rgb> reds = {{0, 0, 0}, {50, 0, 0}, {100, 0, 0}, {150, 0, 0}};
  // Clear, then 1 2 3 0 fill the first row; 2 and the end code leave the
  // rest of the second row and the whole third row as the first row was.
  Bytes data =
      BitPacker().put(4, 3).put(1, 3).put(2, 3).put(3, 3).put(0, 4).put(2, 4).put(5, 4).finish();
  Gif g = {.width = 4, .height = 3, .global = reds, .data = data};
  EXPECT_EQ(read(&IO::READ_RED, "e.gif", g.bytes()),
            (Rows{{50, 100, 150, 0}, {100, 100, 150, 0}, {100, 100, 150, 0}}));
  // Data that ends before any pixel: index 0 everywhere.
  g.global = {{7, 7, 7}, {1, 1, 1}};
  g.data = BitPacker().put(4, 3).put(5, 3).finish();
  EXPECT_EQ(read(&IO::READ_IMAGE, "z.gif", g.bytes()), (Rows(3, std::vector<double>(4, 7))));
}

TEST_F(GifRead, RefusedFiles) {
  const std::string io = "file i/o error", unknown = "unknown file format";
  const Bytes px = indices(40 * 8, 4, 2);
  const Gif good = coded(40, 8, px, kFour);
  auto with = [&](auto change) {
    Gif g = good;
    change(g);
    return g.bytes();
  };
  // The first n bytes of a file, and more bytes after them.
  auto cut = [](const Bytes& b, std::size_t n, Bytes more = {}) {
    Bytes out(b.begin(), b.begin() + long(n));
    out.insert(out.end(), more.begin(), more.end());
    return out;
  };
  const Bytes whole = good.bytes(), local = with([](Gif&g) { g.local = kFour; });
  Bytes noise = indices(300 * 60, 256, 3);
  Gif deferred =
      coded(300, 60, noise, std::vector<Rgb>(256), {.min_code = 8, .clear_when_full = false});
  const struct {
    const char* name;
    Bytes bytes;
    std::string message;
  } cases[] = {
      {"version", with([](Gif& g) { g.signature = "GIF88a"; }), io},
      // Cut in the signature, the screen, the global table, the image
      // descriptor, before the code size, and in the data.
      {"cut4", cut(whole, 4), io},
      {"cut10", cut(whole, 10), io},
      {"cut20", cut(whole, 20), io},
      {"cut30", cut(whole, 30), io},
      {"cut35", cut(whole, 35), io},
      {"cut40", cut(whole, 40), io},
      {"local", cut(local, 40), io},
      // The file ends where the length of the next sub-block is due.
      {"block", with([](Gif& g) { g.block = 2, g.after = {}, g.data.resize(2); }), io},
      {"control", with([](Gif& g) {
         g.before = {0x21, 0xF9, 4, 0};
       }),
       io},
      // No image: a trailer, a 0 byte or the end of the file first.
      {"trailer", cut(whole, 25, {0x3B}), io},
      {"zero", cut(whole, 25, {0, 0x2C}), io},
      {"end", cut(whole, 25), io},
      {"unknown_label", cut(whole, 25, {0x21, 0x02}), io},
      {"code_size", with([](Gif& g) { g.min_code = 11; }), unknown},
      {"wide", with([](Gif& g) { g.width = 32768; }), unknown},
      // Code 7 when the next free code is 6.
      {"code", with([](Gif& g) { g.data = BitPacker().put(4, 3).put(0, 3).put(7, 3).finish(); }),
       io},
      {"deferred_clear", deferred.bytes(), io},
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_of(&IO::READ_IMAGE, c.name + std::string(".gif"), c.bytes), c.message)
        << c.name;
}

// GIF files written by Pillow and ImageMagick (interlaced and animated ones
// among them): the first picture reads exactly as those tools read it.
TEST(GifReference, PixelsMatchPillowAndImageMagick) {
  if (!have_python_pil()) GTEST_SKIP() << "needs /usr/bin/python3 with PIL";
  TempDir dir;
  std::string cmd = std::string("/usr/bin/python3 ") + KEXIO_SOURCE_DIR +
                    "/tests/image/gif_references.py '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream manifest(dir.file("manifest"));
  std::string file;
  std::size_t w = 0, h = 0;
  int compared = 0;
  while (manifest >> file >> w >> h) {
    Rows rgb = rows_of(IO::READRGB(dir.cwd(), str(file)));
    Rows grey = rows_of(IO::READ_IMAGE(dir.cwd(), str(file)));
    for (const char* tool : {".pil", ".im"}) {
      Bytes ref = dir.read(file + tool);
      if (ref.empty()) continue;
      ++compared;
      ref.resize(3 * w * h);  // the first frame of an animation
      Rows want = planes_of(ref, w);
      EXPECT_EQ(rgb, want) << file << tool;
      EXPECT_EQ(grey, grey_of(want)) << file << tool;
    }
  }
  EXPECT_GE(compared, have_imagemagick() ? 40 : 9);
}

}  // namespace
