// The call table: one descriptor per worksheet function of the library (and
// its further names), made from the list of kexio/calls.h. Hosts make their
// function lists from it and call each function through it with the user's
// arguments as the user writes them; the Python module makes its functions
// from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kexio/calls.h"
#include "kexio/io.h"

namespace Kex {

// What a host supplies to every call besides the user's arguments.
struct CallEnv {
  std::u16string cwd;  // the worksheet directory
  std::int32_t prn_precision = 4;
  std::int32_t prn_colwidth = 8;
};

// A function called with what the host supplies and the user's arguments in
// the user's order, as many as FunctionInfo::argc says (2 to 6 for a list).
using Call = Cvd::Ref (*)(const CallEnv&, const std::vector<Cvd::Ref>&);

// What a function gives: any host value, a number, a vector or a matrix.
enum class ResultKind { value, number, vector, matrix };

template <typename R>
inline constexpr ResultKind kResultKind = ResultKind::value;
template <>
inline constexpr ResultKind kResultKind<aComplex*> = ResultKind::number;
template <>
inline constexpr ResultKind kResultKind<aVector*> = ResultKind::vector;
template <>
inline constexpr ResultKind kResultKind<aMatrix*> = ResultKind::matrix;

// Whether a method takes the worksheet's PRNPRECISION and PRNCOLWIDTH.
template <typename... P>
constexpr bool takes_prn_settings(Cvd::Ref (*)(const std::u16string&, std::int32_t, std::int32_t,
                                               P...)) {
  return true;
}
constexpr bool takes_prn_settings(...) {
  return false;
}

// One function as programs read it.
struct FunctionInfo {
  const char* name;
  const char* form;
  const char* params;   // as the user writes them, e.g. "file, value"
  int argc;             // arguments the user writes; -1 for a list of 2 to 6
  const char* summary;  // one line of help
  const char* family;   // the heading of its family
  std::uint32_t resolve_at;
  ResultKind result;
  bool prn_settings;  // takes PRNPRECISION and PRNCOLWIDTH (CallEnv)
  Call call;
};

struct FunctionAlias {
  const char* alias;
  const char* name;
  const char* form;
  const char* summary;
};

#define KEXIO_FUNCTION_INFO(name, form, worker, result, resolve_at, params, summary, family) \
  FunctionInfo{#name,                                                                        \
               #form,                                                                        \
               params,                                                                       \
               KEXIO_ARGC(form),                                                             \
               summary,                                                                      \
               KEXIO_FAMILY(family),                                                         \
               resolve_at,                                                                   \
               kResultKind<result>,                                                          \
               takes_prn_settings(static_cast<Cvd::Ref (*)(KEXIO_PARAMS(form))>(&IO::name)), \
               [](const CallEnv& e, const std::vector<Cvd::Ref>& a) {                        \
                 (void)e;                                                                    \
                 return IO::name(KEXIO_USER(form));                                          \
               }},
inline constexpr FunctionInfo kFunctionTable[] = {KEXIO_FUNCTIONS(KEXIO_FUNCTION_INFO)};
#undef KEXIO_FUNCTION_INFO

#define KEXIO_FUNCTION_ALIAS(alias, name, form, summary) \
  FunctionAlias{#alias, #name, #form, summary},
inline constexpr FunctionAlias kFunctionAliases[] = {KEXIO_FUNCTION_ALIASES(KEXIO_FUNCTION_ALIAS)};
#undef KEXIO_FUNCTION_ALIAS

}  // namespace Kex
