// Calls of the text-table entry points with the worksheet directory set to
// a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kexio/io.h"
#include "prn/prn.h"
#include "support/scratch.h"
#include "support/values.h"

namespace prn_test {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;

// What reading a file as a table gave: the error, or the shape and the bytes
// of the values (so that -0 differs from 0).
inline std::string outcome(const ScratchDir& dir, const std::string& name,
                           kexio::prn::Split split) {
  std::string out;
  Raised r = raised([&] {
    Ref v = kexio::prn::read_prn(name.c_str(), dir.path().c_str(), split);
    const auto* m = dynamic_cast<const Cvd::MatVal*>(v.get());
    if (m == nullptr) return;
    out = std::to_string(m->get_Rows()) + " x " + std::to_string(m->get_Cols()) + ":";
    if (m->m_iarr == nullptr && (m->m_parr == nullptr || m->m_parr->empty())) {
      out.append(reinterpret_cast<const char*>(m->real()), m->size() * sizeof(double));
    }
  });
  return r.message == "<nothing raised>"
             ? out
             : "error \"" + r.message + "\" at " + std::to_string(r.index);
}

// Reads a file as a table. A regular file is also read divided among 2, 3
// and 4 threads and in one part, which must all give the same result or
// the same error.
inline Ref read_prn(const ScratchDir& dir, const std::string& name) {
  struct stat st {};
  if (stat((dir / name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    std::string whole = outcome(dir, name, {1, SIZE_MAX});
    for (unsigned parts : {2u, 3u, 4u}) {
      std::string split = outcome(dir, name, {parts, 1});
      // The shapes or errors, without the values' bytes.
      EXPECT_TRUE(split == whole) << name << " in " << parts
                                  << " parts: " << split.substr(0, split.find(':'))
                                  << " instead of " << whole.substr(0, whole.find(':'));
    }
  }
  return IO::READPRN(dir.cwd(), str(name));
}
// Writes content to a file of the folder and reads it as a table.
inline Ref read_text(const ScratchDir& dir, const std::string& content) {
  write_bytes(dir / "t.txt", content);
  return read_prn(dir, "t.txt");
}

}  // namespace prn_test
