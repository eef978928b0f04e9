// Work spread over threads of their own, for readers that split a large
// file or result into parts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
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

// Runs make on a thread of its own while the calling thread hands on what
// it has made: make(publish) makes items in order, calls publish(done) each
// time items 0 .. done - 1 are ready, and returns how many it made (fewer
// when it stopped early); hand_on(from, to) is called on this thread for each
// run of items as it becomes ready, in order, the last one up to make's
// count. When no thread can be started, make runs first, to the end.
template <typename Make, typename HandOn>
void make_alongside(const Make& make, const HandOn& hand_on) {
  // Items made so far, kEnded added once make has returned.
  constexpr std::int64_t kEnded = std::int64_t{1} << 62;
  std::atomic<std::int64_t> ready{0};
  run_all(2, [&](std::size_t job) {
    if (job == 1) {
      const std::int64_t made = make([&](std::int64_t done) {
        ready.store(done, std::memory_order_release);
        ready.notify_one();
      });
      ready.store(made + kEnded, std::memory_order_release);
      ready.notify_one();
      return;
    }
    for (std::int64_t from = 0;;) {
      std::int64_t now = ready.load(std::memory_order_acquire);
      while (now == from) {
        ready.wait(from, std::memory_order_acquire);
        now = ready.load(std::memory_order_acquire);
      }
      const std::int64_t to = now >= kEnded ? now - kEnded : now;
      if (to > from) hand_on(from, to);
      if (now >= kEnded) return;
      from = to;
    }
  });
}

// Makes items 0 .. n - 1 on `threads` threads and consumes them in order,
// so that consuming one overlaps the making of those after it: make(i, k)
// (on thread k) makes item i into slot i % slots of a ring the caller keeps,
// and whichever thread finds the next item in order made consumes it with
// consume(i), true to go on, false to stop. No item is made more than slots
// ahead of the one being consumed, so its slot is free. Returns false when
// a consume returned false. An exception from make or consume stops the
// others and is thrown again here once every thread has ended.
template <typename Make, typename Consume>
bool make_in_order(std::size_t threads, std::size_t n, std::size_t slots, const Make& make,
                   const Consume& consume) {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<char> ready(slots, 0);
  std::size_t claimed = 0, consumed = 0;
  bool consuming = false, stop = false, went_on = true;
  run_all_or_throw(threads, [&](std::size_t k) {
    std::unique_lock<std::mutex> held(lock);
    // Runs f without the lock; an exception stops every thread.
    const auto unlocked = [&](const auto& f) {
      held.unlock();
      try {
        f();
      } catch (...) {
        held.lock();
        stop = true;
        changed.notify_all();
        throw;
      }
      held.lock();
      changed.notify_all();
    };
    while (!stop && consumed < n) {
      if (!consuming && ready[consumed % slots] != 0) {
        const std::size_t i = consumed;
        consuming = true;
        bool go_on = false;
        unlocked([&] { go_on = consume(i); });
        ready[i % slots] = 0;
        ++consumed;
        consuming = false;
        if (!go_on) went_on = false, stop = true;
      } else if (claimed < n && claimed < consumed + slots) {
        const std::size_t i = claimed++;
        unlocked([&] { make(i, k); });
        ready[i % slots] = 1;
      } else {
        changed.wait(held);
      }
    }
  });
  return went_on;
}

}  // namespace kexio
#pragma GCC visibility pop
