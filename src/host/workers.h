// The workers behind the entry methods of Kex::IO. Each receives the call
// context first (except the functions that build host values themselves) and
// the worksheet directory last; names and directories are NUL-terminated
// Latin-1 byte strings.
#pragma once

#include "kexio/host/context.h"
#include "kexio/host/values.h"
#include "kexio/runtime/cvd.h"

namespace kexio {

using Kex::aComplex;
using Kex::aMatrix;
using Kex::aVector;

// Text tables: these build host values directly.
Cvd::Ref READPRN(const char* fname, const char* cwd);
Cvd::Ref writePRN(const char* filename, const Cvd::Ref& sv, const Cvd::NumVal& prnPrecision,
                  const Cvd::NumVal& prnColWidth, const char* cwd);
Cvd::Ref appendPRN(const char* filename, const Cvd::MatVal& amat, const Cvd::NumVal& prnPrecision,
                   const Cvd::NumVal& prnColWidth, const char* cwd);

// Image reading.
aMatrix* READ_IMAGE(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READRGB(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_RED(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_GREEN(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_BLUE(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HLS(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HLS_HUE(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HLS_LIGHT(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HLS_SAT(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HSV(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HSV_HUE(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HSV_SAT(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READ_HSV_VALUE(KexCallContext* ctx, const char* file, const char* cwd);

// Image writing.
aComplex* WRITEBMP(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd);
aComplex* WRITERGB(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd);
aComplex* WRITE_HLS(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd);
aComplex* WRITE_HSV(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd);

// Typed binary matrices.
aMatrix* readbin(KexCallContext* ctx, const char* file, const aComplex* rows, const aComplex* cols,
                 const char* type, const aComplex* endian, const aComplex* skip, const char* cwd);
aComplex* writebin(KexCallContext* ctx, const aMatrix* m, const char* file, const char* type,
                   const aComplex* endian, const char* cwd);

// Raw images, served by the host image library.
aMatrix* READRAW(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                 const aComplex* z, const char* s, const aComplex* k, const char* cwd);
aComplex* WRITERAW(KexCallContext* ctx, const aMatrix* m, const char* file, const aComplex* x,
                   const char* s, const char* cwd);

// WAV audio.
aVector* GETWAVINFO(KexCallContext* ctx, const char* file, const char* cwd);
aMatrix* READWAV(KexCallContext* ctx, const char* file, const char* cwd);
aComplex* WRITEWAV(KexCallContext* ctx, const char* file, const aMatrix* m, const aComplex* rate,
                   const aComplex* resolution, const char* cwd);

// Colormaps (names are used as given, not resolved).
aMatrix* ReadColormap(KexCallContext* ctx, const char* file);
aComplex* WriteColormap(KexCallContext* ctx, const char* file, const aMatrix* m);

// Data import; builds a host value directly.
Cvd::Ref READFILE(const char* cwd, const std::vector<Cvd::Ref>& args);

// Sketch point files (the name is used as given).
aVector* csketchfile_cvs(KexCallContext* ctx, const char* file);

// Reports that a function's worker is not part of this build.
[[noreturn]] void not_available(const char* function);

}  // namespace kexio
