// TIFF pictures through libtiff: 8-bit grey or red, green, blue samples,
// pixel-interleaved, in strips.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/limits.h"
#include "core/parallel.h"
#include "io/fd.h"
#include "keximager.h"
#include "kexio/host/errors.h"

namespace keximager {

namespace {

namespace io = kexio::io;

// Grey pictures are Deflate-compressed (libdeflate's level 6 of 12, after
// horizontal differencing); colour pictures are stored uncompressed, as
// Pillow does by default: even the fastest Deflate makes writing a large
// photograph several times slower, for files about a quarter smaller.
constexpr int kZipQuality = 6;
// Uncompressed bytes of a strip.
constexpr std::size_t kStripBytes = std::size_t{256} << 10;
constexpr std::size_t kBandBytes = std::size_t{1} << 20;
// Buffers of bands: converted ahead of the one being written.
constexpr std::size_t kSlots = 4;
// Pictures of fewer bytes are converted and written by the calling thread
// alone.
constexpr std::uint64_t kThreadedBytes = std::uint64_t{4} << 20;

// The file libtiff writes to, through our descriptor (which libtiff must not
// close), and the first failure it met.
struct Sink {
  int fd;
  int error = 0;        // errno of a failed system call
  std::string message;  // libtiff's first error message
};

tmsize_t read_proc(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<Sink*>(h);
  std::int64_t got = io::read_full(s->fd, buf, static_cast<std::size_t>(n));
  if (got < 0 && s->error == 0) s->error = errno;
  return static_cast<tmsize_t>(got);
}

tmsize_t write_proc(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<Sink*>(h);
  if (io::write_full(s->fd, buf, static_cast<std::size_t>(n))) return n;
  if (s->error == 0) s->error = errno;
  return -1;
}

toff_t seek_proc(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<Sink*>(h);
  off_t at = ::lseek(s->fd, static_cast<off_t>(off), whence);
  if (at < 0 && s->error == 0) s->error = errno;
  return static_cast<toff_t>(at);
}

int close_proc(thandle_t) {
  return 0;  // the descriptor belongs to the Output
}

toff_t size_proc(thandle_t h) {
  return static_cast<toff_t>(io::kind_of(static_cast<Sink*>(h)->fd).size);
}

int map_proc(thandle_t, void**, toff_t*) {
  return 0;
}

void unmap_proc(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* s = static_cast<Sink*>(user);
  if (s->message.empty()) {
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, ap);
    s->message = std::string(module != nullptr ? module : "libtiff") + ": " + text;
  }
  return 1;
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;  // nothing a writer could act on
}

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};

[[noreturn]] void tiff_failed(const Sink& s) {
  if (s.error != 0) write_failed(s.error);
  write_failed(s.message.empty() ? std::string("libtiff failed") : s.message);
}

}  // namespace

void write_tiff(Output& out, const aMatrix* m, unsigned planes) {
  const std::uint32_t width = m->cols / planes, height = m->rows;
  const std::size_t row_bytes = std::size_t{width} * planes;
  const auto strip_rows = static_cast<std::uint32_t>(std::clamp<std::size_t>(
      kStripBytes / std::max<std::size_t>(row_bytes, 1), 1, std::max(height, 1u)));
  // Whole strips are converted at a time and each is compressed in one go.
  const std::size_t strip_bytes = strip_rows * row_bytes;
  RowPacker rows(m, planes, kByte,
                 strip_bytes * std::max<std::size_t>(1, kBandBytes / strip_bytes));
  const std::uint64_t bytes = std::uint64_t{height} * row_bytes;
  Sink sink{out.fd(), 0, {}};
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                       &TIFFOpenOptionsFree);
  if (!options) Kex::Throw("out of memory", Kex::kWholeCall);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), &on_error, &sink);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), &on_warning, &sink);
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt(
      "picture", bytes > kexio::limits::kTiffMaxClassicBytes ? "w8" : "w", &sink, &read_proc,
      &write_proc, &seek_proc, &close_proc, &size_proc, &map_proc, &unmap_proc, options.get()));
  if (!tif) tiff_failed(sink);

  TIFF* t = tif.get();
  bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, planes) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                         planes == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, strip_rows);
  if (planes == 1) {
    // Room for a whole compressed strip lets libtiff compress each strip
    // with libdeflate in one call.
    ok = ok && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
         TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
         TIFFSetField(t, TIFFTAG_ZIPQUALITY, kZipQuality) &&
         TIFFWriteBufferSetup(t, nullptr,
                              static_cast<tmsize_t>(strip_bytes + strip_bytes / 8 + 4096));
  }
  if (!ok) tiff_failed(sink);

  // Bands of whole strips are converted by two threads into kSlots
  // buffers while whichever thread finds the next band in order ready
  // writes its strips: the conversion of one band overlaps the writing of
  // another. libtiff's handle is used by one thread at a time, the one
  // writing.
  const std::uint32_t band = rows.band_rows();
  const std::size_t bands = height == 0 ? 0 : (height - 1) / band + 1;
  const std::size_t band_bytes = std::size_t{band} * row_bytes;
  // Bands of rows wider than a band's bytes get fewer buffers.
  const std::size_t slots = std::clamp<std::size_t>(
      std::min(bands, kSlots * kBandBytes / std::max<std::size_t>(band_bytes, 1)), 1, kSlots);
  const std::size_t threads =
      bytes < kThreadedBytes || std::thread::hardware_concurrency() < 2 ? 1 : 2;
  std::unique_ptr<std::uint8_t[]> buffers(new std::uint8_t[slots * band_bytes]);
  std::vector<std::unique_ptr<std::uint8_t[]>> tiles;
  for (std::size_t k = 0; k < threads; ++k)
    tiles.emplace_back(new std::uint8_t[rows.tile_bytes()]);

  // Uncompressed strips go to the file as they are, without libtiff's copy.
  auto write_band = [&](std::size_t b) {
    const std::uint32_t top = static_cast<std::uint32_t>(b) * band;
    const std::uint32_t n = std::min(band, height - top);
    std::uint8_t* data = buffers.get() + b % slots * band_bytes;
    tstrip_t strip = top / strip_rows;
    for (std::uint32_t k = 0; k < n; k += strip_rows, ++strip) {
      const std::uint32_t count = std::min(strip_rows, n - k);
      const auto size = static_cast<tmsize_t>(count * row_bytes);
      const tmsize_t wrote = planes == 1
                                 ? TIFFWriteEncodedStrip(t, strip, data + k * row_bytes, size)
                                 : TIFFWriteRawStrip(t, strip, data + k * row_bytes, size);
      if (wrote < 0) return false;
    }
    return true;
  };
  const bool written = kexio::make_in_order(
      threads, bands, slots,
      [&](std::size_t b, std::size_t k) {
        const std::uint32_t top = static_cast<std::uint32_t>(b) * band;
        rows.rows_into(top, std::min(band, height - top), buffers.get() + b % slots * band_bytes,
                       tiles[k].get());
      },
      write_band);
  if (!written) tiff_failed(sink);
  if (!TIFFFlush(t)) tiff_failed(sink);
  tif.reset();
  if (sink.error != 0 || !sink.message.empty()) tiff_failed(sink);
  out.commit();
}

}  // namespace keximager
