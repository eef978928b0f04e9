// READBIN and WRITEBIN: matrices stored as headerless files of fixed-size
// binary numbers, row by row, in one of eight element types and either byte
// order.
//
// The workers own the argument checks, the geometry (rows, columns, bytes
// skipped) and the error reporting; the conversion between file bytes and
// numbers is done by the typed-matrix functions of the statistics library.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/limits.h"
#include "host/workers.h"
#include "io/replace.h"
#include "io/stream.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
#include "kexstatscir/matuniv.h"

namespace kexio {

namespace {

struct ElementType {
  const char* name;
  _mutil_data_type code;
  std::uint64_t size;
};

constexpr ElementType kElementTypes[] = {
    {"byte", MUTIL_UINT8, 1},   {"sint8", MUTIL_SINT8, 1},   {"uint16", MUTIL_UINT16, 2},
    {"int16", MUTIL_SINT16, 2}, {"uint32", MUTIL_UINT32, 4}, {"int32", MUTIL_SINT32, 4},
    {"float", MUTIL_FLOAT, 4},  {"double", MUTIL_DOUBLE, 8},
};

// The type named exactly (case and all), else "unrecognized value" at 2.
const ElementType& element_type(const char* name) {
  for (const ElementType& t : kElementTypes) {
    if (std::strcmp(t.name, name) == 0) return t;
  }
  Kex::Throw("unrecognized value", 2);
}

constexpr double kInt32Max = limits::kMaxInt32;

// A rows, cols or skip argument: a real integer of at least min, at most the
// largest 32-bit integer.
std::int32_t whole_number(const aComplex* v, double min, const char* message, std::uint32_t index) {
  double x = v->rp;
  if (v->ip != 0.0 || !(x == std::floor(x)) || x < min) Kex::Throw(message, index);
  if (x > kInt32Max) Kex::Throw("integer too large", index);
  return static_cast<std::int32_t>(x);
}

// Endian code 0 (little-endian) or 1 (big-endian); only the real part counts.
unsigned char endian_flag(const aComplex* v) {
  if (v->rp == 0.0) return 0;
  if (v->rp == 1.0) return 1;
  Kex::Throw("bad value for endian code", 3);
}

// The local path of a worksheet file name.
std::string resolve(const char* file, const char* cwd, int mode) {
  return CHTTPRedirector(file, cwd, mode).LocalPath();
}

// A typed matrix whose library storage is released on every way out.
struct Record : _univ_mat {
  Record() : _univ_mat{} {}
  ~Record() { mutils::matuniv_free(this); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
};

// k elements of a type at data, as a k x 1 typed matrix that the library
// neither owns nor releases.
_univ_mat view(std::int32_t k, _mutil_data_type type, void* data) {
  return _univ_mat{k, 1, MUTIL_STORAGE_SHARED, data, type};
}

// Bytes of typed elements converted and written at a time by WRITEBIN.
constexpr std::size_t kBandBytes = std::size_t{1} << 20;

// Gives the new file its final size up front, so that the file system
// allocates it in one go and a full disk is reported before anything is
// written. Files that cannot be sized this way (pipes, devices, some file
// systems) are simply written.
void reserve(int fd, std::size_t bytes) {
  if (bytes == 0 || bytes > static_cast<std::size_t>(INT64_MAX)) return;
  if (fallocate(fd, 0, 0, static_cast<off_t>(bytes)) != 0 && errno == ENOSPC) {
    Kex::Throw((std::string("file write error: ") + std::strerror(errno)).c_str(), 0);
  }
}

// "N element" or "N elements".
std::string elements(std::uint64_t n) {
  return std::to_string(n) + (n == 1 ? " element" : " elements");
}

[[noreturn]] void refuse(const std::string& message) {
  Kex::Throw(message.c_str(), 1);
}

}  // namespace

aMatrix* read_bin(KexCallContext* ctx, const char* file, const aComplex* rows_arg,
                  const aComplex* cols_arg, const char* type, const aComplex* endian,
                  const aComplex* skip_arg, const char* cwd) {
  const ElementType& t = element_type(type);
  std::string path = resolve(file, cwd, CHTTPRedirector::kRead);
  std::int32_t rows = whole_number(rows_arg, 0.0, "must be positive integer", 6);
  std::int32_t cols = whole_number(cols_arg, 1.0, "must be positive integer", 4);
  std::int32_t skip = whole_number(skip_arg, 0.0, "must be non-negative integer", 5);
  unsigned char flag = endian_flag(endian);

  // A folder cannot be read at all.
  io::Fd fd = io::open_read(path);
  if (!fd) Kex::Throw("file open error", 1, io::failure_detail(errno, path));

  // The geometry is settled against the file's size before anything is
  // allocated, so a short file or an oversized request costs nothing. Pipes
  // and devices have no size to go by and count as empty.
  auto size = static_cast<std::uint64_t>(io::kind_of(fd.get()).size);
  io::Stream f = io::stream_from(std::move(fd), "rb");
  if (!f) Kex::Throw("file open error", 1);
  std::uint64_t skipped = static_cast<std::uint64_t>(skip);
  std::uint64_t available = size > skipped ? (size - skipped) / t.size : 0;
  std::uint64_t want_rows = static_cast<std::uint64_t>(rows);
  if (rows == 0) {
    want_rows = available / static_cast<std::uint64_t>(cols);
    if (want_rows > static_cast<std::uint64_t>(kInt32Max)) {
      refuse("file holds " + std::to_string(want_rows) + " rows, at most " +
             std::to_string(limits::kMaxInt32) + " can be read");
    }
  }
  std::uint64_t expected = want_rows * static_cast<std::uint64_t>(cols);
  if (expected > available) {
    refuse("expected " + elements(expected) + ", file holds " + std::to_string(available));
  }
  if (expected > SIZE_MAX / sizeof(double)) {
    refuse("expected " + elements(expected) + ", more than can be held in memory");
  }
  rows = static_cast<std::int32_t>(want_rows);

  double* values = Kex::allocate_doubles(static_cast<std::size_t>(expected));
  aMatrix* result = values == nullptr
                        ? nullptr
                        : Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(rows),
                                               static_cast<std::uint32_t>(cols), values);
  if (result == nullptr) Kex::Throw("out of memory", 1);
  // Rows of at most 8 bytes are read straight into the end of the result's
  // array and widened there: the result is then the only fresh memory the
  // call touches. Wider rows would be overwritten before they are read, so
  // they go through a typed matrix of their own.
  Record record;
  if (t.size * static_cast<std::uint64_t>(cols) <= sizeof(double)) {
    auto* end = reinterpret_cast<unsigned char*>(values + expected);
    record.rows = rows;
    record.cols = cols;
    record.storage = MUTIL_STORAGE_SHARED;
    record.data = end - expected * t.size;
    record.type = t.code;
  } else {
    mutils::matuniv_malloc(&record, rows, cols, t.code);
  }
  if (const char* message = mutils::matuniv_read_raw(f.get(), skip, flag, ctx, &record)) {
    Kex::Throw(message, 1);
  }
  if (const char* message = mutils::matuniv_assign_to_corvida(&record, result)) {
    Kex::Throw(message, 1);
  }
  return result;
}

aComplex* write_bin(KexCallContext* ctx, const aMatrix* m, const char* file, const char* type,
                    const aComplex* endian, const char* cwd) {
  const ElementType& t = element_type(type);
  if (!pure_real(m)) Kex::Throw("must be real matrix", 4);
  unsigned char flag = endian_flag(endian);
  if (m->rows > kInt32Max || m->cols > kInt32Max) Kex::Throw("matrix too large", 4);
  auto rows = static_cast<std::int32_t>(m->rows);
  auto cols = static_cast<std::int32_t>(m->cols);

  Record values;
  mutils::matuniv_malloc(&values, rows, cols, MUTIL_DOUBLE);
  if (const char* message = mutils::matuniv_assign_from_corvida(m, &values)) {
    Kex::Throw(message, 1);
  }
  // The typed elements are made a band at a time, each band written as soon
  // as it is converted: it is still in the cache then, and no full-size typed
  // copy is ever held. Everything that can fail short of writing is done
  // before the file is opened.
  std::size_t count = static_cast<std::size_t>(m->rows) * m->cols;
  std::size_t band = std::min<std::size_t>(count, kBandBytes / t.size);
  Record typed;
  mutils::matuniv_malloc(&typed, static_cast<std::int32_t>(band), 1, t.code);
  if (count != 0 && typed.data == nullptr) Kex::Throw("out of memory", 1);

  // The new contents replace the file only once they are complete, so a
  // failure while writing leaves an existing file as it was.
  std::string path = resolve(file, cwd, CHTTPRedirector::kWrite);
  io::Replacement replacement;
  if (int e = replacement.open(path, O_WRONLY)) {
    Kex::Throw("file write error", 1, replacement.detail(e));
  }
  reserve(replacement.fd(), count * t.size);
  io::Stream f = io::stream_over(replacement.fd(), "wb");
  if (!f) Kex::Throw("file write error", 1);
  auto* from = static_cast<double*>(values.data);
  for (std::size_t i = 0; i < count; i += band) {
    auto k = static_cast<std::int32_t>(std::min(band, count - i));
    _univ_mat source = view(k, MUTIL_DOUBLE, from + i);
    _univ_mat target = view(k, t.code, typed.data);
    mutils::matuniv_cast(&source, 1, ctx, &target);
    if (const char* message = mutils::matuniv_write_raw(f.get(), &target, flag, ctx)) {
      Kex::Throw(message, 0);
    }
  }
  int e = io::close_stream(f);
  if (e == 0) e = replacement.commit();
  if (e != 0) Kex::Throw("file write error", 0, replacement.detail(e));

  const double zero = 0.0;
  aComplex* result = Kex::new_complex(ctx->m_alloc, &zero, &zero);
  if (result == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  return result;
}

}  // namespace kexio
