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

const Raised kUnknown{"unknown file format", Kex::kWholeCall};
const Raised kOpenError{"file open error", Kex::kWholeCall};

// The points read from the file, or what was raised.
struct Outcome {
  Points points;
  Raised error;
  bool operator==(const Outcome&) const = default;
};
Outcome ok(Points p) {
  return {std::move(p), {}};
}
Outcome fails(Raised r) {
  return {{}, std::move(r)};
}
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  for (const auto& p : o.points)
    os << p << " ";
  return os << o.error;
}

Outcome call(const Cvd::Ref& name) {
  Outcome o;
  o.error = raised([&] {
    Cvd::Ref v = Kex::IO::csketchfile_cvs(name);
    auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
    ASSERT_TRUE(m != nullptr && m->get_Cols() == 1 && m->get_HasImag());
    for (std::uint32_t i = 0; i < m->get_Rows(); ++i)
      o.points.emplace_back(m->real()[i], m->imag()[i]);
  });
  if (o.error.message == "<nothing raised>") o.error = {};
  return o;
}

class Sketch : public ::testing::Test {
 protected:
  Outcome read(const std::string& text) {
    write_bytes(m_dir.path() / "pts.txt", text);
    return call(str(m_dir.path() / "pts.txt"));
  }
  ScratchDir m_dir;
};

TEST_F(Sketch, SeparatorsAndWhereReadingStops) {
  const Outcome both = ok({{1, 2}, {3, 4}}), first = ok({{1, 2}});
  const std::pair<const char*, Outcome> cases[] = {
      {"1 2\n3 4\n", both},
      {"1 2\n3 4", both},
      {"(1,2)(3,4)", both},
      {"(1;2)\n(3;4)\n", both},
      {"1/2 3:4", both},
      {"\t1\t2\r\n3\t4\r\n", both},
      {" ( 1 , 2 ) \n ( 3 , 4 ) (", both},
      {"1,\t,2\n,3\n(\n4)", both},
      // A lone number is dropped; text ends the reading.
      {"1 2 3", first},
      {"1 2 x 3 4", first},
      {"1 2 - 3 4", first},
      {"1 2 . 3 4", first},
      // An exponent marker without digits is text after the number.
      {"1 2e 3 4", first},
      {"1 2e+ 3 4", first},
      {"5e 7 8 9", fails(kUnknown)},
      {"5 x 7 8", fails(kUnknown)},
      {"", fails(kUnknown)},
      {" \n(,)\n", fails(kUnknown)},
      {"points 1 2", fails(kUnknown)},
      {"7", fails(kUnknown)},
      // Number forms; "1.2.3" is 1.2 then .3.
      {"1e3 -2.5 .5 5. +7 -0.125 1.5E-3 2e+2",
       ok({{1000, -2.5}, {0.5, 5}, {7, -0.125}, {0.0015, 200}})},
      {"1.2.3", ok({{1.2, 0.3}})},
      {"0.1 4.9e-324", ok({{0.1, 4.9e-324}})},
      // Values above 1e10 become 1e10; there is no lower limit.
      {"2e10 -2e10 1e400 -1e400", ok({{1e10, -2e10}, {1e10, -INFINITY}})},
      {"INF -Infinity", ok({{1e10, -INFINITY}})},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(read(text), expected) << text;

  Outcome nan = read("nan(1) 4 -nan 5");
  ASSERT_EQ(nan.points.size(), 2u) << nan;
  EXPECT_TRUE(std::isnan(nan.points[0].real()) && std::isnan(nan.points[1].real()));
}

TEST_F(Sketch, CountLimitAndLongRuns) {
  std::string many;
  for (int i = 0; i < 20000; ++i)
    many += std::to_string(i) + " " + std::to_string(-i) + "\n";
  Outcome o = read(many);
  ASSERT_EQ(o.points.size(), 16003u) << o.error;
  EXPECT_EQ(o.points[12345], std::complex<double>(12345, -12345));
  EXPECT_EQ(o.points.back(), std::complex<double>(16002, -16002));

  // Long gaps and long numbers read the same however the file is buffered.
  const std::string gap(100000, ' ');
  EXPECT_EQ(read(gap + "123456789" + gap + "2\n"), ok({{123456789, 2}}));
  EXPECT_EQ(read("1" + std::string(70000, '0') + " 0." + std::string(70000, '0') + "1 3 4"),
            ok({{1e10, 0}, {3, 4}}));
}

TEST_F(Sketch, NamesAndOpenErrors) {
  EXPECT_EQ(call(num(3)), fails({"must be string", 1}));
  EXPECT_EQ(call(str(m_dir.path() / "missing.txt")), fails(kOpenError));
  EXPECT_EQ(call(str(m_dir.path())), fails(kOpenError));

  // Latin-1 names reach the UTF-8 file.
  write_bytes(m_dir.path() / "caf\xc3\xa9.txt", "7 8");
  const std::string d = m_dir.path();
  EXPECT_EQ(call(str(std::u16string(d.begin(), d.end()) + u"/caf\u00e9.txt")), ok({{7, 8}}));
}

}  // namespace
