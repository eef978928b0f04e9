#include "image/decode/gif_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <span>

#include "core/parallel.h"

namespace kexio {

namespace {

constexpr int kMaxCodeWidth = 12;
constexpr int kTableSize = 1 << kMaxCodeWidth;
// A string as long as the stack holds, and the index of a clear code after it.
constexpr std::size_t kPendingSize = kTableSize + 2;
// Sub-blocks are gathered about this many bytes at a time.
constexpr std::size_t kChunk = 16384;
constexpr std::size_t kDataCapacity = kChunk + 255 + 8;
// Larger minimum code sizes leave no room for strings in the table.
constexpr int kMaxMinCodeSize = 10;
// Rows are counted in signed 16 bits.
constexpr int kMaxWidth = 32767;
constexpr std::size_t kNone = SIZE_MAX;

// Interlaced rows: the four passes of the format, each a first row and a step.
struct Pass {
  int first, step;
};
constexpr Pass kPasses[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

// Pictures of at least this many pixels are decoded on a thread of their own
// while the calling thread hands the decoded rows on, this many at a time.
constexpr std::int64_t kAlongsideFrom = std::int64_t{1} << 20;
constexpr int kBandRows = 32;

}  // namespace

// Strings of up to this many indices are also kept whole, and written with
// one store of eight bytes.
constexpr int kWordIndices = 8;
static_assert(std::endian::native == std::endian::little, "strings are stored first byte first");

struct GifDecoder::Tables {
  // Each string of at most kWordIndices indices, its first in the low byte.
  std::uint64_t word[kTableSize];
  std::uint16_t prefix[kTableSize];
  std::uint16_t length[kTableSize];  // of each code's string (exact while m_plain)
  std::uint8_t suffix[kTableSize];
  std::uint8_t stack[kTableSize];
  std::uint8_t pending[kPendingSize];
};

const DecoderFormat kGifFormat = {"gif", "gif", sniff_first_byte<'G'>, &GifDecoder::make};

GifDecoder::GifDecoder(io::ByteReader in, UnknownLabels labels)
    : m_in(std::move(in)), m_labels(labels) {
  if (read_header() == 0 && find_image() == 0) prepare_data();
  if (status() == 0) restart(nullptr, m_width);  // the first index waits for the first row
  if (m_eof) m_detail = ends_in_image_data(0, m_height);
}

// A file that reads with its unknown extensions scanned reads so, as it
// always has; only where that reading ends in an error (no image found, or
// one whose data fails) are their sub-blocks skipped instead. Finding out
// takes a second reading of the bytes, which a stream does not allow: a
// stream is read the first way only.
std::unique_ptr<Decoder> GifDecoder::make(KexCallContext*, io::ByteReader&& in,
                                          const std::string&) {
  const std::uint8_t* bytes = in.contents();
  const auto size = static_cast<std::size_t>(in.size());
  auto scanned = std::make_unique<GifDecoder>(std::move(in));
  if (!scanned->m_met_unknown || bytes == nullptr) return scanned;
  if (scanned->status() == 0) {
    GifDecoder trial(io::ByteReader(bytes, size));
    if (trial.decode_rows(nullptr) == 0 && trial.status() == 0) return scanned;
  }
  io::ByteReader again = std::move(scanned->m_in);
  again.clear_failure();
  if (!again.seek(0)) return scanned;
  return std::make_unique<GifDecoder>(std::move(again), UnknownLabels::kSkipped);
}

GifDecoder::~GifDecoder() = default;

int GifDecoder::status() {
  if (m_status == 0 && (m_in.failed() || m_eof)) {
    m_status = m_in.io_error() ? kFileIoError : kEndOfInput;
  }
  return m_status;
}

int GifDecoder::read_colours(std::size_t entries) {
  try {
    m_colours.assign(entries, Rgb{0, 0, 0});
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  const std::uint8_t* t = m_in.take(3 * entries);
  if (t == nullptr) return -1;
  for (std::size_t i = 0; i < entries; ++i)
    m_colours[i] = Rgb{t[3 * i], t[3 * i + 1], t[3 * i + 2]};
  return 0;
}

int GifDecoder::read_header() {
  const std::uint8_t* h = m_in.take(6);
  if (h == nullptr) return m_status = kHeaderUnreadable;
  if (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0) {
    return m_status = kBadSignature;
  }
  // Width, height, flags, background index, aspect ratio: only the flags
  // matter.
  const std::uint8_t* screen = m_in.take(7);
  if (screen == nullptr) return m_status = kScreenUnreadable;
  const int flags = screen[4];
  if (flags & 0x80) {
    int r = read_colours(std::size_t{2} << (flags & 7));
    if (r != 0) return m_status = r < 0 ? kGlobalTableUnreadable : r;
  }
  return m_status;
}

void GifDecoder::skip_sub_blocks() {
  for (int n = m_in.get(); n > 0; n = m_in.get())
    m_in.skip(static_cast<std::uint64_t>(n));
}

// The fixed parts of the extensions are skipped as a whole; one cut short
// leaves the reader at the end of the file.
int GifDecoder::read_extension() {
  switch (m_in.get()) {
    case 0xF9: {  // graphic control: size, flags, delay, transparent index
      // The last one before the image is the image's.
      const std::span<const std::uint8_t> control = m_in.window(5);
      if (control.size() == 5) m_transparent = (control[1] & 1) != 0 ? control[4] : -1;
      if (!m_in.skip(5)) return kControlUnreadable;
      break;
    }
    case 0xFE:  // comment
      break;
    case 0x01:  // plain text: size, grid position and size, cell size, colours
      if (!m_in.skip(13)) return kPlainTextUnreadable;
      break;
    case 0xFF:  // application: size, identifier, authentication code
      if (!m_in.skip(12)) return kApplicationUnreadable;
      break;
    default:
      if (m_labels == UnknownLabels::kSkipped) break;
      m_met_unknown = true;
      return kUnknownExtension;  // nothing is skipped
  }
  skip_sub_blocks();
  return 0;
}

int GifDecoder::read_descriptor() {
  // Left, top (not used), width, height, flags.
  const std::uint8_t* d = m_in.take(9);
  if (d == nullptr) {
    m_in.skip(9);
    return kNoImage;
  }
  m_found_image = true;
  m_width = io::le16(d + 4);
  m_height = io::le16(d + 6);
  const int flags = d[8];
  m_interlaced = (flags & 0x40) != 0;
  if (flags & 0x80) {
    int r = read_colours(std::size_t{2} << (flags & 7));
    if (r != 0) return r < 0 ? kFileIoError : r;
  }
  return 0;
}

// Each block's result replaces the status, so a stray byte or an unknown
// extension is forgotten when a good block follows it; the first image
// descriptor ends the search, as do a 0 byte and the end of the file.
int GifDecoder::find_image() {
  for (;;) {
    const int c = m_in.get();
    if (c <= 0) break;
    if (c == 0x2C) {
      m_status = read_descriptor();
      break;
    }
    if (c == 0x21) {
      m_status = read_extension();
    } else {
      m_status = c == 0x3B ? kTrailer : kStrayByte;
    }
  }
  if (m_status == 0 && !m_found_image) m_status = kNoImage;
  return status();
}

void GifDecoder::prepare_data() {
  const int m = m_in.get();
  if (status() != 0) return;
  if (m > kMaxMinCodeSize || m_width > kMaxWidth) {
    m_status = kUnknownFormat;
    return;
  }
  m_tables.reset(new (std::nothrow) Tables());
  m_data.reset(new (std::nothrow) std::uint8_t[kDataCapacity]());
  m_row_before.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(m_width)]);
  if (m_tables == nullptr || m_data == nullptr || m_row_before == nullptr ||
      allocate_row_buffer(m_width + kWordIndices) != 0) {
    m_status = kOutOfMemory;
    return;
  }
  m_min_width = m + 1;
  m_clear = 1 << m;
  m_end = m_clear + 1;
  reset_table();
}

void GifDecoder::reset_table() {
  Tables& t = *m_tables;
  m_code_width = m_min_width;
  m_limit = 1 << m_code_width;
  m_next = m_clear + 2;
  for (int c = 0; c < m_next; ++c) {
    t.suffix[c] = static_cast<std::uint8_t>(c);
    t.word[c] = t.suffix[c];
    t.prefix[c] = 0;
    t.length[c] = 1;
  }
}

// Moves the unread bytes to the front and appends sub-blocks until about a
// chunk is gathered or the data ends.
void GifDecoder::refill() {
  const std::size_t from = m_bit >> 3;
  const std::size_t keep = m_data_len - from;
  std::memmove(m_data.get(), m_data.get() + from, keep);
  m_bit -= 8 * from;
  m_data_len = keep;
  if (m_eof_at != kNone) m_eof_at = m_eof_at > from ? m_eof_at - from : 0;
  while (!m_data_ended && m_data_len < kChunk) {
    std::span<const std::uint8_t> b = m_in.window(256);
    if (b.empty()) {
      // The file ends where a sub-block's length was due.
      m_data_ended = true;
      m_eof_at = std::min(m_eof_at, m_data_len);
      break;
    }
    const std::size_t n = b[0];
    if (n == 0) {
      m_in.skip(1);
      m_data_ended = true;
      break;
    }
    const std::size_t got = std::min(b.size() - 1, n);
    std::memcpy(m_data.get() + m_data_len, b.data() + 1, got);
    m_in.skip(1 + got);
    if (got < n) {
      // Bytes the file does not have read as 0xFF; the data ends after them.
      std::memset(m_data.get() + m_data_len + got, 0xFF, n - got);
      m_eof_at = std::min(m_eof_at, m_data_len + got);
      m_data_ended = true;
    }
    m_data_len += n;
  }
  std::memset(m_data.get() + m_data_len, 0, 4);
  m_fast_bits = 8 * std::min(m_data_len, m_eof_at);
}

// The next code of the current width, least significant bit first, or -1
// at the end of the data. A byte is taken from the file when its first bit
// is needed, so the end of the file shows only when a code reaches it.
int GifDecoder::read_code() {
  const std::size_t need = m_bit + static_cast<std::size_t>(m_code_width);
  if (need > m_fast_bits) return read_code_slow();
  const std::uint32_t v = io::le32(m_data.get() + (m_bit >> 3)) >> (m_bit & 7);
  m_bit = need;
  return static_cast<int>(v & ((1u << m_code_width) - 1));
}

int GifDecoder::read_code_slow() {
  const auto w = static_cast<std::size_t>(m_code_width);
  if (m_bit + w > 8 * m_data_len && !m_data_ended) refill();
  if (m_bit + w > 8 * m_data_len) {
    if (m_eof_at != kNone) m_eof = true;
    m_bit = 8 * m_data_len;
    return -1;
  }
  if (m_eof_at != kNone && (m_bit + w + 7) / 8 > m_eof_at) m_eof = true;
  const std::uint32_t v = io::le32(m_data.get() + (m_bit >> 3)) >> (m_bit & 7);
  m_bit += w;
  return static_cast<int>(v & ((1u << w) - 1));
}

bool GifDecoder::append_pending(std::uint8_t byte) {
  if (m_pend_pos == m_pend_len) m_pend_pos = m_pend_len = 0;
  if (m_pend_len == kPendingSize) {
    m_status = kCodeTableOverflow;
    return false;
  }
  m_tables->pending[m_pend_len++] = byte;
  return true;
}

int GifDecoder::take_pending(std::uint8_t* row, int n) {
  const std::size_t k = std::min(m_pend_len - m_pend_pos, static_cast<std::size_t>(m_width - n));
  if (k == 0) return n;
  std::memcpy(row + n, m_tables->pending + m_pend_pos, k);
  m_pend_pos += k;
  return n + static_cast<int>(k);
}

// A clear code: an empty table, then the next code that is not a clear code
// is the next index (after those already decoded), unless it ends the data.
int GifDecoder::restart(std::uint8_t* row, int n) {
  reset_table();
  int code;
  do {
    code = read_code();
  } while (code == m_clear);
  if (code < 0 || code == m_end) {
    m_ended = true;
    return n;
  }
  m_old = code;
  m_first = code & 0xFF;
  // A first code beyond the roots names no string of this table: the table
  // is then followed exactly as it stands, one link at a time.
  m_plain = code < m_clear;
  if (n < m_width && m_pend_pos == m_pend_len) {
    row[n++] = static_cast<std::uint8_t>(code);
  } else {
    append_pending(static_cast<std::uint8_t>(code));
  }
  return n;
}

// All 4096 codes are in use: the next code is read at once. A clear code
// empties the table; an end code or the end of the data ends the picture;
// any other code is kept for the decoding loop, which goes on with the table
// as it stands, adding nothing, until a clear code comes (a "deferred
// clear", as GIF89a allows).
int GifDecoder::table_full(std::uint8_t* row, int n) {
  const int code = read_code();
  if (code == m_clear) return restart(row, n);
  if (code < 0 || code == m_end) {
    m_ended = true;
  } else {
    m_held = code;
  }
  return n;
}

// The string of code (of old code and the first index again when repeat)
// when it does not fit the rest of the row, or when the table must be
// followed link by link: built in the pending buffer, as much as fits
// copied to the row. Sets root to the string's first index; 0 on overflow
// of the stack.
int GifDecoder::spill(std::uint8_t* row, int n, int code, bool repeat, unsigned& root) {
  Tables& t = *m_tables;
  int c = repeat ? m_old : code;
  std::size_t depth = 0;
  if (repeat) t.stack[depth++] = static_cast<std::uint8_t>(m_first);
  while (c > m_end) {
    if (depth == kTableSize) {
      m_status = kCodeTableOverflow;
      return n;
    }
    t.stack[depth++] = t.suffix[c];
    c = t.prefix[c];
  }
  if (depth == kTableSize) {
    m_status = kCodeTableOverflow;
    return n;
  }
  t.stack[depth++] = static_cast<std::uint8_t>(c);
  root = c & 0xFF;
  m_pend_pos = 0;
  m_pend_len = depth;
  std::reverse_copy(t.stack, t.stack + depth, t.pending);
  return take_pending(row, n);
}

// Decodes codes into row from index n until the row is full, the data ends
// or the stream is refused. The state lives in locals here; the rare cases
// work on the members.
int GifDecoder::decode_codes(std::uint8_t* row, int n) {
  Tables& t = *m_tables;
  const int w = m_width;
  const int clear = m_clear, end = m_end;
  const std::uint8_t* const data = m_data.get();
  std::size_t bit = m_bit, fast_bits = m_fast_bits;
  int width = m_code_width, limit = m_limit, next = m_next, old = m_old;
  unsigned first = m_first;
  bool plain = m_plain;

  auto save = [&] {
    m_bit = bit;
    m_code_width = width;
    m_limit = limit;
    m_next = next;
    m_old = old;
    m_first = first;
    m_plain = plain;
  };
  auto load = [&] {
    bit = m_bit;
    fast_bits = m_fast_bits;
    width = m_code_width;
    limit = m_limit;
    next = m_next;
    old = m_old;
    first = m_first;
    plain = m_plain;
  };

  while (n < w) {
    int code;
    if (m_held >= 0) {
      code = m_held;
      m_held = -1;
    } else if (bit + static_cast<std::size_t>(width) <= fast_bits) {
      const std::uint32_t v = io::le32(data + (bit >> 3)) >> (bit & 7);
      code = static_cast<int>(v & ((1u << width) - 1));
      bit += static_cast<std::size_t>(width);
    } else {
      save();
      code = read_code_slow();
      load();
    }
    if (code < 0 || code == clear || code == end) {
      save();
      if (code == clear) {
        n = restart(row, n);
        load();
        if (m_ended) break;
        continue;
      }
      m_ended = true;
      break;
    }
    if (code > next) {
      save();
      m_status = kBadCode;
      return n;
    }
    const bool repeat = code == next;
    unsigned root = 0;
    const int cur = repeat ? old : code;
    const int len = t.length[cur];
    if (plain && len <= kWordIndices && len + repeat <= w - n) {
      // Whole, the bytes past its end (into the row's slack at the most)
      // written over by the next string, or put back when the data ends.
      const std::uint64_t word = t.word[cur];
      std::memcpy(row + n, &word, sizeof word);
      root = static_cast<unsigned>(word & 0xFF);
      if (repeat) row[n + len] = static_cast<std::uint8_t>(first);
      n += len + repeat;
    } else if (plain && len + repeat <= w - n) {
      // Written from its last index back to its root.
      std::uint8_t* p = row + n + len - 1;
      if (repeat) p[1] = static_cast<std::uint8_t>(first);
      int c = cur;
      while (p > row + n) {
        *p-- = t.suffix[c];
        c = t.prefix[c];
      }
      root = t.suffix[c];
      *p = static_cast<std::uint8_t>(root);
      n += len + repeat;
    } else {
      save();
      n = spill(row, n, code, repeat, root);
      if (m_status != 0) return n;
    }
    if (next < limit) {
      first = root;
      t.suffix[next] = static_cast<std::uint8_t>(root);
      t.prefix[next] = static_cast<std::uint16_t>(old);
      t.length[next] = static_cast<std::uint16_t>(t.length[old] + 1);
      if (t.length[old] < kWordIndices) {
        t.word[next] = t.word[old] | std::uint64_t{root} << (8 * t.length[old]);
      }
      ++next;
      old = code;
    }
    if (next >= limit) {
      if (width < kMaxCodeWidth) {
        ++width;
        limit <<= 1;
      } else {
        save();
        n = table_full(row, n);
        if (m_status != 0 || m_ended) return n;
        load();
      }
    }
  }
  save();
  return n;
}

// The row buffer keeps its indices from row to row: after the end of the
// data, the rest of the row and every later row keep what it held.
int GifDecoder::read_row() {
  if (status() != 0) return m_status;
  std::uint8_t* row = row_buffer.get();
  int n = take_pending(row, 0);
  if (n < m_width && !m_ended) {
    // What the row held, for the indices that whole strings wrote past the
    // last one when the data ends in the row.
    std::uint8_t* before = m_row_before.get();
    std::memcpy(before + n, row + n, static_cast<std::size_t>(m_width - n));
    n = decode_codes(row, n);
    if (m_ended && n < m_width) {
      std::memcpy(row + n, before + n, std::min<std::size_t>(kWordIndices, m_width - n));
    }
  }
  return status();
}

int GifDecoder::decode(ImageSink& out) {
  return decode_rows(&out);
}

int GifDecoder::decode_rows(ImageSink* out) {
  if (status() != 0) return kReadFailure + m_status;
  if (out != nullptr) {
    out->palette(m_colours.data(), m_colours.size());
    if (out->typed() && m_transparent >= 0) {
      std::uint8_t alpha[256];
      std::fill_n(alpha, 256, std::uint8_t{255});
      alpha[m_transparent] = 0;
      out->palette_alpha(alpha, 256);
    }
  }
  const std::int64_t w = m_width, h = m_height;
  // An interlaced picture is gathered whole, then handed on top row first.
  std::unique_ptr<std::uint8_t[]> frame;
  if (m_interlaced && h > 1 && out != nullptr) {
    frame.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(w * h + 1)]);
    if (frame == nullptr) return kOutOfMemory;
  }
  // A file that ends inside the data (the codes read past its end, whatever
  // they then made of the missing bytes) says in which row of the picture.
  std::int64_t y = -kPasses[0].step;
  auto failed = [&](int code) {
    if (m_eof) m_detail = ends_in_image_data(std::max<std::int64_t>(y, 0), h);
    return kReadFailure + code;
  };
  if (!m_interlaced && out != nullptr && w * h >= kAlongsideFrom) {
    std::unique_ptr<std::uint8_t[]> rows(new (std::nothrow)
                                             std::uint8_t[static_cast<std::size_t>(w * h)]);
    if (rows != nullptr) {
      if (int r = decode_alongside(*out, rows.get(), y)) return failed(r);
      return status() == 0 ? 0 : failed(status());
    }
  }
  std::size_t pass = 0;
  for (std::int64_t i = 0; i < h; ++i) {
    if (!m_interlaced) {
      y = i;
    } else {
      y += kPasses[pass].step;
      while (y >= h && pass + 1 < std::size(kPasses)) {
        ++pass;
        y = kPasses[pass].first;
      }
    }
    if (int r = read_row()) return failed(r);
    if (out == nullptr) continue;
    if (frame == nullptr) {
      out->row(row_buffer.get(), PixelLayout::indexed());
      continue;
    }
    std::memcpy(frame.get() + y * w, row_buffer.get(), static_cast<std::size_t>(w));
  }
  if (frame != nullptr) {
    out->rows(frame.get(), w, static_cast<int>(h), PixelLayout::indexed());
  }
  return status() == 0 ? 0 : failed(status());
}

// The codes are decoded on a thread of their own into rows, a top-down
// picture's, which this thread hands on a band at a time as they are done:
// the palette lookup and the scatter into the result's columns take about
// as long as the decoding, which is serial. A row that fails ends the
// decoding (its code returned, y its row) after the rows before it.
int GifDecoder::decode_alongside(ImageSink& out, std::uint8_t* rows, std::int64_t& y) {
  const std::int64_t w = m_width, h = m_height;
  int failure = 0;
  make_alongside(
      [&](const auto& publish) {
        std::int64_t r = 0;
        for (; r < h; ++r) {
          if ((failure = read_row()) != 0) break;
          std::memcpy(rows + r * w, row_buffer.get(), static_cast<std::size_t>(w));
          if ((r + 1) % kBandRows == 0) publish(r + 1);
        }
        y = r;
        return r;
      },
      [&](std::int64_t from, std::int64_t to) {
        for (std::int64_t r = from; r < to;) {
          const int n = static_cast<int>(std::min<std::int64_t>(kBandRows, to - r));
          out.rows(rows + r * w, static_cast<std::ptrdiff_t>(w), n, PixelLayout::indexed());
          r += n;
        }
      });
  return failure;
}

}  // namespace kexio
