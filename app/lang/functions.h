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

// What VIEW, PLOT and PLAY hand to the front end to show, once they have
// checked their arguments. Each gives its matrix as its value whatever the
// front end does with this.
struct Display {
  enum class Kind { View, Plot, Play };
  Kind kind = Kind::View;
  // VIEW: grey levels, or with rgb red, green and blue planes side by side.
  // PLOT: y, a line per column. PLAY: the samples, a row per frame and a
  // column per channel.
  Cvd::Ref m;
  bool rgb = false;
  Cvd::Ref x;       // PLOT: a column of as many x values as y has rows; null: the row numbers
  double rate = 0;  // PLAY: frames per second, as the WAV file holds it
  int bits = 16;    // PLAY
  std::string wav;  // PLAY: the samples as WRITEWAV writes them
};

// What the host supplies to every call: the library's part, and how the
// front end shows what VIEW, PLOT and PLAY give it (without it they only
// give their matrix).
struct CallEnv : Kex::CallEnv {
  std::function<void(const Display&)> show;
};

struct Function {
  const char* name;
  const char* params;   // as the user writes them, e.g. "file, value"
  const char* summary;  // one line for --help
  const char* family;
  // Number of arguments this form takes; -1 for a list whose length the
  // library checks itself.
  int count;
  const Kex::FunctionInfo* info;  // the library's descriptor; null for the language's own
  Cvd::Ref (*own)(const CallEnv&, const Args&);  // a function of the language's own

  // Calls the function with count arguments (a list of 2 to 6 for -1).
  Cvd::Ref invoke(const CallEnv& e, const Args& a) const {
    return info != nullptr ? info->call(e, a) : own(e, a);
  }
};

// Every function, grouped by family in the order --help lists them: the
// library's, then the language's own (VIEW, PLOT, PLAY, rows, sum, ...). A
// name may appear twice when its forms differ in the number of arguments.
const std::vector<Function>& functions();

// The language's own functions (builtins.cpp), in the order --help lists them.
void add_own_functions(std::vector<Function>& out);

// The forms of a function and their summaries, as `help NAME` shows them; a
// name in another case is found too, and an unknown one is said so.
std::string function_help(std::string_view name);

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
