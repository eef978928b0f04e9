#include "image/decode/plane_writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/parallel.h"
#include "core/transpose.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

// Bytes of kept copies a band may hold.
constexpr std::size_t kBandBudget = std::size_t{8} << 20;
// Rows per band at most. Rows that stay where they are cost the band only a
// pointer each, so a picture of up to this many rows goes out in one band.
constexpr int kMaxBand = 4096;
// The transpose's tile: the PlaneWriter's own, sized to sit in the level-2
// cache, and a smaller one on the stack for the free functions.
constexpr std::size_t kTileBytes = std::size_t{192} << 10;
constexpr std::size_t kStackTileBytes = std::size_t{32} << 10;
// Rows of one tile column at most, and columns of a tile at least.
constexpr std::int64_t kChunkRows = 4096;
constexpr std::int64_t kMinStrip = 4;
// Tile columns at most, all planes together: a band row writes one byte or
// value into each, and their cache lines should all stay in the level-1
// cache while a tile is filled.
constexpr std::int64_t kStripLines = 192;
// Rows between the one being read and the one whose bytes are fetched: far
// enough ahead that the fetch of a row in a page of its own lands in time.
constexpr std::int64_t kAhead = 128;

void put_run(double* d, const double* s, std::int64_t n) {
  std::memcpy(d, s, static_cast<std::size_t>(n) * sizeof(double));
}

// The blocked transpose. The band's n rows × width pixels go to the planes
// at rows top .. top + n - 1, a tile at a time: fill(r0, nr, x0, ns, t,
// pitch) stores the values of band rows r0 .. r0 + nr - 1, pixels x0 .. x0 +
// ns - 1, for plane k at t[k][x * pitch + i] (pixel x0 + x, row r0 + i);
// each tile column then goes to its result column in one run. The tile
// pitch is padded by a cache line so that tile columns do not share cache
// sets. A tile column is at most kChunkRows long; a strip of columns goes
// down the whole band before the next strip starts, so the result is
// written almost in address order.
struct TileShape {
  std::int64_t rows, pitch, strip;  // pitch and tile size in elements
  std::int64_t size(int planes) const { return planes * strip * pitch; }
};

TileShape tile_shape(std::size_t tile_bytes, std::size_t value_bytes, int planes, std::int64_t n,
                     std::int64_t width) {
  const auto line = static_cast<std::int64_t>(64 / value_bytes);
  const auto elems = static_cast<std::int64_t>(tile_bytes / value_bytes);
  std::int64_t rows = std::min({n, kChunkRows, elems / (planes * kMinStrip) - 2 * line});
  rows = std::max<std::int64_t>(rows, 1);
  const std::int64_t pitch = (rows + line - 1) / line * line + line;
  const std::int64_t strip =
      std::clamp<std::int64_t>(std::min(elems / (planes * pitch), kStripLines / planes), 1,
                               std::max<std::int64_t>(width, 1));
  return {rows, pitch, strip};
}

template <typename V, typename Fill>
void transpose_band(const Plane (&planes)[3], std::int64_t width, std::int64_t n, std::int64_t top,
                    V* tile, std::size_t tile_bytes, Fill&& fill) {
  int asked[3];
  int np = 0;
  for (int k = 0; k < 3; ++k) {
    if (planes[k] != nullptr) asked[np++] = k;
  }
  if (np == 0 || width <= 0 || n <= 0) return;
  const TileShape shape = tile_shape(tile_bytes, sizeof(V), np, n, width);
  const std::int64_t rows = shape.rows, pitch = shape.pitch, strip = shape.strip;
  V* t[3] = {nullptr, nullptr, nullptr};
  for (int j = 0; j < np; ++j)
    t[asked[j]] = tile + j * strip * pitch;
  for (std::int64_t x0 = 0; x0 < width; x0 += strip) {
    const std::int64_t ns = std::min(strip, width - x0);
    for (std::int64_t r0 = 0; r0 < n; r0 += rows) {
      const std::int64_t nr = std::min(rows, n - r0);
      fill(r0, nr, x0, ns, t, pitch);
      for (int j = 0; j < np; ++j) {
        const int k = asked[j];
        for (std::int64_t x = 0; x < ns; ++x)
          put_run(planes[k][x0 + x] + top + r0, t[k] + x * pitch, nr);
      }
    }
  }
}

// Asks for the bytes first .. first + count - 1 of a row further down, which
// lies in pages of its own that the hardware does not fetch ahead across.
inline void fetch_ahead(const void* first, std::int64_t count) {
  const auto* q = static_cast<const char*>(first);
  for (std::int64_t b = 0; b < count - 1; b += 64)
    __builtin_prefetch(q + b);
  __builtin_prefetch(q + count - 1);
}

// Byte samples into columns. A strip of columns is filled from the top of
// the band to its bottom, eight rows at a time: fill(r, x0, ns, out) puts the
// bytes of pixels x0 .. x0 + ns - 1 of band row r into out[k] for every plane
// k asked for (out[k] null for the others), into a small block that stays in
// the first-level cache, and the block goes to the columns eight rows at a
// time, each column receiving a whole cache line at once. A strip is as wide
// as about one huge page of each plane's columns, so that the result's pages
// are written soon after the kernel zeroed them. Large bands are split into
// runs of strips, one per thread, so that each core writes (and faults in)
// its own part of the result. Rows read where they lie in a mapped file go
// down a strip kKeptPass rows at a time, every strip of a thread's part in
// turn: a strip the height of the picture would take a few cache lines from
// each of thousands of rows, each in a page the address translation no
// longer holds, and the reads would wait on every one.
constexpr std::int64_t kByteStrip = 256;                      // pixels at most
constexpr std::int64_t kStripValues = std::int64_t{1} << 18;  // per plane
constexpr std::int64_t kThreadedValues = std::int64_t{1} << 20;
constexpr unsigned kMaxParts = 4;
constexpr std::int64_t kKeptPass = 128;

using ByteOut = std::uint8_t* const (&)[3];

template <typename Fill>
void bytes_to_planes(const Plane (&planes)[3], std::int64_t width, std::int64_t n, std::int64_t top,
                     const Fill& fill, std::int64_t pass = 0) {
  int asked[3];
  int np = 0;
  for (int k = 0; k < 3; ++k) {
    if (planes[k] != nullptr) asked[np++] = k;
  }
  if (np == 0 || width <= 0 || n <= 0) return;
  if (pass <= 0 || pass > n) pass = n;
  const std::int64_t strip = std::clamp<std::int64_t>(kStripValues / pass / 8 * 8, 8, kByteStrip);
  const std::int64_t strips = (width + strip - 1) / strip;
  const columns::ByteBlock block = columns::byte_block();
  std::int64_t parts = 1;
  if (n * width * np >= kThreadedValues) {
    parts = std::min<std::int64_t>(strips,
                                   std::clamp(std::thread::hardware_concurrency(), 1u, kMaxParts));
  }
  run_all(static_cast<std::size_t>(parts), [&](std::size_t part) {
    alignas(64) std::uint8_t buf[3][8][kByteStrip];
    std::uint8_t* out[3] = {nullptr, nullptr, nullptr};
    const auto p = static_cast<std::int64_t>(part);
    for (std::int64_t first = 0; first < n; first += pass) {
      const std::int64_t last = std::min(n, first + pass);
      for (std::int64_t s = strips * p / parts; s < strips * (p + 1) / parts; ++s) {
        const std::int64_t x0 = s * strip, ns = std::min(strip, width - x0);
        for (std::int64_t r0 = first; r0 < last; r0 += 8) {
          const std::int64_t nr = std::min<std::int64_t>(8, last - r0);
          for (std::int64_t i = 0; i < nr; ++i) {
            for (int j = 0; j < np; ++j)
              out[asked[j]] = buf[asked[j]][i];
            fill(r0 + i, x0, ns, out);
          }
          for (int j = 0; j < np; ++j) {
            const int k = asked[j];
            if (nr == 8) {
              block(buf[k][0], kByteStrip, static_cast<std::size_t>(ns), planes[k] + x0,
                    static_cast<std::uint64_t>(top + r0));
              continue;
            }
            for (std::int64_t x = 0; x < ns; ++x) {
              double* d = planes[k][x0 + x] + top + r0;
              for (std::int64_t i = 0; i < nr; ++i)
                d[i] = buf[k][i][x];
            }
          }
        }
      }
    }
  });
}

// The grey level of each of ns three-byte pixels at p, its red, green and
// blue at offsets o[0], o[1], o[2].
void grey3_plain(std::uint8_t* out, const std::uint8_t* p, std::int64_t ns, const int (&o)[3]) {
  for (std::int64_t x = 0; x < ns; ++x, p += 3)
    out[x] = grey_of(p[o[0]], p[o[1]], p[o[2]]);
}

#if defined(__x86_64__)
// grey_of of eight pixels, given as pairs of bytes (R, G) and (B, 1).
__attribute__((target("avx2"))) inline __m256i grey8(__m128i rg, __m128i b1) {
  const __m256i rg_weights = _mm256_set1_epi32(587 << 16 | 299);
  const __m256i b_weights = _mm256_set1_epi32(500 << 16 | 114);
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(rg), rg_weights),
                                       _mm256_madd_epi16(_mm256_cvtepu8_epi16(b1), b_weights));
  return _mm256_srli_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(sum, 3), _mm256_set1_epi32(33555)),
                           22);
}

// grey_of of sixteen pixels: 299 R + 587 G in pairs of 16-bit products, 114
// B + 500 likewise, and the sum divided by 1000 as (sum / 8) * 33555 / 2^22,
// which is exact for every sum up to 255 * 1000 + 500.
__attribute__((target("avx2"))) void grey3_avx2(std::uint8_t* out, const std::uint8_t* p,
                                                std::int64_t ns, const int (&o)[3]) {
  const __m128i one = _mm_set1_epi8(1);
  std::int64_t x = 0;
  for (; x + 16 <= ns; x += 16) {
    __m128i v[3];
    columns::load48(v, p + 3 * x);
    const __m128i r = columns::gather3(v, o[0]), g = columns::gather3(v, o[1]),
                  b = columns::gather3(v, o[2]);
    const __m256i lo = grey8(_mm_unpacklo_epi8(r, g), _mm_unpacklo_epi8(b, one));
    const __m256i hi = grey8(_mm_unpackhi_epi8(r, g), _mm_unpackhi_epi8(b, one));
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), bytes);
  }
  if (x < ns) grey3_plain(out + x, p + 3 * x, ns - x, o);
}
#endif

using Grey3 = void (*)(std::uint8_t*, const std::uint8_t*, std::int64_t, const int (&)[3]);

// The fastest this machine has, for offsets of 0 to 2.
Grey3 grey3_for(const int (&offset)[3]) {
#if defined(__x86_64__)
  if (columns::split_pixels_fast(offset)) return &grey3_avx2;
#endif
  return &grey3_plain;
}

// Component bytes of ns pixels, Step bytes apart (0: step bytes apart), for
// every plane asked for.
template <int Step = 0>
inline void pick(ByteOut out, const std::uint8_t* p, std::int64_t ns, const int (&offset)[3],
                 std::int64_t step = Step) {
  if constexpr (Step != 0) step = Step;
  for (int k = 0; k < 3; ++k) {
    if (out[k] == nullptr) continue;
    const std::uint8_t* s = p + offset[k];
    std::uint8_t* d = out[k];
    if (step == 1) {
      std::memcpy(d, s, static_cast<std::size_t>(ns));
      continue;
    }
    for (std::int64_t x = 0; x < ns; ++x)
      d[x] = s[x * step];
  }
}

// The free functions' tile: on the stack when the band is small enough for
// it, else on the heap (the stack one again if that cannot be had).
class FreeTile {
 public:
  FreeTile(std::size_t value_bytes, int planes, std::int64_t n, std::int64_t width) {
    const auto want = static_cast<std::size_t>(
                          tile_shape(kTileBytes, value_bytes, planes, n, width).size(planes)) *
                      value_bytes;
    if (want > sizeof m_stack) m_heap.reset(new (std::nothrow) double[kTileBytes / sizeof(double)]);
  }
  template <typename V>
  V* get() {
    return reinterpret_cast<V*>(m_heap ? m_heap.get() : m_stack);
  }
  std::size_t bytes() const { return m_heap ? kTileBytes : sizeof m_stack; }

 private:
  std::unique_ptr<double[]> m_heap;
  alignas(64) double m_stack[kStackTileBytes / sizeof(double)];
};

// Rows per band of kept rows: all of the picture's up to kMaxBand.
int band_rows(std::int64_t height) {
  return static_cast<int>(std::clamp<std::int64_t>(height, 1, kMaxBand));
}

// Rows per band of copies: a multiple of 8 that keeps the band within the
// budget, fewer for very wide pictures, and never more than the picture has.
int copy_band_rows(std::int64_t width, std::int64_t height, std::int64_t bytes_per_pixel) {
  std::int64_t n = kBandBudget / std::max<std::int64_t>(width * bytes_per_pixel, 1);
  n = std::clamp<std::int64_t>(n, 1, kMaxBand);
  if (n >= 8) n = n / 8 * 8;
  return static_cast<int>(std::max<std::int64_t>(1, std::min(n, height)));
}

void convert(PixelOp op, unsigned char r, unsigned char g, unsigned char b, double* x, double* y,
             double* z) {
  if (op == PixelOp::kHls) {
    Kex::RGB_TO_HLS(r, g, b, x, y, z);
  } else {
    Kex::RGB_TO_HSV(r, g, b, x, y, z);
  }
}

}  // namespace

template <typename T>
void scatter_rows(Plane plane, const T* band, std::ptrdiff_t stride, std::int64_t width,
                  std::int64_t n, std::int64_t top) {
  // Bytes go to the columns eight rows at a time; every other type (signed
  // bytes too) through a tile of doubles.
  const Plane planes[3] = {plane, nullptr, nullptr};
  if constexpr (std::is_same_v<T, std::uint8_t>) {
    bytes_to_planes(planes, width, n, top,
                    [&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
                      if (r + kAhead < n) fetch_ahead(band + (r + kAhead) * stride + x0, ns);
                      std::memcpy(out[0], band + r * stride + x0, static_cast<std::size_t>(ns));
                    });
  } else {
    FreeTile tile(sizeof(double), 1, n, width);
    transpose_band(planes, width, n, top, tile.get<double>(), tile.bytes(),
                   [&](std::int64_t r0, std::int64_t nr, std::int64_t x0, std::int64_t ns,
                       double* const(&t)[3], std::int64_t pitch) {
                     for (std::int64_t i = 0; i < nr; ++i) {
                       if (r0 + i + kAhead < n)
                         fetch_ahead(band + (r0 + i + kAhead) * stride + x0, ns * sizeof(T));
                       const T* src = band + (r0 + i) * stride + x0;
                       double* d = t[0] + i;
                       for (std::int64_t x = 0; x < ns; ++x, d += pitch)
                         *d = static_cast<double>(src[x]);
                     }
                   });
  }
}

template void scatter_rows<std::uint8_t>(Plane, const std::uint8_t*, std::ptrdiff_t, std::int64_t,
                                         std::int64_t, std::int64_t);
template void scatter_rows<double>(Plane, const double*, std::ptrdiff_t, std::int64_t, std::int64_t,
                                   std::int64_t);
template void scatter_rows<std::uint16_t>(Plane, const std::uint16_t*, std::ptrdiff_t, std::int64_t,
                                          std::int64_t, std::int64_t);
template void scatter_rows<std::uint32_t>(Plane, const std::uint32_t*, std::ptrdiff_t, std::int64_t,
                                          std::int64_t, std::int64_t);
template void scatter_rows<std::int8_t>(Plane, const std::int8_t*, std::ptrdiff_t, std::int64_t,
                                        std::int64_t, std::int64_t);
template void scatter_rows<std::int16_t>(Plane, const std::int16_t*, std::ptrdiff_t, std::int64_t,
                                         std::int64_t, std::int64_t);
template void scatter_rows<std::int32_t>(Plane, const std::int32_t*, std::ptrdiff_t, std::int64_t,
                                         std::int64_t, std::int64_t);

PlaneWriter::PlaneWriter(PixelOp op, Plane a, Plane b, Plane c, std::int64_t width,
                         std::int64_t height, bool bottom_up)
    : m_op(op), m_planes{a, b, c}, m_width(width), m_height(height), m_bottom_up(bottom_up) {
  if (op == PixelOp::kGray) m_planes[1] = m_planes[2] = nullptr;
  for (Plane& p : m_planes) {
    if (width <= 0 || height <= 0) p = nullptr;
  }
}

PlaneWriter::~PlaneWriter() = default;

int PlaneWriter::start() {
  const bool doubles = m_op == PixelOp::kHls || m_op == PixelOp::kHsv;
  m_band = band_rows(m_height);
  try {
    m_rows.resize(static_cast<std::size_t>(m_band));
    if (doubles) {
      m_tile.reset(new double[kTileBytes / sizeof(double)]);
      m_components.reset(new double[256 * 3]());
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  palette(nullptr, 0);
  return 0;
}

void PlaneWriter::palette(const Rgb* colours, std::size_t n) {
  flush();  // rows received so far keep the old colours
  n = std::min<std::size_t>(n, 256);
  for (std::size_t i = 0; i < 256; ++i) {
    Rgb c = i < n ? colours[i] : Rgb{0, 0, 0};
    m_channel[0][i] = c.r;
    m_channel[1][i] = c.g;
    m_channel[2][i] = c.b;
    m_grey[i] = grey_of(c.r, c.g, c.b);
    if (m_components) {
      double* t = &m_components[3 * i];
      convert(m_op, c.r, c.g, c.b, &t[0], &t[1], &t[2]);
    }
  }
}

void PlaneWriter::rows(const std::uint8_t* first, std::ptrdiff_t stride, int n,
                       const PixelLayout& layout, Rows life) {
  if (layout.type == SampleType::kU8 && life == Rows::kCopy &&
      direct_band(first, stride, n, layout)) {
    return;
  }
  Format f;
  f.indexed = layout.model == PixelLayout::kIndexed;
  f.step = layout.step;
  for (int k = 0; k < 3; ++k)
    f.offset[k] = layout.offset[k];
  for (int i = 0; i < n; ++i, first += stride) {
    if (layout.type == SampleType::kU8) {
      add_row(first, f, life);
    } else if (const std::uint8_t* px = narrow(first, layout)) {
      add_row(px, f, Rows::kCopy);
    }
  }
}

// A band of at least this many rows goes straight to the planes.
constexpr int kDirectRows = 8;

// Colour rows of one or three samples per pixel, of a colour read or (grey
// rows) of a grey one, and rows of palette indices of either, in a band of a
// top-down picture: each plane is filled from its samples where they lie.
bool PlaneWriter::direct_band(const std::uint8_t* first, std::ptrdiff_t stride, int n,
                              const PixelLayout& layout) {
  const bool grey = layout.model == PixelLayout::kGrey;
  const bool indexed = layout.model == PixelLayout::kIndexed;
  if (n < kDirectRows || m_bottom_up || (layout.step != 1 && layout.step != 3) ||
      !(m_op == PixelOp::kRgb ? grey || indexed || layout.model == PixelLayout::kRgb
                              : m_op == PixelOp::kGray && (grey || indexed))) {
    return false;
  }
  if (m_error != 0) return true;
  flush();
  const std::int64_t top = m_done;
  n = static_cast<int>(std::min<std::int64_t>(n, m_height - m_done));
  if (n <= 0) return true;
  int offset[3];
  for (int k = 0; k < 3; ++k)
    offset[k] = layout.offset[k];
  if (indexed) {
    bytes_to_planes(m_planes, m_width, n, top,
                    [&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
                      look_up(out, first + r * stride + x0, ns);
                    });
  } else if (layout.step == 1) {
    bytes_to_planes(m_planes, m_width, n, top,
                    [&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
                      pick<1>(out, first + r * stride + x0, ns, offset);
                    });
  } else {
    const columns::SplitPixels split = columns::split_pixels_for(offset);
    bytes_to_planes(m_planes, m_width, n, top,
                    [&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
                      split(out, first + r * stride + x0 * 3, ns, offset);
                    });
  }
  m_done += n;
  return true;
}

// A row of 16-bit samples as bytes, each rounded to 0..255, in the same
// layout; null (and the error recorded) when no room can be had.
const std::uint8_t* PlaneWriter::narrow(const std::uint8_t* px, const PixelLayout& layout) {
  const std::int64_t n = m_width * layout.step;
  if (m_narrow_size < n) {
    m_narrow.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(n)]);
    m_narrow_size = m_narrow ? n : 0;
    if (!m_narrow) {
      if (m_error == 0) m_error = kOutOfMemory;
      return nullptr;
    }
  }
  std::uint8_t* out = m_narrow.get();
  for (std::int64_t i = 0; i < n; ++i) {
    std::uint16_t v;
    std::memcpy(&v, px + 2 * i, 2);
    out[i] = static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u);
  }
  return out;
}

void PlaneWriter::add_row(const std::uint8_t* px, const Format& format, Row row) {
  if (m_done >= m_height) return;
  if (m_planes[0] == nullptr && m_planes[1] == nullptr && m_planes[2] == nullptr) {
    ++m_done;
    return;
  }
  if (m_error != 0) return;
  const bool kept = row == Row::kKeep;
  if (m_slot > 0 && (kept != m_kept || !(format == m_format))) flush();
  m_kept = kept;
  m_format = format;
  if (kept) {
    m_rows[static_cast<std::size_t>(m_slot)] = px;
    ++m_done;
    if (++m_slot == m_band) flush();
    return;
  }
  if (m_copy_band == 0 && (m_error = allocate_copies()) != 0) return;
  copy_row(px, format);
  ++m_done;
  if (++m_slot == m_copy_band) flush();
}

int PlaneWriter::allocate_copies() {
  int asked = 0;
  for (Plane p : m_planes)
    asked += p != nullptr;
  const bool doubles = m_op == PixelOp::kHls || m_op == PixelOp::kHsv;
  const int band = copy_band_rows(m_width, m_height, (doubles ? 8 : 1) * std::max(asked, 1));
  const auto n = static_cast<std::size_t>(band * m_width);
  for (int k = 0; k < 3; ++k) {
    if (m_planes[k] == nullptr) continue;
    if (doubles) {
      m_doubles[k].reset(new (std::nothrow) double[n]);
      if (m_doubles[k] == nullptr) return kOutOfMemory;
    } else {
      m_bytes[k].reset(new (std::nothrow) std::uint8_t[n]);
      if (m_bytes[k] == nullptr) return kOutOfMemory;
    }
  }
  m_copy_band = band;
  return 0;
}

void PlaneWriter::copy_row(const std::uint8_t* px, const Format& f) {
  const std::int64_t w = m_width;
  const std::size_t at = static_cast<std::size_t>(m_slot) * static_cast<std::size_t>(w);
  if (f.indexed) {
    switch (m_op) {
      case PixelOp::kGray: {
        std::uint8_t* dst = m_bytes[0].get() + at;
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = m_grey[px[x]];
        break;
      }
      case PixelOp::kRgb:
        for (int k = 0; k < 3; ++k) {
          if (m_planes[k] == nullptr) continue;
          std::uint8_t* dst = m_bytes[k].get() + at;
          const std::uint8_t* table = m_channel[k];
          for (std::int64_t x = 0; x < w; ++x)
            dst[x] = table[px[x]];
        }
        break;
      case PixelOp::kHls:
      case PixelOp::kHsv:
        for (int k = 0; k < 3; ++k) {
          if (m_planes[k] == nullptr) continue;
          double* dst = m_doubles[k].get() + at;
          for (std::int64_t x = 0; x < w; ++x)
            dst[x] = m_components[3 * px[x] + k];
        }
        break;
    }
    return;
  }
  const int step = f.step, r = f.offset[0], g = f.offset[1], b = f.offset[2];
  switch (m_op) {
    case PixelOp::kGray: {
      std::uint8_t* dst = m_bytes[0].get() + at;
      for (std::int64_t x = 0; x < w; ++x) {
        const std::uint8_t* p = px + x * step;
        dst[x] = grey_of(p[r], p[g], p[b]);
      }
      break;
    }
    case PixelOp::kRgb:
      for (int k = 0; k < 3; ++k) {
        if (m_planes[k] == nullptr) continue;
        std::uint8_t* dst = m_bytes[k].get() + at;
        const std::uint8_t* src = px + f.offset[k];
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = src[x * step];
      }
      break;
    case PixelOp::kHls:
    case PixelOp::kHsv: {
      double* dst[3];
      for (int k = 0; k < 3; ++k)
        dst[k] = m_planes[k] != nullptr ? m_doubles[k].get() + at : nullptr;
      for (std::int64_t x = 0; x < w; ++x) {
        const std::uint8_t* p = px + x * step;
        convert(m_op, p[r], p[g], p[b], dst[0] ? dst[0] + x : nullptr,
                dst[1] ? dst[1] + x : nullptr, dst[2] ? dst[2] + x : nullptr);
      }
      break;
    }
  }
}

void PlaneWriter::look_up(ByteOut out, const std::uint8_t* idx, std::int64_t ns) const {
  // Eight indices are read at once and each plane's eight bytes written at
  // once: a byte at a time, the loads wait on the stores before them.
  const bool grey = m_op == PixelOp::kGray;
  const std::uint8_t* table[3] = {grey ? m_grey : m_channel[0], m_channel[1], m_channel[2]};
  std::int64_t x = 0;
  for (; x + 8 <= ns; x += 8) {
    std::uint64_t v;
    std::memcpy(&v, idx + x, 8);
    for (int k = 0; k < 3; ++k) {
      if (out[k] == nullptr) continue;
      std::uint64_t o = 0;
      for (int j = 0; j < 8; ++j)
        o |= std::uint64_t{table[k][(v >> (8 * j)) & 0xFF]} << (8 * j);
      std::memcpy(out[k] + x, &o, 8);
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (out[k] == nullptr) continue;
    for (std::int64_t i = x; i < ns; ++i)
      out[k][i] = table[k][idx[i]];
  }
}

void PlaneWriter::flush() {
  if (m_slot == 0) return;
  const std::int64_t n = m_slot;
  m_slot = 0;
  // The band holds picture rows top .. top + n - 1; bottom-up rows arrived
  // last row first.
  const std::int64_t top = m_bottom_up ? m_height - m_done : m_done - n;
  if (!m_kept) {
    // Copies: band row j holds picture row top + j (top-down) or top + n -
    // 1 - j (bottom-up).
    std::ptrdiff_t first = 0, stride = static_cast<std::ptrdiff_t>(m_width);
    if (m_bottom_up) {
      first = (n - 1) * stride;
      stride = -stride;
    }
    if (m_op == PixelOp::kGray || m_op == PixelOp::kRgb) {
      bytes_to_planes(m_planes, m_width, n, top,
                      [&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
                        for (int k = 0; k < 3; ++k) {
                          if (out[k] == nullptr) continue;
                          std::memcpy(out[k], m_bytes[k].get() + first + r * stride + x0,
                                      static_cast<std::size_t>(ns));
                        }
                      });
      return;
    }
    for (int k = 0; k < 3; ++k) {
      if (m_planes[k] == nullptr) continue;
      scatter_columns(m_planes[k], m_doubles[k].get() + first, stride, m_width, static_cast<int>(n),
                      top);
    }
    return;
  }
  if (m_bottom_up) std::reverse(m_rows.begin(), m_rows.begin() + n);
  const std::uint8_t* const* rows = m_rows.data();
  const Format f = m_format;
  const std::int64_t step = f.step;
  const int o0 = f.offset[0], o1 = f.offset[1], o2 = f.offset[2];

  if (m_op == PixelOp::kGray || m_op == PixelOp::kRgb) {
    auto go = [&](auto fill) { bytes_to_planes(m_planes, m_width, n, top, fill, kKeptPass); };
    if (f.indexed) {
      go([&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
        look_up(out, rows[r] + x0, ns);
      });
    } else if (m_op == PixelOp::kGray && step == 3) {
      const Grey3 grey = grey3_for(f.offset);
      go([&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
        grey(out[0], rows[r] + x0 * 3, ns, f.offset);
      });
    } else if (m_op == PixelOp::kGray) {
      go([&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
        const std::uint8_t* p = rows[r] + x0 * step;
        for (std::int64_t x = 0; x < ns; ++x, p += step)
          out[0][x] = grey_of(p[o0], p[o1], p[o2]);
      });
    } else if (step == 3) {
      const columns::SplitPixels split = columns::split_pixels_for(f.offset);
      go([&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
        split(out, rows[r] + x0 * 3, ns, f.offset);
      });
    } else {
      go([&](std::int64_t r, std::int64_t x0, std::int64_t ns, ByteOut out) {
        pick(out, rows[r] + x0 * step, ns, f.offset, step);
      });
    }
    return;
  }
  transpose_band(m_planes, m_width, n, top, m_tile.get(), kTileBytes,
                 [&](std::int64_t r0, std::int64_t nr, std::int64_t x0, std::int64_t ns,
                     double* const(&t)[3], std::int64_t pitch) {
                   for (std::int64_t i = 0; i < nr; ++i) {
                     if (f.indexed) {
                       const std::uint8_t* idx = rows[r0 + i] + x0;
                       for (int k = 0; k < 3; ++k) {
                         if (t[k] == nullptr) continue;
                         double* d = t[k] + i;
                         for (std::int64_t x = 0; x < ns; ++x)
                           d[x * pitch] = m_components[3 * idx[x] + k];
                       }
                     } else {
                       const std::uint8_t* p = rows[r0 + i] + x0 * step;
                       for (std::int64_t x = 0; x < ns; ++x, p += step) {
                         const std::int64_t at = x * pitch + i;
                         convert(m_op, p[o0], p[o1], p[o2], t[0] ? t[0] + at : nullptr,
                                 t[1] ? t[1] + at : nullptr, t[2] ? t[2] + at : nullptr);
                       }
                     }
                   }
                 });
}

int PlaneWriter::finish() {
  if (m_finished) return m_error;
  m_finished = true;
  flush();
  // Rows the decoder never delivered read as 0.
  std::int64_t missing = m_height - m_done;
  if (missing <= 0) return m_error;
  std::int64_t top = m_bottom_up ? 0 : m_done;
  for (Plane p : m_planes) {
    if (p == nullptr) continue;
    for (std::int64_t x = 0; x < m_width; ++x)
      std::fill_n(p[x] + top, missing, 0.0);
  }
  return m_error;
}

}  // namespace kexio

namespace kexio {

int Decoder::read_planes(PixelOp op, Plane a, Plane b, Plane c) {
  PlaneWriter out(op, a, b, c, cols(), rows(), bottom_up());
  if (int e = out.start()) return e;
  int r = decode(out);
  int f = out.finish();
  return r != 0 ? r : f;
}

}  // namespace kexio
