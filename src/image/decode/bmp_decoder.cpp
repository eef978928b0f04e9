#include "image/decode/bmp_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "io/endian.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

// Bytes of a stored uncompressed row: bits per pixel times width, padded to
// whole 32-bit words.
std::int64_t stored_row_bytes(std::int64_t bits, std::int64_t width) {
  return (bits * width + 31) / 32 * 4;
}

// Compression methods beyond run-length: colour bit fields, with or without
// an alpha field.
constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kAlphaBitFields = 6;

// Information headers past the 40-byte one: Windows headers of 52, 56, 108
// and 124 bytes, and OS/2 2.x headers of 16 to 64 bytes. Their first 40
// bytes are read as in the 40-byte header; the rest is skipped.
bool longer_header(std::uint32_t size) {
  return size == 108 || size == 124 || (size >= 16 && size <= 64 && size != 40);
}
// Windows headers that hold the red, green and blue masks at bytes 40 to 51.
bool masks_in_header(std::uint32_t size) {
  return size == 52 || size == 56 || size == 108 || size == 124;
}

}  // namespace

void BmpDecoder::BitField::set(std::uint32_t m) {
  mask = m;
  shift = m == 0 ? 0 : std::countr_zero(m);
  max = m >> shift;
  scaled.clear();
  if (max <= 0xFFFF) {
    scaled.resize(max + 1);
    for (std::uint32_t v = 1; v <= max; ++v)
      scaled[v] = static_cast<std::uint8_t>(v * 255 / max);
  }
}

const DecoderFormat kBmpFormat = {"bmp", "bmp", sniff_first_byte<'B'>, make_decoder<BmpDecoder>};

BmpDecoder::BmpDecoder(io::ByteReader in) : m_in(std::move(in)) {
  if (read_file_header() == 0 && read_info_header() == 0) read_palette();
  if (status() == 0) check_plausible_size();
}

int BmpDecoder::status() {
  if (m_status == 0 && m_in.failed()) m_status = kFileIoError;
  return m_status;
}

void BmpDecoder::read_bytes(void* dst, std::size_t n) {
  if (m_status != 0) return;
  if (m_in.read(dst, n) < n) m_status = kFileIoError;
}

// A little-endian field. A field cut short by the end of the file keeps the
// bytes that were there (the rest 0), and the status records the failure.
template <typename T>
void BmpDecoder::read_field(T& field) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);
  std::uint8_t b[sizeof(T)] = {};
  read_bytes(b, sizeof b);
  if constexpr (sizeof(T) == 2) {
    field = static_cast<T>(io::le16(b));
  } else {
    field = static_cast<T>(io::le32(b));
  }
}

int BmpDecoder::read_file_header() {
  read_field(bfType);
  if (bfType != kMagic) {
    m_status = kBadHeader;
    return status();
  }
  read_field(bfSize);
  read_field(bfReserved1);
  read_field(bfReserved2);
  read_field(bfOffBits);
  return status();
}

int BmpDecoder::read_info_header() {
  read_field(biSize);
  if (m_status != 0) return status();
  if (biSize == kInfoHeaderSize || longer_header(biSize)) {
    // The header after biSize; fields a short OS/2 header leaves out are 0.
    std::uint8_t h[124] = {};
    read_bytes(h, biSize - 4);
    if (m_status != 0) return status();
    biWidth = static_cast<std::int32_t>(io::le32(h));
    biHeight = static_cast<std::int32_t>(io::le32(h + 4));
    biPlanes = io::le16(h + 8);
    biBitCount = io::le16(h + 10);
    biCompression = io::le32(h + 12);
    biSizeImage = io::le32(h + 16);
    biXPelsPerMeter = static_cast<std::int32_t>(io::le32(h + 20));
    biYPelsPerMeter = static_cast<std::int32_t>(io::le32(h + 24));
    biClrUsed = io::le32(h + 28);
    biClrImportant = io::le32(h + 32);
    m_rows_at_offbits = biSize != kInfoHeaderSize;
    // Bit fields (compression 3 and 6) belong to Windows headers; in an OS/2
    // header those numbers name other methods, which are not supported.
    const bool fields_allowed = biSize == kInfoHeaderSize || masks_in_header(biSize);
    if ((biBitCount == 16 || biBitCount == 32) &&
        (biCompression == 0 ||
         (fields_allowed && (biCompression == kBitFields || biCompression == kAlphaBitFields)))) {
      m_bit_fields = true;
      m_rows_at_offbits = true;
      read_bit_fields(masks_in_header(biSize) ? h + 36 : nullptr);
    } else if (biClrUsed == 0) {
      // A stated palette length is taken as it stands; only a missing one
      // comes from the depth.
      int colours = colours_for_depth(biBitCount);
      biClrImportant = 0;
      if (colours < 0) {
        m_status = kBadHeader;
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
    if (m_status != 0) return status();
    biWidth = w;
    biHeight = h;
    m_os2 = true;
    int colours = colours_for_depth(biBitCount);
    if (colours < 0) {
      m_status = kBadHeader;
    } else {
      biClrUsed = static_cast<std::uint32_t>(colours);
    }
  } else {
    m_status = kBadHeader;
  }
  palette_pos = m_in.tell();
  return status();
}

// The masks of a 16- or 32-bit picture: fixed 5-5-5 or 8-8-8 fields without
// compression, else from the header or the 12 bytes after a 40-byte header.
// Only sinks that keep alpha use an alpha mask, and only one of the header
// that is a whole byte of a 32-bit pixel.
void BmpDecoder::read_bit_fields(const std::uint8_t* in_header) {
  std::uint32_t masks[3];
  if (biCompression == 0) {
    if (biBitCount == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
      masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
  } else {
    std::uint8_t after[12] = {};
    if (in_header == nullptr) {
      read_bytes(after, sizeof after);
      in_header = after;
    }
    for (int k = 0; k < 3; ++k)
      masks[k] = io::le32(in_header + 4 * k);
  }
  try {
    for (int k = 0; k < 3; ++k)
      m_fields[k].set(masks[k]);
  } catch (const std::bad_alloc&) {
    m_status = kOutOfMemory;
  }
  // 32-bit pixels whose fields are whole bytes are used where they lie.
  m_whole_bytes = biBitCount == 32;
  for (int k = 0; k < 3; ++k) {
    std::uint32_t m = masks[k];
    m_byte_offsets[k] = m == 0 ? 0 : std::countr_zero(m) / 8;
    if (m != 0xFFu << (8 * m_byte_offsets[k])) m_whole_bytes = false;
  }
  if (m_whole_bytes && biCompression != 0 && masks_in_header(biSize) && biSize >= 56) {
    const std::uint32_t a = io::le32(in_header + 12);
    const int at = a == 0 ? 0 : std::countr_zero(a) / 8;
    bool free = a == 0xFFu << (8 * at);
    for (int k = 0; k < 3; ++k)
      free = free && m_byte_offsets[k] != at;
    if (free) m_alpha_offset = at;
  }
}

int BmpDecoder::read_palette() {
  if (m_bit_fields) {
    pixel_data_pos = bfOffBits;  // no palette is needed
    return status();
  }
  // The palette's byte length is kept to 16 bits, as the format's readers
  // have always done; a palette length beyond that wraps around.
  std::uint32_t bytes = (4u * biClrUsed) & 0xFFFFu;
  if (bytes != 0) {
    try {
      palette.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      m_status = kOutOfMemory;
      return m_status;
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
  if (m_os2) biSize = kInfoHeaderSize;
  // 12- and 40-byte headers: the rows follow the palette, wherever bfOffBits
  // points; the longer headers came with bfOffBits in use.
  pixel_data_pos = m_rows_at_offbits ? bfOffBits : m_in.tell();
  // Indices past the entries the file provides are black.
  std::size_t entries = std::min<std::size_t>(palette.size() / 4, 256);
  m_colours.resize(entries);
  for (std::size_t i = 0; i < entries; ++i)
    m_colours[i] = Rgb{palette[4 * i + 2], palette[4 * i + 1], palette[4 * i]};
  return status();
}

// Refuses, before anything is sized from them, dimensions that the file
// cannot hold: a negative width, an unknown compression, and more pixel rows
// than the bytes after the palette can encode. A truncated file would fail
// while it is read anyway; failing here keeps a forged header from making
// the reader allocate a huge result. A run-length row may end after any
// number of pixels, so only its two-byte end code bounds the height; the
// width is bounded by the result, which the reading function checks before
// the row buffer is allocated. A negative height means the rows are stored
// from the top.
void BmpDecoder::check_plausible_size() {
  if (biWidth < 0 || biHeight == INT32_MIN) {
    m_status = kUnknownFormat;
    return;
  }
  m_top_down = biHeight < 0;
  m_rows = m_top_down ? -biHeight : biHeight;
  std::int64_t w = biWidth, h = m_rows;
  if (h == 0) return;
  std::int64_t avail = std::max<std::int64_t>(0, m_in.size() - pixel_data_pos);
  if (biCompression == 0 || m_bit_fields) {
    std::int64_t stride = stored_row_bytes(std::max<int>(biBitCount, 1), w);
    if (stride > avail / h) m_status = kFileIoError;
  } else if (biCompression == 1 || biCompression == 2) {
    if (h > avail / 2) m_status = kFileIoError;
  } else {
    m_status = kBadCompression;
  }
}

int BmpDecoder::read_row() {
  if (m_status != 0) return status();
  if (m_bit_fields) return read_uncompressed_row();
  switch (biCompression) {
    case 0:
      return read_uncompressed_row();
    case 1:
      return read_rle_row(false);
    case 2:
      return read_rle_row(true);
    default:
      m_status = kBadCompression;
      return status();
  }
}

int BmpDecoder::read_uncompressed_row() {
  const std::int64_t w = biWidth;
  const auto stride = static_cast<std::size_t>(stored_row_bytes(biBitCount, w));
  if (m_bit_fields) {
    const std::uint8_t* s = m_in.take(stride);
    if (s == nullptr || m_whole_bytes) {
      m_row = s;  // used where it lies
      return status();
    }
    unsigned char* p = row_span(0, 3 * w);
    if (p == nullptr) return status();
    const BitField &r = m_fields[0], &g = m_fields[1], &b = m_fields[2];
    if (biBitCount == 16) {
      for (std::int64_t x = 0; x < w; ++x, p += 3) {
        std::uint32_t v = io::le16(s + 2 * x);
        p[0] = r(v), p[1] = g(v), p[2] = b(v);
      }
    } else {
      for (std::int64_t x = 0; x < w; ++x, p += 3) {
        std::uint32_t v = io::le32(s + 4 * x);
        p[0] = r(v), p[1] = g(v), p[2] = b(v);
      }
    }
    m_row = row_buffer.get();
    return status();
  }
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

int BmpDecoder::read_rle_row(bool four_bit) {
  const std::int64_t w = biWidth;
  // The buffer keeps the previous row's pixels where a row ends early.
  unsigned char* out = row_span(0, w);
  if (out == nullptr) return status();
  m_row = out;
  std::int64_t pos = 0;
  auto next = [&]() -> int {
    if (m_status != 0) return -1;
    int c = m_in.get();
    if (c < 0) m_status = kFileIoError;
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
      // End of bitmap: the normal end of the last row, an error before it.
      if (!m_last_row) m_status = kRleEndOfBitmap;
      break;
    } else if (second == 2) {
      m_status = kUnknownFormat;  // position jumps are not supported
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
      if (m_status != 0) break;
    }
  }
  return status();
}

// Grey levels of a depth without colours are 0; the colour operations
// refuse such a depth. The grey operation returns the status as it is, the
// others add kReadFailure to it.
int BmpDecoder::decode(ImageSink& out) {
  const bool grey = out.grey_only();
  if (!grey && !supported_depth()) return kReadFailure + kBadHeader;
  out.palette(m_colours.data(), m_colours.size());
  // No rows, or uncompressed rows of no pixels (which take no bytes): there
  // is nothing to read, however wide or high the header says the picture is.
  if (m_rows == 0 || ((biCompression == 0 || m_bit_fields) && biWidth == 0)) return 0;
  std::vector<std::uint8_t> zeros;
  if (!supported_depth()) {
    try {
      zeros.assign(static_cast<std::size_t>(biWidth), 0);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
  }
  // Decoded rows of run-length, 1- and 4-bit and bit-field files; other
  // uncompressed rows are used where they lie in the file.
  const std::int64_t w = biWidth;
  const bool three = biBitCount == 24 || m_bit_fields;
  if (m_rows > 0 && allocate_row_buffer(((three ? 3 : 1) * w + 3) / 4 * 4) != 0) return m_status;
  if (!m_in.seek(pixel_data_pos) || status() != 0) return kReadFailure + status();
  // Rows used where they lie in a mapped file stay there until the end: the
  // writer keeps pointers to them instead of copies.
  const bool in_place = (biCompression == 0 || m_bit_fields) &&
                        (m_bit_fields ? m_whole_bytes : biBitCount == 8 || biBitCount == 24);
  const auto row =
      in_place && m_in.contents() != nullptr ? ImageSink::Rows::kKeep : ImageSink::Rows::kCopy;
  PixelLayout layout = PixelLayout::rgb(3, 2, 1, 0);  // stored blue, green, red
  if (!supported_depth()) {
    layout = PixelLayout::grey();  // rows of zeros
  } else if (indexed()) {
    layout = PixelLayout::indexed();
  } else if (m_whole_bytes && m_alpha_offset >= 0 && out.typed()) {
    layout =
        PixelLayout::rgba(m_byte_offsets[0], m_byte_offsets[1], m_byte_offsets[2], m_alpha_offset);
  } else if (m_whole_bytes) {
    layout = PixelLayout::rgb(4, m_byte_offsets[0], m_byte_offsets[1], m_byte_offsets[2]);
  } else if (m_bit_fields) {
    layout = PixelLayout::rgb(3, 0, 1, 2);  // decoded into the row buffer
  }
  for (std::int64_t r = m_rows; r > 0; --r) {
    m_last_row = r == 1;
    if (status() != 0 || read_row() != 0) break;
    out.row(supported_depth() ? m_row : zeros.data(), layout, row);
  }
  if (grey) return status();
  return status() == 0 ? 0 : kReadFailure + status();
}

}  // namespace kexio
