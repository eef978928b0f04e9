#include "parser.h"

#include <utility>

#include "lexer.h"

namespace kexio::app {

namespace {

struct Fail {
  SyntaxError error;
};

class Parser {
 public:
  explicit Parser(const Source& src) : m_src(src), m_toks(tokenize(src)) {}

  std::vector<Statement> run() {
    std::vector<Statement> out;
    while (true) {
      while (m_toks[m_pos].kind == Tok::Newline || m_toks[m_pos].kind == Tok::Semicolon)
        ++m_pos;
      if (m_toks[m_pos].kind == Tok::End) break;
      out.push_back(statement());
    }
    return out;
  }

 private:
  Statement statement() {
    Statement st;
    std::size_t first = m_pos;
    std::size_t start = m_toks[m_pos].span.begin;
    try {
      if (m_toks[m_pos].kind == Tok::Name && m_toks[m_pos + 1].kind == Tok::Assign) {
        st.target = m_toks[m_pos].text;
        st.target_span = m_toks[m_pos].span;
        m_pos += 2;
      }
      st.expr = sum();
      const Token& t = m_toks[m_pos];
      if (t.kind != Tok::Newline && t.kind != Tok::Semicolon && t.kind != Tok::End) {
        if (t.kind == Tok::Error && m_pos == first + 1 && t.text == "unexpected '='") {
          fail(t.text, t.span, assign_hint(m_toks[first].text, t.span.end));
        }
        if (t.kind == Tok::Error || t.kind == Tok::Colon) fail_token(t);
        if (t.kind == Tok::Assign) {
          fail("only a name can be assigned to, as in x := 1", t.span);
        }
        fail("expected an operator or the end of the statement, found " + describe(t, m_src),
             t.span);
      }
      st.span = {start, m_last_end};
    } catch (Fail& f) {
      st.expr.reset();
      st.error = std::move(f.error);
      m_ctx.clear();
      // Go on after the next ';' outside brackets or the next line break.
      int depth = 0;
      for (std::size_t i = first; i < m_pos; ++i)
        depth += bracket(m_toks[i].kind);
      while (m_toks[m_pos].kind != Tok::End && m_toks[m_pos].kind != Tok::Newline &&
             !(m_toks[m_pos].kind == Tok::Semicolon && depth <= 0)) {
        depth += bracket(m_toks[m_pos].kind);
        ++m_pos;
      }
      std::size_t end = m_toks[m_pos].span.begin;
      st.span = {start, end > start ? end : st.error->at.end};
    }
    return st;
  }

  static int bracket(Tok t) {
    if (t == Tok::LParen || t == Tok::LBracket) return 1;
    if (t == Tok::RParen || t == Tok::RBracket) return -1;
    return 0;
  }

  [[noreturn]] void fail(std::string message, Span at, std::string hint = {}) {
    throw Fail{{std::move(message), at, std::move(hint)}};
  }
  // An Error token, or a ':' outside an index, which is taken for a
  // mistyped ':='.
  [[noreturn]] void fail_token(const Token& t) {
    if (t.kind == Tok::Colon) fail("expected ':=' (assignment)", t.span);
    fail(t.text, t.span, t.hint);
  }

  // "name = value" written for an assignment: the statement as it should
  // read, when its value is short.
  std::string assign_hint(const std::string& name, std::size_t value_at) const {
    const std::string& text = m_src.text();
    std::size_t end = text.find_first_of("\n#", value_at);
    if (end == std::string::npos) end = text.size();
    std::string value = text.substr(value_at, end - value_at);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    if (value.empty() || value.size() > 40 || value.find(';') != std::string::npos) value = "...";
    return "assign with ':=': " + name + " := " + value;
  }
  [[noreturn]] void unclosed_matrix(Span open) {
    fail("the matrix opened here is not closed: expected ']'", open);
  }

  // The next token; line breaks are skipped inside parentheses.
  const Token& peek() {
    if (!m_ctx.empty() && m_ctx.back() == '(') {
      while (m_toks[m_pos].kind == Tok::Newline)
        ++m_pos;
    }
    return m_toks[m_pos];
  }
  Token take() {
    peek();
    m_last_end = m_toks[m_pos].span.end;
    return m_toks[m_pos++];
  }
  void skip_newlines() {
    while (m_toks[m_pos].kind == Tok::Newline)
      ++m_pos;
  }

  static ExprPtr node(Expr::Kind kind, Span span) {
    auto e = std::make_unique<Expr>();
    e->kind = kind;
    e->span = span;
    return e;
  }

  ExprPtr sum() {
    ExprPtr left = product();
    while (peek().kind == Tok::Plus || peek().kind == Tok::Minus)
      left = binary(std::move(left), false);
    return left;
  }

  ExprPtr product() {
    ExprPtr left = unary();
    while (peek().kind == Tok::Star || peek().kind == Tok::Slash)
      left = binary(std::move(left), true);
    return left;
  }

  ExprPtr binary(ExprPtr left, bool product_level) {
    Token op = take();
    ExprPtr right = product_level ? unary() : product();
    auto e = node(Expr::Kind::Binary, {left->span.begin, right->span.end});
    e->op = m_src.text()[op.span.begin];
    e->op_span = op.span;
    e->args.push_back(std::move(left));
    e->args.push_back(std::move(right));
    return e;
  }

  // Every level of nesting passes through here; the limit keeps deeply
  // nested input from exhausting the stack.
  ExprPtr unary() {
    struct Depth {
      explicit Depth(int& depth) : d(depth) { ++d; }
      ~Depth() { --d; }
      int& d;
    } depth(m_depth);
    if (m_depth > kMaxDepth) fail("the expression is nested too deeply", peek().span);
    if (peek().kind == Tok::Minus) {
      Token op = take();
      ExprPtr operand = unary();
      auto e = node(Expr::Kind::Neg, {op.span.begin, operand->span.end});
      e->args.push_back(std::move(operand));
      return e;
    }
    if (peek().kind == Tok::Plus) {
      Token op = take();
      ExprPtr operand = unary();
      operand->span.begin = op.span.begin;
      return operand;
    }
    ExprPtr e = primary();
    // A number or a string is no matrix: "[1 [2]]" lacks a comma.
    bool literal = e->kind == Expr::Kind::Number || e->kind == Expr::Kind::String;
    while (!literal && m_toks[m_pos].kind == Tok::LBracket)
      e = index(std::move(e));
    return e;
  }

  // m[i], m[i, j]: each part a value, a range a..b or ':'. Inside the
  // brackets a line break is white space, as inside parentheses.
  ExprPtr index(ExprPtr base) {
    Token open = take();
    m_ctx.push_back('(');
    auto e = node(Expr::Kind::Index, base->span);
    e->args.push_back(std::move(base));
    while (true) {
      if (peek().kind == Tok::End)
        fail("the '[' of this index is not closed: expected ']'", open.span);
      e->args.push_back(index_part());
      const Token& t = peek();
      if (t.kind == Tok::Comma) {
        take();
        continue;
      }
      if (t.kind == Tok::RBracket) break;
      if (t.kind == Tok::End) fail("the '[' of this index is not closed: expected ']'", open.span);
      if (t.kind == Tok::Error) fail_token(t);
      fail("expected ',' or ']' in an index, found " + describe(t, m_src), t.span);
    }
    if (e->args.size() > 3) {
      fail("an index has a row and a column, as in m[2, 3], or one part for a vector",
           {e->args[3]->span.begin, e->args.back()->span.end});
    }
    m_ctx.pop_back();
    Token close = take();
    e->close = close.span;
    e->span.end = close.span.end;
    return e;
  }

  ExprPtr index_part() {
    if (peek().kind == Tok::Colon) return node(Expr::Kind::All, take().span);
    ExprPtr first = sum();
    if (peek().kind != Tok::DotDot) return first;
    take();
    ExprPtr last = sum();
    auto e = node(Expr::Kind::Range, {first->span.begin, last->span.end});
    e->args.push_back(std::move(first));
    e->args.push_back(std::move(last));
    return e;
  }

  ExprPtr primary() {
    const Token& t = peek();
    switch (t.kind) {
      case Tok::Number:
      case Tok::Imaginary: {
        Token n = take();
        auto e = node(Expr::Kind::Number, n.span);
        (n.kind == Tok::Number ? e->re : e->im) = n.num;
        return e;
      }
      case Tok::String: {
        Token s = take();
        auto e = node(Expr::Kind::String, s.span);
        e->str = std::move(s.str);
        return e;
      }
      case Tok::Name: {
        Token n = take();
        if (m_toks[m_pos].kind == Tok::LParen) return call(n);
        auto e = node(Expr::Kind::Var, n.span);
        e->name = n.text;
        return e;
      }
      case Tok::LParen: {
        Token open = take();
        m_ctx.push_back('(');
        ExprPtr inner = sum();
        if (peek().kind == Tok::End) {
          fail("the '(' here is not closed: expected ')'", open.span);
        }
        if (peek().kind != Tok::RParen) {
          fail("expected ')' to close the '(' at column " +
                   std::to_string(m_src.column(open.span.begin)) + ", found " +
                   describe(peek(), m_src),
               peek().span);
        }
        m_ctx.pop_back();
        Token close = take();
        inner->span = {open.span.begin, close.span.end};
        return inner;
      }
      case Tok::LBracket:
        return matrix();
      case Tok::Error:
      case Tok::Colon:
        fail_token(t);
      default:
        fail("expected a value (a number, a string, a name, '(' or '['), found " +
                 describe(t, m_src),
             t.span);
    }
  }

  ExprPtr call(const Token& name) {
    auto e = node(Expr::Kind::Call, name.span);
    e->name = name.text;
    e->name_span = name.span;
    m_ctx.push_back('(');
    Token open = take();
    auto check_closed = [&]() {
      if (peek().kind == Tok::End) {
        fail("the '(' of " + e->name + " is not closed: expected ')'", open.span);
      }
    };
    check_closed();
    if (peek().kind != Tok::RParen) {
      while (true) {
        e->args.push_back(sum());
        check_closed();
        const Token& t = peek();
        if (t.kind == Tok::Comma) {
          take();
          check_closed();
          continue;
        }
        if (t.kind == Tok::RParen) break;
        if (t.kind == Tok::Error || t.kind == Tok::Colon) fail_token(t);
        fail("expected ',' or ')' after argument " + std::to_string(e->args.size()) + " of " +
                 e->name + ", found " + describe(t, m_src),
             t.span);
      }
    }
    m_ctx.pop_back();
    Token close = take();
    e->close = close.span;
    e->span.end = close.span.end;
    return e;
  }

  ExprPtr matrix() {
    Token open = take();
    m_ctx.push_back('[');
    std::vector<std::vector<ExprPtr>> rows;
    std::vector<ExprPtr> row;
    auto end_row = [&]() {
      if (!rows.empty() && row.size() != rows[0].size()) {
        fail("row " + std::to_string(rows.size() + 1) + " of the matrix has " +
                 std::to_string(row.size()) + (row.size() == 1 ? " element" : " elements") +
                 " but row 1 has " + std::to_string(rows[0].size()),
             {row.front()->span.begin, row.back()->span.end});
      }
      rows.push_back(std::move(row));
      row.clear();
    };
    skip_newlines();
    bool closed = false;
    if (peek().kind == Tok::RBracket) closed = true;
    while (!closed) {
      if (peek().kind == Tok::End) unclosed_matrix(open.span);
      row.push_back(sum());
      Tok k = peek().kind;
      if (k == Tok::Newline) {
        // A line break ends the row unless a separator follows it.
        skip_newlines();
        k = peek().kind;
        if (k != Tok::Comma && k != Tok::Semicolon && k != Tok::End) {
          end_row();
          closed = k == Tok::RBracket;
          continue;
        }
      }
      const Token& t = peek();
      switch (k) {
        case Tok::Comma:
          take();
          skip_newlines();
          if (peek().kind == Tok::RBracket) fail("expected an element after ','", peek().span);
          break;
        case Tok::Semicolon:
          take();
          end_row();
          skip_newlines();
          if (peek().kind == Tok::Semicolon) fail("empty row in a matrix", peek().span);
          closed = peek().kind == Tok::RBracket;
          break;
        case Tok::RBracket:
          end_row();
          closed = true;
          break;
        case Tok::Error:
        case Tok::Colon:
          fail_token(t);
        case Tok::End:
          unclosed_matrix(open.span);
        default:
          fail("expected ',', ';' or ']' in a matrix, found " + describe(t, m_src), t.span);
      }
    }
    m_ctx.pop_back();
    Token close = take();
    auto e = node(Expr::Kind::Matrix, {open.span.begin, close.span.end});
    e->rows = rows.size();
    e->cols = rows.empty() ? 0 : rows[0].size();
    for (auto& r : rows) {
      for (auto& x : r)
        e->args.push_back(std::move(x));
    }
    return e;
  }

  const Source& m_src;
  std::vector<Token> m_toks;
  std::size_t m_pos = 0;
  std::size_t m_last_end = 0;
  std::vector<char> m_ctx;  // open '(' and '['
  static constexpr int kMaxDepth = 200;
  int m_depth = 0;
};

}  // namespace

std::vector<Statement> parse(const Source& source) {
  return Parser(source).run();
}

bool needs_more_input(const Source& source) {
  int depth = 0;
  for (const Token& t : tokenize(source)) {
    if (t.kind == Tok::LParen || t.kind == Tok::LBracket) ++depth;
    if (t.kind == Tok::RParen || t.kind == Tok::RBracket) {
      if (--depth < 0) return false;
    }
  }
  return depth > 0;
}

}  // namespace kexio::app
