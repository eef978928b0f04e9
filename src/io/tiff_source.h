// libtiff over the bytes of a file held in memory (a mapped or read
// ByteReader): the procedures of a client open, and handlers that print
// nothing and only record that libtiff reported an error. Header-only, so that
// the base library itself needs no libtiff; the readers that include it link
// libtiff themselves.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "core/limits.h"
#include "core/parallel.h"

#pragma GCC visibility push(hidden)

namespace kexio::io {

class TiffSource {
 public:
  // Opens the TIFF file of size bytes at data for reading, named name in
  // libtiff's messages; no single allocation of libtiff's may exceed
  // max_alloc bytes. get() is null when the file cannot be opened.
  TiffSource(const char* name, const std::uint8_t* data, std::uint64_t size,
             std::uint64_t max_alloc)
      : m_name(name), m_data(data), m_size(static_cast<toff_t>(size)), m_max_alloc(max_alloc) {
    m_options.reset(TIFFOpenOptionsAlloc());
    if (!m_options) return;
    TIFFOpenOptionsSetErrorHandlerExtR(m_options.get(), on_error, &m_error);
    TIFFOpenOptionsSetWarningHandlerExtR(m_options.get(), on_warning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(m_options.get(),
                                        static_cast<tmsize_t>(std::min<std::uint64_t>(
                                            max_alloc, std::numeric_limits<tmsize_t>::max())));
    m_tiff.reset(TIFFClientOpenExt(name, "r", this, read, write, seek, close, size_of, map, unmap,
                                   m_options.get()));
  }
  TiffSource(const TiffSource&) = delete;
  TiffSource& operator=(const TiffSource&) = delete;

  TIFF* get() const { return m_tiff.get(); }
  // Whether libtiff has reported an error since the file was opened.
  bool error() const { return m_error; }
  std::uint64_t size() const { return m_size; }
  // The file's bytes.
  const std::uint8_t* data() const { return m_data; }
  // Another handle on the same bytes, as this one was opened (name must
  // still stand): libtiff handles keep decoding state, so each thread that
  // decodes needs one of its own. Null when it cannot be opened.
  std::unique_ptr<TiffSource> another() const {
    auto other = std::make_unique<TiffSource>(m_name, m_data, m_size, m_max_alloc);
    if (other->get() == nullptr) other.reset();
    return other;
  }

 private:
  static int on_error(TIFF*, void* user, const char*, const char*, va_list) {
    *static_cast<bool*>(user) = true;
    return 1;  // handled: libtiff prints nothing
  }
  static int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

  static tmsize_t read(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffSource*>(h);
    if (n <= 0 || s->m_pos >= s->m_size) return 0;
    const auto k =
        static_cast<tmsize_t>(std::min<toff_t>(static_cast<toff_t>(n), s->m_size - s->m_pos));
    std::memcpy(buf, s->m_data + s->m_pos, static_cast<std::size_t>(k));
    s->m_pos += static_cast<toff_t>(k);
    return k;
  }
  static tmsize_t write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t seek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffSource*>(h);
    const toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->m_pos : s->m_size;
    if (off > std::numeric_limits<toff_t>::max() - base) return static_cast<toff_t>(-1);
    s->m_pos = base + off;
    return s->m_pos;
  }
  static int close(thandle_t) { return 0; }
  static toff_t size_of(thandle_t h) { return static_cast<TiffSource*>(h)->m_size; }
  static int map(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<TiffSource*>(h);
    *base = const_cast<std::uint8_t*>(s->m_data);
    *size = s->m_size;
    return 1;
  }
  static void unmap(thandle_t, void*, toff_t) {}

  struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
  };
  struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
  };

  const char* m_name;
  const std::uint8_t* m_data;
  toff_t m_size;
  std::uint64_t m_max_alloc;
  toff_t m_pos = 0;
  bool m_error = false;
  std::unique_ptr<TIFFOpenOptions, OptionsFree> m_options;
  // Declared last: closed first, while the source and options still stand.
  std::unique_ptr<TIFF, TiffClose> m_tiff;
};

struct FreeBytes {
  void operator()(std::uint8_t* p) const { std::free(p); }
};
using ZeroedBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

// A decoding buffer of n zero bytes that takes memory only where it is
// written: large ones are fresh pages, which calloc does not clear, so a
// strip that decodes to less than its stated size never costs the rest.
// Null when n passes max_bytes or the memory cannot be had.
inline ZeroedBytes zeroed_bytes(std::uint64_t n, std::uint64_t max_bytes) {
  if (n > max_bytes) return nullptr;
  return ZeroedBytes(
      static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(n == 0 ? 1 : n), 1)));
}

// Reads the picture through libtiff's RGBA reader, rows as stored, a band
// of whole strips or tiles (about a megabyte of pixels) at a time: begin(alpha)
// is told whether the picture has alpha and returns false to stop; each band
// goes to band(first_row, rows, pixels) as libtiff's packed pixels (TIFFGetR
// and the others take them apart). False when libtiff cannot read the
// picture, begin stops, or a band's buffer would pass max_bytes.
template <typename Begin, typename Band>
bool read_rgba_bands(TIFF* t, std::uint32_t width, std::uint32_t height, std::uint64_t max_bytes,
                     Begin begin, Band band) {
  char message[1024];
  TIFFRGBAImage img;
  if (!TIFFRGBAImageOK(t, message) || !TIFFRGBAImageBegin(&img, t, 1, message)) return false;
  struct End {
    TIFFRGBAImage* img;
    ~End() { TIFFRGBAImageEnd(img); }
  } end{&img};
  img.req_orientation = img.orientation;  // rows as stored
  if (!begin(img.alpha != 0)) return false;
  std::uint32_t unit = height;
  if (TIFFIsTiled(t)) {
    TIFFGetField(t, TIFFTAG_TILELENGTH, &unit);
  } else {
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &unit);
  }
  unit = std::clamp<std::uint32_t>(unit, 1, height);
  const std::uint64_t per_band = std::max<std::uint64_t>(
      1, (std::uint64_t{1} << 18) / std::max<std::uint32_t>(width, 1) / unit);
  const auto rows_per_band =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(height, per_band * unit));
  // A header may claim a band of gigabytes that the data then never fills:
  // only the pages written cost memory.
  const ZeroedBytes bytes = zeroed_bytes(std::uint64_t{width} * rows_per_band * 4, max_bytes);
  if (bytes == nullptr) return false;
  auto* raster = reinterpret_cast<std::uint32_t*>(bytes.get());
  for (std::uint32_t y = 0; y < height; y += rows_per_band) {
    const std::uint32_t rows = std::min(rows_per_band, height - y);
    img.row_offset = static_cast<int>(y);
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, raster, width, rows)) return false;
    band(y, rows, raster);
  }
  return true;
}

// The tags that say how a TIFF's samples are laid out, with libtiff's
// defaults where the file leaves them out.
struct SampleLayout {
  std::uint16_t photometric = 0;
  std::uint16_t bits = 1;
  std::uint16_t samples = 1;  // per pixel
  std::uint16_t format = SAMPLEFORMAT_UINT;

  // False when the file does not say how its samples are coloured.
  bool read(TIFF* t) {
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    return true;
  }
  bool unsigned_samples() const {
    return format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
  }
  bool grey() const {
    return photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  }
};

// Grey levels of 1 to 8 bits spread over 0..255, turned round when white is 0.
inline void grey_table(std::uint8_t* table, unsigned bits, bool invert) {
  const unsigned top = (1u << bits) - 1;
  for (unsigned v = 0; v <= top; ++v)
    table[v] = static_cast<std::uint8_t>((invert ? top - v : v) * 255 / top);
}

// The colour map of a palette image of 1 to 8 bits as three tables of bytes;
// false when the file has none.
inline bool palette_tables(TIFF* t, unsigned bits, std::uint8_t (*table)[256]) {
  std::uint16_t *red, *green, *blue;
  if (!TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue)) return false;
  for (unsigned v = 0; v < (1u << bits); ++v) {
    table[0][v] = static_cast<std::uint8_t>(red[v] >> 8);
    table[1][v] = static_cast<std::uint8_t>(green[v] >> 8);
    table[2][v] = static_cast<std::uint8_t>(blue[v] >> 8);
  }
  return true;
}

// The sample of b bits (1 to 16) that starts at bit `bit` of src, samples
// packed most significant bit first; it may cross byte boundaries.
inline unsigned packed_sample(const std::uint8_t* src, std::size_t bit, unsigned b) {
  const std::uint8_t* p = src + (bit >> 3);
  const unsigned skip = bit & 7;
  const unsigned bytes = (skip + b + 7) / 8;
  std::uint32_t v = 0;
  for (unsigned k = 0; k < bytes; ++k)
    v = v << 8 | p[k];
  return (v >> (8 * bytes - skip - b)) & ((1u << b) - 1);
}

// Calls f(strile, first_row, bytes) for each strip or tile of the first
// plane, top row first: every reading decodes all of them, each to the
// bytes given (a strip's rows, a whole tile).
template <typename F>
void for_each_piece(TIFF* t, std::uint32_t width, std::uint32_t height, F f) {
  if (TIFFIsTiled(t)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
    if (tw == 0 || th == 0) return;
    const std::uint64_t bytes = TIFFTileSize64(t);
    for (std::uint64_t y = 0; y < height; y += th) {
      for (std::uint64_t x = 0; x < width; x += tw)
        f(TIFFComputeTile(t, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 0, 0), y,
          bytes);
    }
    return;
  }
  std::uint32_t rps = height;
  TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
  rps = std::clamp<std::uint32_t>(rps, 1, height);
  // Sizes beyond 64 bits count as the largest.
  const std::uint64_t scan = TIFFScanlineSize64(t);
  for (std::uint64_t y = 0; y < height; y += rps) {
    const std::uint64_t rows = std::min<std::uint64_t>(rps, height - y);
    f(TIFFComputeStrip(t, static_cast<std::uint32_t>(y), 0), y,
      scan > UINT64_MAX / rows ? UINT64_MAX : scan * rows);
  }
}

// The most bytes one stored byte of the image's compression decodes to, or
// 0 where no bound is known (JPEG, fax, LZMA, ...).
inline std::uint64_t decode_ratio(TIFF* t) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return kexio::limits::kPackBitsMaxRatio;
    case COMPRESSION_LZW:
      return kexio::limits::kLzwMaxRatio;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      return kexio::limits::kDeflateMaxRatio;
    default:
      return 0;
  }
}

// Whether each strip or tile can decode to what reading it needs from the
// bytes the file has for it, at its compression's best ratio. One that
// cannot makes every reading fail (these decoders refuse data that ends
// early), so it is refused before anything is sized from the header: a
// few hundred bytes stating 65535 samples per pixel would otherwise have
// strips of gigabytes allocated for them.
inline bool file_holds(TIFF* t, toff_t size, std::uint32_t width, std::uint32_t height) {
  // Data of a compression libtiff has no decoder for reads as nothing at all:
  // refused before libtiff sizes buffers for it.
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFIsCODECConfigured(compression)) return false;
  const std::uint64_t ratio = decode_ratio(t);
  if (ratio == 0) return true;
  bool holds = true;
  for_each_piece(t, width, height, [&](std::uint32_t i, std::uint64_t, std::uint64_t bytes) {
    const std::uint64_t at = TIFFGetStrileOffset(t, i);
    const std::uint64_t stored =
        at < size ? std::min<std::uint64_t>(TIFFGetStrileByteCount(t, i), size - at) : 0;
    if (stored < bytes / ratio + (bytes % ratio != 0)) holds = false;
  });
  return holds;
}

enum class Decoded { kAll, kFailed, kNoMemory };

// Decodes pieces 0 .. n - 1 (strips or tiles, in any order) with
// decode(t, i, buf): the calling thread through source, and when the
// pieces hold at least parallel_bytes, other threads each through a handle
// of its own on the same bytes, taking the next piece as they finish one.
// Each thread has a zeroed buffer of buf_bytes (at most max_bytes); another
// thread that cannot have its handle or buffer leaves the pieces to the
// rest. kFailed when a decode returns false or any handle reports an error,
// kNoMemory when the calling thread has no buffer; decoding stops at the
// first of these.
template <typename Decode>
Decoded decode_pieces(const TiffSource& source, std::size_t n, std::uint64_t buf_bytes,
                      std::uint64_t max_bytes, std::uint64_t parallel_bytes, Decode decode) {
  constexpr unsigned kMaxThreads = 4;
  const std::uint64_t total = n == 0 || buf_bytes > UINT64_MAX / n ? UINT64_MAX : buf_bytes * n;
  const std::size_t threads =
      total < parallel_bytes || n < 2
          ? 1
          : std::min<std::size_t>(n,
                                  std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false}, no_memory{false};
  kexio::run_all(threads, [&](std::size_t k) {
    std::unique_ptr<TiffSource> own;
    const TiffSource* s = &source;
    if (k != 0) {
      try {
        own = source.another();
      } catch (const std::bad_alloc&) {
      }
      if (own == nullptr) return;
      s = own.get();
    }
    ZeroedBytes buf = zeroed_bytes(buf_bytes, max_bytes);
    if (buf == nullptr) {
      if (k == 0) no_memory = failed = true;
      return;
    }
    for (std::size_t i = next++; i < n && !failed; i = next++) {
      if (!decode(s->get(), i, buf.get()) || s->error()) failed = true;
    }
  });
  return no_memory ? Decoded::kNoMemory : failed ? Decoded::kFailed : Decoded::kAll;
}

// decode_pieces over the tiles (tw x th pixels, size bytes decoded, rows
// row bytes apart) of `planes` planes of a width x height image: plane_of(k)
// is the file's plane of the k-th. put(src, y, x, n, plane) takes each row of
// a tile: n pixels of image row y from column x on.
template <typename PlaneOf, typename Put>
Decoded decode_tiles(const TiffSource& source, std::uint32_t width, std::uint32_t height,
                     std::uint32_t tw, std::uint32_t th, tmsize_t size, tmsize_t row,
                     std::size_t planes, PlaneOf plane_of, std::uint64_t max_bytes,
                     std::uint64_t parallel_bytes, Put put) {
  const std::uint32_t across = (width - 1) / tw + 1, down = (height - 1) / th + 1;
  const std::size_t per_plane = std::size_t{across} * down;
  return decode_pieces(source, per_plane * planes, static_cast<std::uint64_t>(size), max_bytes,
                       parallel_bytes, [&](TIFF* t, std::size_t i, std::uint8_t* buf) {
                         const int p = plane_of(i / per_plane);
                         const auto y = static_cast<std::uint32_t>(i % per_plane / across * th);
                         const auto x = static_cast<std::uint32_t>(i % per_plane % across * tw);
                         const ttile_t tile =
                             TIFFComputeTile(t, x, y, 0, static_cast<tsample_t>(p));
                         if (TIFFReadEncodedTile(t, tile, buf, size) != size) return false;
                         const std::uint32_t rows = std::min(th, height - y);
                         for (std::uint32_t r = 0; r < rows; ++r)
                           put(buf + r * row, y + r, x, std::min(tw, width - x), p);
                         return true;
                       });
}

}  // namespace kexio::io

#pragma GCC visibility pop
