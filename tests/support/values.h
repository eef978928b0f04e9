// Small builders of host values for tests.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kexio/runtime/cvd.h"

namespace kexio_test {

inline Cvd::Ref num(double re, double im = 0.0) {
  return std::make_shared<Cvd::NumVal>(re, im);
}

inline Cvd::Ref str(const std::u16string& s) {
  return std::make_shared<Cvd::StrVal>(s);
}
inline Cvd::Ref str(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}
inline Cvd::Ref str(const char* s) {
  return str(std::string(s));
}

// A real matrix from its rows.
inline std::shared_ptr<Cvd::MatVal> mat(std::initializer_list<std::initializer_list<double>> rows) {
  std::uint32_t r = static_cast<std::uint32_t>(rows.size());
  std::uint32_t c = r == 0 ? 0 : static_cast<std::uint32_t>(rows.begin()->size());
  auto m = Cvd::MatVal::Zeros(r, c);
  std::uint32_t i = 0;
  for (const auto& row : rows) {
    std::uint32_t j = 0;
    for (double v : row)
      m->real()[static_cast<std::size_t>(j++) * r + i] = v;
    ++i;
  }
  return m;
}

inline Cvd::MatVal* as_matrix(const Cvd::Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// The element (r, c) of a host matrix result.
inline double at(const Cvd::Ref& v, std::uint32_t r, std::uint32_t c) {
  return static_cast<Cvd::MatVal*>(v.get())->get_real(r, c);
}

using Rows = std::vector<std::vector<double>>;

// The real parts of a matrix result, row by row; a row holding NaN, equal to
// nothing, when the result is no matrix.
inline Rows rows_of(const Cvd::Ref& v) {
  const auto* m = dynamic_cast<const Cvd::MatVal*>(v.get());
  if (m == nullptr) return {{std::numeric_limits<double>::quiet_NaN()}};
  Rows out(m->get_Rows(), std::vector<double>(m->get_Cols()));
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c)
      out[r][c] = m->get_real(r, c);
  }
  return out;
}

// The matrix with imaginary parts, given in storage (column-major) order.
inline std::shared_ptr<Cvd::MatVal> with_imag(std::shared_ptr<Cvd::MatVal> m,
                                              std::initializer_list<double> imag) {
  m->m_iarr = Cvd::NewArray(imag.size());
  std::copy(imag.begin(), imag.end(), m->imag());
  return m;
}

}  // namespace kexio_test
