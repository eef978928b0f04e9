#include "image/decode/bmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "kexio/host/services.h"

namespace kexio {

namespace {

// Bytes of a stored uncompressed row: bits per pixel times width, padded to
// whole 32-bit words.
std::int64_t stored_row_bytes(std::int64_t bits, std::int64_t width) {
  return (bits * width + 31) / 32 * 4;
}

}  // namespace

bmp_decoder::bmp_decoder(io::ByteReader in) : m_in(std::move(in)) {
  m_layout = 1;
  if (read_file_header() == 0 && read_info_header() == 0) read_palette();
  if (status() == 0) check_plausible_size();
}

int bmp_decoder::status() {
  if (error == 0 && m_in.failed()) error = kFileIoError;
  return error;
}

void bmp_decoder::read_bytes(void* dst, std::size_t n) {
  if (error != 0) return;
  if (m_in.read(dst, n) < n) error = kFileIoError;
}

// A little-endian field. A field cut short by the end of the file keeps the
// bytes that were there (the rest 0), and the status records the failure.
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
    if (status() != 0) return status();
  }
  biSize = kInfoHeaderSize;
  pixel_data_pos = m_in.tell();
  // Indices past the entries the file provides are black.
  std::size_t entries = std::min<std::size_t>(palette.size() / 4, 256);
  m_colours.resize(entries);
  for (std::size_t i = 0; i < entries; ++i)
    m_colours[i] = Rgb{palette[4 * i + 2], palette[4 * i + 1], palette[4 * i]};
  return status();
}

// Refuses, before anything is sized from them, dimensions that the file
// cannot hold: negative ones (top-down rows are not supported), an unknown
// compression, and more pixel rows than the bytes after the palette can
// encode. A truncated file would fail while it is read anyway; failing here
// keeps a forged header from making the reader allocate a huge result. A
// run-length row may end after any number of pixels, so only its two-byte
// end code bounds the height; the width is bounded by the result, which the
// reading function checks before the row buffer is allocated.
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
      if (h > avail / 2) error = kFileIoError;
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
  const std::int64_t w = biWidth;
  const auto stride = static_cast<std::size_t>(stored_row_bytes(biBitCount, w));
  switch (biBitCount) {
    case 8:
    case 24:
      // The stored row, padding included, is used where it lies.
      m_row = m_in.take(stride);
      break;
    case 1: {
      const std::uint8_t* s = m_in.take(stride);
      unsigned char* p = row_span(0, w);
      if (s == nullptr || p == nullptr) break;
      for (std::int64_t x = 0; x < w; ++x)
        p[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
      m_row = p;
      break;
    }
    case 4: {
      const std::uint8_t* s = m_in.take(stride);
      std::int64_t pairs = (w + 1) / 2;
      unsigned char* p = row_span(0, 2 * pairs);
      if (s == nullptr || p == nullptr) break;
      for (std::int64_t i = 0; i < pairs; ++i) {
        p[2 * i] = s[i] >> 4;
        p[2 * i + 1] = s[i] & 15;
      }
      m_row = p;
      break;
    }
    default:
      break;  // an unsupported depth reads nothing
  }
  return status();
}

int bmp_decoder::read_rle_row(bool four_bit) {
  const std::int64_t w = biWidth;
  // The buffer keeps the previous row's pixels where a row ends early.
  unsigned char* out = row_span(0, w);
  if (out == nullptr) return status();
  m_row = out;
  std::int64_t pos = 0;
  auto next = [&]() -> int {
    if (error != 0) return -1;
    int c = m_in.get();
    if (c < 0) error = kFileIoError;
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

// Rows are stored bottom-up. Grey levels of a depth without colours are 0;
// the colour operations refuse such a depth. The grey operation returns the
// status as it is, the others add kReadFailure to it.
int bmp_decoder::decode(PlaneWriter& out) {
  const bool grey = out.op() == PixelOp::kGray;
  if (!grey && !supported_depth()) return kReadFailure + kBadHeader;
  out.set_palette(m_colours.data(), m_colours.size());
  std::vector<std::uint8_t> zeros;
  if (!supported_depth()) {
    try {
      zeros.assign(static_cast<std::size_t>(std::max(biWidth, 0)), 0);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
  }
  // Decoded rows of run-length and 1- or 4-bit files; uncompressed 8- and
  // 24-bit rows are used where they lie in the file.
  const std::int64_t w = biWidth;
  if (biHeight > 0 && allocate_row_buffer(((biBitCount == 24 ? 3 : 1) * w + 3) / 4 * 4) != 0) {
    return error;
  }
  if (!m_in.seek(pixel_data_pos) || status() != 0) return kReadFailure + status();
  // Uncompressed rows of no pixels take no bytes: there is nothing to read,
  // however many the header states.
  if (biCompression == 0 && biWidth == 0) return 0;
  for (std::int64_t r = biHeight; r > 0; --r) {
    if (status() != 0 || read_row() != 0) break;
    if (!supported_depth()) {
      out.grey_row(zeros.data());
    } else if (indexed()) {
      out.indexed_row(m_row);
    } else {
      out.rgb_row(m_row, 3, 2, 1, 0);  // stored blue, green, red
    }
  }
  if (grey) return status();
  return status() == 0 ? 0 : kReadFailure + status();
}

}  // namespace kexio
