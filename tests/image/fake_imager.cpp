// A test stand-in of the host image library's two writers: each leaves a
// note "<entry> <rows> <cols>" in the file "<cwd>/<file>.called" and returns
// the number rows + i cols, so a test sees exactly what reached it.
#include <fstream>
#include <string>

#include "kexio/host/context.h"

namespace {

Kex::aComplex* note(const char* entry, KexCallContext* ctx, const char* file, const Kex::aMatrix* m,
                    const char* cwd) {
  std::ofstream(std::string(cwd) + "/" + file + ".called")
      << entry << ' ' << m->rows << ' ' << m->cols << '\n';
  double rows = m->rows, cols = m->cols;
  return Kex::new_complex(ctx->m_alloc, &rows, &cols);
}

}  // namespace

extern "C" Kex::aComplex* imgwrite_gray(KexCallContext* ctx, const char* file,
                                        const Kex::aMatrix* m, const char* cwd) {
  return note("imgwrite_gray", ctx, file, m, cwd);
}

extern "C" Kex::aComplex* imgwrite_rgb(KexCallContext* ctx, const char* file, const Kex::aMatrix* m,
                                       const char* cwd) {
  return note("imgwrite_rgb", ctx, file, m, cwd);
}
