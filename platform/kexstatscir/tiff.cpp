// TIFF files through libtiff: the first image of the file, in strips or
// tiles, with any compression and predictor libtiff decodes.
//
// Grey, RGB and palette images of the common depths are read strip by strip
// (or tile by tile) straight into the channel arrays, keeping their samples
// as stored; every other kind of image goes through libtiff's RGBA reader as
// 8-bit red, green and blue. Rows come in stored order: the orientation tag
// is not applied. libtiff reports through handlers that belong to this one
// read, so nothing is printed, an error makes the read fail, and reads in
// several threads at once do not meet.
#include <fcntl.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "core/limits.h"
#include "core/transpose.h"
#include "images.h"
#include "io/tiff_source.h"
#include "records.h"

namespace {

using mutils::detail::Channels;
using mutils::detail::element_size;

// The first row of the first strip or tile that the end of the file cuts
// (its stored bytes, or for uncompressed data the bytes it decodes to, run
// past it), or -1.
std::int64_t first_cut_row(TIFF* t, toff_t size, std::uint32_t width, std::uint32_t height) {
  const bool plain = kexio::io::decode_ratio(t) == 1;
  std::int64_t row = -1;
  kexio::io::for_each_piece(
      t, width, height, [&](std::uint32_t i, std::uint64_t y, std::uint64_t bytes) {
        const std::uint64_t at = TIFFGetStrileOffset(t, i);
        const std::uint64_t stored = std::max(TIFFGetStrileByteCount(t, i), plain ? bytes : 0);
        if (row < 0 && (at > size || stored > size - at)) row = static_cast<std::int64_t>(y);
      });
  return row;
}

enum class Kind { kGrey, kRgb, kPalette };

// How the samples of one image become channel samples.
struct Plan {
  Kind kind = Kind::kGrey;
  _mutil_data_type type = MUTIL_UINT8;
  unsigned bits = 8;
  // Writes channel `channel` of n pixels whose samples lie at sample index
  // j * stride + first of src (pixel j) to dst.
  void (*put)(const Plan& plan, const std::uint8_t* src, std::size_t stride, std::size_t first,
              std::size_t n, int channel, void* dst) = nullptr;
  // Images of at most 8 bits per sample: sample value to channel byte, per
  // channel (grey levels scaled to 0..255, or the palette).
  std::uint8_t table[3][256] = {};
};

template <typename S, typename D, bool Invert>
void put_typed(const Plan&, const std::uint8_t* src, std::size_t stride, std::size_t first,
               std::size_t n, int, void* dst) {
  D* out = static_cast<D*>(dst);
  const std::uint8_t* p = src + first * sizeof(S);
  for (std::size_t j = 0; j < n; ++j, p += stride * sizeof(S)) {
    S v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (Invert) v = static_cast<S>(std::numeric_limits<S>::max() - v);
    out[j] = static_cast<D>(v);
  }
}

void put_indexed(const Plan& plan, const std::uint8_t* src, std::size_t stride, std::size_t first,
                 std::size_t n, int channel, void* dst) {
  auto* out = static_cast<std::uint8_t*>(dst);
  const std::uint8_t* table = plan.table[channel];
  const unsigned b = plan.bits;
  if (b == 8) {
    for (std::size_t j = 0; j < n; ++j)
      out[j] = table[src[j * stride + first]];
    return;
  }
  if (8 % b == 0) {
    // Samples of 1, 2 or 4 bits never cross a byte.
    const unsigned mask = (1u << b) - 1;
    for (std::size_t j = 0; j < n; ++j) {
      std::size_t bit = (j * stride + first) * b;
      out[j] = table[(src[bit >> 3] >> (8 - b - (bit & 7))) & mask];
    }
    return;
  }
  for (std::size_t j = 0; j < n; ++j)
    out[j] = table[kexio::io::packed_sample(src, (j * stride + first) * b, b)];
}

// Samples of 9 to 15 bits, kept as 16-bit samples (min-is-white ones
// turned around within their own depth).
template <bool Invert>
void put_packed16(const Plan& plan, const std::uint8_t* src, std::size_t stride, std::size_t first,
                  std::size_t n, int, void* dst) {
  auto* out = static_cast<std::uint16_t*>(dst);
  const unsigned b = plan.bits;
  const unsigned top = (1u << b) - 1;
  for (std::size_t j = 0; j < n; ++j) {
    const unsigned v = kexio::io::packed_sample(src, (j * stride + first) * b, b);
    out[j] = static_cast<std::uint16_t>(Invert ? top - v : v);
  }
}

// The typed writer for a sample format and depth, with the channel type it
// gives; false when the pair is not read directly.
template <bool Invert>
bool typed_plan(Plan& plan, unsigned format, unsigned bits) {
  const bool uint = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
  if (uint && bits == 8) {
    plan.put = put_typed<std::uint8_t, std::uint8_t, Invert>;
    plan.type = MUTIL_UINT8;
  } else if (uint && bits == 16) {
    plan.put = put_typed<std::uint16_t, std::uint16_t, Invert>;
    plan.type = MUTIL_UINT16;
  } else if (uint && bits > 8 && bits < 16) {
    plan.put = put_packed16<Invert>;
    plan.type = MUTIL_UINT16;
  } else if (uint && bits == 32) {
    plan.put = put_typed<std::uint32_t, std::uint32_t, Invert>;
    plan.type = MUTIL_UINT32;
  } else if (Invert) {
    return false;
  } else if (format == SAMPLEFORMAT_INT && bits == 8) {
    plan.put = put_typed<std::int8_t, std::int8_t, false>;
    plan.type = MUTIL_SINT8;
  } else if (format == SAMPLEFORMAT_INT && bits == 16) {
    plan.put = put_typed<std::int16_t, std::int16_t, false>;
    plan.type = MUTIL_SINT16;
  } else if (format == SAMPLEFORMAT_INT && bits == 32) {
    plan.put = put_typed<std::int32_t, std::int32_t, false>;
    plan.type = MUTIL_SINT32;
  } else if (format == SAMPLEFORMAT_IEEEFP && (bits == 32 || bits == 64)) {
    plan.put = bits == 32 ? put_typed<float, double, false> : put_typed<double, double, false>;
    plan.type = MUTIL_DOUBLE;
  } else {
    return false;
  }
  return true;
}

// How to read the image directly; false when it needs the RGBA reader.
bool make_plan(TIFF* t, Plan& plan) {
  kexio::io::SampleLayout layout;
  if (!layout.read(t)) return false;
  const unsigned bits = layout.bits, format = layout.format;
  plan.bits = bits;
  const bool uint = layout.unsigned_samples();
  const bool small = uint && (bits == 1 || bits == 2 || bits == 4 || bits == 8);
  if (layout.grey()) {
    const bool invert = layout.photometric == PHOTOMETRIC_MINISWHITE;
    plan.kind = Kind::kGrey;
    // Grey levels of up to 8 bits, 3, 5, 6 and 7 among them, are spread
    // over 0..255.
    if (uint && bits >= 1 && bits <= 8) {
      kexio::io::grey_table(plan.table[0], bits, invert);
      plan.put = put_indexed;
      plan.type = MUTIL_UINT8;
      return true;
    }
    return invert ? typed_plan<true>(plan, format, bits) : typed_plan<false>(plan, format, bits);
  }
  if (layout.photometric == PHOTOMETRIC_RGB && layout.samples >= 3) {
    plan.kind = Kind::kRgb;
    return typed_plan<false>(plan, format, bits);
  }
  if (layout.photometric == PHOTOMETRIC_PALETTE && small &&
      kexio::io::palette_tables(t, bits, plan.table)) {
    plan.kind = Kind::kPalette;
    plan.put = put_indexed;
    plan.type = MUTIL_UINT8;
    return true;
  }
  return false;
}

// Reads the image strip by strip or tile by tile into out.
class DirectReader {
 public:
  DirectReader(const kexio::io::TiffSource& source, const Plan& plan, Channels& out,
               std::uint32_t width, std::uint32_t height)
      : m_source(source),
        m_t(source.get()),
        m_plan(plan),
        m_out(out),
        m_width(width),
        m_height(height) {
    std::uint16_t spp = 1, planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(m_t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(m_t, TIFFTAG_PLANARCONFIG, &planar);
    m_separate = planar == PLANARCONFIG_SEPARATE;
    m_stride = m_separate ? 1 : spp;
    m_planes = m_separate && plan.kind == Kind::kRgb ? 3 : 1;
    std::uint16_t compression = COMPRESSION_NONE, fill = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(m_t, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(m_t, TIFFTAG_FILLORDER, &fill);
    m_stored_as_decoded =
        compression == COMPRESSION_NONE && fill == FILLORDER_MSB2LSB && plan.bits == 8;
    // Interleaved 8-bit red, green, blue: all three taken apart in one pass.
    if (plan.kind == Kind::kRgb && plan.type == MUTIL_UINT8 && !m_separate && spp == 3) {
      m_split = kexio::columns::split_pixels_for(kRgbOffsets);
    }
  }

  bool read() {
    try {
      return TIFFIsTiled(m_t) ? tiles() : strips();
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

 private:
  // Whether rows of row_bytes hold pieces `pixels` wide.
  bool rows_hold(tmsize_t row_bytes, std::uint64_t pixels) const {
    return row_bytes > 0 &&
           (pixels * m_stride * m_plan.bits + 7) / 8 <= static_cast<std::uint64_t>(row_bytes);
  }

  // Pieces of a large image are decoded on several threads, each through
  // a libtiff handle of its own.
  static constexpr std::uint64_t kParallelBytes = std::uint64_t{1} << 20;

  bool strips() {
    std::uint32_t rps = m_height;
    TIFFGetFieldDefaulted(m_t, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::clamp<std::uint32_t>(rps, 1, m_height);
    const tmsize_t scan = TIFFScanlineSize(m_t);
    if (!rows_hold(scan, m_width)) return false;
    const std::uint32_t per_plane = (m_height - 1) / rps + 1;
    return kexio::io::Decoded::kAll ==
           kexio::io::decode_pieces(
               m_source, std::size_t{per_plane} * m_planes, static_cast<std::uint64_t>(scan) * rps,
               mutils::detail::image_memory_limit(), kParallelBytes,
               [&](TIFF* t, std::size_t i, std::uint8_t* buf) {
                 const auto p = static_cast<int>(i / per_plane);
                 const auto y = static_cast<std::uint32_t>(i % per_plane * rps);
                 const std::uint32_t rows = std::min(rps, m_height - y);
                 const tmsize_t want = scan * rows;
                 const tstrip_t strip = TIFFComputeStrip(t, y, static_cast<tsample_t>(p));
                 const std::uint8_t* rows_at = stored(t, strip, want);
                 if (rows_at == nullptr) {
                   if (TIFFReadEncodedStrip(t, strip, buf, want) != want) return false;
                   rows_at = buf;
                 }
                 for (std::uint32_t r = 0; r < rows; ++r)
                   put(rows_at + r * scan, y + r, 0, m_width, p);
                 return true;
               });
  }

  // The first want bytes of a strip where the file holds them as libtiff
  // would decode them (uncompressed bytes, each in order, the strip whole
  // within the file and as long as asked), so that they are not copied
  // first; null otherwise, and libtiff reads the strip.
  const std::uint8_t* stored(TIFF* t, tstrip_t strip, tmsize_t want) const {
    if (!m_stored_as_decoded || want <= 0) return nullptr;
    const std::uint64_t at = TIFFGetStrileOffset(t, strip);
    const auto n = static_cast<std::uint64_t>(want);
    if (TIFFGetStrileByteCount(t, strip) < n || at > m_source.size() || n > m_source.size() - at)
      return nullptr;
    return m_source.data() + at;
  }

  bool tiles() {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(m_t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(m_t, TIFFTAG_TILELENGTH, &th);
    const tmsize_t row = TIFFTileRowSize(m_t);
    const tmsize_t size = TIFFTileSize(m_t);
    if (tw == 0 || th == 0 || !rows_hold(row, tw) || size / th < row) return false;
    return kexio::io::Decoded::kAll ==
           kexio::io::decode_tiles(
               m_source, m_width, m_height, tw, th, size, row, m_planes,
               [](std::size_t k) { return static_cast<int>(k); },
               mutils::detail::image_memory_limit(), kParallelBytes,
               [&](const std::uint8_t* src, std::uint32_t y, std::uint32_t x, std::uint32_t n,
                   int p) { put(src, y, x, n, p); });
  }

  // n pixels of row y from column x on, from plane p (or all samples).
  void put(const std::uint8_t* src, std::uint32_t y, std::uint32_t x, std::uint32_t n, int p) {
    const std::size_t at = static_cast<std::size_t>(y) * m_width + x;
    const std::size_t size = element_size(m_plan.type);
    const bool rgb = m_plan.kind == Kind::kRgb;
    if (m_split != nullptr) {
      std::uint8_t* const out[3] = {m_out.at<std::uint8_t>(0) + at, m_out.at<std::uint8_t>(1) + at,
                                    m_out.at<std::uint8_t>(2) + at};
      return m_split(out, src, n, kRgbOffsets);
    }
    const int channels = m_plan.kind == Kind::kGrey ? 1 : 3;
    const int first = m_separate && rgb ? p : 0;
    const int last = m_separate && rgb ? p + 1 : channels;
    for (int c = first; c < last; ++c) {
      auto* dst = m_out.at<std::uint8_t>(c) + at * size;
      m_plan.put(m_plan, src, m_stride, !m_separate && rgb ? c : 0, n, c, dst);
    }
  }

  const kexio::io::TiffSource& m_source;
  TIFF* m_t;
  const Plan& m_plan;
  Channels& m_out;
  std::uint32_t m_width, m_height;
  bool m_separate = false;
  std::size_t m_stride = 1;
  int m_planes = 1;
  bool m_stored_as_decoded = false;
  kexio::columns::SplitPixels m_split = nullptr;
  static constexpr int kRgbOffsets[3] = {0, 1, 2};
};

// Any other image through libtiff's RGBA reader, a band of rows at a time.
bool read_rgba(TIFF* t, Channels& out, std::uint32_t width, std::uint32_t height) {
  std::uint8_t* rgb[3] = {};
  return kexio::io::read_rgba_bands(
      t, width, height, mutils::detail::image_memory_limit(),
      [&](bool) {
        if (!out.allocate(height, width, MUTIL_UINT8, 3)) return false;
        for (int k = 0; k < 3; ++k)
          rgb[k] = out.at<std::uint8_t>(k);
        return true;
      },
      [&](std::uint32_t y, std::uint32_t rows, const std::uint32_t* raster) {
        const std::size_t at = static_cast<std::size_t>(y) * width;
        for (std::size_t i = 0, n = static_cast<std::size_t>(rows) * width; i < n; ++i) {
          rgb[0][at + i] = static_cast<std::uint8_t>(TIFFGetR(raster[i]));
          rgb[1][at + i] = static_cast<std::uint8_t>(TIFFGetG(raster[i]));
          rgb[2][at + i] = static_cast<std::uint8_t>(TIFFGetB(raster[i]));
        }
      });
}

bool read_image(const kexio::io::TiffSource& source, Channels& out) {
  TIFF* t = source.get();
  const toff_t size = source.size();
  std::uint32_t width = 0, height = 0;
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0 ||
      !kexio::io::file_holds(t, size, width, height)) {
    return false;
  }
  Plan plan;
  if (!make_plan(t, plan)) return read_rgba(t, out, width, height);
  if (!out.allocate(height, width, plan.type, plan.kind == Kind::kGrey ? 1 : 3)) return false;
  return DirectReader(source, plan, out, width, height).read();
}

}  // namespace

namespace mutils {

int imgset_read_tiff(const char* path, void* context, _univ_mat_set* set) {
  if (set == nullptr) return 1;
  *set = {};
  if (path == nullptr) return 1;
  try {
    // A FIFO would block an ordinary open; only regular files are read.
    kexio::io::Fd fd = kexio::io::open_with(path, O_RDONLY | O_NONBLOCK);
    if (!fd || !kexio::io::kind_of(fd.get()).regular) return 1;
    kexio::io::ByteReader file(std::move(fd));
    if (file.contents() == nullptr) return 1;
    kexio::io::TiffSource tiff(path, file.contents(), static_cast<std::uint64_t>(file.size()),
                               mutils::detail::image_memory_limit());
    if (tiff.get() == nullptr) return 1;

    detail::Channels image(context);
    if (read_image(tiff, image) && !tiff.error()) {
      return image.give(set) ? 0 : 1;
    }
    // A file cut short inside its image data says where.
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
    const std::int64_t row = first_cut_row(tiff.get(), tiff.size(), width, height);
    if (row < 0) return 1;
    set->reserved[0] = static_cast<std::uint32_t>(row);
    set->reserved[1] = height;
    return 2;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

}  // namespace mutils
