// Kex::IO, the entry class: one static method per worksheet function, made
// from the function list (kexio/calls.h, which gives each method's
// parameters by its form).
//
// cwd is the worksheet directory (a host string); Pr_ and W_ are the
// worksheet's PRN precision and column width. Every other parameter is a host
// value. A failure throws Kex::Exception with the message and the 1-based
// index of the argument it belongs to (Kex::kWholeCall for the whole call).
// The methods may be called from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kexio/calls.h"
#include "kexio/export.h"
#include "kexio/host/errors.h"
#include "kexio/runtime/cvd.h"

namespace Kex {

class KEXIO_API IO {
 public:
  using Str = std::u16string;
  using Ref = Cvd::Ref;
  using Args = std::vector<Cvd::Ref>;

  IO() = default;

  // READPRN(cwd, file_), READ_IMAGE(cwd, file_), WRITEBIN(cwd, file_, S_, X_,
  // V_), ...; READRAW has a second form, READRAW(cwd, V_, file_, X_, S_),
  // which hosts bind as WRITERAW too.
#define KEXIO_METHOD(name, form, ...) static Ref name(KEXIO_PARAMS(form));
  KEXIO_FUNCTIONS(KEXIO_METHOD)
#undef KEXIO_METHOD
};

}  // namespace Kex

// The call table made from the same list (included last: it calls the
// methods declared above).
#include "kexio/functions.h"
