#include "arrays/tiff_read.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "arrays/array.h"
#include "core/memory.h"
#include "image/codec_errors.h"
#include "io/tiff_source.h"

namespace kexio::arrays {

namespace {

using Kex::Dtype;

// How the samples of the image become the array's.
struct Plan {
  Dtype type = Dtype::uint8;
  int channels = 1;                 // of the array
  int samples = 1;                  // per pixel in the file
  int source[4] = {};               // the file's sample of each channel
  unsigned bits = 8;                // per stored sample
  bool invert = false;              // white is 0 (unsigned samples turned round)
  bool lookup = false;              // 1 to 8 bits through the tables
  bool packed = false;              // 9 to 15 bits, widened to 16-bit samples
  std::uint8_t table[3][256] = {};  // sample to channel byte, per channel
};

Dtype typed(unsigned format, unsigned bits) {
  const bool uint = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
  if (uint && bits == 8) return Dtype::uint8;
  if (uint && bits == 16) return Dtype::uint16;
  if (uint && bits == 32) return Dtype::uint32;
  if (format == SAMPLEFORMAT_INT && bits == 8) return Dtype::int8;
  if (format == SAMPLEFORMAT_INT && bits == 16) return Dtype::int16;
  if (format == SAMPLEFORMAT_INT && bits == 32) return Dtype::int32;
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) return Dtype::float32;
  if (format == SAMPLEFORMAT_IEEEFP && bits == 64) return Dtype::float64;
  return Dtype::other_type;
}

// The plan of an image read sample by sample; false when it takes the RGBA
// reader.
bool make_plan(TIFF* t, Plan& p) {
  io::SampleLayout layout;
  if (!layout.read(t)) return false;
  const unsigned bits = layout.bits, format = layout.format;
  const int spp = layout.samples;
  p.bits = bits;
  p.samples = spp;
  const bool uint = layout.unsigned_samples();
  const bool small = uint && bits >= 1 && bits <= 8;
  int base = 0;
  if (layout.grey()) {
    base = 1;
    p.invert = layout.photometric == PHOTOMETRIC_MINISWHITE && uint;
    if (small && bits < 8) {
      io::grey_table(p.table[0], bits, p.invert);
      p.lookup = true;
    }
  } else if (layout.photometric == PHOTOMETRIC_RGB && spp >= 3) {
    base = 3;
  } else if (layout.photometric == PHOTOMETRIC_PALETTE && small && spp == 1) {
    if (!io::palette_tables(t, bits, p.table)) return false;
    p.lookup = true;
    p.channels = 3;
    p.type = Dtype::uint8;
    return true;
  } else {
    return false;
  }
  // Samples of 9 to 15 bits keep their values in 16-bit samples.
  p.packed = uint && bits > 8 && bits < 16;
  p.type = p.lookup ? Dtype::uint8 : p.packed ? Dtype::uint16 : typed(format, bits);
  if (p.type == Dtype::other_type || spp < base) return false;
  p.channels = base;
  for (int c = 0; c < base; ++c)
    p.source[c] = c;
  // The first extra sample is kept when it is alpha (associated or not).
  std::uint16_t extras = 0;
  std::uint16_t* kinds = nullptr;
  if (spp > base && TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extras, &kinds) && extras > 0 &&
      (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA) && !p.lookup) {
    p.source[base] = base;
    p.channels = base + 1;
  }
  return true;
}

// Writes n pixels of the image's row y from column x on into the array:
// their samples lie in src, the whole pixels (or, for a separate plane,
// only that plane's samples).
class Writer {
 public:
  Writer(const Plan& plan, Kex::Array& out, std::uint32_t width, bool separate)
      : m_plan(plan),
        m_out(static_cast<std::uint8_t*>(out.data.get())),
        m_width(width),
        m_size(Kex::dtype_size(out.dtype)),
        m_separate(separate) {}

  // Whether rows of the file are rows of the array as they are.
  bool same_rows() const {
    return !m_separate && !m_plan.lookup && !m_plan.packed && !m_plan.invert &&
           m_plan.samples == m_plan.channels;
  }

  void put(const std::uint8_t* src, std::uint32_t y, std::uint32_t x, std::uint32_t n, int plane) {
    const int channels = m_plan.channels;
    std::uint8_t* dst = m_out + (std::size_t{y} * m_width + x) * channels * m_size;
    if (m_plan.lookup) return put_lookup(src, n, dst);
    if (m_plan.packed) return put_packed(src, n, plane, dst);
    if (same_rows()) {
      std::memcpy(dst, src, std::size_t{n} * channels * m_size);
      return;
    }
    switch (m_size) {
      case 1:
        return put_typed<std::uint8_t>(src, n, plane, dst);
      case 2:
        return put_typed<std::uint16_t>(src, n, plane, dst);
      case 4:
        return put_typed<std::uint32_t>(src, n, plane, dst);
      default:
        return put_typed<std::uint64_t>(src, n, plane, dst);
    }
  }

 private:
  // Samples of sizeof(T) bytes: channel c of pixel j from the file's
  // sample source[c]; white 0 turned round in the grey channel.
  template <typename T>
  void put_typed(const std::uint8_t* src, std::uint32_t n, int plane, std::uint8_t* out) {
    const int channels = m_plan.channels;
    const std::size_t step =
        (m_separate ? 1 : static_cast<std::size_t>(m_plan.samples)) * sizeof(T);
    const std::size_t out_step = static_cast<std::size_t>(channels) * sizeof(T);
    for (int c = 0; c < channels; ++c) {
      const int s = m_plan.source[c];
      if (m_separate && s != plane) continue;
      const std::uint8_t* p = src + (m_separate ? 0 : static_cast<std::size_t>(s) * sizeof(T));
      std::uint8_t* d = out + static_cast<std::size_t>(c) * sizeof(T);
      const T flip = m_plan.invert && c == 0 ? static_cast<T>(~T{0}) : T{0};
      for (std::uint32_t j = 0; j < n; ++j, p += step, d += out_step) {
        T v;
        std::memcpy(&v, p, sizeof v);
        v = static_cast<T>(v ^ flip);
        std::memcpy(d, &v, sizeof v);
      }
    }
  }

  // Samples of 9 to 15 bits, packed without regard to byte boundaries, as
  // 16-bit samples of the same value (white 0 turned round in the grey channel).
  void put_packed(const std::uint8_t* src, std::uint32_t n, int plane, std::uint8_t* out) {
    const unsigned b = m_plan.bits, top = (1u << b) - 1;
    const int channels = m_plan.channels;
    const std::size_t per_pixel = m_separate ? 1 : static_cast<std::size_t>(m_plan.samples);
    for (int c = 0; c < channels; ++c) {
      const int s = m_plan.source[c];
      if (m_separate && s != plane) continue;
      const std::size_t first = m_separate ? 0 : static_cast<std::size_t>(s);
      const bool flip = m_plan.invert && c == 0;
      for (std::uint32_t j = 0; j < n; ++j) {
        unsigned v = io::packed_sample(src, (std::size_t{j} * per_pixel + first) * b, b);
        if (flip) v = top - v;
        const auto w = static_cast<std::uint16_t>(v);
        std::memcpy(out + (std::size_t{j} * channels + c) * 2, &w, 2);
      }
    }
  }

  // Indices or grey levels through the plan's tables: the first sample of
  // each pixel (in a separate plane, each of the plane's samples).
  void put_lookup(const std::uint8_t* src, std::uint32_t n, std::uint8_t* dst) {
    const unsigned b = m_plan.bits;
    const int channels = m_plan.channels;
    const std::size_t per_pixel = m_separate ? 1 : static_cast<std::size_t>(m_plan.samples);
    for (std::uint32_t j = 0; j < n; ++j) {
      const std::size_t bit = std::size_t{j} * per_pixel * b;
      const unsigned v = b == 8 ? src[bit >> 3] : io::packed_sample(src, bit, b);
      for (int c = 0; c < channels; ++c)
        dst[std::size_t{j} * channels + c] = m_plan.table[c][v];
    }
  }

  const Plan& m_plan;
  std::uint8_t* m_out;
  std::uint32_t m_width;
  std::size_t m_size;
  bool m_separate;
};

// Pieces of a large image are decoded on several threads, each through a
// libtiff handle of its own.
constexpr std::uint64_t kParallelBytes = std::uint64_t{1} << 20;

// Reads the image strip by strip or tile by tile into out.
bool read_direct(const io::TiffSource& source, const Plan& plan, Kex::Array& out,
                 std::uint32_t width, std::uint32_t height) {
  TIFF* t = source.get();
  std::uint16_t planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  const bool separate = planar == PLANARCONFIG_SEPARATE && plan.samples > 1;
  Writer w(plan, out, width, separate);
  const std::uint64_t piece_bits =
      std::uint64_t{separate ? 1u : unsigned(plan.samples)} * plan.bits;
  // The planes read: all samples together, or each separate plane a
  // channel takes.
  std::vector<int> planes;
  for (int p = 0; p < (separate ? plan.samples : 1); ++p) {
    bool used = !separate;
    for (int c = 0; c < plan.channels; ++c)
      used = used || plan.source[c] == p;
    if (used) planes.push_back(p);
  }
  io::Decoded done;
  if (TIFFIsTiled(t)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
    const tmsize_t row = TIFFTileRowSize(t), size = TIFFTileSize(t);
    if (tw == 0 || th == 0 || row <= 0 || (tw * piece_bits + 7) / 8 > std::uint64_t(row) ||
        size / th < row) {
      return false;
    }
    done = io::decode_tiles(
        source, width, height, tw, th, size, row, planes.size(),
        [&](std::size_t k) { return planes[k]; }, memory::physical(), kParallelBytes,
        [&](const std::uint8_t* src, std::uint32_t y, std::uint32_t x, std::uint32_t n, int p) {
          w.put(src, y, x, n, p);
        });
  } else {
    std::uint32_t rps = height;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::clamp<std::uint32_t>(rps, 1, height);
    const tmsize_t scan = TIFFScanlineSize(t);
    if (scan <= 0 || (width * piece_bits + 7) / 8 > std::uint64_t(scan)) return false;
    auto* base = static_cast<std::uint8_t*>(out.data.get());
    // Rows as the array holds them are decoded into it, without a buffer.
    const bool direct = w.same_rows();
    const std::uint32_t per_plane = (height - 1) / rps + 1;
    done = io::decode_pieces(
        source, std::size_t{per_plane} * planes.size(),
        direct ? 0 : static_cast<std::uint64_t>(scan) * rps, memory::physical(), kParallelBytes,
        [&](TIFF* h, std::size_t i, std::uint8_t* buf) {
          const int p = planes[i / per_plane];
          const auto y = static_cast<std::uint32_t>(i % per_plane * rps);
          const std::uint32_t rows = std::min(rps, height - y);
          const tmsize_t want = scan * rows;
          const tstrip_t strip = TIFFComputeStrip(h, y, static_cast<tsample_t>(p));
          std::uint8_t* dst = direct ? base + std::size_t{y} * scan : buf;
          if (TIFFReadEncodedStrip(h, strip, dst, want) != want) return false;
          if (!direct) {
            for (std::uint32_t r = 0; r < rows; ++r)
              w.put(buf + r * scan, y + r, 0, width, p);
          }
          return true;
        });
  }
  if (done == io::Decoded::kNoMemory) fail_with(kOutOfMemory);
  return done == io::Decoded::kAll;
}

// Any other image through libtiff's RGBA reader, a band of rows at a time.
bool read_rgba(TIFF* t, Kex::Array& out, std::uint32_t width, std::uint32_t height) {
  int channels = 3;
  std::uint8_t* dst = nullptr;
  return io::read_rgba_bands(
      t, width, height, memory::physical(),
      [&](bool alpha) {
        channels = alpha ? 4 : 3;
        out = make(Dtype::uint8, {height, width, channels});
        dst = static_cast<std::uint8_t*>(out.data.get());
        return true;
      },
      [&](std::uint32_t, std::uint32_t rows, const std::uint32_t* raster) {
        for (std::size_t i = 0, n = std::size_t{rows} * width; i < n; ++i, dst += channels) {
          const std::uint32_t px = raster[i];
          dst[0] = static_cast<std::uint8_t>(TIFFGetR(px));
          dst[1] = static_cast<std::uint8_t>(TIFFGetG(px));
          dst[2] = static_cast<std::uint8_t>(TIFFGetB(px));
          if (channels == 4) dst[3] = static_cast<std::uint8_t>(TIFFGetA(px));
        }
      });
}

}  // namespace

Kex::Array read_tiff(io::ByteReader& in, const std::string& path) {
  if (in.contents() == nullptr || in.size() <= 0) fail_with(kFileIoError);
  io::TiffSource tiff(path.c_str(), in.contents(), static_cast<std::uint64_t>(in.size()),
                      memory::physical());
  TIFF* t = tiff.get();
  if (t == nullptr) fail_with(kUnknownFormat);
  std::uint32_t width = 0, height = 0;
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height) ||
      !io::file_holds(t, tiff.size(), width, height)) {
    fail_with(kFileIoError);
  }
  Kex::Array out;
  Plan plan;
  bool done;
  if (width == 0 || height == 0) {
    out = make(Dtype::uint8, {height, width, 3});
    done = true;
  } else if (make_plan(t, plan)) {
    std::vector<std::int64_t> shape{height, width};
    if (plan.channels > 1) shape.push_back(plan.channels);
    out = make(plan.type, std::move(shape));
    done = read_direct(tiff, plan, out, width, height);
  } else {
    done = read_rgba(t, out, width, height);
  }
  if (!done || tiff.error()) fail_with(kFileIoError);
  return out;
}

}  // namespace kexio::arrays
