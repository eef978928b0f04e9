#include "functions.h"

#include <cctype>
#include <cstring>

#include "kexio/host/errors.h"
#include "values.h"

namespace kexio::app {

namespace {

// VIEW: the matrix, with its kind ("grey" or "rgb"), checked; drawn by the
// host when it can draw.
Cvd::Ref call_view(const CallEnv& e, const Args& a) {
  bool rgb = false;
  if (a.size() > 1) {
    Cvd::StrVal* s = as_string(a[1]);
    if (s == nullptr || (s->m_str != u"rgb" && s->m_str != u"grey")) {
      throw Kex::Exception("must be \"grey\" or \"rgb\"", 2);
    }
    rgb = s->m_str == u"rgb";
  }
  Cvd::MatVal* m = as_matrix(a[0]);
  if (m == nullptr) throw Kex::Exception("must be matrix", 1);
  if (!m->get_IsRealMatrix() || m->get_HasImag()) throw Kex::Exception("must be real matrix", 1);
  if (rgb && m->get_Cols() % 3 != 0) {
    throw Kex::Exception("must have red, green and blue planes side by side", 1,
                         std::to_string(m->get_Cols()) + " columns cannot be split in three");
  }
  if (e.draw_view) e.draw_view(*m, rgb);
  return a[0];
}
constexpr const char* kViewFamily = "Looking at matrices (drawn on a colour terminal)";

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
  out.push_back(Function{"VIEW", "m",
                         "show grey levels 0..255 as a picture scaled to fit the terminal; "
                         "gives m",
                         kViewFamily, 1, nullptr, &call_view});
  out.push_back(Function{"VIEW", "m, kind",
                         "kind \"rgb\": red, green, blue planes side by side (as READRGB gives "
                         "them); \"grey\" as above",
                         kViewFamily, 2, nullptr, &call_view});
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
