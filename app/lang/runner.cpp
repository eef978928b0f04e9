#include "runner.h"

#include <string>

#include "json.h"
#include "parser.h"

namespace kexio::app {

void Runner::echo_lines(const Source& source, std::size_t& next_line, std::size_t last_line,
                        std::size_t statement_line) {
  for (; next_line <= last_line && next_line < source.line_count(); ++next_line) {
    std::string_view line = source.line(next_line);
    if (next_line < statement_line) {
      m_out << line << "\n";
    } else {
      m_out << (next_line == statement_line ? "> " : "  ") << line << "\n";
    }
  }
}

bool Runner::run(const Source& source) {
  bool ok = true;
  std::size_t next_line = 0;
  for (const Statement& st : parse(source)) {
    if (m_opt.echo && !m_opt.json) {
      std::size_t first = source.line_index(st.span.begin);
      std::size_t last =
          source.line_index(st.span.end > st.span.begin ? st.span.end - 1 : st.span.begin);
      if (first >= next_line) echo_lines(source, next_line, last, first);
    }
    const int line = source.line_number(source.line_index(st.span.begin));
    Outcome o = m_session.run(st, line, source.name());
    if (o.kind == Outcome::Kind::Value) {
      // In text what VIEW, PLOT and PLAY showed stands for the value.
      if (m_opt.json || !shows_itself(st))
        m_out << (m_opt.json ? json_value(o.value) + "\n" : text_value(o.value, m_opt.style));
    } else if (o.kind == Outcome::Kind::Error) {
      ok = false;
      o.error.line = line;
      if (m_opt.json) {
        Diagnostic d = o.error;
        if (d.syntax) {
          d.message = "syntax error (" + source.name() + " line " +
                      std::to_string(source.line_number(source.line_index(d.mark.begin))) +
                      ", column " + std::to_string(source.column(d.mark.begin)) + "): " + d.message;
        }
        m_out << json_error(d) << "\n";
      } else {
        m_out.flush();
        m_err << text_error(source, st, o.error, m_opt.error_style);
        m_err.flush();
      }
    }
    m_out.flush();
  }
  if (m_opt.echo && !m_opt.json) {
    // Trailing comments, without trailing blank lines.
    std::size_t last = source.line_count();
    while (last > next_line &&
           source.line(last - 1).find_first_not_of(" \t") == std::string_view::npos) {
      --last;
    }
    if (last > next_line) echo_lines(source, next_line, last - 1, source.line_count());
    m_out.flush();
  }
  m_failed = m_failed || !ok;
  return ok;
}

void StatementLines::add(const std::string& line) {
  m_chunk += line;
  m_chunk += '\n';
  ++m_lines;
  if (needs_more_input(Source("<stdin>", m_chunk))) return;
  m_runner.run(Source("<stdin>", m_chunk, m_first_line));
  drop();
}

void StatementLines::drop() {
  m_first_line += m_lines;
  m_lines = 0;
  m_chunk.clear();
}

void StatementLines::finish() {
  if (!m_chunk.empty()) m_runner.run(Source("<stdin>", m_chunk, m_first_line));
}

}  // namespace kexio::app
