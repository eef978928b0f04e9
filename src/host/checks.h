// Argument-check helpers of the entry layer, used by READFILE.
#pragma once

#include <cstdint>

#include "kexio/runtime/cvd.h"

namespace Kex {

// 0: an integer within 1e-10; 1: not an integer; 2: above the 32-bit range;
// 3: below it.
int nonint(double x);

namespace Error {

struct ofsize_t {
  std::int32_t rows;  // -1: any
  std::int32_t cols;  // -1: any
};

bool is_int(const Cvd::Ref& v, std::int32_t* out);
bool is_imatrix(const Cvd::Ref& v, Cvd::MatVal** out);
bool is_imatrix(const Cvd::Ref& v, ofsize_t test, Cvd::MatVal** out);

}  // namespace Error
}  // namespace Kex
