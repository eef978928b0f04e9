// Image reading and writing through the entry class, timed on the files and
// matrices that bench/image.sh prepares: KEXIO_BENCH_IMAGE names a 24-bit
// BMP to read, KEXIO_BENCH_DIR a folder the writers may write into.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kexio/io.h"

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::u16string wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

Cvd::Ref text(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(wide(s));
}

void read_with(benchmark::State& state, Cvd::Ref (*read)(const std::u16string&, const Cvd::Ref&)) {
  std::string file = env("KEXIO_BENCH_IMAGE");
  if (file.empty()) {
    state.SkipWithError("KEXIO_BENCH_IMAGE is not set (run bench/image.sh)");
    return;
  }
  Cvd::Ref name = text(file);
  for (auto _ : state) {
    Cvd::Ref m = read(u"", name);
    benchmark::DoNotOptimize(m.get());
  }
}

void BM_READRGB(benchmark::State& state) {
  read_with(state, &Kex::IO::READRGB);
}
void BM_READ_IMAGE(benchmark::State& state) {
  read_with(state, &Kex::IO::READ_IMAGE);
}

// A rows x cols matrix of values 0 to 255 with a fractional part, so that
// rounding is exercised.
std::shared_ptr<Cvd::MatVal> picture(std::uint32_t rows, std::uint32_t cols) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  double* d = m->real();
  for (std::size_t i = 0; i < static_cast<std::size_t>(rows) * cols; ++i) {
    d[i] = static_cast<double>((i * 2654435761u) % 25600) / 100.0;
  }
  return m;
}

void write_with(benchmark::State& state,
                Cvd::Ref (*write)(const std::u16string&, const Cvd::Ref&, const Cvd::Ref&),
                std::uint32_t cols_per_pixel, const char* file = "written.bmp") {
  std::string dir = env("KEXIO_BENCH_DIR");
  if (dir.empty()) {
    state.SkipWithError("KEXIO_BENCH_DIR is not set (run bench/image.sh)");
    return;
  }
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Cvd::Ref m = picture(n, n * cols_per_pixel);
  Cvd::Ref name = text(dir + "/" + file);
  for (auto _ : state) {
    Cvd::Ref r = write(u"", name, m);
    benchmark::DoNotOptimize(r.get());
  }
}

void BM_WRITERGB(benchmark::State& state) {
  write_with(state, &Kex::IO::WRITERGB, 3);
}
// Through the image library: libtiff's strips, uncompressed.
void BM_WRITERGB_TIF(benchmark::State& state) {
  write_with(state, &Kex::IO::WRITERGB, 3, "written.tif");
}
void BM_WRITEBMP(benchmark::State& state) {
  write_with(state, &Kex::IO::WRITEBMP, 1);
}

}  // namespace

BENCHMARK(BM_READRGB)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_READ_IMAGE)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_WRITERGB)->Arg(4096)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_WRITERGB_TIF)->Arg(4096)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_WRITEBMP)->Arg(4096)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

BENCHMARK_MAIN();
