// The process-wide worker pool: N threads that sleep between jobs, created
// on first use and never shut down. Only the training pair count uses it.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace ovilex::pool {

// The number of workers. The first call creates the pool, sized by the
// environment variable OVILEX_NUM_THREADS when it holds a positive number,
// else by the logical processors (1 when none are reported). If no worker
// can be started, this and every later call fails with an internal error
// whose message begins "The global thread pool has not been initialized.".
// A child of fork(), which has none of its parent's threads, gets workers of
// its own at its first call.
std::size_t thread_count();

// Runs |job| on a worker while the calling thread (never a worker) blocks.
// A failure in the job is rethrown here.
void run_on_pool(const std::function<void()>& job);

// Inside a job: runs |first| on this thread and offers |second| to the
// pool; an idle worker takes it, or this thread runs it when no one has.
// Returns when both are done; the first failure of either is rethrown
// after both have ended.
void fork_join(const std::function<void()>& first, const std::function<void()>& second);

// fn(begin, end) over [0, n), halved recursively (first half n/2 elements,
// rounded down) while a piece holds more than |grain| elements; the two
// results of a split are combined with join(first, std::move(second)) once
// both are done. The whole range runs on the pool as one job; with n < 2
// the calling thread runs fn itself. The result does not depend on which
// thread ran which piece, provided join is associative.
template <class T, class Fn, class Join>
T parallel_reduce(std::size_t n, std::size_t grain, const Fn& fn, const Join& join);

namespace detail {

template <class T, class Fn, class Join>
T reduce_range(std::size_t begin, std::size_t end, std::size_t grain, const Fn& fn,
               const Join& join) {
  if (end - begin <= grain || end - begin < 2) return fn(begin, end);
  const std::size_t mid = begin + (end - begin) / 2;
  T first;
  T second;
  fork_join([&] { first = reduce_range<T>(begin, mid, grain, fn, join); },
            [&] { second = reduce_range<T>(mid, end, grain, fn, join); });
  join(first, std::move(second));
  return first;
}

}  // namespace detail

template <class T, class Fn, class Join>
T parallel_reduce(std::size_t n, std::size_t grain, const Fn& fn, const Join& join) {
  if (n < 2) return fn(0, n);
  T result;
  run_on_pool([&] { result = detail::reduce_range<T>(0, n, grain, fn, join); });
  return result;
}

}  // namespace ovilex::pool
