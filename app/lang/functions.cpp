#include "functions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kexio::app {

namespace {

// Every function of the library's table, each alias right after the form it
// names, then the language's own.
std::vector<Function> make_functions() {
  std::vector<Function> out;
  for (const Kex::FunctionInfo& f : Kex::kFunctionTable) {
    out.push_back(Function{f.name, f.params, f.summary, f.family, f.argc, &f, nullptr});
    for (const Kex::FunctionAlias& a : Kex::kFunctionAliases) {
      if (std::strcmp(a.name, f.name) == 0 && std::strcmp(a.form, f.form) == 0) {
        out.push_back(Function{a.alias, f.params, a.summary, f.family, f.argc, &f, nullptr});
      }
    }
  }
  add_own_functions(out);
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

std::string function_help(std::string_view name) {
  std::string out;
  for (const Function& f : functions()) {
    if (name != f.name) continue;
    out += "  " + std::string(f.name) + "(" + f.params + ")\n      " + f.summary + "\n";
  }
  if (!out.empty()) return out;
  // Names are matched without regard to case.
  std::string similar = similar_function(name);
  if (similar.size() == name.size() && similar != name &&
      std::equal(similar.begin(), similar.end(), name.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
      })) {
    return function_help(similar);
  }
  return "no function named " + std::string(name) +
         (similar.empty() ? "; help lists them all\n" : "; did you mean " + similar + "?\n");
}

}  // namespace kexio::app
