// The workers behind the entry methods of Kex::IO, declared from the function
// table. Each receives the call context first (except the functions that
// build host values themselves) and the worksheet directory last. Strings are
// NUL-terminated: file names and the directory as path text (UTF-8,
// Kex::path_text), except those handed on to the host image library
// (READRAW, WRITERAW), which stay byte strings like every other string
// (Latin-1, Kex::given_bytes).
#pragma once

#include <vector>

#include "kexio/calls.h"
#include "kexio/host/context.h"
#include "kexio/host/values.h"
#include "kexio/runtime/cvd.h"

namespace kexio {

using Kex::aComplex;
using Kex::aMatrix;
using Kex::aVector;

// The worker of each form, R its result.
// clang-format off
#define KEXIO_WORKER_prn_read(w, R) R w(const char* file, const char* cwd)
#define KEXIO_WORKER_prn_write(w, R) \
  R w(const char* file, const Cvd::Ref& value, const Cvd::NumVal& prnPrecision, \
      const Cvd::NumVal& prnColWidth, const char* cwd)
#define KEXIO_WORKER_prn_append(w, R) \
  R w(const char* file, const Cvd::MatVal& amat, const Cvd::NumVal& prnPrecision, \
      const Cvd::NumVal& prnColWidth, const char* cwd)
#define KEXIO_WORKER_file(w, R) R w(KexCallContext* ctx, const char* file, const char* cwd)
#define KEXIO_WORKER_image_write(w, R) \
  R w(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd)
#define KEXIO_WORKER_bin_read(w, R) \
  R w(KexCallContext* ctx, const char* file, const aComplex* rows, const aComplex* cols, \
      const char* type, const aComplex* endian, const aComplex* skip, const char* cwd)
#define KEXIO_WORKER_bin_write(w, R) \
  R w(KexCallContext* ctx, const aMatrix* m, const char* file, const char* type, \
      const aComplex* endian, const char* cwd)
#define KEXIO_WORKER_raw_read(w, R) \
  R w(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y, \
      const aComplex* z, const char* s, const aComplex* k, const char* cwd)
#define KEXIO_WORKER_raw_write(w, R) \
  R w(KexCallContext* ctx, const aMatrix* m, const char* file, const aComplex* x, const char* s, \
      const char* cwd)
#define KEXIO_WORKER_wav_write(w, R) \
  R w(KexCallContext* ctx, const char* file, const aMatrix* m, const aComplex* rate, \
      const aComplex* resolution, const char* cwd)
#define KEXIO_WORKER_name(w, R) R w(KexCallContext* ctx, const char* file)
#define KEXIO_WORKER_name_matrix(w, R) R w(KexCallContext* ctx, const char* file, const aMatrix* m)
#define KEXIO_WORKER_import_list(w, R) R w(const char* cwd, const std::vector<Cvd::Ref>& args)
// clang-format on

#define KEXIO_WORKER_DECLARATION(name, form, worker, result, ...) \
  KEXIO_WORKER_##form(worker, result);
KEXIO_FUNCTIONS(KEXIO_WORKER_DECLARATION)
#undef KEXIO_WORKER_DECLARATION

}  // namespace kexio
