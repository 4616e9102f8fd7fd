// Runs work on a few native threads; an exception in any of them reaches the caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvex {

// Calls body(t) for t in [0, threads) concurrently (body(0) on the calling thread).
template <class F>
void run_on_threads(unsigned threads, F&& body) {
  threads = std::max(1u, threads);
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto guarded = [&](unsigned t) {
    try {
      body(t);
    } catch (...) {
      std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(guarded, t);
  guarded(0);
  for (std::thread& th : pool) th.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvex
