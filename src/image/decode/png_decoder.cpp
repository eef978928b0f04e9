#include "image/decode/png_decoder.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/limits.h"
#include "core/memory.h"
#include "core/parallel.h"
#include "image/decode/png_unfilter.h"
#include "io/endian.h"

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

// The stored layout of rows of a colour type, samples of type t.
PixelLayout stored_layout(int colour_type, SampleType t) {
  switch (colour_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
      return PixelLayout::grey(t);
    case SPNG_COLOR_TYPE_TRUECOLOR:
      return PixelLayout::rgb(3, 0, 1, 2, t);
    case SPNG_COLOR_TYPE_INDEXED:
      return PixelLayout::indexed();
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
      return PixelLayout::grey_alpha(t);
    default:
      return PixelLayout::rgba(0, 1, 2, 3, t);
  }
}

// The limits and checks every libspng context of a file is given: sides of
// at most side pixels, chunks of at most chunk bytes and kept ones of at
// most kept in all, and a checksum that does not match is a damaged file,
// in any chunk.
int configure(spng_ctx* ctx, std::uint32_t side, std::size_t chunk, std::size_t kept) {
  int e = spng_set_image_limits(ctx, side, side);
  if (e == 0) e = spng_set_chunk_limits(ctx, chunk, kept);
  if (e == 0) e = spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  return e;
}

bool is_idat(const std::uint8_t* chunk) {
  return std::memcmp(chunk + 4, "IDAT", 4) == 0;
}

// A fresh zeroed mapping, released on every path.
class Mapped {
 public:
  explicit Mapped(std::size_t n) : m_bytes(memory::mapping_size(n)) {
    if (m_bytes != 0) m_data = static_cast<std::uint8_t*>(memory::map(n));
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  ~Mapped() {
    if (m_data != nullptr) memory::unmap(m_data, m_bytes);
  }
  std::uint8_t* data() const { return m_data; }

 private:
  std::size_t m_bytes;
  std::uint8_t* m_data = nullptr;
};

// Pictures of fewer bytes are inflated, unfiltered and handed on by one
// thread.
constexpr std::size_t kSplitFrom = std::size_t{4} << 20;
// Rows handed on at a time: few enough that a band stays in the cache
// while it is spread over the columns, enough for the planes' direct path.
constexpr int kBandRows = 32;

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
  m_side = side;
  m_kept = kept;
  m_chunk_limit = std::min<std::size_t>(kept, limits::kPngMaxNumber);
  int e = configure(ctx, m_side, m_chunk_limit, m_kept);
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
  // damaged chunk, is as damaged as one cut in the pixels. (Those of a
  // picture inflated whole were read before its rows were handed on.)
  if (!m_whole) {
    if (int e = spng_decode_chunks(ctx)) return fail(e);
  }
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
  if (decode_whole(out)) return m_status;
  for (std::int64_t r = 0; r < m_rows; ++r) {
    int e = spng_decode_row(ctx, row.data(), row.size());
    if (e != 0 && e != SPNG_EOI) return fail(e, r);
    if (r >= m_handed) deliver(row.data(), 0, 1, out);
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
  out.rows(first, stride, n, stored_layout(m_colour_type, t));
}

// Files in memory of 8-bit samples without a palette, not interlaced:
// their image data, one zlib stream over consecutive IDAT chunks, is
// inflated into a buffer of exactly the rows it must hold, a band at a time
// on a thread of its own, while this one unfilters each band as it comes and
// hands it on. (ISA-L's inflate keeps the window it looks back into itself,
// since a caller may reuse its output buffer between calls, so rows already
// unfiltered in place are not read again.) Nothing is handed on before every
// chunk of the file has been found whole, with its checksum. Where the
// stream then proves unsound (deflate data that is not, a filter type past
// 4, too few rows or data past the last, the Adler-32), decoding goes on
// from the start of the file row by row with libspng, which fails as it
// always has; the rows handed on until then are the ones libspng makes of
// the same data, and are not handed on again.
bool PngDecoder::decode_whole(ImageSink& out) {
  const std::uint8_t* d = m_in.contents();
  if (d == nullptr || m_interlaced || m_depth != 8 || m_colour_type == SPNG_COLOR_TYPE_INDEXED ||
      m_rows <= 0 || m_cols <= 0) {
    return false;
  }
  const auto size = static_cast<std::size_t>(m_in.size());
  // The first IDAT chunk, past the chunks libspng has read, then the run of
  // IDAT chunks from there, each whole and with its checksum.
  std::size_t at = sizeof kSignature;
  for (;;) {
    if (size - at < 12) return false;
    const std::uint32_t length = io::be32(d + at);
    if (length > size - at - 12) return false;
    if (is_idat(d + at)) break;
    at += 12 + std::size_t{length};
  }
  const std::size_t first = at;
  std::size_t total = 0;
  while (size - at >= 12 && is_idat(d + at)) {
    const std::uint32_t length = io::be32(d + at);
    if (length > m_chunk_limit || length > size - at - 12) return false;
    if (libdeflate_crc32(0, d + at + 4, std::size_t{length} + 4) != io::be32(d + at + 8 + length)) {
      return false;
    }
    total += length;
    at += 12 + std::size_t{length};
  }
  const std::size_t after = at;
  // Rows that deflate could not make of the data there is fail as libspng
  // finds, before anything is sized from the header.
  const auto stride = static_cast<std::size_t>(row_bytes()) + 1;
  const auto rows = static_cast<std::size_t>(m_rows);
  const std::size_t inflated = stride * rows;  // both below 2^31
  if (total == 0 || inflated / limits::kDeflateMaxRatio > total || inflated > memory::physical()) {
    return false;
  }
  if (!chunks_after_image_sound(first, after)) return false;

  Mapped image(inflated);
  std::vector<std::uint8_t> zeros;
  try {
    zeros.resize(stride);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::uint8_t* base = image.data();
  if (base == nullptr) return false;

  // Made on the inflating thread, read once it has ended.
  bool sound = false;
  // Set by this thread at a filter type past 4, so that inflating stops.
  std::atomic<bool> stop{false};
  const auto inflate_rows = [&](const auto& publish) -> std::int64_t {
    // 85 KiB of state and window: not on the stack of whatever thread calls.
    std::unique_ptr<inflate_state> state(new (std::nothrow) inflate_state);
    if (state == nullptr) return 0;
    inflate_state& z = *state;
    isal_inflate_init(&z);
    z.crc_flag = ISAL_ZLIB;
    std::size_t chunk = first;
    // Inflates into to, up to n bytes, the input running on into the next
    // IDAT chunk once one is used up; the bytes made, or -1 when the data
    // is unsound or ends without making any.
    const auto step = [&](std::uint8_t* to, std::size_t n) -> std::int64_t {
      if (z.avail_in == 0 && chunk != after) {
        const std::uint32_t length = io::be32(d + chunk);
        z.next_in = const_cast<std::uint8_t*>(d + chunk + 8);
        z.avail_in = length;
        chunk += 12 + std::size_t{length};
      }
      const std::uint32_t in = z.avail_in;
      // A band of very wide rows can pass what one call takes.
      const std::size_t room = std::min<std::size_t>(n, UINT32_MAX);
      z.next_out = to;
      z.avail_out = static_cast<std::uint32_t>(room);
      if (isal_inflate(&z) != ISAL_DECOMP_OK) return -1;
      const std::size_t made = room - z.avail_out;
      return made == 0 && z.avail_in == in ? -1 : static_cast<std::int64_t>(made);
    };
    std::size_t done = 0;  // bytes inflated
    while (done < inflated) {
      if (stop.load(std::memory_order_relaxed)) return static_cast<std::int64_t>(done / stride);
      const std::size_t band = std::min(inflated, (done / stride + kBandRows) * stride);
      while (done < band) {
        // Too few rows: the stream or the data ended.
        const std::int64_t made =
            z.block_state == ISAL_BLOCK_FINISH ? -1 : step(base + done, band - done);
        if (made < 0) return static_cast<std::int64_t>(done / stride);
        done += static_cast<std::size_t>(made);
      }
      publish(static_cast<std::int64_t>(done / stride));
    }
    // The rows are all there: the stream must end here, its checksum
    // sound, with no data after it.
    std::uint8_t past[16];
    std::int64_t more = 0;
    while (z.block_state != ISAL_BLOCK_FINISH && (more = step(past, sizeof past)) == 0) {
    }
    sound = more == 0 && z.block_state == ISAL_BLOCK_FINISH && z.avail_in == 0 && chunk == after;
    return static_cast<std::int64_t>(rows);
  };

  const int bpp = channels(m_colour_type);
  const PixelLayout layout = stored_layout(m_colour_type, SampleType::kU8);
  std::size_t handed = 0;
  const auto hand_on = [&](std::size_t from, std::size_t to) {
    if (stop.load(std::memory_order_relaxed)) return;
    for (std::size_t r = from; r < to; ++r) {
      std::uint8_t* row = base + r * stride;
      if (row[0] > 4) {
        to = r;
        stop.store(true, std::memory_order_relaxed);
        break;
      }
      const std::uint8_t* above = r > 0 ? row - stride + 1 : zeros.data() + 1;
      png::unfilter(row[0], row + 1, above, stride - 1, bpp);
    }
    for (std::size_t r = from; r < to; r += kBandRows) {
      const int n = static_cast<int>(std::min<std::size_t>(kBandRows, to - r));
      out.rows(base + r * stride + 1, static_cast<std::ptrdiff_t>(stride), n, layout);
    }
    handed = to;
  };
  if (inflated < kSplitFrom) {
    const std::int64_t made = inflate_rows([](std::int64_t) {});
    if (sound) hand_on(0, static_cast<std::size_t>(made));
  } else {
    make_alongside(inflate_rows, [&](std::int64_t from, std::int64_t to) {
      hand_on(static_cast<std::size_t>(from), static_cast<std::size_t>(to));
    });
  }
  m_handed = static_cast<std::int64_t>(handed);
  if (!sound || handed != rows) return false;
  m_whole = true;
  return true;
}

// Whether libspng reads the chunks after the image data (from after) without
// a fault: a lone IEND chunk is, and any others are read by libspng after a
// picture of one pixel of the same kind, with the same chunks before its
// image data as this file has before first.
bool PngDecoder::chunks_after_image_sound(std::size_t first, std::size_t after) const {
  static constexpr std::uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  const std::uint8_t* d = m_in.contents();
  const auto size = static_cast<std::size_t>(m_in.size());
  if (size - after == sizeof kEnd && std::memcmp(d + after, kEnd, sizeof kEnd) == 0) return true;
  // The chunks before the image data start with the 13-byte header (libspng
  // has read it), whose sides become 1.
  constexpr std::size_t kHeaderEnd = sizeof kSignature + 12 + 13;
  if (first < kHeaderEnd) return false;
  const int bpp = channels(m_colour_type);
  // A zlib stream of one stored block: filter type 0 and a black pixel.
  const auto n = static_cast<std::uint32_t>(1 + bpp);
  std::uint8_t idat[8 + 2 + 5 + 5 + 4 + 4] = {};
  const std::uint32_t length = 2 + 5 + n + 4;
  io::put_be32(idat, length);
  std::memcpy(idat + 4, "IDAT", 4);
  std::uint8_t* z = idat + 8;
  z[0] = 0x78, z[1] = 0x01, z[2] = 0x01;
  io::put_le16(z + 3, n);
  io::put_le16(z + 5, ~n & 0xFFFF);
  io::put_be32(z + 7 + n, (n << 16) | 1);  // the Adler-32 of n zeros
  io::put_be32(idat + 8 + length, libdeflate_crc32(0, idat + 4, length + 4));
  std::vector<std::uint8_t> png;
  try {
    png.reserve(first + 12 + length + (size - after));
  } catch (const std::bad_alloc&) {
    return false;
  }
  png.insert(png.end(), d, d + first);
  io::put_be32(&png[16], 1);
  io::put_be32(&png[20], 1);
  io::put_be32(&png[29], libdeflate_crc32(0, &png[12], 17));
  png.insert(png.end(), idat, idat + 12 + length);
  png.insert(png.end(), d + after, d + size);

  std::unique_ptr<spng_ctx, FreeContext> ctx(spng_ctx_new(0));
  if (ctx == nullptr) return false;
  std::uint8_t pixel[4];
  int e = configure(ctx.get(), m_side, m_chunk_limit, m_kept);
  if (e == 0) e = spng_set_png_buffer(ctx.get(), png.data(), png.size());
  if (e == 0) {
    e = spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE);
  }
  if (e == 0) e = spng_decode_row(ctx.get(), pixel, static_cast<std::size_t>(bpp));
  if (e == 0 || e == SPNG_EOI) e = spng_decode_chunks(ctx.get());
  return e == 0;
}

}  // namespace kexio
