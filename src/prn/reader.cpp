// READPRN: reads a text table of numbers, one row per line, into a real
// matrix; a file that starts with a .MATRIX block goes to the nested reader.
//
// The file is read in large blocks; values are recognised in the buffer and
// appended to one row-major buffer, which is transposed once into the result
// array of the call's arena.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/limits.h"
#include "core/parallel.h"
#include "core/transpose.h"
#include "host/workers.h"
#include "kexio/host/context.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
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
// hold. Only the buffer of a stream grows: growing allocates from the arena,
// which only the calling thread may do, and a part of a file read on a
// thread of its own is sized for every value its bytes can hold.
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
    in.value_read();
    ++count;
  }
}

// Every failure of the table reader is raised here, with a detail when one
// says more than the message.
[[noreturn]] void fail(const char* message, std::uint32_t index, std::string detail = {}) {
  Throw(message, index, std::move(detail));
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

constexpr long kFailed = -3;

// What reading one part of the table's lines found: its rows from the first
// up to one of another length (which ends the table, or is an error, for the
// whole file as well), or one that could not be stored.
struct Part {
  Part(IcvAllocator& arena, std::size_t expected) : values(arena, expected) {}

  std::int64_t from = 0;  // the part's bytes in the file, for a part of a file
  std::int64_t to = 0;
  RowBuffer values;            // its rows, row-major, from index 0
  std::size_t columns = 0;     // values in its first row
  std::size_t rows = 0;        // rows from the first with that many values
  std::int64_t first_at = -1;  // where the first row begins in the file
  // Why reading ended: kEndOfFile, kFull (a row could not be stored), kFailed
  // (failure holds why), or the length of the row of another length.
  long stop = kEndOfFile;
  std::int64_t stop_at = -1;  // where that row begins in the file
  std::exception_ptr failure;
};

// Reads the rows of one part. Everything it reads belongs to the part: the
// part begins where a row begins (the start of the table, or just after a
// line feed that ends a row whatever came before it) and ends at the end of
// a line or of the file.
void read_part(Input& in, Part& part) noexcept {
  try {
    skip_eol(in);
    for (;;) {
      std::int64_t at = in.position();
      long count = read_row(in, part.values, part.rows * part.columns);
      if (count == kEndOfFile || count == kFull) {
        part.stop = count;
        part.stop_at = at;
        return;
      }
      skip_eol(in);
      if (count == 0) continue;
      auto n = static_cast<std::size_t>(count);
      if (part.columns == 0) {
        part.columns = n;
        part.first_at = at;
      } else if (n != part.columns) {
        part.stop = count;
        part.stop_at = at;
        return;
      }
      ++part.rows;
    }
  } catch (...) {
    part.stop = kFailed;
    part.failure = std::current_exception();
  }
}

// Parts smaller than this are not worth a thread of their own.
constexpr std::size_t kMinPartBytes = std::size_t{1} << 20;
// At most this many parts: each part's buffer may fill up to the value limit
// before the parts are put together.
constexpr unsigned kMaxParts = 4;

// Where the line after the one that crosses byte at of the file begins,
// when that line feed ends a row whatever came before it: then the last
// byte before it that is not white space is not a slash, because only a
// lone slash lets a row go on past a line feed. -1 when no such line feed
// is found within a short way.
std::int64_t part_start(int fd, std::int64_t at, std::int64_t size) {
  constexpr std::int64_t kBack = 256;
  constexpr std::size_t kAhead = std::size_t{64} << 10;
  std::int64_t first = std::max<std::int64_t>(at - kBack, 0);
  std::size_t back = static_cast<std::size_t>(at - first);
  std::size_t want = std::min(back + kAhead, static_cast<std::size_t>(size - first));
  std::unique_ptr<char[]> window(new char[want]);
  std::int64_t got = io::pread_full(fd, window.get(), want, first);
  auto n = static_cast<std::size_t>(std::max<std::int64_t>(got, 0));
  for (std::size_t i = back; i < n; ++i) {
    if (window[i] != '\n') continue;
    std::size_t j = i;
    while (j > 0 && is_space(static_cast<unsigned char>(window[j - 1])))
      --j;
    if (j > 0 && window[j - 1] != '/') return first + static_cast<std::int64_t>(i) + 1;
  }
  return -1;
}

// Reads the table's rows from the input into parts: a regular file large
// enough is split at line ends into parts read on threads of their own,
// anything else is one part read from the input itself.
std::vector<Part> read_parts(KexCallContext* ctx, Input& in, Split split) {
  std::vector<Part> parts;
  std::size_t size = in.size_hint();
  std::int64_t from = in.position();
  std::size_t bytes =
      size > static_cast<std::size_t>(from) ? size - static_cast<std::size_t>(from) : 0;
  std::size_t count = std::clamp<std::size_t>(bytes / std::max<std::size_t>(split.min_bytes, 1), 1,
                                              std::min(split.parts, kMaxParts));
  std::vector<std::int64_t> starts{from};
  for (std::size_t i = 1; i < count; ++i) {
    std::int64_t at = part_start(in.fd(), from + static_cast<std::int64_t>(bytes * i / count),
                                 static_cast<std::int64_t>(size));
    if (at > starts.back() && at < static_cast<std::int64_t>(size)) starts.push_back(at);
  }
  // A value takes at least one character and all but the first need another
  // character before them (a separator or a sign), which bounds the values a
  // part can hold, so that the buffer of a part of a file never grows. A
  // stream may hold as many as the limit; the pages never written are never
  // backed.
  if (starts.size() == 1) {
    parts.emplace_back(*ctx->m_alloc, size == 0 ? kMaxValues : bytes / 2 + 1);
    read_part(in, parts[0]);
    return parts;
  }
  parts.reserve(starts.size());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    std::int64_t to = i + 1 < starts.size() ? starts[i + 1] : static_cast<std::int64_t>(size);
    parts.emplace_back(*ctx->m_alloc, static_cast<std::size_t>(to - starts[i]) / 2 + 1);
    parts.back().from = starts[i];
    parts.back().to = to;
  }
  bool nearest = in.rounds_to_nearest();
  int fd = in.fd();
  run_all(parts.size(), [&](std::size_t i) {
    Input part(fd, parts[i].from, parts[i].to, nearest);
    read_part(part, parts[i]);
  });
  return parts;
}

// Puts the parts together as reading the file from its start would: the
// rows of each part in turn, with the same checks, ending at the same row
// and with the same failure. Returns the column count and the rows taken
// from each part. A table that is to be written back (whole) must be read to
// its end: rows past the value limit are refused rather than dropped.
std::size_t join(const Input& in, std::vector<Part>& parts, bool whole,
                 std::vector<std::size_t>& taken) {
  auto limit_reached = [&] {
    if (whole) fail("table too large to append: more than 8000000 values", kWholeCall);
  };
  std::size_t columns = 0;
  std::size_t held = 0;
  taken.assign(parts.size(), 0);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Part& part = parts[i];
    std::size_t same = part.rows;  // rows of the table's length
    long other = part.stop;        // what ends the part
    std::int64_t other_at = part.stop_at;
    if (part.rows != 0) {
      if (columns == 0) {
        columns = part.columns;
      } else if (part.columns != columns) {
        same = 0;
        other = static_cast<long>(part.columns);
        other_at = part.first_at;
      }
    }
    // Before a row other than the first is taken, the values held and the
    // row must stay within the limit; the first row always fits (a longer
    // one could not be stored).
    std::size_t fit = columns == 0 ? 0 : (kMaxValues - held) / columns;
    taken[i] = std::min(same, fit);
    held += taken[i] * columns;
    if (taken[i] < same) {
      limit_reached();
      break;
    }
    if (other == kEndOfFile) continue;
    if (other == kFailed) std::rethrow_exception(part.failure);
    // A row that could not be stored in the part's buffer could not be
    // stored after the rows before it either.
    if (other == kFull || held + static_cast<std::size_t>(other) > kMaxValues) {
      limit_reached();
      break;
    }
    if (held + columns > kMaxValues) {
      limit_reached();
      break;
    }
    fail("file i/o error", kWholeCall,
         short_row(in, static_cast<std::size_t>(other_at), static_cast<std::size_t>(other), columns,
                   held));
  }
  if (columns == 0) fail("file i/o error", kWholeCall, "the file holds no numbers");
  return columns;
}

// Reads the table into the context's arena. When below is given, its rows
// are appended under the table's (the column counts must agree).
Kex::aMatrix* read_table(KexCallContext* ctx, Input& in, const Cvd::MatVal* below, bool whole,
                         Split split) {
  std::vector<Part> parts = read_parts(ctx, in, split);
  std::vector<std::size_t> taken;
  std::size_t columns = join(in, parts, whole, taken);
  std::size_t rows = 0;
  for (std::size_t n : taken)
    rows += n;
  std::size_t extra = 0;
  if (below != nullptr) {
    if (below->get_Cols() != columns) fail("array size mismatch", kWholeCall);
    extra = below->get_Rows();
    if (rows + extra > limits::kMaxDimension) fail("file append error", kWholeCall);
  }
  std::size_t total = rows + extra;
  double* values = Kex::allocate_doubles(total * columns);
  if (values == nullptr) fail("out of memory", kWholeCall);
  // Each part's rows go to their place in the columns, on as many threads
  // as read the parts.
  std::vector<std::size_t> first(parts.size(), 0);
  for (std::size_t i = 1; i < parts.size(); ++i)
    first[i] = first[i - 1] + taken[i - 1];
  run_all(parts.size(), [&](std::size_t i) {
    kexio::columns::transpose(parts[i].values.data(), taken[i], columns, values + first[i], total);
  });
  for (std::size_t c = 0; c < columns && extra != 0; ++c) {
    std::memcpy(values + c * total + rows, below->real() + c * extra, extra * sizeof(double));
  }
  Kex::aMatrix* m = Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(total),
                                         static_cast<std::uint32_t>(columns), values);
  if (m == nullptr) fail("out of memory", kWholeCall);
  return m;
}

// Reads a plain table (with the rows of below appended, when given) as a host
// matrix. The reader has its own context: the result array comes from its
// arena and is handed over to the host value without a copy.
Cvd::Ref read_plain(Input& in, const Cvd::MatVal* below, bool whole, Split split) {
  KexCallContext ctx;
  Kex::aMatrix* m = read_table(&ctx, in, below, whole, split);
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
    return read_plain(in, &add, true, default_split());
  } else {
    old = read_plain(in, nullptr, true, default_split());
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

Split default_split() {
  return {std::max(std::thread::hardware_concurrency(), 1u), kMinPartBytes};
}

Cvd::Ref read_prn(const char* fname, const char* cwd, Split split) {
  std::string path = resolve(fname, cwd, CHTTPRedirector::kRead);
  io::Fd fd = io::open_read(path);
  if (!fd) fail("file open error", 1, io::failure_detail(errno, path));
  Input in(std::move(fd));
  if (skip_eol(in) < 0) fail("UnexpectedEOFinPRNfile", 1);
  int first = in.get();
  int second = in.get();
  // A file whose only significant content is one character is refused.
  if (second == kEof) fail("file i/o error", 1, "the file holds a single character");
  in.unget();
  in.unget();
  if (first == '.' && second == 'M') return read_nested(in);
  return read_plain(in, nullptr, false, split);
}

}  // namespace kexio::prn

namespace kexio {

Cvd::Ref read_prn(const char* fname, const char* cwd) {
  return prn::read_prn(fname, cwd, prn::default_split());
}

}  // namespace kexio
