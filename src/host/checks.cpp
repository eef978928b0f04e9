#include "host/checks.h"

#include <cmath>

#include "kexio/runtime/cvd.h"

namespace Kex {

int nonint(double x) {
  if (x > 2147483647.0) return 2;
  if (x < -2147483648.0) return 3;
  if (x != 0.0 && std::fabs(x) < 1.0) return 1;
  return std::fabs(x - std::floor(x + 0.1)) > 1e-10 ? 1 : 0;
}

namespace Error {

bool is_int(const Cvd::Ref& v, std::int32_t* out) {
  auto* n = dynamic_cast<Cvd::NumVal*>(v.get());
  if (n == nullptr || n->Data.ip != 0.0 || nonint(n->Data.rp) != 0) return false;
  if (out != nullptr) *out = n->asInt();
  return true;
}

bool is_imatrix(const Cvd::Ref& v, Cvd::MatVal** out) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr || !m->get_IsRealMatrix()) return false;
  const double* re = m->real();
  for (std::size_t i = 0, n = m->size(); i < n; ++i) {
    if (nonint(re[i]) != 0) return false;
  }
  if (out != nullptr) *out = m;
  return true;
}

bool is_imatrix(const Cvd::Ref& v, ofsize_t test, Cvd::MatVal** out) {
  Cvd::MatVal* m = nullptr;
  if (!is_imatrix(v, &m)) return false;
  if (test.cols != -1 && m->get_Cols() != static_cast<std::uint32_t>(test.cols)) return false;
  if (test.rows != -1 && m->get_Rows() != static_cast<std::uint32_t>(test.rows)) return false;
  if (out != nullptr) *out = m;
  return true;
}

}  // namespace Error
}  // namespace Kex
