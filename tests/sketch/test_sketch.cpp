// csketchfile_cvs: separators, where reading stops, number forms, limits and
// messages, each checked on a file written for it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using Points = std::vector<std::complex<double>>;

// The points read from the file: a complex column.
Points call(const Cvd::Ref& name) {
  Cvd::Ref v = Kex::IO::csketchfile_cvs(name);
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr || m->get_Cols() != 1 || !m->get_HasImag()) return {{NAN, NAN}};
  Points p;
  for (std::uint32_t i = 0; i < m->get_Rows(); ++i)
    p.emplace_back(m->real()[i], m->imag()[i]);
  return p;
}

class Sketch : public ::testing::Test {
 protected:
  Points read(const std::string& text) {
    write_bytes(m_dir.path() / "pts.txt", text);
    return call(str(m_dir.path() / "pts.txt"));
  }
  ScratchDir m_dir;
};

TEST_F(Sketch, SeparatorsWhereReadingStopsAndNumberForms) {
  for (const char* text : {"1 2\n3 4\n", "1 2\n3 4", "(1,2)(3,4)", "(1;2)\n(3;4)\n", "1/2 3:4",
                           "\t1\t2\r\n3\t4\r\n", " ( 1 , 2 ) \n ( 3 , 4 ) (", "1,\t,2\n,3\n(\n4)"})
    EXPECT_EQ(read(text), (Points{{1, 2}, {3, 4}})) << text;
  // A lone number is dropped; text ends the reading; an exponent marker
  // without digits is text after the number.
  for (const char* text : {"1 2 3", "1 2 x 3 4", "1 2 - 3 4", "1 2 . 3 4", "1 2e 3 4", "1 2e+ 3 4"})
    EXPECT_EQ(read(text), (Points{{1, 2}})) << text;
  const std::pair<const char*, Points> numbers[] = {
      // "1.2.3" is 1.2 then .3.
      {"1e3 -2.5 .5 5. +7 -0.125 1.5E-3 2e+2",
       {{1000, -2.5}, {0.5, 5}, {7, -0.125}, {0.0015, 200}}},
      {"1.2.3", {{1.2, 0.3}}},
      {"0.1 4.9e-324", {{0.1, 4.9e-324}}},
      // Values above 1e10 become 1e10; there is no lower limit.
      {"2e10 -2e10 1e400 -1e400", {{1e10, -2e10}, {1e10, -INFINITY}}},
      {"INF -Infinity", {{1e10, -INFINITY}}},
  };
  for (const auto& [text, points] : numbers)
    EXPECT_EQ(read(text), points) << text;
  for (const char* text : {"5e 7 8 9", "5 x 7 8", "", " \n(,)\n", "points 1 2", "7"})
    EXPECT_RAISES(read(text), "unknown file format", Kex::kWholeCall) << text;
  EXPECT_RAISES(call(str(m_dir.path() / "missing.txt")), "file open error", Kex::kWholeCall);
  EXPECT_RAISES(call(str(m_dir.path())), "file open error", Kex::kWholeCall);
  Points nan = read("nan(1) 4 -nan 5");
  ASSERT_EQ(nan.size(), 2u);
  EXPECT_TRUE(std::isnan(nan[0].real()) && std::isnan(nan[1].real()));
}

TEST_F(Sketch, CountLimitAndLongRuns) {
  std::string many;
  for (int i = 0; i < 20000; ++i)
    many += std::to_string(i) + " " + std::to_string(-i) + "\n";
  Points p = read(many);
  ASSERT_EQ(p.size(), 16003u);
  EXPECT_EQ(p[12345], std::complex<double>(12345, -12345));
  EXPECT_EQ(p.back(), std::complex<double>(16002, -16002));

  // Long gaps and long numbers read the same however the file is buffered.
  const std::string gap(100000, ' ');
  EXPECT_EQ(read(gap + "123456789" + gap + "2\n"), (Points{{123456789, 2}}));
  EXPECT_EQ(read("1" + std::string(70000, '0') + " 0." + std::string(70000, '0') + "1 3 4"),
            (Points{{1e10, 0}, {3, 4}}));

  // From a stream, more than 64 MiB without a number end the reading.
  const std::string fifo = m_dir / "fifo";
  for (std::size_t mib : {1, 65}) {
    std::thread writer = feed_fifo(fifo, "1 2" + std::string(mib << 20, ' ') + "3 4");
    Points got;
    Raised r = raised([&] { got = call(str(fifo)); });
    writer.join();
    if (mib == 1) {
      EXPECT_EQ(got, (Points{{1, 2}, {3, 4}})) << r;
    } else {
      EXPECT_EQ(r, (Raised{"file i/o error", Kex::kWholeCall}));
    }
  }
}

}  // namespace
