// Mono and stereo 8- and 16-bit samples, the common layouts, go through SSE2
// kernels where the processor has them (always on x86-64); everything else,
// and the last few frames, through plain loops. Both give the same results: SSE2's truncating
// conversion yields 0x80000000 for NaN and out-of-range values, exactly as
// trunc32 does.
#include "audio/pcm.h"

#include <cstring>
#include <utility>

#include "io/endian.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kexio::pcm {

namespace {

// One sample of each encoding, as the number stored.
template <Sample K>
double decode(const unsigned char* p) {
  if constexpr (K == Sample::u8) {
    return p[0];
  } else if constexpr (K == Sample::s16) {
    return static_cast<std::int16_t>(io::le16(p));
  } else if constexpr (K == Sample::s24) {
    // The top byte shifted into bit 31 and back carries the sign.
    auto u = static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]) << 16 |
             static_cast<std::uint32_t>(p[2]) << 24;
    return static_cast<std::int32_t>(u) >> 8;
  } else if constexpr (K == Sample::s32) {
    return static_cast<std::int32_t>(io::le32(p));
  } else if constexpr (K == Sample::f32) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
  } else {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
  }
}

// Frames from..frames, one frame at a time with all of its samples read
// before any is written, so that a source inside the columns (see unpack)
// is never overwritten before it is read.
template <Sample K>
void unpack_plain(const unsigned char* src, std::size_t from, std::size_t frames, unsigned channels,
                  double* out, std::size_t stride) {
  constexpr std::size_t w = width(K);
  const std::size_t frame = channels * w;
  if (channels == 1) {
    for (std::size_t i = from; i < frames; ++i)
      out[i] = decode<K>(src + i * w);
    return;
  }
  double v[sizeof(double)];  // a frame of at most 8 bytes in place; any frame when apart
  for (std::size_t i = from; i < frames; ++i) {
    const unsigned char* p = src + i * frame;
    if (channels <= sizeof v / sizeof v[0]) {
      for (unsigned c = 0; c < channels; ++c)
        v[c] = decode<K>(p + c * w);
      for (unsigned c = 0; c < channels; ++c)
        out[c * stride + i] = v[c];
    } else {
      for (unsigned c = 0; c < channels; ++c)
        out[c * stride + i] = decode<K>(p + c * w);
    }
  }
}

template <Sample K>
void pack_plain(const double* in, std::size_t stride, std::size_t from, std::size_t frames,
                unsigned channels, unsigned char* dst) {
  constexpr std::size_t w = width(K);
  const std::size_t frame = channels * w;
  for (unsigned c = 0; c < channels; ++c) {
    const double* s = in + c * stride;
    unsigned char* d = dst + c * w;
    for (std::size_t i = from; i < frames; ++i) {
      auto v = static_cast<std::uint32_t>(trunc32(s[i]));
      for (std::size_t b = 0; b < w; ++b)
        d[i * frame + b] = static_cast<unsigned char>(v >> (8 * b));
    }
  }
}

#if defined(__SSE2__)

// Each kernel converts as many frames as whole vectors hold and returns
// that count; the plain loops do the rest.

__m128i load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
void store(unsigned char* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Four 32-bit integers to four doubles. The result is not read again while
// it is being built and is usually larger than the caches, so aligned
// destinations are written around the caches (unpack ends with a fence).
void store4(double* d, __m128i v) {
  __m128d lo = _mm_cvtepi32_pd(v), hi = _mm_cvtepi32_pd(_mm_shuffle_epi32(v, 0xEE));
  if ((reinterpret_cast<std::uintptr_t>(d) & 15) == 0) {
    _mm_stream_pd(d, lo);
    _mm_stream_pd(d + 2, hi);
  } else {
    _mm_storeu_pd(d, lo);
    _mm_storeu_pd(d + 2, hi);
  }
}

// Four doubles to four 32-bit integers, truncated.
__m128i trunc4(const double* s) {
  return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_loadu_pd(s)),
                            _mm_cvttpd_epi32(_mm_loadu_pd(s + 2)));
}
// The low 16 bits, sign-extended, so that packing with saturation keeps them.
__m128i low16(__m128i v) {
  return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
}
__m128i low8(__m128i v) {
  return _mm_and_si128(v, _mm_set1_epi32(0xFF));
}

std::size_t unpack_wide1(const unsigned char* s, std::size_t n, double* d) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i v = load(s + 2 * i);
    store4(d + i, _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
    store4(d + i + 4, _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16));
  }
  return i;
}

std::size_t unpack_wide2(const unsigned char* s, std::size_t n, double* l, double* r) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i v = load(s + 4 * i);  // each 32-bit lane: right << 16 | left
    store4(l + i, _mm_srai_epi32(_mm_slli_epi32(v, 16), 16));
    store4(r + i, _mm_srai_epi32(v, 16));
  }
  return i;
}

std::size_t unpack_narrow1(const unsigned char* s, std::size_t n, double* d) {
  const __m128i z = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = load(s + i);
    __m128i lo = _mm_unpacklo_epi8(v, z), hi = _mm_unpackhi_epi8(v, z);
    store4(d + i, _mm_unpacklo_epi16(lo, z));
    store4(d + i + 4, _mm_unpackhi_epi16(lo, z));
    store4(d + i + 8, _mm_unpacklo_epi16(hi, z));
    store4(d + i + 12, _mm_unpackhi_epi16(hi, z));
  }
  return i;
}

std::size_t unpack_narrow2(const unsigned char* s, std::size_t n, double* l, double* r) {
  const __m128i z = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i v = load(s + 2 * i);  // each 16-bit lane: right << 8 | left
    __m128i lv = _mm_and_si128(v, _mm_set1_epi16(0xFF)), rv = _mm_srli_epi16(v, 8);
    store4(l + i, _mm_unpacklo_epi16(lv, z));
    store4(l + i + 4, _mm_unpackhi_epi16(lv, z));
    store4(r + i, _mm_unpacklo_epi16(rv, z));
    store4(r + i + 4, _mm_unpackhi_epi16(rv, z));
  }
  return i;
}

std::size_t pack_wide1(const double* s, std::size_t n, unsigned char* d) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    store(d + 2 * i, _mm_packs_epi32(low16(trunc4(s + i)), low16(trunc4(s + i + 4))));
  }
  return i;
}

std::size_t pack_wide2(const double* l, const double* r, std::size_t n, unsigned char* d) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i lv = trunc4(l + i), rv = trunc4(r + i);
    store(d + 4 * i,
          _mm_packs_epi32(low16(_mm_unpacklo_epi32(lv, rv)), low16(_mm_unpackhi_epi32(lv, rv))));
  }
  return i;
}

std::size_t pack_narrow1(const double* s, std::size_t n, unsigned char* d) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_packs_epi32(low8(trunc4(s + i)), low8(trunc4(s + i + 4)));
    __m128i b = _mm_packs_epi32(low8(trunc4(s + i + 8)), low8(trunc4(s + i + 12)));
    store(d + i, _mm_packus_epi16(a, b));
  }
  return i;
}

std::size_t pack_narrow2(const double* l, const double* r, std::size_t n, unsigned char* d) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i l0 = trunc4(l + i), l1 = trunc4(l + i + 4);
    __m128i r0 = trunc4(r + i), r1 = trunc4(r + i + 4);
    __m128i a = _mm_packs_epi32(low8(_mm_unpacklo_epi32(l0, r0)), low8(_mm_unpackhi_epi32(l0, r0)));
    __m128i b = _mm_packs_epi32(low8(_mm_unpacklo_epi32(l1, r1)), low8(_mm_unpackhi_epi32(l1, r1)));
    store(d + 2 * i, _mm_packus_epi16(a, b));
  }
  return i;
}

#endif

}  // namespace

void unpack(const unsigned char* src, std::size_t frames, unsigned channels, Sample kind,
            double* out, std::size_t stride) {
  std::size_t done = 0;
#if defined(__SSE2__)
  if (kind == Sample::u8 || kind == Sample::s16) {
    const bool wide = kind == Sample::s16;
    if (channels == 1) {
      done = wide ? unpack_wide1(src, frames, out) : unpack_narrow1(src, frames, out);
    } else if (channels == 2) {
      done = wide ? unpack_wide2(src, frames, out, out + stride)
                  : unpack_narrow2(src, frames, out, out + stride);
    }
    _mm_sfence();
  }
#endif
  switch (kind) {
    case Sample::u8:
      return unpack_plain<Sample::u8>(src, done, frames, channels, out, stride);
    case Sample::s16:
      return unpack_plain<Sample::s16>(src, done, frames, channels, out, stride);
    case Sample::s24:
      return unpack_plain<Sample::s24>(src, done, frames, channels, out, stride);
    case Sample::s32:
      return unpack_plain<Sample::s32>(src, done, frames, channels, out, stride);
    case Sample::f32:
      return unpack_plain<Sample::f32>(src, done, frames, channels, out, stride);
    case Sample::f64:
      return unpack_plain<Sample::f64>(src, done, frames, channels, out, stride);
  }
}

void swap_bytes(unsigned char* p, std::size_t n, Sample kind) {
  switch (width(kind)) {
    case 3:
      for (std::size_t i = 0; i + 3 <= n; i += 3)
        std::swap(p[i], p[i + 2]);
      return;
    default:
      return io::swap_elements(p, n, width(kind));
  }
}

void pack(const double* in, std::size_t stride, std::size_t frames, unsigned channels, Sample kind,
          unsigned char* dst) {
  std::size_t done = 0;
#if defined(__SSE2__)
  if (kind == Sample::u8 || kind == Sample::s16) {
    const bool wide = kind == Sample::s16;
    if (channels == 1) {
      done = wide ? pack_wide1(in, frames, dst) : pack_narrow1(in, frames, dst);
    } else if (channels == 2) {
      done = wide ? pack_wide2(in, in + stride, frames, dst)
                  : pack_narrow2(in, in + stride, frames, dst);
    }
  }
#endif
  switch (kind) {
    case Sample::u8:
      return pack_plain<Sample::u8>(in, stride, done, frames, channels, dst);
    case Sample::s16:
      return pack_plain<Sample::s16>(in, stride, done, frames, channels, dst);
    case Sample::s24:
      return pack_plain<Sample::s24>(in, stride, done, frames, channels, dst);
    case Sample::s32:
      return pack_plain<Sample::s32>(in, stride, done, frames, channels, dst);
    case Sample::f32:
    case Sample::f64:
      return;  // files are written with integer samples only
  }
}

}  // namespace kexio::pcm
