// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

aVector* GETWAVINFO(KexCallContext*, const char*, const char*) {
  not_available("GETWAVINFO");
}
aMatrix* READWAV(KexCallContext*, const char*, const char*) {
  not_available("READWAV");
}
aComplex* WRITEWAV(KexCallContext*, const char*, const aMatrix*, const aComplex*, const aComplex*,
                   const char*) {
  not_available("WRITEWAV");
}

}  // namespace kexio
