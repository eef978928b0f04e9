// Times READPRN, WRITEPRN and APPENDPRN in-process on a given table file and
// prints one line per measurement:
// "<what> <seconds> <peak-rss-growth-bytes> <cpu-seconds>".
//
//   bench_prn read FILE
//   bench_prn write FILE OUT PRECISION WIDTH   (reads FILE first, times the write)
//   bench_prn append FILE ROWS PRECISION WIDTH (appends a matrix of ROWS rows to FILE)
//
// One measurement per process, so that the peak resident size belongs to the
// call measured; bench/prn.sh runs it repeatedly and takes medians.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kexio/io.h"

namespace {

long peak_rss_bytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss * 1024L;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

long current_rss_bytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4096L;
}

Cvd::Ref name(const char* s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

template <typename F>
void measure(const char* what, F&& call) {
  long before = current_rss_bytes();
  double cpu = cpu_seconds();
  auto t0 = std::chrono::steady_clock::now();
  call();
  auto t1 = std::chrono::steady_clock::now();
  std::printf("%s %.6f %ld %.6f\n", what, std::chrono::duration<double>(t1 - t0).count(),
              peak_rss_bytes() - before, cpu_seconds() - cpu);
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_prn read FILE | write FILE OUT PRECISION WIDTH | "
               "append FILE ROWS PRECISION WIDTH\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string mode = argv[1];
  try {
    if (mode == "read" && argc == 3) {
      measure("read", [&] { Kex::IO::READPRN(u"", name(argv[2])); });
    } else if (mode == "write" && argc == 6) {
      Cvd::Ref m = Kex::IO::READPRN(u"", name(argv[2]));
      int p = std::atoi(argv[4]), w = std::atoi(argv[5]);
      measure("write", [&] { Kex::IO::WRITEPRN(u"", p, w, name(argv[3]), m); });
    } else if (mode == "append" && argc == 6) {
      auto cols =
          static_cast<const Cvd::MatVal*>(Kex::IO::READPRN(u"", name(argv[2])).get())->get_Cols();
      auto rows = static_cast<std::uint32_t>(std::atoi(argv[3]));
      auto extra = Cvd::MatVal::Zeros(rows, cols);
      for (std::size_t i = 0; i < extra->size(); ++i)
        extra->real()[i] = 0.5 + double(i);
      int p = std::atoi(argv[4]), w = std::atoi(argv[5]);
      measure("append", [&] { Kex::IO::APPENDPRN(u"", p, w, name(argv[2]), extra); });
    } else {
      return usage();
    }
  } catch (const Kex::Exception& e) {
    std::fprintf(stderr, "bench_prn: %s (argument %u)\n", e.what(), e.index());
    return 1;
  }
  return 0;
}
