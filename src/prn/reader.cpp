// READPRN: reads a text table of numbers, one row per line, into a real
// matrix; a file that starts with a .MATRIX block goes to the nested reader.
//
// The file is read in large blocks; values are recognised in the buffer and
// appended to one row-major buffer, which is transposed once into the result
// array of the call's arena.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "core/limits.h"
#include "host/workers.h"
#include "kexio/host/context.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
#include "kexio/host/transpose.h"
#include "prn/prn.h"

namespace kexio::prn {

namespace {

using Kex::kWholeCall;
using Kex::Throw;

// At most this many values are read. The row buffer holds at most this many,
// so a value past the limit can never be stored; before a row other than the
// first is accepted, the table is also cut so that it stays within the limit.
constexpr std::size_t kMaxValues = limits::kPrnMaxValues;

// Separators between values: white space, comma, semicolon, NUL and slash.
bool is_separator(int c) {
  return is_space(c) || c == ',' || c == ';' || c == '\0' || c == '/';
}

// The row-major value buffer, an array of the reading context's arena (whose
// large arrays are mappings backed by huge pages, so only the pages written
// cost anything). It is sized up front for the largest table the input can
// hold, and grows when a file turns out longer than its size said.
class RowBuffer {
 public:
  RowBuffer(IcvAllocator& arena, std::size_t expected) : m_arena(arena) {
    allocate(std::clamp<std::size_t>(expected, 512, kMaxValues));
  }

  // Stores v at index i; false when the buffer cannot hold index i.
  bool store(std::size_t i, double v) {
    if (i >= m_cap && !grow(i)) return false;
    m_data[i] = v;
    return true;
  }
  const double* data() const { return m_data; }

 private:
  void allocate(std::size_t n) {
    auto* p = static_cast<double*>(m_arena.allocate_array(n * sizeof(double)));
    if (p == nullptr) Throw("out of memory", kWholeCall);
    if (m_cap != 0) std::memcpy(p, m_data, m_cap * sizeof(double));
    m_data = p;
    m_cap = n;
  }

  bool grow(std::size_t i) {
    if (i >= kMaxValues) return false;
    allocate(std::min(std::max(2 * m_cap, i + 1), kMaxValues));
    return true;
  }

  IcvAllocator& m_arena;
  double* m_data = nullptr;
  std::size_t m_cap = 0;
};

constexpr long kEndOfFile = -1;
constexpr long kFull = -2;

// Reads one row into the buffer after the base values already held. Returns
// the number of values read, kEndOfFile when the file ended before any value
// of the row, kFull when the buffer could not take the next value.
long read_row(Input& in, RowBuffer& buf, std::size_t base) {
  long count = 0;
  for (;;) {
    int c = in.get();
    while (c != kEof && is_separator(c)) {
      if (c == '\n') return count;
      if (c == '/') {
        c = in.get();
        if (c == '/') {
          skip_line(in);
          return count;
        }
        // A lone slash separates; whatever follows it is taken as the start
        // of a value, even white space or a line feed.
        break;
      }
      c = in.get();
    }
    if (c == kEof) return count == 0 ? kEndOfFile : count;
    in.unget();
    double v;
    if (!scan_double(in, v)) {
      skip_token(in);
      continue;
    }
    if (!buf.store(base + static_cast<std::size_t>(count), v)) return kFull;
    ++count;
  }
}

// Says which row of a table differs from the rows above it: by its line in
// a file, by its number among the rows read from a stream.
std::string short_row(const Input& in, std::size_t row_at, std::size_t n, std::size_t columns,
                      std::size_t held) {
  std::size_t line = in.line_of(row_at);
  std::string where =
      line != 0 ? "line " + std::to_string(line) : "row " + std::to_string(held / columns + 1);
  return where + " has " + std::to_string(n) + (n == 1 ? " value" : " values") +
         ", the rows above have " + std::to_string(columns);
}

[[noreturn]] void too_large_to_append() {
  Throw("table too large to append: more than 8000000 values", kWholeCall);
}

// Reads the table into the context's arena. When below is given, its rows
// are appended under the table's (the column counts must agree). A table
// that is to be written back (whole) must be read to its end: rows past the
// value limit are refused rather than dropped.
Kex::aMatrix* read_table(KexCallContext* ctx, Input& in, const Cvd::MatVal* below, bool whole) {
  // A value takes at least one character and all but the last need a
  // separator or a sign after them, which bounds the values a file can hold.
  // A stream may hold as many as the limit; the pages never written are
  // never backed.
  std::size_t size = in.size_hint();
  RowBuffer buf(*ctx->m_alloc, size == 0 ? kMaxValues : size / 2 + 1);
  std::size_t columns = 0;
  std::size_t held = 0;
  for (;;) {
    std::size_t row_at = in.offset();
    long count = read_row(in, buf, held);
    if (count == kFull && whole) too_large_to_append();
    if (count == kEndOfFile || count == kFull) break;
    skip_eol(in);
    if (count == 0) continue;
    std::size_t n = static_cast<std::size_t>(count);
    if (columns == 0) {
      columns = n;
    } else {
      if (held + columns > kMaxValues) {
        if (whole) too_large_to_append();
        break;
      }
      if (n != columns)
        Throw("file i/o error", kWholeCall, short_row(in, row_at, n, columns, held));
    }
    held += columns;
  }
  if (columns == 0) Throw("file i/o error", kWholeCall, "the file holds no numbers");
  std::size_t rows = held / columns;
  std::size_t extra = 0;
  if (below != nullptr) {
    if (below->get_Cols() != columns) Throw("array size mismatch", kWholeCall);
    extra = below->get_Rows();
    if (rows + extra > limits::kMaxDimension) {
      Throw("file append error", kWholeCall);
    }
  }
  std::size_t total = rows + extra;
  double* values = Kex::allocate_doubles(total * columns);
  if (values == nullptr) Throw("out of memory", kWholeCall);
  Kex::transpose(buf.data(), rows, columns, values, total);
  for (std::size_t c = 0; c < columns && extra != 0; ++c) {
    std::memcpy(values + c * total + rows, below->real() + c * extra, extra * sizeof(double));
  }
  Kex::aMatrix* m = Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(total),
                                         static_cast<std::uint32_t>(columns), values);
  if (m == nullptr) Throw("out of memory", kWholeCall);
  return m;
}

// Reads a plain table (with the rows of below appended, when given) as a host
// matrix. The reader has its own context: the result array comes from its
// arena and is handed over to the host value without a copy.
Cvd::Ref read_plain(Input& in, const Cvd::MatVal* below, bool whole) {
  KexCallContext ctx;
  Kex::aMatrix* m = read_table(&ctx, in, below, whole);
  return KexMarshal::UnMarshal(reinterpret_cast<Kex::Anyval*>(m));
}

}  // namespace

std::string resolve(const char* name, const char* cwd, int mode) {
  return CHTTPRedirector(name, cwd, mode).LocalPath();
}

Cvd::Ref read_joined(Input& in, const Cvd::Ref& below) {
  skip_eol(in);
  int first = in.get();
  int second = first == kEof ? kEof : in.get();
  if (second != kEof) in.unget();
  if (first != kEof) in.unget();
  const auto& add = static_cast<const Cvd::MatVal&>(*below);
  Cvd::Ref old;
  if (first == '.' && second == 'M') {
    old = read_nested(in);
  } else if (add.m_iarr == nullptr && (add.m_parr == nullptr || add.m_parr->empty())) {
    // Real rows below a plain table: joined while the table is put in column
    // order, which is what stacking the two matrices would give.
    return read_plain(in, &add, true);
  } else {
    old = read_plain(in, nullptr, true);
  }
  if (static_cast<const Cvd::MatVal&>(*old).get_Cols() != add.get_Cols()) {
    Throw("array size mismatch", kWholeCall);
  }
  Cvd::Ref joined = Kex::Matrix::stack({old, below});
  if (dynamic_cast<const Cvd::MatVal*>(joined.get()) == nullptr) {
    Throw("file append error", kWholeCall);
  }
  return joined;
}

}  // namespace kexio::prn

namespace kexio {

Cvd::Ref READPRN(const char* fname, const char* cwd) {
  using namespace prn;
  std::string path = resolve(fname, cwd, CHTTPRedirector::kRead);
  io::Fd fd = io::open_read(path);
  if (!fd) Kex::Throw("file open error", 1, io::failure_detail(errno, path));
  Input in(std::move(fd));
  if (skip_eol(in) < 0) Kex::Throw("UnexpectedEOFinPRNfile", 1);
  int first = in.get();
  int second = in.get();
  // A file whose only significant content is one character is refused.
  if (second == kEof) Kex::Throw("file i/o error", 1, "the file holds a single character");
  in.unget();
  in.unget();
  if (first == '.' && second == 'M') return read_nested(in);
  return read_plain(in, nullptr, false);
}

}  // namespace kexio
