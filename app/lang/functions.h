// The worksheet functions the language can call, by worksheet name, with the
// arguments they take: the library's call table (kexio/functions.h), each
// further name right after the form it names, and VIEW on top. A library
// function is called through its descriptor with what the host supplies:
// the worksheet directory and, for the PRN writers, the PRNPRECISION and
// PRNCOLWIDTH settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kexio/functions.h"
#include "kexio/runtime/cvd.h"

namespace kexio::app {

using Args = std::vector<Cvd::Ref>;

// What the host supplies to every call: the library's part, and how VIEW
// draws a matrix it has checked (the grey levels, or with rgb red, green and
// blue planes side by side); without it VIEW only gives its matrix.
struct CallEnv : Kex::CallEnv {
  std::function<void(const Cvd::MatVal& m, bool rgb)> draw_view;
};

struct Function {
  const char* name;
  const char* params;   // as the user writes them, e.g. "file, value"
  const char* summary;  // one line for --help
  const char* family;
  // Number of arguments this form takes; -1 for a list whose length the
  // library checks itself.
  int count;
  const Kex::FunctionInfo* info;                 // the library's descriptor; null for VIEW
  Cvd::Ref (*own)(const CallEnv&, const Args&);  // VIEW's call

  // Calls the function with count arguments (a list of 2 to 6 for -1).
  Cvd::Ref invoke(const CallEnv& e, const Args& a) const {
    return info != nullptr ? info->call(e, a) : own(e, a);
  }
};

// Every function, grouped by family in the order --help lists them: the
// library's, then the language's own (VIEW). A name may appear twice when its
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
