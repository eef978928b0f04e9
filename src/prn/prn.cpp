// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

Cvd::Ref READPRN(const char*, const char*) {
  not_available("READPRN");
}
Cvd::Ref writePRN(const char*, const Cvd::Ref&, const Cvd::NumVal&, const Cvd::NumVal&,
                  const char*) {
  not_available("WRITEPRN");
}
Cvd::Ref appendPRN(const char*, const Cvd::MatVal&, const Cvd::NumVal&, const Cvd::NumVal&,
                   const char*) {
  not_available("APPENDPRN");
}

}  // namespace kexio
