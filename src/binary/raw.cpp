// Raw images: both workers forward to the host image library, bound by name
// on first use.
#include "host/loader.h"
#include "host/workers.h"
#include "kexio/host/errors.h"

namespace kexio {

namespace {
using ReadRaw = aMatrix* (*)(KexCallContext*, const char*, const aComplex*, const aComplex*,
                             const aComplex*, const char*, const aComplex*, const char*);
using WriteRaw = aComplex* (*)(KexCallContext*, const aMatrix*, const char*, const aComplex*,
                               const char*, const char*);

HostEntry<ReadRaw> g_read_raw("keximager.dll", "imgread_raw");
HostEntry<WriteRaw> g_write_raw("keximager.dll", "imgwrite_raw");
}  // namespace

aMatrix* read_raw(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                  const aComplex* z, const char* s, const aComplex* k, const char* cwd) {
  ReadRaw entry = g_read_raw.get();
  if (entry == nullptr) Kex::Throw("unknown file format", Kex::kWholeCall);
  return entry(ctx, file, x, y, z, s, k, cwd);
}

aComplex* write_raw(KexCallContext* ctx, const aMatrix* m, const char* file, const aComplex* x,
                    const char* s, const char* cwd) {
  WriteRaw entry = g_write_raw.get();
  if (entry == nullptr) Kex::Throw("unknown file format", Kex::kWholeCall);
  return entry(ctx, m, file, x, s, cwd);
}

}  // namespace kexio
