// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

aMatrix* readbin(KexCallContext*, const char*, const aComplex*, const aComplex*, const char*,
                 const aComplex*, const aComplex*, const char*) {
  not_available("READBIN");
}
aComplex* writebin(KexCallContext*, const aMatrix*, const char*, const char*, const aComplex*,
                   const char*) {
  not_available("WRITEBIN");
}

}  // namespace kexio
