// The file-name resolver and the conversions between worksheet names and
// paths.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/utf8.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace Kex {

namespace {

bool is_high_surrogate(char32_t u) {
  return u >= 0xD800 && u < 0xDC00;
}
bool is_low_surrogate(char32_t u) {
  return u >= 0xDC00 && u < 0xE000;
}

}  // namespace

std::string path_text(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size() && units[i] != 0; ++i) {
    char32_t u = units[i];
    if (is_high_surrogate(u) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    kexio::append_utf8(out, u);
  }
  return out;
}

std::string given_bytes(const char* path_text) {
  std::string out;
  if (path_text == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(path_text);
  while (*p != 0) {
    // The length of the sequence path_text wrote for one code point; any
    // other byte stands for itself.
    int n = *p >= 0xF8 ? 1 : *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC0 ? 2 : 1;
    char32_t c = n == 1 ? *p : *p & (0x7F >> n);
    int k = 1;
    for (; k < n && (p[k] & 0xC0) == 0x80; ++k)
      c = c << 6 | (p[k] & 0x3F);
    if (k < n) n = 1, c = *p;
    p += n;
    if (c >= 0x10000) {
      // A character beyond the 16-bit range was a surrogate pair.
      out.push_back(static_cast<char>((0xD800 + ((c - 0x10000) >> 10)) & 0xFF));
      out.push_back(static_cast<char>((0xDC00 + ((c - 0x10000) & 0x3FF)) & 0xFF));
    } else {
      out.push_back(static_cast<char>(c & 0xFF));
    }
  }
  return out;
}

}  // namespace Kex

namespace {

// The scheme of a URL ("http" in "http://host/x"), or empty when the name is
// not a URL.
std::string url_scheme(const std::string& name) {
  std::size_t i = 0;
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return {};
  while (i < name.size() && (std::isalnum(static_cast<unsigned char>(name[i])) || name[i] == '+' ||
                             name[i] == '-' || name[i] == '.')) {
    ++i;
  }
  if (name.compare(i, 3, "://") != 0) return {};
  return name.substr(0, i);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    int hi, lo;
    if (s[i] == '%' && i + 2 < s.size() && (hi = hex_value(s[i + 1])) >= 0 &&
        (lo = hex_value(s[i + 2])) >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string process_cwd() {
  std::string buf(256, '\0');
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

}  // namespace

CHTTPRedirector::CHTTPRedirector(const char* name, const char* cwd, int /*mode*/) {
  std::string n = name != nullptr ? name : "";
  std::string scheme = url_scheme(n);
  if (!scheme.empty()) {
    // Messages go back to the worksheet, which reads them as Latin-1: quote
    // the name as it was given, not its UTF-8 form.
    const std::string given = Kex::given_bytes(name);
    if (lower(scheme) != "file") {
      throw Kex::ComError("cannot open '" + given + "': the URL scheme '" + scheme +
                          "' is not supported, only local files and file:// URLs are");
    }
    std::string rest = n.substr(scheme.size() + 3);
    if (lower(rest.substr(0, 10)) == "localhost/") rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/') {
      throw Kex::ComError("cannot open '" + given +
                          "': a file:// URL must name a local absolute path");
    }
    m_localPath = percent_decode(rest);
    return;
  }
  if (!n.empty() && n[0] == '/') {
    m_localPath = n;
    return;
  }
  std::string base = (cwd != nullptr && cwd[0] != 0) ? std::string(cwd) : process_cwd();
  if (!base.empty() && base.back() != '/') base.push_back('/');
  m_localPath = base + n;
}

CHTTPRedirector::~CHTTPRedirector() = default;
