// A piece of worksheet text with its name (a script path, "-e" or
// "<stdin>"), and the mapping from byte offsets to lines and columns.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kexio::app {

// A byte range [begin, end) of a source.
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

class Source {
 public:
  // first_line numbers the first line of text (text read from standard input
  // in pieces keeps counting lines across the pieces).
  Source(std::string name, std::string text, int first_line = 1);

  const std::string& name() const { return m_name; }
  const std::string& text() const { return m_text; }
  std::string_view slice(Span s) const;

  // 0-based index of the line holding offset, and that line's text without
  // its line break.
  std::size_t line_index(std::size_t offset) const;
  std::string_view line(std::size_t index) const;
  std::size_t line_start(std::size_t index) const { return m_starts[index]; }
  std::size_t line_count() const { return m_starts.size(); }
  // The number shown to users for a line index.
  int line_number(std::size_t index) const { return m_first_line + static_cast<int>(index); }
  // 1-based column (in characters) of offset within its line.
  int column(std::size_t offset) const;

 private:
  std::string m_name;
  std::string m_text;
  int m_first_line;
  std::vector<std::size_t> m_starts;
};

}  // namespace kexio::app
