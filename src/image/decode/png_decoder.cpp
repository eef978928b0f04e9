#include "image/decode/png_decoder.h"

#include <spng.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "core/limits.h"
#include "core/memory.h"

namespace kexio {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// libspng's reader of files that are not in memory (pipes, devices).
int read_stream(spng_ctx*, void* user, void* dst, std::size_t n) {
  auto* in = static_cast<io::ByteReader*>(user);
  if (in->read(dst, n) == n) return 0;
  return in->io_error() ? SPNG_IO_ERROR : SPNG_IO_EOF;
}

int channels(int colour_type) {
  switch (colour_type) {
    case SPNG_COLOR_TYPE_TRUECOLOR:
      return 3;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
      return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
      return 4;
    default:
      return 1;
  }
}

// Samples of 1, 2 or 4 bits, the first in the high bits of each byte, one
// per byte, each times scale.
void unpack(const std::uint8_t* row, int bits, std::int64_t n, unsigned scale, std::uint8_t* out) {
  const unsigned mask = (1u << bits) - 1;
  const int per_byte = 8 / bits;
  for (std::int64_t x = 0; x < n; ++x) {
    int shift = 8 - bits * (1 + static_cast<int>(x % per_byte));
    out[x] = static_cast<std::uint8_t>(((row[x / per_byte] >> shift) & mask) * scale);
  }
}

int sniff_png(const Lead&, io::ByteReader& in) {
  std::span<const std::uint8_t> b = in.window(sizeof kSignature);
  return b.size() == sizeof kSignature && std::memcmp(b.data(), kSignature, sizeof kSignature) == 0
             ? 0
             : kUnknownFormat;
}

}  // namespace

const DecoderFormat kPngFormat = {"png", "png", sniff_png, make_decoder<PngDecoder>};

void PngDecoder::FreeContext::operator()(spng_ctx* ctx) const {
  spng_ctx_free(ctx);
}

PngDecoder::PngDecoder(io::ByteReader in) : m_in(std::move(in)), m_ctx(spng_ctx_new(0)) {
  spng_ctx* ctx = m_ctx.get();
  if (ctx == nullptr) {
    m_status = kOutOfMemory;
    return;
  }
  // A picture of which one row or one column of a three-plane result would
  // not fit the memory is refused before libspng sizes its row buffers; the
  // chunks libspng keeps besides the pixels (texts, profiles) may take an
  // eighth of it, and from a stream, whose chunks cannot be checked against
  // a file, no more than a stream may hold.
  const std::uint64_t ram = memory::physical();  // libspng's limits come from it
  const auto side =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(limits::kPngMaxNumber, ram / 24));
  std::uint64_t chunks = ram / 8;
  if (m_in.size() < 0) chunks = std::min(chunks, limits::kStreamMaxBytes);
  const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(SIZE_MAX, chunks));
  int e = spng_set_image_limits(ctx, side, side);
  if (e == 0)
    e = spng_set_chunk_limits(ctx, std::min<std::size_t>(kept, limits::kPngMaxNumber), kept);
  // A checksum that does not match is a damaged file, in any chunk.
  if (e == 0) e = spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  if (e == 0) {
    if (const std::uint8_t* data = m_in.contents()) {
      e = spng_set_png_buffer(ctx, data, static_cast<std::size_t>(m_in.size()));
    } else {
      e = spng_set_png_stream(ctx, read_stream, &m_in);
    }
  }
  spng_ihdr ihdr{};
  if (e == 0) e = spng_get_ihdr(ctx, &ihdr);
  if (e != 0) {
    fail(e);
    return;
  }
  // libspng holds both sides to 2^31 - 1.
  m_cols = static_cast<int>(ihdr.width);
  m_rows = static_cast<int>(ihdr.height);
  m_colour_type = ihdr.color_type;
  m_depth = ihdr.bit_depth;
  m_interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
  // Deflate packs at most 1032 bytes into one: a file too short for its
  // pixels even so is cut short, and is refused before a result is sized
  // from its header. (Interlaced rows take at least as many bytes.)
  constexpr auto ratio = static_cast<std::int64_t>(limits::kDeflateMaxRatio);
  if (m_in.size() >= 0 && row_bytes() > ratio * m_in.size() / m_rows) m_status = kFileIoError;
}

PngDecoder::~PngDecoder() = default;

std::int64_t PngDecoder::row_bytes() const {
  return (std::int64_t{m_cols} * channels(m_colour_type) * m_depth + 7) / 8;
}

// libspng's errors: sizes beyond its limits and failed allocations are out
// of memory; everything else (checksums, truncation, malformed chunks or
// image data) is a damaged file. The end of the file while the image data
// was read (in row `row`, or where no row is known when it is negative)
// says so.
int PngDecoder::fail(int spng_error, std::int64_t row) {
  if ((spng_error == SPNG_IO_EOF || spng_error == SPNG_EOF) && (row >= 0 || cut_in_image_data())) {
    m_detail = ends_in_image_data(row, m_rows);
  }
  return fail(spng_error);
}

// Whether a file in memory ends inside its image data: in an IDAT chunk, or
// after one with no other chunk after it. (libspng reads a whole chunk before
// it decodes any of it, so where it stops tells no row.)
bool PngDecoder::cut_in_image_data() const {
  const std::uint8_t* d = m_in.contents();
  if (d == nullptr) return false;
  const std::int64_t size = m_in.size();
  bool image_data = false;
  for (std::int64_t at = sizeof kSignature; at + 8 <= size;) {
    const std::int64_t length = io::be32(d + at);
    const bool idat = std::memcmp(d + at + 4, "IDAT", 4) == 0;
    if (length + 12 > size - at) return idat;
    if (image_data && !idat) return false;
    image_data = idat;
    at += length + 12;
  }
  return image_data;
}

int PngDecoder::fail(int spng_error) {
  switch (spng_error) {
    case SPNG_EMEM:
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
    case SPNG_ECHUNK_LIMITS:
      m_status = kOutOfMemory;
      break;
    default:
      m_status = kFileIoError;
      break;
  }
  return m_status;
}

int PngDecoder::decode(ImageSink& out) {
  if (m_status != 0) return m_status;
  spng_ctx* ctx = m_ctx.get();
  if (m_colour_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_plte plte{};
    if (int e = spng_get_plte(ctx, &plte)) return fail(e);
    Rgb colours[256];
    const std::size_t n = std::min<std::size_t>(plte.n_entries, 256);
    for (std::size_t i = 0; i < n; ++i)
      colours[i] = Rgb{plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue};
    out.palette(colours, n);
    spng_trns trns{};
    if (out.typed() && spng_get_trns(ctx, &trns) == 0) {
      out.palette_alpha(trns.type3_alpha, std::min<std::size_t>(trns.n_type3_entries, 256));
    }
  }
  // Work room for samples of fewer than 8 bits, one byte each.
  if (m_depth < 8 && allocate_row_buffer(m_cols) != 0) return m_status;
  if (int r = m_interlaced ? decode_interlaced(out) : decode_rows(out)) return r;
  // The chunks after the image, up to the end: a file cut short there, or a
  // damaged chunk, is as damaged as one cut in the pixels.
  if (int e = spng_decode_chunks(ctx)) return fail(e);
  return 0;
}

// Row by row, each handed on as soon as libspng has it.
int PngDecoder::decode_rows(ImageSink& out) {
  spng_ctx* ctx = m_ctx.get();
  std::vector<std::uint8_t> row;
  try {
    row.resize(static_cast<std::size_t>(row_bytes()));
  } catch (const std::bad_alloc&) {
    return m_status = kOutOfMemory;
  }
  if (int e = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE)) {
    return fail(e, -1);
  }
  for (std::int64_t r = 0; r < m_rows; ++r) {
    int e = spng_decode_row(ctx, row.data(), row.size());
    if (e != 0 && e != SPNG_EOI) return fail(e, r);
    deliver(row.data(), 0, 1, out);
    if (e == SPNG_EOI) break;
  }
  return m_status;
}

// An interlaced picture's rows are complete only after its last pass: it is
// decoded whole (no larger than the result it fills), then handed on.
int PngDecoder::decode_interlaced(ImageSink& out) {
  spng_ctx* ctx = m_ctx.get();
  std::size_t size = 0;
  if (int e = spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size)) return fail(e);
  // Nor is a stream's picture held whole beyond that.
  if (m_in.size() < 0 && size > limits::kStreamMaxBytes) return m_status = kOutOfMemory;
  std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[size]());
  if (image == nullptr) return m_status = kOutOfMemory;
  if (int e = spng_decode_image(ctx, image.get(), size, SPNG_FMT_PNG, 0)) return fail(e, -1);
  const std::size_t row_bytes = size / static_cast<std::size_t>(m_rows);
  deliver(image.get(), static_cast<std::ptrdiff_t>(row_bytes), m_rows, out);
  return m_status;
}

void PngDecoder::deliver(const std::uint8_t* first, std::ptrdiff_t stride, int n, ImageSink& out) {
  if (m_depth < 8) {
    // Grey levels spread over 0..255; palette indices as they are.
    const bool grey = m_colour_type == SPNG_COLOR_TYPE_GRAYSCALE;
    std::uint8_t* p = row_buffer.get();
    for (int r = 0; r < n; ++r, first += stride) {
      unpack(first, m_depth, m_cols, grey ? 255 / ((1u << m_depth) - 1) : 1, p);
      out.row(p, grey ? PixelLayout::grey() : PixelLayout::indexed());
    }
    return;
  }
  const SampleType t = m_depth == 16 ? SampleType::kU16 : SampleType::kU8;
  PixelLayout layout;
  switch (m_colour_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
      layout = PixelLayout::grey(t);
      break;
    case SPNG_COLOR_TYPE_TRUECOLOR:
      layout = PixelLayout::rgb(3, 0, 1, 2, t);
      break;
    case SPNG_COLOR_TYPE_INDEXED:
      layout = PixelLayout::indexed();
      break;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
      layout = PixelLayout::grey_alpha(t);
      break;
    default:
      layout = PixelLayout::rgba(0, 1, 2, 3, t);
      break;
  }
  out.rows(first, stride, n, layout);
}

}  // namespace kexio
