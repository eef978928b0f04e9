// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

aComplex* WRITEBMP(KexCallContext*, const char*, const aMatrix*, const char*) {
  not_available("WRITEBMP");
}
aComplex* WRITERGB(KexCallContext*, const char*, const aMatrix*, const char*) {
  not_available("WRITERGB");
}
aComplex* WRITE_HLS(KexCallContext*, const char*, const aMatrix*, const char*) {
  not_available("WRITE_HLS");
}
aComplex* WRITE_HSV(KexCallContext*, const char*, const aMatrix*, const char*) {
  not_available("WRITE_HSV");
}

}  // namespace kexio
