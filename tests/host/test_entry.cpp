// The entry layer: what it makes of failures it meets (memory, permissions)
// and the strings it hands to workers. Its checks of the arguments of each
// form are tested through the worksheet host (tests/app/test_parser.cpp).
// Calls from several threads at once: eight threads each make 200 calls of
// every family (reads, writes to files of their own, a colormap, a host
// library entry and failing calls) and must all get what one thread gets.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "image/image_support.h"
#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;

// Memory that runs out inside a worker (here the colours SaveColormap
// converts before it touches any file) is "out of memory" for the whole call.
TEST(Entry, MemoryExhaustionIsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit does not suit a sanitizer's shadow memory";
#endif
  ScratchDir dir;
  auto m = Cvd::MatVal::Zeros(1'000'000, 3);
  EXPECT_TRUE(in_child([&] {
    limit_address_space(1 << 20);
    return raised([&] { IO::SaveColormap(str(dir / "big.cmp"), m); }) ==
           Raised{"out of memory", Kex::kWholeCall};
  }));
  EXPECT_FALSE(std::filesystem::exists(dir / "big.cmp"));
}

// Unreadable files and a folder that cannot be written, as a user without
// privileges meets them: every family's message and index.
TEST(Entry, PermissionFailures) {
  ScratchDir dir;
  const std::u16string here = dir.cwd();
  for (const char* name : {"locked.prn", "locked.bmp", "locked.bin", "locked.wav", "locked.txt"}) {
    write_bytes(dir / name, "1 2\n");
    chmod((dir / name).c_str(), 0);
  }
  write_bytes(dir / "readonly.prn", "1 2\n");
  chmod((dir / "readonly.prn").c_str(), 0444);
  std::filesystem::create_directory(dir / "ro");
  chmod((dir / "ro").c_str(), 0555);

  auto m = mat({{1, 2}, {3, 4}}), cmap = mat({{1, 2, 3}, {4, 5, 6}});
  const Ref byte = str("byte");
  const std::string denied = std::strerror(EACCES);
  const std::uint32_t whole = Kex::kWholeCall;
  const std::pair<std::function<Ref()>, Raised> cases[] = {
      {[&] { return IO::READPRN(here, str("locked.prn")); }, {"file open error", 1}},
      {[&] { return IO::WRITEPRN(here, 4, 8, str("ro/t.prn"), m); }, {denied, 1}},
      {[&] { return IO::APPENDPRN(here, 4, 8, str("readonly.prn"), m); }, {"access denied", 1}},
      {[&] { return IO::APPENDPRN(here, 4, 8, str("ro/t.prn"), m); }, {"file creation error", 1}},
      {[&] { return IO::READ_IMAGE(here, str("locked.bmp")); }, {"permission denied", whole}},
      {[&] { return IO::WRITEBMP(here, str("ro/x.bmp"), m); }, {denied, whole}},
      {[&] {
         return IO::READBIN(here, {str("locked.bin"), byte});
       },
       {"file open error", 1}},
      {[&] { return IO::WRITEBIN(here, str("ro/x.bin"), byte, num(0), m); },
       {"file write error", 1}},
      {[&] { return IO::GETWAVINFO(here, str("locked.wav")); }, {"file open error", whole}},
      {[&] { return IO::WRITEWAV(here, str("ro/x.wav"), num(8000), num(8), m); },
       {"file open error", whole}},
      {[&] { return IO::csketchfile_cvs(str(dir / "locked.txt")); }, {"file open error", whole}},
      {[&] { return IO::SaveColormap(str(dir / "ro/x"), cmap); }, {"file i/o error", 1}},
  };
  EXPECT_TRUE(as_unprivileged(dir, [&] {
    bool all = true;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      Raised r = raised([&] { cases[i].first(); });
      if (!(r == cases[i].second)) {
        std::fprintf(stderr, "case %zu: \"%s\" at %u\n", i, r.message.c_str(), r.index);
        all = false;
      }
    }
    return all;
  }));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "ro"));
}

// Names beyond Latin-1, in a folder of such a name, reach the file system as
// UTF-8: every family writes (or reads) a file so named.
TEST(Entry, NamesBeyondLatin1AreUtf8Paths) {
  ScratchDir scratch;
  const std::string folder = scratch / "\xe6\x97\xa5\xe6\x9c\xac";  // 日本
  std::filesystem::create_directory(folder);
  const std::u16string dir = scratch.cwd() + u"/\u65e5\u672c";
  auto m = mat({{1, 2}, {3, 4}});
  const Rows rows = rows_of(m);

  IO::WRITEPRN(dir, 4, 8, str(u"\u8868"), m);  // .prn is added
  EXPECT_EQ(rows_of(IO::READPRN(dir, str(u"\u8868.prn"))), rows);
  IO::WRITEBMP(dir, str(u"\u753b.bmp"), m);
  EXPECT_EQ(rows_of(IO::READ_IMAGE(dir, str(u"\u753b.bmp"))), rows);
  IO::WRITEBIN(dir, str(u"\u6570.bin"), str("byte"), num(0), m);
  EXPECT_EQ(rows_of(IO::READBIN(dir, {str(u"\u6570.bin"), str("byte"), num(0), num(2)})), rows);
  IO::WRITEWAV(dir, str(u"\u97f3.wav"), num(8000), num(8), m);
  EXPECT_EQ(rows_of(IO::READWAV(dir, str(u"\u97f3.wav"))), rows);
  IO::SaveColormap(str(dir + u"/\u8272"), mat({{1, 2, 3}, {4, 5, 6}}));
  write_bytes(folder + "/\xe7\x82\xb9.txt", "7 8");  // 点.txt
  EXPECT_EQ(at(IO::csketchfile_cvs(str(dir + u"/\u70b9.txt")), 0, 0), 7);
  write_bytes(folder + "/caf\xc3\xa9.csv", "1,2\n3,4\n");
  EXPECT_EQ(rows_of(IO::READFILE(dir, {str(u"caf\u00e9.csv"), str("csv")})), rows);

  EXPECT_EQ(entries(folder),
            (std::vector<std::string>{"caf\xc3\xa9.csv", "\xe6\x95\xb0.bin", "\xe7\x82\xb9.txt",
                                      "\xe7\x94\xbb.bmp", "\xe8\x89\xb2.cmp", "\xe8\xa1\xa8.prn",
                                      "\xe9\x9f\xb3.wav"}));
  // A message quotes a name as the byte string it would have been.
  EXPECT_NE(
      raised([&] { IO::READPRN(dir, str(u"gopher://\u65e5")); }).message.find("'gopher://\xe5'"),
      std::string::npos);
}

// The image library gets the name's bytes (the low bytes of its code units)
// and finds the file they name in the worksheet folder.
TEST(Entry, NamesReachTheImageLibraryAsBytes) {
  ScratchDir dir;
  write_bytes(dir / "a\u00e9c.raw", "\x05\x07");
  EXPECT_EQ(rows_of(IO::READRAW(dir.cwd(), str(u"a\u00e9\u0163.raw"), num(2), num(1), num(1),
                                str("byte"), num(0))),
            (Rows{{5, 7}}));
  // The writing overload takes the matrix first.
  IO::READRAW(dir.cwd(), mat({{1, 2}}), str(u"b\u00e9.raw"), num(1), str("byte"));
  EXPECT_EQ(read_bytes(dir / "b\u00e9.raw"), "\x01\x02");
}

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 200;

// A result or an error, comparable across threads.
struct Outcome {
  Rows rows;
  Raised error;
  bool operator==(const Outcome&) const = default;
};

Outcome outcome(const std::function<Ref()>& call) {
  Outcome o;
  o.error = raised([&] { o.rows = rows_of(call()); });
  if (o.error.message == "<nothing raised>") o.error = {};
  return o;
}

TEST(Threads, ConcurrentCallsOfEveryFamilyGiveWhatOneThreadGets) {
  ScratchDir dir;
  const std::u16string cwd = dir.cwd();
  write_bytes(dir / "t.prn", "1 2\n3 4\n");
  write_bytes(dir / "b.bin", std::string("\x01\x02\x03\x04\x05\x06", 6));
  auto bmp = image_test::picture(24, {{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}}).bytes();
  write_bytes(dir / "p.bmp", std::string(bmp.begin(), bmp.end()));
  write_bytes(dir / "g.pgm", "P5 2 1 255\n\x07\x09");
  write_bytes(dir / "t.csv", "1,2\n3,4\n");
  // The JPEG decoder decodes ahead on a thread of its own.
  write_bytes(dir / "photo.jpg", read_bytes(KEXIO_SOURCE_DIR "/examples/photo.jpg"));
  IO::WRITEWAV(cwd, str("s.wav"), num(8000), num(16), mat({{-3, 7}, {1000, -1000}, {5, 0}}));

  struct Case {
    std::function<Ref(int, int)> call;  // thread, iteration
    Outcome want;
  };
  const std::vector<Case> cases = {
      {[&](int, int) { return IO::READPRN(cwd, str("t.prn")); }, {{{1, 2}, {3, 4}}, {}}},
      {[&](int, int) { return IO::READRGB(cwd, str("p.bmp")); },
       {{{255, 0, 0, 255, 0, 0}, {0, 255, 0, 255, 255, 255}}, {}}},
      // Through the statistics library's reader, bound on first use.
      {[&](int, int) { return IO::READ_IMAGE(cwd, str("g.pgm")); }, {{{7, 9}}, {}}},
      {[&](int, int) {
         return IO::READBIN(cwd, {str("b.bin"), str("int16"), num(1), num(3)});
       },
       {{{0x0102, 0x0304, 0x0506}}, {}}},
      {[&](int, int) { return IO::READWAV(cwd, str("s.wav")); },
       {{{-3, 7}, {1000, -1000}, {5, 0}}, {}}},
      // Each thread writes and reads back a table of its own.
      {[&](int t, int i) {
         std::string name = "w" + std::to_string(t) + ".prn";
         IO::WRITEPRN(cwd, 4, 8, str(name), mat({{double(t), double(i % 7)}}));
         Ref back = IO::READPRN(cwd, str(name));
         return Ref(mat({{at(back, 0, 0) == t ? 1.0 : 0.0, at(back, 0, 1) == i % 7 ? 1.0 : 0.0}}));
       },
       {{{1, 1}}, {}}},
      {[&](int, int) { return IO::LoadColormap(str("gray")); }, {}},
      // Through the host image library, bound on first use: a raw image
      // written per thread and read back.
      {[&](int t, int i) {
         std::string name = "r" + std::to_string(t) + ".raw";
         IO::READRAW(cwd, mat({{double(t), double(i % 7), 300}}), str(name), num(3), str("byte"));
         Ref back = IO::READRAW(cwd, str(name), num(1), num(1), num(3), str("byte"), num(0));
         return Ref(mat({{at(back, 0, 0) == t ? 1.0 : 0.0, at(back, 0, 1) == i % 7 ? 1.0 : 0.0,
                          at(back, 0, 2)}}));
       },
       {{{1, 1, 255}}, {}}},
      {[&](int t, int i) {
         const std::string name = "p" + std::to_string(t) + (i % 2 ? ".png" : ".tif");
         IO::WRITEBMP(cwd, str(name), mat({{double(t), double(i % 7)}, {300, -4}}));
         Ref back = IO::READ_IMAGE(cwd, str(name));
         return Ref(mat({{at(back, 0, 0) == t ? 1.0 : 0.0, at(back, 0, 1) == i % 7 ? 1.0 : 0.0},
                         {at(back, 1, 0), at(back, 1, 1)}}));
       },
       {{{1, 1}, {255, 0}}, {}}},
      {[&](int, int) { return IO::READ_IMAGE(cwd, str("missing.bmp")); },
       {{}, {"file open error", Kex::kWholeCall}}},
      {[&](int, int) { return IO::READPRN(cwd, str("gopher://h/x")); }, {}},
      {[&](int, int) {
         return IO::READBIN(cwd, {str("b.bin"), str("int7")});
       },
       {{}, {"unrecognized value", 2}}},
      {[&](int, int) { return IO::READRGB(cwd, str("photo.jpg")); }, {}},
      // Through the data-import library, bound on first use.
      {[&](int, int) {
         return IO::READFILE(cwd, {str("t.csv"), str("csv")});
       },
       {{{1, 2}, {3, 4}}, {}}},
  };
  // The colormap, the photo and the resolver's message are whatever one
  // thread gets.
  std::vector<Outcome> want;
  for (const Case& c : cases) {
    want.push_back(c.want.rows.empty() && c.want.error.message.empty()
                       ? outcome([&] { return c.call(-1, -1); })
                       : c.want);
  }
  ASSERT_EQ(want[6].rows.size(), 256u);
  ASSERT_EQ(want[10].error.index, 1u);
  ASSERT_GT(want[12].rows.size(), 1u);

  std::vector<std::vector<std::string>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        std::size_t k = static_cast<std::size_t>(t + i) % cases.size();
        if (!(outcome([&] { return cases[k].call(t, i); }) == want[k])) {
          wrong[t].push_back("case " + std::to_string(k) + " call " + std::to_string(i));
        }
      }
    });
  }
  for (std::thread& th : threads)
    th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(wrong[t], std::vector<std::string>{}) << "thread " << t;
}

}  // namespace
