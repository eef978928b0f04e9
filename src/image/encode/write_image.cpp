// The image writing functions: WRITEBMP (grey levels, 8-bit BMP), WRITERGB
// (red, green, blue planes, 24-bit BMP), WRITE_HLS and WRITE_HSV (colour
// planes converted to red, green, blue). WRITEBMP and WRITERGB hand a few
// other extensions to the host image library.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/loader.h"
#include "host/workers.h"
#include "image/encode/bmp_encoder.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

using ImageWriter = aComplex* (*)(KexCallContext*, const char*, const aMatrix*, const char*);

HostEntry<ImageWriter> g_write_gray("keximager.dll", "imgwrite_gray");
HostEntry<ImageWriter> g_write_rgb("keximager.dll", "imgwrite_rgb");

// Matrix rows converted per band: each column contributes a run of this many
// consecutive elements, so the column-major matrix is read in runs instead
// of one element per column and row.
constexpr std::int64_t kBandRows = 64;

[[noreturn]] void report(int code, std::uint32_t index = Kex::kWholeCall) {
  Kex::Throw(decoder_error_message(code), index);
}

// The last three characters of name equal ext (of three lower-case letters),
// ignoring letter case when fold is set.
bool has_extension(const char* name, const char* ext, bool fold) {
  std::size_t n = std::strlen(name);
  if (n < 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    char c = name[n - 3 + i];
    if (fold && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

aComplex* through_host_library(HostEntry<ImageWriter>& entry, KexCallContext* ctx, const char* file,
                               const aMatrix* m, const char* cwd) {
  ImageWriter write = entry.get();
  if (write == nullptr) report(kUnknownFormat);
  return write(ctx, file, m, cwd);
}

aComplex* zero(KexCallContext* ctx) {
  const double z = 0.0;
  aComplex* r = Kex::new_complex(ctx->m_alloc, &z, &z);
  if (r == nullptr) report(kOutOfMemory);
  return r;
}

// An element rounded to the nearest whole number (halves up) and reduced
// modulo 256, so that 256 is stored as 0 and -1 as 255. Not-a-number and
// infinities are stored as 0.
inline std::uint8_t to_byte(double v) {
  double r = std::floor(v + 0.5);
  if (r > -2147483648.0 && r < 2147483648.0) {
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(r) & 0xFF);
  }
  double m = std::fmod(r, 256.0);  // exact; NaN for NaN and infinities
  if (!(m == m)) return 0;
  if (m < 0) m += 256.0;
  return static_cast<std::uint8_t>(static_cast<int>(m));
}

std::string resolve_for_writing(const char* file, const char* cwd) {
  return CHTTPRedirector(file, cwd, CHTTPRedirector::kWrite).LocalPath();
}

// Reports an encoder that could not be created: the system's reason for a
// failed open when it is one users recognise, else the code's message.
[[noreturn]] void report_open_failure(bmp_encoder& enc, int code) {
  int err = enc.open_errno();
  if (err == ENOENT || err == EACCES || err == EEXIST || err == EINVAL || err == EMFILE) {
    Kex::Throw(std::strerror(err), Kex::kWholeCall);
  }
  report(code);
}

// Writes the rows of the matrix bottom row first. fill(top, n, band) turns
// matrix rows top .. top + n - 1 into n rows of row_bytes bytes each in
// band; every band row is then copied into the encoder's buffer and written.
template <typename Fill>
void write_rows(bmp_encoder& enc, std::int64_t rows, std::int64_t row_bytes, bool check_each_row,
                Fill fill) {
  std::vector<std::uint8_t> band(static_cast<std::size_t>(std::min(rows, kBandRows) * row_bytes));
  for (std::int64_t end = rows; end > 0;) {
    std::int64_t n = std::min(end, kBandRows);
    std::int64_t top = end - n;
    fill(top, n, band.data());
    for (std::int64_t k = n - 1; k >= 0; --k) {
      if (unsigned char* dst = enc.row_span(0, row_bytes)) {
        std::memcpy(dst, band.data() + k * row_bytes, static_cast<std::size_t>(row_bytes));
      }
      int code = enc.write_row();
      if (check_each_row && code != 0) report(code);
    }
    end = top;
  }
}

void finish(bmp_encoder& enc) {
  enc.finish();
  if (int code = enc.status()) report(code);
}

// The three planes of a packed matrix, turned into red, green, blue bytes
// per pixel by convert(a, b, c, bytes).
template <typename Convert>
void write_packed(const aMatrix* m, const std::string& path, Convert convert) {
  const std::int64_t rows = m->rows;
  const std::int64_t n = m->cols / 3;
  bmp_encoder enc(path.c_str(), 24, rows, n);
  if (int code = enc.status()) report_open_failure(enc, code);
  const double* data = m->m_rv;
  write_rows(enc, rows, 3 * n, true, [&](std::int64_t top, std::int64_t count, std::uint8_t* band) {
    for (std::int64_t p = 0; p < n; ++p) {
      const double* a = data + p * rows + top;
      const double* b = data + (n + p) * rows + top;
      const double* c = data + (2 * n + p) * rows + top;
      std::uint8_t* out = band + 3 * p;
      for (std::int64_t k = 0; k < count; ++k, out += 3 * n)
        convert(a[k], b[k], c[k], out);
    }
  });
  finish(enc);
}

}  // namespace

aComplex* WRITEBMP(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  if (!pure_real(m)) Kex::Throw("must be real matrix", 2);
  if (has_extension(file, "pbm", true) || has_extension(file, "pgm", true) ||
      has_extension(file, "tif", true)) {
    return through_host_library(g_write_gray, ctx, file, m, cwd);
  }
  try {
    std::string path = resolve_for_writing(file, cwd);
    const std::int64_t rows = m->rows, cols = m->cols;
    bmp_encoder enc(path.c_str(), 8, rows, cols);
    if (int code = enc.status()) report_open_failure(enc, code);
    for (std::size_t k = 0; k < 256; ++k) {
      std::memset(&enc.palette[4 * k], static_cast<int>(k), 3);  // blue = green = red = k
    }
    enc.write_palette();
    const double* data = m->m_rv;
    write_rows(enc, rows, cols, false,
               [&](std::int64_t top, std::int64_t count, std::uint8_t* band) {
                 for (std::int64_t j = 0; j < cols; ++j) {
                   const double* col = data + j * rows + top;
                   std::uint8_t* out = band + j;
                   for (std::int64_t k = 0; k < count; ++k, out += cols)
                     *out = to_byte(col[k]);
                 }
               });
    finish(enc);
  } catch (const Kex::ComError& e) {
    Kex::Throw(e.Description().c_str(), Kex::kWholeCall);
  }
  return zero(ctx);
}

aComplex* WRITERGB(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  if (!pure_real(m)) Kex::Throw("must be real matrix", 2);
  try {
    std::string path = resolve_for_writing(file, cwd);
    // Case matters here: "x.TIF" is written as a BMP file.
    if (has_extension(file, "ppm", false) || has_extension(file, "tif", false)) {
      return through_host_library(g_write_rgb, ctx, file, m, cwd);
    }
    if (m->cols % 3 != 0) report(kBadHeader, 2);
    write_packed(m, path, [](double r, double g, double b, std::uint8_t* out) {
      out[0] = to_byte(r);
      out[1] = to_byte(g);
      out[2] = to_byte(b);
    });
  } catch (const Kex::ComError& e) {
    Kex::Throw(e.Description().c_str(), Kex::kWholeCall);
  }
  return zero(ctx);
}

namespace {

template <void (*ToRgb)(double, double, double, unsigned char*, unsigned char*, unsigned char*)>
aComplex* write_colour_space(KexCallContext* ctx, const char* file, const aMatrix* m,
                             const char* cwd) {
  if (m->m_iv != nullptr) Kex::Throw("must be real matrix", 2);
  if (m->cols % 3 != 0) report(kBadHeader, 2);
  try {
    std::string path = resolve_for_writing(file, cwd);
    write_packed(m, path, [](double a, double b, double c, std::uint8_t* out) {
      ToRgb(a, b, c, &out[0], &out[1], &out[2]);
    });
  } catch (const Kex::ComError& e) {
    Kex::Throw(e.Description().c_str(), Kex::kWholeCall);
  }
  return zero(ctx);
}

}  // namespace

aComplex* WRITE_HLS(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  return write_colour_space<Kex::HLS_TO_RGB>(ctx, file, m, cwd);
}

aComplex* WRITE_HSV(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  return write_colour_space<Kex::HSV_TO_RGB>(ctx, file, m, cwd);
}

}  // namespace kexio
