// Agreement with numpy: files numpy writes with tofile read back equal, and
// files we write read back equal with numpy.fromfile, in every element type
// and both byte orders. Expected values travel as little-endian doubles.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "binary/binfile_fixture.h"

namespace {

using namespace kexio_test;

const char* const kPython = "/usr/bin/python3";

struct Type {
  const char* name;
  const char* dtype;
};
const Type kTypes[] = {{"byte", "u1"},   {"sint8", "i1"}, {"uint16", "u2"}, {"int16", "i2"},
                       {"uint32", "u4"}, {"int32", "i4"}, {"float", "f4"},  {"double", "f8"}};

bool have_numpy() {
  return std::system((std::string(kPython) + " -c 'import numpy' >/dev/null 2>&1").c_str()) == 0;
}

// Runs a Python program with the folder as its argument; its exit status and
// what it printed.
int run_python(const BinFiles& t, const std::string& program, std::string* output) {
  std::string script = t.path("check.py");
  std::FILE* f = std::fopen(script.c_str(), "w");
  std::fputs(program.c_str(), f);
  std::fclose(f);
  std::string command = std::string(kPython) + " '" + script + "' '" + t.path("") + "' 2>&1";
  std::FILE* p = popen(command.c_str(), "r");
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, p) != nullptr)
    *output += buffer;
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<double> doubles_le(const Bytes& b) {
  std::vector<double> v(b.size() / 8);
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::uint64_t u = 0;
    for (int k = 7; k >= 0; --k)
      u = u << 8 | b[i * 8 + static_cast<std::size_t>(k)];
    std::memcpy(&v[i], &u, sizeof u);
  }
  return v;
}

Bytes doubles_to_le(const std::vector<double>& v) {
  Bytes b;
  for (double d : v) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    for (int k = 0; k < 8; ++k)
      b.push_back(static_cast<unsigned char>(u >> (8 * k)));
  }
  return b;
}

bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// numpy writes a 7 x 5 array of each type, after a 5-byte header, with the
// type's extremes among its values.
const char* const kNumpyWrites = R"(
import sys, numpy as np
d = sys.argv[1]
types = {'byte': 'u1', 'sint8': 'i1', 'uint16': 'u2', 'int16': 'i2',
         'uint32': 'u4', 'int32': 'i4', 'float': 'f4', 'double': 'f8'}
for name, code in types.items():
    dt = np.dtype(code)
    if dt.kind in 'iu':
        info = np.iinfo(dt)
        a = np.linspace(int(info.min), int(info.max), 35).astype(dt)
        a[:3] = [info.min, info.max, 0]
    else:
        info = np.finfo(dt)
        a = np.linspace(-1e3, 1e3, 35).astype(dt) / dt.type(3)
        a[:6] = [info.max, -info.max, info.tiny, np.inf, np.nan, -0.0]
    a = a.reshape(7, 5)
    for endian, order in (('0', '<'), ('1', '>')):
        with open(f'{d}/{name}_{endian}.bin', 'wb') as f:
            f.write(b'HEAD!')
            a.astype(dt.newbyteorder(order)).tofile(f)
        a.astype('<f8').tofile(f'{d}/{name}_{endian}.f64')
)";

TEST_F(BinFiles, FilesNumpyWritesReadBackEqual) {
  if (!have_numpy()) GTEST_SKIP() << "python3 with numpy is not available";
  std::string output;
  ASSERT_EQ(run_python(*this, kNumpyWrites, &output), 0) << output;
  for (const Type& t : kTypes) {
    for (int endian : {0, 1}) {
      std::string stem = std::string(t.name) + "_" + std::to_string(endian);
      std::vector<double> want = doubles_le(get(stem + ".f64"));
      ASSERT_EQ(want.size(), 35u) << stem;
      Cvd::Ref v = read({str(stem + ".bin"), str(t.name), num(endian), num(5), num(5)});
      const Cvd::MatVal& m = as_mat(v);
      ASSERT_EQ(m.get_Rows(), 7u) << stem;
      ASSERT_EQ(m.get_Cols(), 5u) << stem;
      for (std::uint32_t r = 0; r < 7; ++r) {
        for (std::uint32_t c = 0; c < 5; ++c) {
          EXPECT_PRED2(same, m.get_real(r, c), want[r * 5 + c]) << stem << " " << r << "," << c;
        }
      }
    }
  }
}

// Values each type holds exactly, its extremes first.
std::vector<double> exact_values(const std::string& type, std::size_t n) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> v;
  if (type == "float") {
    v = {3.4028234663852886e38, -3.4028234663852886e38, 1.1754943508222875e-38, inf, -inf, NAN};
  } else if (type == "double") {
    v = {std::numeric_limits<double>::max(),
         -std::numeric_limits<double>::max(),
         5e-324,
         inf,
         NAN,
         0.1};
  } else {
    const std::pair<double, double> ranges[] = {{0, 255},          {-128, 127},
                                                {0, 65535},        {-32768, 32767},
                                                {0, 4294967295.0}, {-2147483648.0, 2147483647.0}};
    const char* names[] = {"byte", "sint8", "uint16", "int16", "uint32", "int32"};
    for (int i = 0; i < 6; ++i) {
      if (type == names[i]) v = {ranges[i].first, ranges[i].second, 0, ranges[i].first + 1};
    }
  }
  for (std::size_t k = v.size(); k < n; ++k)
    v.push_back(static_cast<double>(k % 100) - 50.0 * (k % 2 == 0 ? 0 : 1));
  if (type == "byte" || type == "uint16" || type == "uint32") {
    for (double& x : v)
      x = std::fabs(x);
  }
  return v;
}

const char* const kNumpyReads = R"(
import sys, numpy as np
d = sys.argv[1]
types = {'byte': 'u1', 'sint8': 'i1', 'uint16': 'u2', 'int16': 'i2',
         'uint32': 'u4', 'int32': 'i4', 'float': 'f4', 'double': 'f8'}
bad = 0
for name, code in types.items():
    for endian, order in (('0', '<'), ('1', '>')):
        stem = f'{d}/{name}_{endian}'
        got = np.fromfile(stem + '.bin', dtype=np.dtype(code).newbyteorder(order))
        want = np.fromfile(stem + '.f64', dtype='<f8')
        if got.shape != want.shape or not np.array_equal(got.astype('f8'), want, equal_nan=True):
            print(stem, 'differs:', got[:8], want[:8])
            bad += 1
sys.exit(1 if bad else 0)
)";

TEST_F(BinFiles, FilesWeWriteReadBackEqualInNumpy) {
  if (!have_numpy()) GTEST_SKIP() << "python3 with numpy is not available";
  const std::uint32_t rows = 6, cols = 4;
  for (const Type& t : kTypes) {
    std::vector<double> v = exact_values(t.name, rows * cols);
    auto m =
        make_matrix(rows, cols, [&](std::uint32_t r, std::uint32_t c) { return v[r * cols + c]; });
    for (int endian : {0, 1}) {
      std::string stem = std::string(t.name) + "_" + std::to_string(endian);
      write(stem + ".bin", t.name, endian, m);
      put(stem + ".f64", doubles_to_le(v));
    }
  }
  std::string output;
  EXPECT_EQ(run_python(*this, kNumpyReads, &output), 0) << output;
}

}  // namespace
