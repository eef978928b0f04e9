// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

aMatrix* ReadColormap(KexCallContext*, const char*) {
  not_available("LoadColormap");
}
aComplex* WriteColormap(KexCallContext*, const char*, const aMatrix*) {
  not_available("SaveColormap");
}

}  // namespace kexio
