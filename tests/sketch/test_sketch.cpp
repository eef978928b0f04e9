// csketchfile_cvs: separators, where reading stops, number forms, limits and
// messages, checked on files written for each case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "kexio/io.h"
#include "support/values.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio_test;
using IO = Kex::IO;
using Points = std::vector<std::complex<double>>;

struct Raised {
  std::string message;
  std::uint32_t index;
  bool operator==(const Raised&) const = default;
};
using Outcome = std::variant<Points, Raised>;

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  if (const auto* r = std::get_if<Raised>(&o))
    return os << "raised \"" << r->message << "\" at " << r->index;
  os << "points";
  for (const auto& p : std::get<Points>(o))
    os << " " << p;
  return os;
}

const Raised kUnknown{"unknown file format", Kex::kWholeCall};
const Raised kOpenError{"file open error", Kex::kWholeCall};

class Sketch : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/kexio-sketch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  static Outcome call(const Cvd::Ref& name) {
    try {
      Cvd::Ref v = IO::csketchfile_cvs(name);
      auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
      if (m == nullptr || m->get_Cols() != 1 || !m->get_HasImag()) {
        return Raised{"<not a complex column vector>", 0};
      }
      Points pts;
      for (std::uint32_t i = 0; i < m->get_Rows(); ++i)
        pts.emplace_back(m->real()[i], m->imag()[i]);
      return pts;
    } catch (const Kex::Exception& e) {
      return Raised{e.message(), e.index()};
    }
  }

  // Writes text to a file and reads it.
  Outcome read(const std::string& text) {
    const fs::path p = m_dir / "pts.txt";
    std::ofstream(p, std::ios::binary) << text;
    return call(str(p.string()));
  }

  fs::path m_dir;
};

const Points kOneTwoThreeFour = {{1, 2}, {3, 4}};

TEST_F(Sketch, SeparatorsBetweenNumbers) {
  for (const char* text : {"1 2\n3 4\n", "1 2\n3 4", "(1,2)(3,4)", "(1;2)\n(3;4)\n", "1,2;3,4",
                           "1/2 3:4", "\t1\t2\r\n3\t4\r\n", " ( 1 , 2 ) \n ( 3 , 4 ) ",
                           "1,\t,2\n,3\n(\n4)", "1\n\n\n2 3\n4", "1 2 3 4 ("}) {
    EXPECT_EQ(read(text), Outcome(kOneTwoThreeFour)) << "text: " << text;
  }
}

TEST_F(Sketch, ReadingStopsAtTextAndDropsALoneNumber) {
  EXPECT_EQ(read("1 2 3"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("1 2 x 3 4"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("1 2 3 x 4"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("1 2 - 3 4"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("1 2 . 3 4"), Outcome(Points{{1, 2}}));
  // An exponent marker without digits is not part of the number; what
  // follows it is text.
  EXPECT_EQ(read("1 2e 3 4"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("1 2e+ 3 4"), Outcome(Points{{1, 2}}));
  EXPECT_EQ(read("5e 7 8 9"), Outcome(kUnknown));
  EXPECT_EQ(read("5 x 7 8"), Outcome(kUnknown));
  EXPECT_EQ(read(""), Outcome(kUnknown));
  EXPECT_EQ(read(" \n\t(,)\n"), Outcome(kUnknown));
  EXPECT_EQ(read("points 1 2"), Outcome(kUnknown));
  EXPECT_EQ(read("7"), Outcome(kUnknown));
}

TEST_F(Sketch, NumberForms) {
  EXPECT_EQ(read("1e3 -2.5 .5 5. +7 -0.125 1.5E-3 2e+2"),
            Outcome(Points{{1000, -2.5}, {0.5, 5}, {7, -0.125}, {0.0015, 200}}));
  // "1.2.3" is 1.2 followed by .3.
  EXPECT_EQ(read("1.2.3"), Outcome(Points{{1.2, 0.3}}));
  EXPECT_EQ(read("0.1 0.30000000000000004"), Outcome(Points{{0.1, 0.30000000000000004}}));
  EXPECT_EQ(read("-1e-400 4.9e-324"), Outcome(Points{{-0.0, 4.9e-324}}));
  Outcome o = read("INF -Infinity nan(1) -inf");
  ASSERT_TRUE(std::holds_alternative<Points>(o)) << o;
  const Points& p = std::get<Points>(o);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].real(), 1e10);
  EXPECT_EQ(p[0].imag(), -INFINITY);
  EXPECT_TRUE(std::isnan(p[1].real()));
  EXPECT_EQ(p[1].imag(), -INFINITY);
}

TEST_F(Sketch, LargeValuesAreCappedAndCountIsLimited) {
  EXPECT_EQ(read("2e10 -2e10 1e10 1e400"), Outcome(Points{{1e10, -2e10}, {1e10, 1e10}}));

  std::string many;
  for (int i = 0; i < 20000; ++i)
    many += std::to_string(i) + " " + std::to_string(-i) + "\n";
  Outcome o = read(many);
  ASSERT_TRUE(std::holds_alternative<Points>(o)) << "raised";
  const Points& p = std::get<Points>(o);
  ASSERT_EQ(p.size(), 16003u);
  EXPECT_EQ(p.front(), std::complex<double>(0, 0));
  EXPECT_EQ(p[12345], std::complex<double>(12345, -12345));
  EXPECT_EQ(p.back(), std::complex<double>(16002, -16002));
}

TEST_F(Sketch, NumbersAcrossLongRunsOfText) {
  // Long gaps and long numbers do not depend on how the file is read in
  // pieces.
  const std::string gap(100000, ' ');
  const std::string digits = "1" + std::string(70000, '0');  // 1e70000, capped
  EXPECT_EQ(read(gap + "123456789" + gap + "2\n"), Outcome(Points{{123456789, 2}}));
  EXPECT_EQ(read(digits + " 0." + std::string(70000, '0') + "1 3 4"),
            Outcome(Points{{1e10, 0}, {3, 4}}));
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "(" + std::to_string(i) + ".25, 0.5)";
  Outcome o = read(text);
  ASSERT_TRUE(std::holds_alternative<Points>(o));
  ASSERT_EQ(std::get<Points>(o).size(), 5000u);
  EXPECT_EQ(std::get<Points>(o)[4321], std::complex<double>(4321.25, 0.5));
}

TEST_F(Sketch, NamesAndOpenErrors) {
  EXPECT_EQ(call(num(3)), Outcome(Raised{"must be string", 1}));
  EXPECT_EQ(call(str((m_dir / "missing.txt").string())), Outcome(kOpenError));
  EXPECT_EQ(call(str(m_dir.string())), Outcome(kOpenError));

  // A relative name is taken from the process's current folder.
  std::ofstream(m_dir / "rel.txt") << "5 6\n";
  const fs::path here = fs::current_path();
  fs::current_path(m_dir);
  Outcome rel = call(str("rel.txt"));
  fs::current_path(here);
  EXPECT_EQ(rel, Outcome(Points{{5, 6}}));

  // Latin-1 names reach the UTF-8 file.
  std::ofstream(m_dir / "caf\xc3\xa9.txt") << "7 8";
  const std::string dir = m_dir.string();
  const std::u16string name(dir.begin(), dir.end());
  EXPECT_EQ(call(str(name + u"/caf\u00e9.txt")), Outcome(Points{{7, 8}}));
}

}  // namespace
