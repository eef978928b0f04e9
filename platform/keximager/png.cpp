// PNG pictures through libspng: 8-bit grey or red, green, blue, not
// interlaced, every row with the filter that suits it, encoded row by row.
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "io/byte_writer.h"
#include "keximager.h"
#include "kexio/host/errors.h"

namespace keximager {

namespace {

namespace io = kexio::io;

constexpr std::size_t kBandBytes = std::size_t{1} << 20;
// Bytes of the first rows that choose the compression.
constexpr std::size_t kSampleBytes = std::size_t{256} << 10;

// zlib's matching for a picture. Filtered photographs and noise hold few
// repeats, so run-length matching alone compresses them as well as zlib's
// default effort does, at twice the speed; drawings and other synthetic
// pictures need the full search.
struct Compression {
  int level;
  int strategy;
};
constexpr Compression kFullSearch{6, Z_FILTERED};
constexpr Compression kRunLengths{6, Z_RLE};

struct SpngFree {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};
using Context = std::unique_ptr<spng_ctx, SpngFree>;

int write_proc(spng_ctx*, void* user, void* data, std::size_t n) {
  auto* w = static_cast<io::ByteWriter*>(user);
  w->write(data, n);
  return w->failed() ? SPNG_IO_ERROR : 0;
}

int count_proc(spng_ctx*, void* user, void*, std::size_t n) {
  *static_cast<std::size_t*>(user) += n;
  return 0;
}

// An encoder of a picture of the size with the compression, whose output
// goes to out through write (0 on success, else libspng's code).
int start(Context& ctx, std::uint32_t width, std::uint32_t height, unsigned planes, Compression c,
          spng_rw_fn* write, void* out, int flags) {
  ctx.reset(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!ctx) return SPNG_EMEM;
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = 8;
  ihdr.color_type = planes == 1 ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR;
  spng_ctx* s = ctx.get();
  int r = spng_set_png_stream(s, write, out);
  if (r == 0) r = spng_set_ihdr(s, &ihdr);
  if (r == 0) r = spng_set_option(s, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_ALL);
  if (r == 0) r = spng_set_option(s, SPNG_IMG_COMPRESSION_LEVEL, c.level);
  if (r == 0) r = spng_set_option(s, SPNG_IMG_COMPRESSION_STRATEGY, c.strategy);
  if (r == 0) r = spng_encode_image(s, nullptr, 0, SPNG_FMT_PNG, flags);
  return r;
}

// The bytes n rows make as a PNG file of their own.
std::size_t encoded_size(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t n,
                         std::uint32_t width, unsigned planes, Compression c) {
  std::size_t bytes = 0;
  Context ctx;
  if (start(ctx, width, n, planes, c, &count_proc, &bytes, SPNG_ENCODE_PROGRESSIVE) != 0) {
    return SIZE_MAX;
  }
  for (std::uint32_t k = 0; k < n; ++k)
    spng_encode_row(ctx.get(), rows + k * row_bytes, row_bytes);
  return bytes;
}

// Run-length matching when it does within 2 % as well as the full search on
// the first rows.
Compression choose(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t n,
                   std::uint32_t width, unsigned planes) {
  n = static_cast<std::uint32_t>(std::clamp<std::size_t>(kSampleBytes / row_bytes, 1, n));
  const std::size_t full = encoded_size(rows, row_bytes, n, width, planes, kFullSearch);
  const std::size_t runs = encoded_size(rows, row_bytes, n, width, planes, kRunLengths);
  return runs <= full + full / 50 ? kRunLengths : kFullSearch;
}

[[noreturn]] void spng_failed(int code, const io::ByteWriter& w) {
  if (w.failed()) write_failed(w.error());
  write_failed(spng_strerror(code));
}

}  // namespace

void write_png(Output& out, const aMatrix* m, unsigned planes) {
  RowPacker rows(m, planes, kByte, kBandBytes);
  io::ByteWriter writer(out.fd());
  Context ctx;
  int r = 0;
  for (std::uint32_t top = 0; top < rows.height(); top += rows.band_rows()) {
    const std::uint32_t n = std::min(rows.band_rows(), rows.height() - top);
    const std::uint8_t* band = rows.rows(top, n);
    if (top == 0) {
      Compression c = choose(band, rows.row_bytes(), n, rows.width(), planes);
      r = start(ctx, rows.width(), rows.height(), planes, c, &write_proc, &writer,
                SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
      if (r != 0) spng_failed(r, writer);
    }
    for (std::uint32_t k = 0; k < n; ++k) {
      r = spng_encode_row(ctx.get(), band + k * rows.row_bytes(), rows.row_bytes());
      if (r != 0 && r != SPNG_EOI) spng_failed(r, writer);
    }
  }
  if (r != SPNG_EOI) spng_failed(r == 0 ? SPNG_EOI : r, writer);
  if (!writer.flush()) write_failed(writer.error());
  out.commit();
}

}  // namespace keximager
