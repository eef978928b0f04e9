// The image writing functions: WRITEBMP (grey levels, 8-bit BMP), WRITERGB
// (red, green, blue planes, 24-bit BMP), WRITE_HLS and WRITE_HSV (colour
// planes converted to red, green, blue). WRITEBMP and WRITERGB hand a few
// other extensions to the host image library.
#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/transpose.h"
#include "host/loader.h"
#include "host/workers.h"
#include "image/encode/bmp_encoder.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

using ImageWriter = aComplex* (*)(KexCallContext*, const aMatrix*, const char*, const char*);

HostEntry<ImageWriter> g_write_gray("keximager.dll", "imgwrite_gray");
HostEntry<ImageWriter> g_write_rgb("keximager.dll", "imgwrite_rgb");

// Matrix rows are converted a band at a time: each column contributes a run
// of consecutive elements, so the column-major matrix is read in long runs
// instead of one element per column and row. A band holds up to kBandBytes
// of converted rows, at least kMinBandRows rows.
constexpr std::int64_t kBandBytes = 2 << 20;
constexpr std::int64_t kMinBandRows = 64;

// Pictures from which the rows are made on two threads, and the bands made
// ahead of the one being written.
constexpr std::int64_t kThreadedBytes = 1 << 20;
constexpr std::int64_t kRingBands = 4;

std::int64_t band_rows(std::int64_t rows, std::int64_t row_bytes) {
  std::int64_t n = row_bytes > 0 ? kBandBytes / row_bytes : rows;
  return std::max<std::int64_t>(1, std::min(rows, std::max(n, kMinBandRows)));
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

// The host library takes the name and the folder as byte strings.
aComplex* through_host_library(HostEntry<ImageWriter>& entry, KexCallContext* ctx, const char* file,
                               const aMatrix* m, const char* cwd) {
  ImageWriter write = entry.get();
  if (write == nullptr) fail_with(kUnknownFormat);
  return write(ctx, m, Kex::given_bytes(file).c_str(), Kex::given_bytes(cwd).c_str());
}

aComplex* zero(KexCallContext* ctx) {
  const double z = 0.0;
  aComplex* r = Kex::new_complex(ctx->m_alloc, &z, &z);
  if (r == nullptr) fail_with(kOutOfMemory);
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

#if defined(__x86_64__)
// to_byte of the first elements of in, sixteen at a time, for as long as
// they lie well inside the 32-bit range (the usual case); returns how many
// were done.
__attribute__((target("avx2"))) std::int64_t to_bytes_avx2(const double* in, std::int64_t n,
                                                           std::uint8_t* out, const double* next) {
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d lo = _mm256_set1_pd(-2147483648.0);
  const __m256d hi = _mm256_set1_pd(2147483647.0);
  const __m128i low_byte = _mm_set1_epi32(0xFF);
  std::int64_t k = 0;
  for (; k + 16 <= n; k += 16) {
    _mm_prefetch(reinterpret_cast<const char*>(next + k), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(next + k + 8), _MM_HINT_T0);
    __m256d x[4];
    __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
    for (int i = 0; i < 4; ++i) {
      x[i] = _mm256_add_pd(_mm256_loadu_pd(in + k + 4 * i), half);
      ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(x[i], lo, _CMP_GT_OQ),
                                           _mm256_cmp_pd(x[i], hi, _CMP_LT_OQ)));
    }
    if (_mm256_movemask_pd(ok) != 0xF) break;  // the rest goes the careful way
    __m128i q[4];
    for (int i = 0; i < 4; ++i)
      q[i] = _mm_and_si128(_mm256_cvttpd_epi32(_mm256_floor_pd(x[i])), low_byte);
    const __m128i words = _mm_packs_epi32(q[0], q[1]), more = _mm_packs_epi32(q[2], q[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(words, more));
  }
  return k;
}
#endif

// to_byte of n consecutive elements. When all of them lie well inside the
// 32-bit range (the usual case) the rounding is done several at a time with
// vector conversions. The n elements at next, the run converted after this
// one, are fetched into the cache meanwhile: a run is short (a band's
// height), too short for the processor to see the next one coming.
void to_bytes(const double* in, std::int64_t n, std::uint8_t* out, const double* next) {
  std::int64_t k = 0;
#if defined(__x86_64__)
  if (columns::have_avx2()) k = to_bytes_avx2(in, n, out, next);
#endif
#if defined(__SSE2__)
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d lo = _mm_set1_pd(-2147483648.0);
  const __m128d hi = _mm_set1_pd(2147483647.0);
  const __m128i low_byte = _mm_set1_epi32(0xFF);
  // Two doubles rounded down to whole numbers, in the two low 32-bit lanes.
  auto floor2 = [&](const double* p, int& ok) {
    __m128d x = _mm_add_pd(_mm_loadu_pd(p), half);
    ok &= _mm_movemask_pd(_mm_and_pd(_mm_cmpgt_pd(x, lo), _mm_cmplt_pd(x, hi)));
    __m128i t = _mm_cvttpd_epi32(x);  // toward zero
    __m128d above = _mm_cmpgt_pd(_mm_cvtepi32_pd(t), x);
    __m128i minus = _mm_shuffle_epi32(_mm_castpd_si128(above), _MM_SHUFFLE(3, 3, 2, 0));
    return _mm_add_epi32(t, minus);  // one less where truncation went up
  };
  for (; k + 8 <= n; k += 8) {
    int ok = 3;
    __m128i a = _mm_unpacklo_epi64(floor2(in + k, ok), floor2(in + k + 2, ok));
    __m128i b = _mm_unpacklo_epi64(floor2(in + k + 4, ok), floor2(in + k + 6, ok));
    if (ok != 3) break;  // the rest goes the careful way
    __m128i words = _mm_packs_epi32(_mm_and_si128(a, low_byte), _mm_and_si128(b, low_byte));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(words, words));
  }
#endif
  for (; k < n; ++k)
    out[k] = to_byte(in[k]);
}

// Converts rows top .. top + count - 1 of `planes` groups of ncols matrix
// columns into rows as a BMP file stores them: row top + k at out + k * step
// (step may be negative), column j of plane p at byte j * planes + p, or
// 2 - p for three planes (blue, green, red). Columns are taken in groups:
// each column's run is converted into a tile, then the tile is written row
// by row in contiguous pieces.
template <int planes>
void columns_to_rows(const double* data, std::int64_t rows, std::int64_t ncols, std::int64_t top,
                     std::int64_t count, std::uint8_t* out, std::int64_t step) {
  const std::int64_t group = std::min<std::int64_t>(32, ncols);
  std::vector<std::uint8_t> tile(static_cast<std::size_t>(group * planes * count));
  // The run of column j of plane p; the runs are converted plane by plane
  // within each group of columns.
  const auto run = [&](std::int64_t p, std::int64_t j) {
    return data + (p * ncols + j) * rows + top;
  };
  // Run r (plane r / g, column r % g) of the group of g columns from j0, or
  // when past its last, of the group after it; the first run of the group
  // when there is no such run.
  const auto ahead = [&](std::int64_t j0, std::int64_t g, std::int64_t r) {
    if (r < planes * g) return run(r / g, j0 + r % g);
    const std::int64_t after = std::min(group, ncols - j0 - g);
    r -= planes * g;
    return r < planes * after ? run(r / after, j0 + g + r % after) : run(0, j0);
  };
  for (std::int64_t j0 = 0; j0 < ncols; j0 += group) {
    const std::int64_t g = std::min(group, ncols - j0);
    for (int p = 0; p < planes; ++p) {
      for (std::int64_t j = 0; j < g; ++j) {
        to_bytes(run(p, j0 + j), count, tile.data() + (p * group + j) * count,
                 ahead(j0, g, p * g + j + 2));
      }
    }
    if (planes == 3) {
      const std::uint8_t* t = tile.data();
      const std::uint8_t* const bgr[3] = {t + 2 * group * count, t + group * count, t};
      columns::pixels_from_columns(bgr, count, g, count, out + j0 * 3, step);
      continue;
    }
    for (std::int64_t k = 0; k < count; ++k) {
      std::uint8_t* dst = out + k * step + j0;
      const std::uint8_t* src = tile.data() + k;
      for (std::int64_t j = 0; j < g; ++j)
        dst[j] = src[j * count];
    }
  }
}

std::string resolve_for_writing(const char* file, const char* cwd) {
  return CHTTPRedirector(file, cwd, CHTTPRedirector::kWrite).LocalPath();
}

// Reports an encoder that could not be created: the system's reason for a
// failed open when it is one users recognise, else the code's message.
[[noreturn]] void report_open_failure(bmp_encoder& enc, int code) {
  int err = enc.open_errno();
  if (err == ENOENT || err == EACCES || err == EEXIST || err == EINVAL || err == EMFILE) {
    Kex::Throw(std::strerror(err), Kex::kWholeCall, enc.open_detail());
  }
  fail_with(code, Kex::kWholeCall, enc.open_detail());
}

// Writes the rows of the matrix bottom row first, a band at a time:
// fill(top, n, out, step) turns matrix rows top .. top + n - 1 into rows as
// the file stores them, row top + k at out + k * step. On two cores both
// threads make bands, each into a buffer of a small ring, and whichever finds
// the next band in file order made writes it, so that the copy into the file
// overlaps the making of the bands after it. The file is still written front
// to back.
template <typename Fill>
void write_rows(bmp_encoder& enc, std::int64_t rows, Fill fill) {
  const std::int64_t stride = enc.stride();
  const std::int64_t band_height = band_rows(rows, stride);
  const std::int64_t bands = rows == 0 ? 0 : (rows + band_height - 1) / band_height;
  const std::size_t threads =
      rows * stride < kThreadedBytes || bands < 2 ? 1 : std::min(2u, free_cores());
  const auto ring = static_cast<std::size_t>(threads == 1 ? 1 : std::min(kRingBands, bands));
  const auto band_bytes = static_cast<std::size_t>(std::max<std::int64_t>(1, band_height * stride));
  // Zero-filled once: the padding at the end of each row stays zero.
  std::unique_ptr<std::uint8_t[]> buffers(new std::uint8_t[band_bytes * ring]());
  // Band b is matrix rows end(b) - height(b) .. end(b) - 1, the last of
  // them first, as the file holds them.
  const auto end = [&](std::size_t b) { return rows - static_cast<std::int64_t>(b) * band_height; };
  const auto height = [&](std::size_t b) { return std::min(band_height, end(b)); };
  const auto buffer = [&](std::size_t b) { return buffers.get() + band_bytes * (b % ring); };
  int code = 0;
  const bool written = make_in_order(
      threads, static_cast<std::size_t>(bands), ring,
      [&](std::size_t b, std::size_t) {
        fill(end(b) - height(b), height(b), buffer(b) + (height(b) - 1) * stride, -stride);
      },
      [&](std::size_t b) { return (code = enc.write_stored(buffer(b), height(b))) == 0; });
  if (!written) fail_with(code);
}

void finish(bmp_encoder& enc) {
  enc.finish();
  if (int code = enc.status()) fail_with(code);
}

// A packed matrix (three planes side by side) as a 24-bit file of its
// width / 3 pixels; fill makes the file's rows of blue, green, red bytes as
// write_rows asks.
template <typename Fill>
void write_packed(const aMatrix* m, const std::string& path, Fill fill) {
  const std::int64_t rows = m->rows;
  const std::int64_t n = m->cols / 3;
  bmp_encoder enc(path.c_str(), 24, rows, n);
  if (int code = enc.status()) report_open_failure(enc, code);
  write_rows(enc, rows, fill);
  finish(enc);
}

// Band filler for the colour-space writers: each pixel's three components
// converted by ToRgb.
template <void (*ToRgb)(double, double, double, unsigned char*, unsigned char*, unsigned char*)>
auto colour_space_rows(const aMatrix* m) {
  return [m](std::int64_t top, std::int64_t count, std::uint8_t* out, std::int64_t step) {
    const std::int64_t rows = m->rows, n = m->cols / 3;
    for (std::int64_t p = 0; p < n; ++p) {
      const double* a = m->m_rv + p * rows + top;
      const double* b = m->m_rv + (n + p) * rows + top;
      const double* c = m->m_rv + (2 * n + p) * rows + top;
      std::uint8_t* px = out + 3 * p;
      for (std::int64_t k = 0; k < count; ++k, px += step) {
        ToRgb(a[k], b[k], c[k], &px[2], &px[1], &px[0]);
      }
    }
  };
}

}  // namespace

aComplex* write_bmp(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  if (!pure_real(m)) Kex::Throw("must be real matrix", 2);
  if (has_extension(file, "pbm", true) || has_extension(file, "pgm", true) ||
      has_extension(file, "tif", true) || has_extension(file, "png", true)) {
    return through_host_library(g_write_gray, ctx, file, m, cwd);
  }
  std::string path = resolve_for_writing(file, cwd);
  const std::int64_t rows = m->rows, cols = m->cols;
  bmp_encoder enc(path.c_str(), 8, rows, cols);
  if (int code = enc.status()) report_open_failure(enc, code);
  for (std::size_t k = 0; k < 256; ++k) {
    std::memset(&enc.palette[4 * k], static_cast<int>(k), 3);  // blue = green = red = k
  }
  enc.write_palette();
  const double* data = m->m_rv;
  write_rows(enc, rows,
             [&](std::int64_t top, std::int64_t count, std::uint8_t* out, std::int64_t step) {
               columns_to_rows<1>(data, rows, cols, top, count, out, step);
             });
  finish(enc);
  return zero(ctx);
}

aComplex* write_rgb(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  if (!pure_real(m)) Kex::Throw("must be real matrix", 2);
  std::string path = resolve_for_writing(file, cwd);
  // Case matters here: "x.TIF" is written as a BMP file.
  if (has_extension(file, "ppm", false) || has_extension(file, "tif", false) ||
      has_extension(file, "png", false)) {
    return through_host_library(g_write_rgb, ctx, file, m, cwd);
  }
  if (m->cols % 3 != 0) fail_with(kBadHeader, 2);
  const std::int64_t rows = m->rows, n = m->cols / 3;
  write_packed(m, path,
               [&](std::int64_t top, std::int64_t count, std::uint8_t* out, std::int64_t step) {
                 columns_to_rows<3>(m->m_rv, rows, n, top, count, out, step);
               });
  return zero(ctx);
}

namespace {

template <void (*ToRgb)(double, double, double, unsigned char*, unsigned char*, unsigned char*)>
aComplex* write_colour_space(KexCallContext* ctx, const char* file, const aMatrix* m,
                             const char* cwd) {
  if (m->m_iv != nullptr) Kex::Throw("must be real matrix", 2);
  if (m->cols % 3 != 0) fail_with(kBadHeader, 2);
  std::string path = resolve_for_writing(file, cwd);
  write_packed(m, path, colour_space_rows<ToRgb>(m));
  return zero(ctx);
}

}  // namespace

aComplex* write_hls(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  return write_colour_space<Kex::HLS_TO_RGB>(ctx, file, m, cwd);
}

aComplex* write_hsv(KexCallContext* ctx, const char* file, const aMatrix* m, const char* cwd) {
  return write_colour_space<Kex::HSV_TO_RGB>(ctx, file, m, cwd);
}

}  // namespace kexio
