#include "json.h"

#include "numbers.h"
#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

void escape_unit(std::string& out, char32_t c) {
  static const char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    default:
      break;
  }
  if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
      out.push_back(kHex[(c >> shift) & 0xF]);
    return;
  }
  append_utf8(out, c);
}

void append_value(std::string& out, const Cvd::Ref& v);

void append_matrix(std::string& out, const Cvd::MatVal& m) {
  std::uint32_t rows = m.get_Rows(), cols = m.get_Cols();
  out += "{\"type\":\"matrix\",\"rows\":" + std::to_string(rows) +
         ",\"cols\":" + std::to_string(cols) + ",\"data\":[";
  const double* re = m.real();
  const double* im = m.imag();
  bool nested = has_nested(m);
  for (std::uint32_t r = 0; r < rows; ++r) {
    out += r == 0 ? "[" : ",[";
    for (std::uint32_t c = 0; c < cols; ++c) {
      if (c != 0) out.push_back(',');
      std::size_t i = static_cast<std::size_t>(c) * rows + r;
      if (nested) {
        auto it = m.m_parr->find(static_cast<std::int32_t>(i));
        if (it != m.m_parr->end()) {
          append_value(out, it->second);
          continue;
        }
      }
      if (im != nullptr) {
        out += "[" + json_number(re[i]) + "," + json_number(im[i]) + "]";
      } else {
        out += json_number(re[i]);
      }
    }
    out.push_back(']');
  }
  out += "]}";
}

void append_value(std::string& out, const Cvd::Ref& v) {
  if (Cvd::NumVal* n = as_number(v)) {
    out += "{\"type\":\"number\",\"re\":" + json_number(n->Data.rp) +
           ",\"im\":" + json_number(n->Data.ip) + "}";
  } else if (Cvd::StrVal* s = as_string(v)) {
    out += "{\"type\":\"string\",\"value\":" + json_string(std::u16string_view(s->m_str)) + "}";
  } else if (Cvd::MatVal* m = as_matrix(v)) {
    append_matrix(out, *m);
  } else {
    out += "{\"type\":\"unknown\"}";
  }
}

}  // namespace

std::string json_string(std::u16string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();)
    escape_unit(out, next_utf16(s, i));
  out.push_back('"');
  return out;
}

std::string json_string(std::string_view utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size();)
    escape_unit(out, next_utf8(utf8, i));
  out.push_back('"');
  return out;
}

std::string json_value(const Cvd::Ref& v) {
  std::string out;
  append_value(out, v);
  return out;
}

std::string json_error(const Diagnostic& d) {
  std::string arg = d.index == Kex::kWholeCall ? "null" : std::to_string(d.index);
  std::string out = "{\"type\":\"error\",\"message\":" + json_string(std::string_view(d.message));
  if (!d.detail.empty()) out += ",\"detail\":" + json_string(std::string_view(d.detail));
  if (!d.hint.empty()) out += ",\"hint\":" + json_string(std::string_view(d.hint));
  out += ",\"arg\":" + arg;
  if (d.line > 0) out += ",\"line\":" + std::to_string(d.line);
  return out + "}";
}

}  // namespace kexio::app
