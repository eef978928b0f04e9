// Typed matrices: storage, conversion to and from host matrices, and casts
// between element types.
//
// Every conversion loop is specialised for its element type; the type code
// is looked at once per call, never per element. Host matrices are stored
// column by column and typed matrices row by row, so conversions between
// them go through the library's one rows-to-columns transpose; a matrix of
// one row or one column has the same layout either way and is converted
// straight.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "core/transpose.h"
#include "kexio/host/context.h"
#include "records.h"

namespace mutils::detail {

const char* format_message(const char* format, ...) {
  static thread_local char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace mutils::detail

namespace {

using mutils::detail::element_count;
using mutils::detail::element_size;

// Calls f with a value of the element type of a valid type code.
template <typename F>
void with_element_type(std::int32_t type, F&& f) {
  switch (type) {
    case MUTIL_UINT8:
      return f(std::uint8_t{});
    case MUTIL_SINT8:
      return f(std::int8_t{});
    case MUTIL_UINT16:
      return f(std::uint16_t{});
    case MUTIL_SINT16:
      return f(std::int16_t{});
    case MUTIL_UINT32:
      return f(std::uint32_t{});
    case MUTIL_SINT32:
      return f(std::int32_t{});
    case MUTIL_FLOAT:
      return f(float{});
    default:
      return f(double{});
  }
}

template <typename T>
double to_double(T v) {
  return static_cast<double>(v);
}

// The double just below 0.5: adding it (with the value's sign) and then
// truncating rounds to the nearest integer with halves away from zero, also
// for values such as 0.49999999999999994 that adding 0.5 would round up.
constexpr double kBelowHalf = 0.49999999999999994;

template <typename D>
constexpr bool kIntegral = std::is_integral_v<D>;

// One double into an integer type: NaN to 0, saturated, rounded.
template <typename D>
D round_to(double v) {
  constexpr double lo = static_cast<double>(std::numeric_limits<D>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<D>::max());
  v = v == v ? v : 0.0;
  v = v < lo ? lo : v;
  v = v > hi ? hi : v;
  v += std::copysign(kBelowHalf, v);
  return static_cast<D>(static_cast<std::int64_t>(v));
}

#if defined(__SSE2__)
// The same for two doubles at once, into the low two 32-bit lanes.
inline __m128i round_two(__m128d v, __m128d lo, __m128d hi) {
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d half = _mm_set1_pd(kBelowHalf);
  v = _mm_and_pd(v, _mm_cmpeq_pd(v, v));
  v = _mm_min_pd(_mm_max_pd(v, lo), hi);
  v = _mm_add_pd(v, _mm_or_pd(_mm_and_pd(v, sign), half));
  return _mm_cvttpd_epi32(v);
}

// And for four, where the processor has 256-bit vectors.
__attribute__((target("avx2"))) inline __m128i round_four(__m256d v, __m256d lo, __m256d hi) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d half = _mm256_set1_pd(kBelowHalf);
  v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_EQ_OQ));
  v = _mm256_min_pd(_mm256_max_pd(v, lo), hi);
  v = _mm256_add_pd(v, _mm256_or_pd(_mm256_and_pd(v, sign), half));
  return _mm256_cvttpd_epi32(v);
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

// Four rounded values, already within D's range, narrowed and stored.
template <typename D>
void store4(D* d, __m128i q) {
  if constexpr (std::is_same_v<D, std::int32_t>) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), q);
  } else if constexpr (std::is_same_v<D, std::int16_t>) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), _mm_packs_epi32(q, q));
  } else if constexpr (std::is_same_v<D, std::uint16_t>) {
    // Shifted into the signed range to pack, then shifted back.
    __m128i shifted = _mm_sub_epi32(q, _mm_set1_epi32(32768));
    __m128i p = _mm_packs_epi32(shifted, shifted);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), _mm_xor_si128(p, _mm_set1_epi16(-32768)));
  } else {
    __m128i p = _mm_packs_epi32(q, q);
    p = std::is_signed_v<D> ? _mm_packs_epi16(p, p) : _mm_packus_epi16(p, p);
    std::int32_t four = _mm_cvtsi128_si32(p);
    std::memcpy(d, &four, sizeof four);
  }
}

// The whole groups of four of n doubles into D; returns how many were done.
template <typename D>
std::size_t round_fours(const double* s, D* d, std::size_t n) {
  const double lo = static_cast<double>(std::numeric_limits<D>::min());
  const double hi = static_cast<double>(std::numeric_limits<D>::max());
  std::size_t i = 0;
  const __m128d lo2 = _mm_set1_pd(lo), hi2 = _mm_set1_pd(hi);
  for (; i + 4 <= n; i += 4) {
    __m128i a = round_two(_mm_loadu_pd(s + i), lo2, hi2);
    __m128i b = round_two(_mm_loadu_pd(s + i + 2), lo2, hi2);
    store4(d + i, _mm_unpacklo_epi64(a, b));
  }
  return i;
}

template <typename D>
__attribute__((target("avx2"))) std::size_t round_fours_avx2(const double* s, D* d, std::size_t n) {
  const __m256d lo = _mm256_set1_pd(static_cast<double>(std::numeric_limits<D>::min()));
  const __m256d hi = _mm256_set1_pd(static_cast<double>(std::numeric_limits<D>::max()));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    store4(d + i, round_four(_mm256_loadu_pd(s + i), lo, hi));
  return i;
}

template <typename D>
constexpr bool kFitsInt32 = kIntegral<D> && sizeof(D) <= 4 && !std::is_same_v<D, std::uint32_t>;
#endif

// n doubles into D.
template <typename D>
void cast_doubles(const double* s, D* d, std::size_t n) {
  if constexpr (!kIntegral<D>) {
    for (std::size_t i = 0; i < n; ++i)
      d[i] = static_cast<D>(s[i]);
  } else {
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (kFitsInt32<D>) {
      i = kHaveAvx2 ? round_fours_avx2(s, d, n) : round_fours(s, d, n);
    }
#endif
    for (; i < n; ++i)
      d[i] = round_to<D>(s[i]);
  }
}

// Whether the record's elements lie inside out's own array of n doubles.
bool inside(const _univ_mat* m, const Kex::aMatrix* out, std::size_t n) {
  auto p = reinterpret_cast<std::uintptr_t>(m->data);
  auto a = reinterpret_cast<std::uintptr_t>(out->m_rv);
  return out->m_rv != nullptr && p >= a && p - a < n * sizeof(double);
}

// Widens the rows x cols elements packed at the end of out's array (a row
// takes at most 8 bytes) into out, a block of rows at a time from the
// front: each block is copied out of the way first, and no double written
// for a row reaches the elements of the rows after it, since a row's doubles
// take at least as many bytes as its elements.
template <typename T>
void widen_in_place(const T* src, std::size_t rows, std::size_t cols, double* out) {
  constexpr std::size_t kBlock = 8192 / sizeof(T);  // elements copied at a time
  alignas(64) T block[kBlock];
  const std::size_t per_block = kBlock / cols;
  for (std::size_t r = 0; r < rows; r += per_block) {
    std::size_t k = rows - r < per_block ? rows - r : per_block;
    if (cols == 1) {
      // 64 bytes at a time through registers: loaded whole before any of
      // their doubles is stored.
      constexpr std::size_t kRun = 64 / sizeof(T);
      double* d = out + r;
      std::size_t i = 0;
      for (; i + kRun <= k; i += kRun) {
        T run[kRun];
        std::memcpy(run, src + r + i, sizeof run);
        for (std::size_t j = 0; j < kRun; ++j)
          d[i + j] = to_double(run[j]);
      }
      // Byte copies, never typed loads, so that the compiler keeps every
      // load before the stores that may overwrite it later.
      for (; i < k; ++i) {
        T v;
        std::memcpy(&v, src + r + i, sizeof v);
        d[i] = to_double(v);
      }
    } else {
      std::memcpy(block, src + r * cols, k * cols * sizeof(T));
      kexio::columns::transpose(block, k, cols, out + r, rows);
    }
  }
}

// Releases storage the library owns and empties the pointer.
void release(_univ_mat* m) {
  if (m->storage == MUTIL_STORAGE_HEAP) std::free(m->data);
  m->data = nullptr;
  m->storage = MUTIL_STORAGE_NONE;
}

// Shape check of a record against a host matrix.
bool same_shape(const _univ_mat* m, const Kex::aMatrix* a) {
  return a != nullptr && a->rows == static_cast<std::uint32_t>(m->rows) &&
         a->cols == static_cast<std::uint32_t>(m->cols);
}

}  // namespace

namespace mutils {

void matuniv_malloc(_univ_mat* m, std::int32_t rows, std::int32_t cols, _mutil_data_type type) {
  if (m == nullptr) return;
  m->rows = rows;
  m->cols = cols;
  m->type = type;
  m->data = nullptr;
  m->storage = MUTIL_STORAGE_NONE;
  std::size_t size = element_size(type);
  if (rows < 0 || cols < 0 || size == 0) return;
  std::size_t n = element_count(m);
  if (n == 0 || n > SIZE_MAX / size) return;
  if (IcvAllocator::m_current != nullptr) {
    m->data = IcvAllocator::m_current->allocate_array(n * size);
    if (m->data != nullptr) m->storage = MUTIL_STORAGE_ARENA;
  } else {
    m->data = std::malloc(n * size);
    if (m->data != nullptr) m->storage = MUTIL_STORAGE_HEAP;
  }
}

void matuniv_free(_univ_mat* m) {
  if (m == nullptr) return;
  release(m);
  m->rows = 0;
  m->cols = 0;
}

const char* matuniv_assign_to_corvida(const _univ_mat* m, Kex::aMatrix* out) {
  if (const char* why = detail::check_record(m)) return why;
  if (!same_shape(m, out)) return "matrix size mismatch";
  std::size_t rows = static_cast<std::size_t>(m->rows), cols = static_cast<std::size_t>(m->cols);
  if (rows * cols == 0) return nullptr;
  if (m->type == MUTIL_DOUBLE && m->storage == MUTIL_STORAGE_ARENA && (rows == 1 || cols == 1)) {
    out->m_rv = static_cast<double*>(m->data);
    return nullptr;
  }
  if (out->m_rv == nullptr) return "out of memory";
  if (inside(m, out, rows * cols)) {
    // Elements read into the end of the result's own array are widened
    // there, so the result is the only fresh memory a read touches.
    const std::size_t size = element_size(m->type);
    const auto* end = reinterpret_cast<const unsigned char*>(out->m_rv + rows * cols);
    if (static_cast<const unsigned char*>(m->data) + rows * cols * size != end ||
        size * cols > sizeof(double)) {
      return "typed matrix overlaps the result";
    }
    with_element_type(m->type, [&](auto t) {
      using T = decltype(t);
      if constexpr (!std::is_same_v<T, double>) {
        widen_in_place(static_cast<const T*>(m->data), rows, cols, out->m_rv);
      }
    });
    return nullptr;
  }
  with_element_type(m->type, [&](auto t) {
    using T = decltype(t);
    kexio::columns::transpose(static_cast<const T*>(m->data), rows, cols, out->m_rv, rows);
  });
  return nullptr;
}

const char* matuniv_assign_from_corvida(const Kex::aMatrix* in, _univ_mat* m) {
  if (m == nullptr || m->rows < 0 || m->cols < 0) return "invalid typed matrix";
  if (m->type != MUTIL_DOUBLE) return "typed matrix is not of type double";
  if (!same_shape(m, in)) return "matrix size mismatch";
  std::size_t rows = static_cast<std::size_t>(m->rows), cols = static_cast<std::size_t>(m->cols);
  if (rows * cols == 0) return nullptr;
  if (in->m_rv == nullptr) return "matrix has no elements";
  if (rows == 1 || cols == 1) {
    release(m);
    m->data = in->m_rv;
    m->storage = MUTIL_STORAGE_SHARED;
    return nullptr;
  }
  if (m->data == nullptr) return "out of memory";
  // The host matrix, column by column, is the row-major cols x rows matrix
  // whose transpose the record wants.
  kexio::columns::transpose(in->m_rv, cols, rows, static_cast<double*>(m->data), cols);
  return nullptr;
}

void matuniv_cast(const _univ_mat* src, unsigned char /*option*/, void* /*context*/,
                  _univ_mat* dst) {
  if (detail::check_record(src) != nullptr || dst == nullptr) return;
  if (dst->rows != src->rows || dst->cols != src->cols || element_size(dst->type) == 0) return;
  std::size_t n = element_count(src);
  if (n == 0) return;
  if (src->type == MUTIL_DOUBLE && dst->type == MUTIL_DOUBLE) {
    release(dst);
    dst->data = src->data;
    dst->storage = MUTIL_STORAGE_SHARED;
    return;
  }
  if (dst->data == nullptr) return;
  if (src->type == dst->type) {
    std::memcpy(dst->data, src->data, n * element_size(src->type));
    return;
  }
  with_element_type(dst->type, [&](auto d) {
    using D = decltype(d);
    auto* to = static_cast<D*>(dst->data);
    if (src->type == MUTIL_DOUBLE) {
      cast_doubles(static_cast<const double*>(src->data), to, n);
      return;
    }
    // Other sources go through doubles, a block at a time.
    with_element_type(src->type, [&](auto s) {
      using S = decltype(s);
      const S* from = static_cast<const S*>(src->data);
      double block[1024];
      for (std::size_t i = 0; i < n; i += 1024) {
        std::size_t k = n - i < 1024 ? n - i : 1024;
        for (std::size_t j = 0; j < k; ++j)
          block[j] = static_cast<double>(from[i + j]);
        cast_doubles(block, to + i, k);
      }
    });
  });
}

}  // namespace mutils
