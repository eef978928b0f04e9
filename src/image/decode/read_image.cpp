// Placeholder until this family's workers are built: each reports that it
// is not available in this build.
#include "host/workers.h"

namespace kexio {

aMatrix* READ_IMAGE(KexCallContext*, const char*, const char*) {
  not_available("READ_IMAGE");
}
aMatrix* READRGB(KexCallContext*, const char*, const char*) {
  not_available("READRGB");
}
aMatrix* READ_RED(KexCallContext*, const char*, const char*) {
  not_available("READ_RED");
}
aMatrix* READ_GREEN(KexCallContext*, const char*, const char*) {
  not_available("READ_GREEN");
}
aMatrix* READ_BLUE(KexCallContext*, const char*, const char*) {
  not_available("READ_BLUE");
}
aMatrix* READ_HLS(KexCallContext*, const char*, const char*) {
  not_available("READ_HLS");
}
aMatrix* READ_HLS_HUE(KexCallContext*, const char*, const char*) {
  not_available("READ_HLS_HUE");
}
aMatrix* READ_HLS_LIGHT(KexCallContext*, const char*, const char*) {
  not_available("READ_HLS_LIGHT");
}
aMatrix* READ_HLS_SAT(KexCallContext*, const char*, const char*) {
  not_available("READ_HLS_SAT");
}
aMatrix* READ_HSV(KexCallContext*, const char*, const char*) {
  not_available("READ_HSV");
}
aMatrix* READ_HSV_HUE(KexCallContext*, const char*, const char*) {
  not_available("READ_HSV_HUE");
}
aMatrix* READ_HSV_SAT(KexCallContext*, const char*, const char*) {
  not_available("READ_HSV_SAT");
}
aMatrix* READ_HSV_VALUE(KexCallContext*, const char*, const char*) {
  not_available("READ_HSV_VALUE");
}

}  // namespace kexio
