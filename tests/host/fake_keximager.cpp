// A stand-in of the host image library for tests: imgread_raw returns the
// file name's bytes as a column vector, so a test sees exactly what reached
// the worker.
#include <cstring>

#include "kexio/host/context.h"

extern "C" Kex::aMatrix* imgread_raw(KexCallContext* ctx, const char* file, const Kex::aComplex*,
                                     const Kex::aComplex*, const Kex::aComplex*, const char*,
                                     const Kex::aComplex*, const char*) {
  std::size_t n = std::strlen(file);
  double* v = Kex::allocate_doubles(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<unsigned char>(file[i]);
  return Kex::new_vector(ctx->m_alloc, static_cast<std::uint32_t>(n), v);
}
