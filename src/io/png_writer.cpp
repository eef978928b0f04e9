#include "io/png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "io/byte_writer.h"
#include "io/endian.h"

namespace kexio::io {

namespace {

// Filtered bytes compressed as one part, one thread's unit of work; the
// parts depend on the picture alone, so the file does too.
constexpr std::size_t kPartBytes = std::size_t{4} << 20;
// Rows filled, filtered and handed to the compressor together.
constexpr std::size_t kBandBytes = std::size_t{256} << 10;
// Bytes of the first rows that choose the compression.
constexpr std::size_t kSampleBytes = std::size_t{256} << 10;
// The compressor's window: what a part takes from the one before it.
constexpr std::size_t kWindow = std::size_t{32} << 10;
// Compressed bytes an IDAT chunk holds at most.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr unsigned kMaxWorkers = 8;

// zlib's matching for a picture. Filtered photographs and noise hold few
// repeats, so run-length matching alone compresses them as well as zlib's
// default effort does, at twice the speed; drawings and other synthetic
// pictures need the full search.
constexpr int kLevel = 6;
constexpr int kFullSearch = Z_FILTERED;
constexpr int kRunLengths = Z_RLE;

// ---------------------------------------------------------------------------
// Filters

// The sum of the bytes of p as signed values' magnitudes.
std::uint64_t cost(const std::uint8_t* p, std::size_t n) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < n;) {
    const std::size_t end = std::min(n, i + 4096);
    std::uint32_t s = 0;
    for (; i < end; ++i) {
      const int v = static_cast<std::int8_t>(p[i]);
      s += static_cast<std::uint32_t>(v < 0 ? -v : v);
    }
    total += s;
  }
  return total;
}

// Row (n bytes, bpp bytes a pixel) filtered against prev, the row above it
// (zeros above the first): out[0] is the filter type, out[1 .. n] the
// filtered bytes. scratch holds 4 n bytes.
void filter_row(const std::uint8_t* row, const std::uint8_t* prev, std::size_t n, unsigned bpp,
                std::uint8_t* out, std::uint8_t* scratch) {
  std::uint8_t* const sub = scratch;
  std::uint8_t* const up = scratch + n;
  std::uint8_t* const avg = scratch + 2 * n;
  std::uint8_t* const paeth = scratch + 3 * n;
  const std::size_t lead = std::min<std::size_t>(bpp, n);
  // The first pixel has nothing to its left: left and upper left are 0.
  for (std::size_t i = 0; i < lead; ++i) {
    sub[i] = row[i];
    avg[i] = static_cast<std::uint8_t>(row[i] - (prev[i] >> 1));
    paeth[i] = static_cast<std::uint8_t>(row[i] - prev[i]);
  }
  for (std::size_t i = lead; i < n; ++i)
    sub[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
  for (std::size_t i = 0; i < n; ++i)
    up[i] = static_cast<std::uint8_t>(row[i] - prev[i]);
  for (std::size_t i = lead; i < n; ++i)
    avg[i] = static_cast<std::uint8_t>(row[i] - ((row[i - bpp] + prev[i]) >> 1));
  for (std::size_t i = lead; i < n; ++i) {
    const std::int16_t a = row[i - bpp], b = prev[i], c = prev[i - bpp];
    const std::int16_t pa = static_cast<std::int16_t>(std::abs(b - c));
    const std::int16_t pb = static_cast<std::int16_t>(std::abs(a - c));
    const std::int16_t pc = static_cast<std::int16_t>(std::abs(a + b - 2 * c));
    const std::int16_t pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    paeth[i] = static_cast<std::uint8_t>(row[i] - pred);
  }
  const std::uint8_t* const filtered[] = {row, sub, up, avg, paeth};
  unsigned best = 0;
  std::uint64_t least = cost(row, n);
  for (unsigned f = 1; f < 5; ++f) {
    const std::uint64_t c = cost(filtered[f], n);
    if (c < least) least = c, best = f;
  }
  out[0] = static_cast<std::uint8_t>(best);
  std::memcpy(out + 1, filtered[best], n);
}

// ---------------------------------------------------------------------------
// Compression

struct Deflater {
  z_stream z{};
  bool live = false;
  ~Deflater() {
    if (live) deflateEnd(&z);
  }
  // A raw deflate stream (the zlib header and check are written apart).
  void start(int strategy) {
    if (live) {
      deflateReset(&z);
      deflateParams(&z, kLevel, strategy);
      return;
    }
    if (deflateInit2(&z, kLevel, Z_DEFLATED, -15, 8, strategy) != Z_OK) throw std::bad_alloc();
    live = true;
  }
};

// A growing byte buffer that leaves what it has not written untouched.
struct Bytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0, capacity = 0;
  void reserve(std::size_t n) {
    if (n <= capacity) return;
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[n]);
    if (size != 0) std::memcpy(bigger.get(), data.get(), size);
    data = std::move(bigger);
    capacity = n;
  }
};

// Compresses n bytes at in into out, ending the data with flush
// (Z_NO_FLUSH, Z_SYNC_FLUSH or Z_FINISH).
void deflate_into(Deflater& d, const std::uint8_t* in, std::size_t n, int flush, Bytes& out) {
  z_stream& z = d.z;
  z.next_in = const_cast<std::uint8_t*>(in);
  std::size_t left = n;
  for (;;) {
    const auto step = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    z.avail_in = step;
    left -= step;
    const int mode = left == 0 ? flush : Z_NO_FLUSH;
    for (;;) {
      if (out.capacity - out.size < 64) out.reserve(out.capacity + out.capacity / 2 + 4096);
      const std::size_t room = std::min<std::size_t>(out.capacity - out.size, 1u << 30);
      z.next_out = out.data.get() + out.size;
      z.avail_out = static_cast<uInt>(room);
      const int r = deflate(&z, mode);
      out.size += room - z.avail_out;
      if (r == Z_STREAM_END) return;
      if (r != Z_OK && r != Z_BUF_ERROR) throw std::bad_alloc();
      if (z.avail_in == 0 && z.avail_out != 0) break;
    }
    if (left == 0) return;
  }
}

// ---------------------------------------------------------------------------
// The picture in parts

struct Layout {
  PngPicture p;
  std::size_t row, filtered;  // bytes of a row, of a filtered row
  unsigned bpp;
  std::uint32_t band;  // rows filtered together
  std::uint32_t parts;
  std::uint32_t first(std::uint32_t part) const {
    return static_cast<std::uint32_t>(std::uint64_t{p.height} * part / parts);
  }
};

Layout layout_of(const PngPicture& p) {
  Layout l{};
  l.p = p;
  l.row = p.row_bytes();
  l.filtered = l.row + 1;
  l.bpp = p.channels * (p.depth / 8);
  l.band = static_cast<std::uint32_t>(std::clamp<std::size_t>(kBandBytes / l.row, 1, p.height));
  const std::uint64_t total = std::uint64_t{l.filtered} * p.height;
  l.parts = static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>((total + kPartBytes - 1) / kPartBytes, 1, p.height));
  return l;
}

// What one thread keeps from part to part: rows as given, the row above
// them, the filtered rows.
class Filterer {
 public:
  Filterer(const Layout& l, const PngRows& rows, unsigned worker)
      : m_l(l),
        m_rows(rows),
        m_worker(worker),
        m_raw(new std::uint8_t[l.row * l.band]),
        m_prev(new std::uint8_t[l.row]),
        m_out(new std::uint8_t[l.filtered * l.band]),
        m_scratch(new std::uint8_t[4 * l.row]) {}

  // Starts before row y: the row above it is filled (zeros above the top).
  void start(std::uint32_t y) {
    if (y == 0) {
      std::memset(m_prev.get(), 0, m_l.row);
    } else {
      m_rows(m_worker, y - 1, 1, m_prev.get());
    }
  }

  // Rows y .. y + n - 1 (n <= band rows, following the rows before)
  // filtered, n filtered rows one after another.
  const std::uint8_t* filter(std::uint32_t y, std::uint32_t n) {
    m_rows(m_worker, y, n, m_raw.get());
    const std::uint8_t* prev = m_prev.get();
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint8_t* row = m_raw.get() + k * m_l.row;
      filter_row(row, prev, m_l.row, m_l.bpp, m_out.get() + k * m_l.filtered, m_scratch.get());
      prev = row;
    }
    std::memcpy(m_prev.get(), prev, m_l.row);
    return m_out.get();
  }

 private:
  const Layout& m_l;
  const PngRows& m_rows;
  unsigned m_worker;
  std::unique_ptr<std::uint8_t[]> m_raw, m_prev, m_out, m_scratch;
};

// A part compressed: its bytes, the check of its filtered data, and the
// check of each IDAT chunk it makes (the last one's still open).
struct Part {
  Bytes bytes;
  std::uint32_t adler = 1;
  std::size_t length = 0;  // filtered bytes
  std::vector<std::uint32_t> crcs;
};

std::uint32_t chunk_crc_start() {
  static const std::uint8_t kIdat[] = {'I', 'D', 'A', 'T'};
  return static_cast<std::uint32_t>(crc32(0, kIdat, 4));
}

void compress_part(const Layout& l, std::uint32_t k, int strategy, Filterer& f, Deflater& d,
                   Part& part) {
  const std::uint32_t top = l.first(k), end = l.first(k + 1);
  d.start(strategy);
  Bytes& out = part.bytes;
  out.reserve(deflateBound(&d.z, static_cast<uLong>(std::min<std::uint64_t>(
                                     std::uint64_t{l.filtered} * (end - top), 1u << 30))) +
              64);
  if (k == 0) {
    out.data[0] = 0x78;  // deflate with a 32 KiB window
    out.data[1] = 0x9C;  // default effort, no dictionary
    out.size = 2;
  }
  // The part continues the stream of the rows above it: their last 32 KiB
  // filtered is the dictionary.
  const auto above = static_cast<std::uint32_t>(
      std::min<std::size_t>(top, (kWindow + l.filtered - 1) / l.filtered));
  f.start(top - above);
  if (above != 0) {
    std::vector<std::uint8_t> window;
    for (std::uint32_t y = top - above; y < top;) {
      const std::uint32_t n = std::min(l.band, top - y);
      const std::uint8_t* b = f.filter(y, n);
      const std::size_t bytes = std::size_t{n} * l.filtered;
      const std::size_t keep = std::min(bytes, kWindow);
      window.insert(window.end(), b + bytes - keep, b + bytes);
      if (window.size() > kWindow) window.erase(window.begin(), window.end() - kWindow);
      y += n;
    }
    if (deflateSetDictionary(&d.z, window.data(), static_cast<uInt>(window.size())) != Z_OK)
      throw std::bad_alloc();
  }
  for (std::uint32_t y = top; y < end;) {
    const std::uint32_t n = std::min(l.band, end - y);
    const std::uint8_t* b = f.filter(y, n);
    const std::size_t bytes = std::size_t{n} * l.filtered;
    part.adler = static_cast<std::uint32_t>(adler32_z(part.adler, b, bytes));
    part.length += bytes;
    y += n;
    const int flush = y < end ? Z_NO_FLUSH : k + 1 == l.parts ? Z_FINISH : Z_SYNC_FLUSH;
    deflate_into(d, b, bytes, flush, out);
  }
  for (std::size_t at = 0; at < out.size; at += kChunkBytes) {
    const std::size_t n = std::min(kChunkBytes, out.size - at);
    part.crcs.push_back(
        static_cast<std::uint32_t>(crc32_z(chunk_crc_start(), out.data.get() + at, n)));
  }
}

// Run-length matching when it does within 2 % as well as the full search on
// the first rows.
int choose(const Layout& l, const PngRows& rows) {
  const auto n =
      static_cast<std::uint32_t>(std::clamp<std::size_t>(kSampleBytes / l.row, 1, l.p.height));
  Filterer f(l, rows, 0);
  f.start(0);
  Bytes sample;
  sample.reserve(std::size_t{n} * l.filtered);
  for (std::uint32_t y = 0; y < n;) {
    const std::uint32_t m = std::min(l.band, n - y);
    std::memcpy(sample.data.get() + sample.size, f.filter(y, m), std::size_t{m} * l.filtered);
    sample.size += std::size_t{m} * l.filtered;
    y += m;
  }
  std::size_t sizes[2];
  const int strategies[2] = {kFullSearch, kRunLengths};
  for (int i = 0; i < 2; ++i) {
    Deflater d;
    d.start(strategies[i]);
    Bytes out;
    out.reserve(deflateBound(&d.z, static_cast<uLong>(sample.size)) + 64);
    deflate_into(d, sample.data.get(), sample.size, Z_FINISH, out);
    sizes[i] = out.size;
  }
  return sizes[1] <= sizes[0] + sizes[0] / 50 ? kRunLengths : kFullSearch;
}

void chunk(ByteWriter& out, const char* type, const std::uint8_t* data, std::uint32_t n) {
  out.be32(n);
  out.write(type, 4);
  out.write(data, n);
  auto crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(type), 4));
  if (n != 0) crc = static_cast<std::uint32_t>(crc32_z(crc, data, n));
  out.be32(crc);
}

}  // namespace

unsigned png_workers(const PngPicture& p) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({layout_of(p).parts, cores, kMaxWorkers});
}

void write_png(ByteWriter& out, const PngPicture& p, const PngRows& rows) {
  const Layout l = layout_of(p);
  const int strategy = choose(l, rows);

  static const std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  out.write(kSignature, sizeof kSignature);
  static const std::uint8_t kColourType[] = {0, 4, 2, 6};
  std::uint8_t header[13];
  put_be32(header, p.width);
  put_be32(header + 4, p.height);
  header[8] = static_cast<std::uint8_t>(p.depth);
  header[9] = kColourType[p.channels - 1];
  header[10] = header[11] = header[12] = 0;  // deflate, adaptive filters, not interlaced
  chunk(out, "IHDR", header, sizeof header);

  // Parts are written in order as they are done, by the thread that
  // completes the next one due; written parts' buffers are used again, so
  // the compressed picture is never all in memory.
  std::mutex lock;
  std::vector<std::unique_ptr<Part>> done(l.parts), spare;
  std::uint32_t due = 0;
  std::uint32_t adler = 1;
  auto emit = [&](const Part& part, bool last_part) {
    adler = static_cast<std::uint32_t>(
        adler32_combine(adler, part.adler, static_cast<z_off_t>(part.length)));
    for (std::size_t c = 0, at = 0; at < part.bytes.size; ++c, at += kChunkBytes) {
      const std::size_t n = std::min(kChunkBytes, part.bytes.size - at);
      const bool last = last_part && at + n == part.bytes.size;
      std::uint32_t crc = part.crcs[c];
      std::uint8_t check[4];
      if (last) {  // the stream ends with the check of all filtered rows
        put_be32(check, adler);
        crc = static_cast<std::uint32_t>(crc32(crc, check, 4));
      }
      out.be32(static_cast<std::uint32_t>(n + (last ? 4 : 0)));
      out.write("IDAT", 4);
      out.write(part.bytes.data.get() + at, n);
      if (last) out.write(check, 4);
      out.be32(crc);
    }
  };

  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  run_all(png_workers(p), [&](std::size_t w) {
    try {
      Filterer f(l, rows, static_cast<unsigned>(w));
      Deflater d;
      std::unique_ptr<Part> part;
      for (std::uint32_t k = next++; k < l.parts && !failed; k = next++) {
        if (!part) part = std::make_unique<Part>();
        part->bytes.size = part->length = 0;
        part->adler = 1;
        part->crcs.clear();
        compress_part(l, k, strategy, f, d, *part);
        std::lock_guard<std::mutex> hold(lock);
        done[k] = std::move(part);
        for (; due < l.parts && done[due]; ++due) {
          emit(*done[due], due + 1 == l.parts);
          spare.push_back(std::move(done[due]));
        }
        if (!spare.empty()) {
          part = std::move(spare.back());
          spare.pop_back();
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(lock);
      if (!error) error = std::current_exception();
      failed = true;
    }
  });
  if (error) std::rethrow_exception(error);
  chunk(out, "IEND", nullptr, 0);
}

}  // namespace kexio::io
