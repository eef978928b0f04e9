#include "values.h"

#include <complex>
#include <limits>
#include <memory>

namespace kexio::app {

Cvd::NumVal* as_number(const Cvd::Ref& v) {
  return dynamic_cast<Cvd::NumVal*>(v.get());
}
Cvd::StrVal* as_string(const Cvd::Ref& v) {
  return dynamic_cast<Cvd::StrVal*>(v.get());
}
Cvd::MatVal* as_matrix(const Cvd::Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

bool has_nested(const Cvd::MatVal& m) {
  return m.m_parr && !m.m_parr->empty();
}

std::string size_text(const Cvd::MatVal& m) {
  return std::to_string(m.get_Rows()) + "×" + std::to_string(m.get_Cols());
}

namespace {

struct Complex {
  double re;
  double im;
};

// A zero imaginary part is always +0, so results do not carry "-0i".
double tidy_im(double im) {
  return im == 0.0 ? 0.0 : im;
}

Complex combine(char op, Complex x, Complex y) {
  Complex r{};
  switch (op) {
    case '+':
      r = {x.re + y.re, x.im + y.im};
      break;
    case '-':
      r = {x.re - y.re, x.im - y.im};
      break;
    case '*':
      // Real operands keep real arithmetic, so that 0·∞ in a zero imaginary
      // part does not turn into NaN.
      if (x.im == 0.0 && y.im == 0.0) {
        r = {x.re * y.re, 0.0};
      } else if (x.im == 0.0) {
        r = {x.re * y.re, x.re * y.im};
      } else if (y.im == 0.0) {
        r = {x.re * y.re, x.im * y.re};
      } else {
        r = {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
      }
      break;
    default:  // '/'
      if (x.im == 0.0 && y.im == 0.0) {
        r = {x.re / y.re, 0.0};
      } else if (y.im == 0.0) {
        r = {x.re / y.re, x.im / y.re};
      } else {
        std::complex<double> q =
            std::complex<double>(x.re, x.im) / std::complex<double>(y.re, y.im);
        r = {q.real(), q.imag()};
      }
      break;
  }
  r.im = tidy_im(r.im);
  return r;
}

const char* op_name(char op) {
  switch (op) {
    case '+':
      return "add";
    case '-':
      return "subtract";
    case '*':
      return "multiply";
    default:
      return "divide";
  }
}

// Throws unless v can take part in arithmetic.
void check_operand(const Cvd::Ref& v, int part) {
  if (as_number(v) != nullptr) return;
  if (Cvd::MatVal* m = as_matrix(v)) {
    if (has_nested(*m)) {
      throw ArithError{"arithmetic needs numbers; this " + size_text(*m) +
                           " matrix holds text or nested matrices",
                       part};
    }
    return;
  }
  if (as_string(v) != nullptr) throw ArithError{"arithmetic needs numbers, not a string", part};
  throw ArithError{"arithmetic needs numbers", part};
}

// A matrix of the given size; its imaginary array is dropped afterwards when
// every imaginary part came out zero.
struct MatrixBuilder {
  MatrixBuilder(std::uint32_t r, std::uint32_t c, bool complex)
      : rows(r), cols(c), re(Cvd::NewArray(static_cast<std::size_t>(r) * c)) {
    if (complex) im = Cvd::NewArray(static_cast<std::size_t>(r) * c);
  }
  void set(std::size_t i, Complex z) {
    re[i] = z.re;
    if (im) {
      im[i] = z.im;
      any_im = any_im || z.im != 0.0;
    }
  }
  Cvd::Ref finish() {
    if (!any_im) im = nullptr;
    return std::make_shared<Cvd::MatVal>(re, im, rows, cols, rows, nullptr);
  }
  std::uint32_t rows, cols;
  Cvd::Array re, im;
  bool any_im = false;
};

Complex element(const Cvd::MatVal& m, std::size_t i) {
  return {m.real()[i], m.get_HasImag() ? m.imag()[i] : 0.0};
}

}  // namespace

Cvd::Ref build_matrix(std::size_t rows, std::size_t cols, const std::vector<Cvd::Ref>& elements) {
  bool complex = false;
  for (const Cvd::Ref& e : elements) {
    if (Cvd::NumVal* n = as_number(e)) complex = complex || n->Data.ip != 0.0;
  }
  std::size_t n = rows * cols;
  Cvd::Array re = Cvd::NewArray(n);
  Cvd::Array im = complex ? Cvd::NewArray(n) : nullptr;
  std::shared_ptr<Cvd::Table> table;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      const Cvd::Ref& e = elements[r * cols + c];
      std::size_t i = c * rows + r;  // column-major
      if (Cvd::NumVal* num = as_number(e)) {
        re[i] = num->Data.rp;
        if (im) im[i] = tidy_im(num->Data.ip);
      } else {
        if (!table) table = std::make_shared<Cvd::Table>();
        (*table)[static_cast<std::int32_t>(i)] = e;
        re[i] = Cvd::NestedSlot();
        if (im) im[i] = 0.0;
      }
    }
  }
  auto u = [](std::size_t v) { return static_cast<std::uint32_t>(v); };
  return std::make_shared<Cvd::MatVal>(re, im, u(rows), u(cols), u(rows), table);
}

Cvd::Ref element_at(const Cvd::MatVal& m, std::size_t r, std::size_t c) {
  std::size_t i = c * m.get_Rows() + r;
  if (has_nested(m)) {
    auto it = m.m_parr->find(static_cast<std::int32_t>(i));
    if (it != m.m_parr->end()) return it->second;
  }
  return std::make_shared<Cvd::NumVal>(m.real()[i], m.get_HasImag() ? tidy_im(m.imag()[i]) : 0.0);
}

namespace {

// A rows × cols matrix whose element i is element from(i) of m.
template <class From>
Cvd::Ref rearranged(const Cvd::MatVal& m, std::size_t rows, std::size_t cols, From from) {
  MatrixBuilder out(static_cast<std::uint32_t>(rows), static_cast<std::uint32_t>(cols),
                    m.get_HasImag());
  std::shared_ptr<Cvd::Table> table;
  for (std::size_t i = 0, n = rows * cols; i < n; ++i) {
    std::size_t k = from(i);
    out.set(i, element(m, k));
    if (!has_nested(m)) continue;
    auto it = m.m_parr->find(static_cast<std::int32_t>(k));
    if (it == m.m_parr->end()) continue;
    if (!table) table = std::make_shared<Cvd::Table>();
    (*table)[static_cast<std::int32_t>(i)] = it->second;
  }
  Cvd::Ref v = out.finish();
  as_matrix(v)->m_parr = std::move(table);
  return v;
}

}  // namespace

Cvd::Ref block(const Cvd::MatVal& m, std::size_t r, std::size_t c, std::size_t rows,
               std::size_t cols) {
  std::size_t stride = m.get_Rows();
  return rearranged(m, rows, cols,
                    [&](std::size_t i) { return (c + i / rows) * stride + r + i % rows; });
}

Cvd::Ref transposed(const Cvd::MatVal& m) {
  std::size_t rows = m.get_Cols(), cols = m.get_Rows();
  // Element (i % rows, i / rows) of the result is element (i / rows, i % rows) of m.
  return rearranged(m, rows, cols, [&](std::size_t i) { return (i % rows) * cols + i / rows; });
}

Cvd::Ref negate(const Cvd::Ref& v) {
  check_operand(v, 1);
  if (Cvd::NumVal* n = as_number(v)) {
    return std::make_shared<Cvd::NumVal>(-n->Data.rp, tidy_im(-n->Data.ip));
  }
  const Cvd::MatVal& m = *as_matrix(v);
  MatrixBuilder out(m.get_Rows(), m.get_Cols(), m.get_HasImag());
  for (std::size_t i = 0, n = m.size(); i < n; ++i) {
    Complex z = element(m, i);
    out.set(i, {-z.re, tidy_im(-z.im)});
  }
  return out.finish();
}

Cvd::Ref arithmetic(char op, const Cvd::Ref& a, const Cvd::Ref& b) {
  check_operand(a, 1);
  check_operand(b, 2);
  Cvd::NumVal* na = as_number(a);
  Cvd::NumVal* nb = as_number(b);
  if (na != nullptr && nb != nullptr) {
    Complex z = combine(op, {na->Data.rp, na->Data.ip}, {nb->Data.rp, nb->Data.ip});
    return std::make_shared<Cvd::NumVal>(z.re, z.im);
  }
  Cvd::MatVal* ma = as_matrix(a);
  Cvd::MatVal* mb = as_matrix(b);
  if (ma != nullptr && mb != nullptr &&
      (ma->get_Rows() != mb->get_Rows() || ma->get_Cols() != mb->get_Cols())) {
    throw ArithError{std::string("cannot ") + op_name(op) + " matrices of different sizes (" +
                         size_text(*ma) + " and " + size_text(*mb) + ")",
                     0};
  }
  const Cvd::MatVal& shape = ma != nullptr ? *ma : *mb;
  bool complex = (ma != nullptr ? ma->get_HasImag() : na->Data.ip != 0.0) ||
                 (mb != nullptr ? mb->get_HasImag() : nb->Data.ip != 0.0);
  MatrixBuilder out(shape.get_Rows(), shape.get_Cols(), complex);
  for (std::size_t i = 0, n = shape.size(); i < n; ++i) {
    Complex x = ma != nullptr ? element(*ma, i) : Complex{na->Data.rp, na->Data.ip};
    Complex y = mb != nullptr ? element(*mb, i) : Complex{nb->Data.rp, nb->Data.ip};
    out.set(i, combine(op, x, y));
  }
  return out.finish();
}

}  // namespace kexio::app
