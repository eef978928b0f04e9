// The file-name resolver and the byte-string to path conversion.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace Kex {

std::string native_path(const char* latin1) {
  std::string out;
  if (latin1 == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(latin1); *p != 0; ++p) {
    if (*p < 0x80) {
      out.push_back(static_cast<char>(*p));
    } else {
      out.push_back(static_cast<char>(0xC0 | (*p >> 6)));
      out.push_back(static_cast<char>(0x80 | (*p & 0x3F)));
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
  std::string n = Kex::native_path(name);
  std::string scheme = url_scheme(n);
  if (!scheme.empty()) {
    // Messages go back to the worksheet, which reads them as Latin-1: quote
    // the name as it was given, not its UTF-8 form.
    const std::string given = name;
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
  std::string base = (cwd != nullptr && cwd[0] != 0) ? Kex::native_path(cwd) : process_cwd();
  if (!base.empty() && base.back() != '/') base.push_back('/');
  m_localPath = base + n;
}

CHTTPRedirector::~CHTTPRedirector() = default;
