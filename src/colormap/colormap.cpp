// LoadColormap and SaveColormap: n x 3 colour matrices in colormap files.
//
// A colormap file is an archive stream: the identification string, the
// colour count and one 32-bit value per colour (red in the low byte, then
// green and blue, the high byte zero). Colormaps live in cmaps/ beside
// libkexio.so; names are used as given, not resolved against the worksheet
// directory.
//
// SaveColormap replaces a file only with a complete new one: a failure leaves
// an existing colormap as it was.
#include <fcntl.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "colormap/archive.h"
#include "core/limits.h"
#include "host/loader.h"
#include "host/workers.h"
#include "io/byte_reader.h"
#include "io/byte_writer.h"
#include "io/replace.h"
#include "kexio/host/errors.h"

namespace kexio {

namespace {

constexpr char kIdentification[] = "Pellmark Colormap";
constexpr std::size_t kMaxMessage = limits::kMaxMessage;
// The archive buffer of the format.
constexpr std::size_t kBuffer = 4096;

std::string colormap_dir() {
  return module_dir() + "/cmaps/";
}

// The final component of a path has an extension when it contains a dot
// (".hidden" and "x." count, as the file-name splitter of the format's
// platform sees them).
bool has_extension(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// A bare name goes into the colormap folder, a name with a folder is a path
// of its own; ".cmp" is added only when the name has no extension.
std::string save_path(const char* name) {
  std::string n = name;
  std::string path = n.find('/') == std::string::npos ? colormap_dir() + n : n;
  if (!has_extension(n)) path += ".cmp";
  return path;
}

// Reports a file or archive failure at the name: its text, cut to what the
// host shows (never inside a UTF-8 sequence), or "file i/o error" without one.
[[noreturn]] void report(const std::string& text) {
  if (text.empty()) Kex::Throw("file i/o error", 1);
  std::string shown = text;
  if (shown.size() > kMaxMessage) {
    std::size_t cut = kMaxMessage;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
      --cut;
    shown.resize(cut);
  }
  Kex::Throw(shown.c_str(), 1);
}

// The text of a failure of `what` ("cannot open", ...) on `path` for errno e.
std::string describe(const char* what, const std::string& path, int e) {
  return std::string(what) + " '" + path + "': " + std::strerror(e);
}

// Reports a read that failed: the end of the file came first, or the system
// refused the read.
[[noreturn]] void report_short(const io::ByteReader& in, const std::string& path) {
  if (in.io_error()) report(describe("cannot read", path, EIO));
  report("unexpected end of file in '" + path + "'");
}

}  // namespace

aMatrix* read_colormap(KexCallContext* ctx, const char* file) {
  const std::string path = colormap_dir() + file + ".cmp";
  io::Fd fd = io::open_read(path);
  if (!fd) report(describe("cannot open", path, errno));
  io::ByteReader in(std::move(fd));

  // A stream (a FIFO) has no end to check lengths against: a text or a
  // table longer than a stream may hold is no colormap.
  const bool stream = in.size() < 0;
  std::optional<std::string> identification = archive::read_string(in);
  if (!identification && stream && !in.failed()) Kex::Throw("bad colormap matrix", 1);
  if (!identification) report_short(in, path);
  if (*identification != kIdentification) Kex::Throw("bad colormap matrix", 1);
  const auto count = static_cast<std::int32_t>(in.le32());
  if (in.failed()) report_short(in, path);
  if (count < 0) Kex::Throw("bad colormap matrix", 1);
  const auto n = static_cast<std::uint32_t>(count);
  if (stream && 4 * std::uint64_t{n} > limits::kStreamMaxBytes) {
    Kex::Throw("bad colormap matrix", 1);
  }
  // A count beyond the end of a file fails before anything is allocated.
  if (4 * static_cast<std::int64_t>(n) > in.remaining()) report_short(in, path);

  double* rgb = Kex::allocate_doubles(static_cast<std::size_t>(n) * 3);
  aMatrix* m = rgb != nullptr ? Kex::new_real_matrix(ctx->m_alloc, n, 3, rgb) : nullptr;
  if (m == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t v = in.le32();
    rgb[i] = v & 0xFF;
    rgb[n + i] = (v >> 8) & 0xFF;
    rgb[2 * static_cast<std::size_t>(n) + i] = (v >> 16) & 0xFF;
  }
  if (in.failed()) report_short(in, path);
  return m;
}

aComplex* write_colormap(KexCallContext* ctx, const char* file, const aMatrix* m) {
  if (m->rows < 2) Kex::Throw("must have at least 2 colors", 2);
  if (m->cols != 3) Kex::Throw("must be an nx3 matrix", 2);
  const std::uint32_t n = m->rows;

  // Every colour is converted before any file is touched: each component is
  // clamped to 0..255 and truncated; NaN has no colour value.
  std::vector<std::uint32_t> colours(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t packed = 0;
    for (std::uint32_t c = 0; c < 3; ++c) {
      double x = m->m_rv[static_cast<std::size_t>(c) * n + i];
      if (std::isnan(x)) Kex::Throw("must be real matrix", 2);
      x = x > 255.0 ? 255.0 : (x < 0.0 ? 0.0 : x);
      packed |= static_cast<std::uint32_t>(x) << (8 * c);
    }
    colours[i] = packed;
  }

  const std::string dest = save_path(file);
  io::Replacement file_out;
  if (int e = file_out.open(dest, O_WRONLY)) Kex::Throw("file i/o error", 1, file_out.detail(e));
  io::ByteWriter out(file_out.fd(), kBuffer);
  archive::write_string(out, kIdentification);
  out.le32(n);
  for (std::uint32_t v : colours)
    out.le32(v);
  if (!out.flush()) report(describe("cannot write", dest, out.error()));
  if (int e = file_out.commit()) Kex::Throw("file i/o error", 1, file_out.detail(e));

  const double re = n;
  const double im = 0.0;
  aComplex* z = Kex::new_complex(ctx->m_alloc, &re, &im);
  if (z == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  return z;
}

}  // namespace kexio
