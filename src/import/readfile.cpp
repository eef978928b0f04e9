// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

Cvd::Ref READFILE(const char*, const std::vector<Cvd::Ref>&) {
  not_available("READFILE");
}

}  // namespace kexio
