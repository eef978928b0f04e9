#include "image/decode/pcx_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kexio {

namespace {

// Coded bytes are looked at this many at a time.
constexpr std::size_t kChunk = std::size_t{64} << 10;
// The 256-colour palette: a marker byte and 256 triplets at the file's end.
constexpr std::int64_t kVgaPaletteBytes = 1 + 3 * 256;

}  // namespace

PcxLineReader::PcxLineReader(io::ByteReader& in, const PcxHeader& header)
    : m_in(in), m_line_bytes(std::int64_t{header.plane_count()} * header.bytes_per_line) {}

int PcxLineReader::status() {
  if (m_in.io_error()) {
    m_status = kFileIoError;
  } else if (m_in.failed()) {
    m_status = kEndOfInput;
  }
  return m_status;
}

int PcxLineReader::restart() {
  m_status = 0;
  m_in.clear_failure();
  m_in.seek(PcxHeader::kSize);
  return status();
}

int PcxLineReader::read_line(std::uint8_t* line) {
  if (m_status != 0) return m_status;
  const std::int64_t n = m_line_bytes;
  std::int64_t pos = 0;
  while (pos < n) {
    std::span<const std::uint8_t> w = m_in.window(kChunk);
    const std::uint8_t* p = w.data();
    const std::uint8_t* const end = p + w.size();
    while (pos < n && p != end) {
      const std::uint8_t b = *p;
      if (b < 0xC0) {
        line[pos++] = b;
        ++p;
        continue;
      }
      if (end - p < 2) break;  // the run's value is in the next window
      // A run of (b & 0x3F) copies of the next byte; what passes the end of
      // the line is dropped.
      std::int64_t count = std::min<std::int64_t>(b & 0x3F, n - pos);
      std::memset(line + pos, p[1], static_cast<std::size_t>(count));
      pos += count;
      p += 2;
    }
    m_in.skip(static_cast<std::uint64_t>(p - w.data()));
    if (pos < n && w.size() < kChunk) {
      // The file ends inside the line.
      m_status = m_in.io_error() ? kFileIoError : kEndOfInput;
      break;
    }
  }
  return status();
}

const DecoderFormat kPcxFormat = {"pcx", "pcx", sniff_first_byte<0x0A>, make_decoder<PcxDecoder>};

PcxDecoder::PcxDecoder(io::ByteReader in) : m_in(std::move(in)) {
  if (!read_header()) {
    m_status = kFileIoError;
    m_in = io::ByteReader();
    return;
  }
  build_palette();
  // Kinds of picture that are not read are refused before the reading
  // function sizes a result for them: every read would refuse them anyway.
  if (m_status == 0) m_status = format_code();
  if (m_status == 0) check_plausible_size();
}

bool PcxDecoder::read_header() {
  const std::uint8_t* h = m_in.take(PcxHeader::kSize);
  if (h == nullptr) return false;
  PcxHeader& x = m_header;
  x.manufacturer = h[0];
  x.version = h[1];
  x.encoding = h[2];
  x.bits = static_cast<std::int8_t>(h[3]);
  x.xmin = io::le16(h + 4);
  x.ymin = io::le16(h + 6);
  x.xmax = io::le16(h + 8);
  x.ymax = io::le16(h + 10);
  x.hres = io::le16(h + 12);
  x.vres = io::le16(h + 14);
  std::memcpy(x.palette, h + 16, sizeof x.palette);
  x.reserved = h[64];
  x.planes = static_cast<std::int8_t>(h[65]);
  x.bytes_per_line = io::le16(h + 66);
  x.palette_info = io::le16(h + 68);
  x.hscreen = io::le16(h + 70);
  x.vscreen = io::le16(h + 72);
  m_width = x.xmax - x.xmin + 1;
  m_height = x.ymax - x.ymin + 1;
  return true;
}

// The colours of the pixel values, from the header's own bytes (the depth
// and planes as stored): one bit in one plane is black and white whatever
// the header palette holds; other depths below 8 bits are 16 greys, the red
// bytes of the header palette; 8 bits in one plane take the 256 colours at
// the end of the file.
void PcxDecoder::build_palette() {
  const int bits = m_header.bits;
  const int planes = m_header.planes;
  try {
    if (bits < 8) {
      if (planes * bits == 1) {
        m_palette = {{0, 0, 0}, {255, 255, 255}};
      } else {
        m_palette.resize(16);
        for (int k = 0; k < 16; ++k) {
          std::uint8_t v = m_header.palette[3 * k];
          m_palette[static_cast<std::size_t>(k)] = {v, v, v};
        }
      }
    } else if (bits == 8 && planes == 1) {
      // The palette is found from the end of the file: a source of unknown
      // length (a pipe) cannot give it.
      const std::int64_t size = m_in.size();
      if (size < 0) {
        m_status = kFileIoError;
        return;
      }
      // A file shorter than the palette has it read on from the end of the
      // header. Bytes past the end of the file read as 255; the marker
      // byte's value does not matter.
      std::uint8_t bytes[kVgaPaletteBytes];
      std::memset(bytes, 255, sizeof bytes);
      m_in.seek(size >= kVgaPaletteBytes ? size - kVgaPaletteBytes : PcxHeader::kSize);
      std::span<const std::uint8_t> w = m_in.window(sizeof bytes);
      std::copy(w.begin(), w.end(), bytes);
      m_palette.resize(256);
      for (std::size_t i = 0; i < 256; ++i)
        m_palette[i] = {bytes[1 + 3 * i], bytes[2 + 3 * i], bytes[3 + 3 * i]};
      m_in.clear_failure();
      m_in.seek(PcxHeader::kSize);
    }
  } catch (const std::bad_alloc&) {
    m_status = kOutOfMemory;
  }
}

// 0 for the kinds of picture that are read, else kUnknownFormat: one plane
// of 1, 2, 4 or 8 bits, or three planes of up to 8 bits (three planes of
// fewer bits hold their colours packed in one byte).
int PcxDecoder::format_code() const {
  const int bits = m_header.depth();
  const int planes = m_header.plane_count();
  if (m_header.manufacturer != 10) return kUnknownFormat;
  if (planes == 1) return bits == 1 || bits == 2 || bits == 4 || bits == 8 ? 0 : kUnknownFormat;
  if (planes == 3) return bits >= 1 && bits <= 8 ? 0 : kUnknownFormat;
  return kUnknownFormat;
}

// Refuses, before anything is sized from the header, a picture that the
// file cannot hold: fewer bytes than its lines need at the best compression
// (a run of 63 bytes in two bytes). Such a file would fail in its last lines
// anyway; failing here keeps a forged header from making the reader allocate
// a huge result. Lines of no bytes hold no pixels at all: a header alone
// would size any result, so they are refused too. A window whose end lies
// before its start is refused as the reading functions refuse any negative
// size.
void PcxDecoder::check_plausible_size() {
  if (m_width < 0 || m_height < 0) m_status = kUnknownFormat;
  if (m_width <= 0 || m_height <= 0) return;
  const std::int64_t bpl = m_header.bytes_per_line;
  if (bpl == 0) {
    m_status = kFileIoError;
    return;
  }
  if (m_in.size() < 0) return;
  const std::int64_t least = (2 * m_header.plane_count() * bpl + 62) / 63;
  if (m_height > (m_in.size() - PcxHeader::kSize) / least) m_status = kFileIoError;
}

// A failed read returns the same failure when it is asked again.
int PcxDecoder::decode(ImageSink& out) {
  if (m_status == kUnknownFormat) return kUnknownFormat;
  if (m_status != 0) return kReadFailure + m_status;
  if (m_read_failure == 0) m_read_failure = decode_lines(out);
  return m_read_failure;
}

// Lines are stored top row first. The three planes of an 8-bit line are
// handed over where they lie in the line (red, green and blue bytes-per-line
// bytes apart); fewer bits are unpacked into one index per pixel first.
// Pixels past the bytes of a line (bytes per line too few for the width)
// are 0, the first palette entry or no colour: the buffer behind a line
// stays zero, and the planes of a line too short for three planes side by
// side are each copied into a width of zeros.
int PcxDecoder::decode_lines(ImageSink& out) {
  const int planes = m_header.plane_count();
  const bool packed = m_header.depth() < 8;
  const std::int64_t bpl = m_header.bytes_per_line;
  const std::int64_t w = std::max(m_width, 0);
  const bool spread = !packed && planes == 3 && bpl < w;
  PcxLineReader lines(m_in, m_header);
  // The coded line, then (for packed pixels, or spread planes) one index or
  // sample per pixel followed by zeros: three planes of packed pixels read
  // their colours from three consecutive bytes there.
  const std::int64_t after = packed || spread ? 3 * w
                             : planes == 1    ? std::max<std::int64_t>(w - bpl, 0)
                                              : 0;
  if (allocate_row_buffer(lines.line_bytes() + after) != 0) return kOutOfMemory;
  std::uint8_t* line = row_buffer.get();
  std::uint8_t* index = line + lines.line_bytes();
  out.palette(m_palette.data(), m_palette.size());
  const std::int64_t plane_step = spread ? w : bpl;
  const PixelLayout layout = planes == 1 ? PixelLayout::indexed()
                             : packed    ? PixelLayout::rgb(3, 0, 1, 2)
                                         : PixelLayout::rgb(1, 0, static_cast<int>(plane_step),
                                                            static_cast<int>(2 * plane_step));
  lines.restart();
  for (int r = 0; r < m_height; ++r) {
    if (int s = lines.read_line(line)) return kReadFailure + s % kReadFailure;
    const std::uint8_t* px = line;
    if (packed) {
      unpack(line, index);
      px = index;
    } else if (spread) {
      for (int p = 0; p < 3; ++p)
        std::memcpy(index + p * w, line + p * bpl, static_cast<std::size_t>(bpl));
      px = index;
    }
    out.row(px, layout);
  }
  int s = lines.status();
  return s == 0 ? 0 : kReadFailure + s;
}

// One index per pixel from the planes of a line of fewer than 8 bits: plane
// p gives bits p × depth and up of the index. Depths 1, 2 and 4 hold their
// first pixel in the high bits of a byte, other depths in the low bits.
void PcxDecoder::unpack(const std::uint8_t* line, std::uint8_t* index) const {
  const int bits = m_header.depth();
  const int planes = m_header.plane_count();
  const std::int64_t bpl = m_header.bytes_per_line;
  const std::int64_t w = m_width;
  const int per_byte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  const bool high_first = bits == 1 || bits == 2 || bits == 4;
  std::memset(index, 0, static_cast<std::size_t>(w));
  for (int p = 0; p < planes; ++p) {
    const std::uint8_t* src = line + p * bpl;
    const int shift = p * bits;
    std::int64_t x = 0;
    for (std::int64_t j = 0; j < bpl && x < w; ++j) {
      const unsigned v = src[j];
      for (int k = 0; k < per_byte && x < w; ++k, ++x) {
        unsigned px = (high_first ? v >> (8 - bits * (k + 1)) : v >> (bits * k)) & mask;
        index[x] = static_cast<std::uint8_t>(index[x] | px << shift);
      }
    }
  }
}

}  // namespace kexio
