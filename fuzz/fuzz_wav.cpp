// The WAV reader on arbitrary bytes: they become a file that GETWAVINFO and
// READWAV read. Whatever READWAV returns is written back with WRITEWAV at
// the width it was read with (floats as 32-bit integers) and read again,
// which must give each sample's low bits; GETWAVINFO must agree with the
// matrix. The typed reader reads the same file: its array agrees with
// wav_info, and written back as scipy writes it, reads back the same.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "kexio/arrays.h"
#include "kexio/io.h"
#include "scratch.h"

namespace {

using fuzz::text;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_wav: %s\n", what);
    std::abort();
  }
}

// x truncated toward zero to 32 bits (0x80000000 when it does not fit), then
// its low bytes as a sample of that width reads them: unsigned for one byte,
// two's complement for more.
double low_bits(double x, unsigned bytes) {
  std::int64_t t = x > -2147483649.0 && x < 2147483648.0 ? static_cast<std::int64_t>(x) : INT32_MIN;
  const unsigned shift = 64 - 8 * bytes;
  auto u = static_cast<std::uint64_t>(t) << shift;
  if (bytes == 1) return static_cast<double>(u >> shift);
  return static_cast<double>(static_cast<std::int64_t>(u) >> shift);
}

Cvd::MatVal* matrix(const Cvd::Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// The typed array of the file, if it reads, agrees with wav_info and comes
// back the same through write_wav.
void typed(const std::string& in, const std::string& out) {
  Kex::WavInfo info;
  Kex::Array a;
  try {
    a = Kex::read_wav(in, &info);
  } catch (const Kex::Exception&) {
    return;
  }
  expect(Kex::wav_info(in).frames == info.frames, "wav_info differs from read_wav's");
  expect(a.shape[0] == static_cast<std::int64_t>(info.frames) &&
             (a.shape.size() == 1 ? info.channels == 1 : a.shape[1] == info.channels),
         "the typed array's shape differs from wav_info");
  const Kex::ArrayView view{a.dtype, a.shape, a.data.get(), {}};
  try {
    Kex::write_wav(out, info.rate, view);
  } catch (const Kex::ArrayError&) {
    return;  // a byte rate beyond 32 bits
  }
  const Kex::Array back = Kex::read_wav(out);
  const std::size_t bytes = Kex::dtype_size(a.dtype) * info.frames * info.channels;
  expect(back.dtype == a.dtype && back.shape == a.shape &&
             std::memcmp(back.data.get(), a.data.get(), bytes) == 0,
         "the typed array written back reads back otherwise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in = fuzz::put_file("in.wav", data, size);
  const std::string out = fuzz::scratch_path("out.wav");
  typed(in, out);
  const Cvd::Ref name = text(in);
  try {
    Kex::IO::GETWAVINFO(u"", name);
  } catch (const Kex::Exception&) {
  }
  Cvd::Ref samples;
  try {
    samples = Kex::IO::READWAV(u"", name);
  } catch (const Kex::Exception&) {
    return 0;
  }
  Cvd::MatVal* m = matrix(samples);
  expect(m != nullptr && m->get_IsRealMatrix(), "READWAV gave no real matrix");
  const Cvd::Ref info_ref = Kex::IO::GETWAVINFO(u"", name);
  Cvd::MatVal* info = matrix(info_ref);
  expect(info != nullptr && info->size() == 4, "GETWAVINFO gave no 4-vector");
  expect(info->get_real(0, 0) == m->get_Cols(), "channels differ from columns");
  if (m->get_Rows() == 0) return 0;  // an empty data chunk cannot be read back

  // Written back at the width read (floats as 32-bit integers), every
  // sample must come back as the low bits of its truncation to 32 bits.
  const double stored = info->get_real(2, 0);
  const unsigned bytes = stored <= 8 ? 1 : stored <= 16 ? 2 : stored <= 24 ? 3 : 4;
  Kex::IO::WRITEWAV(u"", text(out), std::make_shared<Cvd::NumVal>(info->get_real(1, 0)),
                    std::make_shared<Cvd::NumVal>(8.0 * bytes), samples);
  const Cvd::Ref back_ref = Kex::IO::READWAV(u"", text(out));
  Cvd::MatVal* back = matrix(back_ref);
  expect(back != nullptr && back->get_Rows() == m->get_Rows() && back->get_Cols() == m->get_Cols(),
         "written file reads back with another size");
  for (std::size_t i = 0; i < m->size(); ++i) {
    expect(back->real()[i] == low_bits(m->real()[i], bytes),
           "written file reads back other samples");
  }
  return 0;
}
