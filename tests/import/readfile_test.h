// READFILE calls on files written into a scratch folder, and results shown
// as one line: "2x3: 1, 'text', nan; ..." (rows after the colon separated by
// ";", texts quoted with code units outside printable ASCII as \u{hex},
// complex elements as re+imi).
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace readfile_test {

using namespace kexio_test;
using Ref = Cvd::Ref;

inline std::string number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

inline std::string shown(const Ref& v) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr) return "<not a matrix>";
  std::string out = std::to_string(m->get_Rows()) + "x" + std::to_string(m->get_Cols()) + ":";
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    out += r == 0 ? " " : "; ";
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c) {
      if (c != 0) out += ", ";
      Cvd::NumVal n;
      Ref e = m->get_2_na(n, r, c);
      if (auto* s = dynamic_cast<Cvd::StrVal*>(e.get())) {
        out += "'";
        for (char16_t u : s->m_str) {
          char hex[16];
          std::snprintf(hex, sizeof hex, "\\u{%X}", static_cast<unsigned>(u));
          out += u >= 0x20 && u < 0x7F ? std::string(1, static_cast<char>(u)) : std::string(hex);
        }
        out += "'";
      } else {
        out += number(n.Data.rp);
        if (m->get_HasImag()) out += (n.Data.ip < 0 ? "" : "+") + number(n.Data.ip) + "i";
      }
    }
  }
  return out;
}

// READFILE of a file holding bytes, then the arguments after the name.
inline Ref read(const ScratchDir& dir, const std::string& bytes, std::vector<Ref> args) {
  write_bytes(dir.path() / "in.txt", bytes);
  args.insert(args.begin(), str("in.txt"));
  return Kex::IO::READFILE(dir.cwd(), args);
}

}  // namespace readfile_test
