// READBIN and WRITEBIN of 8,000,000 values, as int16 and as double, through
// the entry class. bench/binary.sh prepares the files in the folder named by
// KEXIO_BENCH_DIR and times numpy on the same files in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "kexio/io.h"

namespace {

constexpr std::uint32_t kCount = 8000000;

std::string folder() {
  const char* d = std::getenv("KEXIO_BENCH_DIR");
  if (d == nullptr || *d == 0) throw std::runtime_error("KEXIO_BENCH_DIR is not set");
  return d;
}

Cvd::Ref text(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

// The matrix both sides write: values.bin, a column of kCount doubles, read
// the way a worksheet would get it.
Cvd::Ref values() {
  static Cvd::Ref m =
      Kex::IO::READBIN(Vrt::RawBytesToString(folder()), {text("values.bin"), text("double")});
  return m;
}

void read(benchmark::State& state, const char* file, const char* type) {
  std::u16string cwd = Vrt::RawBytesToString(folder());
  std::vector<Cvd::Ref> args = {text(file), text(type)};
  auto once = [&] {
    Cvd::Ref r = Kex::IO::READBIN(cwd, args);
    if (static_cast<Cvd::MatVal*>(r.get())->get_Rows() != kCount) {
      throw std::runtime_error("wrong row count");
    }
    return r;
  };
  once();  // warm-up, untimed
  for (auto _ : state)
    benchmark::DoNotOptimize(once());
}

// Each timed write creates a new file; the previous one is removed outside
// the timing, so that no run waits on the write-back of the one before.
void write(benchmark::State& state, const char* file, const char* type) {
  std::string dir = folder();
  std::u16string cwd = Vrt::RawBytesToString(dir);
  Cvd::Ref t = text(type), endian = std::make_shared<Cvd::NumVal>(0.0);
  Cvd::Ref m = values();
  int k = 0;
  auto once = [&] {
    std::string name = std::to_string(k++) + file;
    Cvd::Ref r = Kex::IO::WRITEBIN(cwd, text(name), t, endian, m);
    return name;
  };
  std::remove((dir + "/" + once()).c_str());  // warm-up, untimed
  for (auto _ : state) {
    std::string name = once();
    state.PauseTiming();
    std::remove((dir + "/" + name).c_str());
    state.ResumeTiming();
  }
}

void BM_ReadbinInt16(benchmark::State& s) {
  read(s, "i16.bin", "int16");
}
void BM_ReadbinDouble(benchmark::State& s) {
  read(s, "f64.bin", "double");
}
void BM_WritebinInt16(benchmark::State& s) {
  write(s, "ours16.bin", "int16");
}
void BM_WritebinDouble(benchmark::State& s) {
  write(s, "ours64.bin", "double");
}

BENCHMARK(BM_ReadbinInt16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadbinDouble)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritebinInt16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritebinDouble)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
