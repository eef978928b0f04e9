// Raw images: Y rows of X pixels of Z interleaved samples of one type, after
// K header bytes, row 0 first. In the matrix each sample of a pixel has a
// plane of its own, the planes side by side, as colour images are packed.
#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include "core/limits.h"
#include "core/parallel.h"
#include "core/transpose.h"
#include "io/fd.h"
#include "io/mapping.h"
#include "keximager.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace keximager {

namespace {

namespace columns = kexio::columns;
namespace io = kexio::io;

namespace limits = kexio::limits;

constexpr double kInt32Max = static_cast<double>(limits::kMaxInt32);
// Files of at least this many sample bytes are read and converted by up to
// kMaxParts threads.
constexpr std::size_t kThreadedBytes = std::size_t{1} << 20;
constexpr unsigned kMaxParts = 4;
constexpr std::size_t kWriteBand = std::size_t{1} << 20;

// A whole, non-negative real number up to max.
std::uint64_t whole(const aComplex* v, std::uint32_t index, double max = kInt32Max) {
  const double x = v->rp;
  if (v->ip != 0.0 || !(x == std::floor(x)) || x < 0) {
    Kex::Throw("must be non-negative integer", index);
  }
  if (x > max) Kex::Throw("integer too large", index);
  return static_cast<std::uint64_t>(x);
}

unsigned samples_per_pixel(const aComplex* v, std::uint32_t index) {
  const double x = v->rp;
  if (v->ip != 0.0 || !(x == 1 || x == 2 || x == 3 || x == 4)) {
    Kex::Throw("must be 1, 2, 3 or 4", index);
  }
  return static_cast<unsigned>(x);
}

SampleType type_named(const char* word, std::uint32_t index) {
  SampleType t{};
  if (!sample_type(word, t)) Kex::Throw("unrecognized value", index);
  return t;
}

// The geometry of a raw file.
struct Layout {
  std::uint64_t width, height;
  unsigned planes;
  SampleType type;
  std::uint64_t row_samples() const { return width * planes; }
};

columns::Kernel unpacker(const SampleType& t) {
  const bool swap = t.big_endian != (std::endian::native == std::endian::big);
  switch (t.code) {
    case MUTIL_UINT8:
      return columns::kernel<std::uint8_t>(swap);
    case MUTIL_SINT8:
      return columns::kernel<std::int8_t>(swap);
    case MUTIL_UINT16:
      return columns::kernel<std::uint16_t>(swap);
    case MUTIL_SINT16:
      return columns::kernel<std::int16_t>(swap);
    case MUTIL_UINT32:
      return columns::kernel<std::uint32_t>(swap);
    case MUTIL_SINT32:
      return columns::kernel<std::int32_t>(swap);
    case MUTIL_FLOAT:
      return columns::kernel<float>(swap);
    default:
      return columns::kernel<double>(swap);
  }
}

[[noreturn]] void read_failed(int error) {
  Kex::Throw((std::string("file read error: ") + std::strerror(error)).c_str(), 1);
}

// Fills the matrix from the samples, length bytes after skip: mapped where
// the file can be, else read whole into scratch memory of the call (each
// strip of columns takes a piece of every row). Large files are converted
// by several threads, each a part of the matrix.
void read_samples(int fd, std::uint64_t skip, std::size_t length, const Layout& l, double* out) {
  io::Mapping mapped(fd, skip, length, true);
  const std::uint8_t* data = mapped.data();
  if (data == nullptr) {
    auto* scratch = reinterpret_cast<std::uint8_t*>(Kex::allocate_doubles(length / 8 + 1));
    if (scratch == nullptr) Kex::Throw("out of memory", 1);
    const std::int64_t got = io::pread_full(fd, scratch, length, static_cast<std::int64_t>(skip));
    if (got < 0) read_failed(errno);
    if (static_cast<std::size_t>(got) < length) read_failed(EIO);  // the file shrank meanwhile
    data = scratch;
  }
  const unsigned parts =
      length < kThreadedBytes ? 1 : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxParts);
  const columns::Kernel convert = unpacker(l.type);
  const columns::Layout to{out, l.width, l.height, l.planes};
  kexio::run_all(parts, [&](std::size_t i) {
    columns::rows_to_columns(convert, data, l.type.size, l.height, l.row_samples(), to,
                             static_cast<unsigned>(i), parts);
  });
}

}  // namespace

aMatrix* read_raw(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                  const aComplex* z, const char* s, const aComplex* k, const char* cwd) {
  Layout l{whole(x, 2), whole(y, 3), samples_per_pixel(z, 4), type_named(s, 5)};
  const std::uint64_t skip = whole(k, 6, limits::kRawMaxSkip);
  if (static_cast<double>(l.row_samples()) > kInt32Max) Kex::Throw("integer too large", 2);

  const std::string path = resolve(file, cwd, CHTTPRedirector::kRead);
  io::Fd fd = io::open_read(path);
  if (!fd) Kex::Throw("file open error", 1, io::failure_detail(errno, path));
  // Settled against the file's size before anything is allocated; pipes
  // and devices have no size and count as empty.
  const std::uint64_t samples = l.height * l.row_samples();
  if (samples > limits::kRawMaxSamples) {
    Kex::Throw(("expected " + std::to_string(samples) + " samples, more than can be held in memory")
                   .c_str(),
               1);
  }
  const std::uint64_t need = skip + samples * l.type.size;
  const auto have = static_cast<std::uint64_t>(io::kind_of(fd.get()).size);
  if (need > have) {
    Kex::Throw(
        ("expected " + std::to_string(need) + " bytes, file holds " + std::to_string(have)).c_str(),
        1);
  }
  double* values = Kex::allocate_doubles(static_cast<std::size_t>(samples));
  aMatrix* result = values == nullptr
                        ? nullptr
                        : Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(l.height),
                                               static_cast<std::uint32_t>(l.row_samples()), values);
  if (result == nullptr) Kex::Throw("out of memory", 1);
  if (samples > 0) {
    read_samples(fd.get(), skip, static_cast<std::size_t>(need - skip), l, values);
  }
  return result;
}

void write_raw(const aMatrix* m, const char* file, const aComplex* x, const char* s,
               const char* cwd) {
  const unsigned planes = samples_per_pixel(x, 2);
  const SampleType type = type_named(s, 3);
  if (!pure_real(m)) Kex::Throw("must be real matrix", 4);
  if (m->cols % planes != 0) Kex::Throw("not a packed image matrix", 4);
  RowPacker rows(m, planes, type, kWriteBand);
  Output out(resolve(file, cwd, CHTTPRedirector::kWrite), O_WRONLY);
  for (std::uint32_t top = 0; top < rows.height(); top += rows.band_rows()) {
    const std::uint32_t n = std::min(rows.band_rows(), rows.height() - top);
    out.write(rows.rows(top, n), n * rows.row_bytes());
  }
  out.commit();
}

}  // namespace keximager
