// Runs work on a few native threads; an exception in any of them reaches the caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvex {

// A worker thread the system would not start (threads or memory exhausted).
class ThreadStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Calls body(t) for t in [0, threads) concurrently (body(0) on the calling thread). When
// a thread cannot be started, the ones already running are joined and ThreadStartError is
// thrown: nothing is left running and the process does not abort.
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
  std::string start_failure;
  try {
    pool.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(guarded, t);
  } catch (const std::system_error& e) {
    start_failure = "cannot start worker thread " + std::to_string(pool.size() + 1) + " of " +
                    std::to_string(threads) + ": " + e.what();
  } catch (const std::bad_alloc&) {
    start_failure = "cannot start worker thread " + std::to_string(pool.size() + 1) + " of " +
                    std::to_string(threads) + ": out of memory";
  }
  if (start_failure.empty()) guarded(0);
  for (std::thread& th : pool) th.join();
  if (!start_failure.empty()) throw ThreadStartError(start_failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvex
