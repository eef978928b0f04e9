// The entry points of the image library: grey and colour pictures written
// in the format the file name's extension asks for, and raw images read and
// written. Names are resolved against the worksheet folder here; failures
// are raised through the host's error operation.
#include <fcntl.h>

#include <cstring>
#include <new>
#include <utility>

#include "keximager.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

#define KEXIMAGER_API extern "C" __attribute__((visibility("default")))

namespace keximager {

namespace {

enum class Format { kNone, kPbm, kPgm, kPpm, kTiff, kPng };

// The format named by the last three characters of the file name, in any
// letter case.
Format format_of(const char* file) {
  const std::size_t n = std::strlen(file);
  if (n < 3) return Format::kNone;
  char ext[4] = {};
  for (int i = 0; i < 3; ++i) {
    char c = file[n - 3 + i];
    ext[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  constexpr std::pair<const char*, Format> kNames[] = {{"pbm", Format::kPbm},
                                                       {"pgm", Format::kPgm},
                                                       {"ppm", Format::kPpm},
                                                       {"tif", Format::kTiff},
                                                       {"png", Format::kPng}};
  for (const auto& [name, format] : kNames) {
    if (std::strcmp(ext, name) == 0) return format;
  }
  return Format::kNone;
}

// A matrix of `planes` planes side by side written as a picture.
void write_picture(const aMatrix* m, const char* file, const char* cwd, unsigned planes) {
  const Format format = format_of(file);
  const bool grey = planes == 1;
  if (format == Format::kNone || (grey && format == Format::kPpm) ||
      (!grey && (format == Format::kPbm || format == Format::kPgm))) {
    Kex::Throw("unknown file format", Kex::kWholeCall);
  }
  if (!pure_real(m)) Kex::Throw("must be real matrix", 2);
  if (m->cols % planes != 0) Kex::Throw("not a packed image matrix", 2);
  if (m->rows == 0 || m->cols == 0) Kex::Throw("empty matrix", 2);
  Output out(resolve(file, cwd, CHTTPRedirector::kWrite),
             format == Format::kTiff ? O_RDWR : O_WRONLY);
  switch (format) {
    case Format::kTiff:
      return write_tiff(out, m, planes);
    case Format::kPng:
      return write_png(out, m, planes);
    default:
      return write_pnm(out, m,
                       format == Format::kPbm   ? PnmKind::kBitmap
                       : format == Format::kPgm ? PnmKind::kGrey
                                                : PnmKind::kColour);
  }
}

aComplex* zero(KexCallContext* ctx) {
  const double z = 0.0;
  aComplex* r = Kex::new_complex(ctx->m_alloc, &z, &z);
  if (r == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  return r;
}

// Runs an entry's work; memory that cannot be had is reported like every
// other failure, so no C++ exception but the host's leaves the library.
template <typename F>
auto guarded(F&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    Kex::Throw("out of memory", Kex::kWholeCall);
  }
}

}  // namespace

}  // namespace keximager

using keximager::aComplex;
using keximager::aMatrix;

KEXIMAGER_API aComplex* imgwrite_gray(KexCallContext* ctx, const aMatrix* m, const char* file,
                                      const char* cwd) {
  return keximager::guarded([&] {
    keximager::write_picture(m, file, cwd, 1);
    return keximager::zero(ctx);
  });
}

KEXIMAGER_API aComplex* imgwrite_rgb(KexCallContext* ctx, const aMatrix* m, const char* file,
                                     const char* cwd) {
  return keximager::guarded([&] {
    keximager::write_picture(m, file, cwd, 3);
    return keximager::zero(ctx);
  });
}

KEXIMAGER_API aMatrix* imgread_raw(KexCallContext* ctx, const char* file, const aComplex* x,
                                   const aComplex* y, const aComplex* z, const char* s,
                                   const aComplex* k, const char* cwd) {
  return keximager::guarded([&] { return keximager::read_raw(ctx, file, x, y, z, s, k, cwd); });
}

KEXIMAGER_API aComplex* imgwrite_raw(KexCallContext* ctx, const aMatrix* m, const char* file,
                                     const aComplex* x, const char* s, const char* cwd) {
  return keximager::guarded([&] {
    keximager::write_raw(m, file, x, s, cwd);
    return keximager::zero(ctx);
  });
}
