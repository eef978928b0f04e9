// The worksheet functions the host can call, by worksheet name, with the
// arguments they take, made from the library's function table
// (kexio/functions.h). Each entry forwards to its Kex::IO method, adding
// what the host supplies itself: the worksheet directory and, for the PRN
// writers, the PRNPRECISION and PRNCOLWIDTH settings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kexio/runtime/cvd.h"
#include "view.h"

namespace kexio::app {

// What the host supplies to every call.
struct CallEnv {
  std::u16string cwd;  // the worksheet directory
  std::int32_t prn_precision = 4;
  std::int32_t prn_colwidth = 8;
  ViewTarget view;  // where VIEW draws
};

using Args = std::vector<Cvd::Ref>;

struct Function {
  const char* name;
  const char* params;   // as the user writes them, e.g. "file, value"
  const char* summary;  // one line for --help
  const char* family;
  // Number of arguments this form takes; -1 for a list whose length the
  // library checks itself.
  int count;
  Cvd::Ref (*invoke)(const CallEnv&, const Args&);
};

// Every function, grouped by family in the order --help lists them: the
// library's, then the host's own (VIEW). A name may appear twice when its
// forms differ in the number of arguments.
const std::vector<Function>& functions();

// The form of name that takes n arguments; null when there is none.
const Function* find_function(std::string_view name, std::size_t n);
// True when name is a function in any form.
bool is_function(std::string_view name);
// "READPRN(file)", or every form joined with " or ".
std::string usage(std::string_view name);
// Of the function names, the one that equals name when case is ignored, or
// else the only one that is one letter off (changed, added, dropped or two
// swapped); empty when there is none.
std::string similar_function(std::string_view name);

}  // namespace kexio::app
