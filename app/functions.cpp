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

// Every function of the library's table, each alias right after the form it
// names.
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

std::string similar_function(std::string_view name) {
  auto lower = [](std::string_view s) {
    std::string r(s);
    for (char& c : r)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  };
  std::string want = lower(name);
  for (const Function& f : kFunctions) {
    if (lower(f.name) == want) return f.name;
  }
  return {};
}

}  // namespace kexio::app
