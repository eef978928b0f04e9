#include "image/decode/png_unfilter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kexio::png {

namespace {

// The neighbour of a, b (above) and c (above left) nearest to a + b - c,
// ties going to a, then b.
inline std::uint8_t paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
  return static_cast<std::uint8_t>(pb <= pc ? b : c);
}

void paeth_bytes(std::uint8_t* row, const std::uint8_t* above, std::size_t n, int bpp) {
  const auto step = static_cast<std::size_t>(bpp);
  for (std::size_t i = 0; i < std::min(step, n); ++i)
    row[i] = static_cast<std::uint8_t>(row[i] + above[i]);
  for (std::size_t i = step; i < n; ++i)
    row[i] = static_cast<std::uint8_t>(row[i] + paeth(row[i - step], above[i], above[i - step]));
}

#if defined(__SSE2__)
// Pixels of 3 or 4 bytes, each a lane of 16-bit channels: the pixel to the
// left is known only once it is reconstructed, so pixels go one at a time,
// their channels together.
// Pixel i of n bytes: four bytes read at once where there are four (the
// fourth channel of a 3-byte pixel then holds a byte that is never
// stored), the last 3-byte pixel byte by byte.
template <int Bpp>
__m128i load(const std::uint8_t* p, std::size_t i, std::size_t n) {
  std::uint32_t v = 0;
  if (Bpp == 4 || i + 4 <= n) {
    std::memcpy(&v, p + i, 4);
  } else {
    v = p[i] | std::uint32_t{p[i + 1]} << 8 | std::uint32_t{p[i + 2]} << 16;
  }
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <int Bpp>
void store(std::uint8_t* p, __m128i v) {
  const auto u = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
  std::memcpy(p, &u, Bpp);
}

inline __m128i abs16(__m128i x) {
  return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

template <int Bpp>
void paeth_pixels(std::uint8_t* row, const std::uint8_t* above, std::size_t n) {
  const __m128i bytes = _mm_set1_epi16(0xFF);
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
  for (std::size_t i = 0; i + Bpp <= n; i += Bpp) {
    const __m128i b = load<Bpp>(above, i, n);
    const __m128i p = _mm_sub_epi16(b, c), q = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(p), pb = abs16(q), pc = abs16(_mm_add_epi16(p, q));
    const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
    const __m128i nearest =
        select(_mm_cmpeq_epi16(pa, least), a, select(_mm_cmpeq_epi16(pb, least), b, c));
    a = _mm_and_si128(_mm_add_epi16(nearest, load<Bpp>(row, i, n)), bytes);
    c = b;
    store<Bpp>(row + i, a);
  }
}

template <int Bpp>
void sub_pixels(std::uint8_t* row, std::size_t n) {
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + Bpp <= n; i += Bpp) {
    a = _mm_add_epi16(a, load<Bpp>(row, i, n));
    store<Bpp>(row + i, _mm_and_si128(a, _mm_set1_epi16(0xFF)));
  }
}

template <int Bpp>
void average_pixels(std::uint8_t* row, const std::uint8_t* above, std::size_t n) {
  const __m128i bytes = _mm_set1_epi16(0xFF);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + Bpp <= n; i += Bpp) {
    const __m128i mean = _mm_srli_epi16(_mm_add_epi16(a, load<Bpp>(above, i, n)), 1);
    a = _mm_and_si128(_mm_add_epi16(mean, load<Bpp>(row, i, n)), bytes);
    store<Bpp>(row + i, a);
  }
}
#endif

}  // namespace

void unfilter(int type, std::uint8_t* row, const std::uint8_t* above, std::size_t n, int bpp) {
  const auto step = static_cast<std::size_t>(bpp);
  switch (type) {
    case 1:
#if defined(__SSE2__)
      if (bpp == 3) return sub_pixels<3>(row, n);
      if (bpp == 4) return sub_pixels<4>(row, n);
#endif
      for (std::size_t i = step; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - step]);
      return;
    case 2:
      for (std::size_t i = 0; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + above[i]);
      return;
    case 3:
#if defined(__SSE2__)
      if (bpp == 3) return average_pixels<3>(row, above, n);
      if (bpp == 4) return average_pixels<4>(row, above, n);
#endif
      for (std::size_t i = 0; i < std::min(step, n); ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + (above[i] >> 1));
      for (std::size_t i = step; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + ((row[i - step] + above[i]) >> 1));
      return;
    case 4:
#if defined(__SSE2__)
      if (bpp == 3) return paeth_pixels<3>(row, above, n);
      if (bpp == 4) return paeth_pixels<4>(row, above, n);
#endif
      paeth_bytes(row, above, n, bpp);
      return;
    default:
      return;
  }
}

}  // namespace kexio::png
