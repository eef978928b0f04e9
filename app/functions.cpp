#include "functions.h"

#include <cctype>
#include <cstring>

#include "kexio/functions.h"
#include "kexio/io.h"

namespace kexio::app {

namespace {

using IO = Kex::IO;
using Ref = Cvd::Ref;

// How the host calls a method of each form with the user's arguments a and
// what it supplies itself.
template <Ref (*F)(KEXIO_PARAMS_prn_read)>
Ref call_prn_read(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0]);
}
template <Ref (*F)(KEXIO_PARAMS_prn_write)>
Ref call_prn_write(const CallEnv& e, const Args& a) {
  return F(e.cwd, e.prn_precision, e.prn_colwidth, a[0], a[1]);
}
template <Ref (*F)(KEXIO_PARAMS_prn_append)>
Ref call_prn_append(const CallEnv& e, const Args& a) {
  return F(e.cwd, e.prn_precision, e.prn_colwidth, a[0], a[1]);
}
template <Ref (*F)(KEXIO_PARAMS_file)>
Ref call_file(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0]);
}
template <Ref (*F)(KEXIO_PARAMS_image_write)>
Ref call_image_write(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0], a[1]);
}
template <Ref (*F)(KEXIO_PARAMS_bin_read)>
Ref call_bin_read(const CallEnv& e, const Args& a) {
  return F(e.cwd, a);
}
template <Ref (*F)(KEXIO_PARAMS_bin_write)>
Ref call_bin_write(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0], a[1], a[2], a[3]);
}
template <Ref (*F)(KEXIO_PARAMS_raw_read)>
Ref call_raw_read(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0], a[1], a[2], a[3], a[4], a[5]);
}
// The user writes the matrix last; the method takes it first.
template <Ref (*F)(KEXIO_PARAMS_raw_write)>
Ref call_raw_write(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[3], a[0], a[1], a[2]);
}
template <Ref (*F)(KEXIO_PARAMS_wav_write)>
Ref call_wav_write(const CallEnv& e, const Args& a) {
  return F(e.cwd, a[0], a[1], a[2], a[3]);
}
template <Ref (*F)(KEXIO_PARAMS_name)>
Ref call_name(const CallEnv&, const Args& a) {
  return F(a[0]);
}
template <Ref (*F)(KEXIO_PARAMS_name_matrix)>
Ref call_name_matrix(const CallEnv&, const Args& a) {
  return F(a[0], a[1]);
}
template <Ref (*F)(KEXIO_PARAMS_import_list)>
Ref call_import_list(const CallEnv& e, const Args& a) {
  return F(e.cwd, a);
}

// The host's own functions.
Ref call_view(const CallEnv& e, const Args& a) {
  return view(e.view, a[0], a.size() > 1 ? &a[1] : nullptr);
}
constexpr const char* kViewFamily = "Looking at matrices (drawn on a colour terminal)";

// Every function of the library's table, each alias right after the form it
// names, then the host's own.
std::vector<Function> make_functions() {
#define KEXIO_HOST_FUNCTION(name, form, worker, result, resolve_at, params, summary, family) \
  Function{#name, params, summary, KEXIO_FAMILY(family), KEXIO_ARGC(form), &call_##form<&IO::name>},
  const Function table[] = {KEXIO_FUNCTIONS(KEXIO_HOST_FUNCTION)};
#undef KEXIO_HOST_FUNCTION
  std::vector<Function> out;
  for (std::size_t i = 0; i < std::size(table); ++i) {
    out.push_back(table[i]);
    for (const Kex::FunctionAlias& a : Kex::kFunctionAliases) {
      if (std::strcmp(a.name, Kex::kFunctionTable[i].name) == 0 &&
          std::strcmp(a.form, Kex::kFunctionTable[i].form) == 0) {
        Function alias = table[i];
        alias.name = a.alias;
        alias.summary = a.summary;
        out.push_back(alias);
      }
    }
  }
  out.push_back(Function{"VIEW", "m",
                         "show grey levels 0..255 as a picture scaled to the terminal's width; "
                         "gives m",
                         kViewFamily, 1, &call_view});
  out.push_back(Function{"VIEW", "m, kind",
                         "kind \"rgb\": red, green, blue planes side by side (as READRGB gives "
                         "them); \"grey\" as above",
                         kViewFamily, 2, &call_view});
  return out;
}

const std::vector<Function> kFunctions = make_functions();

}  // namespace

const std::vector<Function>& functions() {
  return kFunctions;
}

const Function* find_function(std::string_view name, std::size_t n) {
  for (const Function& f : kFunctions) {
    if (name == f.name && (f.count < 0 || static_cast<std::size_t>(f.count) == n)) return &f;
  }
  return nullptr;
}

bool is_function(std::string_view name) {
  for (const Function& f : kFunctions) {
    if (name == f.name) return true;
  }
  return false;
}

std::string usage(std::string_view name) {
  std::string out;
  for (const Function& f : kFunctions) {
    if (name != f.name) continue;
    if (!out.empty()) out += " or ";
    out += std::string(f.name) + "(" + f.params + ")";
  }
  return out;
}

namespace {

std::string lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

// Whether a becomes b by one edit: a letter changed, added or dropped, or
// two neighbours swapped.
bool one_edit_apart(const std::string& a, const std::string& b) {
  if (a.size() == b.size()) {
    std::size_t first = 0;
    while (first < a.size() && a[first] == b[first])
      ++first;
    if (first == a.size()) return true;
    if (a.compare(first + 1, std::string::npos, b, first + 1, std::string::npos) == 0) return true;
    return first + 1 < a.size() && a[first] == b[first + 1] && a[first + 1] == b[first] &&
           a.compare(first + 2, std::string::npos, b, first + 2, std::string::npos) == 0;
  }
  const std::string& longer = a.size() > b.size() ? a : b;
  const std::string& shorter = a.size() > b.size() ? b : a;
  if (longer.size() != shorter.size() + 1) return false;
  std::size_t k = 0;
  while (k < shorter.size() && shorter[k] == longer[k])
    ++k;
  return shorter.compare(k, std::string::npos, longer, k + 1, std::string::npos) == 0;
}

}  // namespace

std::string similar_function(std::string_view name) {
  std::string want = lower(name);
  for (const Function& f : kFunctions) {
    if (lower(f.name) == want) return f.name;
  }
  // One letter off; short names are too close to everything to guess.
  if (want.size() < 4) return {};
  std::string found;
  for (const Function& f : kFunctions) {
    if (!one_edit_apart(lower(f.name), want) || found == f.name) continue;
    if (!found.empty()) return {};  // two candidates: no guess
    found = f.name;
  }
  return found;
}

}  // namespace kexio::app
