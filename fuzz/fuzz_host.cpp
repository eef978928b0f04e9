// The worksheet host's language: any text is parsed, its statements are
// evaluated (except calls that would touch files: the library's functions and
// PLAY, which writes its recording) and every value and error is rendered as
// text and as JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "display.h"
#include "functions.h"
#include "json.h"
#include "parser.h"
#include "session.h"

namespace {

bool has_call(const kexio::app::Expr& e) {
  if (e.kind == kexio::app::Expr::Kind::Call) {
    for (const kexio::app::Function& f : kexio::app::functions()) {
      if (e.name == f.name && (f.info != nullptr || e.name == "PLAY")) return true;
    }
  }
  for (const auto& a : e.args) {
    if (has_call(*a)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kexio::app;
  Source src("fuzz", std::string(reinterpret_cast<const char*>(data), size));
  needs_more_input(src);
  Session session;
  TextStyle style;
  style.width = 60;
  std::size_t out = 0;
  for (const Statement& st : parse(src)) {
    if (st.expr && has_call(*st.expr)) continue;
    Outcome o = session.run(st);
    if (o.kind == Outcome::Kind::Value) {
      out += text_value(o.value, style).size() + json_value(o.value).size();
    } else if (o.kind == Outcome::Kind::Error) {
      out += text_error(src, st, o.error, style).size() + json_error(o.error).size();
      out += plain_message(o.error.message).size();
    }
  }
  return out == static_cast<std::size_t>(-1);
}
