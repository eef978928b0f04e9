// Pieces shared by the text-table reader, writer and nested-matrix format:
// a block reader over a file descriptor with the scanning primitives the
// formats are defined by, number recognition and formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/limits.h"
#include "io/byte_writer.h"
#include "io/fd.h"
#include "kexio/runtime/cvd.h"

namespace kexio::prn {

inline constexpr int kEof = -1;

// Reads a file in large blocks and hands out its bytes one at a time or as a
// window. The bytes just before the current position stay available across
// refills, so that up to kKeep bytes can be pushed back. A read error is
// reported as "file i/o error".
//
// The blocks go to one buffer that is reused: reading a large file this way
// costs less than mapping it, whose page-table work per page of the file
// outweighs copying blocks that stay in the cache.
class Input {
 public:
  static constexpr std::size_t kKeep = 8;

  // Takes over the open file and reads it from its current position.
  explicit Input(io::Fd fd);
  // Reads the bytes [from, to) of a regular file that stays open while the
  // input is used; nearest as rounds_to_nearest() returns it. Several such
  // inputs may read one file at once.
  Input(int fd, std::int64_t from, std::int64_t to, bool nearest);
  // The size of a regular file, 0 for anything else.
  std::size_t size_hint() const { return m_size; }
  // Whether the floating-point rounding mode was to nearest when the file was
  // opened; numbers are converted on that assumption only then.
  bool rounds_to_nearest() const { return m_nearest; }
  // The open file, and the position in it of the next byte, for reading
  // the rest of a regular file in parts.
  int fd() const { return m_fd_in; }
  std::int64_t position() const { return m_next - (m_end - m_p); }
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  int get() { return m_p < m_end ? *m_p++ : refill_get(); }
  int peek() { return m_p < m_end ? *m_p : refill_peek(); }
  // Steps back over the last byte read.
  void unget() { --m_p; }

  // The unread bytes already in memory.
  const char* cur() const { return reinterpret_cast<const char*>(m_p); }
  const char* end() const { return reinterpret_cast<const char*>(m_end); }
  void advance(std::size_t n) { m_p += n; }
  // Reads more bytes after end(), keeping everything from cur(); false when
  // the file has ended.
  bool more();
  // The same until at least as many bytes as are unread now have been
  // added, or the file has ended: a token scanned afresh after each call
  // costs in all a few times its length, however little a pipe gives at once.
  bool double_window() {
    const std::size_t want = 2 * static_cast<std::size_t>(m_end - m_p);
    if (!more()) return false;
    while (static_cast<std::size_t>(m_end - m_p) < want && more()) {
    }
    return true;
  }

  // The position of cur() from the start of the file.
  std::size_t offset() const { return m_dropped + static_cast<std::size_t>(m_p - m_buf.get()); }

  // The 1-based line of a regular file that offset falls on, read again
  // from the file (for messages only); 0 for a pipe or a failed read.
  std::size_t line_of(std::size_t offset) const;

  // Whether the input is a stream (a pipe, a FIFO, a device: no size).
  bool is_stream() const { return m_stream; }
  // Tells that a value ends at the position. A stream that gives more than
  // limits::kStreamMaxWithoutValue bytes after the last value (or its start)
  // ends with "file i/o error": a device of zeros would otherwise be read
  // for ever, and an endless number would be held whole.
  void value_read() { m_value_end = position(); }
  // A stream that gives more than this many bytes in all ends with "file
  // i/o error" and the detail given.
  void limit_stream(std::uint64_t bytes, std::string detail) {
    m_stream_limit = bytes;
    m_limit_detail = std::move(detail);
  }

 private:
  int refill_get();
  int refill_peek();

  io::Fd m_fd;
  int m_fd_in = -1;          // the file read: m_fd's, or one lent
  std::int64_t m_next = 0;   // the file position of the byte after end()
  std::int64_t m_stop = -1;  // where a part of a file ends, or -1
  std::unique_ptr<unsigned char[]> m_buf;
  std::size_t m_cap = 0;
  unsigned char* m_p = nullptr;
  unsigned char* m_end = nullptr;
  std::size_t m_dropped = 0;  // bytes of the file before m_buf[0]
  bool m_ended = false;
  std::size_t m_size = 0;
  bool m_nearest = true;
  bool m_stream = false;
  std::int64_t m_value_end = 0;  // where the last value ended
  std::uint64_t m_stream_limit = UINT64_MAX;
  std::string m_limit_detail;
};

// The characters the C library counts as white space.
inline bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Skips white space, line feeds included.
void skip_space(Input& in);
// Skips white space, then a run of other characters (a "%*s" conversion).
void skip_token(Input& in);
// Discards everything up to and including the next line feed.
void skip_line(Input& in);

// The number of decimal digits at the start of [p, end). Eight bytes are
// tested at a time: a byte is a digit when its high nibble is 3 and adding 6
// to its low nibble does not carry; a carry out of a byte only disturbs the
// bytes after it, which come after the first non-digit anyway.
inline std::size_t digit_run(const char* p, const char* end) {
  const char* q = p;
  while (end - q >= 8) {
    std::uint64_t v;
    std::memcpy(&v, q, 8);
    std::uint64_t x = v ^ 0x3030303030303030u;
    std::uint64_t bad = (x | (x + 0x0606060606060606u)) & 0xF0F0F0F0F0F0F0F0u;
    if (bad != 0) return static_cast<std::size_t>(q - p) + (__builtin_ctzll(bad) >> 3);
    q += 8;
  }
  while (q < end && static_cast<unsigned char>(*q - '0') < 10)
    ++q;
  return static_cast<std::size_t>(q - p);
}

// Number recognition: the longest prefix of [p, end) that is a decimal
// number (optional sign, digits with an optional decimal point and at least
// one digit, optional exponent e or E with optional sign and digits). length
// is 0 when no number starts at p. at_end tells that the scan stopped only
// because the window ended, so that more bytes could make the number longer.
// The digit runs are kept for the conversion, as counts and offsets from p:
// reading more input may move the bytes, never their places in the number.
struct Recognised {
  std::size_t length;
  bool at_end;
  std::size_t whole;     // digits before the decimal point
  std::size_t fraction;  // digits after it
  std::size_t exponent;  // offset of the exponent's sign or first digit, or 0
};
inline Recognised recognise_number(const char* p, const char* end) {
  const char* q = p;
  if (q < end && (*q == '+' || *q == '-')) ++q;
  Recognised r{0, false, digit_run(q, end), 0, 0};
  q += r.whole;
  if (q < end && *q == '.') {
    r.fraction = digit_run(q + 1, end);
    if (r.whole == 0 && r.fraction == 0) return {0, q + 1 == end, 0, 0, 0};
    q += 1 + r.fraction;
  } else if (r.whole == 0) {
    return {0, q == end, 0, 0, 0};
  }
  r.at_end = q == end;
  if (q < end && (*q == 'e' || *q == 'E')) {
    const char* x = q + 1;
    if (x < end && (*x == '+' || *x == '-')) ++x;
    std::size_t digits = digit_run(x, end);
    r.at_end = x + digits == end;
    if (digits != 0) {
      r.exponent = static_cast<std::size_t>(q + 1 - p);
      q = x + digits;
    }
  }
  r.length = static_cast<std::size_t>(q - p);
  return r;
}

// The correctly rounded value of a recognised number at p; end is the end of
// the readable window (the conversion may look at, never use, bytes past the
// number). nearest: the rounding mode is to nearest.
double convert_number(const char* p, const Recognised& r, const char* end, bool nearest);

// A "%lf" conversion: skips white space (line feeds included) and reads the
// longest prefix that is a number; what follows it is left unread. False when
// no number starts there.
inline bool scan_double(Input& in, double& value) {
  if (is_space(in.peek())) skip_space(in);
  for (;;) {
    Recognised r = recognise_number(in.cur(), in.end());
    if (r.at_end && in.double_window()) continue;
    if (r.length == 0) return false;
    value = convert_number(in.cur(), r, in.end(), in.rounds_to_nearest());
    in.advance(r.length);
    return true;
  }
}

// A "%d" conversion: skips white space, reads an optional sign and digits. The
// value saturates at the limits of a 64-bit integer.
bool scan_int(Input& in, std::int64_t& value);

// Skips white space, control characters and two-slash comment lines: 0 when
// a significant character is next (left unread), -1 at the end of the file.
int skip_eol(Input& in);

// Resolves a worksheet file name.
std::string resolve(const char* name, const char* cwd, int mode);

// How a plain table in a regular file is divided among threads: into at
// most `parts` parts of at least `min_bytes` bytes each.
struct Split {
  unsigned parts;
  std::size_t min_bytes;
};
// As many parts as the machine has cores, of a size worth a thread.
Split default_split();
// READPRN with the table divided as split says; the result and every error
// are the same however it is divided.
Cvd::Ref read_prn(const char* fname, const char* cwd, Split split);

// Reads a table file the way APPENDPRN does (a nested-matrix file or a plain
// table) and returns it with the rows of the matrix below appended; "array
// size mismatch" when the column counts differ.
Cvd::Ref read_joined(Input& in, const Cvd::Ref& below);
// Reads a nested-matrix file starting at its first block.
Cvd::Ref read_nested(Input& in);

// The widest field "% *.*g" can produce: the column width, or a sign and
// seventeen characters of a number with exponent.
inline constexpr std::size_t kMaxField = limits::kPrnMaxColWidth + 32;
// Formats v as printf's "% *.*g" does with the given width and precision
// (1 to 17); returns the length written to out (at least kMaxField bytes).
std::size_t format_g(char* out, double v, int precision, int width);

// Bytes of output gathered before they go to the file.
inline constexpr std::size_t kOutputBuffer = std::size_t{256} << 10;

// Formats v into the output ("% *.*g").
inline void write_number(io::ByteWriter& out, double v, int precision, int width) {
  if (std::uint8_t* at = out.room(kMaxField)) {
    out.commit(format_g(reinterpret_cast<char*>(at), v, precision, width));
  }
}

inline void write_text(io::ByteWriter& out, std::string_view s) {
  out.write(s.data(), s.size());
}

// Writes a matrix as a plain table, or in the nested-matrix format when it is
// not a real matrix; reports "file write error" when writing fails.
void write_matrix(io::ByteWriter& out, const Cvd::MatVal& m, int precision, int width);
// Writes the nested-matrix format (header lines and one block per matrix).
void write_nested(io::ByteWriter& out, const Cvd::MatVal& m, int precision, int width);

}  // namespace kexio::prn
