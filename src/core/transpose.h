// Rows into columns. Files and typed matrices store tables row by row; host
// matrices hold them column by column, as doubles. Every reader that turns
// rows into columns goes through the one kernel here.
//
// The kernel takes four elements of four rows at a time and turns them
// around in registers (AVX2 where the processor has it), so that each
// column receives four rows at once and its run of rows is written front to
// back. rows_to_columns drives it over a whole table in strips and tiles
// that keep both sides in the caches.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "io/endian.h"

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::columns {

// Where element i of a row goes: plane i % planes of pixel i / planes. Each
// plane is width columns, side by side, each column height doubles apart.
// A plain matrix is one plane, its columns height (the column stride) apart.
struct Layout {
  double* out;
  std::uint64_t width;
  std::uint64_t height;
  unsigned planes;
};

// Converts count rows (src: element first of the first row, rows stride
// bytes apart) of elements first .. end - 1 into the rows top .. top +
// count - 1 of their columns.
using Kernel = void (*)(const Layout&, const std::uint8_t* src, std::size_t stride,
                        std::uint32_t count, std::uint64_t first, std::uint64_t end,
                        std::uint64_t top);

// An element of type T at p as a double; its bytes in the other order when
// Swap.
template <typename T, bool Swap>
inline double load(const std::uint8_t* p) {
  io::bits_of<T> u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (Swap) u = io::byteswap(u);
  return static_cast<double>(std::bit_cast<T>(u));
}

// Four elements of four rows (s: the first, rows stride bytes apart) into
// rows k .. k + 3 of the four columns d.
template <typename T, bool Swap>
inline void block(const std::uint8_t* s, std::size_t stride, double* const* d, std::uint32_t k) {
  double v[4][4];  // [row][element]
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c)
      v[r][c] = load<T, Swap>(s + r * stride + c * sizeof(T));
  }
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r)
      d[c][k + r] = v[r][c];
  }
}

#if defined(__x86_64__)
// The elements of type T in x in this machine's byte order.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline __m128i ordered(__m128i x) {
  if constexpr (!Swap || sizeof(T) == 1) {
    return x;
  } else {
    const __m128i order =
        sizeof(T) == 2   ? _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14)
        : sizeof(T) == 4 ? _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12)
                         : _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    return _mm_shuffle_epi8(x, order);
  }
}

// Four consecutive elements at p as doubles, converted as load() converts one.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline __m256d load4(const std::uint8_t* p) {
  const auto* q = reinterpret_cast<const __m128i*>(p);
  if constexpr (std::is_same_v<T, double>) {
    return _mm256_castsi256_pd(_mm256_set_m128i(ordered<T, Swap>(_mm_loadu_si128(q + 1)),
                                                ordered<T, Swap>(_mm_loadu_si128(q))));
  } else if constexpr (std::is_same_v<T, float>) {
    return _mm256_cvtps_pd(_mm_castsi128_ps(ordered<T, Swap>(_mm_loadu_si128(q))));
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return _mm256_cvtepi32_pd(ordered<T, Swap>(_mm_loadu_si128(q)));
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    // Converted as signed, then 2^32 added to what came out negative.
    const __m256d v = _mm256_cvtepi32_pd(ordered<T, Swap>(_mm_loadu_si128(q)));
    const __m256d negative = _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ);
    return _mm256_add_pd(v, _mm256_and_pd(negative, _mm256_set1_pd(4294967296.0)));
  } else if constexpr (sizeof(T) == 2) {
    const __m128i x = ordered<T, Swap>(_mm_loadl_epi64(q));
    return _mm256_cvtepi32_pd(std::is_signed_v<T> ? _mm_cvtepi16_epi32(x) : _mm_cvtepu16_epi32(x));
  } else {
    std::int32_t four;
    std::memcpy(&four, p, sizeof four);
    const __m128i x = _mm_cvtsi32_si128(four);
    return _mm256_cvtepi32_pd(std::is_signed_v<T> ? _mm_cvtepi8_epi32(x) : _mm_cvtepu8_epi32(x));
  }
}

// block() with the four rows turned into four columns in registers.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline void block_avx2(const std::uint8_t* s, std::size_t stride,
                                                       double* const* d, std::uint32_t k) {
  const __m256d r0 = load4<T, Swap>(s), r1 = load4<T, Swap>(s + stride),
                r2 = load4<T, Swap>(s + 2 * stride), r3 = load4<T, Swap>(s + 3 * stride);
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1),
                t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  _mm256_storeu_pd(d[0] + k, _mm256_permute2f128_pd(t0, t2, 0x20));
  _mm256_storeu_pd(d[1] + k, _mm256_permute2f128_pd(t1, t3, 0x20));
  _mm256_storeu_pd(d[2] + k, _mm256_permute2f128_pd(t0, t2, 0x31));
  _mm256_storeu_pd(d[3] + k, _mm256_permute2f128_pd(t1, t3, 0x31));
}

inline bool have_avx2() {
  return __builtin_cpu_supports("avx2");
}

// Byte shuffles that gather byte j of sixteen three-byte pixels from the
// three 16-byte pieces c they lie in (0x80 where a piece has none of them).
struct SplitMasks {
  alignas(16) std::uint8_t m[3][3][16];
  constexpr SplitMasks() : m{} {
    for (int j = 0; j < 3; ++j) {
      for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 16; ++i) {
          const int at = 3 * i + j;
          m[j][c][i] = static_cast<std::uint8_t>(at / 16 == c ? at % 16 : 0x80);
        }
      }
    }
  }
};
inline constexpr SplitMasks kSplit;

// The 48 bytes of sixteen three-byte pixels at p.
__attribute__((target("avx2"))) inline void load48(__m128i (&v)[3], const std::uint8_t* p) {
  for (int c = 0; c < 3; ++c)
    v[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * c));
}

// Byte j of the sixteen pixels whose 48 bytes are v[0 .. 2].
__attribute__((target("avx2"))) inline __m128i gather3(const __m128i (&v)[3], int j) {
  const auto* m = reinterpret_cast<const __m128i*>(kSplit.m[j]);
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v[0], _mm_load_si128(m)),
                                   _mm_shuffle_epi8(v[1], _mm_load_si128(m + 1))),
                      _mm_shuffle_epi8(v[2], _mm_load_si128(m + 2)));
}
#endif

// The kernel with the given block of four by four elements.
template <typename T, bool Swap, auto Block>
__attribute__((always_inline)) inline void convert_with(const Layout& l, const std::uint8_t* src,
                                                        std::size_t stride, std::uint32_t count,
                                                        std::uint64_t first, std::uint64_t end,
                                                        std::uint64_t top) {
  constexpr std::size_t kSize = sizeof(T);
  std::uint64_t x = first / l.planes;
  unsigned p = static_cast<unsigned>(first % l.planes);
  auto next_column = [&] {
    double* dst = l.out + (p * l.width + x) * l.height + top;
    if (++p == l.planes) {
      p = 0;
      ++x;
    }
    return dst;
  };
  std::uint64_t i = first;
  for (; i + 4 <= end; i += 4) {
    double* d[4] = {next_column(), next_column(), next_column(), next_column()};
    const std::uint8_t* s = src + (i - first) * kSize;
    std::uint32_t k = 0;
    for (; k + 4 <= count; k += 4, s += 4 * stride)
      Block(s, stride, d, k);
    for (; k < count; ++k, s += stride) {
      for (int c = 0; c < 4; ++c)
        d[c][k] = load<T, Swap>(s + c * kSize);
    }
  }
  for (; i < end; ++i) {
    double* dst = next_column();
    const std::uint8_t* s = src + (i - first) * kSize;
    for (std::uint32_t k = 0; k < count; ++k, s += stride)
      dst[k] = load<T, Swap>(s);
  }
}

template <typename T, bool Swap>
void convert(const Layout& l, const std::uint8_t* src, std::size_t stride, std::uint32_t count,
             std::uint64_t first, std::uint64_t end, std::uint64_t top) {
  convert_with<T, Swap, &block<T, Swap>>(l, src, stride, count, first, end, top);
}

#if defined(__x86_64__)
template <typename T, bool Swap>
__attribute__((target("avx2"))) void convert_avx2(const Layout& l, const std::uint8_t* src,
                                                  std::size_t stride, std::uint32_t count,
                                                  std::uint64_t first, std::uint64_t end,
                                                  std::uint64_t top) {
  convert_with<T, Swap, &block_avx2<T, Swap>>(l, src, stride, count, first, end, top);
}
#endif

// The fastest kernel this machine has for elements of type T (an integer of
// at most 32 bits, float or double), stored in the other byte order when swap.
template <typename T>
Kernel kernel(bool swap) {
  swap = swap && sizeof(T) > 1;
#if defined(__x86_64__)
  if (have_avx2()) return swap ? &convert_avx2<T, true> : &convert_avx2<T, false>;
#endif
  return swap ? &convert<T, true> : &convert<T, false>;
}

// Eight rows of count bytes (row r at block + r * pitch) into the rows top
// .. top + 7 of the columns col[0 .. count - 1], as doubles: each column
// receives one run of eight values, a whole cache line when top is a
// multiple of eight. (Stores past the caches would lose here: the kernel
// has just zeroed the result's fresh pages, which still sit in the cache.)
using ByteBlock = void (*)(const std::uint8_t* block, std::ptrdiff_t pitch, std::size_t count,
                           double* const* col, std::uint64_t top);

// The fastest ByteBlock this machine has.
ByteBlock byte_block();

// Columns of bytes into rows of pixels, the writers' direction: byte c of
// pixel j of row k (rows step bytes apart, step possibly negative) is byte
// k of column j of plane c, columns pitch bytes apart:
// out[k * step + 3 * j + c] = plane[c][j * pitch + k], j < cols, k < rows.
void pixels_from_columns(const std::uint8_t* const (&plane)[3], std::ptrdiff_t pitch,
                         std::size_t cols, std::size_t rows, std::uint8_t* out,
                         std::ptrdiff_t step);

// Three-byte pixels taken apart: for every k whose out[k] is not null, byte
// offset[k] (0, 1 or 2) of each of n pixels at p into out[k].
using SplitPixels = void (*)(std::uint8_t* const (&out)[3], const std::uint8_t* p, std::int64_t n,
                             const int (&offset)[3]);
// The fastest SplitPixels this machine has for these offsets, and whether
// it works sixteen pixels at a time (gather3 above does the same).
SplitPixels split_pixels_for(const int (&offset)[3]);
bool split_pixels_fast(const int (&offset)[3]);

// The rows x row_elements table of elements of size bytes at data into the
// columns l says, by the kernel step. Part part of parts (for threads of their own)
// takes a run of strips of columns, or of tiles of rows when a row is short.
void rows_to_columns(Kernel step, const std::uint8_t* data, std::size_t size, std::uint64_t rows,
                     std::uint64_t row_elements, const Layout& l, unsigned part = 0,
                     unsigned parts = 1);

// The row-major rows x cols table at src into column-major doubles: element
// (r, c) goes to dst[c * stride + r] (stride >= rows).
template <typename T>
void transpose(const T* src, std::size_t rows, std::size_t cols, double* dst, std::size_t stride) {
  if (cols == 1 || (rows == 1 && stride == 1)) {
    for (std::size_t i = 0, n = rows * cols; i < n; ++i)
      dst[i] = static_cast<double>(src[i]);
    return;
  }
  rows_to_columns(kernel<T>(false), reinterpret_cast<const std::uint8_t*>(src), sizeof(T), rows,
                  cols, Layout{dst, cols, stride, 1});
}

}  // namespace kexio::columns
#pragma GCC visibility pop
