// Work spread over threads of their own, for readers that split a large
// file or result into parts.
#pragma once

#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio {

// The cores free for the threads of a call right now: the machine's cores
// less the threads other than the caller's that run or wait for one (the
// kernel's count of runnable threads), at least 1. Work split over more
// threads than that waits for the scheduler to run them, which on a busy
// machine costs more than the split saves.
unsigned free_cores();

// Runs job(i) for every i below n: 0 on the calling thread, the others on
// threads of their own (or on the calling thread when no thread can be
// started). job must not throw.
template <typename Job>
void run_all(std::size_t n, const Job& job) {
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (std::size_t i = 1; i < n; ++i) {
    try {
      threads.emplace_back(job, i);
    } catch (const std::system_error&) {
      job(i);
    }
  }
  job(0);
  for (auto& t : threads)
    t.join();
}

// run_all for jobs that may throw: once every job has ended, the first
// exception one of them threw is thrown again on the calling thread.
template <typename Job>
void run_all_or_throw(std::size_t n, const Job& job) {
  std::exception_ptr thrown;
  std::mutex lock;
  run_all(n, [&](std::size_t i) {
    try {
      job(i);
    } catch (...) {
      std::lock_guard<std::mutex> held(lock);
      if (!thrown) thrown = std::current_exception();
    }
  });
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace kexio
#pragma GCC visibility pop
