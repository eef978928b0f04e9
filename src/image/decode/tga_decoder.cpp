#include "image/decode/tga_decoder.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace kexio {

namespace {

// A colour of five bits per component, red highest: the three components'
// 5-bit values.
struct Rgb15 {
  unsigned r, g, b;
};
Rgb15 split15(unsigned v) {
  return {v >> 10 & 31, v >> 5 & 31, v & 31};
}

// One stored pixel value of vb bytes as a decoded pixel: one byte as it is,
// two bytes widened to blue, green, red of five bits each moved to the top
// of a byte, three and four bytes (blue, green, red and one more) as they
// are.
inline void put_pixel(const std::uint8_t* v, int vb, std::uint8_t* dst) {
  if (vb == 2) {
    Rgb15 c = split15(io::le16(v));
    dst[0] = static_cast<std::uint8_t>(c.b << 3);
    dst[1] = static_cast<std::uint8_t>(c.g << 3);
    dst[2] = static_cast<std::uint8_t>(c.r << 3);
  } else {
    std::memcpy(dst, v, static_cast<std::size_t>(vb));
  }
}

// Reverses the order of w pixels of pb bytes each, from src into dst (which
// may be src itself).
void reverse_pixels(const std::uint8_t* src, std::uint8_t* dst, std::int64_t w, int pb) {
  if (src != dst) {
    for (std::int64_t x = 0; x < w; ++x)
      std::memcpy(dst + x * pb, src + (w - 1 - x) * pb, static_cast<std::size_t>(pb));
    return;
  }
  for (std::int64_t x = 0, y = w - 1; x < y; ++x, --y)
    std::swap_ranges(dst + x * pb, dst + (x + 1) * pb, dst + y * pb);
}

}  // namespace

TgaHeader TgaHeader::parse(const std::uint8_t* h) {
  TgaHeader x;
  x.id_length = h[0];
  x.colour_map_type = h[1];
  x.image_type = h[2];
  x.first_entry = io::le16(h + 3);
  x.map_length = io::le16(h + 5);
  x.entry_size = h[7];
  x.x_origin = io::le16(h + 8);
  x.y_origin = io::le16(h + 10);
  x.width = io::le16(h + 12);
  x.height = io::le16(h + 14);
  x.depth = h[16];
  x.descriptor = h[17];
  return x;
}

bool TgaHeader::plausible() const {
  const auto known = [](std::span<const std::uint8_t> values, std::uint8_t v) {
    return std::find(values.begin(), values.end(), v) != values.end();
  };
  return colour_map_type <= 1 && known(kTypes, image_type) && known(kDepths, depth);
}

namespace {

int sniff_tga(const Lead&, io::ByteReader& in) {
  std::span<const std::uint8_t> h = in.window(TgaHeader::kSize);
  if (h.size() < TgaHeader::kSize) return kFileIoError;
  return TgaHeader::parse(h.data()).plausible() ? 0 : kUnknownFormat;
}

}  // namespace

const DecoderFormat kTgaFormat = {"tga", "tga", sniff_tga, make_decoder<TgaDecoder>};

TgaDecoder::TgaDecoder(io::ByteReader in) : m_in(std::move(in)) {
  if (!read_header()) {
    m_status = kFileIoError;
    m_in = io::ByteReader();
    return;
  }
  m_open = true;
  m_in.skip(m_header.id_length);
  read_colour_map();
  const int type = m_header.image_type;
  m_bytes_per_pixel = (m_header.depth + 7) / 8;
  m_colour_mapped = m_header.colour_map_type != 0;
  m_rle = type == 9 || type == 10 || type == 11;
  m_right_to_left = (m_header.descriptor & TgaHeader::kRightToLeft) != 0;
  if (!m_header.plausible()) m_status = kUnknownFormat;
  if (status() == 0) check_plausible_size();
  if (status() == 0 && allocate_row_buffer(std::int64_t{m_header.width} * pixel_bytes()) != 0) {
    m_status = kOutOfMemory;
  }
}

bool TgaDecoder::read_header() {
  const std::uint8_t* h = m_in.take(TgaHeader::kSize);
  if (h == nullptr) return false;
  m_header = TgaHeader::parse(h);
  return true;
}

// Entries of 32 and 24 bits are blue, green, red (and one more byte);
// entries of any other size take two bytes and keep their 5-bit components
// (0 to 31). The map is indexed from 0 whatever the header's first entry
// says.
void TgaDecoder::read_colour_map() {
  const int n = m_header.map_length;
  if (n == 0) return;
  const int size = m_header.entry_size;
  const int eb = size == 32 ? 4 : size == 24 ? 3 : 2;
  const std::uint8_t* p = m_in.take(static_cast<std::size_t>(n) * static_cast<std::size_t>(eb));
  if (p == nullptr) return;  // cut short: the status says so
  m_map_entries = std::min(n, 256);
  for (int i = 0; i < m_map_entries; ++i, p += eb) {
    if (eb == 2) {
      Rgb15 c = split15(io::le16(p));
      m_map[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(c.r),
                                            static_cast<std::uint8_t>(c.g),
                                            static_cast<std::uint8_t>(c.b)};
    } else {
      m_map[static_cast<std::size_t>(i)] = {p[2], p[1], p[0]};
    }
  }
}

// Refuses, before anything is sized from the header, a picture of more rows
// than the rest of the file can hold: uncompressed rows take every pixel
// value, run-length rows at least one packet of 128 pixels (a header byte
// and one value) per 128 pixels, since packets never cross rows. Such a file
// would fail in its last rows anyway; failing here keeps a forged header
// from making the reader allocate a huge result.
void TgaDecoder::check_plausible_size() {
  const std::int64_t w = m_header.width;
  const std::int64_t h = m_header.height;
  const std::int64_t vb = value_bytes();
  if (w == 0 || h == 0) return;
  const std::int64_t least_row = m_rle ? (w + 127) / 128 * (1 + vb) : w * vb;
  if (h > m_in.remaining() / least_row) m_status = kEndOfInput;
}

int TgaDecoder::status() {
  if (m_open && m_in.failed()) m_status = m_in.io_error() ? kFileIoError : kEndOfInput;
  return m_status;
}

int TgaDecoder::read_row() {
  if (status() != 0) return status();
  const std::int64_t w = m_header.width;
  const int vb = value_bytes();
  const int pb = pixel_bytes();
  std::uint8_t* buf = row_buffer.get();
  m_row = buf;
  if (w == 0) return status();
  if (m_rle) {
    read_rle_row(buf);
  } else {
    // Pixels that need no widening are used where they lie in the file.
    const std::uint8_t* src = m_in.take(static_cast<std::size_t>(w * vb));
    if (src == nullptr) return status();
    if (vb == pb) {
      m_row = src;
    } else {
      for (std::int64_t x = 0; x < w; ++x)
        put_pixel(src + x * vb, vb, buf + x * pb);
    }
  }
  if (m_right_to_left && status() == 0) {
    reverse_pixels(m_row, buf, w, pb);
    m_row = buf;
  }
  return status();
}

// Packets of (h & 0x7F) + 1 pixels after a header byte h: a run of one
// value (h ≥ 128) or as many raw values. A packet may not pass the end of
// the row.
void TgaDecoder::read_rle_row(std::uint8_t* row) {
  const std::int64_t w = m_header.width;
  const int vb = value_bytes();
  const int pb = pixel_bytes();
  // The most bytes a row can take: one packet per pixel.
  std::span<const std::uint8_t> s = m_in.window(static_cast<std::size_t>(w * (1 + vb)));
  const std::uint8_t* p = s.data();
  const std::uint8_t* const end = p + s.size();
  std::uint8_t* out = row;
  bool cut = false;
  for (std::int64_t x = 0; x < w;) {
    if (p == end) {
      cut = true;
      break;
    }
    const unsigned h = *p++;
    const std::int64_t n = (h & 0x7F) + 1;
    if (n > w - x) {
      m_status = kEndOfFile;
      break;
    }
    if (h & 0x80) {
      if (end - p < vb) {
        cut = true;
        break;
      }
      put_pixel(p, vb, out);
      for (std::int64_t i = 1; i < n; ++i)
        std::memcpy(out + i * pb, out, static_cast<std::size_t>(pb));
      p += vb;
    } else {
      if (end - p < n * vb) {
        cut = true;
        break;
      }
      if (vb == pb) {
        std::memcpy(out, p, static_cast<std::size_t>(n * vb));
      } else {
        for (std::int64_t i = 0; i < n; ++i)
          put_pixel(p + i * vb, vb, out + i * pb);
      }
      p += n * vb;
    }
    out += n * pb;
    x += n;
  }
  m_in.skip(static_cast<std::uint64_t>(p - s.data()));
  if (cut) m_status = m_in.io_error() ? kFileIoError : kEndOfInput;
}

// Rows arrive in stored order (bottom row first unless the header says
// top-down). A one-byte pixel of a true-colour or grey image is its blue
// component, red and green 0, but for a typed sink, which takes the pixels
// of an 8-bit grey image as grey.
int TgaDecoder::decode(ImageSink& out) {
  const int type = m_header.image_type;
  const bool grey =
      out.typed() && !m_colour_mapped && (type == 3 || type == 11) && pixel_bytes() == 1;
  if (m_colour_mapped) {
    out.palette(m_map.data(), static_cast<std::size_t>(m_map_entries));
  } else if (pixel_bytes() == 1 && !grey) {
    std::array<Rgb, 256> blue;
    for (std::size_t i = 0; i < blue.size(); ++i)
      blue[i] = {0, 0, static_cast<std::uint8_t>(i)};
    out.palette(blue.data(), blue.size());
  }
  // Pixels of four bytes are blue, green, red and alpha.
  const int pb = pixel_bytes();
  const PixelLayout layout = grey      ? PixelLayout::grey()
                             : pb == 1 ? PixelLayout::indexed()
                             : pb == 4 ? PixelLayout::rgba(2, 1, 0, 3)
                                       : PixelLayout::rgb(pb, 2, 1, 0);
  for (int k = 0; k < m_header.height; ++k) {
    if (int s = read_row()) return kReadFailure + s % kReadFailure;
    out.row(m_row, layout);
  }
  int s = status();
  return s == 0 ? 0 : kReadFailure + s;
}

}  // namespace kexio
