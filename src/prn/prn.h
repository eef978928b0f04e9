// Pieces shared by the text-table reader, writer and nested-matrix format:
// a block reader over a file descriptor with the scanning primitives the
// formats are defined by, number recognition and formatting, and a buffered
// writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/limits.h"
#include "kexio/runtime/cvd.h"

namespace kexio::prn {

inline constexpr int kEof = -1;

// Owns a file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return m_fd; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the descriptor; false when the close reported an error.
  bool reset();

 private:
  int m_fd;
};

// Reads a file in large blocks and hands out its bytes one at a time or as a
// window. The bytes just before the current position stay available across
// refills, so that up to kKeep bytes can be pushed back. A read error is
// reported as "file i/o error".
class Input {
 public:
  static constexpr std::size_t kKeep = 8;

  // Takes over fd and closes it when destroyed.
  explicit Input(int fd);
  // The size of a regular file, 0 for anything else.
  std::size_t size_hint() const { return m_size; }
  // Whether the floating-point rounding mode was to nearest when the file was
  // opened; numbers are converted on that assumption only then.
  bool rounds_to_nearest() const { return m_nearest; }
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

 private:
  int refill_get();
  int refill_peek();

  UniqueFd m_fd;
  std::unique_ptr<unsigned char[]> m_buf;
  std::size_t m_cap = 0;
  unsigned char* m_p = nullptr;
  unsigned char* m_end = nullptr;
  bool m_ended = false;
  std::size_t m_size = 0;
  bool m_nearest = true;
};

// Opens a file for reading; -1 (errno set) on failure, a directory included.
int open_for_reading(const std::string& path);

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
// The digit runs are kept for the conversion.
struct Recognised {
  std::size_t length;
  bool at_end;
  std::size_t whole;     // digits before the decimal point
  std::size_t fraction;  // digits after it
  const char* exponent;  // the exponent's sign or first digit, or null
};
inline Recognised recognise_number(const char* p, const char* end) {
  const char* q = p;
  if (q < end && (*q == '+' || *q == '-')) ++q;
  Recognised r{0, false, digit_run(q, end), 0, nullptr};
  q += r.whole;
  if (q < end && *q == '.') {
    r.fraction = digit_run(q + 1, end);
    if (r.whole == 0 && r.fraction == 0) return {0, q + 1 == end, 0, 0, nullptr};
    q += 1 + r.fraction;
  } else if (r.whole == 0) {
    return {0, q == end, 0, 0, nullptr};
  }
  r.at_end = q == end;
  if (q < end && (*q == 'e' || *q == 'E')) {
    const char* x = q + 1;
    if (x < end && (*x == '+' || *x == '-')) ++x;
    std::size_t digits = digit_run(x, end);
    r.at_end = x + digits == end;
    if (digits != 0) {
      r.exponent = q + 1;
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
    if (r.at_end && in.more()) continue;
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

// Buffered writing to a file descriptor it does not own; remembers failure.
class Output {
 public:
  explicit Output(int fd);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Room for n bytes (n at most kMaxField * 4), to be committed afterwards.
  char* room(std::size_t n) {
    if (m_cap - m_len < n) drain();
    return m_buf.get() + m_len;
  }
  void commit(std::size_t n) { m_len += n; }
  void put(char c) { *room(1) = c, commit(1); }
  void write(const char* s, std::size_t n);
  void write(const std::string& s) { write(s.data(), s.size()); }
  // Writes out what is buffered; false when any write failed.
  bool flush();
  // Cuts the file at the current position.
  void truncate_here();

 private:
  void drain();

  int m_fd;
  std::unique_ptr<char[]> m_buf;
  std::size_t m_cap;
  std::size_t m_len = 0;
  bool m_failed = false;
};

// Writes a matrix as a plain table, or in the nested-matrix format when it is
// not a real matrix; reports "file write error" when writing fails.
void write_matrix(Output& out, const Cvd::MatVal& m, int precision, int width);
// Writes the nested-matrix format (header lines and one block per matrix).
void write_nested(Output& out, const Cvd::MatVal& m, int precision, int width);

}  // namespace kexio::prn
