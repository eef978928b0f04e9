// Calls from several threads at once: eight threads each make 200 calls of
// every family (reads, writes to files of their own, a colormap, a host
// library entry and failing calls) and must all get what one thread gets.
#include <gtest/gtest.h>

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
