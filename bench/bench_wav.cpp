// READWAV and WRITEWAV of one WAV file through the entry class.
//
//   bench_wav [benchmark flags] INPUT.wav OUTPUT.wav
//
// ReadWav reads INPUT into a host matrix; WriteWav writes that matrix to
// OUTPUT as 16-bit PCM at INPUT's sample rate. Each repetition times three
// calls, and the minimum over the repetitions is reported too: on a busy
// machine the best of many short runs is the closest to the undisturbed time,
// and it is what a peer timed the same way can be compared with.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "kexio/io.h"

namespace {

Cvd::Ref text(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

double smallest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s [benchmark flags] INPUT.wav OUTPUT.wav\n", argv[0]);
    return 2;
  }
  const Cvd::Ref in = text(argv[1]);
  const Cvd::Ref out = text(argv[2]);
  Cvd::Ref samples, rate;
  try {
    samples = Kex::IO::READWAV(u"", in);
    auto* info = static_cast<Cvd::MatVal*>(Kex::IO::GETWAVINFO(u"", in).get());
    rate = std::make_shared<Cvd::NumVal>(info->get_real(1, 0));
  } catch (const Kex::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    return 1;
  }
  const Cvd::Ref bits = std::make_shared<Cvd::NumVal>(16.0);

  benchmark::RegisterBenchmark("ReadWav",
                               [&](benchmark::State& state) {
                                 for (auto _ : state)
                                   benchmark::DoNotOptimize(Kex::IO::READWAV(u"", in));
                               })
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3)
      ->ComputeStatistics("min", smallest);
  benchmark::RegisterBenchmark(
      "WriteWav",
      [&](benchmark::State& state) {
        for (auto _ : state)
          benchmark::DoNotOptimize(Kex::IO::WRITEWAV(u"", out, rate, bits, samples));
      })
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3)
      ->ComputeStatistics("min", smallest);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
