// The entry point "readfile" of the data-import library: checks the type
// word and the options, reads the whole file (mapped when it is a regular
// file), hands it to the reader of its kind and returns the table. Every
// failure comes back as a message and an argument index; nothing is thrown
// across the entry point.
#include <strings.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/detail.h"
#include "core/limits.h"
#include "core/memory.h"
#include "io/byte_reader.h"
#include "io/fd.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
#include "kexio/runtime/import.h"
#include "table.h"
#include "tblreadr.h"

namespace tblreadr {

namespace {

enum class Kind { kCsv, kTab, kSpace, kDelimited, kFixed };

struct Word {
  const char* name;
  Kind kind;
};
constexpr Word kWords[] = {{"csv", Kind::kCsv},
                           {"tsv", Kind::kTab},
                           {"tab", Kind::kTab},
                           {"space", Kind::kSpace},
                           {"delimited", Kind::kDelimited},
                           {"fixed", Kind::kFixed}};

Kind kind_of(const char* type) {
  for (const Word& w : kWords) {
    if (strcasecmp(type, w.name) == 0) return w.kind;
  }
  throw Failure{"unknown file type (csv, tsv, tab, space, delimited or fixed)", 2};
}

// A range as the entry point carries it: (0, -1) when absent.
Span span_of(std::int32_t first, std::int32_t last, std::int32_t index, bool& given) {
  given = !(first == 0 && last == -1);
  if (!given) return {};
  if (first < 1 || (last != -1 && last < first)) {
    throw Failure{"invalid range", index > 0 ? static_cast<std::uint32_t>(index) : kWholeCall};
  }
  return {static_cast<std::uint64_t>(first) - 1,
          last == -1 ? kToEnd : static_cast<std::uint64_t>(last) - 1};
}

[[noreturn]] void beyond(std::uint64_t count, const char* noun, std::int32_t index) {
  std::string m = "the file has ";
  if (count == 0) {
    m += std::string("no ") + noun + "s";
  } else {
    m += "only " + std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
  }
  throw Failure{m, index > 0 ? static_cast<std::uint32_t>(index) : kWholeCall};
}

// A data file is text, which holds no NUL byte: a file with one is not
// read (it is binary, or a device of zeros that would never end).
[[noreturn]] void nul_at(std::uint64_t offset) {
  throw Failure{"file i/o error", 1,
                "a NUL byte at offset " + kexio::grouped(offset) + ": a text data file holds none"};
}

// The file's bytes: the mapping of a regular file, or what a pipe or device
// gave, read to its end (at most limits::kStreamMaxBytes of it).
class Contents {
 public:
  Contents(const char* fname, const char* cwd) {
    std::string path;
    try {
      path = CHTTPRedirector(fname, cwd, CHTTPRedirector::kRead).LocalPath();
    } catch (const Kex::ComError& e) {
      throw Failure{e.Description(), 1};
    }
    kexio::io::Fd fd = kexio::io::open_read(path);
    if (!fd) throw Failure{"file open error", 1, kexio::io::failure_detail(errno, path)};
    m_reader = kexio::io::ByteReader(std::move(fd));
    if (const std::uint8_t* p = m_reader.contents()) {
      m_data = reinterpret_cast<const char*>(p);
      m_size = static_cast<std::size_t>(m_reader.size());
#ifdef MADV_POPULATE_READ
      // Every byte is read: map all pages at once rather than fault them in
      // one by one (unless the file is large next to the machine's memory).
      if (m_size <= kexio::memory::physical() / 4) {
        madvise(const_cast<std::uint8_t*>(p), m_size, MADV_POPULATE_READ);
      }
#endif
      if (const void* nul = std::memchr(m_data, 0, m_size)) {
        nul_at(static_cast<std::uint64_t>(static_cast<const char*>(nul) - m_data));
      }
      return;
    }
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    for (;;) {
      const std::size_t before = m_copy.size();
      char* dst = m_copy.extend(kChunk);
      std::size_t n = m_reader.read(dst, kChunk);
      m_copy.shrink_to(before + n);
      if (const void* nul = std::memchr(dst, 0, n)) {
        nul_at(before + static_cast<std::uint64_t>(static_cast<const char*>(nul) - dst));
      }
      if (m_copy.size() > kexio::limits::kStreamMaxBytes) {
        throw Failure{"file i/o error", 1,
                      "a stream is read up to " +
                          std::to_string(kexio::limits::kStreamMaxBytes >> 30) +
                          " GiB, and this one gives more"};
      }
      if (n < kChunk) break;
    }
    if (m_reader.io_error()) throw Failure{"file i/o error", 1};
    m_data = m_copy.data();
    m_size = m_copy.size();
  }
  const char* begin() const {
    return m_data;
  }
  const char* end() const {
    return m_data + m_size;
  }
  std::size_t size() const {
    return m_size;
  }

 private:
  kexio::io::ByteReader m_reader;
  Growable<char> m_copy;
  const char* m_data = nullptr;
  std::size_t m_size = 0;
};

KexTable* import(const char* cwd, const char* fname, const char* type, std::int32_t row_first,
                 std::int32_t row_last, std::int32_t col_first, std::int32_t col_last,
                 const Missing& missing, const std::int32_t* schema, std::int32_t schema_len,
                 std::int32_t irowrange, std::int32_t icolrange) {
  Kind kind = kind_of(type != nullptr ? type : "");
  std::vector<std::int32_t> widths;
  if (kind == Kind::kFixed) {
    if (schema == nullptr || schema_len < 0) {
      throw Failure{"fixed needs a schema of field widths", 2};
    }
    widths.assign(schema, schema + schema_len);
    for (std::int32_t w : widths) {
      if (w < 1) throw Failure{"field widths must be positive", 3};
    }
  }
  Options o;
  bool rows_given, cols_given;
  o.rows = span_of(row_first, row_last, irowrange, rows_given);
  o.cols = span_of(col_first, col_last, icolrange, cols_given);
  o.nearest = std::fegetround() == FE_TONEAREST;

  Contents file(fname != nullptr ? fname : "", cwd);
  const char* p = file.begin();
  const char* end = file.end();
  if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;

  TableBuilder out(missing, file.size());
  std::uint64_t rows = 0, widest = 0;
  if (kind == Kind::kFixed) {
    rows = read_fixed(p, end, widths, o, out);
    widest = out.rows() != 0 ? widths.size() : 0;
  } else {
    Dialect d;
    if (kind == Kind::kTab) d.delimiter = '\t';
    if (kind == Kind::kSpace) d.blanks = true;
    if (kind == Kind::kDelimited) d = detect_dialect(p, end);
    rows = read_delimited(p, end, d, o, out);
    widest = out.widest();
  }
  if (rows_given && o.rows.first >= rows) beyond(rows, "row", irowrange);
  if (cols_given && o.cols.first >= widest) beyond(widest, "column", icolrange);
  std::uint64_t last = widest == 0 ? 0 : std::min(widest - 1, o.cols.last);
  return out.finish(widest == 0 ? 0 : last - o.cols.first + 1);
}

thread_local std::string t_message;
thread_local std::string t_detail;

}  // namespace

}  // namespace tblreadr

extern "C" __attribute__((visibility("default"))) KexTable* readfile(
    const char* cwd, const char* fname, const char* type, std::int32_t row_first,
    std::int32_t row_last, std::int32_t col_first, std::int32_t col_last, double missing_re,
    double missing_im, const char* missing_str, const std::int32_t* schema, std::int32_t schema_len,
    std::int32_t irowrange, std::int32_t icolrange, const char** error_message,
    std::uint32_t* error_index) {
  using namespace tblreadr;
  auto fail = [&](std::string message, std::uint32_t index, std::string detail = {}) -> KexTable* {
    t_message = std::move(message);
    t_detail = std::move(detail);
    if (error_message != nullptr) *error_message = t_message.c_str();
    if (error_index != nullptr) *error_index = index;
    return nullptr;
  };
  if (error_message != nullptr) *error_message = nullptr;
  if (error_index != nullptr) *error_index = 0;
  t_detail.clear();
  try {
    Missing missing{missing_re, missing_im, missing_str != nullptr, {}};
    if (missing_str != nullptr) {
      // A worksheet string reaches us as Latin-1 bytes.
      for (const char* s = missing_str; *s != 0; ++s)
        missing.text.push_back(static_cast<unsigned char>(*s));
    }
    return import(cwd, fname, type, row_first, row_last, col_first, col_last, missing, schema,
                  schema_len, irowrange, icolrange);
  } catch (const Failure& f) {
    return fail(f.message, f.index, f.detail);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", kWholeCall);
  } catch (...) {
    return fail("unknown error", kWholeCall);
  }
}

// Beside the entry point: the detail of the calling thread's last failure of
// readfile, for people (empty when it has none), valid until the thread's
// next call. A host that does not look for this entry loses nothing else.
extern "C" __attribute__((visibility("default"))) const char* readfile_detail() {
  return tblreadr::t_detail.c_str();
}
