#include "lexer.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "text.h"

namespace kexio::app {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || is_digit(c);
}
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Text to double with the correctly rounded result; a magnitude beyond the
// double range gives an infinity and one below it zero, as strtod does.
double to_double(const std::string& digits) {
  double v = 0.0;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (r.ec == std::errc::result_out_of_range) v = std::strtod(digits.c_str(), nullptr);
  return v;
}

class Lexer {
 public:
  explicit Lexer(const Source& src) : m_text(src.text()) {
    if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) m_pos = 3;  // a UTF-8 byte order mark
  }

  std::vector<Token> run() {
    while (true) {
      skip_space();
      if (m_pos >= m_text.size()) break;
      lex_one();
    }
    add(Tok::End, m_pos, m_pos);
    return std::move(m_out);
  }

 private:
  void skip_space() {
    while (m_pos < m_text.size()) {
      char c = m_text[m_pos];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++m_pos;
      } else if (c == '#') {
        while (m_pos < m_text.size() && m_text[m_pos] != '\n')
          ++m_pos;
      } else {
        break;
      }
    }
  }

  // The character at i, or 0 past the end.
  char at(std::size_t i) const { return i < m_text.size() ? m_text[i] : '\0'; }

  Token& add(Tok kind, std::size_t b, std::size_t e) {
    m_out.push_back(Token{kind, {b, e}, 0.0, {}, {}, {}});
    return m_out.back();
  }

  void error(std::size_t b, std::size_t e, std::string message, std::string hint = {}) {
    Token& t = add(Tok::Error, b, e);
    t.text = std::move(message);
    t.hint = std::move(hint);
  }

  void lex_one() {
    std::size_t b = m_pos;
    char c = m_text[m_pos];
    if (is_digit(c) || (c == '.' && at(m_pos + 1) != '.' && is_digit(at(m_pos + 1)))) {
      lex_number();
      return;
    }
    if (is_name_start(c)) {
      while (m_pos < m_text.size() && is_name_char(m_text[m_pos]))
        ++m_pos;
      // There is no '.' operator: a name with a dot in it is a file name
      // that lacks its quotes.
      if (m_pos + 1 < m_text.size() && m_text[m_pos] == '.' && is_name_char(m_text[m_pos + 1])) {
        while (m_pos < m_text.size() &&
               (is_name_char(m_text[m_pos]) || m_text[m_pos] == '.' || m_text[m_pos] == '-'))
          ++m_pos;
        std::string name = m_text.substr(b, m_pos - b);
        error(b, m_pos, "unexpected '" + name + "'",
              "a file name is a string in double quotes: \"" + name + "\"");
        return;
      }
      add(Tok::Name, b, m_pos).text = m_text.substr(b, m_pos - b);
      return;
    }
    if (c == '"') {
      lex_string();
      return;
    }
    if (c == '\'') {
      lex_single_quoted();
      return;
    }
    ++m_pos;
    switch (c) {
      case '\n':
        add(Tok::Newline, b, m_pos);
        return;
      case '+':
        add(Tok::Plus, b, m_pos);
        return;
      case '-':
        add(Tok::Minus, b, m_pos);
        return;
      case '*':
        add(Tok::Star, b, m_pos);
        return;
      case '/':
        add(Tok::Slash, b, m_pos);
        return;
      case '(':
        add(Tok::LParen, b, m_pos);
        return;
      case ')':
        add(Tok::RParen, b, m_pos);
        return;
      case '[':
        add(Tok::LBracket, b, m_pos);
        return;
      case ']':
        add(Tok::RBracket, b, m_pos);
        return;
      case ',':
        add(Tok::Comma, b, m_pos);
        return;
      case ';':
        add(Tok::Semicolon, b, m_pos);
        return;
      case ':':
        if (at(m_pos) == '=') {
          ++m_pos;
          add(Tok::Assign, b, m_pos);
        } else {
          add(Tok::Colon, b, m_pos);
        }
        return;
      case '.':
        if (at(m_pos) == '.') {
          ++m_pos;
          add(Tok::DotDot, b, m_pos);
          return;
        }
        break;
      case '=':
        if (m_pos < m_text.size() && m_text[m_pos] == '=') {
          ++m_pos;
          error(b, m_pos, "unexpected '=='", "there is no comparison operator");
        } else {
          error(b, m_pos, "unexpected '='", "assign with ':=', as in x := 1");
        }
        return;
      case '^':
        error(b, m_pos, "unexpected '^': there is no power operator");
        return;
      default:
        break;
    }
    m_pos = b;
    char32_t cp = next_utf8(m_text, m_pos);
    std::string shown;
    if (cp < 0x20 || cp == 0x7F) {
      shown =
          "character U+00" + std::string{"0123456789ABCDEF"[cp >> 4], "0123456789ABCDEF"[cp & 15]};
    } else {
      shown = "'";
      append_utf8(shown, cp);
      shown += "'";
    }
    error(b, m_pos, "unexpected " + shown);
  }

  void lex_number() {
    std::size_t b = m_pos;
    while (m_pos < m_text.size() && is_digit(m_text[m_pos]))
      ++m_pos;
    // A '.' followed by another is a range's, as in 1..3.
    if (at(m_pos) == '.' && at(m_pos + 1) != '.') {
      ++m_pos;
      while (m_pos < m_text.size() && is_digit(m_text[m_pos]))
        ++m_pos;
    }
    if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
      std::size_t e = m_pos + 1;
      if (e < m_text.size() && (m_text[e] == '+' || m_text[e] == '-')) ++e;
      if (e < m_text.size() && is_digit(m_text[e])) {
        m_pos = e;
        while (m_pos < m_text.size() && is_digit(m_text[m_pos]))
          ++m_pos;
      } else {
        m_pos = e;
        error(b, m_pos, "malformed number: the exponent has no digits");
        return;
      }
    }
    std::string digits = m_text.substr(b, m_pos - b);
    Tok kind = Tok::Number;
    if (m_pos < m_text.size() && (m_text[m_pos] == 'i' || m_text[m_pos] == 'j') &&
        !(m_pos + 1 < m_text.size() && is_name_char(m_text[m_pos + 1]))) {
      ++m_pos;
      kind = Tok::Imaginary;
    }
    if (is_name_char(at(m_pos)) || (at(m_pos) == '.' && at(m_pos + 1) != '.')) {
      std::size_t e = m_pos;
      while (e < m_text.size() && (is_name_char(m_text[e]) || m_text[e] == '.'))
        ++e;
      m_pos = e;
      error(b, e, "malformed number '" + m_text.substr(b, e - b) + "'");
      return;
    }
    add(kind, b, m_pos).num = to_double(digits);
  }

  // 'text': the text as a worksheet string would take it, suggested with
  // double quotes; a lone quote is only unexpected.
  void lex_single_quoted() {
    std::size_t b = m_pos;
    std::size_t close = m_text.find_first_of("'\n", b + 1);
    if (close == std::string::npos || m_text[close] != '\'') {
      ++m_pos;
      error(b, m_pos, "unexpected '''", "strings take double quotes, as in \"data.prn\"");
      return;
    }
    m_pos = close + 1;
    std::string inner = m_text.substr(b + 1, close - b - 1);
    std::string fixed;
    for (char ch : inner) {
      if (ch == '"' || ch == '\\') fixed.push_back('\\');
      fixed.push_back(ch);
    }
    error(b, m_pos, "a string in single quotes", "strings take double quotes: \"" + fixed + "\"");
  }

  void lex_string() {
    std::size_t b = m_pos++;
    std::u16string out;
    while (true) {
      if (m_pos >= m_text.size() || m_text[m_pos] == '\n') {
        error(b, m_pos, "unterminated string: a string ends with '\"' on the same line");
        return;
      }
      char c = m_text[m_pos];
      if (c == '"') {
        ++m_pos;
        break;
      }
      if (c != '\\') {
        append_utf16(out, next_utf8(m_text, m_pos));
        continue;
      }
      std::size_t esc = m_pos;
      if (!escape(out)) {
        // Skip the rest of the string so that its text is not read as code.
        while (m_pos < m_text.size() && m_text[m_pos] != '\n' && m_text[m_pos] != '"') {
          m_pos += m_text[m_pos] == '\\' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] != '\n';
          ++m_pos;
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '"') ++m_pos;
        error(esc, esc + 2 <= m_text.size() ? esc + 2 : esc + 1, m_escape_error);
        return;
      }
    }
    add(Tok::String, b, m_pos).str = std::move(out);
  }

  // Decodes the escape at m_pos (a backslash) into out.
  bool escape(std::u16string& out) {
    std::size_t p = m_pos + 1;
    if (p >= m_text.size() || m_text[p] == '\n') {
      m_escape_error = "unterminated string: a string ends with '\"' on the same line";
      return false;
    }
    char c = m_text[p];
    switch (c) {
      case '"':
        out.push_back(u'"');
        break;
      case '\\':
        out.push_back(u'\\');
        break;
      case 'n':
        out.push_back(u'\n');
        break;
      case 't':
        out.push_back(u'\t');
        break;
      case 'x': {
        int h = p + 1 < m_text.size() ? hex_value(m_text[p + 1]) : -1;
        int l = p + 2 < m_text.size() ? hex_value(m_text[p + 2]) : -1;
        if (h < 0 || l < 0) {
          m_escape_error = "'\\x' needs two hex digits, as in \\x41";
          return false;
        }
        out.push_back(static_cast<char16_t>(h * 16 + l));
        m_pos = p + 3;
        return true;
      }
      case 'u': {
        std::size_t q = p + 1;
        if (q >= m_text.size() || m_text[q] != '{') {
          m_escape_error = "'\\u' needs a code point in braces, as in \\u{20AC}";
          return false;
        }
        ++q;
        char32_t cp = 0;
        std::size_t digits = 0;
        while (q < m_text.size() && hex_value(m_text[q]) >= 0 && digits < 7) {
          cp = cp * 16 + static_cast<char32_t>(hex_value(m_text[q]));
          ++q;
          ++digits;
        }
        if (digits == 0 || digits > 6 || q >= m_text.size() || m_text[q] != '}') {
          m_escape_error = "'\\u{...}' needs 1 to 6 hex digits and a closing '}'";
          return false;
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
          m_escape_error = "'\\u{...}' must name a Unicode character (up to 10FFFF, no surrogates)";
          return false;
        }
        append_utf16(out, cp);
        m_pos = q + 1;
        return true;
      }
      default: {
        std::string shown;
        std::size_t q = p;
        append_utf8(shown, next_utf8(m_text, q));
        m_escape_error =
            "unknown escape '\\" + shown + "' (known: \\\" \\\\ \\n \\t \\xHH \\u{HHHH})";
        return false;
      }
    }
    m_pos = p + 1;
    return true;
  }

  const std::string& m_text;
  std::size_t m_pos = 0;
  std::vector<Token> m_out;
  std::string m_escape_error;
};

}  // namespace

std::vector<Token> tokenize(const Source& source) {
  return Lexer(source).run();
}

std::string describe(const Token& t, const Source& source) {
  switch (t.kind) {
    case Tok::Newline:
      return "the end of the line";
    case Tok::End:
      return "the end of the input";
    case Tok::Number:
    case Tok::Imaginary:
      return "number " + std::string(source.slice(t.span));
    case Tok::String:
      return "a string";
    case Tok::Name:
      return "'" + t.text + "'";
    default:
      return "'" + std::string(source.slice(t.span)) + "'";
  }
}

}  // namespace kexio::app
