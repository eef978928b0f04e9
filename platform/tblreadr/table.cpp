#include "table.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tblreadr {

namespace {

// The table record together with the buffers it points into.
struct OwnedTable : KexTable {
  Growable<double> re_buf;
  Growable<double> im_buf;
  Growable<KexTableText> text_buf;
  Growable<KexTableString> string_buf;
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

namespace {

std::uint64_t hash_of(const char16_t* s, std::size_t n) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15u;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  std::size_t bytes = n * sizeof(char16_t);
  std::uint64_t h = bytes * kMul;
  for (; bytes >= 8; bytes -= 8, p += 8)
    h = (h ^ load8(reinterpret_cast<const char*>(p))) * kMul;
  if (bytes != 0) {
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, bytes);
    h = (h ^ tail) * kMul;
  }
  // Every bit of the result depends on every bit of h (MurmurHash3's
  // finaliser): slots are chosen by the low bits, compared by the high ones.
  h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDu;
  h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53u;
  return h ^ (h >> 33);
}

}  // namespace

void TableBuilder::rehash(std::size_t capacity) {
  Growable<Slot> slots(capacity);
  Slot* fresh = slots.extend(capacity);  // zeros: empty
  for (std::size_t i = 0; i < m_slots.size(); ++i) {
    const Slot& x = m_slots.data()[i];
    if (x.id == 0) continue;
    std::size_t k = hash_of(m_chars.data() + x.offset, x.length) & (capacity - 1);
    while (fresh[k].id != 0)
      k = (k + 1) & (capacity - 1);
    fresh[k] = x;
  }
  m_slots = std::move(slots);
}

std::uint32_t TableBuilder::intern(std::size_t offset) {
  const std::size_t length = m_chars.size() - offset;
  const char16_t* text = m_chars.data() + offset;
  const auto new_string = [&] {
    auto id = static_cast<std::uint32_t>(m_strings.size());
    if (id == 0xFFFFFFFFu) too_large();
    m_strings.push({offset, length});
    return id;
  };
  // Texts beyond what a slot can point at are kept as they come.
  if (offset > 0xFFFFFFFFu || length > 0xFFFFFFFFu) return new_string();
  if ((m_strings.size() + 1) * 2 > m_slots.size()) {
    rehash(m_slots.size() == 0 ? 1024 : m_slots.size() * 2);
  }
  const std::uint64_t h = hash_of(text, length);
  const auto tag = static_cast<std::uint32_t>(h >> 32);
  const std::size_t mask = m_slots.size() - 1;
  Slot* slots = m_slots.data();
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    Slot& slot = slots[i];
    if (slot.id == 0) {
      std::uint32_t id = new_string();
      slot = {tag, id + 1, static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(offset)};
      return id;
    }
    if (slot.tag == tag && slot.length == length &&
        std::equal(text, text + length, m_chars.data() + slot.offset)) {
      m_chars.shrink_to(offset);
      return slot.id - 1;
    }
  }
}

KexTable* TableBuilder::finish(std::uint64_t cols) {
  const std::uint64_t rows = m_widths.size();
  constexpr std::uint64_t kMaxDim = std::numeric_limits<std::uint32_t>::max();
  if (rows > kMaxDim || cols > kMaxDim) too_large();
  const std::uint64_t n = rows * cols;
  const bool padded = m_values.size() < n;
  const bool replaced = padded || m_empty_marked;
  const bool texts = m_text_cells != 0 || (m_missing.is_text && replaced);
  // Text elements are indexed by 32-bit signed numbers.
  if (texts && n > std::uint64_t{std::numeric_limits<std::int32_t>::max()} + 1) too_large();
  const bool complex = !m_missing.is_text && m_missing.im != 0.0 && replaced;

  std::uint32_t missing_id = 0;
  if (m_missing.is_text && replaced) {
    std::size_t offset = m_chars.size();
    // An empty replacement adds no characters (and gets no memory to copy to).
    if (!m_missing.text.empty()) {
      char16_t* p = m_chars.extend(m_missing.text.size());
      std::memcpy(p, m_missing.text.data(), m_missing.text.size() * sizeof(char16_t));
    }
    missing_id = intern(offset);
  }

  auto* t = new OwnedTable{};
  t->release = &tblreadr::release;
  KexTable* result = t;
  try {
    t->re_buf.reserve(n);
    double* re = t->re_buf.extend(n);
    // Fresh mappings read as zeros: only replaced cells get imaginary parts.
    double* im = nullptr;
    if (complex) {
      t->im_buf.reserve(n);
      im = t->im_buf.extend(n);
    }
    // Where each column's text elements go: the elements of a column follow
    // those of the columns before it, in row order, so the list is in
    // ascending index order. A column's elements are its text cells and,
    // with a text replacement, its empty and padded cells.
    Growable<std::uint64_t> next;
    std::uint64_t* start = nullptr;
    if (texts) {
      start = next.extend(cols + 1);  // zeros
      for (std::uint64_t c = 0; c < cols && c < m_col_texts.size(); ++c)
        start[c + 1] = m_col_texts.data()[c];
      if (m_missing.is_text && padded) {
        // Cell c of a row is padded when the row has at most c cells.
        Growable<std::uint64_t> ending(cols + 1);
        std::uint64_t* rows_of_width = ending.extend(cols + 1);  // zeros
        for (std::uint64_t r = 0; r < rows; ++r)
          ++rows_of_width[m_widths.data()[r]];
        std::uint64_t shorter = 0;
        for (std::uint64_t c = 0; c < cols; ++c) {
          shorter += rows_of_width[c];
          start[c + 1] += shorter;
        }
      }
      for (std::uint64_t c = 0; c < cols; ++c)
        start[c + 1] += start[c];
      t->text_buf.extend(start[cols]);
    }
    KexTableText* placed = t->text_buf.data();
    const double nested = std::bit_cast<double>(~std::uint64_t{0});
    auto replace = [&](std::size_t i, std::uint64_t c) {
      if (m_missing.is_text) {
        re[i] = nested;
        placed[start[c]++] = {static_cast<std::uint32_t>(i), missing_id};
      } else {
        re[i] = m_missing.re;
        if (im != nullptr) im[i] = m_missing.im;
      }
    };

    const double* in = m_values.data();
    const std::uint32_t* widths = m_widths.data();
    std::size_t k = 0;
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
          if ((b & 0xFFFF'0000'0000'0000u) == kTextMark) {
            re[i] = nested;
            placed[start[c]++] = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(b)};
          } else if (b == kMissingMark) {
            replace(i, c);
          } else {
            re[i] = v;
          }
        }
      }
      for (std::uint64_t c = w; c < cols; ++c, i += rows)
        replace(i, c);
    }

    t->char_buf = std::move(m_chars);
    t->string_buf = std::move(m_strings);
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
  t->strings = t->string_buf.data();
  t->string_count = t->string_buf.size();
  t->chars = t->char_buf.data();
  t->char_count = t->char_buf.size();
  return result;
}

}  // namespace tblreadr
