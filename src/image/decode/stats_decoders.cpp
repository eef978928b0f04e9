#include "image/decode/stats_decoders.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "host/loader.h"
#include "image/decode/plane_writer.h"
#include "io/stream.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

using ReadGrey = int (*)(std::FILE*, void*, _univ_mat*);
using ReadSet = int (*)(std::FILE*, void*, _univ_mat_set*);
using ReadTiff = int (*)(const char*, void*, _univ_mat_set*);
using FreeMatrix = void (*)(_univ_mat*);
using FreeSet = void (*)(_univ_mat_set*);

// The library's entry points, bound on first use and shared by the three
// decoders.
constexpr const char* kLibrary = "kexstatscir.dll";
HostEntry<ReadGrey> g_read_pgm(kLibrary, "imguniv_read_pgm");
HostEntry<FreeMatrix> g_matuniv_free(kLibrary, "matuniv_free");
HostEntry<ReadSet> g_read_ppm(kLibrary, "imgset_read_ppm");
HostEntry<ReadTiff> g_read_tiff(kLibrary, "imgset_read_tiff");
HostEntry<FreeSet> g_matset_free(kLibrary, "matset_free");
HostEntry<FreeSet> g_matset_free_matrices(kLibrary, "matset_free_matrices");

bool have_set_freeing() {
  return g_matset_free.get() != nullptr && g_matset_free_matrices.get() != nullptr;
}

ssize_t read_from_reader(void* cookie, char* buf, std::size_t n) {
  auto* in = static_cast<io::ByteReader*>(cookie);
  std::size_t got = in->read(buf, n);
  return got == 0 && in->io_error() ? -1 : static_cast<ssize_t>(got);
}

// A C stream over what the reader reads, from the start: the open file
// itself when it is a regular file (so the library can map it), else the
// bytes the reader delivers. Null when no stream can be made.
io::Stream stream_of(io::ByteReader& in) {
  if (in.fd() >= 0 && in.contents() != nullptr) {
    io::Stream f = io::stream_over(in.fd(), "rb");
    if (f && fseeko(f.get(), 0, SEEK_SET) != 0) f.reset();
    return f;
  }
  return io::Stream(fopencookie(&in, "rb", {read_from_reader, nullptr, nullptr, nullptr}));
}

// Runs one of the statistics library's readers over the file: kUnknownFormat
// when the library lacks the reader or its freeing function, kFileNotFound
// when the file cannot be had as a stream, kFileIoError when the reader fails.
template <typename Read, typename Out>
int run_reader(Read read, bool can_free, io::ByteReader& in, KexCallContext* ctx, Out* out) {
  if (read == nullptr || !can_free) return kUnknownFormat;
  io::Stream f = stream_of(in);
  if (!f) return kFileNotFound;
  return read(f.get(), ctx, out) != 0 ? kFileIoError : 0;
}

// Whether m is a matrix whose samples can be read: a sensible shape, and
// samples when it has any.
bool usable(const _univ_mat& m) {
  return m.rows >= 0 && m.cols >= 0 && (m.data != nullptr || m.rows == 0 || m.cols == 0);
}

// Calls f with std::type_identity of the sample type of a type code; false
// for a code the decoders do not read.
template <typename F>
bool with_sample_type(std::int32_t type, F&& f) {
  switch (type) {
    case MUTIL_UINT8:
      f(std::type_identity<std::uint8_t>{});
      return true;
    case MUTIL_UINT16:
      f(std::type_identity<std::uint16_t>{});
      return true;
    case MUTIL_UINT32:
      f(std::type_identity<std::uint32_t>{});
      return true;
    case MUTIL_SINT8:
      f(std::type_identity<std::int8_t>{});
      return true;
    case MUTIL_SINT16:
      f(std::type_identity<std::int16_t>{});
      return true;
    case MUTIL_SINT32:
      f(std::type_identity<std::int32_t>{});
      return true;
    case MUTIL_DOUBLE:
      f(std::type_identity<double>{});
      return true;
    default:
      return false;
  }
}

template <typename T>
const T* samples(const _univ_mat& m) {
  return static_cast<const T*>(m.data);
}

// The byte a sample gives the colour-space conversions: the low eight bits
// of an integer; a floating-point sample is truncated toward zero first (NaN
// and values beyond 64-bit integers give 0).
template <typename T>
std::uint8_t low_byte(T v) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<std::uint8_t>(v);
  } else {
    if (!(std::fabs(v) < 9223372036854775807.0)) return 0;
    return static_cast<std::uint8_t>(static_cast<std::int64_t>(v));
  }
}

// The grey level of a colour: 0.299 R + 0.587 G + 0.114 B, rounded to the
// nearest integer and capped at the largest sample for integer samples.
template <typename T>
double grey_level(T r, T g, T b) {
  const double l = 0.299 * r + 0.587 * g + 0.114 * b;
  if constexpr (std::is_integral_v<T>) {
    constexpr double top = std::numeric_limits<T>::max();
    return l >= top ? top : std::floor(l + 0.5);
  } else {
    return l;
  }
}

// Rows per band: about 2 MB of doubles per plane, at most 64 rows.
std::int64_t band_rows(std::int64_t width) {
  return std::clamp<std::int64_t>((std::int64_t{2} << 20) / 8 / std::max<std::int64_t>(width, 1), 1,
                                  64);
}

// Copies rows × width samples (row r at src + r * stride) into the plane's
// columns.
template <typename T>
void copy_block(Plane plane, const T* src, std::int64_t stride, std::int64_t width,
                std::int64_t rows) {
  if (plane == nullptr || width <= 0) return;
  scatter_rows(plane, src, static_cast<std::ptrdiff_t>(stride), width, rows, 0);
}

// Fills the planes that are asked for with values computed per pixel:
// pixel(r, x, v) stores the three values of pixel (r, x) in v. They gather
// in bands that then go to the columns. 0, or kOutOfMemory.
template <typename Pixel>
int compute_planes(const Plane (&planes)[3], std::int64_t width, std::int64_t rows, Pixel pixel) {
  if (width <= 0 || rows <= 0) return 0;
  const std::int64_t band = band_rows(width);
  std::vector<double> values[3];
  try {
    for (int k = 0; k < 3; ++k) {
      if (planes[k] != nullptr) values[k].resize(static_cast<std::size_t>(band * width));
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  double scratch[3];
  for (std::int64_t top = 0; top < rows; top += band) {
    const std::int64_t n = std::min(band, rows - top);
    for (std::int64_t r = 0; r < n; ++r) {
      for (std::int64_t x = 0; x < width; ++x) {
        pixel(top + r, x, scratch);
        for (int k = 0; k < 3; ++k) {
          if (planes[k] != nullptr) values[k][static_cast<std::size_t>(r * width + x)] = scratch[k];
        }
      }
    }
    for (int k = 0; k < 3; ++k) {
      if (planes[k] != nullptr) {
        scatter_rows(planes[k], values[k].data(), static_cast<std::ptrdiff_t>(width), width,
                     static_cast<int>(n), top);
      }
    }
  }
  return 0;
}

// The hue, lightness and saturation (or hue, saturation and value) of a
// colour given as bytes.
void colour_space(bool hls, std::uint8_t r, std::uint8_t g, std::uint8_t b, double* v) {
  if (hls) {
    Kex::RGB_TO_HLS(r, g, b, &v[0], &v[1], &v[2]);
  } else {
    Kex::RGB_TO_HSV(r, g, b, &v[0], &v[1], &v[2]);
  }
}

int sniff_ppm(const Lead& lead, io::ByteReader&) {
  return lead.first == 'P' && (lead.number == 3 || lead.number == 6) ? 0 : kUnknownFormat;
}

int sniff_tiff(const Lead& lead, io::ByteReader&) {
  return lead.first == 'I' || lead.first == 'M' ? 0 : kUnknownFormat;
}

// The size of a sample of a type the sinks take: 1 or 2 bytes, else 0.
int sink_sample_bytes(std::int32_t type) {
  return type == MUTIL_UINT8 ? 1 : type == MUTIL_UINT16 ? 2 : 0;
}

}  // namespace

// The PGM sniffer takes every "P" file the PPM one before it leaves.
const DecoderFormat kPgmFormat = {"pgm", nullptr, sniff_first_byte<'P'>,
                                  make_hosted_decoder<PgmDecoder>};
const DecoderFormat kPpmFormat = {"ppm", nullptr, sniff_ppm, make_hosted_decoder<PpmDecoder>};
const DecoderFormat kTiffFormat = {"tiff", nullptr, sniff_tiff, make_hosted_decoder<TifDecoder>};

int LibraryDecoder::read_planes(PixelOp op, Plane a, Plane b, Plane c) {
  switch (op) {
    case PixelOp::kGray:
      return read_gray(a);
    case PixelOp::kRgb:
      return read_rgb(a, b, c);
    case PixelOp::kHls:
      return read_colour_space(true, a, b, c);
    case PixelOp::kHsv:
      return read_colour_space(false, a, b, c);
  }
  return kUnknownFormat;
}

// ---------------------------------------------------------------------------
// PGM

PgmDecoder::PgmDecoder(KexCallContext* ctx, io::ByteReader in, const std::string&) {
  m_status = run_reader(g_read_pgm.get(), g_matuniv_free.get() != nullptr, in, ctx, &m_image);
  if (m_status == 0 && !usable(m_image)) m_status = kFileIoError;
  if (m_status != 0) return;
  width = m_image.cols;
  height = m_image.rows;
}

PgmDecoder::~PgmDecoder() {
  if (m_image.data != nullptr) g_matuniv_free.get()(&m_image);
}

// A read operation's result: 12 for an unknown sample type, else what end()
// reports, as a failure found while reading.
int PgmDecoder::finish(int code) {
  if (code != 0) return code;
  const int s = status();
  return s != 0 ? kReadFailure + s : 0;
}

int PgmDecoder::read_gray(Plane grey) {
  if (m_image.type == MUTIL_DOUBLE) return kUnknownFormat;
  int code = 0;
  bool known = with_sample_type(m_image.type, [&](auto type) {
    using T = typename decltype(type)::type;
    const T* s = samples<T>(m_image);
    if constexpr (std::is_same_v<T, std::uint8_t>) {
      copy_block(grey, s, width, width, height);
    } else {
      const Plane planes[3] = {grey, nullptr, nullptr};
      code = compute_planes(planes, width, height, [&](std::int64_t r, std::int64_t x, double* v) {
        v[0] = (1000.0 * s[r * width + x] + 500.0) * 0.001;
      });
    }
  });
  return finish(known ? code : kUnknownFormat);
}

int PgmDecoder::read_rgb(Plane red, Plane green, Plane blue) {
  if (m_image.type == MUTIL_DOUBLE) return kUnknownFormat;
  bool known = with_sample_type(m_image.type, [&](auto type) {
    for (Plane plane : {red, green, blue})
      copy_block(plane, samples<typename decltype(type)::type>(m_image), width, width, height);
  });
  return finish(known ? 0 : kUnknownFormat);
}

int PgmDecoder::read_colour_space(bool hls, Plane a, Plane b, Plane c) {
  if (m_image.type == MUTIL_DOUBLE) return kUnknownFormat;
  int code = 0;
  bool known = with_sample_type(m_image.type, [&](auto type) {
    const auto* s = samples<typename decltype(type)::type>(m_image);
    code = compute_planes({a, b, c}, width, height, [&](std::int64_t r, std::int64_t x, double* v) {
      const std::uint8_t byte = low_byte(s[r * width + x]);
      colour_space(hls, byte, byte, byte, v);
    });
  });
  return finish(known ? code : kUnknownFormat);
}

// The matrix's rows as they lie.
int PgmDecoder::decode(ImageSink& out) {
  const int bytes = sink_sample_bytes(m_image.type);
  if (bytes == 0) return kUnknownFormat;
  if (width > 0 && height > 0) {
    out.rows(static_cast<const std::uint8_t*>(m_image.data), std::ptrdiff_t{width} * bytes, height,
             PixelLayout::grey(bytes == 2 ? SampleType::kU16 : SampleType::kU8));
  }
  return finish(0);
}

// ---------------------------------------------------------------------------
// Sets: PPM and TIFF

SetDecoder::~SetDecoder() {
  if (m_set.mats != nullptr && have_set_freeing()) {
    g_matset_free_matrices.get()(&m_set);
    g_matset_free.get()(&m_set);
  }
}

void SetDecoder::take_set(int needed) {
  width = height = -1;
  if (m_set.mats == nullptr || m_set.count < 1) {
    m_status = kUnknownFormat;
    return;
  }
  const _univ_mat& first = m_set.mats[0];
  width = first.cols;
  height = first.rows;
  if (needed == 1 && m_set.count == 1) {
    m_layout = 4;
  } else if (m_set.count < 3 || (needed == 1 && m_set.count != 3)) {
    m_status = kUnknownFormat;
    return;
  }
  for (int k = 0; k < (m_layout == 4 ? 1 : 3); ++k) {
    const _univ_mat& m = m_set.mats[k];
    if (!usable(m) || m.rows != first.rows || m.cols != first.cols || m.type != first.type) {
      m_status = kUnknownFormat;
      return;
    }
  }
}

int SetDecoder::read_gray(Plane grey) {
  if (m_status != 0) return m_status;
  int code = 0;
  bool known = with_sample_type(m_set.mats[0].type, [&](auto type) {
    using T = typename decltype(type)::type;
    if (m_layout == 4) {
      copy_block(grey, samples<T>(m_set.mats[0]), width, width, height);
      return;
    }
    const T *r = samples<T>(m_set.mats[0]), *g = samples<T>(m_set.mats[1]),
            *b = samples<T>(m_set.mats[2]);
    code = compute_planes({grey, nullptr, nullptr}, width, height,
                          [&](std::int64_t y, std::int64_t x, double* v) {
                            const std::int64_t i = y * width + x;
                            v[0] = grey_level(r[i], g[i], b[i]);
                          });
  });
  return known ? code : kUnknownFormat;
}

int SetDecoder::read_rgb(Plane red, Plane green, Plane blue) {
  if (m_status != 0) return m_status;
  bool known = with_sample_type(m_set.mats[0].type, [&](auto type) {
    using T = typename decltype(type)::type;
    if (m_layout == 4) {
      copy_block(red, samples<T>(m_set.mats[0]), width, width, height);
      return;
    }
    const Plane planes[3] = {red, green, blue};
    for (int k = 0; k < 3; ++k)
      copy_block(planes[k], samples<T>(m_set.mats[k]), width, width, height);
  });
  return known ? 0 : kUnknownFormat;
}

int SetDecoder::read_colour_space(bool hls, Plane a, Plane b, Plane c) {
  if (m_status != 0) return m_status;
  int code = 0;
  bool known = with_sample_type(m_set.mats[0].type, [&](auto type) {
    using T = typename decltype(type)::type;
    // Three matrices, or one whose thirds are the red, green and blue planes.
    const bool packed = m_layout == 4;
    const std::int64_t w = packed ? width / 3 : width;
    const T* r = samples<T>(m_set.mats[0]);
    const T* g = packed ? r + w : samples<T>(m_set.mats[1]);
    const T* bl = packed ? r + 2 * w : samples<T>(m_set.mats[2]);
    code = compute_planes({a, b, c}, w, height, [&](std::int64_t y, std::int64_t x, double* v) {
      const std::int64_t i = y * width + x;
      colour_space(hls, low_byte(r[i]), low_byte(g[i]), low_byte(bl[i]), v);
    });
  });
  return known ? code : kUnknownFormat;
}

// A packed matrix's rows as they lie (its thirds red, green and blue);
// three matrices interleaved a row at a time.
int SetDecoder::decode(ImageSink& out) {
  if (m_status != 0) return m_status;
  const int bytes = sink_sample_bytes(m_set.mats[0].type);
  if (bytes == 0) return kUnknownFormat;
  const SampleType t = bytes == 2 ? SampleType::kU16 : SampleType::kU8;
  if (width <= 0 || height <= 0) return 0;
  const std::ptrdiff_t stride = std::ptrdiff_t{width} * bytes;
  if (m_layout == 4) {
    const int w = width / 3;
    out.rows(static_cast<const std::uint8_t*>(m_set.mats[0].data), stride, height,
             PixelLayout::rgb(1, 0, w, 2 * w, t));
    return 0;
  }
  std::vector<std::uint8_t> row;
  try {
    row.resize(3 * static_cast<std::size_t>(stride));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  for (std::ptrdiff_t y = 0; y < height; ++y) {
    for (int k = 0; k < 3; ++k) {
      const auto* plane = static_cast<const std::uint8_t*>(m_set.mats[k].data) + y * stride;
      for (std::ptrdiff_t x = 0; x < width; ++x)
        std::memcpy(&row[static_cast<std::size_t>((3 * x + k) * bytes)], plane + x * bytes,
                    static_cast<std::size_t>(bytes));
    }
    out.row(row.data(), PixelLayout::rgb(3, 0, 1, 2, t));
  }
  return 0;
}

PpmDecoder::PpmDecoder(KexCallContext* ctx, io::ByteReader in, const std::string&) {
  m_status = run_reader(g_read_ppm.get(), have_set_freeing(), in, ctx, &m_set);
  if (m_status != 0) return;
  take_set(3);
}

TifDecoder::TifDecoder(KexCallContext* ctx, io::ByteReader in, const std::string& path) {
  // The library opens the file by its name.
  in = io::ByteReader();
  ReadTiff read = g_read_tiff.get();
  if (read == nullptr || !have_set_freeing()) {
    m_status = kUnknownFormat;
    return;
  }
  if (int r = read(path.c_str(), ctx, &m_set)) {
    m_status = kFileIoError;
    if (r == 2) m_detail = ends_in_image_data(m_set.reserved[0], m_set.reserved[1]);
    return;
  }
  take_set(1);
}

}  // namespace kexio
