// Calls of the text-table entry points with the worksheet directory set to
// a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace prn_test {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;

inline Cvd::MatVal* as_mat(const Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}
inline Ref read_prn(const ScratchDir& dir, const std::string& name) {
  return IO::READPRN(dir.cwd(), str(name));
}
// Writes content to a file of the folder and reads it as a table.
inline Ref read_text(const ScratchDir& dir, const std::string& content) {
  write_bytes(dir / "t.txt", content);
  return read_prn(dir, "t.txt");
}

}  // namespace prn_test
