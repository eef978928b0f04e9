// The language's own functions, beside the library's: looking at and
// listening to matrices (VIEW, PLOT, PLAY) and computing with what was read
// (rows, cols, sum, mean, min, max, transpose). Their errors name the
// argument with the library's words.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numeric>
#include <system_error>

#include "functions.h"
#include "kexio/host/errors.h"
#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

using Exception = Kex::Exception;

// Argument i (0-based) as a matrix; a number is a 1×1 matrix.
std::shared_ptr<Cvd::MatVal> matrix_arg(const Args& a, std::size_t i) {
  if (auto m = std::dynamic_pointer_cast<Cvd::MatVal>(a[i])) return m;
  if (Cvd::NumVal* n = as_number(a[i])) {
    auto m = Cvd::MatVal::Zeros(1, 1, n->Data.ip != 0.0);
    m->real()[0] = n->Data.rp;
    if (m->get_HasImag()) m->imag()[0] = n->Data.ip;
    return m;
  }
  throw Exception("must be matrix", static_cast<std::uint32_t>(i + 1));
}

// Argument i as a real matrix: numbers only, no imaginary part.
std::shared_ptr<Cvd::MatVal> real_arg(const Args& a, std::size_t i) {
  auto m = matrix_arg(a, i);
  if (!m->get_IsRealMatrix() || m->get_HasImag())
    throw Exception("must be real matrix", static_cast<std::uint32_t>(i + 1));
  return m;
}

void not_empty(const Cvd::MatVal& m, std::size_t i) {
  if (m.size() == 0) {
    throw Exception("must not be empty", static_cast<std::uint32_t>(i + 1),
                    "the matrix is " + size_text(m));
  }
}

Cvd::Ref number(double v) {
  return std::make_shared<Cvd::NumVal>(v);
}

// ---------------------------------------------------------------------------
// Computing

Cvd::Ref call_rows(const CallEnv&, const Args& a) {
  return number(matrix_arg(a, 0)->get_Rows());
}

Cvd::Ref call_cols(const CallEnv&, const Args& a) {
  return number(matrix_arg(a, 0)->get_Cols());
}

Cvd::Ref call_sum(const CallEnv&, const Args& a) {
  auto m = real_arg(a, 0);
  const double* v = m->real();
  return number(std::accumulate(v, v + m->size(), 0.0));
}

Cvd::Ref call_mean(const CallEnv&, const Args& a) {
  auto m = real_arg(a, 0);
  not_empty(*m, 0);
  const double* v = m->real();
  return number(std::accumulate(v, v + m->size(), 0.0) / static_cast<double>(m->size()));
}

// The least or greatest element; NaN when there is one.
template <bool Greatest>
Cvd::Ref call_extreme(const CallEnv&, const Args& a) {
  auto m = real_arg(a, 0);
  not_empty(*m, 0);
  const double* v = m->real();
  double best = v[0];
  for (std::size_t i = 0, n = m->size(); i < n; ++i) {
    if (std::isnan(v[i])) return number(v[i]);
    if (Greatest ? v[i] > best : v[i] < best) best = v[i];
  }
  return number(best);
}

Cvd::Ref call_transpose(const CallEnv&, const Args& a) {
  if (as_number(a[0]) != nullptr) return a[0];
  return transposed(*matrix_arg(a, 0));
}

// ---------------------------------------------------------------------------
// Looking and listening

Cvd::Ref call_view(const CallEnv& e, const Args& a) {
  bool rgb = false;
  if (a.size() > 1) {
    Cvd::StrVal* s = as_string(a[1]);
    if (s == nullptr || (s->m_str != u"rgb" && s->m_str != u"grey")) {
      throw Exception("must be \"grey\" or \"rgb\"", 2);
    }
    rgb = s->m_str == u"rgb";
  }
  Cvd::MatVal* m = as_matrix(a[0]);
  if (m == nullptr) throw Exception("must be matrix", 1);
  if (!m->get_IsRealMatrix() || m->get_HasImag()) throw Exception("must be real matrix", 1);
  if (rgb && m->get_Cols() % 3 != 0) {
    throw Exception("must have red, green and blue planes side by side", 1,
                    std::to_string(m->get_Cols()) + " columns cannot be split in three");
  }
  if (e.show) e.show(Display{Display::Kind::View, a[0], rgb, nullptr, 0, 0, {}});
  return a[0];
}

// A vector as a column: one row becomes one column.
Cvd::Ref as_column(const std::shared_ptr<Cvd::MatVal>& v) {
  return v->get_Rows() == 1 && v->get_Cols() > 1 ? transposed(*v) : v;
}

Cvd::Ref call_plot(const CallEnv& e, const Args& a) {
  std::size_t yi = a.size() - 1;
  auto y = real_arg(a, yi);
  not_empty(*y, yi);
  // One row of values is one line.
  Cvd::Ref lines = as_column(y);
  Cvd::Ref x;
  if (a.size() == 2) {
    auto xm = real_arg(a, 0);
    if (xm->get_Rows() != 1 && xm->get_Cols() != 1)
      throw Exception("must be a vector", 1, "x is " + size_text(*xm));
    std::size_t want = as_matrix(lines)->get_Rows();
    if (xm->size() != want) {
      throw Exception("must have as many elements as y has rows", 1,
                      "x has " + std::to_string(xm->size()) + ", y has " + std::to_string(want));
    }
    x = as_column(xm);
  }
  if (e.show) e.show(Display{Display::Kind::Plot, lines, false, x, 0, 0, {}});
  return a[yi];
}

// A folder of our own under the temporary folder, removed with what it holds.
class TempFolder {
 public:
  TempFolder() {
    std::error_code ec;
    std::string t = (std::filesystem::temp_directory_path(ec) / "kexio-play-XXXXXX").string();
    if (ec || ::mkdtemp(t.data()) == nullptr)
      throw Exception("file open error", Kex::kWholeCall, "no temporary folder for the sound");
    m_path = t;
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// The samples as WRITEWAV writes them, with its checks: its message at
// PLAY's own argument (samples 1, rate 2, bits 3).
std::string wav_of(const CallEnv& e, const Cvd::Ref& m, const Cvd::Ref& rate,
                   const Cvd::Ref& bits) {
  TempFolder folder;
  std::string file = folder.path() + "/play.wav";
  Args args{std::make_shared<Cvd::StrVal>(utf8_to_utf16(file)), rate, bits, m};
  try {
    find_function("WRITEWAV", 4)->invoke(e, args);
  } catch (const Exception& x) {
    static const std::uint32_t kPlace[] = {Kex::kWholeCall, Kex::kWholeCall, 2, 3, 1};
    std::uint32_t i = x.index() < 5 ? kPlace[x.index()] : Kex::kWholeCall;
    throw Exception(x.message(), i, x.detail());
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw Exception("file i/o error", Kex::kWholeCall);
  return bytes;
}

Cvd::Ref call_play(const CallEnv& e, const Args& a) {
  if (Cvd::MatVal* m = as_matrix(a[0])) not_empty(*m, 0);
  Cvd::NumVal* rate = as_number(a[1]);
  if (rate != nullptr && rate->Data.ip == 0.0 && !(rate->Data.rp >= 1))
    throw Exception("must be positive", 2);
  Cvd::Ref bits = a.size() > 2 ? a[2] : number(16);
  Display d{Display::Kind::Play, a[0], false, nullptr, 0, 16, wav_of(e, a[0], a[1], bits)};
  // As the WAV file holds them (WRITEWAV took both as numbers): whole frames
  // per second, whole bits.
  auto value = [](const Cvd::Ref& v) {
    Cvd::NumVal* n = as_number(v);
    return n != nullptr ? std::trunc(std::min(n->Data.rp, 4294967295.0)) : 0.0;
  };
  d.rate = value(a[1]);
  d.bits = static_cast<int>(value(bits));
  if (e.show) e.show(d);
  return a[0];
}

constexpr const char* kLook =
    "Looking and listening (pictures and plots on a colour terminal; all in a notebook)";
constexpr const char* kCompute =
    "Computing with matrices (1-based: m[i, j], m[i, :], m[:, j], m[a..b, c..d])";

}  // namespace

void add_own_functions(std::vector<Function>& out) {
  auto add = [&](const char* name, const char* params, const char* summary, const char* family,
                 int count, Cvd::Ref (*own)(const CallEnv&, const Args&)) {
    out.push_back(Function{name, params, summary, family, count, nullptr, own});
  };
  add("VIEW", "m", "show grey levels 0..255 as a picture (scaled to fit the terminal); gives m",
      kLook, 1, &call_view);
  add("VIEW", "m, kind",
      "kind \"rgb\": red, green, blue planes side by side (as READRGB gives them); \"grey\" as "
      "above",
      kLook, 2, &call_view);
  add("PLOT", "y", "each column of y as a line against the row number (one row: one line); gives y",
      kLook, 1, &call_plot);
  add("PLOT", "x, y", "each column of y as a line against the vector x; gives y", kLook, 2,
      &call_plot);
  add("PLAY", "m, rate",
      "a player for samples (rows of channels, as READWAV gives them) at rate frames per second, "
      "taken as WRITEWAV takes 16 bits; in a notebook only; gives m",
      kLook, 2, &call_play);
  add("PLAY", "m, rate, bits", "the same with 1 to 32 bits (1 to 8: samples 0..255)", kLook, 3,
      &call_play);
  add("rows", "m", "the number of rows (1 for a number)", kCompute, 1, &call_rows);
  add("cols", "m", "the number of columns (1 for a number)", kCompute, 1, &call_cols);
  add("sum", "m", "the sum of every element of a real matrix (0 for an empty one)", kCompute, 1,
      &call_sum);
  add("mean", "m", "the mean of every element; a column's with mean(m[:, j])", kCompute, 1,
      &call_mean);
  add("min", "m", "the least element (NaN when there is one)", kCompute, 1, &call_extreme<false>);
  add("max", "m", "the greatest element (NaN when there is one)", kCompute, 1, &call_extreme<true>);
  add("transpose", "m", "rows become columns, nested elements too", kCompute, 1, &call_transpose);
}

}  // namespace kexio::app
