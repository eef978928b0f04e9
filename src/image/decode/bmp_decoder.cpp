#include "image/decode/bmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "kexio/host/services.h"

namespace kexio {

namespace {

// Rows are decoded into a band of rows and then written out column by
// column, so that each column of the column-major result receives a long run
// of consecutive elements instead of one element per row.
constexpr std::int64_t kBandBudget = 8 << 20;
constexpr int kMinBand = 8;
constexpr int kMaxBand = 4096;

// Rows per band: a multiple of 8 that keeps the band within the budget,
// fewer for very wide images, and never more than the image has.
int band_rows(std::int64_t width, std::int64_t height, std::int64_t bytes_per_pixel) {
  std::int64_t n = width <= 0 ? kMaxBand : kBandBudget / (width * bytes_per_pixel);
  n = std::clamp<std::int64_t>(n, 1, kMaxBand);
  if (n >= kMinBand) n = n / kMinBand * kMinBand;
  return static_cast<int>(std::min(n, height));
}

// Writes n band rows (band row j is the picture row top + n - 1 - j) into
// the plane's columns at rows top .. top + n - 1. Columns go in groups of
// eight, so that each band row is read in one short contiguous piece while
// eight columns receive consecutive elements.
template <typename T>
void put_columns(Plane plane, const T* band, std::int64_t width, int n, std::int64_t top) {
  constexpr std::int64_t kGroup = 8;
  std::int64_t x0 = 0;
  for (; x0 + kGroup <= width; x0 += kGroup) {
    double* col[kGroup];
    for (std::int64_t j = 0; j < kGroup; ++j)
      col[j] = plane[x0 + j] + top;
    const T* src = band + (n - 1) * width + x0;
    for (int i = 0; i < n; ++i, src -= width) {
      for (std::int64_t j = 0; j < kGroup; ++j)
        col[j][i] = static_cast<double>(src[j]);
    }
  }
  for (std::int64_t x = x0; x < width; ++x) {
    double* col = plane[x] + top;
    const T* src = band + (n - 1) * width + x;
    for (int i = 0; i < n; ++i, src -= width)
      col[i] = static_cast<double>(*src);
  }
}

inline std::uint8_t grey_of(unsigned r, unsigned g, unsigned b) {
  return static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// Bytes of a stored uncompressed row: bits per pixel times width, padded to
// whole 32-bit words.
std::int64_t stored_row_bytes(std::int64_t bits, std::int64_t width) {
  return (bits * width + 31) / 32 * 4;
}

}  // namespace

bmp_decoder::bmp_decoder(const char* path) : m_in(path) {
  m_layout = 1;
  if (read_file_header() == 0 && read_info_header() == 0) read_palette();
  if (status() == 0) check_plausible_size();
  if (status() == 0 && biHeight > 0) {
    std::int64_t w = biWidth;
    allocate_row_buffer(((biBitCount == 24 ? 3 : 1) * w + 3) / 4 * 4);
    if (error == 0 && biCompression == 0 && (biBitCount == 1 || biBitCount == 4)) {
      try {
        m_stored.resize(static_cast<std::size_t>(stored_row_bytes(biBitCount, w)));
      } catch (const std::bad_alloc&) {
        error = kOutOfMemory;
      }
    }
  }
}

int bmp_decoder::status() {
  if (error == 0 && m_in.failed()) error = kFileIoError;
  return error;
}

void bmp_decoder::read_bytes(void* dst, std::size_t n) {
  if (error != 0) return;
  std::size_t got = m_in.read(dst, n);
  if (got < n) {
    // One more attempt for the rest, as a transient failure may allow.
    m_in.clear();
    got += m_in.read(static_cast<unsigned char*>(dst) + got, n - got);
    if (got < n) error = kFileIoError;
  }
}

template <typename T>
void bmp_decoder::read_field(T& field) {
  unsigned char b[sizeof(T)] = {};
  read_bytes(b, sizeof b);
  std::uint64_t v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;)
    v = (v << 8) | b[i];
  field = static_cast<T>(v);
}

int bmp_decoder::read_file_header() {
  read_field(bfType);
  if (bfType != kMagic) {
    error = kBadHeader;
    return status();
  }
  read_field(bfSize);
  reserved_pos = m_in.tell();
  read_field(bfReserved1);
  read_field(bfReserved2);
  offbits_pos = m_in.tell();
  read_field(bfOffBits);
  info_header_pos = m_in.tell();
  return status();
}

int bmp_decoder::read_info_header() {
  read_field(biSize);
  if (biSize == kInfoHeaderSize) {
    read_field(biWidth);
    read_field(biHeight);
    read_field(biPlanes);
    read_field(biBitCount);
    read_field(biCompression);
    read_field(biSizeImage);
    read_field(biXPelsPerMeter);
    read_field(biYPelsPerMeter);
    read_field(biClrUsed);
    read_field(biClrImportant);
    if (error != 0) return status();
    if (biClrUsed == 0) {
      // A stated palette length is taken as it stands; only a missing one
      // comes from the depth.
      int colours = colours_for_depth(biBitCount);
      biClrImportant = 0;
      if (colours < 0) {
        error = kBadHeader;
      } else {
        biClrUsed = static_cast<std::uint32_t>(colours);
      }
    }
  } else if (biSize == kCoreHeaderSize) {
    std::uint16_t w = 0, h = 0;
    read_field(w);
    read_field(h);
    read_field(biPlanes);
    read_field(biBitCount);
    if (error != 0) return status();
    biWidth = w;
    biHeight = h;
    m_os2 = true;
    int colours = colours_for_depth(biBitCount);
    if (colours < 0) {
      error = kBadHeader;
    } else {
      biClrUsed = static_cast<std::uint32_t>(colours);
    }
  } else {
    error = kBadHeader;
  }
  palette_pos = m_in.tell();
  return status();
}

int bmp_decoder::read_palette() {
  // The palette's byte length is kept to 16 bits, as the format's readers
  // have always done; a palette length beyond that wraps around.
  std::uint32_t bytes = (4u * biClrUsed) & 0xFFFFu;
  if (bytes != 0) {
    try {
      palette.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      error = kOutOfMemory;
      return error;
    }
    if (m_os2) {
      // Three-byte entries, widened in place from the last one down.
      std::size_t entries = biClrUsed;
      read_bytes(palette.data(), 3 * entries);
      for (std::size_t i = entries; i-- > 0;) {
        std::uint8_t b = palette[3 * i], g = palette[3 * i + 1], r = palette[3 * i + 2];
        palette[4 * i] = b;
        palette[4 * i + 1] = g;
        palette[4 * i + 2] = r;
        palette[4 * i + 3] = 0;
      }
    } else {
      read_bytes(palette.data(), bytes);
    }
  }
  biSize = kInfoHeaderSize;
  pixel_data_pos = m_in.tell();
  // Lookup tables for every byte value a row can hold; entries the file
  // does not provide stay black.
  std::size_t entries = std::min<std::size_t>(palette.size() / 4, m_colour.size());
  for (std::size_t i = 0; i < entries; ++i) {
    Rgb c{palette[4 * i + 2], palette[4 * i + 1], palette[4 * i]};
    m_colour[i] = c;
    m_grey[i] = grey_of(c.r, c.g, c.b);
  }
  return status();
}

// Refuses, before anything is sized from them, dimensions that the file
// cannot hold: negative ones (top-down rows are not supported), an unknown
// compression, and more pixel rows than the bytes after the palette can
// encode. A truncated file would fail while it is read anyway; failing here
// keeps a forged header from making the reader allocate a huge result.
void bmp_decoder::check_plausible_size() {
  if (biWidth < 0 || biHeight < 0) {
    error = kUnknownFormat;
    return;
  }
  std::int64_t w = biWidth, h = biHeight;
  if (h == 0) return;
  std::int64_t avail = std::max<std::int64_t>(0, m_in.size() - pixel_data_pos);
  switch (biCompression) {
    case 0: {
      std::int64_t stride = stored_row_bytes(std::max<int>(biBitCount, 1), w);
      if (stride > avail / h) error = kFileIoError;
      break;
    }
    case 1:
    case 2:
      // Every row ends with a two-byte code, and two bytes encode at most
      // 255 pixels.
      if (h > avail / 2 || (w > 0 && h > avail * 128 / w)) error = kFileIoError;
      break;
    default:
      error = kBadCompression;
      break;
  }
}

int bmp_decoder::read_row() {
  if (error != 0) return status();
  switch (biCompression) {
    case 0:
      return read_uncompressed_row();
    case 1:
      return read_rle_row(false);
    case 2:
      return read_rle_row(true);
    default:
      error = kBadCompression;
      return status();
  }
}

int bmp_decoder::read_uncompressed_row() {
  std::int64_t w = biWidth;
  switch (biBitCount) {
    case 8:
    case 24: {
      // The stored row, padding included, is exactly the row buffer.
      std::int64_t stride = stored_row_bytes(biBitCount, w);
      if (unsigned char* p = row_span(0, stride)) read_bytes(p, static_cast<std::size_t>(stride));
      break;
    }
    case 1: {
      read_bytes(m_stored.data(), m_stored.size());
      unsigned char* p = row_span(0, w);
      if (p == nullptr || error != 0) break;
      for (std::int64_t x = 0; x < w; ++x)
        p[x] = (m_stored[x >> 3] >> (7 - (x & 7))) & 1;
      break;
    }
    case 4: {
      read_bytes(m_stored.data(), m_stored.size());
      std::int64_t pairs = (w + 1) / 2;
      unsigned char* p = row_span(0, 2 * pairs);
      if (p == nullptr || error != 0) break;
      for (std::int64_t i = 0; i < pairs; ++i) {
        p[2 * i] = m_stored[i] >> 4;
        p[2 * i + 1] = m_stored[i] & 15;
      }
      break;
    }
    default:
      break;  // an unsupported depth reads nothing
  }
  return status();
}

int bmp_decoder::read_rle_row(bool four_bit) {
  const std::int64_t w = biWidth;
  unsigned char* out = row_span(0, w);
  if (out == nullptr) return status();
  std::int64_t pos = 0;
  auto next = [&]() -> int {
    if (error != 0) return -1;
    int c = m_in.get();
    if (c < 0) {
      m_in.clear();
      c = m_in.get();
      if (c < 0) error = kFileIoError;
    }
    return c;
  };
  auto put = [&](int v) {
    if (pos < w) out[pos] = static_cast<unsigned char>(v);
    ++pos;
  };
  for (;;) {
    int count = next();
    int second = next();
    if (second < 0) break;
    if (count > 0) {
      if (four_bit) {
        for (int i = 0; i < count; ++i)
          put(i & 1 ? second & 15 : second >> 4);
      } else if (pos < w) {
        std::int64_t n = std::min<std::int64_t>(count, w - pos);
        std::memset(out + pos, second, static_cast<std::size_t>(n));
        pos += count;
      }
    } else if (second == 0) {
      break;  // end of row
    } else if (second == 1) {
      error = kRleEndOfBitmap;
      break;
    } else if (second == 2) {
      error = kUnknownFormat;  // position jumps are not supported
      break;
    } else {
      // An absolute run of `second` pixels, padded to an even byte count.
      int bytes = four_bit ? (second + 1) / 2 : second;
      for (int i = 0; i < bytes; ++i) {
        int v = next();
        if (v < 0) break;
        if (four_bit) {
          put(v >> 4);
          if (2 * i + 1 < second) put(v & 15);
        } else {
          put(v);
        }
      }
      if (bytes & 1) next();
      if (error != 0) break;
    }
  }
  return status();
}

template <typename Step>
int bmp_decoder::read_rows(Step& step) {
  m_in.seek(pixel_data_pos);
  if (status() != 0) return kReadFailure + status();
  // Uncompressed rows of no pixels take no bytes: there is nothing to read,
  // however many the header states.
  if (biCompression == 0 && biWidth == 0) return 0;
  int slot = 0;
  std::int64_t last = biHeight;  // picture row of the last decoded row
  for (std::int64_t r = std::int64_t{biHeight} - 1; r >= 0; --r) {
    if (status() != 0 || read_row() != 0) break;
    step.convert(slot);
    last = r;
    if (++slot == step.band) {
      step.flush(last, slot);
      slot = 0;
    }
  }
  if (slot > 0) step.flush(last, slot);
  return 0;
}

int bmp_decoder::read_gray(KexCallContext*, Plane grey) {
  struct Step {
    bmp_decoder& d;
    Plane plane;
    std::int64_t w;
    int band;
    std::vector<std::uint8_t> buf;
    void convert(int slot) {
      std::uint8_t* dst = buf.data() + slot * w;
      if (d.indexed()) {
        const unsigned char* idx = d.row_span(0, w);
        if (idx == nullptr) return;
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = d.m_grey[idx[x]];
      } else if (d.biBitCount == 24) {
        const unsigned char* p = d.row_span(0, 3 * w);
        if (p == nullptr) return;
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = grey_of(p[3 * x + 2], p[3 * x + 1], p[3 * x]);
      } else {
        std::fill_n(dst, w, std::uint8_t{0});  // no grey levels to give
      }
    }
    void flush(std::int64_t top, int n) {
      if (plane != nullptr) put_columns(plane, buf.data(), w, n, top);
    }
  };
  Step step{*this, grey, biWidth, band_rows(biWidth, biHeight, 1), {}};
  try {
    step.buf.resize(static_cast<std::size_t>(step.band * step.w));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  int r = read_rows(step);
  return r != 0 ? r : status();
}

int bmp_decoder::read_rgb(KexCallContext*, Plane red, Plane green, Plane blue) {
  if (!supported_depth()) return kReadFailure + kBadHeader;
  struct Step {
    bmp_decoder& d;
    Plane planes[3];
    std::int64_t w;
    int band;
    std::vector<std::uint8_t> buf[3];
    void convert(int slot) {
      std::int64_t n = d.indexed() ? w : 3 * w;
      const unsigned char* p = d.row_span(0, n);
      if (p == nullptr) return;
      for (int k = 0; k < 3; ++k) {
        if (planes[k] == nullptr) continue;
        std::uint8_t* dst = buf[k].data() + slot * w;
        if (d.indexed()) {
          for (std::int64_t x = 0; x < w; ++x) {
            const Rgb& c = d.m_colour[p[x]];
            dst[x] = k == 0 ? c.r : k == 1 ? c.g : c.b;
          }
        } else {
          // Stored order is blue, green, red.
          const unsigned char* s = p + (2 - k);
          for (std::int64_t x = 0; x < w; ++x)
            dst[x] = s[3 * x];
        }
      }
    }
    void flush(std::int64_t top, int n) {
      for (int k = 0; k < 3; ++k) {
        if (planes[k] != nullptr) put_columns(planes[k], buf[k].data(), w, n, top);
      }
    }
  };
  int asked = (red != nullptr) + (green != nullptr) + (blue != nullptr);
  Step step{
      *this, {red, green, blue}, biWidth, band_rows(biWidth, biHeight, std::max(asked, 1)), {}};
  try {
    for (int k = 0; k < 3; ++k) {
      if (step.planes[k] != nullptr)
        step.buf[k].resize(static_cast<std::size_t>(step.band * step.w));
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  int r = read_rows(step);
  if (r != 0) return r;
  return status() == 0 ? 0 : kReadFailure + status();
}

namespace {

// The three components of every palette index, computed once per read.
struct IndexedComponents {
  double c[256][3];
};

}  // namespace

template <typename Conv>
int bmp_decoder::read_colour_space(Plane a, Plane b, Plane c) {
  if (!supported_depth()) return kReadFailure + kBadHeader;
  struct Step {
    bmp_decoder& d;
    Plane planes[3];
    std::int64_t w;
    int band;
    std::vector<double> buf[3];
    std::unique_ptr<IndexedComponents> table;
    void convert(int slot) {
      std::int64_t n = d.indexed() ? w : 3 * w;
      const unsigned char* p = d.row_span(0, n);
      if (p == nullptr) return;
      double* dst[3];
      for (int k = 0; k < 3; ++k) {
        dst[k] = planes[k] != nullptr ? buf[k].data() + slot * w : nullptr;
      }
      if (d.indexed()) {
        for (int k = 0; k < 3; ++k) {
          if (dst[k] == nullptr) continue;
          for (std::int64_t x = 0; x < w; ++x)
            dst[k][x] = table->c[p[x]][k];
        }
      } else {
        for (std::int64_t x = 0; x < w; ++x) {
          Conv::convert(p[3 * x + 2], p[3 * x + 1], p[3 * x], dst[0] ? dst[0] + x : nullptr,
                        dst[1] ? dst[1] + x : nullptr, dst[2] ? dst[2] + x : nullptr);
        }
      }
    }
    void flush(std::int64_t top, int n) {
      for (int k = 0; k < 3; ++k) {
        if (planes[k] != nullptr) put_columns(planes[k], buf[k].data(), w, n, top);
      }
    }
  };
  int asked = (a != nullptr) + (b != nullptr) + (c != nullptr);
  Step step{*this, {a, b, c}, biWidth, band_rows(biWidth, biHeight, 8 * std::max(asked, 1)),
            {},    nullptr};
  try {
    for (int k = 0; k < 3; ++k) {
      if (step.planes[k] != nullptr)
        step.buf[k].resize(static_cast<std::size_t>(step.band * step.w));
    }
    if (indexed()) step.table = std::make_unique<IndexedComponents>();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (indexed()) {
    for (int i = 0; i < 256; ++i) {
      const Rgb& col = m_colour[i];
      double* t = step.table->c[i];
      Conv::convert(col.r, col.g, col.b, &t[0], &t[1], &t[2]);
    }
  }
  int r = read_rows(step);
  if (r != 0) return r;
  return status() == 0 ? 0 : kReadFailure + status();
}

namespace {
struct ToHls {
  static void convert(unsigned char r, unsigned char g, unsigned char b, double* h, double* l,
                      double* s) {
    Kex::RGB_TO_HLS(r, g, b, h, l, s);
  }
};
struct ToHsv {
  static void convert(unsigned char r, unsigned char g, unsigned char b, double* h, double* s,
                      double* v) {
    Kex::RGB_TO_HSV(r, g, b, h, s, v);
  }
};
}  // namespace

int bmp_decoder::read_hls(KexCallContext*, Plane hue, Plane light, Plane sat) {
  return read_colour_space<ToHls>(hue, light, sat);
}

int bmp_decoder::read_hsv(KexCallContext*, Plane hue, Plane sat, Plane value) {
  return read_colour_space<ToHsv>(hue, sat, value);
}

}  // namespace kexio
