// The nested-matrix format: matrices holding complex numbers, texts or other
// matrices, written as one .MATRIX block per matrix. The top-level matrix is
// block 0; nested matrices are numbered in the order their references are
// written and their blocks follow breadth-first, through a queue.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "core/detail.h"
#include "core/limits.h"
#include "core/transpose.h"
#include "kexio/host/errors.h"
#include "prn/prn.h"

namespace kexio::prn {

namespace {

[[noreturn]] void malformed() {
  Kex::Throw("file i/o error", Kex::kWholeCall);
}

// Reads a text element after its opening double quote, up to the closing
// one (consumed). A CR LF pair reads as one line feed. False when the file
// ends first. Runs of other bytes are taken as they lie in the window.
bool read_text(Input& in, std::string& text) {
  for (;;) {
    const char* p = in.cur();
    const auto* q =
        static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(in.end() - p)));
    if (q == nullptr) q = in.end();
    if (const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(q - p)))
      q = static_cast<const char*>(cr);
    text.append(p, q);
    in.advance(static_cast<std::size_t>(q - p));
    int c = in.get();
    if (c == kEof) return false;
    if (c == '"') return true;
    if (c == '\r' && in.peek() == '\n') c = in.get();
    text.push_back(static_cast<char>(c));
  }
}

// Skips what separates elements (blanks, tabs, line feeds, NUL bytes) and
// returns the next character, consumed; kEof at the end of the file.
int next_element_start(Input& in) {
  for (;;) {
    int c = in.get();
    if (c == '\r' && in.peek() == '\n') c = in.get();
    if (c != ' ' && c != '\t' && c != '\n' && c != '\0') return c;
  }
}

// Reads "MATRIX" and four integers after a block's full stop.
bool read_header(Input& in, std::int64_t field[4]) {
  for (const char* w = "MATRIX"; *w != 0; ++w) {
    if (in.get() != *w) return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (!scan_int(in, field[i])) return false;
  }
  return true;
}

// Reads "%d,%d,%d,%d}" after a reference's opening brace; the closing brace
// is consumed when it is there. Only the first field, the id, is used: the
// block itself gives the shape.
bool read_reference(Input& in, std::int64_t& id) {
  std::int64_t ignored;
  if (!scan_int(in, id)) return false;
  for (int i = 0; i < 3; ++i) {
    if (in.peek() != ',') return false;
    in.advance(1);
    if (!scan_int(in, ignored)) return false;
  }
  if (in.peek() == '}') in.advance(1);
  return true;
}

// A reference whose block is still to come: the element it fills.
struct Pending {
  std::int64_t child_id;
  std::int32_t index;
  std::shared_ptr<Cvd::Table> table;
  int depth;  // levels below the top-level matrix
};

constexpr int kMaxDepth = limits::kPrnMaxNesting;

}  // namespace

Cvd::Ref read_nested(Input& in) {
  std::deque<Pending> queue;
  Cvd::Ref result;
  std::size_t outstanding = 1;
  std::vector<double> re, im;
  // A file's size bounds what its blocks can hold; a stream's bytes and
  // elements are bounded here instead, as a plain table's values are.
  in.limit_stream(limits::kStreamMaxBytes, "a nested-matrix table from a stream is read up to " +
                                               std::to_string(limits::kStreamMaxBytes >> 30) +
                                               " GiB");
  std::size_t elements = 0;
  while (outstanding > 0) {
    // Anything up to the block's full stop is skipped.
    int c;
    do {
      c = in.get();
    } while (c != kEof && c != '.');
    std::int64_t field[4];
    if (c == kEof || !read_header(in, field)) malformed();
    std::int64_t id = field[0], rows = field[2], cols = field[3];
    bool complex = field[1] != 0;
    constexpr std::int64_t kMaxElements = limits::kPrnMaxNestedElements;
    constexpr std::int64_t kMaxSide = limits::kMaxDimension;
    if (rows < 0 || cols < 0 || rows > kMaxSide || cols > kMaxSide ||
        (rows != 0 && cols > kMaxElements / rows)) {
      malformed();
    }
    // Elements come row by row; they are gathered row-major (each has taken
    // at least one byte of the file, so this grows with the file, never with
    // what the header claims) and put in column order at the end.
    re.clear();
    im.clear();
    // The block fills the reference at the front of the queue (checked once
    // it is read); its own references go one level deeper.
    const int depth = result ? queue.front().depth : 0;
    std::shared_ptr<Cvd::Table> table;
    bool nonzero_imag = false;
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t col = 0; col < cols; ++col) {
        auto index = static_cast<std::int32_t>(col * rows + r);
        if (in.is_stream() && ++elements > limits::kPrnMaxValues) {
          Kex::Throw("file i/o error", Kex::kWholeCall,
                     "a nested-matrix table from a stream holds at most " +
                         grouped(limits::kPrnMaxValues) + " elements");
        }
        c = next_element_start(in);
        if (c == kEof) malformed();
        if (c == '"' || c == '{') {
          if (!table) table = std::make_shared<Cvd::Table>();
          if (c == '"') {
            std::string text;
            if (!read_text(in, text)) malformed();
            (*table)[index] = std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(text));
          } else {
            std::int64_t child;
            if (!read_reference(in, child) || depth + 1 > kMaxDepth) malformed();
            queue.push_back({child, index, table, depth + 1});
            ++outstanding;
          }
          re.push_back(Cvd::NestedSlot());
          if (complex) im.push_back(0.0);
          in.value_read();
          continue;
        }
        in.unget();
        double x, y = 0;
        if (!scan_double(in, x)) malformed();
        if (complex) {
          if (in.peek() != ',') malformed();
          in.advance(1);
          if (!scan_double(in, y)) malformed();
          nonzero_imag = nonzero_imag || y != 0;
          im.push_back(y);
        }
        re.push_back(x);
        in.value_read();
      }
    }
    auto nr = static_cast<std::uint32_t>(rows), nc = static_cast<std::uint32_t>(cols);
    std::size_t n = re.size();
    Cvd::Array real = Cvd::NewArray(n);
    Cvd::Array imag = nonzero_imag ? Cvd::NewArray(n) : nullptr;
    kexio::columns::transpose(re.data(), nr, nc, real.get(), nr);
    if (imag) kexio::columns::transpose(im.data(), nr, nc, imag.get(), nr);
    auto m = std::make_shared<Cvd::MatVal>(real, imag, nr, nc, nr, table);
    if (!result) {
      result = m;
    } else {
      if (queue.empty() || queue.front().child_id != id) malformed();
      (*queue.front().table)[queue.front().index] = m;
      queue.pop_front();
    }
    --outstanding;
  }
  return result;
}

namespace {

// The printable bytes of a host string, up to a NUL as "%s" would take them.
std::string text_bytes(const Cvd::StrVal& s) {
  std::string bytes = Vrt::StringToRawBytes(s.m_str);
  bytes.resize(std::strlen(bytes.c_str()));
  return bytes;
}

void append_number(std::string& out, double v, int precision, int width) {
  char field[kMaxField];
  out.append(field, format_g(field, v, precision, width));
}

}  // namespace

void write_nested(io::ByteWriter& out, const Cvd::MatVal& top, int precision, int width) {
  char line[96];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16], clock[16];
  std::strftime(date, sizeof date, "%m/%d/%y", &local);
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  write_text(out, "// Datafile written by Corvida\n");
  write_text(out, std::string("// ") + date + " " + clock + "\n");

  struct Queued {
    int id;
    Cvd::Ref matrix;
  };
  std::deque<Queued> queue;
  const Cvd::MatVal* m = &top;
  Cvd::Ref current;  // keeps the matrix being written alive
  int id = 0;
  int next_id = 1;
  std::string element;
  for (;;) {
    bool complex = m->get_HasImag();
    std::uint32_t rows = m->get_Rows(), cols = m->get_Cols();
    int n = std::snprintf(line, sizeof line, "\n.MATRIX %d %d %u %u\n", id, complex ? 1 : 0, rows,
                          cols);
    out.write(line, static_cast<std::size_t>(n));
    std::size_t used = 0;  // characters on the current line
    for (std::uint32_t r = 0; r < rows; ++r) {
      for (std::uint32_t c = 0; c < cols; ++c) {
        Cvd::NumVal num;
        Cvd::Ref e = m->get_2_na(num, r, c);
        // A number kept in the nested-element table is written as a number.
        if (auto* stored = dynamic_cast<const Cvd::NumVal*>(e.get())) {
          num.Data = stored->Data;
          e = nullptr;
        }
        element.clear();
        if (!e) {
          append_number(element, num.Data.rp, precision, width);
          if (complex) {
            element += ", ";
            append_number(element, num.Data.ip, precision, width);
          }
        } else if (auto* s = dynamic_cast<const Cvd::StrVal*>(e.get())) {
          element += " \"";
          element += text_bytes(*s);
          element += '"';
        } else if (auto* sub = dynamic_cast<const Cvd::MatVal*>(e.get())) {
          int k = std::snprintf(line, sizeof line, " {%d,%d,%u,%u}", next_id,
                                sub->get_HasImag() ? 1 : 0, sub->get_Rows(), sub->get_Cols());
          element.append(line, static_cast<std::size_t>(k));
          queue.push_back({next_id++, e});
        }
        // Lines are kept to 80 characters where the elements allow.
        if (used + element.size() > 80) {
          out.put('\n');
          used = 0;
        }
        write_text(out, element);
        used += element.size();
      }
    }
    if (queue.empty()) break;
    current = std::move(queue.front().matrix);
    id = queue.front().id;
    queue.pop_front();
    m = static_cast<const Cvd::MatVal*>(current.get());
  }
}

}  // namespace kexio::prn
