#include "source.h"

#include <algorithm>

#include "text.h"

namespace kexio::app {

Source::Source(std::string name, std::string text, int first_line)
    : m_name(std::move(name)), m_text(std::move(text)), m_first_line(first_line) {
  m_starts.push_back(0);
  for (std::size_t i = 0; i < m_text.size(); ++i) {
    if (m_text[i] == '\n') m_starts.push_back(i + 1);
  }
}

std::string_view Source::slice(Span s) const {
  std::size_t b = std::min(s.begin, m_text.size());
  std::size_t e = std::min(std::max(s.end, b), m_text.size());
  return std::string_view(m_text).substr(b, e - b);
}

std::size_t Source::line_index(std::size_t offset) const {
  auto it = std::upper_bound(m_starts.begin(), m_starts.end(), offset);
  return static_cast<std::size_t>(it - m_starts.begin()) - 1;
}

std::string_view Source::line(std::size_t index) const {
  std::size_t b = m_starts[index];
  std::size_t e = index + 1 < m_starts.size() ? m_starts[index + 1] - 1 : m_text.size();
  std::string_view l = std::string_view(m_text).substr(b, e - b);
  if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
  return l;
}

int Source::column(std::size_t offset) const {
  std::size_t start = m_starts[line_index(offset)];
  offset = std::min(offset, m_text.size());
  return 1 + static_cast<int>(char_count(std::string_view(m_text).substr(start, offset - start)));
}

}  // namespace kexio::app
