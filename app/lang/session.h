// The evaluator: variables, the PRN settings and the worksheet directory of
// one run, and the evaluation of statements into values or errors.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ast.h"
#include "functions.h"
#include "kexio/host/values.h"
#include "kexio/runtime/cvd.h"
#include "source.h"

namespace kexio::app {

// An error and where it is shown.
struct Diagnostic {
  std::string message;        // UTF-8 text; a library message is its bytes read as Latin-1
  bool from_library = false;  // message keys of the library read as English in text mode
  bool syntax = false;        // the statement did not parse
  std::uint32_t index = Kex::kWholeCall;  // argument index as raised (0xFFFFFFFF: none)
  Span mark;                              // the part of the statement the marker goes under
  std::string note;                       // said beside the marker
  std::string detail;  // why and where, as the library says it (UTF-8); may be empty
  std::string hint;    // how to put a usual slip right; may be empty
  int line = 0;        // 1-based line of the statement in its source (set by the runner)
};

struct Outcome {
  enum class Kind { Nothing, Value, Error };
  Kind kind = Kind::Nothing;
  Cvd::Ref value;
  Diagnostic error;
};

// Places an error raised by a call at the part its index names: an
// argument, the whole call (0xFFFFFFFF) or the function's name (0, no
// particular argument).
void place_call_error(Diagnostic& d, const Expr& call);

// True when the statement is only a call of VIEW, PLOT or PLAY: what the
// front end shows of it (a picture, a plot, a player) stands for its value,
// which is then not shown as well.
bool shows_itself(const Statement& st);

class Session {
 public:
  static constexpr std::int32_t kDefaultPrecision = 4;
  static constexpr std::int32_t kDefaultColWidth = 8;

  // The worksheet directory passed to the functions (a native path).
  void set_cwd(std::string_view native_path);
  void set_prn_precision(std::int32_t v) { m_env.prn_precision = v; }
  void set_prn_colwidth(std::int32_t v) { m_env.prn_colwidth = v; }
  // How the front end shows what VIEW, PLOT and PLAY give it (by default
  // nothing is shown: they only give their matrix).
  void set_show(std::function<void(const Display&)> show) { m_env.show = std::move(show); }
  // The names that have a value (the settings and NaN among them) and the
  // worksheet directory, for completing what a person types.
  std::vector<std::string> names() const;
  std::string cwd() const;
  std::int32_t prn_precision() const { return m_env.prn_precision; }
  std::int32_t prn_colwidth() const { return m_env.prn_colwidth; }

  // Evaluates one statement: an expression gives its value, an assignment
  // nothing; a failure gives the error. The session stays usable after an
  // error, as a worksheet does. The statement is on the given line of the
  // source named source, which a later use of a name whose assignment failed
  // is told.
  Outcome run(const Statement& statement, int line = 0, std::string_view source = {});

 private:
  Outcome evaluate(const Statement& st);
  Cvd::Ref eval(const Expr& e);
  Cvd::Ref variable(const Expr& e);
  Cvd::Ref call(const Expr& e);
  Cvd::Ref index(const Expr& e);
  struct Slice {
    std::size_t first = 0, count = 0;  // 0-based
    bool single = false;               // one number, not a range or ':'
  };
  Slice slice(const Expr& part, std::size_t n, const std::string& what, const std::string& note);
  std::size_t bound(const Expr& e, const std::string& note);
  void assign(const Statement& st, Cvd::Ref value);
  bool defined(const std::string& name) const;

  std::map<std::string, Cvd::Ref, std::less<>> m_vars;
  // Names without a value whose last assignment failed: where it was.
  struct Place {
    std::string source;
    int line = 0;
  };
  std::map<std::string, Place, std::less<>> m_failed;
  std::string m_source;  // of the statement being run
  CallEnv m_env;
};

}  // namespace kexio::app
