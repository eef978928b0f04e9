#include "table.h"

#include <unistd.h>

#include <cstring>
#include <limits>

#include "kexio/runtime/cvd.h"

namespace tblreadr {

namespace {

// The table record together with the buffers it points into.
struct OwnedTable : KexTable {
  Growable<double> re_buf;
  Growable<double> im_buf;
  Growable<KexTableText> text_buf;
  Growable<char16_t> char_buf;
};

void release(KexTable* t) {
  delete static_cast<OwnedTable*>(t);
}

std::uint64_t bits(double v) {
  return std::bit_cast<std::uint64_t>(v);
}

[[noreturn]] void too_large() {
  throw Failure{"the data is too large for a matrix", kWholeCall};
}

}  // namespace

std::size_t memory_limit() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return SIZE_MAX;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
}

TableBuilder::TableBuilder(const Missing& missing, std::size_t size_hint)
    : m_missing(missing),
      m_plain_missing(!missing.is_text && missing.im == 0.0),
      // About one double per eight bytes of a numeric file; growing is cheap.
      m_values(size_hint / 8 + 64) {}

void TableBuilder::end_row(std::uint64_t fields) {
  std::size_t width = m_values.size() - m_row_start;
  if (width > std::numeric_limits<std::uint32_t>::max()) too_large();
  m_widths.push(static_cast<std::uint32_t>(width));
  if (fields > m_widest) m_widest = fields;
}

KexTable* TableBuilder::finish(std::uint64_t cols) {
  const std::uint64_t rows = m_widths.size();
  constexpr std::uint64_t kMaxDim = std::numeric_limits<std::uint32_t>::max();
  if (rows > kMaxDim || cols > kMaxDim) too_large();
  const std::uint64_t n = rows * cols;
  const bool padded = m_values.size() < n;
  const bool replaced = padded || (m_marked && !m_plain_missing);
  const bool texts = m_texts.size() != 0 || (m_missing.is_text && replaced);
  // Text elements are indexed by 32-bit signed numbers.
  if (texts && n > std::uint64_t{std::numeric_limits<std::int32_t>::max()} + 1) too_large();
  const bool complex = !m_missing.is_text && m_missing.im != 0.0 && replaced;

  auto* t = new OwnedTable{};
  t->release = &tblreadr::release;
  KexTable* result = t;
  try {
    t->re_buf.reserve(n);
    double* re = t->re_buf.extend(n);
    // Fresh mappings read as zeros: only replaced cells get imaginary parts.
    double* im = complex ? t->im_buf.extend(n) : nullptr;
    t->char_buf = std::move(m_chars);
    t->text_buf = std::move(m_texts);
    std::size_t missing_offset = t->char_buf.size();
    if (m_missing.is_text && replaced) {
      char16_t* p = t->char_buf.extend(m_missing.text.size());
      std::memcpy(p, m_missing.text.data(), m_missing.text.size() * sizeof(char16_t));
    }
    const double nested = Cvd::NestedSlot();
    // A replaced cell at index i.
    auto replace = [&](std::size_t i) {
      if (m_missing.is_text) {
        re[i] = nested;
        t->text_buf.push({i, missing_offset, m_missing.text.size()});
      } else {
        re[i] = m_missing.re;
        if (im != nullptr) im[i] = m_missing.im;
      }
    };

    const double* in = m_values.data();
    const std::uint32_t* widths = m_widths.data();
    std::size_t k = 0, next_text = 0;
    for (std::uint64_t r = 0; r < rows; ++r) {
      const std::uint32_t w = widths[r];
      std::size_t i = r;
      if (!m_marked) {
        for (std::uint32_t c = 0; c < w; ++c, i += rows)
          re[i] = in[k++];
      } else {
        for (std::uint32_t c = 0; c < w; ++c, i += rows) {
          double v = in[k++];
          std::uint64_t b = bits(v);
          if (b == bits(kTextMark)) {
            re[i] = nested;
            t->text_buf.data()[next_text++].index = i;
          } else if (b == bits(kMissingMark)) {
            replace(i);
          } else {
            re[i] = v;
          }
        }
      }
      for (std::uint64_t c = w; c < cols; ++c, i += rows)
        replace(i);
    }
  } catch (...) {
    release(result);
    throw;
  }
  t->rows = static_cast<std::uint32_t>(rows);
  t->cols = static_cast<std::uint32_t>(cols);
  t->re = t->re_buf.data();
  t->im = complex ? t->im_buf.data() : nullptr;
  t->texts = t->text_buf.data();
  t->text_count = t->text_buf.size();
  t->chars = t->char_buf.data();
  t->char_count = t->char_buf.size();
  return result;
}

}  // namespace tblreadr
