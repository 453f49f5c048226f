// Work spread over a few short-lived threads, for calls that run with the
// interpreter lock released. The worker pool of src/pool belongs to the
// training pair count; these calls start their own threads, a cost of tens
// of microseconds that the callers pay only for inputs worth it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace ovilex::engine {

// Runs work(thread, block, begin, end) over [0, n) in blocks of |block|
// elements, handed out in order to up to |threads| threads: thread 0 is the
// calling one, the others are numbered below |threads|. The first failure
// stops the handing out and is rethrown once every thread has ended.
template <class Work>
void run_blocks(std::size_t n, std::size_t block, std::size_t threads, Work&& work) {
  block = std::max<std::size_t>(1, block);
  const std::size_t blocks = (n + block - 1) / block;
  threads = std::max<std::size_t>(1, std::min(threads, blocks));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failure_lock;
  const auto run = [&](std::size_t thread) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks) return;
        work(thread, b, b * block, std::min(n, (b + 1) * block));
      }
    } catch (...) {
      const std::lock_guard lock(failure_lock);
      if (!failure) failure = std::current_exception();
      failed.store(true, std::memory_order_relaxed);
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(run, t);
    run(0);
  }
  if (failure) std::rethrow_exception(failure);
}

// The processors this process may run on (at least 1).
std::size_t usable_processors() noexcept;

}  // namespace ovilex::engine
